// A device without a host microcontroller updated from a container that holds a
// host block: the host block is no component of the run, so the progress still
// reaches 100 when the device's own components are done.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "aff/aff_container.h"
#include "protocol/commands.h"
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

int stopWhenStuck(void *pUser)
{
    return static_cast<FakeLink *>(pUser)->nowMs > 3600000 ? 1 : 0;
}

AffImageBlock block(uint32_t type, uint32_t code)
{
    AffImageBlock b;
    b.type = type;
    b.data = testsupport::affImagePattern(64, (uint8_t)type);
    b.partSize = 32;
    b.version.code = code;
    b.version.date = "2025-02-02 ";
    return b;
}

struct DeviceOnlyRun
{
    FakeLink link;
    ScriptedDevice dev{link};
    HelloSpec hello; // a device bootloader: host flag 0

    uint8_t run(uint32_t op, std::vector<uint8_t> aff)
    {
        dev.onText = [](ScriptedDevice &d, const std::string &line)
        {
            if (line == "AT+BOOT?")
                d.sendLine("AT+BOOT=1");
            else if (line == "AT+LOCK=1" || line == "AT+LOCK=0")
                d.sendLine("AT+OK");
        };
        dev.onRequest = [this](ScriptedDevice &d, const DeviceRequest &r)
        {
            if (r.cmd == UPDATER_CMD_HELLO)
                d.respondData(r.cmd, ScriptedDevice::helloData(hello), r.forwarded);
            else
                d.respond(r.cmd, 0, {}, r.forwarded);
        };
        _tUpdaterCallbacks cb = link.callbacks();
        return updater(op, aff.data(), (uint32_t)aff.size(), 0, 0, &cb, stopWhenStuck);
    }
};

std::vector<uint8_t> hostDeviceTiFile(const HelloSpec &hello)
{
    AffImage img;
    img.productId = hello.productId;
    img.hardwareId = hello.hardwareId;
    img.blocks = {block(AFF_BLOCK_HOST_UC, 10700009), block(AFF_BLOCK_DEVICE_UC, hello.firmwareCode),
                  block(AFF_BLOCK_TI, hello.tiCode)};
    return img.build();
}

TEST(DeviceOnlyProgress, HostBlockIsNotCountedOnADeviceWithoutHost)
{
    {
        // Everything programmed: two components, the last done line at 100.
        DeviceOnlyRun r;
        ASSERT_EQ(1, r.run(UPDATER_OP_UPDATE_ALL, hostDeviceTiFile(r.hello)));
        ASSERT_FALSE(r.link.progress.empty());
        EXPECT_EQ(100, r.link.progress.back());
        std::vector<uint8_t> cmds = r.dev.commands();
        EXPECT_EQ(1,
                  std::count(cmds.begin(), cmds.end(), UPDATER_CMD_UC_PROGRAM_BEGIN)); // the device uC only
    }
    {
        // Equal versions with -nf: nothing programmed, each done line counts a half.
        DeviceOnlyRun r;
        ASSERT_EQ(1, r.run(UPDATER_OP_UPDATE_CHANGED, hostDeviceTiFile(r.hello)));
        EXPECT_EQ((std::vector<uint8_t>{50, 100}), r.link.progress);
    }
}

} // namespace
