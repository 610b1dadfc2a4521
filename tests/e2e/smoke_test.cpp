// The real programs over a real pseudo-terminal: the updater, the serial library, the emulator
// and its verify fit together. Where the run goes as it would in-process, the terminal text is
// exactly what the engine shows against the emulator's model. ctest runs the tests side by side.

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <regex>
#include <sstream>

#include <unistd.h>

#include "tests/support/devsim_runner.h"
#include "tests/support/sim_link.h"
#include "tests/support/update_lines.h"

using namespace testsupport;

namespace
{

constexpr int kRunTimeoutMs = 120000;
const std::string kSuccess = "\x1b[1;32m\nOperation completed successfully\n\x1b[0m";

std::string writeContainer(const std::string &dir)
{
    Bytes bytes = fiveComponents().build();
    std::string path = dir + "/fw.aff";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    return path;
}

ProgramResult verify(const DevsimRunner &dev, const std::string &aff)
{
    return runProgram(programPath("devsim"), {"verify", dev.stateDir(), aff}, kRunTimeoutMs);
}

struct SmokeRun
{
    const char *name;
    std::vector<std::string> devsimArgs;
    bool update; // -update of fiveComponents() (devsim made for it, verified after), else -readver
    // The same device in-process, whose screen the updater's must be; none: the link is lost.
    std::function<void(SimRig &)> rig;
    const char *summaryKey;
    long long summaryValue;
};

const SmokeRun kRuns[] = {
    {"FullUpdate", {}, true, [](SimRig &) {}, "requests.HELLO", 1},
    {"ReadVersions",
     {"--product-id", "3", "--hardware-id", "2", "--set-version", "host-uc=10203001"},
     false,
     [](SimRig &rig)
     {
         rig.productId = 3;
         rig.hardwareId = 2;
         rig.config.versions = {{devsim::VersionSlot::HostUc, 10203001}};
     },
     "requests.HELLO",
     1},
    // The emulator drops its terminal after the second part for 1.5 s and comes back.
    {"LostLink", {"--disconnect-at-part", "2:1500"}, true, nullptr, "faults.disconnects", 1},
};

using Smoke = ::testing::TestWithParam<SmokeRun>;

TEST_P(Smoke, Run)
{
    const SmokeRun &row = GetParam();
    DevsimRunner dev;
    std::string aff = writeContainer(dev.dir());
    std::vector<std::string> args = row.devsimArgs;
    if (row.update)
        args.insert(args.end(), {"--container", aff});
    ASSERT_TRUE(dev.start(args)) << dev.stderrText();
    std::vector<std::string> op = {dev.port(), "-readver"};
    if (row.update)
        op = {dev.port(), "-update", aff};
    ProgramResult run = runProgram(programPath("updater"), op, kRunTimeoutMs);
    const std::string &out = run.out;
    EXPECT_EQ(0, run.exitCode) << out << run.err;
    if (row.rig)
    {
        SimRig rig;
        if (row.update)
            rig.aff = fiveComponents().build();
        row.rig(rig);
        EXPECT_EQ(1, rig.run(row.update ? UPDATER_OP_UPDATE_ALL : UPDATER_OP_READ_VERSIONS));
        EXPECT_EQ("UPDATER  version: 10700000 (Aug  9 2024)\nConnected to port " + dev.port() + "\n" +
                      rig.link.screen + kSuccess,
                  out);
    }
    else
    {
        // The loss in red and the reconnection in green, once and in this order; one resend
        // (a log line, then its rewrites "\r[ nn% ] text"), and the verdict.
        auto count = [&out](const char *pattern)
        {
            std::regex regex(pattern);
            return std::distance(std::sregex_iterator(out.begin(), out.end(), regex), std::sregex_iterator());
        };
        EXPECT_EQ(1, count("\x1b\\[1;31m\nConnection lost \\(.*\\), reconnecting\\.\\.\\.\x1b\\[0m[^\x1b]*"
                           "\x1b\\[1;32m\nReconnected\x1b\\[0m"))
            << out;
        EXPECT_EQ(1, count("Connection lost")) << out;
        EXPECT_EQ(1, count("\n\\[ *[0-9]+% \\] Resending last packet")) << out;
        EXPECT_EQ(kSuccess, out.substr(out.size() - std::min(out.size(), kSuccess.size())));
    }
    ASSERT_EQ(0, dev.stop());
    EXPECT_EQ(row.summaryValue, dev.summaryValue(row.summaryKey)) << row.summaryKey;
    if (row.update)
    {
        ProgramResult check = verify(dev, aff);
        EXPECT_EQ(0, check.exitCode) << check.out << check.err;
        EXPECT_NE(std::string::npos, check.out.find("verify: 7 components match, 0 differ")) << check.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, Smoke, ::testing::ValuesIn(kRuns),
                         [](const ::testing::TestParamInfo<SmokeRun> &info) { return info.param.name; });

// The production line as the README gives it: scripts/flash-line.sh runs one updater per
// port with GNU parallel against four throttled emulators, one of which refuses the hello.
// The job log holds one exit status per port, the summary names the failed port, and the
// three others hold exactly the container.
TEST(ProductionLine, OneUpdaterPerPortAndTheFailedOneNamed)
{
    constexpr size_t kDevices = 4, kFaulty = 2;
    std::vector<std::unique_ptr<DevsimRunner>> devs;
    for (size_t i = 0; i < kDevices; i++)
        devs.push_back(std::make_unique<DevsimRunner>());
    const std::string dir = devs[0]->dir(), aff = writeContainer(dir);
    std::vector<std::string> command = {UPD_SOURCE_DIR "/scripts/flash-line.sh", "-u",
                                        programPath("updater")};
    command.insert(command.end(), {"-t", "120", "-F", "-l", dir + "/logs", aff});
    for (size_t i = 0; i < kDevices; i++)
    {
        std::vector<std::string> args = {"--container", aff, "--throttle"};
        if (i == kFaulty)
            args.insert(args.end(), {"--status", "1:2"});
        ASSERT_TRUE(devs[i]->start(args)) << devs[i]->stderrText();
        // The logs are named after the ports: each port gets a name of its own.
        command.push_back(dir + "/ttyLINE" + std::to_string(i));
        ASSERT_EQ(0, ::symlink(devs[i]->port().c_str(), command.back().c_str()));
    }
    ProgramResult line = runProgram("/bin/bash", command, 4 * kRunTimeoutMs);
    EXPECT_EQ(1, line.exitCode) << line.out << line.err;
    EXPECT_NE(std::string::npos, line.out.find("1 of 4 ports FAILED: " + dir + "/ttyLINE2\n")) << line.out;
    EXPECT_NE(std::string::npos, line.out.find("(exit 1: UB ERROR: 00 - 00000002)")) << line.out;

    // joblog: a header, then Seq Host Starttime JobRuntime Send Receive Exitval Signal Command a port.
    std::istringstream joblog(readTextFile(dir + "/logs/joblog"));
    std::vector<int> exits(kDevices, -1);
    std::string row, host;
    double start, runtime;
    size_t seq, send, receive;
    int exitval;
    for (std::getline(joblog, row); joblog >> seq >> host >> start >> runtime >> send >> receive >> exitval;
         std::getline(joblog, row))
        exits.at(seq - 1) = exitval;
    EXPECT_EQ((std::vector<int>{0, 0, 1, 0}), exits);
    for (size_t i = 0; i < kDevices; i++)
    {
        EXPECT_EQ(0, devs[i]->stop());
        EXPECT_EQ(i == kFaulty ? 1 : 0, verify(*devs[i], aff).exitCode) << i;
        std::string log = readTextFile(dir + "/logs/ttyLINE" + std::to_string(i) + ".log");
        EXPECT_NE(std::string::npos, log.find(i == kFaulty ? "UB ERROR: 00 - 00000002" : kSuccess)) << log;
    }
}

} // namespace
