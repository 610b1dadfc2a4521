// A device that goes silent in the middle of an update: no packet and no text
// is answered any more. The engine sends the last request again after every
// 10 s of silence and gives up after 20 resends, so the run ends with the
// limit's line and exit status 1 after about three and a half minutes.

#include <gtest/gtest.h>

#include <string>

#include "tests/support/fault_run.h"

using testsupport::DevsimRunner;
using testsupport::FaultRun;

namespace
{

// Silent from request 6 on: the third part of the host microcontroller.
constexpr int kAnsweredRequests = 5;
constexpr int kResendLimit = 20;
// 21 silence periods of 10 s and 20 pauses of 500 ms, plus the dialogue before.
constexpr int kSilentBoundMs = 300000;
constexpr int kSilentTimeoutMs = 420000;

TEST(FaultsSilent, ASilentDeviceEndsTheRunAtTheResendLimit)
{
    DevsimRunner dev;
    std::string aff = testsupport::writeFaultContainer(dev.dir());
    FaultRun run = testsupport::runUpdate(dev, aff, {"--silent-after", std::to_string(kAnsweredRequests)},
                                          kSilentTimeoutMs);
    EXPECT_TRUE(run.failedWith("ERR: Maximum number of retries reached")) << run.describe();
    EXPECT_EQ(size_t(kResendLimit), testsupport::countLines(run.updater.out, "Resending last packet"));
    // The same part went out 21 times and was never answered.
    EXPECT_EQ(kResendLimit + 1, run.summaryValue("faults.silenced_requests")) << run.summary;
    EXPECT_LT(run.elapsedMs, kSilentBoundMs);
}

} // namespace
