// The engine against the emulator's device model in-process: every kind of run and the fault matrix
// as rows judged by the result, the exact log lines, the device's summary and what devsim verify
// finds; an update interrupted at every request; the engine's functions on their own.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <sstream>

#include "common/le_bytes.h"
#include "components/block_stream.h"
#include "components/fpga_programmer.h"
#include "engine/reception.h"
#include "protocol/slip.h"
#include "protocol/slip_buffered.h"
#include "sim/sim_options.h"
#include "tests/support/devsim_runner.h"
#include "tests/support/sim_link.h"
#include "tests/support/update_lines.h"

using namespace testsupport;

namespace
{

// The engine's log lines as one text, each line after a '|'. The fresh device reports 1.0.0.0;
// fiveComponents() holds 1.2.3.1 host, 1.2.3.2 device, 1.2.3.3 TI, 1.2.3.4 Wi-Fi and 1.4.5 FPGA.
const std::string kJan = " (Jan  1 2024)", kMar = " (Mar 14 2025)", kFresh = "1.0.0.0" + kJan;

const std::string kAsk = "|Checking if device is in BOOT mode...", kLock = "|Entered bootloader, locking...";
const std::string kAskTwice = kAsk + "|Entering bootloader..." + kAsk, kBoot = kAskTwice + kLock;
std::string helloLines(const std::string &firmware, const std::string &parts, unsigned id = 1,
                       unsigned hw = 0)
{
    return "|Requesting bootloader information|Bootloader version: 20100000 (Jan 15 2024), product id: " +
           std::to_string(id) + ", hw id: " + std::to_string(hw) + "|Firmware version: " + firmware +
           "|Components:" + parts;
}
std::string ucLines(const std::string &who, const std::string &upload = "")
{
    return "|Programming " + who + "|Uploading " + (upload.empty() ? who : upload) +
           " firmware|Finishing data transfer|" + who + " Done";
}
std::string arrow(const char *who, const std::string &to, const std::string &from = kFresh)
{
    return std::string("|\t") + who + ": " + from + " -> " + to + kMar;
}
const std::string kTiLines = ucLines("DEVICE Ti", "DEVICE TI");
const std::string kFpgaLines = "|Programming FPGA|FPGA Done";
const std::string kHost = arrow("HOST", "1.2.3.1"), kWifi = arrow("WIFI", "1.2.3.4"),
                  kTi = arrow("  Ti", "1.2.3.3");
const std::string kFpga = arrow("FPGA", "1.4.5", "1.0.0" + kJan), kUc = arrow("  uC", "1.2.3.2");
// After the hand-over the Wi-Fi image takes the microcontroller's line; the TI is done.
const std::string kHandOverUc = arrow("  uC", "1.2.3.4"),
                  kHandOverTi = arrow("  Ti", "1.2.3.3", "1.2.3.3" + kMar);

// Up to the device's bootloader: the host bootloader's hello and the host uC's image.
const std::string kHostLines =
    kBoot + helloLines(kFresh, kHost) + ucLines("HOST uC") + "|Entering DEVICE bootloader";
// From the device's hello on: its microcontroller, the TI (hasTi), the Wi-Fi image and the FPGA.
std::string deviceLines(bool hasTi = true)
{
    return helloLines(kFresh, kWifi + kFpga + kUc + (hasTi ? kTi : "")) + ucLines("DEVICE uC") +
           (hasTi ? kTiLines : "") + "|Programming WIFI" +
           helloLines(kFresh, kFpga + kHandOverUc + (hasTi ? kHandOverTi : "")) + ucLines("DEVICE uC") +
           kFpgaLines + "|Leaving BOOT mode...";
}

// Requests of one update of fiveComponents() as the emulator counts them (a forwarded one once): 1 hello,
// 2 IV, 3 host begin, 4-6 host parts, 7 end, 8 device boot, 9-20 device uC, 21-30 TI, 31 Wi-Fi init,
// 32-39 Wi-Fi, 40-62 FPGA (42 first NVCM0 part written, 48 first verified).
const Bytes kFiveAff = fiveComponents().build();

struct UpdateRow
{
    const char *name;
    uint32_t op;
    std::string options; // devsim's command line for the device
    uint8_t result;
    std::string lines; // every log line, each after a '|'; beginning "...": the last ones only
    // Numbers of the device's summary ("requests.HELLO=1"), "resends=N" lines "Resending last packet",
    // "idle_reads<N" empty reads of the link, "virtual_ms<N" the run's virtual time, "verify=" devsim
    // verify's status of host uC, device uC, TI, Wi-Fi, NVCM0, NVCM1 and usercode by first letter
    // (match, DIFFERS, absent, skipped), "done=" the percentages the " Done" lines ended at.
    std::string checks;
    uint8_t isVerbose = 0;
    AffImage image = fiveComponents(); // the container the update (or -nf) is given
    // With a mask: the byte of a part's stored CRC damaged in what the engine is given (the device
    // knows the good one).
    size_t block = 0, part = 0, byte = 0;
    uint8_t mask = 0;
};

AffImage withNvcm1Of(size_t bytes) // fiveComponents() with that much NVCM1 data
{
    AffImage img = fiveComponents();
    img.blocks[5].data.resize(bytes);
    return img;
}

// Components whose version equals the container's are shown without the arrow.
const std::string kNewHost = "1.2.3.1" + kJan, kSameHost = "|\tHOST: " + kNewHost,
                  kSameTi = "|\t  Ti: 1.2.3.3" + kJan;
const std::string kMismatch = "|Product/hardware ID mismatch!\nAFF: 1 / 0\nDev: ";

// An update of fiveComponents() against a device with faults: it completes with the device holding
// exactly the container, or fails with its last line.
UpdateRow fault(const char *name, const std::string &options, const char *failure, const std::string &counts)
{
    const std::string last = failure ? std::string("...|") + failure : "...|Leaving BOOT mode...";
    const std::string checks = counts + (failure ? "" : " verify=mmmmmmm");
    return {name, UPDATER_OP_UPDATE_ALL, options, uint8_t(failure ? 0 : 1), last, checks};
}
// Status 1 to the second host part n times in a row.
std::string malformedBurst(uint32_t n)
{
    std::string options;
    for (uint32_t i = 0; i < n; i++)
        options += " --status " + std::to_string(5 + i) + ":1";
    return options;
}

const UpdateRow kRows[] = {
    // The whole update; the link's count of waiting bytes spares every step that only moves on, the first
    // one and those after the port was closed and opened again included, a read time-out: none is idle.
    // The device's log lines are not shown without their switch.
    {"Format3AllFive", UPDATER_OP_UPDATE_ALL, "--device-log", 1, kHostLines + deviceLines(),
     "requests.UC_PROGRAM_DATA=3 forwarded.UC_PROGRAM_DATA=12 forwarded.TI_PROGRAM_DATA=8 "
     "requests.FPGA_PROGRAM_DATA=16 requests.FPGA_USERCODE=1 forwarded.WIFI_INIT=1 idle_reads=0 "
     "verify=mmmmmmm done=20,40,60,80,100"},
    // -nf on a device whose every version code equals the container's: nothing is programmed, every
    // component is done, the device is still rebooted and BOOT mode left. Only the codes count: the
    // fresh device's dates differ from the container's.
    {"NfEveryCodeEqual", UPDATER_OP_UPDATE_CHANGED,
     "--set-version host-uc=10203001 --set-version device-uc=10203002 --set-version ti=10203003 "
     "--set-version wifi=10203004 --set-version fpga=10405",
     1,
     kBoot + helloLines(kNewHost, kSameHost) + "|HOST uC Done|Entering DEVICE bootloader" +
         helloLines("1.2.3.2" + kJan, "|\tWIFI: 1.2.3.4" + kJan + "|\tFPGA: 1.4.5" + kJan +
                                          "|\t  uC: 1.2.3.2" + kJan + kSameTi) +
         "|DEVICE uC Done|DEVICE Ti Done|WIFI Done|FPGA Done|Rebooting DEVICE...|Leaving BOOT mode...",
     "requests.HELLO=1 forwarded.HELLO=1 forwarded_total=2 requests.DEVICE_BOOT=2 requests_total=6 "
     "verify=DDDDDDD done=20,40,60,80,100"},
    // Host and TI current: the device microcontroller, the Wi-Fi module and the FPGA only.
    {"NfSomeCodesEqual", UPDATER_OP_UPDATE_CHANGED,
     "--set-version host-uc=10203001 --set-version ti=10203003", 1,
     kBoot + helloLines(kNewHost, kSameHost) + "|HOST uC Done|Entering DEVICE bootloader" +
         helloLines(kFresh, kWifi + kFpga + kUc + kSameTi) + ucLines("DEVICE uC") +
         "|DEVICE Ti Done|Programming WIFI" + helloLines(kFresh, kFpga + kHandOverUc + kSameTi) +
         ucLines("DEVICE uC") + kFpgaLines + "|Leaving BOOT mode...",
     "requests.UC_PROGRAM_DATA=0 forwarded.TI_PROGRAM_DATA=0 forwarded.UC_PROGRAM_DATA=12 "
     "requests.FPGA_PROGRAM_DATA=16 verify=DmDmmmm"},
    // Four components on this device: the host block does not hold the progress back.
    {"DeviceWithoutHost", UPDATER_OP_UPDATE_ALL, "--no-host", 1, kBoot + deviceLines(),
     "requests.DEVICE_BOOT=0 requests.UC_PROGRAM_DATA=8 forwarded.UC_PROGRAM_DATA=4 "
     "requests.UC_PROGRAM_BEGIN=1 verify=smmmmmm done=25,50,75,100"},
    // The host bootloader answers but the container has nothing for it (forced: the arrow form).
    {"ContainerWithoutHostBlock", UPDATER_OP_UPDATE_ALL, "", 1,
     kBoot + helloLines(kFresh, "|\tHOST: " + kFresh + " -> " + kFresh) + "|Entering DEVICE bootloader" +
         helloLines(kFresh, kUc + kTi) + ucLines("DEVICE uC") + kTiLines +
         "|Rebooting DEVICE...|Leaving BOOT mode...",
     "requests.UC_PROGRAM_DATA=0 forwarded.UC_PROGRAM_DATA=8 forwarded.TI_PROGRAM_DATA=8 verify=ammaaaa "
     "done=50,100",
     0,
     fiveComponents(3, {AFF_BLOCK_HOST_UC, AFF_BLOCK_ESP_FLASH, AFF_BLOCK_FPGA_NVCM0, AFF_BLOCK_FPGA_NVCM1,
                        AFF_BLOCK_FPGA_USERCODE})},
    {"FpgaWithoutNvcm1Data", UPDATER_OP_UPDATE_ALL, "", 1, kHostLines + deviceLines(),
     "requests.FPGA_PROGRAM_BEGIN=2 requests.FPGA_PROGRAM_DATA=8 requests.FPGA_USERCODE=1 "
     "requests.FPGA_END=1 verify=mmmmmsm",
     0, withNvcm1Of(0)},
    // An NVCM1 block of exactly one part is programmed like any other.
    {"Nvcm1OfOnePart", UPDATER_OP_UPDATE_ALL, "", 1, kHostLines + deviceLines(),
     "requests.FPGA_PROGRAM_DATA=10 requests.FPGA_USERCODE=1 verify=mmmmmmm", 0, withNvcm1Of(512)},
    // Device uC part 2 of 8 damaged: two parts are written, then the step's error.
    {"DamagedDeviceUcPart", UPDATER_OP_UPDATE_ALL, "", 0,
     kHostLines + helloLines(kFresh, kWifi + kFpga + kUc + kTi) +
         "|Programming DEVICE uC|Uploading DEVICE uC firmware|ERR: DEVICE uC PRG",
     "forwarded.UC_PROGRAM_DATA=2 forwarded.UC_PROGRAM_END=0 verify=mDDDDDD", 0, fiveComponents(), 1, 2, 0,
     0x01},
    // A TI image whose first part cannot be sent ends the run before the Wi-Fi.
    {"DamagedFirstTiPart", UPDATER_OP_UPDATE_ALL, "", 0,
     "...|Programming DEVICE Ti|Uploading DEVICE TI firmware|ERR: DEVICE Ti PRG BEGIN",
     "forwarded.TI_PROGRAM_DATA=0 forwarded.WIFI_INIT=0 requests.FPGA_PROGRAM_BEGIN=0 verify=mmDDDDD", 0,
     fiveComponents(), 2, 0, 0, 0x01},
    // NVCM1 part 1 damaged; with -v the CRC error is named and the step fails at once.
    {"DamagedNvcm1PartVerbose", UPDATER_OP_UPDATE_ALL, "--no-host --boot", 0,
     "...|Writing 128 pages of NVCM1|CRC Error on part 1|ERR: FPGA PRG|Malformed count: 0",
     "requests.FPGA_PROGRAM_DATA=9 requests.FPGA_END=0 verify=smmmmDm", 1, fiveComponents(), 5, 1, 1, 0x80},
    // Formats 1 and 2 know no TI block; format 1 has no host record either.
    {"Format2", UPDATER_OP_UPDATE_ALL, "", 1, kHostLines + deviceLines(false),
     "verify=mmammmm done=25,50,75,100", 0, fiveComponents(2, {AFF_BLOCK_TI})},
    {"Format1", UPDATER_OP_UPDATE_ALL, "--no-host", 1, kBoot + deviceLines(false),
     "verify=amammmm done=33,66,100", 0, fiveComponents(1, {AFF_BLOCK_TI, AFF_BLOCK_HOST_UC})},
    // -readver: the host bootloader's identity and firmware; the device stays locked.
    {"ReadVersionsHost", UPDATER_OP_READ_VERSIONS,
     "--product-id 3 --hardware-id 2 --set-version host-uc=10203001", 1,
     kBoot + helloLines(kNewHost, kSameHost, 3, 2),
     "requests.HELLO=1 requests_total=1 text_commands.AT+LOCK=0=0"},
    {"ReadVersionsDeviceOnly", UPDATER_OP_READ_VERSIONS, "--no-host --boot --set-version device-uc=10203002",
     1, kAsk + kLock + helloLines("1.2.3.2" + kJan, "", 0, 0), "requests_total=1"},
    // A container for product 1 / hardware 0 offered to another device: refused at the hello.
    {"ProductDiffers", UPDATER_OP_UPDATE_ALL, "--boot --product-id 7", 0, "..." + kMismatch + "7 / 0",
     "requests_total=1 requests.IV=0"},
    {"HardwareDiffers", UPDATER_OP_UPDATE_ALL, "--boot --product-id 1 --hardware-id 3", 0,
     "..." + kMismatch + "1 / 3", "requests_total=1"},
    {"LockInBoot", UPDATER_OP_LOCK, "--boot", 1, kLock, "text_commands.AT+LOCK=1=1 requests_total=0"},
    // An unlock goes straight to the unlock, without the BOOT question; -v adds the malformed count.
    {"UnlockVerbose", UPDATER_OP_UNLOCK, "--boot", 1, "|Leaving BOOT mode...|Malformed count: 0",
     "text_commands_total=1 text_commands.AT+LOCK=0=1", 1},
    {"BootModeFromApplication", UPDATER_OP_BOOT_MODE, "", 1, kAskTwice,
     "text_commands.AT+REBOOT_BOOTLOADER=1 requests_total=0"},
    {"BootModeInBoot", UPDATER_OP_BOOT_MODE, "--boot", 1, kAsk, "text_commands.AT+REBOOT_BOOTLOADER=0"},
    // A lost answer: the part is resent after the silence and written twice; a corrupted one at once.
    fault("LostHostPart", "--lose-response 5", nullptr,
          "resends=1 faults.lost_responses=1 requests.UC_PROGRAM_DATA=4"),
    fault("CorruptFpgaVerify", "--corrupt-response 48", nullptr, "resends=1 faults.corrupted_responses=1"),
    fault("Status1ToAPart", "--status 5:1", nullptr,
          "resends=1 faults.status_answers=1 malformed_requests=1"),
    fault("Status3ForwardedWifiPart", "--status 35:3", nullptr, "resends=1 faults.status_answers=1"),
    // The hand-over refused twice is sent until accepted; the Wi-Fi image still reaches the Wi-Fi module.
    fault("RefusedWifiHandOver", "--status 31:1 --status 32:1", nullptr, "resends=2 faults.status_answers=2"),
    // Any other status word ends the run at once, naming the command (09 when forwarded).
    fault("UnknownCommandAtHello", "--status 1:2", "UB ERROR: 00 - 00000002", "resends=0"),
    fault("BeyondImageForwarded", "--status 21:5", "UB ERROR: 09 - 00000005", "resends=0"),
    // Text refusals: one refused lock is repeated; the second repeat comes after the lock's second.
    fault("OneRefusedLock", "--at-error 1:AT+LOCK=1", nullptr, "resends=1 text_commands.AT+LOCK=1=2"),
    fault("RefusedLocksRunIntoTheLockTimeOut", "--at-error 2:AT+LOCK=1", "ERR: No response from BOOT mode",
          "resends=2 requests_total=0"),
    fault("RefusedFirstQuestions", "--at-error 6", nullptr, "resends=2 faults.at_errors=6"),
    fault("RefusesEverything", "--at-error 100000", "ERR: No response from CONFIG mode",
          "resends=6 requests_total=0"),
    // Status 1 to one request again and again: up to the limit of 20 it completes, one more fails.
    fault("MalformedBurstBelowTheLimit", malformedBurst(20), nullptr, "resends=20 faults.status_answers=20"),
    fault("MalformedBurstAtTheLimit", malformedBurst(21), "ERR: Maximum number of retries reached",
          "resends=20 faults.status_answers=21"),
    // Silent from the third host part on: three resends after 10 s of silence each, then it gives up
    // within a minute instead of resending up to the limit.
    fault("SilentDevice", "--silent-after 5", "ERR: The device stopped answering",
          "resends=3 faults.silenced_requests=4 virtual_ms<60000"),
    // Slow answers just inside the silence period (a long erase) cost no resend.
    fault("SlowAnswers", "--late-response 5:9900 --late-response 7:9900 --late-response 42:9900", nullptr,
          "resends=0 faults.late_answers=3"),
    // An answer later than the silence crosses the resend of its request: its second answer is
    // not taken for the next request's, whether that request comes from the same step or the next.
    fault("LateAnswerToAPart", "--late-response 5:10500", nullptr, "resends=1 faults.late_answers=1"),
    fault("LateAnswerToAnEnd", "--late-response 7:10500", nullptr, "resends=1 faults.late_answers=1"),
    // The link drops right after a part was carried out, before its answer, and comes back.
    fault("DisconnectFpgaVerify", "--disconnect-at-part 30:1500", nullptr, "resends=1 faults.disconnects=1"),
    // Random loss and corruption: one resend per fault met.
    fault("RandomFaults10Percent", "--random-faults 0.1 --seed 7", nullptr,
          "resends=12 faults.random_lost=10 faults.random_corrupted=2"),
};

// A value of the row's checks: what devsim verify found, the progress at each " Done", or a number.
std::string valueOf(SimRig &rig, const std::string &key)
{
    std::string value, report;
    const std::vector<std::string> &logs = rig.link.logs;
    if (key == "verify")
    {
        const int result = rig.verify(&report);
        std::istringstream lines(report);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("verify:", 0) != 0 && line.size() > 11)
                value += line[11];
        return (result != 0) == (value.find('D') != std::string::npos) ? value : report;
    }
    for (size_t i = 0; key == "done" && i < logs.size(); i++)
        if (logs[i].size() > 5 && logs[i].compare(logs[i].size() - 5, 5, " Done") == 0)
            value += "," + std::to_string(i + 1 < logs.size() ? rig.link.percentAtLog[i + 1]
                                                              : rig.link.progress.back());
    if (key == "done")
        return value.erase(0, 1);
    if (key == "resends")
        return std::to_string(rig.link.countLog("Resending last packet"));
    if (key == "idle_reads")
        return std::to_string(rig.link.idleReads);
    if (key == "virtual_ms")
        return std::to_string(rig.link.nowMs - 1000000);
    return std::to_string(std::max(0LL, jsonNumber(rig.stats.toJson(), key)));
}

using EngineUpdate = ::testing::TestWithParam<UpdateRow>;

TEST_P(EngineUpdate, EndsAsTheRowSays)
{
    const UpdateRow &row = GetParam();
    SimRig rig;
    std::istringstream words("link " + row.options);
    std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
    std::vector<const char *> argv(args.size());
    std::transform(args.begin(), args.end(), argv.begin(), [](const std::string &a) { return a.c_str(); });
    std::string error;
    ASSERT_EQ(devsim::ParseResult::Run,
              devsim::parseOptions(int(argv.size()), argv.data(), &rig.config, &error))
        << error;
    if (row.op == UPDATER_OP_UPDATE_ALL || row.op == UPDATER_OP_UPDATE_CHANGED)
        rig.updateAff = rig.aff = row.image.build();
    if (row.mask != 0)
        rig.updateAff[affImageBlockOffset(row.image, row.block) + AFF_BLOCK_HEADER_SIZE_V3 +
                      (row.part + 1) * row.image.blocks[row.block].partSize + row.part * 4 + row.byte] ^=
            row.mask;
    EXPECT_EQ(row.result, rig.run(row.op, row.isVerbose));
    std::string got;
    for (const std::string &line : rig.link.logs)
        got += "|" + line;
    const bool isTail = row.lines.rfind("...", 0) == 0;
    const std::string want = isTail ? row.lines.substr(3) : row.lines;
    EXPECT_EQ(want, isTail && got.size() > want.size() ? got.substr(got.size() - want.size()) : got);
    std::istringstream checks(row.checks);
    for (std::string c; checks >> c;)
    {
        const size_t at = c.find('<') != std::string::npos ? c.find('<') : c.rfind('=');
        const std::string key = c.substr(0, at), value = valueOf(rig, key);
        EXPECT_TRUE(c[at] == '<' ? std::stoll(value) < std::stoll(c.substr(at + 1))
                                 : value == c.substr(at + 1))
            << c << ": " << value;
    }
    // Progress never goes back and never passes 100.
    const std::vector<uint8_t> &p = rig.link.progress;
    EXPECT_TRUE(std::is_sorted(p.begin(), p.end()) && (p.empty() || p.back() <= 100)) << hex(p);
}

INSTANTIATE_TEST_SUITE_P(Rows, EngineUpdate, ::testing::ValuesIn(kRows),
                         [](const auto &info) { return std::string(info.param.name); });

// The update of fiveComponents() interrupted at every request in turn, in two ways: the link is
// lost while the answer is on the wire, or the run is abandoned right after the device carried the
// request out (and the update is run again, as an operator would). Every interruption ends in a
// complete update with exact images, or in a clean failure after which a second run completes
// exactly; never in a success with other data and never in a hang (an hour of virtual time).
TEST(Interruption, EveryRequestRecoversInTheRunOrOnASecondRun)
{
    for (bool isLinkLost : {true, false})
    {
        unsigned recovered = 0;
        for (unsigned n = 1; n <= 62; n++) // every request of one update
        {
            SCOPED_TRACE((isLinkLost ? "link lost at request " : "abandoned at request ") +
                         std::to_string(n));
            SimRig rig;
            rig.aff = kFiveAff;
            bool isDone = false;
            rig.stopWhen = [&]
            {
                if (!isLinkLost && !isDone && std::stoll(valueOf(rig, "requests_total")) >= (long long)n)
                    return isDone = true;
                return rig.link.nowMs - 1000000 > 3600000;
            };
            // Half the answer reached the host when the link went.
            rig.link.onDeviceOutput = [&](const Bytes &wire)
            {
                if (isLinkLost && !isDone && rig.stats.responses == n && wire.size() > 2)
                {
                    isDone = true;
                    rig.link.dropLink(1500);
                    rig.link.push(Bytes(wire.begin(), wire.begin() + wire.size() / 2));
                }
            };
            const uint8_t first = rig.run(UPDATER_OP_UPDATE_ALL);
            EXPECT_TRUE(isDone);
            if (first != 1 || !isLinkLost)
            {
                rig.link.close(); // a new updater process on the same device
                EXPECT_EQ(1, rig.run(UPDATER_OP_UPDATE_ALL));
            }
            EXPECT_LT(rig.link.nowMs - 1000000, 3600000u);
            EXPECT_EQ(0, rig.verify());
            recovered += first;
        }
        std::printf("%s: %u of 62 recovered in the run, %u failed cleanly and recovered on a second run\n",
                    isLinkLost ? "link lost during the answer" : "abandoned after the request", recovered,
                    62 - recovered);
    }
}

// The engine's functions on their own.
const char kLastText[] = "AT+BOOT?\r\n";

Bytes response(uint8_t cmd, uint32_t status, const Bytes &extra = {})
{
    return decodedFrame(SLIP_DIR_RESPONSE, cmd, statusData(status, extra));
}
std::string crcLine(uint32_t computed, uint32_t stated)
{
    char line[80];
    snprintf(line, sizeof line, "response cheksum %08X, expected %08X\r\n", computed, stated);
    return line;
}

class EngineApi : public ::testing::Test
{
  protected:
    SimLink link;
    _tUpdaterCallbacks cb{};
    std::unique_ptr<_tUpdater> ctx = std::make_unique<_tUpdater>();

    // A verbose context whose last message was kLastText, the link's record cleared.
    void init()
    {
        link = SimLink();
        cb = link.callbacks();
        ASSERT_EQ(1, updaterInit(ctx.get(), UPDATER_OP_READ_VERSIONS, 1, 1, &cb));
        serialBufferedWriteStr(kLastText);
        link.tx.clear();
    }
    void SetUp() override { init(); }
};

TEST_F(EngineApi, RefusedRunsWriteNothing)
{
    const char *const kNull = "cbGetMs, cbWrite, cbRead, cbReopen, cbClose can't be NULL";
    const char *const kNoAff = "ERR: No AFF file given for the update";
    const struct
    {
        void (*clear)(_tUpdaterCallbacks &);
        uint32_t op;
        const char *log;
    } cases[] = {
        {[](_tUpdaterCallbacks &c) { c.cbGetMs = nullptr; }, UPDATER_OP_UNLOCK, kNull},
        {[](_tUpdaterCallbacks &c) { c.cbWrite = nullptr; }, UPDATER_OP_UNLOCK, kNull},
        {[](_tUpdaterCallbacks &c) { c.cbRead = nullptr; }, UPDATER_OP_UNLOCK, kNull},
        {[](_tUpdaterCallbacks &c) { c.cbReopen = nullptr; }, UPDATER_OP_UNLOCK, kNull},
        {[](_tUpdaterCallbacks &c) { c.cbClose = nullptr; }, UPDATER_OP_UNLOCK, kNull},
        {[](_tUpdaterCallbacks &) {}, UPDATER_OP_NONE, "No op selected!\n"},
        {[](_tUpdaterCallbacks &) {}, UPDATER_OP_UPDATE_CHANGED, kNoAff},
        {[](_tUpdaterCallbacks &) {}, UPDATER_OP_UPDATE_ALL, kNoAff},
    };
    for (const auto &c : cases)
    {
        init();
        c.clear(cb);
        EXPECT_EQ(0, updater(c.op, nullptr, 0, 1, 0, &cb, nullptr));
        EXPECT_EQ(std::vector<std::string>{c.log}, link.logs);
        EXPECT_TRUE(link.tx.empty());
    }
    // The state after the last one is no state.
    init();
    ctx->ulState = 34;
    EXPECT_EQ(UPDATER_STEP_FAILED, updaterProcess(ctx.get()));
    EXPECT_EQ("ERR: Unknown state 34", link.logs.back());
    EXPECT_TRUE(link.tx.empty());
}

int s_readsLeft = 0;

// Without a container nothing is begun, nor with a block that cannot be made current, and a block
// without whole parts sends no FPGA part.
TEST_F(EngineApi, ComponentsRefuseWhatTheyCannotSend)
{
    uint32_t parts = 77;
    EXPECT_EQ(0, updaterBlockProgramBegin(ctx.get(), AFF_BLOCK_HOST_UC, 0x30, &parts));
    EXPECT_EQ(0, updaterBlockProgramNext(ctx.get(), &parts, 0, 0x31, 0x32));
    EXPECT_EQ(0, updaterFpgaSendNextDataChunk(ctx.get()));
    EXPECT_TRUE(link.tx.empty());
    // A container whose reads fail from some point on: the begin is sent exactly when 1 is returned.
    affSetMemFile(kFiveAff.data(), uint32_t(kFiveAff.size()));
    cb.cbReadAff = [](uint8_t *p, uint32_t at, uint32_t n) -> uint8_t
    { return s_readsLeft-- > 0 ? readAffFromMem(p, at, n) : uint8_t(0); };
    for (int reads = 0; reads < 40; reads++)
    {
        link.tx.clear();
        s_readsLeft = reads;
        parts = 77;
        const uint8_t sent = updaterBlockProgramBegin(ctx.get(), AFF_BLOCK_HOST_UC, 0x30, &parts);
        EXPECT_EQ(sent == 1 ? hex(slipFrame(SLIP_DIR_REQUEST, 0x30, {0, 0x0C, 0, 0})) : "", hex(link.tx))
            << reads;
        EXPECT_EQ(sent == 1 ? 3u : 77u, parts);
    }
    affSetMemFile(nullptr, 0);
}

TEST_F(EngineApi, LogOutputAndProgress)
{
    updaterLog(ctx.get(), "%s", std::string(300, 'x').c_str());
    updaterLogVerbose(ctx.get(), "%s!", std::string(300, 'x').c_str());
    const uint8_t bytes[] = {0x01, 0xAB};
    updaterLogRecv(ctx.get(), bytes, 2);
    ctx->isVerbose = 0;
    updaterLogVerbose(ctx.get(), "hidden");
    updaterLogRecv(ctx.get(), bytes, 2);
    EXPECT_EQ(
        (std::vector<std::string>{std::string(199, 'x'), std::string(199, 'x'), "Recv: 01 ", "Recv: 01 AB "}),
        link.logs);
    // The receive dump gives one line per byte and stays bounded.
    ctx->isVerbose = 1;
    updaterLogRecv(ctx.get(), std::vector<uint8_t>(400, 0xEE).data(), 400);
    ASSERT_EQ(404u, link.logs.size());
    EXPECT_LT(link.logs.back().size(), (size_t)UPDATER_LOG_RECV_MAX);
    // A component's share of the progress; without components nothing is divided by zero.
    ctx->ubComponentCount = 3;
    ctx->ubComponentsDone = 1;
    updaterComponentProgress(ctx.get(), 50);
    ctx->ubComponentCount = ctx->ubComponentsDone = 0;
    updaterComponentProgress(ctx.get(), 50);
    updaterComponentDone(ctx.get());
    EXPECT_EQ((std::vector<uint8_t>{49, 50, 100}), link.progress);
}

TEST_F(EngineApi, OneMessageEach)
{
    Bytes innerBadCrc = response(0x31, 0, {7}), shortOfLength = response(0x31, 0);
    innerBadCrc[5] ^= 0xFF;
    const uint32_t innerCrc = leGetU32(&innerBadCrc[5]);
    lePutU16(&shortOfLength[3], 150);
    auto text = [](const std::string &t) { return Bytes(t.begin(), t.end()); };
    const std::string kResend = "|Resending last packet", kMalformed = "Malformed SLIP packet" + kResend;
    const struct
    {
        const char *name;
        Bytes wire;
        uint32_t result;
        std::string logs; // every line logged, joined by '|'
        uint16_t malformed;
    } cases[] = {
        {"unfinished text", text("AT+BO"), RECV_NOTHING, "AT timeout: AT+BO", 0},
        {"device log line", text("Lboot ok\r\n"), RECV_NOTHING, "\tuC log:boot ok", 0},
        {"AT error", text("AT+ERROR\r\n"), RECV_NOTHING, "< AT+ERROR|uC error: AT+ERROR" + kResend, 0},
        {"unfinished frame", {0xC0, 0x01, 0x31}, RECV_NOTHING, "SLIP Timeout" + kResend, 0},
        {"status 1", encodeDecoded(response(0x31, 1)), RECV_NOTHING,
         "Malformed SLIP request packet" + kResend, 1},
        // The whole word counts: its low bits alone would read as status 1.
        {"status 0x80000001", encodeDecoded(response(0x31, 0x80000001)), RECV_FATAL,
         "UB ERROR: 31 - 80000001", 0},
        {"request direction ignored", slipFrame(SLIP_DIR_REQUEST, 0, {}), RECV_NOTHING, "", 0},
        // The header claims 150 data bytes, 4 arrived: only the size line applies.
        {"short of its length (its checksum is right for what arrived)", encodeDecoded(shortOfLength),
         RECV_NOTHING, "response true packet size 14 != header's size 160\r\n|" + kMalformed, 1},
        {"no status word", slipFrame(SLIP_DIR_RESPONSE, 0x31, {0, 0}), RECV_NOTHING, kMalformed, 1},
        {"forwarded status only", encodeDecoded(response(0x09, 0)), RECV_PACKET, "", 0},
        {"forwarded bad checksum", encodeDecoded(response(0x09, 0, innerBadCrc)), RECV_NOTHING,
         crcLine(innerCrc ^ 0xFF, innerCrc) + "|" + kMalformed, 1},
        {"forwarded status 5", encodeDecoded(response(0x09, 0, response(0x31, 5))), RECV_FATAL,
         "UB ERROR: 31 - 00000005", 0},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        init();
        link.push(c.wire);
        EXPECT_EQ(c.result, tryRecv(ctx.get()));
        std::string logs;
        for (const std::string &line : link.logs)
            logs += (logs.empty() ? "" : "|") + line;
        EXPECT_EQ(c.logs, logs);
        EXPECT_EQ(c.malformed, ctx->usMalformedCount);
        // What was resent is the last message.
        EXPECT_EQ(c.logs.find("Resending") != std::string::npos ? kLastText : "", link.txText());
    }
    // A wrong checksum is named with -v whatever the frame's data length, and the message is refused.
    for (size_t n = 0; n <= 40; n++)
    {
        SCOPED_TRACE(n);
        init();
        Bytes f = decodedFrame(SLIP_DIR_RESPONSE, 0x31, Bytes(n, 0x5A));
        const uint32_t crc = leGetU32(&f[5]);
        f[5] ^= 1;
        link.push(encodeDecoded(f));
        EXPECT_EQ(RECV_NOTHING, tryRecv(ctx.get()));
        EXPECT_EQ(1u, link.countLog(crcLine(crc, crc ^ 1)));
        EXPECT_EQ(1u, ctx->usMalformedCount);
    }
    // Without the right to resend, an error ends the run.
    init();
    ctx->canResend = 0;
    link.pushText("AT+ERROR\r\n");
    EXPECT_EQ(RECV_FATAL, tryRecv(ctx.get()));
    EXPECT_EQ("ERR: Can't resend last packet", link.logs.back());
    EXPECT_TRUE(link.tx.empty());
}

} // namespace
