// The Debian package: built with cpack from this build into a temporary directory;
// its control fields and contents are read back with dpkg-deb, lintian checks it and
// dpkg installs it into a temporary root.

#include "tests/support/devsim_runner.h"
#include "tests/support/ship_tools.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <sstream>

namespace fs = std::filesystem;
using testsupport::runProgram;

namespace
{

const int kToolTimeoutMs = 300000;

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

class DebPackage : public ::testing::Test
{
  protected:
    // One package for the whole suite.
    static void SetUpTestSuite()
    {
        s_dpkgDeb = testsupport::findOnPath("dpkg-deb");
        if (s_dpkgDeb.empty())
            return;
        s_dir = std::make_unique<testsupport::ScratchDir>("package-test");
        std::string cpack = testsupport::cacheValue("CMAKE_CPACK_COMMAND");
        s_cpack = runProgram(
            cpack,
            {"-G", "DEB", "--config", testsupport::buildDir() + "/CPackConfig.cmake", "-B", s_dir->path()},
            kToolTimeoutMs);
        for (const auto &entry : fs::directory_iterator(s_dir->path()))
        {
            if (entry.path().extension() == ".deb")
                s_debs.push_back(entry.path().string());
        }
    }
    static void TearDownTestSuite() { s_dir.reset(); }

    void SetUp() override
    {
        if (s_dpkgDeb.empty())
            GTEST_SKIP() << "dpkg-deb is not installed";
        ASSERT_EQ(s_cpack.exitCode, 0) << s_cpack.out << s_cpack.err;
        ASSERT_EQ(s_debs.size(), 1u) << s_cpack.out;
    }

    static std::string deb() { return s_debs.front(); }

    static std::string s_dpkgDeb;
    static std::unique_ptr<testsupport::ScratchDir> s_dir;
    static testsupport::ProgramResult s_cpack;
    static std::vector<std::string> s_debs;
};

std::string DebPackage::s_dpkgDeb;
std::unique_ptr<testsupport::ScratchDir> DebPackage::s_dir;
testsupport::ProgramResult DebPackage::s_cpack;
std::vector<std::string> DebPackage::s_debs;

TEST_F(DebPackage, ControlFieldsNameThePackageAndItsDependencies)
{
    std::string version = testsupport::cacheValue("CMAKE_PROJECT_VERSION");
    ASSERT_FALSE(version.empty());
    EXPECT_EQ(fs::path(deb()).filename().string().rfind("fwupdate_" + version + "_", 0), 0u) << deb();

    auto r = runProgram(s_dpkgDeb, {"-f", deb()}, 30000);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // Single-line fields by name; the description's continuation lines start with a blank.
    std::map<std::string, std::string> fields;
    for (const std::string &line : testsupport::textLines(r.out))
    {
        size_t colon = line.find(": ");
        if (!line.empty() && line[0] != ' ' && colon != std::string::npos)
            fields[line.substr(0, colon)] = line.substr(colon + 2);
    }
    EXPECT_EQ(fields["Package"], "fwupdate");
    EXPECT_EQ(fields["Version"], version);
    EXPECT_EQ(fields["Section"], "utils");
    EXPECT_FALSE(fields["Architecture"].empty());
    EXPECT_TRUE(contains(fields["Maintainer"], "<") && contains(fields["Maintainer"], "@"))
        << fields["Maintainer"];
    EXPECT_FALSE(fields["Description"].empty());
    EXPECT_TRUE(contains(r.out, "\n devsim") || contains(r.out, " devsim, ")) << "long description";
    // The serial library's runtime and the C and C++ runtimes.
    for (const char *dependency : {"libcxx-serial1", "libc6", "libstdc++6"})
        EXPECT_TRUE(contains(fields["Depends"], dependency)) << fields["Depends"];
}

TEST_F(DebPackage, HoldsProgramsPagesCompletionAndDocsOwnedByRoot)
{
    auto r = runProgram(s_dpkgDeb, {"-c", deb()}, 30000);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // "-rwxr-xr-x root/root 64112 2026-12-06 12:42 ./usr/bin/updater"
    std::map<std::string, std::string> modes;
    for (const std::string &line : testsupport::textLines(r.out))
    {
        std::istringstream fields(line);
        std::string mode, owner, size, date, time, path;
        fields >> mode >> owner >> size >> date >> time >> path;
        EXPECT_EQ(owner, "root/root") << line;
        EXPECT_EQ(path.rfind("./usr/", 0), 0u) << "outside /usr: " << line;
        modes[path] = mode;
    }
    for (const char *prog : {"updater", "devsim", "affpack"})
    {
        SCOPED_TRACE(prog);
        EXPECT_EQ(modes[std::string("./usr/bin/") + prog], "-rwxr-xr-x");
        EXPECT_EQ(modes[std::string("./usr/share/man/man1/") + prog + ".1.gz"], "-rw-r--r--");
        EXPECT_EQ(modes[std::string("./usr/share/bash-completion/completions/") + prog], "-rw-r--r--");
    }
    for (const char *doc : {"README.md", "docs/PORTING.md", "docs/emulator.md", "copyright", "changelog.gz"})
        EXPECT_EQ(modes[std::string("./usr/share/doc/fwupdate/") + doc], "-rw-r--r--") << doc;
    // Only the three programs: no test or benchmark programs slip in.
    for (const auto &[path, mode] : modes)
    {
        if (path.rfind("./usr/bin/", 0) == 0 && path != "./usr/bin/")
        {
            EXPECT_TRUE(path == "./usr/bin/updater" || path == "./usr/bin/devsim" ||
                        path == "./usr/bin/affpack")
                << path;
        }
    }
}

// lintian finds no error, and dpkg installs the package into an empty root, where the
// programs run and the pages are the ones in the source tree.
TEST_F(DebPackage, LintianAcceptsItAndItInstallsIntoARoot)
{
    std::string lintian = testsupport::findOnPath("lintian");
    if (!lintian.empty())
    {
        auto check = runProgram(lintian, {"--fail-on", "error", deb()}, kToolTimeoutMs);
        EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
        EXPECT_FALSE(contains(check.out, "E: ")) << check.out;
    }

    testsupport::ScratchDir root("package-root");
    fs::create_directories(root.path() + "/var/lib/dpkg/updates");
    fs::create_directories(root.path() + "/var/lib/dpkg/info");
    std::ofstream(root.path() + "/var/lib/dpkg/status").flush();
    // The empty root has none of the libraries the package depends on: the host's serve.
    auto install = runProgram(
        testsupport::findOnPath("dpkg"),
        {"--root=" + root.path(), "--force-depends", "--force-not-root", "--log=/dev/null", "-i", deb()},
        kToolTimeoutMs);
    ASSERT_EQ(install.exitCode, 0) << install.out << install.err;

    std::string gzip = testsupport::findOnPath("gzip");
    for (const char *prog : {"updater", "devsim", "affpack"})
    {
        SCOPED_TRACE(prog);
        auto page = runProgram(gzip, {"-dc", root.path() + "/usr/share/man/man1/" + prog + ".1.gz"}, 30000);
        EXPECT_EQ(page.out,
                  testsupport::readTextFile(std::string(UPD_SOURCE_DIR) + "/docs/man/" + prog + ".1"));
    }
    // The installed (stripped) programs run: the usage, affpack's help, and -affver of a container it built.
    const std::string bin = root.path() + "/usr/bin/";
    auto usage = runProgram(bin + "updater", {}, 30000);
    EXPECT_EQ(usage.exitCode, 1);
    EXPECT_TRUE(contains(usage.out, "Usage: ")) << usage.out;
    std::ofstream(root.path() + "/host.bin") << std::string(2048, 'x');
    auto pack = runProgram(bin + "affpack",
                           {"-o", root.path() + "/fw.aff", "--product", "1", "--hardware", "0", "--block",
                            "host-uc:" + root.path() + "/host.bin:1024:version=10700001"},
                           30000);
    ASSERT_EQ(pack.exitCode, 0) << pack.err;
    auto affver = runProgram(bin + "updater", {"-affver", root.path() + "/fw.aff"}, 30000);
    EXPECT_EQ(affver.exitCode, 0) << affver.out << affver.err;
    EXPECT_TRUE(contains(affver.out, "\tHOST: 1.7.0.1")) << affver.out;
    auto sim = runProgram(bin + "devsim", {"--help"}, 30000);
    EXPECT_EQ(sim.exitCode, 0) << sim.err;
}

} // namespace
