// The bootloader hello: protocol id, host flag, identity check against the
// container, stored versions and presence flags, and the "Components:" list.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "aff/aff_container.h"
#include "engine/hello.h"
#include "engine/updater.h"
#include "protocol/slip.h"
#include "tests/support/aff_image.h"
#include "tests/support/sim_link.h"

using testsupport::AffImage;
using testsupport::AffImageBlock;
using testsupport::SimLink;
using testsupport::HelloSpec;
using testsupport::ScriptedDevice;

namespace
{

AffImageBlock block(uint32_t type, uint32_t code, const char *date = "2025-02-02 ")
{
    AffImageBlock b;
    b.type = type;
    b.data = testsupport::affImagePattern(64, (uint8_t)type);
    b.partSize = 32;
    b.version.code = code;
    b.version.date = date;
    return b;
}

class HelloTest : public ::testing::Test
{
  protected:
    SimLink link;
    _tUpdaterCallbacks cb{};
    std::unique_ptr<_tUpdater> ctx = std::make_unique<_tUpdater>();
    std::vector<uint8_t> aff;
    std::vector<uint8_t> packet;

    void TearDown() override { affSetMemFile(nullptr, 0); }

    // Context for operation op, with the container img when given.
    void init(uint32_t op, const AffImage *img)
    {
        cb = link.callbacks();
        if (img)
        {
            aff = img->build();
            affSetMemFile(aff.data(), (uint32_t)aff.size());
            cb.cbReadAff = readAffFromMem;
        }
        ASSERT_EQ(1, updaterInit(ctx.get(), op, 1, 0, &cb));
    }
    uint8_t hello(const HelloSpec &fields)
    {
        packet = testsupport::decodedFrame(SLIP_DIR_RESPONSE, 0, testsupport::helloData(fields));
        link.logs.clear();
        return processSlipHello(ctx.get(), packet.data());
    }
    std::vector<std::string> componentLines() const
    {
        auto it = std::find(link.logs.begin(), link.logs.end(), "Components:");
        return it == link.logs.end() ? std::vector<std::string>{}
                                     : std::vector<std::string>(it + 1, link.logs.end());
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

TEST_F(HelloTest, IdentityLinesAndHostFlagFromProtocolFour)
{
    init(UPDATER_OP_READ_VERSIONS, nullptr);
    struct Case
    {
        uint32_t protocolId, hostFlag;
        uint8_t isHost;
    } cases[] = {{3, 1, 0}, {4, 1, 1}, {4, 0, 0}, {6, 7, 1}};
    for (const Case &c : cases)
    {
        HelloSpec s;
        s.protocolId = c.protocolId;
        s.hostFlag = c.hostFlag;
        ASSERT_EQ(1, hello(s));
        EXPECT_EQ(c.isHost, ctx->isHostBootloader) << c.protocolId << "/" << c.hostFlag;
    }
    EXPECT_EQ("Proto id: 6", link.logs[0]);
    EXPECT_EQ("Bootloader version: 300 (2024-01-01 ), product id: 17, hw id: 34", link.logs[1]);
    EXPECT_EQ("Firmware version: 1.7.0.0 (2024-01-01 )", link.logs[2]);
    // Without a container the host bootloader still lists itself.
    EXPECT_EQ(std::vector<std::string>{"\tHOST: 1.7.0.0 (2024-01-01 )"}, componentLines());
    EXPECT_EQ(10700000u, ctx->ulHostUcVersion);
}

TEST_F(HelloTest, ProtocolIdAboveSixAndShortHelloAreRejected)
{
    init(UPDATER_OP_READ_VERSIONS, nullptr);
    HelloSpec s;
    s.protocolId = 7;
    EXPECT_EQ(0, hello(s));
    EXPECT_EQ(std::vector<std::string>{"ERR: Unsupported protocol id: 7, expected max: 6"}, link.logs);
    s.protocolId = 6;
    s.dataLength = 84; // stops before the host flag and the TI version
    EXPECT_EQ(0, hello(s));
    ASSERT_EQ(1u, link.logs.size());
    EXPECT_EQ(0u, link.logs[0].rfind("ERR: ", 0));
}

TEST_F(HelloTest, ContainerForAnotherDeviceIsRejected)
{
    AffImage img = image({block(AFF_BLOCK_DEVICE_UC, 10700000)});
    img.hardwareId = 0x23;
    init(UPDATER_OP_UPDATE_ALL, &img);
    EXPECT_EQ(0, hello(HelloSpec{}));
    EXPECT_EQ("Product/hardware ID mismatch!\nAFF: 17 / 35\nDev: 17 / 34", link.logs.back());
}

TEST_F(HelloTest, HostLineWithoutHostBlock)
{
    AffImage img = image({block(AFF_BLOCK_DEVICE_UC, 10700000)});
    HelloSpec s;
    s.hostFlag = 1;
    init(UPDATER_OP_UPDATE_CHANGED, &img);
    ASSERT_EQ(1, hello(s));
    EXPECT_EQ(0, ctx->hasHostUc);
    EXPECT_EQ(std::vector<std::string>{"\tHOST: 1.7.0.0 (2024-01-01 )"}, componentLines());
    init(UPDATER_OP_UPDATE_ALL, &img);
    ASSERT_EQ(1, hello(s));
    EXPECT_EQ(std::vector<std::string>{"\tHOST: 1.7.0.0 (2024-01-01 ) -> 1.7.0.0 (2024-01-01 )"},
              componentLines());
    EXPECT_EQ(3, ctx->usAffVersion);
    EXPECT_EQ(AFF_BLOCK_HEADER_SIZE_V3, ctx->usBlockHeaderSize);
}

TEST_F(HelloTest, DeviceListShowsArrowOnlyForChangedCodes)
{
    AffImage img = image({block(AFF_BLOCK_DEVICE_UC, 10700000), block(AFF_BLOCK_TI, 40001)});
    init(UPDATER_OP_UPDATE_CHANGED, &img);
    ASSERT_EQ(1, hello(HelloSpec{}));
    EXPECT_EQ((std::vector<std::string>{"\t  uC: 1.7.0.0 (2024-01-01 )",
                                        "\t  Ti: 0.0.40.0 (2024-01-01 ) -> 0.0.40.1 (2025-02-02 )"}),
              componentLines());
    EXPECT_EQ((std::vector<int>{1, 1, 0, 0}),
              (std::vector<int>{ctx->hasDeviceUc, ctx->hasTi, ctx->hasWifi, ctx->hasFpga}));
    EXPECT_EQ(40000u, ctx->ulTiVersion);
}

TEST_F(HelloTest, AfterWifiHandOverTheWifiBlockStandsForTheMicrocontroller)
{
    AffImage img = image({block(AFF_BLOCK_ESP_FLASH, 30001), block(AFF_BLOCK_DEVICE_UC, 10700000)});
    init(UPDATER_OP_UPDATE_ALL, &img);
    updaterRunState()->isOrlakFirmware = 1;
    ctx->isTransparent = 1;
    ASSERT_EQ(1, hello(HelloSpec{}));
    EXPECT_EQ(1, ctx->hasDeviceUc);
    EXPECT_EQ(0, ctx->hasWifi);
    EXPECT_EQ(std::vector<std::string>{"\t  uC: 1.7.0.0 (2024-01-01 ) -> 0.0.30.1 (2025-02-02 )"},
              componentLines());
}

} // namespace
