// The emulator's device model driven in-process, byte by byte: scenarios of steps, each
// the bytes the host sends and the device's whole answer in a short notation; and the
// command line that configures it.

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/aff_image.h"
#include "tests/unit/sim_test_link.h"

using namespace devsim;
using namespace simtest;

namespace
{

constexpr uint32_t kPart = 16; // part size of the test container

// The device's whole answer to bytes sent at nowMs; "drop N" when its link drops for N ms.
std::string answer(SimRig &rig, const Bytes &send, uint64_t nowMs, uint32_t baud = 115200)
{
    rig.device().tick(nowMs);
    rig.device().receive(send.data(), send.size(), baud, nowMs);
    Bytes out;
    for (const OutputChunk &chunk : rig.device().takeOutput())
        out.insert(out.end(), chunk.bytes.begin(), chunk.bytes.end());
    std::string got = trafficText(out);
    uint32_t ms = 0;
    return rig.device().takeDisconnect(&ms) ? got + "drop " + std::to_string(ms) : got;
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
    const char *options; // devsim's; with --container, the engine first updates it with the test container
    std::vector<Step> steps;
    std::function<void(SimRig &)> check = nullptr;
};

TEST(SimDevice, Scenarios)
{
    AffImage img;
    const uint32_t types[] = {AFF_BLOCK_HOST_UC,      AFF_BLOCK_DEVICE_UC,  AFF_BLOCK_TI,
                              AFF_BLOCK_ESP_FLASH,    AFF_BLOCK_FPGA_NVCM0, AFF_BLOCK_FPGA_NVCM1,
                              AFF_BLOCK_FPGA_USERCODE};
    for (uint8_t i = 0; i < 7; i++)
        img.blocks.push_back(
            {types[i], affImagePattern(i == 6 ? 4 : 32, i), kPart, -1, 0, {20000001u + i, "Feb  2 2025"}});
    Bytes badCrc = req(UPDATER_CMD_HELLO, {1, 2}), badLength = req(UPDATER_CMD_IV, Bytes(16, 1));
    badCrc[5] ^= 0x01;
    badLength.insert(badLength.end() - 1, 0x00);
    const Bytes hello = req(UPDATER_CMD_HELLO), nvcm0 = img.blocks[4].data;
    const std::string helloOk =
        ans(UPDATER_CMD_HELLO, 0, ":5,20100000,0,0,10000000,10000,10000000,1,10000000");
    const uint8_t kBegin = UPDATER_CMD_UC_PROGRAM_BEGIN, kData = UPDATER_CMD_UC_PROGRAM_DATA;
    const Step lock = {txt("AT+LOCK=1"), "AT+OK\n"};
    const Step deviceBoot = {req(UPDATER_CMD_DEVICE_BOOT, le32(1)), ans(UPDATER_CMD_DEVICE_BOOT)};
    const Step notForwarding = {fwd(UPDATER_CMD_HELLO), ans(UPDATER_CMD_FORWARD, kStatusSequence)};

    const Scenario scenarios[] = {
        {"", // text commands of each mode, restarts, the bootloader's announcement
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
        {"--app-baud 921600", // an application at another rate hears only that rate
         {{txt("AT+BOOT?"), ""},
          {txt("AT+CONFIG=1\r\nAT+CONFIG=1\r\nAT+CONFIG=1"), "AT+OK\n", 1, nullptr, 921600},
          {txt("AT+CONFIG=1"), "AT+OK\n"},
          {txt("AT+CONFIG?"), "AT+CONFIG=1\n"}},
         [](SimRig &r) { EXPECT_GT(r.stats.garbledBytes, 0u); }},
        {"--boot --protocol-id 6 --product-id 7 --hardware-id 3 --set-version host-uc=11 --set-version "
         "device-uc=22 --set-version wifi=33 --set-version fpga=44 --set-version ti=55", // hellos, forwarding
         {{hello, ""}, // packets need the lock
          lock,
          {hello, ans(UPDATER_CMD_HELLO, 0, ":6,20100000,7,3,11,44,33,1,55")},
          notForwarding,
          deviceBoot,
          {fwd(UPDATER_CMD_HELLO), fans(UPDATER_CMD_HELLO, 0, ":6,20100000,7,3,22,44,33,0,55")},
          {fwd(UPDATER_CMD_IV, Bytes(16, 0xC0)), fans(UPDATER_CMD_IV)},
          {fwd(UPDATER_CMD_WIFI_INIT, le32(0)), fans(UPDATER_CMD_WIFI_INIT)},
          {fwd(UPDATER_CMD_HELLO), fans(UPDATER_CMD_HELLO, 0, ":6,20100000,7,3,33,44,33,0,55")},
          {req(UPDATER_CMD_DEVICE_BOOT, le32(0)), ans(UPDATER_CMD_DEVICE_BOOT)},
          notForwarding}},
        {"--container fw.aff", // after a full update, a verify pass finds a changed part
         {{txt("AT+REBOOT_BOOTLOADER"), "AT+OK\n"},
          {{}, "AT+BOOTLOADER_START\n", kRestartMs},
          lock,
          {req(UPDATER_CMD_FPGA_BEGIN), ans(UPDATER_CMD_FPGA_BEGIN)},
          {req(UPDATER_CMD_FPGA_PROGRAM_BEGIN, cat({le32(0), le32(0), le32(4)})),
           ans(UPDATER_CMD_FPGA_PROGRAM_BEGIN)},
          {req(UPDATER_CMD_FPGA_PROGRAM_DATA, cat({le32(0), Bytes(nvcm0.begin(), nvcm0.begin() + kPart)})),
           ans(UPDATER_CMD_FPGA_PROGRAM_DATA)},
          {req(UPDATER_CMD_FPGA_PROGRAM_DATA, cat({le32(1), Bytes(kPart, 0)})),
           ans(UPDATER_CMD_FPGA_PROGRAM_DATA, kStatusVerifyFailed)}},
         [](SimRig &r)
         {
             EXPECT_EQ(r.store.version(VersionSlot::Wifi).ulCode, 20000004u);
             EXPECT_STREQ(r.store.version(VersionSlot::Wifi).szDate, "Feb  2 2025");
             EXPECT_EQ(r.store.version(VersionSlot::Fpga).ulCode, 20000005u) << "the NVCM0 block's version";
         }},
        {"--boot --no-host", // forwarding goes to Wi-Fi after the hand-over
         {lock,
          {hello, ans(UPDATER_CMD_HELLO, 0, ":5,20100000,0,0,10000000,10000,10000000,0,10000000")},
          {req(UPDATER_CMD_DEVICE_BOOT, le32(1)), ans(UPDATER_CMD_DEVICE_BOOT, kStatusUnknownCommand)},
          notForwarding,
          {req(UPDATER_CMD_WIFI_INIT, le32(0)), ans(UPDATER_CMD_WIFI_INIT)},
          {fwd(kBegin, le32(kPart)), fans(kBegin)},
          {fwd(kData, cat({le32(0), Bytes(kPart, 0x5A)})), fans(kData)},
          {fwd(kBegin + 2), fans(kBegin + 2)},
          {req(UPDATER_CMD_FPGA_BEGIN), ans(UPDATER_CMD_FPGA_BEGIN)}}, // the FPGA: still the device's
         [](SimRig &r) {
             EXPECT_TRUE(r.store.image(Image::Wifi) == Bytes(kPart, 0x5A) &&
                         r.store.image(Image::DeviceUc).empty());
         }},
        {"--boot", // malformed requests are answered with their command
         {lock,
          deviceBoot,
          {badCrc, ans(UPDATER_CMD_HELLO, kStatusBadFrame)},
          {badLength, ans(UPDATER_CMD_IV, kStatusBadFrame)},
          {req(UPDATER_CMD_IV, Bytes(15, 1)), ans(UPDATER_CMD_IV, kStatusBadData)},
          {req(UPDATER_CMD_DEVICE_BOOT, le32(2)), ans(UPDATER_CMD_DEVICE_BOOT, kStatusBadData)},
          {req(kData, cat({le32(0), {1}})), ans(kData, kStatusSequence)},
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
        {"--boot --at-error 2:AT+LOCK=1 --lose-response 2 --corrupt-response 3 --status 4:0x42 "
         "--silent-after 5",
         {{txt("AT+BOOT?"), "AT+BOOT=1\n"},
          {txt("AT+LOCK=1"), "AT+ERROR\n"},
          {txt("AT+LOCK=1"), "AT+ERROR\n"},
          lock,
          {hello, helloOk},
          {hello, ""},
          {hello, "!" + std::to_string(UPDATER_CMD_HELLO) + ";"},
          {req(kBegin, le32(16)), ans(kBegin, 0x42)}, // refused without being carried out
          {req(kData, cat({le32(0), {1}})), ans(kData, kStatusSequence)},
          {hello, ""}, // silent from here on
          {txt("AT+BOOT?"), ""}},
         [](SimRig &r)
         { EXPECT_TRUE(r.stats.faults.statusAnswers == 1 && r.stats.faults.silencedRequests == 1); }},
        {"--boot --late-response 1:2000 --late-response 3:2000", // after those sent meanwhile; lost in a
                                                                 // restart
         {lock,
          {hello, "", 1, [](SimRig &r) { EXPECT_EQ(r.device().nextDeadline(), r.link.nowMs + 2002); }},
          {req(UPDATER_CMD_IV, Bytes(16, 0)), ans(UPDATER_CMD_IV)},
          {{}, "", 1998},
          {{}, helloOk, 1, [](SimRig &r) { EXPECT_EQ(r.device().nextDeadline(), std::nullopt); }},
          {hello, ""},
          {txt("AT+LOCK=0"), "AT+OK\n"},
          {{}, "", 5000}},
         [](SimRig &r) { EXPECT_EQ(r.stats.faults.lateAnswers, 2u); }},
        {"--boot --disconnect-at-part 2:1500", // keeps the part but not its answer
         {lock,
          {req(kBegin, le32(32)), ans(kBegin)},
          {req(kData, cat({le32(0), Bytes(kPart, 1)})), ans(kData)},
          {req(kData, cat({le32(1), Bytes(kPart, 2)})), "drop 1500", 1,
           [](SimRig &r) { EXPECT_EQ(r.store.image(Image::HostUc).size(), 2 * kPart); }},
          {req(kData, cat({le32(1), Bytes(kPart, 2)})), ans(kData)}},
         [](SimRig &r) {
             EXPECT_EQ(r.store.image(Image::HostUc), cat({Bytes(kPart, 1), Bytes(kPart, 2)}));
         }},
    };
    for (const Scenario &s : scenarios)
    {
        SCOPED_TRACE(s.options);
        SimRig rig;
        std::string error;
        ASSERT_EQ(parseLine(std::string(s.options) + " /tmp/ttyX", &rig.config, &error), ParseResult::Run)
            << error;
        rig.productId = rig.config.productId;
        rig.hardwareId = rig.config.hardwareId;
        rig.aff = rig.config.containerPath.empty() ? Bytes() : img.build();
        if (rig.aff.empty())
            rig.start();
        else
        {
            EXPECT_EQ(rig.run(UPDATER_OP_UPDATE_ALL), 1);
            EXPECT_EQ(rig.verify(&error), 0) << error;
        }
        uint64_t now = rig.link.nowMs;
        for (size_t i = 0; i < s.steps.size(); i++)
        {
            EXPECT_EQ(answer(rig, s.steps[i].send, now += s.steps[i].afterMs, s.steps[i].baud),
                      s.steps[i].expect)
                << "step " << i;
            if (s.steps[i].then)
                s.steps[i].then(rig);
        }
        if (s.check)
            s.check(rig);
    }
}

TEST(SimDevice, RandomFaultsFollowTheRateAndTheSeed)
{
    auto run = [](const char *seed)
    {
        SimRig rig;
        std::string pattern, error;
        EXPECT_EQ(
            parseLine(std::string("--boot --random-faults 0.2 --seed ") + seed + " /t", &rig.config, &error),
            ParseResult::Run);
        rig.start();
        EXPECT_EQ(answer(rig, txt("AT+LOCK=1"), 1000), "AT+OK\n");
        for (int i = 1; i <= 400; i++)
        {
            const std::string got = answer(rig, req(UPDATER_CMD_HELLO), 1000 + i);
            pattern += got.empty() ? 'L' : got[0] == '!' ? 'C' : '.';
        }
        return pattern;
    };
    const std::string first = run("5");
    EXPECT_EQ(run("5"), first);
    EXPECT_NE(run("6"), first);
    const auto lost = std::count(first.begin(), first.end(), 'L'),
               corrupted = std::count(first.begin(), first.end(), 'C');
    EXPECT_TRUE(lost > 40 && lost < 120) << lost;
    EXPECT_TRUE(corrupted > 30 && corrupted < 100) << corrupted; // 0.8 * 0.2 of the rest
}

// The options the scenarios above do not use.
TEST(SimOptions, ValuesReachTheirSettingsAndBadOnesAreRefused)
{
    SimConfig c, fast, unused;
    std::string error;
    ASSERT_EQ(parseLine("--state /s --container=/fw.aff --throttle -v --summary /sum.json /tmp/ttyDEV0", &c,
                        &error),
              ParseResult::Run);
    EXPECT_EQ(c.linkPath + c.stateDir + c.containerPath + c.summaryPath, "/tmp/ttyDEV0/s/fw.aff/sum.json");
    EXPECT_TRUE(c.verbose && c.faults.throttle && c.faults.throttleBaud == 0);
    ASSERT_EQ(parseLine("--throttle-baud 3000000 /t", &fast, &error), ParseResult::Run);
    EXPECT_TRUE(fast.faults.throttle && fast.faults.throttleBaud == 3000000u)
        << "a rate implies the throttle";
    uint32_t big = 0, hex = 0, value = 0;
    EXPECT_TRUE(parseU32("4294967295", &big) && big == 4294967295u && parseU32("0xFFFF", &hex) &&
                hex == 0xFFFFu);
    for (const char *text : {"", "-1", "+3", " 3", "3x", "0x", "4294967296", "1e3"})
        EXPECT_FALSE(parseU32(text, &value)) << text;
    for (const char *line : {"--at-error 2: /t", "--disconnect-at-part 0:100 /t", "--throttle-baud 0 /t",
                             "--throttle-baud fast /t", "--throttle-baud -1 /t", "/t --throttle-baud"})
        EXPECT_EQ(parseLine(line, &unused, &error), ParseResult::Error) << line;
    EXPECT_EQ(parseLine("--help --bogus", &unused, &error), ParseResult::Help);
}

} // namespace
