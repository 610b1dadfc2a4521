// What is shipped: `make package` builds the Debian package, lintian finds no error in it,
// dpkg installs it into an empty root and `cmake --install` lays the same files into a
// directory. Both trees are held to one table of files, and the installed programs, manual
// pages, completion and documentation are used as a user would use them.

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "tests/support/devsim_runner.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace
{

const std::string kBuild = fs::path(UPD_BIN_DIR).parent_path().string();
const char *const kPrograms[] = {"updater", "devsim", "affpack"};

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// A program found on PATH, with optional VAR=VALUE words before it.
ProgramResult tool(const std::vector<std::string> &args, int timeoutMs = 300000)
{
    return runProgram("/usr/bin/env", args, timeoutMs);
}

// Every option word of a help text: "--name", or "-name" where it starts a word.
std::set<std::string> optionWords(const std::string &text)
{
    static const std::regex kOption("(^|[\\s\\[|,])(--?[a-z][a-z0-9-]*)");
    std::set<std::string> words;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), kOption); it != std::sregex_iterator();
         ++it)
        words.insert((*it)[2].str());
    return words;
}

class Package : public ::testing::Test
{
  protected:
    // One package, one install of it and one plain install for the whole suite.
    static void SetUpTestSuite()
    {
        s_tmp = std::make_unique<DevsimRunner>(); // only for its temporary directory
        s_make = tool({"make", "-s", "-C", UPD_SOURCE_DIR, "-o", kBuild + "/build.ninja", "package",
                       "BUILD=" + kBuild, "JOBS=1"});
        std::string out = s_make.out.substr(0, s_make.out.find_last_not_of('\n') + 1);
        s_deb = out.substr(out.find_last_of('\n') + 1);
        s_installs["tree"] = tool({"cmake", "--install", kBuild, "--prefix", tree("tree")});
        fs::create_directories(dir() + "/root/var/lib/dpkg/updates");
        fs::create_directories(dir() + "/root/var/lib/dpkg/info");
        std::ofstream(dir() + "/root/var/lib/dpkg/status").flush();
        // The empty root has none of the libraries the package depends on: the host's serve.
        s_installs["root"] = tool({"dpkg", "--root=" + dir() + "/root", "--force-depends", "--force-not-root",
                                   "--log=/dev/null", "-i", s_deb});
    }
    static void TearDownTestSuite() { s_tmp.reset(); }
    void SetUp() override
    {
        ASSERT_EQ(0, s_make.exitCode) << s_make.out << s_make.err;
        for (const auto &[name, install] : s_installs)
            ASSERT_EQ(0, install.exitCode) << name << ": " << install.out << install.err;
    }

    static std::string dir() { return s_tmp->dir(); }
    static std::string tree(const std::string &name) { return dir() + "/" + name + "/usr"; }
    static std::string bin(const std::string &prog) { return tree("root") + "/bin/" + prog; }
    static std::string manPage(const std::string &prog)
    {
        return tree("root") + "/share/man/man1/" + prog + ".1.gz";
    }

    static std::unique_ptr<DevsimRunner> s_tmp;
    static ProgramResult s_make;
    static std::string s_deb;
    static std::map<std::string, ProgramResult> s_installs;
};

std::unique_ptr<DevsimRunner> Package::s_tmp;
ProgramResult Package::s_make;
std::string Package::s_deb;
std::map<std::string, ProgramResult> Package::s_installs;

TEST_F(Package, FieldsFilesAndLintian)
{
    EXPECT_EQ(0u, fs::path(s_deb).filename().string().rfind("fwupdate_" UPD_PROJECT_VERSION "_", 0)) << s_deb;
    ProgramResult lintian = tool({"lintian", "--fail-on", "error", s_deb});
    EXPECT_EQ(0, lintian.exitCode) << lintian.out << lintian.err;

    // The control fields (a description's continuation lines start with a blank).
    std::string control = "\n" + tool({"dpkg-deb", "-f", s_deb}).out;
    for (const char *field :
         {"Package: fwupdate\n", "Version: " UPD_PROJECT_VERSION "\n", "Section: utils\n",
          "Architecture: \\S+\n", "Maintainer: [^\n]*<[^\n]+@[^\n]+>\n", "Depends: [^\n]*libcxx-serial1",
          "Depends: [^\n]*libc6", "Depends: [^\n]*libstdc\\+\\+6",
          "Description: [^\n]+\n( [^\n]*\n)* [^\n]*devsim"})
        EXPECT_TRUE(std::regex_search(control, std::regex(std::string("\n") + field))) << field << control;

    // "-rwxr-xr-x root/root 64112 2026-12-06 12:42 ./usr/bin/updater": everything is root's, in /usr.
    std::map<std::string, std::string> modes;
    std::istringstream listing(tool({"dpkg-deb", "-c", s_deb}).out);
    for (std::string mode, owner, size, date, time, path;
         listing >> mode >> owner >> size >> date >> time >> path;)
    {
        EXPECT_EQ("root/root", owner) << path;
        EXPECT_EQ(0u, path.rfind("./usr/", 0)) << path;
        modes[path.substr(5)] = mode;
    }
    std::map<std::string, std::string> files;
    for (std::string prog : kPrograms)
    {
        files["/bin/" + prog] = "-rwxr-xr-x";
        files["/share/man/man1/" + prog + ".1.gz"] = files["/share/bash-completion/completions/" + prog] =
            "-rw-r--r--";
    }
    for (std::string doc : {"README.md", "docs/PORTING.md", "docs/emulator.md", "copyright", "changelog.gz"})
        files["/share/doc/fwupdate/" + doc] = "-rw-r--r--";
    // Both installed trees hold the same files; in bin, only the three programs.
    for (std::string name : {"tree", "root"})
    {
        for (const auto &[path, mode] : files)
        {
            EXPECT_EQ(mode, modes[path]) << path;
            EXPECT_TRUE(fs::is_regular_file(tree(name) + path)) << name << path;
            EXPECT_EQ(mode[3] == 'x', ::access((tree(name) + path).c_str(), X_OK) == 0) << name << path;
        }
        for (const auto &entry : fs::recursive_directory_iterator(tree(name)))
        {
            std::string path = entry.path().string().substr(tree(name).size());
            EXPECT_TRUE(path.rfind("/share", 0) == 0 ||
                        (path.rfind("/bin/", 0) != 0 ? path == "/bin" : files.count(path)))
                << name << path;
        }
    }
}

TEST_F(Package, InstalledProgramsRun)
{
    ProgramResult usage = runProgram(bin("updater"), {}, 30000);
    EXPECT_EQ(1, usage.exitCode);
    EXPECT_EQ(0u, usage.out.rfind("UPDATER  version: ", 0)) << usage.out;
    EXPECT_TRUE(has(usage.out, "Usage: " + bin("updater") + " PORT [options]\n")) << usage.out;
    ProgramResult help = runProgram(bin("devsim"), {"--help"}, 30000);
    EXPECT_EQ(0, help.exitCode) << help.err;
    EXPECT_TRUE(has(help.out, "Usage: devsim [options] LINK")) << help.out;

    // affpack builds a container that the updater lists and the emulator is made for.
    DevsimRunner dev(bin("devsim"));
    std::ofstream(dev.dir() + "/host.bin") << std::string(3000, 'Z');
    std::string aff = dev.dir() + "/fw.aff";
    ProgramResult pack = runProgram(bin("affpack"),
                                    {"-o", aff, "--product", "7", "--hardware", "3", "--block",
                                     "host-uc:" + dev.dir() + "/host.bin:512:version=10700001"},
                                    30000);
    ASSERT_EQ(0, pack.exitCode) << pack.out << pack.err;
    ProgramResult list = runProgram(bin("updater"), {"-affver", aff}, 30000);
    EXPECT_EQ(0, list.exitCode) << list.out;
    EXPECT_TRUE(has(list.out, "AFF: 7 / 3") && has(list.out, "\tHOST: 1.7.0.1")) << list.out;
    ASSERT_TRUE(dev.start({"--container", aff})) << dev.stderrText();
    ProgramResult readver = runProgram(bin("updater"), {dev.port(), "-readver"}, 60000);
    EXPECT_EQ(0, readver.exitCode) << readver.out << dev.stderrText();
    EXPECT_TRUE(has(readver.out, "product id: 7, hw id: 3") &&
                has(readver.out, "Operation completed successfully"))
        << readver.out;
    EXPECT_EQ(0, dev.stop()) << dev.stderrText();
    EXPECT_FALSE(fs::is_symlink(dev.port())) << "the emulator leaves its link behind";

    // A container cut short is refused with the failure verdict.
    fs::resize_file(aff, 40);
    ProgramResult damaged = runProgram(bin("updater"), {"-affver", aff}, 30000);
    EXPECT_EQ(1, damaged.exitCode) << damaged.out;
    EXPECT_TRUE(has(damaged.out, "=== ERRORS OCCURED! ===")) << damaged.out;
}

TEST_F(Package, PagesCompletionAndDocs)
{
    struct Page
    {
        const char *prog;
        std::vector<std::string> helpArgs; // how the program lists its options
        std::vector<std::string> texts;    // besides the sections
    };
    const Page pages[] = {
        {"updater", {}, {"Couldn't open serial", "dialout", "ERR: No response from CONFIG mode", "-config"}},
        {"devsim", {"--help"}, {}},
        {"affpack", {"--help"}, {}}};
    for (const Page &page : pages)
    {
        SCOPED_TRACE(page.prog);
        // The installed page is the source's, renders without warnings, and documents every
        // option the program lists; plain ASCII, wide enough that no option is broken.
        EXPECT_EQ(readTextFile(std::string(UPD_SOURCE_DIR) + "/docs/man/" + page.prog + ".1"),
                  tool({"gzip", "-dc", manPage(page.prog)}).out);
        ProgramResult shown =
            tool({"LC_ALL=C", "MANWIDTH=200", "man", "--warnings", "-l", manPage(page.prog)});
        EXPECT_EQ(0, shown.exitCode);
        EXPECT_EQ("", shown.err) << "groff warnings";
        std::vector<std::string> texts = page.texts;
        texts.insert(texts.end(), {std::string(page.prog) + " - ", "\nSYNOPSIS\n", "\nOPTIONS\n",
                                   "\nEXIT STATUS\n", "\nEXAMPLES\n", "\nSEE ALSO\n"});
        for (const std::string &text : texts)
            EXPECT_TRUE(has(shown.out, text)) << text;
        std::set<std::string> options = optionWords(runProgram(bin(page.prog), page.helpArgs, 30000).out);
        EXPECT_GE(options.size(), 6u);
        for (const std::string &option : options)
            EXPECT_TRUE(has(shown.out, option)) << option << " is not in the manual page";
    }

    // The README's links to the guides work in the installed documentation.
    const std::string docs = tree("root") + "/share/doc/fwupdate/";
    std::string readme = readTextFile(docs + "README.md");
    static const std::regex kLink("\\]\\(([^):#]+)[^)]*\\)");
    int links = 0;
    for (auto it = std::sregex_iterator(readme.begin(), readme.end(), kLink); it != std::sregex_iterator();
         ++it, ++links)
        EXPECT_TRUE(fs::is_regular_file(docs + (*it)[1].str())) << (*it)[1];
    EXPECT_GE(links, 4);
}

} // namespace
