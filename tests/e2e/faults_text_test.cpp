// Bursts of refusals: "AT+ERROR" answers to the text commands and malformed-
// request statuses to one request packet. Each refusal sends the same command
// or request again after a 500 ms pause, at most 20 times. A text command's
// own state time-out is shorter than 20 pauses (1 s for the lock, 2 s for the
// BOOT question, 100 ms for the CONFIG answer), so a text burst ends on that
// time-out; a packet burst runs into the resend limit itself.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fault_run.h"

using testsupport::DevsimRunner;
using testsupport::FaultRun;

namespace
{

constexpr int kResendLimit = 20;
// Request 5 is the second part of the host microcontroller (see faults_packets_test).
constexpr int kHostPart2 = 5;
// A burst of 20 pauses of 500 ms on top of an update of about 12 s.
constexpr int kBurstBoundMs = 60000;

TEST(FaultsText, OneRefusedLockIsResentAndTheUpdateCompletes)
{
    DevsimRunner dev;
    std::string aff = testsupport::writeFaultContainer(dev.dir());
    FaultRun run = testsupport::runUpdate(dev, aff, {"--at-error", "1:AT+LOCK=1"});
    EXPECT_TRUE(run.succeededExactly()) << run.describe();
    EXPECT_EQ(1u, testsupport::countLines(run.updater.out, "Resending last packet")) << run.describe();
    EXPECT_EQ(2, run.summaryValue("text_commands.AT+LOCK=1"));
}

// The second refusal's resend comes after the lock's 1 s time-out has passed.
TEST(FaultsText, RefusedLocksRunIntoTheLockTimeOut)
{
    DevsimRunner dev;
    std::string aff = testsupport::writeFaultContainer(dev.dir());
    FaultRun run = testsupport::runUpdate(dev, aff, {"--at-error", "2:AT+LOCK=1"});
    EXPECT_TRUE(run.failedWith("ERR: No response from BOOT mode")) << run.describe();
    EXPECT_EQ(0, run.summaryValue("requests_total"));
    EXPECT_LT(run.elapsedMs, kBurstBoundMs);
}

// Refusals of the first questions: the dialogue asks again, goes round through
// CONFIG mode when the BOOT question stays unanswered, and then updates.
TEST(FaultsText, RefusedFirstQuestionsStillComplete)
{
    DevsimRunner dev;
    std::string aff = testsupport::writeFaultContainer(dev.dir());
    FaultRun run = testsupport::runUpdate(dev, aff, {"--at-error", "6"});
    EXPECT_TRUE(run.succeededExactly()) << run.describe();
    EXPECT_EQ(6, run.summaryValue("faults.at_errors"));
    EXPECT_LT(run.elapsedMs, kBurstBoundMs);
}

// A device that refuses every text command: the dialogue gives up on its own
// time-outs, before any packet.
TEST(FaultsText, ADeviceThatRefusesEverythingFailsInBoundedTime)
{
    DevsimRunner dev;
    std::string aff = testsupport::writeFaultContainer(dev.dir());
    FaultRun run = testsupport::runUpdate(dev, aff, {"--at-error", "100000"});
    EXPECT_TRUE(run.failedWith("ERR: No response from CONFIG mode")) << run.describe();
    EXPECT_EQ(0, run.summaryValue("requests_total"));
    EXPECT_LT(run.elapsedMs, kBurstBoundMs);
}

// Status 1 to the same request again and again: each answer is a resend of
// that request (a new request packet for the emulator's count).
std::vector<std::string> malformedBurst(int count)
{
    std::vector<std::string> args;
    for (int i = 0; i < count; i++)
    {
        args.push_back("--status");
        args.push_back(std::to_string(kHostPart2 + i) + ":1");
    }
    return args;
}

TEST(FaultsText, MalformedBurstBelowTheResendLimitCompletes)
{
    DevsimRunner dev;
    std::string aff = testsupport::writeFaultContainer(dev.dir());
    FaultRun run = testsupport::runUpdate(dev, aff, malformedBurst(kResendLimit));
    EXPECT_TRUE(run.succeededExactly()) << run.describe();
    EXPECT_EQ(size_t(kResendLimit), testsupport::countLines(run.updater.out, "Resending last packet"));
    EXPECT_EQ(kResendLimit, run.summaryValue("faults.status_answers"));
    EXPECT_LT(run.elapsedMs, kBurstBoundMs);
}

TEST(FaultsText, MalformedBurstAtTheResendLimitFails)
{
    DevsimRunner dev;
    std::string aff = testsupport::writeFaultContainer(dev.dir());
    FaultRun run = testsupport::runUpdate(dev, aff, malformedBurst(kResendLimit + 1));
    EXPECT_TRUE(run.failedWith("ERR: Maximum number of retries reached")) << run.describe();
    EXPECT_EQ(size_t(kResendLimit), testsupport::countLines(run.updater.out, "Resending last packet"));
    // The first sending and 20 resends, then nothing more of that request.
    EXPECT_EQ(kResendLimit + 1, run.summaryValue("faults.status_answers"));
    EXPECT_LT(run.elapsedMs, kBurstBoundMs);
}

} // namespace
