// The emulator's device model driven in-process on a virtual clock, then the devsim program
// and its pseudo-terminal in a few real-time runs. A step is what the host sends, built with
// the project's framing, and the device's whole answer as one short text: text lines ending
// in "\n", then frames as "cmd/status;" ("!cmd;" when checksum, length or direction are
// wrong), a forwarding answer with its inner frame in braces, a hello with its words
// (protocol, bootloader, product, hardware, firmware, FPGA, Wi-Fi, host flag, TI) after a colon.

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "common/le_bytes.h"
#include "protocol/commands.h"
#include "sim/sim_options.h"
#include "tests/support/aff_image.h"
#include "tests/support/devsim_runner.h"
#include "tests/support/sim_link.h"

using namespace devsim;
using namespace testsupport;
namespace fs = std::filesystem;

namespace
{

constexpr uint32_t kPart = 16; // part size of the in-process test container

std::string frameText(const Bytes &f)
{
    const uint16_t len = slipGetDataLength(f.data());
    std::string s = std::to_string(slipGetCmd(f.data()));
    if (slipIsPacketValid(f.data(), uint16_t(f.size()), 1) != 1 ||
        slipGetDir(f.data()) != SLIP_DIR_RESPONSE || len < 4 || f.size() != size_t(len) + SLIP_OVERHEAD)
        return "!" + s + ";";
    const uint8_t *d = slipGetDataStart(f.data());
    s += "/" + std::to_string(leGetU32(d));
    if (slipGetCmd(f.data()) == UPDATER_CMD_FORWARD && len > 4)
        s += "{" + frameText(Bytes(d + 4, d + len)) + "}";
    for (size_t at : {0, 4, 20, 24, 28, 44, 60, 76, 80})
        if (slipGetCmd(f.data()) == UPDATER_CMD_HELLO && len == UPDATER_HELLO_DATA_SIZE)
            s += (at ? "," : ":") + std::to_string(leGetU32(d + 4 + at));
    return s + ";";
}

std::string trafficText(const Bytes &bytes)
{
    Traffic t = splitTraffic(bytes);
    std::string s;
    for (const std::string &line : t.lines)
        s += line + "\n";
    for (const Bytes &f : t.frames)
        s += frameText(f);
    return s;
}

std::string ans(uint8_t cmd, uint32_t status = 0, const std::string &extra = "")
{
    return std::to_string(cmd) + "/" + std::to_string(status) + extra + ";";
}
std::string fans(uint8_t cmd, uint32_t status = 0, const std::string &extra = "")
{
    return ans(UPDATER_CMD_FORWARD, 0, "{" + ans(cmd, status, extra) + "}");
}

using Check = std::function<void(SimRig &)>;

// A block of a pattern that differs with the version code.
AffImageBlock block(uint32_t type, size_t size, uint32_t partSize, uint32_t code)
{
    return {type, affImagePattern(size, uint8_t(code)), partSize, -1, 0, {code, "Feb  2 2025"}};
}

struct Step
{
    Bytes send;           // nothing: only time passes
    std::string expect;   // the whole answer; "drop N" when the link drops for N ms
    uint64_t afterMs = 1; // time since the step before
    Check then = nullptr;
    uint32_t baud = 115200;
};
// A text line; a request (answered with success unless said otherwise) sent directly
// or forwarded by the host; time passing.
Step T(const std::string &line, const std::string &expect, uint32_t baud = 115200)
{
    return {cat({Bytes(line.begin(), line.end()), {'\r', '\n'}}), expect, 1, nullptr, baud};
}
Step R(uint8_t cmd, const Bytes &data = {}, std::optional<std::string> expect = {}, Check then = nullptr)
{
    return {slipFrame(SLIP_DIR_REQUEST, cmd, data), expect.value_or(ans(cmd)), 1, then};
}
Step F(uint8_t cmd, const Bytes &data = {}, std::optional<std::string> expect = {})
{
    return {slipFrame(SLIP_DIR_REQUEST, UPDATER_CMD_FORWARD, slipFrame(SLIP_DIR_REQUEST, cmd, data)),
            expect.value_or(fans(cmd))};
}
Step W(uint64_t ms, const std::string &expect = "", Check then = nullptr)
{
    return {{}, expect, ms, then};
}

TEST(SimDevice, Scenarios)
{
    AffImage img;
    for (uint32_t type : {AFF_BLOCK_HOST_UC, AFF_BLOCK_DEVICE_UC, AFF_BLOCK_TI, AFF_BLOCK_ESP_FLASH,
                          AFF_BLOCK_FPGA_NVCM0, AFF_BLOCK_FPGA_NVCM1, AFF_BLOCK_FPGA_USERCODE})
        img.blocks.push_back(
            block(type, type == AFF_BLOCK_FPGA_USERCODE ? 4 : 32, kPart, 20000001 + img.blocks.size()));
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

    // devsim's command line for the device, and the steps.
    const std::pair<const char *, std::vector<Step>> scenarios[] = {
        {"", // text commands of each mode, restarts, the bootloader's announcement
         {T("AT+BOOT?", "AT+BOOT=0\n"), T("xx\1AT+BOOT?", "AT+BOOT=0\n"), T("AT+LOCK=1", "AT+ERROR\n"),
          T("AT+CONFIG=1", "AT+OK\n"), T("AT+CONFIG?", "AT+CONFIG=1\n"), T("AT+REBOOT_BOOTLOADER", "AT+OK\n"),
          T("AT+BOOT?", ""), // nobody listens in a restart
          W(kRestartMs, "AT+BOOTLOADER_START\n"), T("AT+BOOT?", "AT+BOOT=1\n"),
          T("AT+CONFIG=1", "AT+ERROR\n"), lock, T("AT+LOCK=0", "AT+OK\n"), W(kRestartMs),
          T("AT+BOOT?", "AT+BOOT=0\n")}}, // the application announces nothing
        {"--app-baud 921600",             // an application at another rate hears only that rate
         {T("AT+BOOT?", ""), T("AT+CONFIG=1\r\nAT+CONFIG=1\r\nAT+CONFIG=1", "AT+OK\n", 921600),
          T("AT+CONFIG=1", "AT+OK\n"), T("AT+CONFIG?", "AT+CONFIG=1\n"),
          W(0, "", [](SimRig &r) { EXPECT_GT(r.stats.garbledBytes, 0u); })}},
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
          R(kFpgaData, cat({one, Bytes(kPart, 0)}), ans(kFpgaData, kStatusVerifyFailed),
            [](SimRig &r) // Wi-Fi's version from its block, the FPGA's from the NVCM0 block
            {
                const _tVersion w = r.store.version(VersionSlot::Wifi),
                                f = r.store.version(VersionSlot::Fpga);
                EXPECT_EQ(std::to_string(w.ulCode) + w.szDate + std::to_string(f.ulCode),
                          "20000004Feb  2 202520000005");
            })}},
        {"--boot", // malformed requests are answered with their command
         {lock, R(kBoot, one), Step{badCrc, ans(kHello, kStatusBadFrame)},
          Step{badLength, ans(kIv, kStatusBadFrame)}, R(kIv, Bytes(15, 1), ans(kIv, kStatusBadData)),
          R(kBoot, le32(2), ans(kBoot, kStatusBadData)),
          R(kData, cat({le32(0), {1}}), ans(kData, kStatusSequence)),
          R(kFpgaPhase, Bytes(8, 0), ans(kFpgaPhase, kStatusBadData)),
          R(0x77, {}, ans(0x77, kStatusUnknownCommand)), R(kFwd, badCrc, ans(kFwd, kStatusBadFrame)),
          R(kFwd, {1, 2, 3}, ans(kFwd, kStatusBadFrame),
            [](SimRig &r) { EXPECT_EQ(r.stats.malformedRequests, 7u); }),
          F(kIv, Bytes(3, 0), fans(kIv, kStatusBadData)),
          Step{slipFrame(SLIP_DIR_RESPONSE, kHello, {}), lost},
          Step{Bytes(badCrc.begin(), badCrc.begin() + 4), lost}, // abandoned half-way
          W(kFrameGapMs + 1), R(kHello, {}, ans(kHello, 0, hello))}},
        // late answers go after those sent meanwhile; a restart loses them
        {"--boot --late-response 1:2000 --late-response 3:2000",
         {lock,
          R(kHello, {}, lost, [](SimRig &r) { EXPECT_EQ(r.device().nextDeadline(), r.link.nowMs + 2002); }),
          R(kIv, Bytes(16, 0)), W(1998),
          W(1, ans(kHello, 0, hello), [](SimRig &r) { EXPECT_EQ(r.device().nextDeadline(), std::nullopt); }),
          R(kHello, {}, lost), T("AT+LOCK=0", "AT+OK\n"),
          W(5000, "", [](SimRig &r) { EXPECT_EQ(r.stats.faults.lateAnswers, 2u); })}},
        {"--boot --disconnect-at-part 2:1500", // keeps the part but not its answer
         {lock, R(kBegin, le32(32)), R(kData, cat({le32(0), Bytes(kPart, 1)})),
          R(kData, cat({one, Bytes(kPart, 2)}), "drop 1500",
            [](SimRig &r) {
                EXPECT_EQ(r.store.image(Image::HostUc), cat({Bytes(kPart, 1), Bytes(kPart, 2)}));
            }),
          R(kData, cat({one, Bytes(kPart, 2)}))}},
    };
    for (const auto &[options, steps] : scenarios)
    {
        SCOPED_TRACE(options);
        // The device as the devsim command line (words without spaces) sets it up; with
        // --container the engine first updates it with the container.
        std::istringstream in(std::string(options) + " /tmp/ttyX");
        std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
        std::vector<const char *> args;
        for (const std::string &w : words)
            args.push_back(w.c_str());
        SimRig rig;
        std::string error;
        ASSERT_EQ(parseOptions(int(args.size()), args.data(), &rig.config, &error), ParseResult::Run)
            << error;
        rig.aff = rig.config.containerPath.empty() ? Bytes() : img.build();
        rig.start();
        EXPECT_TRUE(rig.aff.empty() || (rig.run(UPDATER_OP_UPDATE_ALL) == 1 && rig.verify(&error) == 0))
            << error;
        uint64_t now = rig.link.nowMs;
        for (size_t i = 0; i < steps.size(); i++)
        {
            // The device's whole answer to the step's bytes.
            const Step &st = steps[i];
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
    }
}

// The host's end of the emulator's terminal, raw at 115200 baud.
struct Host
{
    int fd = -1;
    ~Host() { close(); }
    bool open(const std::string &path)
    {
        struct termios tio = {};
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        const bool isOpen = fd >= 0 && ::tcgetattr(fd, &tio) == 0;
        ::cfmakeraw(&tio), ::cfsetspeed(&tio, B115200);
        return isOpen && ::tcsetattr(fd, TCSANOW, &tio) == 0;
    }
    void close() { ::close(std::exchange(fd, -1)); }
    // Writes bytes; what arrives until nothing more came for 150 ms (firstMs before the first byte).
    std::string send(const Bytes &bytes, int firstMs = 150)
    {
        EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
        Bytes out;
        uint8_t buffer[4096];
        ssize_t n = 1;
        for (struct pollfd p = {fd, POLLIN, 0}; n > 0 && ::poll(&p, 1, out.empty() ? firstMs : 150) > 0;)
            if ((n = ::read(fd, buffer, sizeof buffer)) > 0)
                out.insert(out.end(), buffer, buffer + n);
        return trafficText(out);
    }
};

TEST(SimPty, CommandLineAndVerify)
{
    // A device updated with a container whose device microcontroller's 200 bytes make 3 whole
    // parts (the last 8 are never sent), then one byte of its state changed.
    SimRig rig;
    AffImage img;
    for (uint32_t type : {AFF_BLOCK_HOST_UC, AFF_BLOCK_DEVICE_UC, AFF_BLOCK_TI})
        img.blocks.push_back(block(type, type == AFF_BLOCK_DEVICE_UC ? 200 : 64, 64, type));
    rig.aff = img.build();
    ASSERT_EQ(rig.run(UPDATER_OP_UPDATE_ALL), 1);
    std::fstream(rig.dir() + "/state/device-uc.bin", std::ios::in | std::ios::out | std::ios::binary)
        .seekp(130)
        .put(char(img.blocks[1].data[130] ^ 0x40));
    // The arguments, the exit code and texts in the standard output and error together.
    const std::tuple<std::vector<std::string>, int, std::vector<std::string>> cases[] = {
        {{"--help", "--bogus"}, 0, {"Usage: devsim"}},
        {{}, 1, {"missing LINK"}},
        {{"--bogus", "/t"}, 1, {"unknown option: --bogus"}},
        {{"--lose-response", "0", "/t"}, 1, {"invalid value '0' for --lose-response"}},
        {{"--lose-response", "4294967296", "/t"}, 1, {"invalid value '4294967296'"}},
        {{"--disconnect-at-part", "0:100", "/t"}, 1, {"invalid value '0:100'"}},
        {{"/t", "--throttle-baud"}, 1, {"option --throttle-baud needs a value"}},
        {{"--random-faults", "1.5", "/t"}, 1, {"for --random-faults"}},
        {{"verify", "onlyone"}, 1, {"usage: devsim verify"}},
        {{"verify", rig.dir() + "/state", rig.dir() + "/fw.aff"},
         1,
         {"uC  DIFFERS   at byte 130 of 192", "2 components match, 1 differs"}},
    };
    for (const auto &[args, exitCode, texts] : cases)
    {
        ProgramResult r = runProgram(programPath("devsim"), args, 5000);
        EXPECT_EQ(r.exitCode, exitCode) << texts[0];
        for (const std::string &text : texts)
            EXPECT_NE((r.out + r.err).find(text), std::string::npos) << r.out << r.err;
    }
    DevsimRunner dev;
    std::ofstream(dev.port()) << "precious";
    EXPECT_FALSE(dev.start());
    EXPECT_NE(dev.stderrText().find("is not a symbolic link"), std::string::npos) << dev.stderrText();
    EXPECT_EQ(readTextFile(dev.port()), "precious");
}

// At 9600 baud the host closes its port while its reboot command is still on the wire:
// the restart's announcement is lost with the port, the reopened one is served.
TEST(SimPty, DialogueClosedPortAndSummary)
{
    DevsimRunner dev;
    std::ofstream(dev.summaryPath()) << "an older summary";
    ASSERT_TRUE(dev.start({"--throttle-baud", "9600"})) << dev.stderrText();
    Host host;
    const uint8_t kData = UPDATER_CMD_UC_PROGRAM_DATA;
    ASSERT_TRUE(host.open(dev.port()));
    EXPECT_EQ(host.send(T("AT+BOOT?", "").send), "AT+BOOT=0\n");
    EXPECT_EQ(host.send(T("AT+REBOOT_BOOTLOADER", "").send, 10), ""); // 22 bytes take 23 ms
    host.close();
    std::this_thread::sleep_for(std::chrono::milliseconds(600)); // the restart takes 300 ms
    ASSERT_TRUE(host.open(dev.port()));
    for (const Step &st : {T("AT+BOOT?", "AT+BOOT=1\n"), T("AT+LOCK=1", "AT+OK\n"),
                           R(UPDATER_CMD_UC_PROGRAM_BEGIN, le32(32)), R(kData, cat({le32(0), Bytes(16, 1)})),
                           R(kData, cat({le32(1), Bytes(16, 2)})), R(UPDATER_CMD_UC_PROGRAM_END)})
        EXPECT_EQ(host.send(st.send), st.expect);
    host.close();

    // The summary's counts are those of the in-process runs (the engine's tests check them).
    EXPECT_EQ(dev.stop(), 0);
    EXPECT_FALSE(fs::is_symlink(dev.port())) << "the link is removed on exit";
    EXPECT_TRUE(dev.summaryValue("text_commands.AT+REBOOT_BOOTLOADER") == 1 &&
                dev.summaryValue("requests.UC_PROGRAM_DATA") == 2 &&
                dev.summaryValue("text_commands_total") == 4 && dev.summaryValue("port_opens") == 2 &&
                dev.summaryValue("port_closes") >= 1 && dev.summaryValue("bytes_to_host") > 60);
    EXPECT_EQ(dev.summary().rfind("{", 0), 0u) << "the older summary is replaced whole";
    EXPECT_EQ(readTextFile(dev.stateDir() + "/host-uc.bin"), std::string(16, 1) + std::string(16, 2));

    // A summary that cannot be put in place fails the run (the tools' tests check what is left).
    DevsimRunner blocked;
    fs::create_directory(blocked.summaryPath());
    ASSERT_TRUE(blocked.start()) << blocked.stderrText();
    EXPECT_EQ(blocked.stop(), 1);
    EXPECT_NE(blocked.stderrText().find("cannot write the summary"), std::string::npos)
        << blocked.stderrText();
}

TEST(SimPty, ThrottleTakesTheWireTime)
{
    // Milliseconds from writing `parts` part requests of partBytes each, back to back, to the last answer.
    auto timeParts = [](const std::vector<std::string> &args, uint32_t parts, uint32_t partBytes)
    {
        DevsimRunner dev;
        Host host;
        EXPECT_TRUE(dev.start(args) && host.open(dev.port())) << dev.stderrText();
        for (const Step &st :
             {T("AT+LOCK=1", "AT+OK\n"), R(UPDATER_CMD_UC_PROGRAM_BEGIN, le32(parts * partBytes))})
            EXPECT_EQ(host.send(st.send), st.expect);
        Bytes requests;
        for (uint32_t i = 0; i < parts; i++)
            requests =
                cat({requests, R(UPDATER_CMD_UC_PROGRAM_DATA, cat({le32(i), Bytes(partBytes, 1)})).send});
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(host.send(requests, 10000).size(), ans(UPDATER_CMD_UC_PROGRAM_DATA).size() * parts);
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() -
               150;
    };
    // 10 bits a byte. At the port's 115200 baud 8000 bytes take 0.69 s and 64000 bytes 5.6 s.
    // At 6 Mbaud a byte takes 1.67 us: 64000 bytes need 106 ms, where whole-microsecond byte
    // times would let them through in 64 ms.
    EXPECT_GE(timeParts({"--boot", "--throttle"}, 1, 8000), 650);
    EXPECT_LT(timeParts({"--boot"}, 1, 8000), 500);
    const double fast = timeParts({"--boot", "--throttle-baud", "6000000"}, 4, 16000);
    EXPECT_TRUE(fast >= 100 && fast < 3000) << fast;
}

} // namespace
