#ifndef TESTS_SUPPORT_SHIP_TOOLS_H
#define TESTS_SUPPORT_SHIP_TOOLS_H

// Helpers for the tests of what is shipped: the installed tree and the Debian package.
//
//   testsupport::ScratchDir tmp;                           // removed by the destructor
//   std::string cmake = testsupport::cacheValue("CMAKE_COMMAND");
//   auto r = testsupport::runProgram(cmake, {"--install", testsupport::buildDir(),
//                                            "--prefix", tmp.path() + "/usr"}, 120000);
//
// Everything here is header-only so that it adds nothing to the support library.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace testsupport
{

// The build directory: the parent of the programs' directory.
inline std::string buildDir()
{
    return std::filesystem::path(UPD_BIN_DIR).parent_path().string();
}

// A value of the build's CMakeCache.txt by its key ("CMAKE_COMMAND"); empty when absent.
inline std::string cacheValue(const std::string &key)
{
    std::ifstream cache(buildDir() + "/CMakeCache.txt");
    std::string line;
    while (std::getline(cache, line))
    {
        // KEY:TYPE=VALUE
        size_t colon = line.find(':');
        size_t equals = line.find('=');
        if (colon != std::string::npos && equals != std::string::npos && colon < equals &&
            line.compare(0, colon, key) == 0 && colon == key.size())
            return line.substr(equals + 1);
    }
    return "";
}

// The full path of a program found on PATH; empty when there is none.
inline std::string findOnPath(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':'))
    {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

// A fresh temporary directory, removed with everything in it by the destructor.
class ScratchDir
{
  public:
    explicit ScratchDir(const std::string &prefix = "ship-test")
    {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) != nullptr)
            m_path = pattern;
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return m_path; }
    bool ok() const { return !m_path.empty(); }

  private:
    std::string m_path;
};

inline bool writeBinaryFile(const std::string &path, const std::vector<unsigned char> &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// The lines of a text, without their line ends; no empty line for a final newline.
inline std::vector<std::string> textLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// Every option word of a help text: "--name" (long) or, with singleDash, "-name" words
// that start a token ("-readver", "-o").
inline std::set<std::string> optionWords(const std::string &text, bool singleDash)
{
    static const std::regex kLong("--[a-z][a-z0-9-]*");
    static const std::regex kSingle("(^|[\\s\\[|,])(-[a-z][a-z0-9]*)");
    std::set<std::string> words;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), kLong); it != std::sregex_iterator(); ++it)
        words.insert(it->str());
    if (singleDash)
    {
        for (auto it = std::sregex_iterator(text.begin(), text.end(), kSingle); it != std::sregex_iterator();
             ++it)
            words.insert((*it)[2].str());
    }
    return words;
}

} // namespace testsupport

#endif
