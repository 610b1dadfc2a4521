// Whole runs of updater() against a scripted device on a virtual clock: the
// BOOT/CONFIG/lock dialogue and its time-outs and bounds, the operations that
// end early, the silence resend, and the order of components.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "aff/aff_container.h"
#include "common/le_bytes.h"
#include "engine/commands.h"
#include "engine/state_machine.h"
#include "engine/updater.h"
#include "tests/support/aff_image.h"
#include "tests/support/fake_link.h"
#include "tests/support/scripted_device.h"

using testsupport::AffImage;
using testsupport::AffImageBlock;
using testsupport::DeviceRequest;
using testsupport::FakeLink;
using testsupport::HelloSpec;
using testsupport::ScriptedDevice;

namespace
{

constexpr uint64_t kRunLimitMs = 3600000; // a run that takes an hour of virtual time is stuck

// Ends a run that has gone on too long, so a fault cannot hang the test.
int stopWhenStuck(void *pUser)
{
    FakeLink *link = static_cast<FakeLink *>(pUser);
    return link->nowMs > 1000000 + kRunLimitMs ? 1 : 0;
}

int g_stepsLeft = 0;
int stopAfterSteps(void *)
{
    return --g_stepsLeft <= 0 ? 1 : 0;
}

// A bootloader with an optional host microcontroller in front. Text commands
// and requests are answered at once with success unless a flag says otherwise.
struct Bootloader
{
    bool inBoot = true; // answers "AT+BOOT?" with BOOT=1, else BOOT=0 until rebooted
    bool answerLock = true;
    bool hostFirst = false; // the first (unforwarded) hello is the host bootloader's
    bool answerHello = true;
    HelloSpec host;
    HelloSpec device;
    std::vector<std::pair<uint8_t, uint8_t>> strays; // (before cmd, stray cmd) responses sent first

    void install(ScriptedDevice &dev)
    {
        host.hostFlag = 1;
        dev.onText = [this](ScriptedDevice &d, const std::string &line)
        {
            if (line == "AT+BOOT?")
                d.sendLine(inBoot ? "AT+BOOT=1" : "AT+BOOT=0");
            else if (line == "AT+REBOOT_BOOTLOADER")
                inBoot = true;
            else if (line == "AT+LOCK=1" && answerLock)
                d.sendLine("AT+OK");
            else if (line == "AT+LOCK=0")
                d.sendLine("AT+OK");
        };
        dev.onRequest = [this](ScriptedDevice &d, const DeviceRequest &r)
        {
            for (auto &s : strays)
                if (s.first == r.cmd)
                    d.respond(s.second, 0, {}, r.forwarded);
            if (r.cmd == UPDATER_CMD_HELLO)
            {
                if (answerHello)
                    d.respondData(r.cmd, ScriptedDevice::helloData(hostFirst && !r.forwarded ? host : device),
                                  r.forwarded);
                return;
            }
            d.respond(r.cmd, 0, {}, r.forwarded);
        };
    }
};

AffImageBlock block(uint32_t type, uint32_t code, size_t size = 64, uint32_t imageSize = 0)
{
    AffImageBlock b;
    b.type = type;
    b.data = testsupport::affImagePattern(size, (uint8_t)type);
    b.partSize = 32;
    b.imageSize = imageSize;
    b.version.code = code;
    b.version.date = "2025-02-02 ";
    return b;
}

class RunTest : public ::testing::Test
{
  protected:
    FakeLink link;
    ScriptedDevice dev{link};
    Bootloader boot;
    std::vector<uint8_t> aff;
    _tUpdaterStopFn stop = stopWhenStuck;

    void SetUp() override { isOrlakFirmware = 0; }
    void TearDown() override { isOrlakFirmware = 0; }

    uint8_t run(uint32_t op, const AffImage *img = nullptr, uint8_t verbose = 0)
    {
        if (img)
            aff = img->build();
        _tUpdaterCallbacks cb = link.callbacks();
        return updater(op, img ? aff.data() : nullptr, (uint32_t)aff.size(), verbose, verbose, &cb, stop);
    }
    bool logged(const std::string &line) const
    {
        return std::find(link.logs.begin(), link.logs.end(), line) != link.logs.end();
    }
    size_t count(const std::string &line) const
    {
        return std::count(link.logs.begin(), link.logs.end(), line);
    }
    std::vector<uint64_t> textTimes(const std::string &line) const
    {
        std::vector<uint64_t> t;
        for (auto &x : dev.texts)
            if (x.line == line)
                t.push_back(x.atMs);
        return t;
    }
    static AffImage image(std::vector<AffImageBlock> blocks)
    {
        AffImage img;
        img.productId = 0x11;
        img.hardwareId = 0x22;
        img.blocks = std::move(blocks);
        return img;
    }
};

TEST_F(RunTest, SilentDeviceBootQuestionTimingThenConfigTimeout)
{
    EXPECT_EQ(0, run(UPDATER_OP_BOOT_MODE));
    std::vector<uint64_t> boots = textTimes("AT+BOOT?");
    std::vector<uint64_t> configs = textTimes("AT+CONFIG=1");
    ASSERT_GE(boots.size(), 5u);
    ASSERT_EQ(3u, configs.size());
    const uint64_t start = boots[0];
    EXPECT_LE(boots[1] - start, 2u);       // twice at once
    EXPECT_EQ(0u, (boots.size() - 2) % 3); // then in threes
    for (size_t i = 2; i < boots.size(); i += 3)
    {
        EXPECT_GT(boots[i] - start, 500u);
        EXPECT_LE(boots[i + 2] - boots[i], 2u);
    }
    EXPECT_GT(configs[0] - start, 2000u);
    EXPECT_LT(configs[0] - start, 2200u);
    EXPECT_EQ(std::vector<uint32_t>{STATE_CONFIG_BAUD}, link.bauds);
    std::vector<uint64_t> asks = textTimes("AT+CONFIG?");
    ASSERT_EQ(1u, asks.size());
    EXPECT_GT(asks[0] - configs[2], 300u);
    EXPECT_EQ("ERR: No response from CONFIG mode", link.logs.back());
}

TEST_F(RunTest, BootloaderStartAsksOnceMoreAndKeepsTheClock)
{
    bool started = false;
    dev.onText = [&](ScriptedDevice &d, const std::string &line)
    {
        if (line == "AT+BOOT?" && !started)
        {
            started = true;
            d.sendLine("AT+BOOTLOADER_START");
        }
    };
    EXPECT_EQ(0, run(UPDATER_OP_BOOT_MODE));
    std::vector<uint64_t> boots = textTimes("AT+BOOT?");
    ASSERT_GE(boots.size(), 3u);
    EXPECT_LT(boots[2] - boots[0], 500u); // the one extra question
    EXPECT_EQ(0u, (boots.size() - 3) % 3);
    uint64_t config = textTimes("AT+CONFIG=1").at(0);
    EXPECT_GT(config - boots[0], 2000u);
    EXPECT_LT(config - boots[0], 2200u);
}

TEST_F(RunTest, ConfigZeroStartsOverThenRebootReachesBootMode)
{
    int configAnswers = 0;
    bool booted = false;
    dev.onText = [&](ScriptedDevice &d, const std::string &line)
    {
        if (line == "AT+BOOT?" && booted)
            d.sendLine("AT+BOOT=1");
        else if (line == "AT+CONFIG?")
            d.sendLine(configAnswers++ == 0 ? "AT+CONFIG=0" : "AT+CONFIG=1");
        else if (line == "AT+REBOOT_BOOTLOADER")
            booted = true;
    };
    EXPECT_EQ(1, run(UPDATER_OP_BOOT_MODE));
    EXPECT_EQ(3u, count("Checking if device is in BOOT mode..."));
    EXPECT_EQ(2u, count("Putting device into CONFIG mode..."));
    EXPECT_EQ(1u, count("Entering bootloader..."));
    EXPECT_EQ(1u, link.closes);
    EXPECT_EQ(1u, link.reopens);
}

TEST_F(RunTest, ConfigModeOperationEndsOnConfirmation)
{
    dev.onText = [](ScriptedDevice &d, const std::string &line)
    {
        if (line == "AT+CONFIG?")
            d.sendLine("AT+CONFIG=1");
    };
    EXPECT_EQ(1, run(UPDATER_OP_CONFIG_MODE));
    EXPECT_EQ(0u, dev.countText("AT+REBOOT_BOOTLOADER"));
}

TEST_F(RunTest, EndlessDialogueLoopsAreBounded)
{
    // A device that always leaves CONFIG mode again.
    dev.onText = [](ScriptedDevice &d, const std::string &line)
    {
        if (line == "AT+CONFIG?")
            d.sendLine("AT+CONFIG=0");
    };
    EXPECT_EQ(0, run(UPDATER_OP_BOOT_MODE));
    EXPECT_EQ("ERR: Device did not stay in CONFIG mode after 3 attempts", link.logs.back());
    EXPECT_EQ(4u, dev.countText("AT+CONFIG?"));
}

TEST_F(RunTest, RebootThatNeverLeadsToBootModeIsBounded)
{
    dev.onText = [](ScriptedDevice &d, const std::string &line)
    {
        if (line == "AT+BOOT?")
            d.sendLine("AT+BOOT=0");
    };
    EXPECT_EQ(0, run(UPDATER_OP_BOOT_MODE));
    EXPECT_EQ("ERR: Device did not enter BOOT mode after 3 reboots", link.logs.back());
    EXPECT_EQ(3u, dev.countText("AT+REBOOT_BOOTLOADER"));
    EXPECT_EQ(3u, link.closes);
}

TEST_F(RunTest, LockTimeout)
{
    boot.answerLock = false;
    boot.install(dev);
    EXPECT_EQ(0, run(UPDATER_OP_READ_VERSIONS));
    EXPECT_EQ("ERR: No response from BOOT mode", link.logs.back());
    uint64_t lock = textTimes("AT+LOCK=1").at(0);
    EXPECT_GT(link.nowMs - lock, 1000u);
    EXPECT_LT(link.nowMs - lock, 1200u);
}

TEST_F(RunTest, LockAndUnlockOperations)
{
    boot.install(dev);
    EXPECT_EQ(1, run(UPDATER_OP_LOCK));
    ASSERT_EQ(1u, dev.texts.size());
    EXPECT_EQ("AT+LOCK=1", dev.texts[0].line);
    EXPECT_EQ(std::vector<std::string>{"Entered bootloader, locking..."}, link.logs);

    dev.texts.clear();
    link.logs.clear();
    uint64_t before = link.nowMs;
    EXPECT_EQ(1, run(UPDATER_OP_UNLOCK));
    ASSERT_EQ(1u, dev.texts.size());
    EXPECT_EQ("AT+LOCK=0", dev.texts[0].line);
    EXPECT_EQ(std::vector<std::string>{"Leaving BOOT mode..."}, link.logs);
    EXPECT_EQ(1u, link.closes);
    EXPECT_EQ(1u, link.reopens);
    EXPECT_GE(link.nowMs - before, 4000u);
}

TEST_F(RunTest, BootModeFromApplicationAndFromBootMode)
{
    boot.inBoot = false;
    boot.install(dev);
    EXPECT_EQ(1, run(UPDATER_OP_BOOT_MODE));
    EXPECT_TRUE(logged("Entering bootloader..."));
    EXPECT_EQ(1u, link.closes);
    EXPECT_EQ(0u, dev.countText("AT+LOCK=1"));

    link.logs.clear();
    link.rx.clear();
    dev.texts.clear();
    link.closes = 0;
    g_stepsLeft = 3;
    stop = stopAfterSteps; // already in BOOT mode: answered in the second step, complete in the third
    EXPECT_EQ(1, run(UPDATER_OP_BOOT_MODE));
    EXPECT_EQ(0u, link.closes);
    EXPECT_EQ(2u, dev.countText("AT+BOOT?"));
}

TEST_F(RunTest, StopFunctionEndsTheRunAfterTheStep)
{
    boot.install(dev);
    g_stepsLeft = 1;
    stop = stopAfterSteps;
    EXPECT_EQ(0, run(UPDATER_OP_BOOT_MODE));
    EXPECT_EQ(2u, dev.countText("AT+BOOT?"));
    EXPECT_EQ(std::vector<std::string>{"Checking if device is in BOOT mode..."}, link.logs);
}

TEST_F(RunTest, ReadVersionsWithHostAndWithDeviceBootloader)
{
    boot.hostFirst = true;
    boot.install(dev);
    EXPECT_EQ(1, run(UPDATER_OP_READ_VERSIONS));
    EXPECT_EQ(std::vector<uint8_t>{UPDATER_CMD_HELLO}, dev.commands());
    EXPECT_EQ("\tHOST: 1.7.0.0 (2024-01-01 )", link.logs.back());
    EXPECT_EQ(0u, dev.countText("AT+LOCK=0")); // stays in BOOT mode

    link.logs.clear();
    dev.requests.clear();
    boot.hostFirst = false;
    EXPECT_EQ(1, run(UPDATER_OP_READ_VERSIONS));
    EXPECT_EQ(std::vector<uint8_t>{UPDATER_CMD_HELLO}, dev.commands());
    EXPECT_EQ("Components:", link.logs.back());
    EXPECT_TRUE(logged("Requesting bootloader information"));
}

TEST_F(RunTest, SilentBootloaderIsAskedAgainUntilTheRetryLimit)
{
    boot.answerHello = false;
    boot.install(dev);
    EXPECT_EQ(0, run(UPDATER_OP_READ_VERSIONS, nullptr, 1));
    ASSERT_EQ(21u, dev.requests.size());
    for (size_t i = 1; i < dev.requests.size(); i++)
    {
        EXPECT_EQ(UPDATER_CMD_HELLO, dev.requests[i].cmd);
        EXPECT_GT(dev.requests[i].atMs - dev.requests[i - 1].atMs, (uint64_t)STATE_SILENCE_RESEND_MS);
    }
    EXPECT_EQ(20u, count("Resending last packet"));
    EXPECT_TRUE(logged("ERR: Maximum number of retries reached"));
    EXPECT_EQ("Malformed count: 0", link.logs.back());
}

TEST_F(RunTest, HostBootloaderWithoutHostBlockStillProgramsTheDevice)
{
    boot.hostFirst = true;
    boot.install(dev);
    AffImage img = image({block(AFF_BLOCK_DEVICE_UC, 10700001)});
    EXPECT_EQ(1, run(UPDATER_OP_UPDATE_ALL, &img));
    std::vector<uint8_t> cmds = dev.commands();
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x01, 0x08, 0x00, 0x01, 0x30, 0x31, 0x31, 0x32, 0x08}), cmds);
    ASSERT_EQ(cmds.size(), dev.requests.size());
    EXPECT_FALSE(dev.requests[2].forwarded);
    EXPECT_EQ((std::vector<uint8_t>{1, 0, 0, 0}), dev.requests[2].data);
    EXPECT_TRUE(dev.requests[3].forwarded);
    EXPECT_TRUE(dev.requests[8].forwarded);
    EXPECT_FALSE(dev.requests[9].forwarded);
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0}), dev.requests[9].data);
    EXPECT_TRUE(logged("DEVICE uC Done"));
    EXPECT_EQ(100, link.progress.back());
}

TEST_F(RunTest, HostBootloaderAndNothingForTheDeviceEndsAsBefore)
{
    boot.hostFirst = true;
    boot.install(dev);
    AffImage img = image({block(AFF_BLOCK_ESP_RAM, 1)}); // carried, never programmed
    EXPECT_EQ(1, run(UPDATER_OP_UPDATE_ALL, &img));
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x01}), dev.commands());
    EXPECT_EQ("Leaving BOOT mode...", link.logs.back());
}

TEST_F(RunTest, EqualVersionsProgramNothingButEveryComponentIsDone)
{
    boot.hostFirst = true;
    boot.host.firmwareCode = 50000;
    boot.install(dev);
    AffImage img = image(
        {block(AFF_BLOCK_HOST_UC, 50000), block(AFF_BLOCK_DEVICE_UC, 10700000), block(AFF_BLOCK_TI, 40000),
         block(AFF_BLOCK_ESP_FLASH, 30000), block(AFF_BLOCK_FPGA_NVCM0, 20000, 64, 64),
         block(AFF_BLOCK_FPGA_NVCM1, 20000, 64, 64), block(AFF_BLOCK_FPGA_USERCODE, 20000, 4)});
    EXPECT_EQ(1, run(UPDATER_OP_UPDATE_CHANGED, &img));
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x01, 0x08, 0x00, 0x01, 0x08}), dev.commands());
    std::vector<std::string> done;
    for (auto &l : link.logs)
        if (l.size() > 5 && l.compare(l.size() - 5, 5, " Done") == 0)
            done.push_back(l);
    EXPECT_EQ((std::vector<std::string>{"HOST uC Done", "DEVICE uC Done", "DEVICE Ti Done", "WIFI Done",
                                        "FPGA Done"}),
              done);
    EXPECT_EQ((std::vector<uint8_t>{20, 40, 60, 80, 100}), link.progress);
    EXPECT_TRUE(logged("Rebooting DEVICE..."));
}

TEST_F(RunTest, UnexpectedPacketWhileProgrammingIsIgnored)
{
    boot.hostFirst = true;
    boot.strays.push_back({UPDATER_CMD_UC_PROGRAM_BEGIN, UPDATER_CMD_TI_PROGRAM_BEGIN});
    boot.install(dev);
    AffImage img = image({block(AFF_BLOCK_HOST_UC, 50001)});
    EXPECT_EQ(1, run(UPDATER_OP_UPDATE_ALL, &img));
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x01, 0x30, 0x31, 0x31, 0x32}), dev.commands());
    EXPECT_TRUE(logged("Programming HOST uC"));
    EXPECT_TRUE(logged("Uploading HOST uC firmware"));
    EXPECT_TRUE(logged("HOST uC Done"));
}

TEST_F(RunTest, FailedFpgaStepEndsTheRun)
{
    boot.install(dev);
    AffImage img =
        image({block(AFF_BLOCK_FPGA_NVCM0, 20001, 64, 64), block(AFF_BLOCK_FPGA_NVCM1, 20001, 64, 64),
               block(AFF_BLOCK_FPGA_USERCODE, 20001, 4)});
    aff = img.build();
    // Damage part 0 of the NVCM0 image: its stored CRC no longer matches.
    aff[testsupport::affImageBlockOffset(img, 0) + AFF_BLOCK_HEADER_SIZE_V3] ^= 0xFF;
    _tUpdaterCallbacks cb = link.callbacks();
    EXPECT_EQ(0, updater(UPDATER_OP_UPDATE_ALL, aff.data(), (uint32_t)aff.size(), 0, 0, &cb, stopWhenStuck));
    EXPECT_EQ("ERR: FPGA PRG", link.logs.back());
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x01, 0x20, 0x21}), dev.commands());
}

} // namespace
