// The installed tree: `cmake --install` into a temporary prefix, then the installed
// programs, manual pages and bash completion are used as a user would use them.

#include "tests/support/devsim_runner.h"
#include "tests/support/ship_tools.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using testsupport::runProgram;

namespace
{

const char *const kPrograms[] = {"updater", "devsim", "affpack"};
const int kToolTimeoutMs = 120000;

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

class InstallTree : public ::testing::Test
{
  protected:
    // One install for the whole suite: every test only reads the tree.
    static void SetUpTestSuite()
    {
        s_root = std::make_unique<testsupport::ScratchDir>("install-test");
        s_prefix = s_root->path() + "/usr";
        std::string cmake = testsupport::cacheValue("CMAKE_COMMAND");
        s_install =
            runProgram(cmake, {"--install", testsupport::buildDir(), "--prefix", s_prefix}, kToolTimeoutMs);
    }
    static void TearDownTestSuite() { s_root.reset(); }

    void SetUp() override
    {
        ASSERT_TRUE(s_root->ok());
        ASSERT_EQ(s_install.exitCode, 0) << s_install.out << s_install.err;
    }

    static std::string bin(const std::string &name) { return s_prefix + "/bin/" + name; }

    // The installed manual page of a program: gzipped or plain.
    static std::string manPage(const std::string &name)
    {
        std::string base = s_prefix + "/share/man/man1/" + name + ".1";
        return fs::exists(base + ".gz") ? base + ".gz" : base;
    }

    static std::string completionFile(const std::string &name)
    {
        return s_prefix + "/share/bash-completion/completions/" + name;
    }

    // What the installed completion of prog offers for the command line typed so far.
    static std::vector<std::string> complete(const std::string &prog, const std::string &line)
    {
        std::string bash = testsupport::findOnPath("bash");
        // The function registered by `complete -F FN prog` is called as bash would call it.
        const char *script = R"(source "$1" || exit 2
compspec=$(complete -p "$3") || exit 3
fn=${compspec#*-F }; fn=${fn%% *}
COMP_LINE=$2; COMP_POINT=${#COMP_LINE}
read -ra COMP_WORDS <<<"$2"; COMP_CWORD=${#COMP_WORDS[@]}
[[ $2 == *' ' ]] || COMP_CWORD=$((COMP_CWORD - 1))
"$fn" "$3" || exit 4
printf '%s\n' "${COMPREPLY[@]}")";
        auto r = runProgram(bash, {"-c", script, "complete-test", completionFile(prog), line, prog}, 30000);
        EXPECT_EQ(r.exitCode, 0) << "completing [" << line << "]: " << r.err;
        std::vector<std::string> offered;
        for (const std::string &word : testsupport::textLines(r.out))
        {
            if (!word.empty())
                offered.push_back(word);
        }
        return offered;
    }

    static std::unique_ptr<testsupport::ScratchDir> s_root;
    static std::string s_prefix;
    static testsupport::ProgramResult s_install;
};

std::unique_ptr<testsupport::ScratchDir> InstallTree::s_root;
std::string InstallTree::s_prefix;
testsupport::ProgramResult InstallTree::s_install;

bool offers(const std::vector<std::string> &offered, const std::string &word)
{
    return std::find(offered.begin(), offered.end(), word) != offered.end();
}

TEST_F(InstallTree, PutsProgramsPagesCompletionAndDocsInPlace)
{
    for (const char *prog : kPrograms)
    {
        SCOPED_TRACE(prog);
        EXPECT_EQ(::access(bin(prog).c_str(), X_OK), 0) << bin(prog);
        EXPECT_TRUE(fs::is_regular_file(manPage(prog))) << manPage(prog);
        EXPECT_TRUE(fs::is_regular_file(completionFile(prog))) << completionFile(prog);
    }
    for (const char *doc : {"README.md", "docs/PORTING.md", "docs/emulator.md", "copyright", "changelog.gz"})
        EXPECT_TRUE(fs::is_regular_file(s_prefix + "/share/doc/fwupdate/" + doc)) << doc;
    // Nothing but the installed layout: no test programs, headers or build files.
    for (const auto &entry : fs::recursive_directory_iterator(s_prefix))
    {
        std::string rel = fs::relative(entry.path(), s_prefix).string();
        EXPECT_TRUE(rel.rfind("bin", 0) == 0 || rel.rfind("share", 0) == 0) << rel;
        if (rel.rfind("bin/", 0) == 0)
        {
            EXPECT_TRUE(rel == "bin/updater" || rel == "bin/devsim" || rel == "bin/affpack") << rel;
        }
    }
}

TEST_F(InstallTree, InstalledProgramsRunOnTheirOwn)
{
    auto usage = runProgram(bin("updater"), {}, 30000);
    EXPECT_EQ(usage.exitCode, 1);
    EXPECT_EQ(usage.out.rfind("UPDATER  version: ", 0), 0u) << usage.out;
    EXPECT_TRUE(contains(usage.out, "Usage: " + bin("updater") + " PORT [options]\n")) << usage.out;

    auto help = runProgram(bin("devsim"), {"--help"}, 30000);
    EXPECT_EQ(help.exitCode, 0) << help.err;
    EXPECT_TRUE(contains(help.out, "Usage: devsim [options] LINK")) << help.out;

    // affpack builds a container that the installed updater then lists.
    testsupport::ScratchDir work("install-run");
    ASSERT_TRUE(
        testsupport::writeBinaryFile(work.path() + "/host.bin", std::vector<unsigned char>(3000, 0x5A)));
    std::string aff = work.path() + "/fw.aff";
    auto pack = runProgram(bin("affpack"),
                           {"-o", aff, "--product", "7", "--hardware", "3", "--block",
                            "host-uc:" + work.path() + "/host.bin:512:version=10700001"},
                           30000);
    ASSERT_EQ(pack.exitCode, 0) << pack.out << pack.err;
    auto list = runProgram(bin("updater"), {"-affver", aff}, 30000);
    EXPECT_EQ(list.exitCode, 0) << list.out;
    EXPECT_TRUE(contains(list.out, "AFF: 7 / 3")) << list.out;
    EXPECT_TRUE(contains(list.out, "HOST: 1.7.0.1")) << list.out;

    // A container cut short is refused with the failure verdict.
    fs::resize_file(aff, 40);
    auto damaged = runProgram(bin("updater"), {"-affver", aff}, 30000);
    EXPECT_EQ(damaged.exitCode, 1) << damaged.out;
    EXPECT_TRUE(contains(damaged.out, "=== ERRORS OCCURED! ===")) << damaged.out;
}

TEST_F(InstallTree, InstalledUpdaterTalksToInstalledEmulator)
{
    testsupport::ScratchDir work("install-dev");
    std::vector<unsigned char> image(2048, 0xA5);
    ASSERT_TRUE(testsupport::writeBinaryFile(work.path() + "/host.bin", image));
    std::string aff = work.path() + "/fw.aff";
    ASSERT_EQ(runProgram(bin("affpack"),
                         {"-o", aff, "--product", "2", "--hardware", "1", "--block",
                          "host-uc:" + work.path() + "/host.bin:version=10700009"},
                         30000)
                  .exitCode,
              0);

    std::string link = work.path() + "/ttyDEV0";
    std::string devsim = bin("devsim");
    std::vector<std::string> args = {devsim, "--container", aff, link};
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::string log = work.path() + "/devsim.log";
    pid_t pid = ::fork();
    if (pid == 0)
    {
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
        ::execv(devsim.c_str(), argv.data());
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    for (int i = 0; i < 100 && !fs::is_symlink(link); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));

    // Two complete runs: read the versions (the device is left locked), then unlock.
    auto readver = runProgram(bin("updater"), {link, "-readver"}, 60000);
    EXPECT_EQ(readver.exitCode, 0) << readver.out << testsupport::readTextFile(log);
    EXPECT_TRUE(contains(readver.out, "product id: 2, hw id: 1")) << readver.out;
    EXPECT_TRUE(contains(readver.out, "Operation completed successfully")) << readver.out;

    ::kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << testsupport::readTextFile(log);
    EXPECT_FALSE(fs::is_symlink(link)) << "the emulator leaves its link behind";
}

TEST_F(InstallTree, ManualPagesRenderAndDocumentEveryOption)
{
    std::string man = testsupport::findOnPath("man");
    if (man.empty())
        GTEST_SKIP() << "man is not installed";
    std::string env = testsupport::findOnPath("env");
    struct Page
    {
        const char *prog;
        std::vector<std::string> helpArgs; // how the program lists its options
        int helpStatus;
    };
    const Page pages[] = {{"updater", {}, 1}, {"devsim", {"--help"}, 0}, {"affpack", {"--help"}, 0}};
    for (const Page &page : pages)
    {
        SCOPED_TRACE(page.prog);
        // Plain ASCII output, wide enough that no option is broken across lines.
        auto shown = runProgram(
            env, {"LC_ALL=C", "MANWIDTH=200", man, "--warnings", "-l", manPage(page.prog)}, kToolTimeoutMs);
        ASSERT_EQ(shown.exitCode, 0) << shown.err;
        EXPECT_EQ(shown.err, "") << "groff warnings";
        EXPECT_TRUE(contains(shown.out, std::string(page.prog) + " - ")) << shown.out;
        for (const char *section : {"SYNOPSIS", "OPTIONS", "EXIT STATUS", "EXAMPLES", "SEE ALSO"})
            EXPECT_TRUE(contains(shown.out, std::string("\n") + section + "\n")) << section;

        // Every option the program itself lists is documented.
        auto help = runProgram(bin(page.prog), page.helpArgs, 30000);
        ASSERT_EQ(help.exitCode, page.helpStatus) << help.out << help.err;
        std::set<std::string> options = testsupport::optionWords(help.out, true);
        EXPECT_GE(options.size(), 6u) << help.out;
        for (const std::string &option : options)
            EXPECT_TRUE(contains(shown.out, option)) << option << " is not in the manual page";
    }
    // The troubleshooting notes of the updater name the messages the user sees.
    auto shown = runProgram(env, {"LC_ALL=C", "MANWIDTH=200", man, "-l", manPage("updater")}, kToolTimeoutMs);
    for (const char *text :
         {"Couldn't open serial", "dialout", "ERR: No response from CONFIG mode", "-config"})
        EXPECT_TRUE(contains(shown.out, text)) << text;
}

TEST_F(InstallTree, CompletionOffersOptionsPortsAndContainers)
{
    if (testsupport::findOnPath("bash").empty())
        GTEST_SKIP() << "bash is not installed";
    testsupport::ScratchDir work("install-compl");
    const std::string dir = work.path();
    ASSERT_TRUE(testsupport::writeBinaryFile(dir + "/fw.aff", {1}));
    ASSERT_TRUE(testsupport::writeBinaryFile(dir + "/fw.bin", {1}));
    ASSERT_TRUE(testsupport::writeBinaryFile(dir + "/host.bin", {1}));

    struct Case
    {
        const char *prog;
        std::string line;
        std::vector<std::string> offered;
        std::vector<std::string> notOffered;
    };
    const Case cases[] = {
        {"updater", "updater ", {"-affver"}, {"-update"}},
        {"updater",
         "updater /dev/ttyUSB0 -",
         {"-readver", "-config", "-ub", "-update", "-lock", "-nf", "-f", "-v"},
         {"-affver"}},
        {"updater", "updater /dev/ttyUSB0 -lock ", {"0", "1"}, {}},
        // A container is preferred where the updater reads one...
        {"updater", "updater /dev/ttyUSB0 -update " + dir + "/f", {dir + "/fw.aff"}, {dir + "/fw.bin"}},
        {"updater", "updater -affver " + dir + "/f", {dir + "/fw.aff"}, {dir + "/fw.bin"}},
        // ...and any file when there is none.
        {"updater", "updater /dev/ttyUSB0 -update " + dir + "/h", {dir + "/host.bin"}, {}},
        // The emulator's link is a port outside /dev.
        {"updater", "updater " + dir + "/fw.b", {dir + "/fw.bin"}, {}},
        {"devsim", "devsim --container " + dir + "/f", {dir + "/fw.aff"}, {}},
        {"devsim", "devsim verify ", {}, {"--state"}},
        {"devsim", "devsim --app-baud ", {"115200", "921600", "3000000"}, {}},
        {"affpack", "affpack --block ", {"host-uc:", "device-uc:", "ti:", "nvcm0:"}, {}},
        {"affpack", "affpack --format ", {"1", "2", "3"}, {}},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.line);
        std::vector<std::string> offered = complete(c.prog, c.line);
        for (const std::string &word : c.offered)
            EXPECT_TRUE(offers(offered, word)) << word;
        for (const std::string &word : c.notOffered)
            EXPECT_FALSE(offers(offered, word)) << word;
    }

    // The image file of a block definition, after its type.
    std::vector<std::string> image = complete("affpack", "affpack --block host-uc:" + dir + "/ho");
    ASSERT_EQ(image.size(), 1u);
    EXPECT_TRUE(image[0] == dir + "/host.bin" || image[0] == "host-uc:" + dir + "/host.bin") << image[0];

    // Only serial ports where a port is expected.
    for (const std::string &port : complete("updater", "updater /dev/"))
    {
        EXPECT_TRUE(port.rfind("/dev/ttyS", 0) == 0 || port.rfind("/dev/ttyUSB", 0) == 0 ||
                    port.rfind("/dev/ttyACM", 0) == 0 || port.rfind("/dev/serial/by-id/", 0) == 0)
            << port;
    }

    // Every option the programs list is offered.
    for (const char *prog : {"devsim", "affpack"})
    {
        SCOPED_TRACE(prog);
        auto help = runProgram(bin(prog), {"--help"}, 30000);
        std::vector<std::string> offered = complete(prog, std::string(prog) + " -");
        for (const std::string &option : testsupport::optionWords(help.out, true))
            EXPECT_TRUE(offers(offered, option)) << option;
    }
}

} // namespace
