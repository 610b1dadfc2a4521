// Block streaming: which bytes a part packet carries in each format version,
// the part CRC check, refused parts and blocks, the IV packet and forwarding.

#include <gtest/gtest.h>

#include "components/block_stream.h"
#include "protocol/commands.h"
#include "tests/support/component_fixture.h"

using namespace testsupport;

namespace
{

// A type-7 block first, so the streamed block does not start right after the
// file header; then three 1024-byte parts.
const std::vector<BlockSpec> kBlocks = {{AFF_BLOCK_DEVICE_UC, 512, 512, 512},
                                        {AFF_BLOCK_HOST_UC, 3072, 1024, 3000}};

TEST(BlockStream, PartPacketsCarryTheIndexAndTheStoredPartPlainAndForwarded)
{
    for (uint16_t version : {2, 3})
        for (uint8_t transparent : {0, 1})
        {
            SCOPED_TRACE(std::to_string(version) + "/" + std::to_string(transparent));
            ComponentHarness h;
            h.load(buildAff(version, kBlocks), version);
            h.ctx->isTransparent = transparent;
            ASSERT_EQ(updaterMakeBlockCurrent(h.ctx.get(), 1), 1);
            EXPECT_EQ(h.ctx->ulCurrentBlockPos, affImageBlockOffset(componentImage(version, kBlocks), 1));
            for (uint32_t p : {2u, 0u, 1u})
                ASSERT_EQ(updaterSendNextFirmwarePart(h.ctx.get(), p, UPDATER_CMD_TI_PROGRAM_DATA), 1);
            ASSERT_EQ(h.requests().size(), 3u);
            for (size_t i = 0; i < 3; i++)
            {
                uint32_t p = i == 0 ? 2 : (uint32_t)i - 1;
                EXPECT_EQ(h.requests()[i].cmd, UPDATER_CMD_TI_PROGRAM_DATA);
                EXPECT_EQ(h.requests()[i].forwarded, transparent == 1);
                EXPECT_EQ(h.requests()[i].data, concat(le32(p), partBytes(kBlocks, 1, p)));
            }
        }
}

TEST(BlockStream, PartIndex258IsSentLittleEndian)
{
    const std::vector<BlockSpec> blocks = {{AFF_BLOCK_DEVICE_UC, 4 * 300, 4, 1200}};
    ComponentHarness h;
    h.load(buildAff(3, blocks), 3);
    ASSERT_EQ(updaterMakeBlockCurrent(h.ctx.get(), 0), 1);
    ASSERT_EQ(updaterSendNextFirmwarePart(h.ctx.get(), 258, UPDATER_CMD_UC_PROGRAM_DATA), 1);
    ASSERT_EQ(h.requests().size(), 1u);
    EXPECT_EQ(hex(h.requests()[0].data), hex(concat(unhex("02 01 00 00"), partBytes(blocks, 0, 258))));
}

TEST(BlockStream, DamagedStoredCrcSendsNothing)
{
    // Part 1's CRC: low half wrong, or right low half with a non-zero high half.
    const size_t crcAt = affImageBlockOffset(componentImage(3, kBlocks), 1) + 63 + 1028 + 1024;
    for (uint32_t byte : {0u, 1u, 2u, 3u})
    {
        SCOPED_TRACE(byte);
        std::vector<uint8_t> file = buildAff(3, kBlocks);
        file[crcAt + byte] ^= 0x01;
        ComponentHarness h;
        h.load(file, 3);
        ASSERT_EQ(updaterMakeBlockCurrent(h.ctx.get(), 1), 1);
        EXPECT_EQ(updaterSendNextFirmwarePart(h.ctx.get(), 1, UPDATER_CMD_UC_PROGRAM_DATA), 0);
        EXPECT_TRUE(h.link.tx.empty());
        EXPECT_TRUE(h.logged("CRC Error on part 1"));
        EXPECT_EQ(updaterSendNextFirmwarePart(h.ctx.get(), 2, UPDATER_CMD_UC_PROGRAM_DATA), 1);
    }
}

TEST(BlockStream, RefusesPartsPastTheWholePartsAndMissingBlocks)
{
    // 2500 / 1024: two whole parts; the last 452 bytes are never sent.
    ComponentHarness h;
    h.load(buildAff(3, {{AFF_BLOCK_DEVICE_UC, 2500, 1024, 2500}}), 3);
    ASSERT_EQ(updaterMakeBlockCurrent(h.ctx.get(), 0), 1);
    EXPECT_EQ(updaterGetPartCount(h.ctx.get()), 2u);
    EXPECT_EQ(updaterSendNextFirmwarePart(h.ctx.get(), 2, UPDATER_CMD_UC_PROGRAM_DATA), 0);
    EXPECT_EQ(updaterSendNextFirmwarePart(h.ctx.get(), 0xFFFFFFFFu, UPDATER_CMD_UC_PROGRAM_DATA), 0);
    for (int16_t idx : {-1, 1, 300})
        EXPECT_EQ(updaterMakeBlockCurrent(h.ctx.get(), idx), 0) << idx;
    h.cbs.cbReadAff = nullptr; // a run without a container
    EXPECT_EQ(updaterMakeBlockCurrent(h.ctx.get(), 0), 0);
    EXPECT_EQ(updaterSendIv(h.ctx.get()), 0);
    EXPECT_TRUE(h.link.tx.empty());
}

TEST(BlockStream, SendsTheIvOrNothingWhenTheHeaderIsDamaged)
{
    ComponentHarness h;
    h.load(buildAff(3, kBlocks), 3);
    ASSERT_EQ(updaterSendIv(h.ctx.get()), 1);
    ASSERT_EQ(h.requests().size(), 1u);
    EXPECT_EQ(h.requests()[0].cmd, UPDATER_CMD_IV);
    EXPECT_EQ(h.requests()[0].data, testIv());

    std::vector<uint8_t> file = buildAff(3, kBlocks);
    file[110] ^= 0xFF; // first IV byte, under the header CRC
    h.load(file, 3);
    EXPECT_EQ(updaterSendIv(h.ctx.get()), 0);
    EXPECT_TRUE(h.link.tx.empty());
    EXPECT_TRUE(h.logged("Couldn't read IV from AFF header"));
}

} // namespace
