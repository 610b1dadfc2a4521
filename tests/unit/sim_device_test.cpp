// The emulator's device model driven in-process, byte by byte: scenarios of steps, each
// configured by a devsim command line.

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

#include "sim/sim_options.h"
#include "tests/unit/sim_test_link.h"

using namespace devsim;
using namespace simtest;

namespace
{

constexpr uint32_t kPart = 16; // part size of the test container

// A device as a devsim command line (words without spaces) sets it up; with --container
// the engine first updates it with the container.
void setUp(SimRig &rig, const std::string &options, const AffImage &img)
{
    std::istringstream in(options + " /tmp/ttyX");
    std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
    std::vector<const char *> args;
    for (const std::string &w : words)
        args.push_back(w.c_str());
    std::string error;
    ASSERT_EQ(parseOptions(int(args.size()), args.data(), &rig.config, &error), ParseResult::Run) << error;
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
    const std::string hello = ":5,20100000,0,0,10000000,10000,10000000,1,10000000", lost = "",
                      h6 = ":6,20100000,65535,4294967295,";
    const uint8_t kHello = UPDATER_CMD_HELLO, kBoot = UPDATER_CMD_DEVICE_BOOT, kFwd = UPDATER_CMD_FORWARD,
                  kBegin = UPDATER_CMD_UC_PROGRAM_BEGIN, kData = UPDATER_CMD_UC_PROGRAM_DATA,
                  kFpga = UPDATER_CMD_FPGA_BEGIN, kFpgaPhase = UPDATER_CMD_FPGA_PROGRAM_BEGIN,
                  kFpgaData = UPDATER_CMD_FPGA_PROGRAM_DATA, kIv = UPDATER_CMD_IV,
                  kWifi = UPDATER_CMD_WIFI_INIT;
    const Step lock = T("AT+LOCK=1", "AT+OK\n"), notForwarding = F(kHello, {}, ans(kFwd, kStatusSequence));

    const Scenario scenarios[] = {
        {"", // text commands of each mode, restarts, the bootloader's announcement
         {T("AT+BOOT?", "AT+BOOT=0\n"), T("xx\1AT+BOOT?", "AT+BOOT=0\n"), T("AT+LOCK=1", "AT+ERROR\n"),
          T("AT+CONFIG=1", "AT+OK\n"), T("AT+CONFIG?", "AT+CONFIG=1\n"), T("AT+REBOOT_BOOTLOADER", "AT+OK\n"),
          T("AT+BOOT?", ""), // nobody listens in a restart
          W(kRestartMs, "AT+BOOTLOADER_START\n"), T("AT+BOOT?", "AT+BOOT=1\n"),
          T("AT+CONFIG=1", "AT+ERROR\n"), lock, T("AT+LOCK=0", "AT+OK\n"), W(kRestartMs),
          T("AT+BOOT?", "AT+BOOT=0\n")}, // the application announces nothing
         [](SimRig &r) { EXPECT_TRUE(r.device().mode() == Mode::Application && !r.device().isLocked()); }},
        {"--app-baud 921600", // an application at another rate hears only that rate
         {T("AT+BOOT?", ""), T("AT+CONFIG=1\r\nAT+CONFIG=1\r\nAT+CONFIG=1", "AT+OK\n", 921600),
          T("AT+CONFIG=1", "AT+OK\n"), T("AT+CONFIG?", "AT+CONFIG=1\n")},
         [](SimRig &r) { EXPECT_GT(r.stats.garbledBytes, 0u); }},
        // hellos and forwarding
        {"--boot --protocol-id 6 --product-id 0xFFFF --hardware-id 4294967295 --set-version host-uc=11 "
         "--set-version device-uc=22 --set-version wifi=33 --set-version fpga=44 --set-version ti=55",
         {R(kHello, {}, lost), lock, R(kHello, {}, ans(kHello, 0, h6 + "11,44,33,1,55")), notForwarding,
          R(kBoot, one), F(kHello, {}, fans(kHello, 0, h6 + "22,44,33,0,55")), F(kIv, Bytes(16, 0xC0)),
          F(kWifi, le32(0)), F(kHello, {}, fans(kHello, 0, h6 + "33,44,33,0,55")), R(kBoot, le32(0)),
          notForwarding}},
        {"--container fw.aff", // after a full update a verify pass finds a changed part
         {T("AT+REBOOT_BOOTLOADER", "AT+OK\n"), W(kRestartMs, "AT+BOOTLOADER_START\n"), lock, R(kFpga),
          R(kFpgaPhase, cat({le32(0), le32(0), le32(4)})),
          R(kFpgaData, cat({le32(0), Bytes(nvcm0.begin(), nvcm0.begin() + kPart)})),
          R(kFpgaData, cat({one, Bytes(kPart, 0)}), ans(kFpgaData, kStatusVerifyFailed))},
         [](SimRig &r) // Wi-Fi's version from its block, the FPGA's from the NVCM0 block
         {
             const _tVersion w = r.store.version(VersionSlot::Wifi), f = r.store.version(VersionSlot::Fpga);
             EXPECT_EQ(std::to_string(w.ulCode) + w.szDate + std::to_string(f.ulCode),
                       "20000004Feb  2 202520000005");
         }},
        {"--boot", // malformed requests are answered with their command
         {lock, R(kBoot, one), B(badCrc, ans(kHello, kStatusBadFrame)),
          B(badLength, ans(kIv, kStatusBadFrame)), R(kIv, Bytes(15, 1), ans(kIv, kStatusBadData)),
          R(kBoot, le32(2), ans(kBoot, kStatusBadData)),
          R(kData, cat({le32(0), {1}}), ans(kData, kStatusSequence)),
          R(kFpgaPhase, Bytes(8, 0), ans(kFpgaPhase, kStatusBadData)),
          R(0x77, {}, ans(0x77, kStatusUnknownCommand)), R(kFwd, badCrc, ans(kFwd, kStatusBadFrame)),
          R(kFwd, {1, 2, 3}, ans(kFwd, kStatusBadFrame),
            [](SimRig &r) { EXPECT_EQ(r.stats.malformedRequests, 7u); }),
          F(kIv, Bytes(3, 0), fans(kIv, kStatusBadData)), B(slipFrame(SLIP_DIR_RESPONSE, kHello, {}), lost),
          B(Bytes(badCrc.begin(), badCrc.begin() + 4), lost), // abandoned half-way
          W(kFrameGapMs + 1), R(kHello, {}, ans(kHello, 0, hello))}},
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
        // late answers go after those sent meanwhile; a restart loses them
        {"--boot --late-response 1:2000 --late-response 3:2000",
         {lock,
          R(kHello, {}, lost, [](SimRig &r) { EXPECT_EQ(r.device().nextDeadline(), r.link.nowMs + 2002); }),
          R(kIv, Bytes(16, 0)), W(1998),
          W(1, ans(kHello, 0, hello), [](SimRig &r) { EXPECT_EQ(r.device().nextDeadline(), std::nullopt); }),
          R(kHello, {}, lost), T("AT+LOCK=0", "AT+OK\n"), W(5000)},
         [](SimRig &r) { EXPECT_EQ(r.stats.faults.lateAnswers, 2u); }},
        {"--boot --disconnect-at-part 2:1500", // keeps the part but not its answer
         {lock, R(kBegin, le32(32)), R(kData, cat({le32(0), Bytes(kPart, 1)})),
          R(kData, cat({one, Bytes(kPart, 2)}), "drop 1500",
            [](SimRig &r) {
                EXPECT_EQ(r.store.image(Image::HostUc), cat({Bytes(kPart, 1), Bytes(kPart, 2)}));
            }),
          R(kData, cat({one, Bytes(kPart, 2)}))}},
    };
    for (const Scenario &s : scenarios)
    {
        SCOPED_TRACE(s.options);
        SimRig rig;
        setUp(rig, s.options, img);
        uint64_t now = rig.link.nowMs;
        for (size_t i = 0; i < s.steps.size(); i++)
        {
            // The device's whole answer to the step's bytes.
            const Step &st = s.steps[i];
            rig.device().tick(now += st.afterMs);
            rig.device().receive(st.send.data(), st.send.size(), st.baud, now);
            Bytes out;
            for (const OutputChunk &chunk : rig.device().takeOutput())
                out.insert(out.end(), chunk.bytes.begin(), chunk.bytes.end());
            uint32_t ms = 0;
            const std::string drop = rig.device().takeDisconnect(&ms) ? "drop " + std::to_string(ms) : "";
            EXPECT_EQ(trafficText(out) + drop, st.expect) << "step " << i;
            if (st.then)
                st.then(rig);
        }
        if (s.check)
            s.check(rig);
    }
}

} // namespace
