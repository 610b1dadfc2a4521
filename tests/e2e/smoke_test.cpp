// The real programs over a real pseudo-terminal: the updater, the serial library, the emulator and its
// verify fit together. Where the run goes as it would in-process, the terminal text is exactly what the
// engine shows against the emulator's model. ctest runs the tests side by side.

#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <unistd.h>

#include "tests/support/devsim_runner.h"
#include "tests/support/sim_link.h"
#include "tests/support/update_lines.h"

using namespace testsupport;

namespace
{

const std::string kSuccess = "\x1b[1;32m\nOperation completed successfully\n\x1b[0m";

// An emulator with fiveComponents() at aff, for it to be made for and verified against.
struct Device : DevsimRunner
{
    std::string aff = dir() + "/fw.aff";
    Device()
    {
        Bytes bytes = fiveComponents().build();
        std::ofstream(aff, std::ios::binary) << std::string(bytes.begin(), bytes.end());
    }
    auto verify() const { return runProgram(programPath("devsim"), {"verify", stateDir(), aff}, 60000); }
};

struct SmokeRun
{
    const char *name;
    std::vector<std::string> devsimArgs;
    bool update;          // -update of aff (verified after), else -readver
    bool exact;           // the screen is the same device's in-process; else the link is lost
    uint32_t hostVersion; // set on the device; 0: fresh
};

const SmokeRun kRuns[] = {
    {"FullUpdate", {}, true, true, 0},
    {"ReadVersions", {"--set-version", "host-uc=10203001"}, false, true, 10203001},
    // The emulator drops its terminal after the second part for 1.5 s and comes back.
    {"LostLink", {"--disconnect-at-part", "2:1500"}, true, false, 0},
};

using Smoke = ::testing::TestWithParam<SmokeRun>;

TEST_P(Smoke, Run)
{
    const SmokeRun &row = GetParam();
    Device dev;
    std::vector<std::string> args = row.devsimArgs, op = {dev.port(), "-readver"};
    if (row.update)
    {
        args.insert(args.end(), {"--container", dev.aff});
        op = {dev.port(), "-update", dev.aff};
    }
    ASSERT_TRUE(dev.start(args)) << dev.stderrText();
    ProgramResult run = runProgram(programPath("updater"), op, 120000);
    const std::string &out = run.out;
    EXPECT_EQ(0, run.exitCode) << out << run.err;
    if (row.exact)
    {
        SimRig rig;
        rig.aff = row.update ? fiveComponents().build() : Bytes();
        if (row.hostVersion)
            rig.config.versions = {{devsim::VersionSlot::HostUc, row.hostVersion}};
        EXPECT_EQ(1, rig.run(row.update ? UPDATER_OP_UPDATE_ALL : UPDATER_OP_READ_VERSIONS));
        EXPECT_EQ("UPDATER  version: 10700000 (Aug  9 2024)\nConnected to port " + dev.port() + "\n" +
                      rig.link.screen + kSuccess,
                  out);
    }
    // Once each when the link is lost, else never: the loss in red and the reconnection in green, in
    // this order; one resend (a log line, then its rewrites "\r[ nn% ] text"). The verdict at the end.
    for (const char *pattern :
         {"\x1b\\[1;31m\nConnection lost \\(.*\\), reconnecting\\.\\.\\.\x1b\\[0m[^\x1b]*"
          "\x1b\\[1;32m\nReconnected\x1b\\[0m",
          "\n\\[ *[0-9]+% \\] Resending last packet"})
    {
        std::regex regex(pattern);
        auto n = std::distance(std::sregex_iterator(out.begin(), out.end(), regex), std::sregex_iterator());
        EXPECT_EQ(row.exact ? 0 : 1, n) << pattern << "\n" << out;
    }
    EXPECT_EQ(kSuccess, out.substr(out.size() - std::min(out.size(), kSuccess.size())));
    ASSERT_EQ(0, dev.stop());
    ProgramResult check = dev.verify();
    EXPECT_EQ(row.update ? 0 : 1, check.exitCode) << check.out << check.err;
    EXPECT_EQ(row.update, contains(check.out, "verify: 7 components match, 0 differ")) << check.out;
}

INSTANTIATE_TEST_SUITE_P(Runs, Smoke, ::testing::ValuesIn(kRuns),
                         [](const ::testing::TestParamInfo<SmokeRun> &info) { return info.param.name; });

// The production line as the README gives it: scripts/flash-line.sh runs one updater per port with GNU
// parallel against four throttled emulators, one refusing the hello. The job log holds each port's exit
// status, each port has its log, the summary names the failed port, the three others hold the container.
TEST(ProductionLine, OneUpdaterPerPortAndTheFailedOneNamed)
{
    constexpr size_t kDevices = 4, kFaulty = 2;
    Device devs[kDevices];
    const std::string dir = devs[0].dir(), aff = devs[0].aff;
    std::vector<std::string> command = {UPD_SOURCE_DIR "/scripts/flash-line.sh",
                                        "-u",
                                        programPath("updater"),
                                        "-t",
                                        "120",
                                        "-F",
                                        "-l",
                                        dir + "/logs",
                                        aff};
    for (size_t i = 0; i < kDevices; i++)
    {
        std::vector<std::string> args = {"--container", aff, "--throttle"};
        if (i == kFaulty)
            args.insert(args.end(), {"--status", "1:2"});
        ASSERT_TRUE(devs[i].start(args)) << devs[i].stderrText();
        // The logs are named after the ports: each port gets a name of its own.
        command.push_back(dir + "/ttyLINE" + std::to_string(i));
        ASSERT_EQ(0, ::symlink(devs[i].port().c_str(), command.back().c_str()));
    }
    ProgramResult line = runProgram("/bin/bash", command, 480000);
    EXPECT_EQ(1, line.exitCode) << line.out << line.err;
    EXPECT_TRUE(contains(line.out, "1 of 4 ports FAILED: " + dir + "/ttyLINE2\n")) << line.out;
    EXPECT_TRUE(contains(line.out, "(exit 1: UB ERROR: 00 - 00000002)")) << line.out;
    // joblog: a header, then Seq Host Starttime JobRuntime Send Receive Exitval Signal Command a port.
    std::string joblog = readTextFile(dir + "/logs/joblog");
    std::vector<int> exits(kDevices, -1);
    const std::regex row("\n([0-9]+)\t(?:[^\t]*\t){5}(-?[0-9]+)\t");
    for (auto it = std::sregex_iterator(joblog.begin(), joblog.end(), row); it != std::sregex_iterator();
         ++it)
        exits.at(std::stoul((*it)[1]) - 1) = std::stoi((*it)[2]);
    EXPECT_EQ((std::vector<int>{0, 0, 1, 0}), exits);
    for (size_t i = 0; i < kDevices; i++)
    {
        EXPECT_EQ(0, devs[i].stop());
        EXPECT_EQ(i == kFaulty ? 1 : 0, devs[i].verify().exitCode) << i;
        std::string log = readTextFile(dir + "/logs/ttyLINE" + std::to_string(i) + ".log");
        EXPECT_TRUE(contains(log, i == kFaulty ? "UB ERROR: 00 - 00000002" : kSuccess)) << log;
    }
}

} // namespace
