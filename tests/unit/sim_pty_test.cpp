// The devsim program driven through its pseudo-terminal, as the updater meets it.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>

#include "aff/aff_container.h"
#include "protocol/commands.h"
#include "tests/support/aff_image.h"
#include "tests/support/devsim_runner.h"
#include "tests/unit/sim_test_link.h"

using namespace simtest;
using testsupport::DevsimRunner;

namespace
{

using Clock = std::chrono::steady_clock;

bool exists(const std::string &path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Waits at most maxMs for a path to (dis)appear.
bool waitExists(const std::string &path, bool expected, int maxMs)
{
    for (int waited = 0; waited < maxMs; waited += 10)
    {
        if (exists(path) == expected)
            return true;
        sleepMs(10);
    }
    return false;
}

Response onlyResponse(const Traffic &t)
{
    EXPECT_EQ(t.frames.size(), 1u) << t.text();
    return t.frames.empty() ? Response{} : parse(t.frames[0]);
}

TEST(SimPty, HelpAndBadOptions)
{
    auto help = testsupport::runProgram(testsupport::programPath("devsim"), {"--help"}, 5000);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: devsim"), std::string::npos);

    struct Case
    {
        std::vector<std::string> args;
        const char *message;
    };
    const Case cases[] = {
        {{}, "missing LINK"},
        {{"--bogus", "/tmp/x"}, "unknown option: --bogus"},
        {{"--lose-response", "0", "/tmp/x"}, "invalid value '0' for --lose-response"},
        {{"--random-faults", "1.5", "/tmp/x"}, "for --random-faults"},
        {{"verify", "onlyone"}, "usage: devsim verify"},
    };
    for (const Case &c : cases)
    {
        auto r = testsupport::runProgram(testsupport::programPath("devsim"), c.args, 5000);
        EXPECT_EQ(r.exitCode, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

TEST(SimPty, RefusesToReplaceAFileThatIsNotALink)
{
    DevsimRunner dev;
    std::ofstream(dev.port()) << "precious";
    EXPECT_FALSE(dev.start());
    EXPECT_NE(dev.stderrText().find("is not a symbolic link"), std::string::npos) << dev.stderrText();
    EXPECT_EQ(testsupport::readTextFile(dev.port()), "precious");
}

TEST(SimPty, DialogueAndSummary)
{
    DevsimRunner dev;
    ASSERT_TRUE(dev.start({"--product-id", "7", "--hardware-id", "3"})) << dev.stderrText();
    PtyClient host;
    ASSERT_TRUE(host.open(dev.port()));
    EXPECT_EQ(host.exchange("AT+BOOT?\r\n").text(), "AT+BOOT=0\n");
    EXPECT_EQ(host.exchange("AT+REBOOT_BOOTLOADER\r\n", 600).text(), "AT+OK\nAT+BOOTLOADER_START\n");
    EXPECT_EQ(host.exchange("AT+LOCK=1\r\n").text(), "AT+OK\n");
    Response hello = onlyResponse(host.exchange(frame(UPDATER_CMD_HELLO, {})));
    EXPECT_TRUE(hello.isValid);
    EXPECT_EQ(leGetU32(hello.payload.data() + 20), 7u);
    EXPECT_EQ(onlyResponse(host.exchange(frame(UPDATER_CMD_DEVICE_BOOT, u32(1)))).status, 0u);
    Response inner = unwrap(onlyResponse(host.exchange(forwardFrame(UPDATER_CMD_HELLO, {}))));
    EXPECT_TRUE(inner.isValid);
    EXPECT_EQ(leGetU32(inner.payload.data() + 76), 0u) << "the device bootloader has no host flag";
    host.close();

    EXPECT_EQ(dev.stop(), 0);
    EXPECT_FALSE(exists(dev.port())) << "the link is removed on exit";
    for (auto [key, value] : {std::pair{"requests.HELLO", 1},
                              {"requests.FORWARD", 1},
                              {"forwarded.HELLO", 1},
                              {"text_commands_total", 3},
                              {"faults_total", 0}})
        EXPECT_EQ(dev.summaryValue(key), value) << key;
    EXPECT_GT(dev.summaryValue("bytes_to_host"), 200);
}

TEST(SimPty, SurvivesThePortClosedAndReopened)
{
    DevsimRunner dev;
    ASSERT_TRUE(dev.start()) << dev.stderrText();
    PtyClient host;
    ASSERT_TRUE(host.open(dev.port()));
    EXPECT_EQ(host.exchange("AT+BOOT?\r\n").text(), "AT+BOOT=0\n");
    // The updater closes the port while the device restarts: what the device says
    // meanwhile is lost, and the same terminal serves the reopened port.
    host.write(std::string("AT+REBOOT_BOOTLOADER\r\n"));
    host.close();
    sleepMs(1200);
    ASSERT_TRUE(host.open(dev.port()));
    EXPECT_EQ(host.exchange("AT+BOOT?\r\n").text(), "AT+BOOT=1\n");
    host.close();
    EXPECT_EQ(dev.stop(), 0);
    EXPECT_GE(dev.summaryValue("port_opens"), 2);
    EXPECT_GE(dev.summaryValue("port_closes"), 1);
}

TEST(SimPty, DisconnectsAtAPartAndComesBackBehindTheSameLink)
{
    DevsimRunner dev;
    ASSERT_TRUE(dev.start({"--boot", "--disconnect-at-part", "2:1000"})) << dev.stderrText();
    PtyClient host;
    ASSERT_TRUE(host.open(dev.port()));
    EXPECT_EQ(host.exchange("AT+LOCK=1\r\n").text(), "AT+OK\n");
    EXPECT_EQ(onlyResponse(host.exchange(frame(UPDATER_CMD_UC_PROGRAM_BEGIN, u32(32)))).status, 0u);
    Bytes part0 = cat({u32(0), Bytes(16, 1)});
    Bytes part1 = cat({u32(1), Bytes(16, 2)});
    EXPECT_EQ(onlyResponse(host.exchange(frame(UPDATER_CMD_UC_PROGRAM_DATA, part0))).status, 0u);
    EXPECT_TRUE(host.exchange(frame(UPDATER_CMD_UC_PROGRAM_DATA, part1)).frames.empty());
    EXPECT_TRUE(waitExists(dev.port(), false, 1000)) << "the link is gone while disconnected";
    host.close();
    EXPECT_TRUE(waitExists(dev.port(), true, 3000)) << "and comes back";
    ASSERT_TRUE(host.open(dev.port()));
    // The device kept its state: the resent part is answered, the bootloader still locked.
    EXPECT_EQ(onlyResponse(host.exchange(frame(UPDATER_CMD_UC_PROGRAM_DATA, part1))).status, 0u);
    EXPECT_EQ(onlyResponse(host.exchange(frame(UPDATER_CMD_UC_PROGRAM_END, {}))).status, 0u);
    host.close();
    EXPECT_EQ(dev.stop(), 0);
    EXPECT_EQ(dev.summaryValue("faults.disconnects"), 1);
    EXPECT_NE(dev.stdoutText().find("link dropped for 1000 ms"), std::string::npos) << dev.stdoutText();
    EXPECT_EQ(testsupport::readTextFile(dev.stateDir() + "/host-uc.bin"),
              std::string(16, '\x01') + std::string(16, '\x02'));
}

TEST(SimPty, ThrottleTakesTheWireTime)
{
    // A part request of about 8000 bytes at 115200 baud, 10 bits a byte: about 0.7 s.
    auto timeOnePart = [](const std::vector<std::string> &args)
    {
        DevsimRunner dev;
        EXPECT_TRUE(dev.start(args)) << dev.stderrText();
        PtyClient host;
        EXPECT_TRUE(host.open(dev.port()));
        EXPECT_EQ(host.exchange("AT+LOCK=1\r\n").text(), "AT+OK\n");
        EXPECT_EQ(onlyResponse(host.exchange(frame(UPDATER_CMD_UC_PROGRAM_BEGIN, u32(8000)))).status, 0u);
        auto start = Clock::now();
        host.write(frame(UPDATER_CMD_UC_PROGRAM_DATA, cat({u32(0), Bytes(7996, 0x11)})));
        Traffic t = split(host.read(100, 3000, 3000));
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count() - 100;
        EXPECT_EQ(t.frames.size(), 1u);
        return ms;
    };
    EXPECT_GE(timeOnePart({"--boot", "--throttle"}), 650);
    EXPECT_LT(timeOnePart({"--boot"}), 500);
}

TEST(SimPty, VerifyFindsAComponentThatDiffersByOneByte)
{
    DevsimRunner dev; // only for its temporary directory
    testsupport::AffImage img;
    auto block = [](uint32_t type, size_t size, uint8_t seed)
    {
        testsupport::AffImageBlock b;
        b.type = type;
        b.data = testsupport::affImagePattern(size, seed);
        b.partSize = 64;
        b.version = {10000 + type, "Mar  3 2025"};
        return b;
    };
    // The device microcontroller's 200 bytes make 3 whole parts: the last 8 are never sent.
    img.blocks = {block(AFF_BLOCK_HOST_UC, 128, 1), block(AFF_BLOCK_DEVICE_UC, 200, 2),
                  block(AFF_BLOCK_TI, 64, 3)};
    Bytes aff = img.build();
    std::string affPath = dev.dir() + "/fw.aff";
    std::ofstream(affPath, std::ios::binary).write(reinterpret_cast<const char *>(aff.data()), aff.size());
    std::filesystem::create_directory(dev.stateDir());
    auto writeImage = [&](const char *name, Bytes bytes)
    {
        std::ofstream(dev.stateDir() + "/" + name, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    };
    Bytes device = img.blocks[1].data;
    device.resize(192);
    writeImage("host-uc.bin", img.blocks[0].data);
    writeImage("device-uc.bin", device);
    writeImage("ti.bin", img.blocks[2].data);

    auto verify = [&]()
    {
        return testsupport::runProgram(testsupport::programPath("devsim"),
                                       {"verify", dev.stateDir(), affPath}, 5000);
    };
    auto good = verify();
    EXPECT_EQ(good.exitCode, 0) << good.out << good.err;
    EXPECT_NE(good.out.find("device uC  match     192 bytes"), std::string::npos) << good.out;
    EXPECT_NE(good.out.find("Wi-Fi      absent"), std::string::npos) << good.out;

    device[130] ^= 0x40;
    writeImage("device-uc.bin", device);
    auto bad = verify();
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.out.find("device uC  DIFFERS   at byte 130 of 192"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("2 components match, 1 differs"), std::string::npos) << bad.out;
}

} // namespace
