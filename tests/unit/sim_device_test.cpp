// The emulator's device model driven in-process, byte by byte: scenarios of steps,
// each the bytes the host sends and the device's whole answer in a short notation.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>

#include "common/le_bytes.h"
#include "protocol/commands.h"
#include "sim/sim_options.h"
#include "tests/support/aff_image.h"
#include "tests/support/sim_link.h"

using namespace devsim;
using namespace testsupport;

namespace
{

constexpr uint32_t kPart = 16; // part size of the test container

// A decoded frame as "cmd/status;" ("!cmd;" when its checksum or length is wrong,
// "?" before a request); a forwarding answer carries its inner frame in braces, a hello
// its words: protocol, bootloader, product, hardware, firmware, FPGA, Wi-Fi, host flag, TI.
std::string frameText(const Bytes &f)
{
    if (f.size() < SLIP_OVERHEAD)
        return "short;";
    const uint16_t len = slipGetDataLength(f.data());
    const bool isValid = slipIsPacketValid(f.data(), uint16_t(f.size()), 1) == 1;
    std::string s = std::string(slipGetDir(f.data()) == SLIP_DIR_RESPONSE ? "" : "?") + (isValid ? "" : "!") +
                    std::to_string(slipGetCmd(f.data()));
    if (!isValid || len < 4 || f.size() != size_t(len) + SLIP_OVERHEAD)
        return s + ";";
    const uint8_t *d = slipGetDataStart(f.data());
    s += "/" + std::to_string(leGetU32(d));
    if (slipGetCmd(f.data()) == UPDATER_CMD_FORWARD && len > 4)
        s += "{" + frameText(Bytes(d + 4, d + len)) + "}";
    if (slipGetCmd(f.data()) == UPDATER_CMD_HELLO && len == UPDATER_HELLO_DATA_SIZE)
        for (size_t at : {0, 4, 20, 24, 28, 44, 60, 76, 80})
            s += (at ? "," : ":") + std::to_string(leGetU32(d + 4 + at));
    return s + ";";
}

std::string ans(uint8_t cmd, uint32_t status = kStatusOk, const std::string &extra = "")
{
    return std::to_string(cmd) + "/" + std::to_string(status) + extra + ";";
}
std::string fans(uint8_t cmd, uint32_t status = kStatusOk, const std::string &extra = "")
{
    return ans(UPDATER_CMD_FORWARD, kStatusOk, "{" + ans(cmd, status, extra) + "}");
}
Bytes txt(const std::string &line)
{
    return cat({Bytes(line.begin(), line.end()), {'\r', '\n'}});
}
Bytes req(uint8_t cmd, const Bytes &data = {})
{
    return slipFrame(SLIP_DIR_REQUEST, cmd, data);
}
Bytes fwd(uint8_t cmd, const Bytes &data = {})
{
    return req(UPDATER_CMD_FORWARD, req(cmd, data));
}
Bytes part(uint32_t idx, const Bytes &bytes)
{
    return cat({le32(idx), bytes});
}

struct Step
{
    Bytes send;           // nothing: only time passes
    std::string expect;   // text lines ending in "\n", then frames; "drop N" when the link drops
    uint64_t afterMs = 1; // time since the step before
    std::function<void(SimRig &)> then = nullptr;
    uint32_t baud = 115200;
};

struct Scenario
{
    const char *name;
    const char *options; // devsim's, as on its command line
    std::vector<Step> steps;
    std::function<void(SimRig &)> check = nullptr;
    bool isUpdatedFirst = false; // the engine's full update of the test container before the steps
};

// Parses the words of a devsim command line (no word holds a space).
ParseResult parseLine(const std::string &line, SimConfig *pConfig, std::string *pError)
{
    std::istringstream in(line);
    std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
    std::vector<const char *> args;
    for (const std::string &w : words)
        args.push_back(w.c_str());
    return parseOptions(int(args.size()), args.data(), pConfig, pError);
}

AffImage testImage()
{
    AffImage img;
    auto block = [](uint32_t type, size_t size, uint8_t seed, uint32_t code) {
        return AffImageBlock{type, affImagePattern(size, seed), kPart, -1, 0, {code, "Feb  2 2025"}};
    };
    img.blocks = {block(AFF_BLOCK_HOST_UC, 48, 1, 20000001),  block(AFF_BLOCK_DEVICE_UC, 32, 2, 20000002),
                  block(AFF_BLOCK_TI, 32, 3, 20000003),       block(AFF_BLOCK_ESP_FLASH, 32, 4, 20000004),
                  block(AFF_BLOCK_FPGA_NVCM0, 64, 5, 20005),  block(AFF_BLOCK_FPGA_NVCM1, 32, 6, 20006),
                  block(AFF_BLOCK_FPGA_USERCODE, 4, 7, 20007)};
    return img;
}

// The device's whole answer to bytes sent at nowMs, in the notation of the steps.
std::string answer(SimRig &rig, const Bytes &send, uint64_t nowMs, uint32_t baud = 115200)
{
    rig.device().tick(nowMs);
    rig.device().receive(send.data(), send.size(), baud, nowMs);
    Bytes out;
    for (const OutputChunk &chunk : rig.device().takeOutput())
        out.insert(out.end(), chunk.bytes.begin(), chunk.bytes.end());
    Traffic t = splitTraffic(out);
    std::string got;
    for (const std::string &line : t.lines)
        got += line + "\n";
    for (const Bytes &f : t.frames)
        got += frameText(f);
    uint32_t ms = 0;
    return rig.device().takeDisconnect(&ms) ? got + "drop " + std::to_string(ms) : got;
}

void runScenario(const Scenario &s)
{
    SCOPED_TRACE(s.name);
    SimRig rig;
    std::string error;
    ASSERT_EQ(parseLine(std::string(s.options) + " /tmp/ttyUNUSED", &rig.config, &error), ParseResult::Run)
        << error;
    rig.productId = rig.config.productId;
    rig.hardwareId = rig.config.hardwareId;
    if (s.isUpdatedFirst)
    {
        rig.aff = testImage().build();
        ASSERT_EQ(rig.run(UPDATER_OP_UPDATE_ALL), 1);
        EXPECT_EQ(rig.verify(&error), 0) << error;
    }
    else
        rig.start();
    uint64_t now = rig.link.nowMs;
    for (size_t i = 0; i < s.steps.size(); i++)
    {
        const Step &st = s.steps[i];
        now += st.afterMs;
        const std::string got = answer(rig, st.send, now, st.baud);
        EXPECT_EQ(got, st.expect) << "step " << i;
        if (st.then)
            st.then(rig);
    }
    if (s.check)
        s.check(rig);
}

TEST(SimDevice, Scenarios)
{
    Bytes badCrc = req(UPDATER_CMD_HELLO, {1, 2}), badLength = req(UPDATER_CMD_IV, Bytes(16, 1));
    badCrc[5] ^= 0x01;
    badLength.insert(badLength.end() - 1, 0x00);
    const Bytes hello = req(UPDATER_CMD_HELLO), nvcm0 = testImage().blocks[4].data;
    const std::string helloOk =
        ans(UPDATER_CMD_HELLO, 0, ":5,20100000,0,0,10000000,10000,10000000,1,10000000");
    const uint8_t kBegin = UPDATER_CMD_UC_PROGRAM_BEGIN, kData = UPDATER_CMD_UC_PROGRAM_DATA;
    const Step lock = {txt("AT+LOCK=1"), "AT+OK\n"},
               deviceBoot = {req(UPDATER_CMD_DEVICE_BOOT, le32(1)), ans(UPDATER_CMD_DEVICE_BOOT)};

    const Scenario scenarios[] = {
        {"text commands of each mode, restarts and the bootloader's announcement",
         "",
         {{txt("AT+BOOT?"), "AT+BOOT=0\n"},
          {txt("xx\x01"
               "AT+BOOT?"),
           "AT+BOOT=0\n"},
          {txt("AT+LOCK=1"), "AT+ERROR\n"},
          {txt("AT+CONFIG=1"), "AT+OK\n"},
          {txt("AT+CONFIG?"), "AT+CONFIG=1\n"},
          {txt("AT+REBOOT_BOOTLOADER"), "AT+OK\n"},
          {txt("AT+BOOT?"), ""}, // nobody listens while the device restarts
          {{}, "AT+BOOTLOADER_START\n", kRestartMs},
          {txt("AT+BOOT?"), "AT+BOOT=1\n"},
          {txt("AT+CONFIG=1"), "AT+ERROR\n"},
          lock,
          {txt("AT+LOCK=0"), "AT+OK\n"},
          {{}, "", kRestartMs}, // the application announces nothing
          {txt("AT+BOOT?"), "AT+BOOT=0\n"}},
         [](SimRig &r) { EXPECT_TRUE(r.device().mode() == Mode::Application && !r.device().isLocked()); }},
        {"application at another rate hears only that rate",
         "--app-baud 921600",
         {{txt("AT+BOOT?"), ""},
          {txt("AT+CONFIG=1\r\nAT+CONFIG=1\r\nAT+CONFIG=1"), "AT+OK\n", 1, nullptr, 921600},
          {txt("AT+CONFIG=1"), "AT+OK\n"},
          {txt("AT+CONFIG?"), "AT+CONFIG=1\n"}},
         [](SimRig &r) { EXPECT_GT(r.stats.garbledBytes, 0u); }},
        {"hello of each bootloader",
         "--boot --protocol-id 6 --product-id 7 --hardware-id 3 --set-version host-uc=11 "
         "--set-version device-uc=22 --set-version wifi=33 --set-version fpga=44 --set-version ti=55",
         {{hello, ""}, // packets need the lock
          lock,
          {hello, ans(UPDATER_CMD_HELLO, 0, ":6,20100000,7,3,11,44,33,1,55")},
          deviceBoot,
          {fwd(UPDATER_CMD_HELLO), fans(UPDATER_CMD_HELLO, 0, ":6,20100000,7,3,22,44,33,0,55")},
          {fwd(UPDATER_CMD_WIFI_INIT, le32(0)), fans(UPDATER_CMD_WIFI_INIT)},
          {fwd(UPDATER_CMD_HELLO), fans(UPDATER_CMD_HELLO, 0, ":6,20100000,7,3,33,44,33,0,55")}}},
        {"forwarding needs the device bootloader",
         "--boot",
         {lock,
          {fwd(UPDATER_CMD_HELLO), ans(UPDATER_CMD_FORWARD, kStatusSequence)},
          deviceBoot,
          {fwd(UPDATER_CMD_IV, Bytes(16, 0xC0)), fans(UPDATER_CMD_IV)},
          {req(UPDATER_CMD_DEVICE_BOOT, le32(0)), ans(UPDATER_CMD_DEVICE_BOOT)},
          {fwd(UPDATER_CMD_HELLO), ans(UPDATER_CMD_FORWARD, kStatusSequence)}}},
        {"a full update stores every image; a verify pass finds a changed part",
         "",
         {{txt("AT+REBOOT_BOOTLOADER"), "AT+OK\n"},
          {{}, "AT+BOOTLOADER_START\n", kRestartMs},
          lock,
          {req(UPDATER_CMD_FPGA_BEGIN), ans(UPDATER_CMD_FPGA_BEGIN)},
          {req(UPDATER_CMD_FPGA_PROGRAM_BEGIN, cat({le32(0), le32(0), le32(4)})),
           ans(UPDATER_CMD_FPGA_PROGRAM_BEGIN)},
          {req(UPDATER_CMD_FPGA_PROGRAM_DATA, part(0, Bytes(nvcm0.begin(), nvcm0.begin() + kPart))),
           ans(UPDATER_CMD_FPGA_PROGRAM_DATA)},
          {req(UPDATER_CMD_FPGA_PROGRAM_DATA, part(1, Bytes(kPart, 0))),
           ans(UPDATER_CMD_FPGA_PROGRAM_DATA, kStatusVerifyFailed)}},
         [](SimRig &r)
         {
             EXPECT_EQ(r.store.version(VersionSlot::Wifi).ulCode, 20000004u);
             EXPECT_STREQ(r.store.version(VersionSlot::Wifi).szDate, "Feb  2 2025");
             EXPECT_EQ(r.store.version(VersionSlot::Fpga).ulCode, 20005u) << "the NVCM0 block's version";
         },
         true},
        {"a device without host forwards to Wi-Fi after the hand-over",
         "--boot --no-host",
         {lock,
          {hello, ans(UPDATER_CMD_HELLO, 0, ":5,20100000,0,0,10000000,10000,10000000,0,10000000")},
          {req(UPDATER_CMD_DEVICE_BOOT, le32(1)), ans(UPDATER_CMD_DEVICE_BOOT, kStatusUnknownCommand)},
          {fwd(UPDATER_CMD_HELLO), ans(UPDATER_CMD_FORWARD, kStatusSequence)},
          {req(UPDATER_CMD_WIFI_INIT, le32(0)), ans(UPDATER_CMD_WIFI_INIT)},
          {fwd(kBegin, le32(kPart)), fans(kBegin)},
          {fwd(kData, part(0, Bytes(kPart, 0x5A))), fans(kData)},
          {fwd(kBegin + 2), fans(kBegin + 2)},
          {req(UPDATER_CMD_FPGA_BEGIN), ans(UPDATER_CMD_FPGA_BEGIN)}}, // the FPGA: still the device's
         [](SimRig &r)
         {
             EXPECT_EQ(r.store.image(Image::Wifi), Bytes(kPart, 0x5A));
             EXPECT_TRUE(r.store.image(Image::DeviceUc).empty());
         }},
        {"malformed requests are answered with their command",
         "--boot",
         {lock,
          deviceBoot,
          {badCrc, ans(UPDATER_CMD_HELLO, kStatusBadFrame)},
          {badLength, ans(UPDATER_CMD_IV, kStatusBadFrame)},
          {req(UPDATER_CMD_IV, Bytes(15, 1)), ans(UPDATER_CMD_IV, kStatusBadData)},
          {req(UPDATER_CMD_DEVICE_BOOT, le32(2)), ans(UPDATER_CMD_DEVICE_BOOT, kStatusBadData)},
          {req(kData, part(0, {1})), ans(kData, kStatusSequence)},
          {req(UPDATER_CMD_FPGA_PROGRAM_BEGIN, Bytes(8, 0)),
           ans(UPDATER_CMD_FPGA_PROGRAM_BEGIN, kStatusBadData)},
          {req(0x77), ans(0x77, kStatusUnknownCommand)},
          {req(UPDATER_CMD_FORWARD, badCrc), ans(UPDATER_CMD_FORWARD, kStatusBadFrame)},
          {req(UPDATER_CMD_FORWARD, {1, 2, 3}), ans(UPDATER_CMD_FORWARD, kStatusBadFrame), 1,
           [](SimRig &r) { EXPECT_EQ(r.stats.malformedRequests, 7u); }},
          {fwd(UPDATER_CMD_IV, Bytes(3, 0)), fans(UPDATER_CMD_IV, kStatusBadData)},
          {slipFrame(SLIP_DIR_RESPONSE, UPDATER_CMD_HELLO, {}), ""},
          {Bytes(hello.begin(), hello.begin() + 4), ""}, // abandoned half-way
          {hello, helloOk, kFrameGapMs + 1}}},
        {"injected response faults",
         "--boot --lose-response 2 --corrupt-response 3 --status 4:0x42",
         {lock,
          {hello, helloOk},
          {hello, ""},
          {hello, "!" + std::to_string(UPDATER_CMD_HELLO) + ";"},
          {req(kBegin, le32(16)), ans(kBegin, 0x42)}, // refused without being carried out
          {req(kData, part(0, {1})), ans(kData, kStatusSequence)}},
         [](SimRig &r) { EXPECT_EQ(r.stats.faults.statusAnswers, 1u); }},
        {"a late answer follows those sent meanwhile and dies with a restart",
         "--boot --late-response 1:2000 --late-response 3:2000",
         {lock,
          {hello, "", 1, [](SimRig &r) { EXPECT_EQ(r.device().nextDeadline(), r.link.nowMs + 2002); }},
          {req(UPDATER_CMD_IV, Bytes(16, 0)), ans(UPDATER_CMD_IV)},
          {{}, "", 1998},
          {{}, helloOk, 1, [](SimRig &r) { EXPECT_EQ(r.device().nextDeadline(), std::nullopt); }},
          {hello, ""},
          {txt("AT+LOCK=0"), "AT+OK\n"},
          {{}, "", 5000}},
         [](SimRig &r) { EXPECT_EQ(r.stats.faults.lateAnswers, 2u); }},
        {"injected text errors and silence",
         "--boot --at-error 2:AT+LOCK=1 --silent-after 1",
         {{txt("AT+BOOT?"), "AT+BOOT=1\n"},
          {txt("AT+LOCK=1"), "AT+ERROR\n"},
          {txt("AT+LOCK=1"), "AT+ERROR\n"},
          lock,
          {hello, helloOk},
          {hello, ""},
          {txt("AT+BOOT?"), ""}},
         [](SimRig &r) { EXPECT_EQ(r.stats.faults.silencedRequests, 1u); }},
        {"a disconnect at a part keeps the part but not its answer",
         "--boot --disconnect-at-part 2:1500",
         {lock,
          {req(kBegin, le32(32)), ans(kBegin)},
          {req(kData, part(0, Bytes(kPart, 1))), ans(kData)},
          {req(kData, part(1, Bytes(kPart, 2))), "drop 1500", 1,
           [](SimRig &r) { EXPECT_EQ(r.store.image(Image::HostUc).size(), 2 * kPart); }},
          {req(kData, part(1, Bytes(kPart, 2))), ans(kData)}},
         [](SimRig &r) {
             EXPECT_EQ(r.store.image(Image::HostUc), cat({Bytes(kPart, 1), Bytes(kPart, 2)}));
         }},
    };
    for (const Scenario &s : scenarios)
        runScenario(s);
}

TEST(SimDevice, RandomFaultsFollowTheRateAndTheSeed)
{
    auto run = [](uint64_t seed)
    {
        SimRig rig;
        rig.config.startInBoot = true;
        rig.config.faults.randomRate = 0.2;
        rig.config.faults.seed = seed;
        rig.start();
        std::string pattern;
        EXPECT_EQ(answer(rig, txt("AT+LOCK=1"), 1000), "AT+OK\n");
        for (int i = 1; i <= 400; i++)
        {
            const std::string got = answer(rig, req(UPDATER_CMD_HELLO), 1000 + i);
            pattern += got.empty() ? 'L' : got[0] == '!' ? 'C' : '.';
        }
        return pattern;
    };
    const std::string first = run(5);
    EXPECT_EQ(run(5), first);
    EXPECT_NE(run(6), first);
    const auto lost = std::count(first.begin(), first.end(), 'L');
    const auto corrupted = std::count(first.begin(), first.end(), 'C');
    EXPECT_TRUE(lost > 40 && lost < 120) << lost;
    EXPECT_TRUE(corrupted > 30 && corrupted < 100) << corrupted; // 0.8 * 0.2 of the rest
}

// The options the scenarios above do not use (they use the others).
TEST(SimOptions, ValuesReachTheirSettings)
{
    SimConfig c;
    std::string error;
    ASSERT_EQ(
        parseLine("--state /s --container=/fw.aff --throttle -v --summary /sum.json --random-faults 0.25 "
                  "--seed 99 /tmp/ttyDEV0",
                  &c, &error),
        ParseResult::Run)
        << error;
    EXPECT_EQ(c.linkPath + c.stateDir + c.containerPath + c.summaryPath, "/tmp/ttyDEV0/s/fw.aff/sum.json");
    EXPECT_TRUE(c.verbose && c.faults.throttle && c.faults.throttleBaud == 0);
    EXPECT_DOUBLE_EQ(c.faults.randomRate, 0.25);
    EXPECT_EQ(c.faults.seed, 99u);
    SimConfig fast;
    ASSERT_EQ(parseLine("--throttle-baud 3000000 /t", &fast, &error), ParseResult::Run);
    EXPECT_TRUE(fast.faults.throttle && fast.faults.throttleBaud == 3000000u)
        << "a rate implies the throttle";
}

TEST(SimOptions, BadValuesAreRefused)
{
    for (const char *text : {"", "-1", "+3", " 3", "3x", "0x", "4294967296", "1e3"})
    {
        uint32_t value = 0;
        EXPECT_FALSE(parseU32(text, &value)) << text;
    }
    uint32_t big = 0, hex = 0;
    EXPECT_TRUE(parseU32("4294967295", &big) && big == 4294967295u && parseU32("0xFFFF", &hex) &&
                hex == 0xFFFFu);
    for (const char *line : {"--at-error 2: /t", "--disconnect-at-part 0:100 /t", "--throttle-baud 0 /t",
                             "--throttle-baud fast /t", "--throttle-baud -1 /t", "/t --throttle-baud"})
    {
        SimConfig c;
        std::string error;
        EXPECT_EQ(parseLine(line, &c, &error), ParseResult::Error) << line;
    }
    SimConfig c;
    std::string error;
    EXPECT_EQ(parseLine("--help --bogus", &c, &error), ParseResult::Help);
}

} // namespace
