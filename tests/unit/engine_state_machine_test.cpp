// Whole runs of updater() against a scripted device on a virtual clock: the
// BOOT/CONFIG/lock dialogue and its time-outs and bounds, the operations that
// end early, the silence resend, and the order of components.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "aff/aff_container.h"
#include "protocol/commands.h"
#include "engine/state_machine.h"
#include "engine/updater.h"
#include "tests/support/aff_image.h"
#include "tests/support/sim_link.h"

using testsupport::AffImage;
using testsupport::AffImageBlock;
using Request = testsupport::ScriptedDevice::Request;
using testsupport::HelloSpec;
using testsupport::ScriptedDevice;
using testsupport::SimLink;

namespace
{

constexpr uint64_t kRunLimitMs = 3600000; // a run that takes an hour of virtual time is stuck

// Ends a run that has gone on too long, so a fault cannot hang the test.
int stopWhenStuck(void *pUser)
{
    SimLink *link = static_cast<SimLink *>(pUser);
    return link->nowMs > 1000000 + kRunLimitMs ? 1 : 0;
}

int g_stepsLeft = 0;
int stopAfterSteps(void *)
{
    return --g_stepsLeft <= 0 ? 1 : 0;
}

// A bootloader with an optional host microcontroller in front: text
// commands and requests are answered at once with success unless a flag says otherwise.
struct Bootloader
{
    bool answerLock = true;
    bool hostFirst = false; // the first (unforwarded) hello is the host bootloader's
    bool answerHello = true;
    uint8_t strayBefore = 0xFF; // a response to another command precedes the answer to this one
    HelloSpec host, device;

    void install(ScriptedDevice &dev)
    {
        host.hostFlag = 1;
        dev.onText = [this](ScriptedDevice &d, const std::string &line)
        {
            if (line == "AT+BOOT?")
                d.sendLine("AT+BOOT=1");
            else if ((line == "AT+LOCK=1" && answerLock) || line == "AT+LOCK=0")
                d.sendLine("AT+OK");
        };
        dev.onRequest = [this](ScriptedDevice &d, const Request &r)
        {
            if (r.cmd == strayBefore)
                d.respond(UPDATER_CMD_TI_PROGRAM_BEGIN, 0, {}, r.forwarded);
            if (r.cmd != UPDATER_CMD_HELLO)
                d.respond(r.cmd, 0, {}, r.forwarded);
            else if (answerHello)
                d.respondData(r.cmd, testsupport::helloData(hostFirst && !r.forwarded ? host : device),
                              r.forwarded);
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
    SimLink link;
    ScriptedDevice dev{link};
    Bootloader boot;
    std::vector<uint8_t> aff;
    _tUpdaterStopFn stop = stopWhenStuck;

    uint8_t run(uint32_t op, std::vector<uint8_t> file = {}, uint8_t verbose = 0)
    {
        aff = std::move(file);
        _tUpdaterCallbacks cb = link.callbacks();
        return updater(op, aff.empty() ? nullptr : aff.data(), (uint32_t)aff.size(), verbose, verbose, &cb,
                       stop);
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
    static std::vector<uint8_t> file(std::vector<AffImageBlock> blocks)
    {
        return image(std::move(blocks)).build();
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
    EXPECT_NEAR(configs[0] - start, 2100, 100);
    EXPECT_EQ(std::vector<uint32_t>{STATE_CONFIG_BAUD}, link.bauds);
    std::vector<uint64_t> asks = textTimes("AT+CONFIG?");
    ASSERT_EQ(1u, asks.size());
    EXPECT_GT(asks[0] - configs[2], 300u);
    EXPECT_EQ("ERR: No response from CONFIG mode", link.logs.back());
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
    // The CONFIG-mode operation ends on the confirmation.
    dev.texts.clear();
    booted = false;
    EXPECT_EQ(1, run(UPDATER_OP_CONFIG_MODE));
    EXPECT_EQ(0u, dev.countText("AT+REBOOT_BOOTLOADER"));
}

TEST_F(RunTest, EndlessDialogueLoopsAreBounded)
{
    // A device that always leaves CONFIG mode again, and one that never reaches BOOT mode.
    const struct
    {
        const char *question, *answer, *error, *counted;
        size_t count;
    } cases[] = {
        {"AT+CONFIG?", "AT+CONFIG=0", "ERR: Device did not stay in CONFIG mode after 3 attempts",
         "AT+CONFIG?", 4},
        {"AT+BOOT?", "AT+BOOT=0", "ERR: Device did not enter BOOT mode after 3 reboots",
         "AT+REBOOT_BOOTLOADER", 3},
    };
    for (const auto &c : cases)
    {
        dev.texts.clear();
        dev.onText = [&c](ScriptedDevice &d, const std::string &line)
        {
            if (line == c.question)
                d.sendLine(c.answer);
        };
        EXPECT_EQ(0, run(UPDATER_OP_BOOT_MODE));
        EXPECT_EQ(c.error, link.logs.back());
        EXPECT_EQ(c.count, dev.countText(c.counted));
    }
}

TEST_F(RunTest, LockTimeout)
{
    boot.answerLock = false;
    boot.install(dev);
    EXPECT_EQ(0, run(UPDATER_OP_READ_VERSIONS));
    EXPECT_EQ("ERR: No response from BOOT mode", link.logs.back());
    EXPECT_NEAR(link.nowMs - textTimes("AT+LOCK=1").at(0), 1100, 100);
}

TEST_F(RunTest, LockAndUnlockOperations)
{
    boot.install(dev);
    EXPECT_EQ(1, run(UPDATER_OP_LOCK));
    EXPECT_EQ(std::vector<std::string>{"Entered bootloader, locking..."}, link.logs);
    link.logs.clear();
    uint64_t before = link.nowMs;
    EXPECT_EQ(1, run(UPDATER_OP_UNLOCK));
    ASSERT_EQ(2u, dev.texts.size());
    EXPECT_EQ("AT+LOCK=1", dev.texts[0].line);
    EXPECT_EQ("AT+LOCK=0", dev.texts[1].line);
    EXPECT_EQ(std::vector<std::string>{"Leaving BOOT mode..."}, link.logs);
    EXPECT_EQ(1u, link.closes);
    EXPECT_EQ(1u, link.reopens);
    EXPECT_GE(link.nowMs - before, 4000u);
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

TEST_F(RunTest, SilentBootloaderIsAskedAgainThenGivenUp)
{
    boot.answerHello = false;
    boot.install(dev);
    EXPECT_EQ(0, run(UPDATER_OP_READ_VERSIONS, {}, 1));
    ASSERT_EQ(size_t(STATE_SILENT_PERIODS_MAX), dev.requests.size());
    for (size_t i = 1; i < dev.requests.size(); i++)
    {
        EXPECT_EQ(UPDATER_CMD_HELLO, dev.requests[i].cmd);
        EXPECT_GT(dev.requests[i].atMs - dev.requests[i - 1].atMs, (uint64_t)STATE_SILENCE_RESEND_MS);
    }
    EXPECT_EQ(STATE_SILENT_PERIODS_MAX - 1u, count("Resending last packet"));
    EXPECT_TRUE(logged("ERR: The device stopped answering"));
    EXPECT_EQ("Malformed count: 0", link.logs.back());
}

// A host bootloader without a host block: the device's components are still
// reached through the device bootloader; with nothing for the device the run ends.
TEST_F(RunTest, HostBootloaderWithoutHostBlock)
{
    boot.hostFirst = true;
    boot.install(dev);
    EXPECT_EQ(1, run(UPDATER_OP_UPDATE_ALL, file({block(AFF_BLOCK_DEVICE_UC, 10700001)})));
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x01, 0x08, 0x00, 0x01, 0x30, 0x31, 0x31, 0x32, 0x08}),
              dev.commands());
    std::string forwarded;
    for (const Request &r : dev.requests)
        forwarded += r.forwarded ? 'F' : '-';
    EXPECT_EQ("---FFFFFF-", forwarded);
    EXPECT_EQ((std::vector<uint8_t>{1, 0, 0, 0}), dev.requests[2].data);
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0}), dev.requests[9].data);
    EXPECT_TRUE(logged("DEVICE uC Done"));
    EXPECT_EQ(100, link.progress.back());

    dev.requests.clear();
    EXPECT_EQ(1,
              run(UPDATER_OP_UPDATE_ALL, file({block(AFF_BLOCK_ESP_RAM, 1)}))); // carried, never programmed
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x01}), dev.commands());
    EXPECT_EQ("Leaving BOOT mode...", link.logs.back());
}

TEST_F(RunTest, EqualVersionsProgramNothingButEveryComponentIsDone)
{
    boot.hostFirst = true;
    boot.host.firmwareCode = 50000;
    boot.install(dev);
    EXPECT_EQ(
        1, run(UPDATER_OP_UPDATE_CHANGED,
               file({block(AFF_BLOCK_HOST_UC, 50000), block(AFF_BLOCK_DEVICE_UC, 10700000),
                     block(AFF_BLOCK_TI, 40000), block(AFF_BLOCK_ESP_FLASH, 30000),
                     block(AFF_BLOCK_FPGA_NVCM0, 20000, 64, 64), block(AFF_BLOCK_FPGA_NVCM1, 20000, 64, 64),
                     block(AFF_BLOCK_FPGA_USERCODE, 20000, 4)})));
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
    boot.strayBefore = UPDATER_CMD_UC_PROGRAM_BEGIN;
    boot.install(dev);
    EXPECT_EQ(1, run(UPDATER_OP_UPDATE_ALL, file({block(AFF_BLOCK_HOST_UC, 50001)})));
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x01, 0x30, 0x31, 0x31, 0x32}), dev.commands());
    EXPECT_TRUE(logged("HOST uC Done"));
}

TEST_F(RunTest, FailedFpgaStepEndsTheRun)
{
    boot.install(dev);
    AffImage img =
        image({block(AFF_BLOCK_FPGA_NVCM0, 20001, 64, 64), block(AFF_BLOCK_FPGA_NVCM1, 20001, 64, 64),
               block(AFF_BLOCK_FPGA_USERCODE, 20001, 4)});
    std::vector<uint8_t> bytes = img.build();
    bytes[testsupport::affImageBlockOffset(img, 0) + AFF_BLOCK_HEADER_SIZE_V3] ^= 0xFF; // NVCM0 part 0
    EXPECT_EQ(0, run(UPDATER_OP_UPDATE_ALL, bytes));
    EXPECT_EQ("ERR: FPGA PRG", link.logs.back());
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x01, 0x20, 0x21}), dev.commands());
}

} // namespace
