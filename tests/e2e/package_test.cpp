// What is shipped: `make package` builds the Debian package, lintian finds no error in it, dpkg installs
// it into an empty root and `cmake --install` lays the same files into a directory. Both trees are held to
// one table of files; the installed programs, pages, completion and docs are used as a user would.

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include "tests/support/devsim_runner.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace
{

// A program found on PATH (with VAR=VALUE words before it if need be) that must succeed: its output.
std::string run(const std::vector<std::string> &args)
{
    ProgramResult r = runProgram("/usr/bin/env", args, 300000);
    EXPECT_EQ(0, r.exitCode) << args[0] << ": " << r.out << r.err;
    return r.out;
}

TEST(Package, BuildsInstallsAndRuns)
{
    const std::string build = fs::path(UPD_BIN_DIR).parent_path().string();
    DevsimRunner tmp; // only for its temporary directory
    const std::string top = tmp.dir() + "/root", usr = top + "/usr", tree = tmp.dir() + "/tree/usr";
    std::string made = run({"make", "-s", "-C", UPD_SOURCE_DIR, "-o", build + "/build.ninja", "package",
                            "BUILD=" + build, "JOBS=1"});
    std::smatch last; // package.sh names the package on its last line
    ASSERT_TRUE(std::regex_search(made, last, std::regex("[^\n]*(?=\n$)"))) << made;
    const std::string deb = last.str();
    run({"cmake", "--install", build, "--prefix", tree});
    fs::create_directories(top + "/var/lib/dpkg");
    // The empty root has none of the libraries the package depends on: the host's serve.
    run({"dpkg", "--root=" + top, "--force-depends", "--force-not-root", "--log=/dev/null", "-i", deb});
    ASSERT_FALSE(HasFailure());
    EXPECT_EQ(0u, fs::path(deb).filename().string().rfind("fwupdate_" UPD_PROJECT_VERSION "_", 0)) << deb;
    run({"lintian", "--fail-on", "error", deb});
    // The control fields (the description's continuation lines start with a blank).
    std::string control = "\n" + run({"dpkg-deb", "-f", deb});
    for (const char *field :
         {"Package: fwupdate\n", "Version: " UPD_PROJECT_VERSION "\n", "Section: utils\n",
          "Architecture: \\S+\n", "Maintainer: [^\n]*<[^\n]+@[^\n]+>\n", "Depends: [^\n]*libcxx-serial1",
          "Depends: [^\n]*libc6", "Depends: [^\n]*libstdc\\+\\+6",
          "Description: [^\n]+\n( [^\n]*\n)* [^\n]*devsim"})
        EXPECT_TRUE(std::regex_search(control, std::regex(std::string("\n") + field))) << field << control;
    // "-rwxr-xr-x root/root 64112 2026-12-06 12:42 ./usr/bin/updater": everything is root's, in /usr.
    std::string listing = "\n" + run({"dpkg-deb", "-c", deb});
    EXPECT_FALSE(
        std::regex_search(listing, std::regex("\n(?!\\S+ root/root +[0-9]+ \\S+ \\S+ \\./usr/)[^\n]")))
        << listing;
    std::map<std::string, std::string> files;
    for (std::string prog : {"updater", "devsim", "affpack"})
    {
        files["/bin/" + prog] = "-rwxr-xr-x";
        files["/share/man/man1/" + prog + ".1.gz"] = files["/share/bash-completion/completions/" + prog] =
            "-rw-r--r--";
    }
    for (std::string doc : {"README.md", "docs/PORTING.md", "docs/emulator.md", "copyright", "changelog.gz"})
        files["/share/doc/fwupdate/" + doc] = "-rw-r--r--";
    // Both installed trees hold the same files, and nothing in bin but the three programs.
    for (const auto &[path, mode] : files)
    {
        EXPECT_TRUE(
            std::regex_search(listing, std::regex("\n" + mode + " root/root .* \\./usr" + path + "\n")))
            << path;
        for (const std::string &root : {tree, usr})
            EXPECT_TRUE(fs::is_regular_file(root + path) &&
                        (mode[3] == 'x') == !::access((root + path).c_str(), X_OK))
                << root << path;
    }
    for (const std::string &root : {tree, usr})
        for (const auto &entry : fs::recursive_directory_iterator(root))
        {
            std::string path = entry.path().string().substr(root.size());
            EXPECT_TRUE(path.rfind("/share", 0) == 0 || path == "/bin" || files.count(path)) << root << path;
        }
    // The README's links to the guides work in the installed documentation.
    const std::string docs = usr + "/share/doc/fwupdate/", md = readTextFile(docs + "README.md");
    const std::regex link("\\]\\(([^):#]+)[^)]*\\)");
    int links = 0;
    for (auto it = std::sregex_iterator(md.begin(), md.end(), link); it != std::sregex_iterator(); ++it)
        EXPECT_TRUE(++links && fs::is_regular_file(docs + (*it)[1].str())) << (*it)[1];
    EXPECT_GE(links, 4);

    // What the installed completion offers for a command line typed so far (files here in tmp).
    auto complete = [&usr](const std::string &line)
    {
        std::string prog = line.substr(0, line.find(' '));
        return "\n" + run({"bash", "-c",
                           "source \"$1\" && reg=$(complete -p \"$3\") && fn=${reg#*-F } && COMP_LINE=$2 "
                           "COMP_POINT=${#2} && ${fn%% *} \"$3\" && printf '%s\\n' \"${COMPREPLY[@]}\"",
                           "complete", usr + "/share/bash-completion/completions/" + prog, line, prog});
    };
    for (const char *file : {"/fw.aff", "/fw.bin"})
        std::ofstream(tmp.dir() + file) << "x";
    // Words offered after a line, and those ("!word") not offered.
    const std::pair<std::string, std::vector<std::string>> rows[] = {
        {"updater ", {"-affver", "!-update"}},
        {"updater /dev/ttyUSB0 -lock ", {"0", "1"}},
        {"updater /dev/", {"!/dev/null"}}, // only serial ports, and the options after one
        {"updater /dev/ttyUSB0 -", {"-f", "!-affver"}},
        {"updater /dev/ttyUSB0 -update " + tmp.dir() + "/f",
         {tmp.dir() + "/fw.aff", "!" + tmp.dir() + "/fw.bin"}},
        {"updater " + tmp.dir() + "/fw.b", {tmp.dir() + "/fw.bin"}}, // the emulator's link is outside /dev
        {"affpack --block ", {"host-uc:", "device-uc:", "ti:", "nvcm0:"}}};
    for (const auto &[line, words] : rows)
        for (const std::string &w : words)
            EXPECT_EQ(w[0] != '!', contains(complete(line), "\n" + w.substr(w[0] == '!') + "\n"))
                << line << ": " << w;
    for (std::string prog : {"updater", "devsim", "affpack"})
    {
        SCOPED_TRACE(prog);
        // The installed page is the source's and renders without warnings (plain ASCII, wide enough that no
        // option is broken), with its sections in order and the updater's troubleshooting.
        std::string page = usr + "/share/man/man1/" + prog + ".1.gz";
        EXPECT_EQ(readTextFile(UPD_SOURCE_DIR "/docs/man/" + prog + ".1"), run({"gzip", "-dc", page}));
        ProgramResult shown =
            runProgram("/usr/bin/env", {"LC_ALL=C", "MANWIDTH=200", "man", "--warnings", "-l", page}, 60000);
        EXPECT_EQ("", shown.err) << "groff warnings";
        std::regex sections(
            prog + " - [^]*\nSYNOPSIS\n[^]*\nOPTIONS\n[^]*\nEXIT STATUS\n[^]*\nEXAMPLES\n[^]*\nSEE ALSO\n");
        EXPECT_TRUE(std::regex_search(shown.out, sections)) << shown.out;
        for (const char *text : {"Couldn't open serial", "dialout", "ERR: No response from CONFIG mode"})
            EXPECT_TRUE(prog != "updater" || contains(shown.out, text)) << text;
        // Every option the program lists (the updater in its usage) is in its page and is offered by its
        // completion (the updater's after a port).
        ProgramResult help = runProgram(usr + "/bin/" + prog, {prog == "updater" ? "-h" : "--help"}, 30000);
        EXPECT_EQ(prog == "updater" ? 1 : 0, help.exitCode);
        const std::regex option("(^|[\\s\\[|,])(--?[a-z][a-z0-9-]*)");
        std::string offered = complete(prog + (prog == "updater" ? " /dev/ttyS0 -" : " -"));
        int options = 0;
        for (auto it = std::sregex_iterator(help.out.begin(), help.out.end(), option);
             it != std::sregex_iterator(); ++it, ++options)
            EXPECT_TRUE(contains(shown.out, (*it)[2]) &&
                        ((*it)[2] == "-affver" || contains(offered, "\n" + (*it)[2].str() + "\n")))
                << (*it)[2] << " is not in the manual page or not offered";
        EXPECT_GE(options, 6);
    }

    // The installed affpack builds a container that the installed emulator is made for, and the installed
    // updater reads the emulator's versions: product and hardware as in the container.
    DevsimRunner dev(usr + "/bin/devsim");
    std::ofstream(dev.dir() + "/host.bin") << std::string(3000, 'Z');
    std::string aff = dev.dir() + "/fw.aff",
                block = "host-uc:" + dev.dir() + "/host.bin:512:version=10700001";
    run({usr + "/bin/affpack", "-o", aff, "--product", "7", "--hardware", "3", "--block", block});
    ASSERT_TRUE(dev.start({"--container", aff})) << dev.stderrText();
    std::string readver = run({usr + "/bin/updater", dev.port(), "-readver"});
    EXPECT_TRUE(contains(readver, "product id: 7, hw id: 3\n") && contains(readver, "successfully"))
        << readver;
    EXPECT_EQ(0, dev.stop()) << dev.stderrText();
}

} // namespace
