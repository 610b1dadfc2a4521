// The emulator's device model driven in-process, byte by byte: scenarios of steps, each
// configured by a devsim command line.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <sstream>

#include "sim/sim_options.h"
#include "tests/unit/sim_test_link.h"

using namespace devsim;
using namespace simtest;

namespace
{

constexpr uint32_t kPart = 16; // part size of the test container

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

// The device's whole answer to bytes sent at nowMs.
std::string answer(SimRig &rig, const Bytes &send, uint64_t nowMs, uint32_t baud = 115200)
{
    rig.device().tick(nowMs);
    rig.device().receive(send.data(), send.size(), baud, nowMs);
    Bytes out;
    for (const OutputChunk &chunk : rig.device().takeOutput())
        out.insert(out.end(), chunk.bytes.begin(), chunk.bytes.end());
    uint32_t ms = 0;
    return trafficText(out) + (rig.device().takeDisconnect(&ms) ? "drop " + std::to_string(ms) : "");
}

// A device as a devsim command line sets it up; with --container the engine first updates
// it with the container.
void setUp(SimRig &rig, const std::string &options, const AffImage &img)
{
    std::string error;
    ASSERT_EQ(parseLine(options + " /tmp/ttyX", &rig.config, &error), ParseResult::Run) << error;
    rig.productId = rig.config.productId;
    rig.hardwareId = rig.config.hardwareId;
    rig.aff = rig.config.containerPath.empty() ? Bytes() : img.build();
    if (rig.aff.empty())
        return rig.start();
    EXPECT_EQ(rig.run(UPDATER_OP_UPDATE_ALL), 1);
    EXPECT_EQ(rig.verify(&error), 0) << error;
}

struct Scenario
{
    const char *options;
    std::vector<Step> steps;
    Check check = nullptr;
};

TEST(SimDevice, Scenarios)
{
    AffImage img;
    const uint32_t types[] = {AFF_BLOCK_HOST_UC,      AFF_BLOCK_DEVICE_UC,  AFF_BLOCK_TI,
                              AFF_BLOCK_ESP_FLASH,    AFF_BLOCK_FPGA_NVCM0, AFF_BLOCK_FPGA_NVCM1,
                              AFF_BLOCK_FPGA_USERCODE};
    for (uint8_t i = 0; i < 7; i++)
        img.blocks.push_back(block(types[i], i == 6 ? 4 : 32, kPart, 20000001u + i));
    Bytes badCrc = slipFrame(SLIP_DIR_REQUEST, UPDATER_CMD_HELLO, {1, 2});
    Bytes badLength = slipFrame(SLIP_DIR_REQUEST, UPDATER_CMD_IV, Bytes(16, 1));
    badCrc[5] ^= 0x01;
    badLength.insert(badLength.end() - 1, 0x00);
    const Bytes nvcm0 = img.blocks[4].data, one = le32(1);
    const std::string hello = ":5,20100000,0,0,10000000,10000,10000000,1,10000000", lost = "";
    const uint8_t kHello = UPDATER_CMD_HELLO, kBoot = UPDATER_CMD_DEVICE_BOOT, kFwd = UPDATER_CMD_FORWARD,
                  kBegin = UPDATER_CMD_UC_PROGRAM_BEGIN, kData = UPDATER_CMD_UC_PROGRAM_DATA,
                  kFpga = UPDATER_CMD_FPGA_BEGIN, kFpgaPhase = UPDATER_CMD_FPGA_PROGRAM_BEGIN,
                  kFpgaData = UPDATER_CMD_FPGA_PROGRAM_DATA, kIv = UPDATER_CMD_IV,
                  kWifi = UPDATER_CMD_WIFI_INIT;
    const Step lock = T("AT+LOCK=1", "AT+OK\n"), notForwarding = F(kHello, {}, ans(kFwd, kStatusSequence));

    const Scenario scenarios[] = {
        {"", // text commands of each mode, restarts, the bootloader's announcement
         {T("AT+BOOT?", "AT+BOOT=0\n"),
          T("xx\x01"
            "AT+BOOT?",
            "AT+BOOT=0\n"),
          T("AT+LOCK=1", "AT+ERROR\n"), T("AT+CONFIG=1", "AT+OK\n"), T("AT+CONFIG?", "AT+CONFIG=1\n"),
          T("AT+REBOOT_BOOTLOADER", "AT+OK\n"), T("AT+BOOT?", ""), // nobody listens while the device restarts
          W(kRestartMs, "AT+BOOTLOADER_START\n"), T("AT+BOOT?", "AT+BOOT=1\n"),
          T("AT+CONFIG=1", "AT+ERROR\n"), lock, T("AT+LOCK=0", "AT+OK\n"), W(kRestartMs),
          T("AT+BOOT?", "AT+BOOT=0\n")}, // the application announces nothing
         [](SimRig &r) { EXPECT_TRUE(r.device().mode() == Mode::Application && !r.device().isLocked()); }},
        {"--app-baud 921600", // an application at another rate hears only that rate
         {T("AT+BOOT?", ""), T("AT+CONFIG=1\r\nAT+CONFIG=1\r\nAT+CONFIG=1", "AT+OK\n", 921600),
          T("AT+CONFIG=1", "AT+OK\n"), T("AT+CONFIG?", "AT+CONFIG=1\n")},
         [](SimRig &r) { EXPECT_GT(r.stats.garbledBytes, 0u); }},
        {"--boot --protocol-id 6 --product-id 0xFFFF --hardware-id 4294967295 --set-version host-uc=11 "
         "--set-version "
         "device-uc=22 --set-version wifi=33 --set-version fpga=44 --set-version ti=55", // hellos and
                                                                                         // forwarding
         {R(kHello, {}, lost), lock,
          R(kHello, {}, ans(kHello, 0, ":6,20100000,65535,4294967295,11,44,33,1,55")), notForwarding,
          R(kBoot, one), F(kHello, {}, fans(kHello, 0, ":6,20100000,65535,4294967295,22,44,33,0,55")),
          F(kIv, Bytes(16, 0xC0)), F(kWifi, le32(0)),
          F(kHello, {}, fans(kHello, 0, ":6,20100000,65535,4294967295,33,44,33,0,55")), R(kBoot, le32(0)),
          notForwarding}},
        {"--container fw.aff", // after a full update a verify pass finds a changed part
         {T("AT+REBOOT_BOOTLOADER", "AT+OK\n"), W(kRestartMs, "AT+BOOTLOADER_START\n"), lock, R(kFpga),
          R(kFpgaPhase, cat({le32(0), le32(0), le32(4)})),
          R(kFpgaData, cat({le32(0), Bytes(nvcm0.begin(), nvcm0.begin() + kPart)})),
          R(kFpgaData, cat({one, Bytes(kPart, 0)}), ans(kFpgaData, kStatusVerifyFailed))},
         [](SimRig &r)
         {
             EXPECT_EQ(r.store.version(VersionSlot::Wifi).ulCode, 20000004u);
             EXPECT_STREQ(r.store.version(VersionSlot::Wifi).szDate, "Feb  2 2025");
             EXPECT_EQ(r.store.version(VersionSlot::Fpga).ulCode, 20000005u) << "the NVCM0 block's version";
         }},
        {"--boot --no-host", // forwarding goes to Wi-Fi after the hand-over; the FPGA is still the device's
         {lock, R(kHello, {}, ans(kHello, 0, ":5,20100000,0,0,10000000,10000,10000000,0,10000000")),
          R(kBoot, one, ans(kBoot, kStatusUnknownCommand)), notForwarding, R(kWifi, le32(0)),
          F(kBegin, le32(kPart)), F(kData, cat({le32(0), Bytes(kPart, 0x5A)})), F(kBegin + 2), R(kFpga)},
         [](SimRig &r) {
             EXPECT_TRUE(r.store.image(Image::Wifi) == Bytes(kPart, 0x5A) &&
                         r.store.image(Image::DeviceUc).empty());
         }},
        {"--boot", // malformed requests are answered with their command
         {lock,
          R(kBoot, one),
          {badCrc, ans(kHello, kStatusBadFrame)},
          {badLength, ans(kIv, kStatusBadFrame)},
          R(kIv, Bytes(15, 1), ans(kIv, kStatusBadData)),
          R(kBoot, le32(2), ans(kBoot, kStatusBadData)),
          R(kData, cat({le32(0), {1}}), ans(kData, kStatusSequence)),
          R(kFpgaPhase, Bytes(8, 0), ans(kFpgaPhase, kStatusBadData)),
          R(0x77, {}, ans(0x77, kStatusUnknownCommand)),
          R(kFwd, badCrc, ans(kFwd, kStatusBadFrame)),
          R(kFwd, {1, 2, 3}, ans(kFwd, kStatusBadFrame),
            [](SimRig &r) { EXPECT_EQ(r.stats.malformedRequests, 7u); }),
          F(kIv, Bytes(3, 0), fans(kIv, kStatusBadData)),
          {slipFrame(SLIP_DIR_RESPONSE, kHello, {}), lost},
          {Bytes(badCrc.begin(), badCrc.begin() + 4), lost}, // abandoned half-way
          W(kFrameGapMs + 1),
          R(kHello, {}, ans(kHello, 0, hello))}},
        {"--boot --at-error 2:AT+LOCK=1 --lose-response 2 --corrupt-response 3 --status 4:0x42 "
         "--silent-after 5",
         {T("AT+BOOT?", "AT+BOOT=1\n"), T("AT+LOCK=1", "AT+ERROR\n"), T("AT+LOCK=1", "AT+ERROR\n"), lock,
          R(kHello, {}, ans(kHello, 0, hello)), R(kHello, {}, lost),
          R(kHello, {}, "!" + std::to_string(kHello) + ";"),
          R(kBegin, le32(16), ans(kBegin, 0x42)), // refused without being carried out
          R(kData, cat({le32(0), {1}}), ans(kData, kStatusSequence)), R(kHello, {}, lost),
          T("AT+BOOT?", lost)},
         [](SimRig &r)
         { EXPECT_TRUE(r.stats.faults.statusAnswers == 1 && r.stats.faults.silencedRequests == 1); }},
        {"--boot --late-response 1:2000 --late-response 3:2000", // after those sent meanwhile; lost in a
                                                                 // restart
         {lock,
          R(kHello, {}, lost, [](SimRig &r) { EXPECT_EQ(r.device().nextDeadline(), r.link.nowMs + 2002); }),
          R(kIv, Bytes(16, 0)), W(1998),
          W(1, ans(kHello, 0, hello), [](SimRig &r) { EXPECT_EQ(r.device().nextDeadline(), std::nullopt); }),
          R(kHello, {}, lost), T("AT+LOCK=0", "AT+OK\n"), W(5000)},
         [](SimRig &r) { EXPECT_EQ(r.stats.faults.lateAnswers, 2u); }},
        {"--boot --disconnect-at-part 2:1500", // keeps the part but not its answer
         {lock, R(kBegin, le32(32)), R(kData, cat({le32(0), Bytes(kPart, 1)})),
          R(kData, cat({one, Bytes(kPart, 2)}), "drop 1500",
            [](SimRig &r) { EXPECT_EQ(r.store.image(Image::HostUc).size(), 2 * kPart); }),
          R(kData, cat({one, Bytes(kPart, 2)}))},
         [](SimRig &r) {
             EXPECT_EQ(r.store.image(Image::HostUc), cat({Bytes(kPart, 1), Bytes(kPart, 2)}));
         }},
    };
    for (const Scenario &s : scenarios)
    {
        SCOPED_TRACE(s.options);
        SimRig rig;
        setUp(rig, s.options, img);
        uint64_t now = rig.link.nowMs;
        for (size_t i = 0; i < s.steps.size(); i++)
        {
            const Step &st = s.steps[i];
            EXPECT_EQ(answer(rig, st.send, now += st.afterMs, st.baud), st.expect) << "step " << i;
            if (st.then)
                st.then(rig);
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
        std::string pattern;
        setUp(rig, std::string("--boot --random-faults 0.2 --seed ") + seed, AffImage());
        EXPECT_EQ(answer(rig, T("AT+LOCK=1", "").send, 1000), "AT+OK\n");
        for (int i = 1; i <= 400; i++)
        {
            const std::string got = answer(rig, R(UPDATER_CMD_HELLO).send, 1000 + i);
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

// Values the options refuse (the scenarios above and the program's tests use the others).
TEST(SimOptions, BadValuesAreRefused)
{
    SimConfig unused;
    std::string error;
    for (const char *line : {"--lose-response -1 /t", "--lose-response +3 /t", "--lose-response 3x /t",
                             "--lose-response 0x /t", "--lose-response 4294967296 /t",
                             "--lose-response 1e3 /t", "--at-error 2: /t", "--disconnect-at-part 0:100 /t",
                             "--throttle-baud 0 /t", "--throttle-baud fast /t", "/t --throttle-baud"})
        EXPECT_EQ(parseLine(line, &unused, &error), ParseResult::Error) << line;
    EXPECT_EQ(parseLine("--help --bogus", &unused, &error), ParseResult::Help);
}

} // namespace
