// The real programs over a real pseudo-terminal: the updater, the serial library,
// the emulator and its verify fit together. The terminal text must be exactly what
// the engine produces in-process against the emulator's model for the same device.
// ctest runs each test on its own, side by side.

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include <unistd.h>

#include "tests/support/devsim_runner.h"
#include "tests/support/sim_link.h"
#include "tests/support/update_lines.h"

using namespace testsupport;

namespace
{

constexpr int kRunTimeoutMs = 120000;
const std::string kBanner = "UPDATER  version: 10700000 (Aug  9 2024)\n";
const std::string kSuccess = "\x1b[1;32m\nOperation completed successfully\n\x1b[0m";

std::string writeContainer(const DevsimRunner &dev, const AffImage &img)
{
    Bytes bytes = img.build();
    std::string path = dev.dir() + "/fw.aff";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    return path;
}

ProgramResult runUpdater(const DevsimRunner &dev, std::vector<std::string> args)
{
    args.insert(args.begin(), dev.port());
    return runProgram(programPath("updater"), args, kRunTimeoutMs);
}

ProgramResult verify(const DevsimRunner &dev, const std::string &aff)
{
    return runProgram(programPath("devsim"), {"verify", dev.stateDir(), aff}, kRunTimeoutMs);
}

// Control bytes shown, so that a difference is readable.
std::string shown(const std::string &text)
{
    std::string out;
    for (char c : text)
        out += c == '\r' ? std::string("\\r") : c == '\x1b' ? std::string("\\e") : std::string(1, c);
    return out;
}

// What the updater's terminal shows for an operation against a device set up as rig is.
std::string expectedScreen(SimRig &rig, uint32_t op, const std::string &port)
{
    EXPECT_EQ(1, rig.run(op));
    return kBanner + "Connected to port " + port + "\n" + rig.link.screen + kSuccess;
}

TEST(Smoke, FullUpdate)
{
    DevsimRunner dev;
    std::string aff = writeContainer(dev, fiveComponents());
    ASSERT_TRUE(dev.start({"--container", aff})) << dev.stderrText();
    ProgramResult run = runUpdater(dev, {"-update", aff});
    EXPECT_EQ(0, run.exitCode) << run.err;
    SimRig rig;
    rig.aff = fiveComponents().build();
    EXPECT_EQ(shown(expectedScreen(rig, UPDATER_OP_UPDATE_ALL, dev.port())), shown(run.out));
    ASSERT_EQ(0, dev.stop());
    ProgramResult check = verify(dev, aff);
    EXPECT_EQ(0, check.exitCode) << check.out << check.err;
    EXPECT_NE(std::string::npos, check.out.find("verify: 7 components match, 0 differ")) << check.out;
}

TEST(Smoke, ReadVersions)
{
    DevsimRunner dev;
    ASSERT_TRUE(dev.start({"--product-id", "3", "--hardware-id", "2", "--set-version", "host-uc=10203001"}))
        << dev.stderrText();
    ProgramResult run = runUpdater(dev, {"-readver"});
    EXPECT_EQ(0, run.exitCode) << run.err;
    SimRig rig;
    rig.productId = 3;
    rig.hardwareId = 2;
    rig.config.versions = {{devsim::VersionSlot::HostUc, 10203001}};
    EXPECT_EQ(shown(expectedScreen(rig, UPDATER_OP_READ_VERSIONS, dev.port())), shown(run.out));
    ASSERT_EQ(0, dev.stop());
    EXPECT_EQ(1, dev.summaryValue("requests.HELLO"));
}

// The emulator drops its terminal after the second part and comes back: the loss in
// red, the reconnection in green, one resend, and the device holds the container.
TEST(Smoke, LostLink)
{
    DevsimRunner dev;
    std::string aff = writeContainer(dev, fiveComponents());
    ASSERT_TRUE(dev.start({"--container", aff, "--disconnect-at-part", "2:1500"})) << dev.stderrText();
    ProgramResult run = runUpdater(dev, {"-update", aff});
    EXPECT_EQ(0, run.exitCode) << shown(run.out) << run.err;
    const std::string &out = run.out;
    size_t lost = out.find("\x1b[1;31m\nConnection lost (");
    size_t lostEnd = out.find("), reconnecting...\x1b[0m", lost);
    size_t back = out.find("\x1b[1;32m\nReconnected\x1b[0m", lost);
    ASSERT_NE(std::string::npos, lost) << shown(out);
    EXPECT_LT(lostEnd, back) << shown(out);
    EXPECT_NE(std::string::npos, back) << shown(out);
    EXPECT_EQ(std::string::npos, out.find("Connection lost (", back)) << shown(out);
    size_t resends = 0; // log lines, not their rewrites ("\n[ nn% ] text", then "\r[ nn% ] text")
    for (size_t at = out.find("] Resending last packet"); at != std::string::npos;
         at = out.find("] Resending last packet", at + 1))
        resends += at >= 8 && out[at - 8] == '\n' ? 1 : 0;
    EXPECT_EQ(1u, resends) << shown(out);
    EXPECT_TRUE(out.size() > kSuccess.size() &&
                out.compare(out.size() - kSuccess.size(), kSuccess.size(), kSuccess) == 0);
    ASSERT_EQ(0, dev.stop());
    EXPECT_EQ(1, dev.summaryValue("faults.disconnects"));
    EXPECT_EQ(0, verify(dev, aff).exitCode);
}

// The production line as the README gives it: scripts/flash-line.sh runs one updater per
// port with GNU parallel against four throttled emulators, one of which refuses the hello.
// The job log holds one exit status per port, the summary names the failed port, and the
// three others hold exactly the container.
TEST(Smoke, ProductionLine)
{
    constexpr size_t kDevices = 4, kFaulty = 2;
    std::vector<std::unique_ptr<DevsimRunner>> devs;
    std::string aff;
    std::vector<std::string> command = {std::string(UPD_SOURCE_DIR) + "/scripts/flash-line.sh",
                                        "-u",
                                        programPath("updater"),
                                        "-t",
                                        "120",
                                        "-F"};
    for (size_t i = 0; i < kDevices; i++)
    {
        devs.push_back(std::make_unique<DevsimRunner>());
        if (i == 0)
            aff = writeContainer(*devs[0], fiveComponents());
        std::vector<std::string> args = {"--container", aff, "--throttle"};
        if (i == kFaulty)
            args.insert(args.end(), {"--status", "1:2"});
        ASSERT_TRUE(devs[i]->start(args)) << devs[i]->stderrText();
    }
    // The logs are named after the ports: each port gets a name of its own.
    std::string logs = devs[0]->dir() + "/logs";
    command.insert(command.end(), {"-l", logs, aff});
    for (size_t i = 0; i < kDevices; i++)
    {
        std::string port = devs[0]->dir() + "/ttyLINE" + std::to_string(i);
        ASSERT_EQ(0, ::symlink(devs[i]->port().c_str(), port.c_str()));
        command.push_back(port);
    }
    ProgramResult line = runProgram("/bin/bash", command, 4 * kRunTimeoutMs);
    EXPECT_EQ(1, line.exitCode) << line.out << line.err;
    EXPECT_NE(std::string::npos, line.out.find("1 of 4 ports FAILED: " + devs[0]->dir() + "/ttyLINE2\n"))
        << line.out;
    EXPECT_NE(std::string::npos, line.out.find("(exit 1: UB ERROR: 00 - 00000002)")) << line.out;

    std::ifstream joblog(logs + "/joblog");
    std::vector<int> exits(kDevices, -1);
    std::string row;
    std::getline(joblog, row); // the header
    while (std::getline(joblog, row))
    {
        std::vector<std::string> cols;
        for (size_t at = 0, tab; at <= row.size(); at = tab + 1)
        {
            tab = std::min(row.find('\t', at), row.size());
            cols.push_back(row.substr(at, tab - at));
        }
        ASSERT_GE(cols.size(), 7u) << row;
        exits.at(std::stoul(cols[0]) - 1) = std::stoi(cols[6]);
    }
    EXPECT_EQ((std::vector<int>{0, 0, 1, 0}), exits);
    for (size_t i = 0; i < kDevices; i++)
    {
        EXPECT_EQ(0, devs[i]->stop());
        EXPECT_EQ(i == kFaulty ? 1 : 0, verify(*devs[i], aff).exitCode) << i;
    }
}

} // namespace
