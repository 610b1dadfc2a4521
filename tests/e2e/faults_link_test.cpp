// The link drops in the middle of a run: the emulator closes its terminal
// right after carrying out a firmware part, before its answer, and comes back
// behind the same path after a while. The updater reports the loss in red,
// waits for the port, reports the reconnection in green, resends the part
// once the answer is overdue and completes with the device holding exactly
// the container.

#include <gtest/gtest.h>

#include <string>

#include "tests/support/fault_run.h"

using testsupport::DevsimRunner;
using testsupport::FaultRun;

namespace
{

const char *const kRed = "\x1b[1;31m";
const char *const kGreen = "\x1b[1;32m";
const char *const kReset = "\x1b[0m";
constexpr int kOutageMs = 1500;
// The outage, the 10 s silence before the resend and an update of about 12 s.
constexpr int kReconnectBoundMs = 60000;

struct DisconnectCase
{
    const char *name;
    size_t part; // firmware part number, counted from 1 over the run
};

class FaultsDisconnect : public ::testing::TestWithParam<DisconnectCase>
{
};

TEST_P(FaultsDisconnect, TheRunReconnectsAndCompletes)
{
    DevsimRunner dev;
    std::string aff = testsupport::writeFaultContainer(dev.dir());
    FaultRun run = testsupport::runUpdate(
        dev, aff,
        {"--disconnect-at-part", std::to_string(GetParam().part) + ":" + std::to_string(kOutageMs)});
    EXPECT_TRUE(run.succeededExactly()) << run.describe();
    EXPECT_EQ(1, run.summaryValue("faults.disconnects")) << run.summary;

    const std::string &out = run.updater.out;
    size_t lost = out.find(std::string(kRed) + "\nConnection lost (");
    ASSERT_NE(std::string::npos, lost) << run.describe();
    size_t lostEnd = out.find(std::string("), reconnecting...") + kReset, lost);
    size_t back = out.find(std::string(kGreen) + "\nReconnected" + kReset, lost);
    EXPECT_NE(std::string::npos, lostEnd) << run.describe();
    EXPECT_NE(std::string::npos, back) << run.describe();
    EXPECT_LT(lostEnd, back);
    // One loss, one reconnection, one resend of the part whose answer was lost.
    EXPECT_EQ(std::string::npos, out.find("Connection lost (", back)) << run.describe();
    EXPECT_EQ(1u, testsupport::countLines(out, "Resending last packet")) << run.describe();
    EXPECT_LT(run.elapsedMs, kReconnectBoundMs);
}

const testsupport::FaultPartPlan kPlan = testsupport::faultPartPlan();
const testsupport::FaultContainerShape kShape;

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultsDisconnect,
    ::testing::Values(DisconnectCase{"HostUcPart", kPlan.firstHostPart + 1},
                      DisconnectCase{"ForwardedDeviceUcPart", kPlan.firstDevicePart + 2},
                      // NVCM0 is written, then verified: the third part of its verification.
                      DisconnectCase{"FpgaVerifyPhase", kPlan.firstFpgaPart + kShape.nvcm0Parts + 2}),
    [](const ::testing::TestParamInfo<DisconnectCase> &info) { return std::string(info.param.name); });

} // namespace
