// Regression: a Wi-Fi hand-over request (68) refused as malformed twice in a
// row. The answer to the first refusal used to be met while the new hello was
// already out, so the resend went to the hello, the hand-over never happened
// and the device bootloader took the Wi-Fi image as its own microcontroller's
// firmware, with the run reported as a success. The hand-over is now resent
// until it is accepted, and only then does the hello follow.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/commands.h"
#include "engine/updater.h"
#include "tests/support/aff_image.h"
#include "tests/support/fake_link.h"
#include "tests/support/scripted_device.h"

using testsupport::DeviceRequest;
using testsupport::FakeLink;
using testsupport::HelloSpec;
using testsupport::ScriptedDevice;

namespace
{

constexpr uint64_t kRunLimitMs = 3600000;
constexpr uint32_t kStatusMalformed = 1;

int stopWhenStuck(void *pUser)
{
    return static_cast<FakeLink *>(pUser)->nowMs > 1000000 + kRunLimitMs ? 1 : 0;
}

testsupport::AffImageBlock block(uint32_t type, uint32_t code)
{
    testsupport::AffImageBlock b;
    b.type = type;
    b.data = testsupport::affImagePattern(64, uint8_t(type));
    b.partSize = 32;
    b.version.code = code;
    b.version.date = "2025-02-02 ";
    return b;
}

struct HandOverCase
{
    int refusals;        // hand-over requests answered with status 1, not carried out
    bool answerHandOver; // whether an accepted hand-over is answered at all
};

class WifiHandOver : public ::testing::TestWithParam<HandOverCase>
{
};

TEST_P(WifiHandOver, TheWifiImageOnlyGoesToTheWifiBootloader)
{
    FakeLink link;
    ScriptedDevice dev{link};
    int refusalsLeft = GetParam().refusals;
    bool handedOver = false;
    std::vector<bool> programmedWhileHandedOver; // one entry per forwarded 0x30-0x32 request

    dev.onText = [](ScriptedDevice &d, const std::string &line)
    {
        if (line == "AT+BOOT?")
            d.sendLine("AT+BOOT=1");
        else if (line == "AT+LOCK=1" || line == "AT+LOCK=0")
            d.sendLine("AT+OK");
    };
    dev.onRequest = [&](ScriptedDevice &d, const DeviceRequest &r)
    {
        if (r.cmd == UPDATER_CMD_WIFI_INIT && refusalsLeft > 0)
        {
            refusalsLeft--;
            // A malformed forwarded frame is refused at the outer level.
            d.respond(UPDATER_CMD_FORWARD, kStatusMalformed);
            return;
        }
        if (r.cmd == UPDATER_CMD_WIFI_INIT)
        {
            const bool wasHandedOver = handedOver;
            handedOver = true;
            // A device may hand the link over without answering; the Wi-Fi
            // bootloader answers a repeated request.
            if (!GetParam().answerHandOver && !wasHandedOver)
                return;
        }
        if (r.forwarded && r.cmd >= UPDATER_CMD_UC_PROGRAM_BEGIN && r.cmd <= UPDATER_CMD_UC_PROGRAM_END)
            programmedWhileHandedOver.push_back(handedOver);
        if (r.cmd == UPDATER_CMD_HELLO)
        {
            HelloSpec fields;
            fields.productId = 0;
            fields.hardwareId = 0;
            fields.hostFlag = r.forwarded ? 0 : 1;
            d.respondData(r.cmd, ScriptedDevice::helloData(fields), r.forwarded);
        }
        else
            d.respond(r.cmd, 0, {}, r.forwarded);
    };

    testsupport::AffImage img;
    img.blocks = {block(AFF_BLOCK_ESP_FLASH, 10700004)};
    std::vector<uint8_t> aff = img.build();
    _tUpdaterCallbacks cb = link.callbacks();
    EXPECT_EQ(1, updater(UPDATER_OP_UPDATE_ALL, aff.data(), uint32_t(aff.size()), 0, 0, &cb, stopWhenStuck));

    EXPECT_TRUE(handedOver);
    // Begin, two parts, end: all of them to the Wi-Fi bootloader.
    EXPECT_EQ(std::vector<bool>(4, true), programmedWhileHandedOver);
    size_t handOvers = 0;
    for (uint8_t cmd : dev.commands())
        handOvers += cmd == UPDATER_CMD_WIFI_INIT ? 1 : 0;
    EXPECT_EQ(size_t(GetParam().refusals + (GetParam().answerHandOver ? 1 : 2)), handOvers);
}

INSTANTIATE_TEST_SUITE_P(Regression, WifiHandOver,
                         ::testing::Values(HandOverCase{0, true}, HandOverCase{1, true},
                                           HandOverCase{2, true}, HandOverCase{5, true},
                                           HandOverCase{0, false}));

} // namespace
