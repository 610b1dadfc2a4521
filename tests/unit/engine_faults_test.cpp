// The fault matrix: an update of every component against the emulator's device
// model with one injected fault per row (lost and corrupted answers, refusals,
// bootloader errors, text errors, bursts at the resend limit, a silent device, a
// dropped link, random faults). Each row either completes with the device holding
// exactly the container or fails with its line; the resends are counted.
//
// Requests of one update of the container, counted from 1 by the emulator (a
// forwarded request and its answer once): 1 hello, 2 IV, 3 host begin, 4-7 host
// parts, 8 end, 9 device boot, 10-19 device uC (hello, IV, begin, six parts, end),
// 20-24 TI, 25 Wi-Fi init, 26-32 Wi-Fi, 33-57 FPGA (35 first NVCM0 part written,
// 43 first verified).

#include <gtest/gtest.h>

#include <functional>

#include "tests/support/sim_link.h"
#include "tests/support/update_lines.h"

using namespace testsupport;
using devsim::FaultConfig;
using devsim::FaultCounters;

namespace
{

constexpr uint32_t kHostPart2 = 5, kHostEnd = 8, kDevicePart3 = 15, kTiBegin = 20, kWifiInit = 25;
constexpr uint32_t kWifiPart1 = 29, kFpgaWritePart1 = 35, kFpgaVerifyPart1 = 43;
constexpr uint32_t kLimit = 20; // resends of one request

const char *const kResend = "Resending last packet";
const char *const kRetries = "ERR: Maximum number of retries reached";

// Host 4 parts, device 6, TI 3, Wi-Fi 3, NVCM0 6, NVCM1 3, usercode.
AffImage faultContainer()
{
    const struct
    {
        uint32_t type, parts, part, code;
    } specs[] = {{AFF_BLOCK_HOST_UC, 4, 512, 10700001}, {AFF_BLOCK_DEVICE_UC, 6, 256, 10700002},
                 {AFF_BLOCK_TI, 3, 128, 10700003},      {AFF_BLOCK_ESP_FLASH, 3, 256, 10700004},
                 {AFF_BLOCK_FPGA_NVCM0, 6, 64, 20005},  {AFF_BLOCK_FPGA_NVCM1, 3, 64, 20005},
                 {AFF_BLOCK_FPGA_USERCODE, 1, 4, 20005}};
    AffImage img;
    for (const auto &s : specs)
    {
        AffImageBlock b;
        b.type = s.type;
        b.data = affImagePattern(s.parts * s.part, static_cast<uint8_t>(s.type));
        b.partSize = s.part;
        b.version = {s.code, "Mar 14 2025"};
        img.blocks.push_back(b);
    }
    return img;
}

FaultConfig statusBurst(uint32_t first, uint32_t count, uint32_t status = 1)
{
    FaultConfig f;
    for (uint32_t i = 0; i < count; i++)
        f.statusAnswer.push_back({first + i, status});
    return f;
}

FaultConfig with(std::function<void(FaultConfig &)> set)
{
    FaultConfig f;
    set(f);
    return f;
}

struct FaultRow
{
    const char *name;
    FaultConfig fault;
    const char *failure; // the line a failed run ends on; nullptr: the run completes
    size_t resends;
    uint64_t FaultCounters::*counter = nullptr; // the emulator's count of the fault
    uint64_t faults = 0;
    const char *line = nullptr; // a line logged once
    std::function<void(SimRig &)> check = nullptr;
};

uint64_t FaultCounters::*const kLost = &FaultCounters::lostResponses;
uint64_t FaultCounters::*const kCorrupt = &FaultCounters::corruptedResponses;
uint64_t FaultCounters::*const kStatus = &FaultCounters::statusAnswers;

const FaultRow kRows[] = {
    // A lost answer: the part is resent after the silence and written twice.
    {"LostHostPart", with([](FaultConfig &f) { f.loseResponse = {kHostPart2}; }), nullptr, 1, kLost, 1,
     nullptr, [](SimRig &rig) { EXPECT_EQ(5u, rig.requests("UC_PROGRAM_DATA")); }},
    {"CorruptForwardedDevicePart", with([](FaultConfig &f) { f.corruptResponse = {kDevicePart3}; }), nullptr,
     1, kCorrupt, 1, "Malformed SLIP packet"},
    {"CorruptFpgaVerifyPart", with([](FaultConfig &f) { f.corruptResponse = {kFpgaVerifyPart1}; }), nullptr,
     1, kCorrupt, 1, "Malformed SLIP packet"},
    {"Status1HostPart", statusBurst(kHostPart2, 1), nullptr, 1, kStatus, 1, "Malformed SLIP request packet"},
    {"Status3ForwardedWifiPart", statusBurst(kWifiPart1, 1, 3), nullptr, 1, kStatus, 1,
     "Malformed SLIP request packet"},
    // The hand-over refused twice is sent until accepted; the Wi-Fi image still reaches the Wi-Fi module.
    {"RefusedWifiHandOver", statusBurst(kWifiInit, 2), nullptr, 2, kStatus, 2},
    // Any other status word ends the run at once, naming the command (09 when forwarded).
    {"UnknownCommandAtHello", statusBurst(1, 1, 2), "UB ERROR: 00 - 00000002", 0},
    {"NotValidNowAtHostEnd", statusBurst(kHostEnd, 1, 4), "UB ERROR: 32 - 00000004", 0},
    {"BeyondImageForwarded", statusBurst(kTiBegin, 1, 5), "UB ERROR: 09 - 00000005", 0},
    {"VerifyDiffers", statusBurst(kFpgaVerifyPart1, 1, 0x10), "UB ERROR: 22 - 00000010", 0},
    {"StateNotWritten", statusBurst(kFpgaWritePart1, 1, 0x11), "UB ERROR: 22 - 00000011", 0},
    {"HighBitsOfTheWord", statusBurst(kHostPart2, 1, 0x80000001), "UB ERROR: 31 - 80000001", 0},
    // Text refusals: one refused lock is repeated; the second repeat comes after the lock's second.
    {"OneRefusedLock",
     with(
         [](FaultConfig &f)
         {
             f.atErrorCount = 1;
             f.atErrorText = "AT+LOCK=1";
         }),
     nullptr, 1, nullptr, 0, nullptr,
     [](SimRig &rig) { EXPECT_EQ(2u, rig.stats.textCommands["AT+LOCK=1"]); }},
    {"RefusedLocksRunIntoTheLockTimeOut",
     with(
         [](FaultConfig &f)
         {
             f.atErrorCount = 2;
             f.atErrorText = "AT+LOCK=1";
         }),
     "ERR: No response from BOOT mode", 2, nullptr, 0, nullptr,
     [](SimRig &rig) { EXPECT_TRUE(rig.stats.requests.empty()); }},
    {"RefusedFirstQuestions", with([](FaultConfig &f) { f.atErrorCount = 6; }), nullptr, 2,
     &FaultCounters::atErrors, 6},
    {"RefusesEverything", with([](FaultConfig &f) { f.atErrorCount = 100000; }),
     "ERR: No response from CONFIG mode", 6, nullptr, 0, nullptr,
     [](SimRig &rig) { EXPECT_TRUE(rig.stats.requests.empty()); }},
    // Status 1 to one request again and again: up to the limit it completes, one more fails.
    {"MalformedBurstBelowTheLimit", statusBurst(kHostPart2, kLimit), nullptr, kLimit, kStatus, kLimit},
    {"MalformedBurstAtTheLimit", statusBurst(kHostPart2, kLimit + 1), kRetries, kLimit, kStatus, kLimit + 1},
    // Silent from the third host part on: three resends after 10 s of silence each, then it gives up
    // within a minute instead of resending up to the limit.
    {"SilentDevice", with([](FaultConfig &f) { f.silentAfter = 5; }), "ERR: The device stopped answering", 3,
     &FaultCounters::silencedRequests, 4, nullptr,
     [](SimRig &rig) { EXPECT_LT(rig.link.nowMs, 1000000u + 60000u); }},
    // Slow answers just inside the silence period (a long erase) cost no resend.
    {"SlowAnswers",
     with(
         [](FaultConfig &f) {
             f.lateAnswer = {{kHostPart2, 9900}, {kHostEnd, 9900}, {kFpgaWritePart1, 9900}};
         }),
     nullptr, 0, &FaultCounters::lateAnswers, 3},
    // An answer later than the silence crosses the resend of its request: its second answer is
    // not taken for the next request's, whether that request comes from the same step or the next.
    {"LateAnswerToAPart",
     with(
         [](FaultConfig &f) {
             f.lateAnswer = {{kHostPart2, 10500}};
         }),
     nullptr, 1, &FaultCounters::lateAnswers, 1},
    {"LateAnswerToAnEnd",
     with(
         [](FaultConfig &f) {
             f.lateAnswer = {{kHostEnd, 10500}};
         }),
     nullptr, 1, &FaultCounters::lateAnswers, 1},
    // The link drops right after a part was carried out, before its answer, and comes back.
    {"DisconnectAtHostPart",
     with(
         [](FaultConfig &f)
         {
             f.disconnectPart = 2;
             f.disconnectMs = 1500;
         }),
     nullptr, 1, &FaultCounters::disconnects, 1},
    {"DisconnectAtForwardedDevicePart",
     with(
         [](FaultConfig &f)
         {
             f.disconnectPart = 7;
             f.disconnectMs = 1500;
         }),
     nullptr, 1, &FaultCounters::disconnects, 1},
    {"DisconnectInFpgaVerifyPhase",
     with(
         [](FaultConfig &f)
         {
             f.disconnectPart = 17 + 6 + 2;
             f.disconnectMs = 1500;
         }),
     nullptr, 1, &FaultCounters::disconnects, 1},
};

void expectOutcome(const FaultRow &row, SimRig &rig, uint8_t result)
{
    std::string report;
    if (row.failure == nullptr)
    {
        EXPECT_EQ(1, result);
        EXPECT_EQ(0, rig.verify(&report)) << report;
        EXPECT_EQ("Leaving BOOT mode...", rig.link.logs.back());
    }
    else
    {
        EXPECT_EQ(0, result);
        EXPECT_EQ(1u, rig.link.countLog(row.failure)) << row.failure;
    }
    EXPECT_EQ(row.resends, rig.link.countLog(kResend));
}

class EngineFaults : public ::testing::TestWithParam<FaultRow>
{
};

TEST_P(EngineFaults, CompletesExactlyOrFailsWithItsLine)
{
    const FaultRow &row = GetParam();
    SimRig rig;
    rig.aff = faultContainer().build();
    rig.config.faults = row.fault;
    uint8_t result = rig.run(UPDATER_OP_UPDATE_ALL);
    expectOutcome(row, rig, result);
    if (row.counter != nullptr)
    {
        EXPECT_EQ(row.faults, rig.stats.faults.*row.counter);
    }
    if (row.line != nullptr)
    {
        EXPECT_EQ(1u, rig.link.countLog(row.line)) << row.line;
    }
    if (row.check)
        row.check(rig);
}

INSTANTIATE_TEST_SUITE_P(Rows, EngineFaults, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<FaultRow> &info)
                         { return std::string(info.param.name); });

// A run that ended on a bootloader error inside a component leaves a device that takes the same container
// again.
TEST(EngineFaultsAfter, AnUpdateAfterAFailedOneCompletes)
{
    SimRig rig;
    rig.aff = faultContainer().build();
    rig.config.faults = statusBurst(kDevicePart3, 1, 5);
    EXPECT_EQ(0, rig.run(UPDATER_OP_UPDATE_ALL));
    EXPECT_EQ(1u, rig.link.countLog("UB ERROR: 09 - 00000005"));
    EXPECT_NE(0, rig.verify());
    rig.link.logs.clear();
    EXPECT_EQ(1, rig.run(UPDATER_OP_UPDATE_ALL));
    EXPECT_EQ(0, rig.verify());
}

// Random loss and corruption: every run completes exactly (one resend per fault met) or fails at the limit.
TEST(EngineFaultsRandom, EachRunCompletesExactlyOrFailsAtTheLimit)
{
    const struct
    {
        double rate;
        uint64_t seed;
    } runs[] = {{0.02, 1}, {0.02, 2}, {0.05, 1}, {0.1, 1}, {0.1, 7}, {0.2, 3}};
    for (const auto &r : runs)
    {
        SimRig rig;
        rig.aff = faultContainer().build();
        rig.config.faults.randomRate = r.rate;
        rig.config.faults.seed = r.seed;
        uint8_t result = rig.run(UPDATER_OP_UPDATE_ALL);
        const FaultCounters &f = rig.stats.faults;
        SCOPED_TRACE(testing::Message() << "rate " << r.rate << " seed " << r.seed);
        if (result == 1)
        {
            EXPECT_EQ(0, rig.verify());
            EXPECT_EQ(f.randomLost + f.randomCorrupted, rig.link.countLog(kResend));
        }
        else
        {
            EXPECT_EQ(1u, rig.link.countLog(kRetries));
        }
        EXPECT_GT(f.randomLost + f.randomCorrupted, 0u);
    }
}

} // namespace
