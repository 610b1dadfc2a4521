// The devsim program: its command line and verify, and its pseudo-terminal as the
// updater meets it, in a few real-time runs that each cover several behaviours.

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "aff/aff_container.h"
#include "tests/support/aff_image.h"
#include "tests/support/devsim_runner.h"
#include "tests/unit/sim_test_link.h"

using namespace simtest;
namespace fs = std::filesystem;

namespace
{

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The host's end of the emulator's terminal, raw at 115200 baud.
struct Host
{
    int fd = -1;
    ~Host() { close(); }
    bool open(const std::string &path)
    {
        close();
        struct termios tio;
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 || ::tcgetattr(fd, &tio) != 0)
            return false;
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B115200);
        return ::tcsetattr(fd, TCSANOW, &tio) == 0;
    }
    void close()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    // Writes bytes; what arrives until nothing more came for 150 ms (firstMs before the first byte).
    std::string send(const Bytes &bytes, int firstMs = 150)
    {
        EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
        Bytes out;
        uint8_t buffer[4096];
        for (struct pollfd p = {fd, POLLIN, 0}; ::poll(&p, 1, out.empty() ? firstMs : 150) > 0;)
        {
            ssize_t n = ::read(fd, buffer, sizeof buffer);
            out.insert(out.end(), buffer, buffer + std::max<ssize_t>(n, 0));
            if (n <= 0)
                break;
        }
        return trafficText(out);
    }
};

TEST(SimPty, CommandLineAndVerify)
{
    // A device updated with a container whose device microcontroller's 200 bytes make 3 whole
    // parts (the last 8 are never sent), and a copy of its state with one byte changed.
    SimRig rig;
    AffImage img;
    for (uint32_t type : {AFF_BLOCK_HOST_UC, AFF_BLOCK_DEVICE_UC, AFF_BLOCK_TI})
        img.blocks.push_back(block(type, type == AFF_BLOCK_DEVICE_UC ? 200 : 64, 64, type));
    rig.aff = img.build();
    ASSERT_EQ(rig.run(UPDATER_OP_UPDATE_ALL), 1);
    const std::string state = rig.dir() + "/state", bad = rig.dir() + "/bad", aff = rig.dir() + "/fw.aff";
    fs::copy(state, bad);
    std::fstream(bad + "/device-uc.bin", std::ios::in | std::ios::out | std::ios::binary)
        .seekp(130)
        .put(char(img.blocks[1].data[130] ^ 0x40));
    const struct
    {
        std::vector<std::string> args;
        int exitCode;
        std::vector<std::string> texts; // in the standard output and error together
    } cases[] = {
        {{"--help", "--bogus"}, 0, {"Usage: devsim"}},
        {{}, 1, {"missing LINK"}},
        {{"--bogus", "/t"}, 1, {"unknown option: --bogus"}},
        {{"--lose-response", "0", "/t"}, 1, {"invalid value '0' for --lose-response"}},
        {{"--lose-response", "4294967296", "/t"}, 1, {"invalid value '4294967296'"}},
        {{"--at-error", "2:", "/t"}, 1, {"invalid value '2:' for --at-error"}},
        {{"--disconnect-at-part", "0:100", "/t"}, 1, {"invalid value '0:100'"}},
        {{"--throttle-baud", "0", "/t"}, 1, {"invalid value '0' for --throttle-baud"}},
        {{"/t", "--throttle-baud"}, 1, {"option --throttle-baud needs a value"}},
        {{"--random-faults", "1.5", "/t"}, 1, {"for --random-faults"}},
        {{"verify", "onlyone"}, 1, {"usage: devsim verify"}},
        {{"verify", state, aff}, 0, {"device uC  match     192 bytes", "Wi-Fi      absent"}},
        {{"verify", bad, aff}, 1, {"uC  DIFFERS   at byte 130 of 192", "2 components match, 1 differs"}},
    };
    for (const auto &c : cases)
    {
        ProgramResult r = runProgram(programPath("devsim"), c.args, 5000);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.texts[0];
        for (const std::string &text : c.texts)
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
    ASSERT_TRUE(dev.start({"--throttle-baud", "9600", "--product-id", "7"})) << dev.stderrText();
    Host host;
    const uint8_t kData = UPDATER_CMD_UC_PROGRAM_DATA;
    const std::string hello = ":5,20100000,7,0,10000000,10000,10000000,";
    ASSERT_TRUE(host.open(dev.port()));
    EXPECT_EQ(host.send(T("AT+BOOT?", "").send), "AT+BOOT=0\n");
    EXPECT_EQ(host.send(T("AT+REBOOT_BOOTLOADER", "").send, 10), ""); // 22 bytes take 23 ms
    host.close();
    sleepMs(600); // the restart takes 300 ms
    ASSERT_TRUE(host.open(dev.port()));
    for (const Step &st : {T("AT+BOOT?", "AT+BOOT=1\n"), T("AT+LOCK=1", "AT+OK\n"),
                           R(UPDATER_CMD_HELLO, {}, ans(UPDATER_CMD_HELLO, 0, hello + "1,10000000")),
                           R(UPDATER_CMD_DEVICE_BOOT, le32(1)),
                           F(UPDATER_CMD_HELLO, {}, fans(UPDATER_CMD_HELLO, 0, hello + "0,10000000")),
                           R(UPDATER_CMD_UC_PROGRAM_BEGIN, le32(32)), R(kData, cat({le32(0), Bytes(16, 1)})),
                           R(kData, cat({le32(1), Bytes(16, 2)})), R(UPDATER_CMD_UC_PROGRAM_END)})
        EXPECT_EQ(host.send(st.send), st.expect);
    host.close();

    EXPECT_EQ(dev.stop(), 0);
    EXPECT_FALSE(fs::is_symlink(dev.port())) << "the link is removed on exit";
    for (const char *key :
         {"requests.HELLO", "requests.FORWARD", "forwarded.HELLO", "text_commands.AT+REBOOT_BOOTLOADER"})
        EXPECT_EQ(dev.summaryValue(key), 1) << key;
    EXPECT_TRUE(dev.summaryValue("text_commands_total") == 4 && dev.summaryValue("port_opens") == 2);
    EXPECT_TRUE(dev.summaryValue("bytes_to_host") > 200 && dev.summaryValue("port_closes") >= 1);
    EXPECT_EQ(dev.summary().rfind("{", 0), 0u) << "the older summary is replaced whole";
    EXPECT_EQ(readTextFile(dev.stateDir() + "/host-uc.bin"),
              std::string(16, '\x01') + std::string(16, '\x02'));

    // Where the summary cannot be put in place nothing is written.
    DevsimRunner blocked;
    fs::create_directory(blocked.summaryPath());
    ASSERT_TRUE(blocked.start()) << blocked.stderrText();
    EXPECT_EQ(blocked.stop(), 1);
    EXPECT_NE(blocked.stderrText().find("cannot write the summary"), std::string::npos)
        << blocked.stderrText();
    for (const DevsimRunner *d : {&dev, &blocked}) // and no temporary file stays behind
        for (const auto &entry : fs::directory_iterator(d->dir()))
            EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
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
                cat({requests,
                     R(UPDATER_CMD_UC_PROGRAM_DATA, cat({le32(i), Bytes(partBytes, uint8_t(i))})).send});
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(host.send(requests, 10000).size(), ans(UPDATER_CMD_UC_PROGRAM_DATA).size() * parts);
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                   .count() -
               150;
    };
    // 10 bits a byte. At the port's 115200 baud 8000 bytes take 0.69 s and 64000 bytes 5.6 s.
    // At 6 Mbaud a byte takes 1.67 us: 64000 bytes need 106 ms, where whole-microsecond byte
    // times would let them through in 64 ms.
    EXPECT_GE(timeParts({"--boot", "--throttle"}, 1, 8000), 650);
    EXPECT_LT(timeParts({"--boot"}, 1, 8000), 500);
    const long long fast = timeParts({"--boot", "--throttle-baud", "6000000"}, 4, 16000);
    EXPECT_TRUE(fast >= 100 && fast < 3000) << fast;
}

} // namespace
