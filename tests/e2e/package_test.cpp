// What is shipped: `make package` builds the Debian package, lintian finds no error in it, dpkg installs
// it into an empty root and `cmake --install` lays the same files into a directory. Both trees are held to
// one table of files; the installed programs, pages, completion and docs are used as a user would.

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sstream>
#include "tests/support/devsim_runner.h"

namespace fs = std::filesystem;
using namespace testsupport;

namespace
{

const std::string kBuild = fs::path(UPD_BIN_DIR).parent_path().string();

// A program found on PATH, with VAR=VALUE words before it if need be.
ProgramResult tool(const std::vector<std::string> &args)
{
    return runProgram("/usr/bin/env", args, 300000);
}

// The package, its install into an empty root and a plain install, made once for all tests.
struct Shipped
{
    DevsimRunner tmp; // only for its temporary directory
    std::string deb, top = tmp.dir() + "/root", root = top + "/usr", tree = tmp.dir() + "/tree/usr", log;
    std::string step(const std::vector<std::string> &args)
    {
        ProgramResult r = tool(args);
        log += r.exitCode == 0 ? "" : "failed: " + args[0] + "\n" + r.out + r.err;
        return r.out;
    }
    Shipped()
    {
        std::string made = step({"make", "-s", "-C", UPD_SOURCE_DIR, "-o", kBuild + "/build.ninja", "package",
                                 "BUILD=" + kBuild, "JOBS=1"});
        std::smatch last; // package.sh names the package on its last line
        deb = std::regex_search(made, last, std::regex("[^\n]*(?=\n$)")) ? last.str() : "";
        step({"cmake", "--install", kBuild, "--prefix", tree});
        fs::create_directories(top + "/var/lib/dpkg/updates");
        fs::create_directories(top + "/var/lib/dpkg/info");
        std::ofstream(top + "/var/lib/dpkg/status").flush();
        // The empty root has none of the libraries the package depends on: the host's serve.
        step({"dpkg", "--root=" + top, "--force-depends", "--force-not-root", "--log=/dev/null", "-i", deb});
    }
    std::string bin(const std::string &prog) const { return root + "/bin/" + prog; }
};

const Shipped &shipped()
{
    static Shipped once;
    return once;
}

TEST(Package, FieldsFilesPagesAndCompletion)
{
    const Shipped &s = shipped();
    ASSERT_EQ("", s.log);
    EXPECT_EQ(0u, fs::path(s.deb).filename().string().rfind("fwupdate_" UPD_PROJECT_VERSION "_", 0)) << s.deb;
    ProgramResult lintian = tool({"lintian", "--fail-on", "error", s.deb});
    EXPECT_EQ(0, lintian.exitCode) << lintian.out << lintian.err;
    // The control fields (the description's continuation lines start with a blank).
    std::string control = "\n" + tool({"dpkg-deb", "-f", s.deb}).out;
    for (const char *field :
         {"Package: fwupdate\n", "Version: " UPD_PROJECT_VERSION "\n", "Section: utils\n",
          "Architecture: \\S+\n", "Maintainer: [^\n]*<[^\n]+@[^\n]+>\n", "Depends: [^\n]*libcxx-serial1",
          "Depends: [^\n]*libc6", "Depends: [^\n]*libstdc\\+\\+6",
          "Description: [^\n]+\n( [^\n]*\n)* [^\n]*devsim"})
        EXPECT_TRUE(std::regex_search(control, std::regex(std::string("\n") + field))) << field << control;

    // "-rwxr-xr-x root/root 64112 2026-12-06 12:42 ./usr/bin/updater": everything is root's, in /usr.
    std::string listing = "\n" + tool({"dpkg-deb", "-c", s.deb}).out;
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
        for (const std::string &tree : {s.tree, s.root})
            EXPECT_EQ(mode[3] == 'x',
                      ::access((tree + path).c_str(), X_OK) == 0 && fs::is_regular_file(tree + path))
                << tree << path;
    }
    for (const std::string &tree : {s.tree, s.root})
        for (const auto &entry : fs::recursive_directory_iterator(tree))
        {
            std::string path = entry.path().string().substr(tree.size());
            EXPECT_TRUE(path.rfind("/share", 0) == 0 || path == "/bin" || files.count(path)) << tree << path;
        }
    // The README's links to the guides work in the installed documentation.
    const std::string docs = s.root + "/share/doc/fwupdate/", readme = readTextFile(docs + "README.md");
    const std::regex link("\\]\\(([^):#]+)[^)]*\\)");
    int links = 0;
    for (auto it = std::sregex_iterator(readme.begin(), readme.end(), link); it != std::sregex_iterator();
         ++it)
        EXPECT_TRUE(++links && fs::is_regular_file(docs + (*it)[1].str())) << (*it)[1];
    EXPECT_GE(links, 4);

    // What the installed completion of a program offers for the command line typed so far.
    auto complete = [&s](const std::string &line)
    {
        std::string prog = line.substr(0, line.find(' '));
        ProgramResult r =
            tool({"bash", "-c",
                  "source \"$1\" && spec=$(complete -p \"$3\") && fn=${spec#*-F } && COMP_LINE=$2 "
                  "COMP_POINT=${#2} && ${fn%% *} \"$3\" && printf '%s\\n' \"${COMPREPLY[@]}\"",
                  "complete", s.root + "/share/bash-completion/completions/" + prog, line, prog});
        EXPECT_EQ(0, r.exitCode) << line << r.err;
        return "\n" + r.out;
    };
    for (std::string prog : {"updater", "devsim", "affpack"})
    {
        SCOPED_TRACE(prog);
        // The installed page is the source's and renders without warnings (plain ASCII, wide
        // enough that no option is broken), with its sections and the updater's troubleshooting.
        std::string page = s.root + "/share/man/man1/" + prog + ".1.gz";
        EXPECT_EQ(readTextFile(UPD_SOURCE_DIR "/docs/man/" + prog + ".1"), tool({"gzip", "-dc", page}).out);
        ProgramResult shown = tool({"LC_ALL=C", "MANWIDTH=200", "man", "--warnings", "-l", page});
        EXPECT_EQ("", shown.err) << "groff warnings";
        std::vector<std::string> texts = {prog + " - ",      "\nSYNOPSIS\n", "\nOPTIONS\n",
                                          "\nEXIT STATUS\n", "\nEXAMPLES\n", "\nSEE ALSO\n"};
        if (prog == "updater")
            texts.insert(texts.end(),
                         {"Couldn't open serial", "dialout", "ERR: No response from CONFIG mode"});
        for (const std::string &text : texts)
            EXPECT_TRUE(contains(shown.out, text)) << text;
        // Every option the program lists (the updater in its usage) is in its page and is offered by its
        // completion: the updater's after a port (-affver only before one).
        ProgramResult help = runProgram(s.bin(prog), {prog == "updater" ? "-h" : "--help"}, 30000);
        EXPECT_EQ(prog == "updater" ? 1 : 0, help.exitCode);
        std::string offered = complete(prog + (prog == "updater" ? " /dev/ttyS0 -" : " -")),
                    first = complete(prog + " ");
        const std::regex option("(^|[\\s\\[|,])(--?[a-z][a-z0-9-]*)");
        int options = 0;
        for (auto it = std::sregex_iterator(help.out.begin(), help.out.end(), option);
             it != std::sregex_iterator(); ++it, ++options)
        {
            EXPECT_TRUE(contains(shown.out, (*it)[2])) << (*it)[2] << " is not in the manual page";
            EXPECT_TRUE(contains((*it)[2] == "-affver" ? first : offered, "\n" + (*it)[2].str() + "\n"))
                << (*it)[2];
        }
        EXPECT_GE(options, 6);
    }
}

// affpack builds a container that the emulator is made for, and the updater reads the
// emulator's versions: product and hardware as in the container.
TEST(Package, InstalledProgramsRun)
{
    const Shipped &s = shipped();
    ASSERT_EQ("", s.log);
    DevsimRunner dev(s.bin("devsim"));
    std::ofstream(dev.dir() + "/host.bin") << std::string(3000, 'Z');
    std::string aff = dev.dir() + "/fw.aff",
                block = "host-uc:" + dev.dir() + "/host.bin:512:version=10700001";
    ProgramResult pack =
        tool({s.bin("affpack"), "-o", aff, "--product", "7", "--hardware", "3", "--block", block});
    ASSERT_EQ(0, pack.exitCode) << pack.out << pack.err;
    ASSERT_TRUE(dev.start({"--container", aff})) << dev.stderrText();
    ProgramResult readver = runProgram(s.bin("updater"), {dev.port(), "-readver"}, 60000);
    EXPECT_EQ(0, readver.exitCode) << readver.out << dev.stderrText();
    EXPECT_TRUE(contains(readver.out, "product id: 7, hw id: 3\n") && contains(readver.out, "successfully"))
        << readver.out;
    EXPECT_EQ(0, dev.stop()) << dev.stderrText();
    EXPECT_FALSE(fs::is_symlink(dev.port())) << "the emulator leaves its link behind";
}

} // namespace
