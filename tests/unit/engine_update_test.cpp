// Every kind of run of the engine against the emulator's device model in-process:
// the container formats, -nf with all or some versions equal, devices without a host
// microcontroller, containers without a host block or without NVCM1 data, damaged
// parts, -readver, lock/unlock/-ub and a container for another device. Each row is
// judged by the result, the exact log lines, the requests the device saw and what
// the device holds afterwards.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <numeric>
#include <sstream>

#include "tests/support/sim_link.h"
#include "tests/support/update_lines.h"

using namespace testsupport;
using devsim::VersionSlot;

namespace
{

using Setup = std::function<void(SimRig &)>;
using Counts = std::map<std::string, uint64_t>; // "CMD" request, "fwd:CMD" forwarded, "text:LINE", "total"

struct UpdateRow
{
    const char *name;
    uint32_t op;
    Setup setUp;
    uint8_t result;
    Lines lines = {};   // every log line in order; with isTail set, the last ones only
    Counts counts = {}; // what the device saw
    std::map<std::string, std::string> verify = {};             // component -> devsim verify's status word
    std::map<std::string, std::vector<unsigned>> percents = {}; // log line -> the percentages it ended at
    Setup check = nullptr;
    bool isTail = false;
    uint8_t isVerbose = 0;
};

const std::map<std::string, std::string> kAllMatch = {
    {"host uC", "match"}, {"device uC", "match"}, {"TI", "match"},      {"Wi-Fi", "match"},
    {"NVCM0", "match"},   {"NVCM1", "match"},     {"usercode", "match"}};

uint64_t countOf(const SimRig &rig, const std::string &key)
{
    if (key == "total")
        return std::accumulate(rig.stats.requests.begin(), rig.stats.requests.end(), uint64_t(0),
                               [](uint64_t sum, const auto &kv) { return sum + kv.second; });
    if (key.rfind("fwd:", 0) == 0)
        return rig.forwarded(key.substr(4));
    if (key.rfind("text:", 0) == 0)
    {
        auto it = rig.stats.textCommands.find(key.substr(5));
        return it == rig.stats.textCommands.end() ? 0 : it->second;
    }
    return rig.requests(key);
}

// devsim verify's lines: "NAME  STATUS  DETAIL", the name ending at two blanks.
std::map<std::string, std::string> verifyStatus(const std::string &report)
{
    std::map<std::string, std::string> status;
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);)
    {
        size_t end = line.find("  ");
        if (end == std::string::npos || line.rfind("verify:", 0) == 0)
            continue;
        std::istringstream rest(line.substr(end));
        rest >> status[line.substr(0, end)];
    }
    return status;
}

Setup container(AffImage img, std::function<void(SimRig &)> more = nullptr)
{
    return [img, more](SimRig &rig)
    {
        rig.aff = img.build();
        if (more)
            more(rig);
    };
}

// The whole update runs first; the row's operation then runs on what it left.
Setup afterFullUpdate()
{
    return [](SimRig &rig)
    {
        rig.aff = fiveComponents().build();
        ASSERT_EQ(1, rig.run(UPDATER_OP_UPDATE_ALL));
        rig.stats = {};
        rig.link.logs.clear();
        rig.link.percentAtLog.clear();
        rig.link.progress.clear();
    };
}

// The container with one part's stored CRC damaged, given to the engine (the device knows the good one).
Bytes withDamagedPart(const AffImage &img, size_t block, size_t part, uint8_t mask, size_t byte = 0)
{
    Bytes bytes = img.build();
    const AffImageBlock &b = img.blocks[block];
    size_t crc =
        affImageBlockOffset(img, block) + AFF_BLOCK_HEADER_SIZE_V3 + (part + 1) * b.partSize + part * 4;
    bytes[crc + byte] ^= mask;
    return bytes;
}

Bytes prefix(const std::vector<uint8_t> &bytes, size_t n)
{
    return Bytes(bytes.begin(), bytes.begin() + std::min(n, bytes.size()));
}

const Lines kEqualNf = join(
    {bootLines(),
     helloLines("1.2.3.1 (Mar 14 2025)", {"\tHOST: 1.2.3.1 (Mar 14 2025)"}),
     {"HOST uC Done", "Entering DEVICE bootloader"},
     helloLines("1.2.3.2 (Mar 14 2025)", {"\tWIFI: 1.2.3.4 (Mar 14 2025)", "\tFPGA: 1.4.5 (Mar 14 2025)",
                                          "\t  uC: 1.2.3.2 (Mar 14 2025)", "\t  Ti: 1.2.3.3 (Mar 14 2025)"}),
     {"DEVICE uC Done", "DEVICE Ti Done", "WIFI Done", "FPGA Done", "Rebooting DEVICE...",
      "Leaving BOOT mode..."}});

Lines withoutTi(Lines lines)
{
    lines.pop_back();
    return lines;
}

const AffImage kFpgaOnly =
    fiveComponents(3, {AFF_BLOCK_HOST_UC, AFF_BLOCK_DEVICE_UC, AFF_BLOCK_TI, AFF_BLOCK_ESP_FLASH});

const UpdateRow kRows[] = {
    {"Format3AllFive", UPDATER_OP_UPDATE_ALL, container(fiveComponents()), 1, fiveComponentLines(),
     {{"UC_PROGRAM_DATA", 3},
      {"fwd:UC_PROGRAM_DATA", 12},
      {"fwd:TI_PROGRAM_DATA", 8},
      {"FPGA_PROGRAM_DATA", 16},
      {"FPGA_USERCODE", 1},
      {"fwd:WIFI_INIT", 1}},
     kAllMatch,
     {{"HOST uC Done", {20}}, {"DEVICE uC Done", {40, 80}}, {"DEVICE Ti Done", {60}}, {"FPGA Done", {100}}}},
    // The device reports the container's versions now: nothing is programmed, every
    // component is done, the device is still rebooted and BOOT mode left.
    {"NfAfterAFullUpdate", UPDATER_OP_UPDATE_CHANGED, afterFullUpdate(), 1, kEqualNf,
     {{"UC_PROGRAM_DATA", 0},
      {"fwd:UC_PROGRAM_DATA", 0},
      {"fwd:TI_PROGRAM_DATA", 0},
      {"FPGA_PROGRAM_DATA", 0},
      {"UC_PROGRAM_BEGIN", 0},
      {"fwd:WIFI_INIT", 0},
      {"DEVICE_BOOT", 2}},
     kAllMatch,
     {{"HOST uC Done", {20}}, {"WIFI Done", {80}}, {"FPGA Done", {100}}}},
    // Only the codes count: the fresh device's dates differ from the container's.
    {"NfEveryCodeEqual", UPDATER_OP_UPDATE_CHANGED,
     container(fiveComponents(),
               [](SimRig &rig)
               {
                   rig.config.versions = {{VersionSlot::HostUc, 10203001},
                                          {VersionSlot::DeviceUc, 10203002},
                                          {VersionSlot::Ti, 10203003},
                                          {VersionSlot::Wifi, 10203004},
                                          {VersionSlot::Fpga, 10405}};
               }),
     1,
     join({bootLines(), helloLines("1.2.3.1 (Jan  1 2024)", {"\tHOST: 1.2.3.1 (Jan  1 2024)"}),
           {"HOST uC Done", "Entering DEVICE bootloader"},
           helloLines("1.2.3.2 (Jan  1 2024)",
                      {"\tWIFI: 1.2.3.4 (Jan  1 2024)", "\tFPGA: 1.4.5 (Jan  1 2024)", "\t  uC: 1.2.3.2 (Jan  1 2024)",
                       "\t  Ti: 1.2.3.3 (Jan  1 2024)"}),
           {"DEVICE uC Done", "DEVICE Ti Done", "WIFI Done", "FPGA Done", "Rebooting DEVICE...",
            "Leaving BOOT mode..."}}),
     {{"HELLO", 1}, {"fwd:HELLO", 1}, {"DEVICE_BOOT", 2}, {"total", 6}},
     {{"host uC", "DIFFERS"}, {"device uC", "DIFFERS"}, {"TI", "DIFFERS"}, {"NVCM0", "DIFFERS"}}},
    // Host and TI current: the device microcontroller, the Wi-Fi module and the FPGA only.
    {"NfSomeCodesEqual", UPDATER_OP_UPDATE_CHANGED,
     container(fiveComponents(),
               [](SimRig &rig)
               { rig.config.versions = {{VersionSlot::HostUc, 10203001}, {VersionSlot::Ti, 10203003}}; }),
     1,
     join({bootLines(), helloLines("1.2.3.1 (Jan  1 2024)", {"\tHOST: 1.2.3.1 (Jan  1 2024)"}),
           {"HOST uC Done", "Entering DEVICE bootloader"},
           helloLines(kFresh, {"\tWIFI: 1.0.0.0 (Jan  1 2024) -> 1.2.3.4 (Mar 14 2025)",
                               "\tFPGA: 1.0.0 (Jan  1 2024) -> 1.4.5 (Mar 14 2025)",
                               "\t  uC: 1.0.0.0 (Jan  1 2024) -> 1.2.3.2 (Mar 14 2025)",
                               "\t  Ti: 1.2.3.3 (Jan  1 2024)"}),
           ucLines("DEVICE uC"), {"DEVICE Ti Done", "Programming WIFI"},
           helloLines(kFresh, {"\tFPGA: 1.0.0 (Jan  1 2024) -> 1.4.5 (Mar 14 2025)",
                               "\t  uC: 1.0.0.0 (Jan  1 2024) -> 1.2.3.4 (Mar 14 2025)",
                               "\t  Ti: 1.2.3.3 (Jan  1 2024)"}),
           ucLines("DEVICE uC"), kFpgaLines, {"Leaving BOOT mode..."}}),
     {{"UC_PROGRAM_DATA", 0}, {"fwd:TI_PROGRAM_DATA", 0}, {"fwd:UC_PROGRAM_DATA", 12}, {"FPGA_PROGRAM_DATA", 16}},
     {{"host uC", "DIFFERS"}, {"device uC", "match"}, {"TI", "DIFFERS"}, {"Wi-Fi", "match"}, {"NVCM0", "match"}}},
    // Four components on this device: the host block does not hold the progress back.
    {"DeviceWithoutHost", UPDATER_OP_UPDATE_ALL,
     container(fiveComponents(), [](SimRig &rig) { rig.config.noHost = true; }), 1,
     join({bootLines(), helloLines(kFresh, kFreshDevice), ucLines("DEVICE uC"), kTiLines, {"Programming WIFI"},
           helloLines(kFresh, kFreshHandOver), ucLines("DEVICE uC"), kFpgaLines, {"Leaving BOOT mode..."}}),
     {{"DEVICE_BOOT", 0}, {"UC_PROGRAM_DATA", 8}, {"fwd:UC_PROGRAM_DATA", 4}, {"UC_PROGRAM_BEGIN", 1}},
     {{"host uC", "skipped"}, {"device uC", "match"}, {"TI", "match"}, {"Wi-Fi", "match"}, {"usercode", "match"}},
     {{"DEVICE uC Done", {25, 75}}, {"DEVICE Ti Done", {50}}}},
    // The host bootloader answers but the container has nothing for it (forced: the arrow form).
    {"ContainerWithoutHostBlock", UPDATER_OP_UPDATE_ALL,
     container(fiveComponents(3, {AFF_BLOCK_HOST_UC, AFF_BLOCK_ESP_FLASH, AFF_BLOCK_FPGA_NVCM0,
                                  AFF_BLOCK_FPGA_NVCM1, AFF_BLOCK_FPGA_USERCODE})),
     1,
     join({bootLines(), helloLines(kFresh, {"\tHOST: 1.0.0.0 (Jan  1 2024) -> 1.0.0.0 (Jan  1 2024)"}),
           {"Entering DEVICE bootloader"},
           helloLines(kFresh, {"\t  uC: 1.0.0.0 (Jan  1 2024) -> 1.2.3.2 (Mar 14 2025)",
                               "\t  Ti: 1.0.0.0 (Jan  1 2024) -> 1.2.3.3 (Mar 14 2025)"}),
           ucLines("DEVICE uC"), kTiLines, {"Rebooting DEVICE...", "Leaving BOOT mode..."}}),
     {{"UC_PROGRAM_DATA", 0}, {"fwd:UC_PROGRAM_DATA", 8}, {"fwd:TI_PROGRAM_DATA", 8}},
     {{"host uC", "absent"}, {"device uC", "match"}, {"TI", "match"}},
     {{"DEVICE uC Done", {50}}}},
    {"FpgaWithoutNvcm1Data", UPDATER_OP_UPDATE_ALL,
     container(
         []
         {
             AffImage img = fiveComponents();
             img.blocks[5].data.clear();
             return img;
         }()),
     1, fiveComponentLines(),
     {{"FPGA_PROGRAM_BEGIN", 2}, {"FPGA_PROGRAM_DATA", 8}, {"FPGA_USERCODE", 1}, {"FPGA_END", 1}},
     {{"NVCM1", "skipped"}, {"NVCM0", "match"}, {"usercode", "match"}, {"host uC", "match"}}},
    // Device uC part 2 of 8 damaged: two parts are written, then the step's error.
    {"DamagedDeviceUcPart", UPDATER_OP_UPDATE_ALL,
     container(fiveComponents(), [](SimRig &rig) { rig.updateAff = withDamagedPart(fiveComponents(), 1, 2, 0x01); }),
     0,
     join({bootLines(), helloLines(kFresh, kFreshHost), ucLines("HOST uC"), {"Entering DEVICE bootloader"},
           helloLines(kFresh, kFreshDevice),
           {"Programming DEVICE uC", "Uploading DEVICE uC firmware", "ERR: DEVICE uC PRG"}}),
     {{"fwd:UC_PROGRAM_DATA", 2}, {"fwd:UC_PROGRAM_END", 0}},
     {{"host uC", "match"}, {"device uC", "DIFFERS"}},
     {},
     [](SimRig &rig)
     {
         EXPECT_EQ(prefix(fiveComponents().blocks[1].data, 2 * 512), rig.store.image(devsim::Image::DeviceUc));
     }},
    // A TI image whose first part cannot be sent ends the run before the Wi-Fi.
    {"DamagedFirstTiPart", UPDATER_OP_UPDATE_ALL,
     container(fiveComponents(), [](SimRig &rig) { rig.updateAff = withDamagedPart(fiveComponents(), 2, 0, 0x01); }),
     0, {"Programming DEVICE Ti", "Uploading DEVICE TI firmware", "ERR: DEVICE Ti PRG BEGIN"},
     {{"fwd:TI_PROGRAM_DATA", 0}, {"fwd:WIFI_INIT", 0}, {"FPGA_PROGRAM_BEGIN", 0}},
     {{"device uC", "match"}, {"TI", "DIFFERS"}}, {}, nullptr, true},
    // An NVCM1 block of exactly one part is programmed like any other.
    {"Nvcm1OfOnePart", UPDATER_OP_UPDATE_ALL,
     container(
         []
         {
             AffImage img = fiveComponents();
             img.blocks[5].data.resize(512);
             return img;
         }()),
     1, fiveComponentLines(), {{"FPGA_PROGRAM_DATA", 10}, {"FPGA_USERCODE", 1}}, kAllMatch},
    // NVCM1 part 1 damaged; with -v the CRC error is named and the step fails at once.
    {"DamagedNvcm1PartVerbose", UPDATER_OP_UPDATE_ALL,
     container(kFpgaOnly,
               [](SimRig &rig)
               {
                   rig.config.noHost = rig.config.startInBoot = true;
                   rig.updateAff = withDamagedPart(kFpgaOnly, 1, 1, 0x80, 1);
               }),
     0, {"Writing 128 pages of NVCM1", "CRC Error on part 1", "ERR: FPGA PRG", "Malformed count: 0"},
     {{"FPGA_PROGRAM_DATA", 9}, {"FPGA_END", 0}},
     {{"NVCM0", "match"}, {"NVCM1", "DIFFERS"}},
     {},
     [](SimRig &rig) { EXPECT_EQ(prefix(kFpgaOnly.blocks[1].data, 512), rig.store.image(devsim::Image::Nvcm1)); },
     true, 1},
    // Formats 1 and 2 know no TI block; format 1 has no host record either.
    {"Format2", UPDATER_OP_UPDATE_ALL, container(fiveComponents(2, {AFF_BLOCK_TI})), 1,
     join({bootLines(), helloLines(kFresh, kFreshHost), ucLines("HOST uC"), {"Entering DEVICE bootloader"},
           helloLines(kFresh, withoutTi(kFreshDevice)), ucLines("DEVICE uC"), {"Programming WIFI"},
           helloLines(kFresh, withoutTi(kFreshHandOver)), ucLines("DEVICE uC"), kFpgaLines,
           {"Leaving BOOT mode..."}}),
     {},
     {{"host uC", "match"}, {"device uC", "match"}, {"Wi-Fi", "match"}, {"NVCM1", "match"}},
     {{"HOST uC Done", {25}}}},
    {"Format1", UPDATER_OP_UPDATE_ALL,
     container(fiveComponents(1, {AFF_BLOCK_TI, AFF_BLOCK_HOST_UC}), [](SimRig &rig) { rig.config.noHost = true; }),
     1,
     join({bootLines(), helloLines(kFresh, withoutTi(kFreshDevice)), ucLines("DEVICE uC"), {"Programming WIFI"},
           helloLines(kFresh, withoutTi(kFreshHandOver)), ucLines("DEVICE uC"), kFpgaLines,
           {"Leaving BOOT mode..."}}),
     {},
     {{"device uC", "match"}, {"Wi-Fi", "match"}, {"NVCM0", "match"}, {"usercode", "match"}},
     {{"DEVICE uC Done", {33, 66}}}},
    // -readver: the host bootloader's identity and firmware; the device stays locked.
    {"ReadVersionsHost", UPDATER_OP_READ_VERSIONS,
     [](SimRig &rig)
     {
         rig.productId = 3;
         rig.hardwareId = 2;
         rig.config.versions = {{VersionSlot::HostUc, 10203001}};
     },
     1, join({bootLines(), helloLines("1.2.3.1 (Jan  1 2024)", {"\tHOST: 1.2.3.1 (Jan  1 2024)"}, 3, 2)}),
     {{"HELLO", 1}, {"total", 1}, {"text:AT+LOCK=0", 0}}},
    {"ReadVersionsDeviceOnly", UPDATER_OP_READ_VERSIONS,
     [](SimRig &rig)
     {
         rig.config.noHost = rig.config.startInBoot = true;
         rig.config.versions = {{VersionSlot::DeviceUc, 10203002}};
     },
     1, join({bootLines(false), helloLines("1.2.3.2 (Jan  1 2024)", {}, 0, 0)}), {{"total", 1}}},
    // A container for product 1 / hardware 0 offered to a device 7 / 3: refused at the hello.
    {"ProductHardwareMismatch", UPDATER_OP_UPDATE_ALL,
     container(fiveComponents(),
               [](SimRig &rig)
               {
                   rig.config.startInBoot = true;
                   rig.productId = 7;
                   rig.hardwareId = 3;
               }),
     0,
     {"Checking if device is in BOOT mode...", "Entered bootloader, locking...", "Requesting bootloader information",
      "Bootloader version: 20100000 (Jan 15 2024), product id: 7, hw id: 3", "Firmware version: 1.0.0.0 (Jan  1 2024)",
      "Product/hardware ID mismatch!\nAFF: 1 / 0\nDev: 7 / 3"},
     {{"total", 1}, {"IV", 0}}},
    {"NoOperation", UPDATER_OP_NONE, [](SimRig &) {}, 0, {"No op selected!\n"}, {{"total", 0}}},
    {"LockInBoot", UPDATER_OP_LOCK, [](SimRig &rig) { rig.config.startInBoot = true; }, 1,
     {"Entered bootloader, locking..."}, {{"text:AT+LOCK=1", 1}, {"total", 0}}},
    {"UnlockAfterLock", UPDATER_OP_UNLOCK,
     [](SimRig &rig)
     {
         rig.config.startInBoot = true;
         ASSERT_EQ(1, rig.run(UPDATER_OP_LOCK));
         rig.link.logs.clear();
     },
     1, {"Leaving BOOT mode..."}, {{"text:AT+LOCK=0", 1}},
     {},
     {},
     [](SimRig &rig) { EXPECT_EQ(devsim::Mode::Application, rig.device().mode()); }},
    {"BootModeFromApplication", UPDATER_OP_BOOT_MODE, [](SimRig &) {}, 1,
     {"Checking if device is in BOOT mode...", "Entering bootloader...", "Checking if device is in BOOT mode..."},
     {{"text:AT+REBOOT_BOOTLOADER", 1}, {"total", 0}}},
    {"BootModeInBoot", UPDATER_OP_BOOT_MODE, [](SimRig &rig) { rig.config.startInBoot = true; }, 1,
     {"Checking if device is in BOOT mode..."}, {{"text:AT+REBOOT_BOOTLOADER", 0}}},
    // The application refuses the lock: it is repeated after each pause until the lock's second is over.
    {"LockWithoutBootloader", UPDATER_OP_LOCK, [](SimRig &) {}, 0,
     {"Entered bootloader, locking...", "Resending last packet", "Resending last packet",
      "ERR: No response from BOOT mode"},
     {{"text:AT+LOCK=1", 3}, {"text:AT+BOOT?", 0}}},
};

class EngineUpdate : public ::testing::TestWithParam<UpdateRow>
{
};

TEST_P(EngineUpdate, EndsAsTheRowSays)
{
    const UpdateRow &row = GetParam();
    SimRig rig;
    row.setUp(rig);
    if (::testing::Test::HasFatalFailure())
        return;
    EXPECT_EQ(row.result, rig.run(row.op, row.isVerbose));
    const Lines &logs = rig.link.logs;
    if (row.isTail)
        EXPECT_EQ(row.lines, Lines(logs.end() - std::min(logs.size(), row.lines.size()), logs.end()));
    else
        EXPECT_EQ(row.lines, logs);
    for (const auto &[key, count] : row.counts)
        EXPECT_EQ(count, countOf(rig, key)) << key;
    std::string report;
    if (!row.verify.empty())
    {
        bool isDiffering = std::any_of(row.verify.begin(), row.verify.end(),
                                       [](const auto &kv) { return kv.second == "DIFFERS"; });
        EXPECT_EQ(isDiffering ? 1 : 0, rig.verify(&report)) << report;
        std::map<std::string, std::string> status = verifyStatus(report);
        for (const auto &[component, word] : row.verify)
            EXPECT_EQ(word, status[component]) << component << "\n" << report;
    }
    for (const auto &[line, percents] : row.percents)
        EXPECT_EQ(percents, rig.link.finalPercents(line)) << line;
    // Progress never goes back, never passes 100, and a completed update ends at 100.
    for (size_t i = 1; i < rig.link.progress.size(); i++)
        EXPECT_LE(rig.link.progress[i - 1], rig.link.progress[i]);
    if (!rig.link.progress.empty())
    {
        EXPECT_LE(rig.link.progress.back(), 100);
    }
    if (row.result == 1 && !row.percents.empty())
    {
        EXPECT_EQ(100, rig.link.progress.back());
    }
    if (row.check)
        row.check(rig);
}

INSTANTIATE_TEST_SUITE_P(Rows, EngineUpdate, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<UpdateRow> &info)
                         { return std::string(info.param.name); });

} // namespace
