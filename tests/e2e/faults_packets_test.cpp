// Faults on the packet half of the link: a lost response, a corrupted
// response, the malformed-request status words 1 and 3, and the bootloader
// error statuses that end the run. Every run either ends with the device
// holding exactly the container or fails with the expected line, exit status 1
// and in bounded time.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/fault_run.h"

using testsupport::DevsimRunner;
using testsupport::FaultRun;

namespace
{

// Request and response numbers of one update of the default fault container
// (counted from 1 by the emulator, a forwarded request and its answer once):
// 1 hello, 2 IV, 3 host uC begin, 4-7 host uC parts, 8 end, 9 device boot,
// 10-19 device uC (hello, IV, begin, six parts, end), 20-24 TI, 25 Wi-Fi init,
// 26-32 Wi-Fi, 33-57 FPGA (33 start, 34 NVCM0 write begin, 35-40 its parts, ...).
constexpr int kHello = 1;
constexpr int kHostPart2 = 5;
constexpr int kHostEnd = 8;
constexpr int kDevicePart3 = 15;
constexpr int kTiBegin = 20;
constexpr int kWifiInit = 25;
constexpr int kWifiPart1 = 29;
constexpr int kFpgaWritePart1 = 35;
constexpr int kFpgaVerifyPart1 = 43;

// A resend after a lost answer waits for the engine's 10 s silence period.
constexpr int kOneResendBoundMs = 45000;
constexpr int kFailFastBoundMs = 30000;

std::string arg(int n)
{
    return std::to_string(n);
}

TEST(FaultsPackets, LostResponseIsResentAfterTheSilenceAndTheUpdateCompletes)
{
    DevsimRunner dev;
    std::string aff = testsupport::writeFaultContainer(dev.dir());
    FaultRun run = testsupport::runUpdate(dev, aff, {"--lose-response", arg(kHostPart2)});
    EXPECT_TRUE(run.succeededExactly()) << run.describe();
    EXPECT_EQ(1u, testsupport::countLines(run.updater.out, "Resending last packet")) << run.describe();
    EXPECT_EQ(1, run.summaryValue("faults.lost_responses"));
    // The part was carried out twice; writing it again changed nothing.
    EXPECT_EQ(5, run.summaryValue("requests.UC_PROGRAM_DATA"));
    EXPECT_LT(run.elapsedMs, kOneResendBoundMs);
}

// Corrupted answers (one checksum bit flipped) and the status words of a
// malformed request (1: length or checksum, 3: data invalid) make the engine
// send the very same request again, plain or forwarded, in every component.
struct ResendCase
{
    const char *name;
    std::vector<std::string> fault;
    const char *line;
    const char *faultCounter;
};

class FaultsResend : public ::testing::TestWithParam<ResendCase>
{
};

TEST_P(FaultsResend, TheRequestIsResentAndTheUpdateCompletes)
{
    const ResendCase &c = GetParam();
    DevsimRunner dev;
    std::string aff = testsupport::writeFaultContainer(dev.dir());
    FaultRun run = testsupport::runUpdate(dev, aff, c.fault);
    EXPECT_TRUE(run.succeededExactly()) << run.describe();
    EXPECT_EQ(1u, testsupport::countLines(run.updater.out, c.line)) << run.describe();
    EXPECT_EQ(1u, testsupport::countLines(run.updater.out, "Resending last packet")) << run.describe();
    EXPECT_EQ(1, run.summaryValue(c.faultCounter)) << run.summary;
    EXPECT_LT(run.elapsedMs, kOneResendBoundMs);
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultsResend,
                         ::testing::Values(ResendCase{"CorruptForwardedDevicePart",
                                                      {"--corrupt-response", arg(kDevicePart3)},
                                                      "Malformed SLIP packet",
                                                      "faults.corrupted_responses"},
                                           ResendCase{"CorruptFpgaVerifyPart",
                                                      {"--corrupt-response", arg(kFpgaVerifyPart1)},
                                                      "Malformed SLIP packet",
                                                      "faults.corrupted_responses"},
                                           ResendCase{"Status1HostPart",
                                                      {"--status", arg(kHostPart2) + ":1"},
                                                      "Malformed SLIP request packet",
                                                      "faults.status_answers"},
                                           ResendCase{"Status3ForwardedWifiPart",
                                                      {"--status", arg(kWifiPart1) + ":3"},
                                                      "Malformed SLIP request packet",
                                                      "faults.status_answers"}),
                         [](const ::testing::TestParamInfo<ResendCase> &info)
                         { return std::string(info.param.name); });

// The request that hands the link over to the Wi-Fi module refused twice: it is
// sent until accepted, and the Wi-Fi image goes to the Wi-Fi module, not to
// the device microcontroller's bootloader.
TEST(FaultsPackets, RefusedWifiHandOverIsResentBeforeTheWifiImage)
{
    DevsimRunner dev;
    std::string aff = testsupport::writeFaultContainer(dev.dir());
    FaultRun run = testsupport::runUpdate(
        dev, aff, {"--status", arg(kWifiInit) + ":1", "--status", arg(kWifiInit + 1) + ":1"});
    EXPECT_TRUE(run.succeededExactly()) << run.describe();
    EXPECT_EQ(2u, testsupport::countLines(run.updater.out, "Resending last packet")) << run.describe();
    EXPECT_EQ(2, run.summaryValue("faults.status_answers")) << run.summary;
    EXPECT_LT(run.elapsedMs, kOneResendBoundMs);
}

// Any other status word is a bootloader error: the run ends at once with the
// command and the status shown (the outer command 09 for a forwarded request).
struct ErrorCase
{
    const char *name;
    int request;
    const char *status;
    const char *line;
};

class FaultsBootloaderError : public ::testing::TestWithParam<ErrorCase>
{
};

TEST_P(FaultsBootloaderError, TheRunFailsWithTheStatusLine)
{
    const ErrorCase &c = GetParam();
    DevsimRunner dev;
    std::string aff = testsupport::writeFaultContainer(dev.dir());
    FaultRun run = testsupport::runUpdate(dev, aff, {"--status", arg(c.request) + ":" + c.status});
    EXPECT_TRUE(run.failedWith(c.line)) << run.describe();
    EXPECT_EQ(0u, testsupport::countLines(run.updater.out, "Resending last packet")) << run.describe();
    EXPECT_LT(run.elapsedMs, kFailFastBoundMs);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultsBootloaderError,
    ::testing::Values(ErrorCase{"UnknownCommandAtHello", kHello, "2", "UB ERROR: 00 - 00000002"},
                      ErrorCase{"NotValidNowAtHostEnd", kHostEnd, "4", "UB ERROR: 32 - 00000004"},
                      ErrorCase{"BeyondImageForwarded", kTiBegin, "5", "UB ERROR: 09 - 00000005"},
                      ErrorCase{"VerifyDiffers", kFpgaVerifyPart1, "0x10", "UB ERROR: 22 - 00000010"},
                      ErrorCase{"StateNotWritten", kFpgaWritePart1, "0x11", "UB ERROR: 22 - 00000011"},
                      ErrorCase{"HighBitsOfTheWord", kHostPart2, "0x80000001", "UB ERROR: 31 - 80000001"}),
    [](const ::testing::TestParamInfo<ErrorCase> &info) { return std::string(info.param.name); });

// A run that ended on a bootloader error in the middle of a component leaves
// the device able to take the same container again: the next run completes.
TEST(FaultsPackets, AnUpdateAfterAFailedOneCompletes)
{
    DevsimRunner dev;
    std::string aff = testsupport::writeFaultContainer(dev.dir());
    FaultRun failed = testsupport::runUpdate(dev, aff, {"--status", arg(kDevicePart3) + ":5"});
    ASSERT_TRUE(failed.failedWith("UB ERROR: 09 - 00000005")) << failed.describe();
    EXPECT_NE(0, failed.verifyExit) << "an interrupted device uC image must not verify\n" << failed.verifyOut;

    FaultRun again = testsupport::runUpdate(dev, aff, {});
    EXPECT_TRUE(again.succeededExactly()) << again.describe();
}

} // namespace
