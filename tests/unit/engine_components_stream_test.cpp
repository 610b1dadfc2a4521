// Block streaming: which bytes a part packet carries in each format version,
// the part CRC check, refused parts and blocks, the IV packet and forwarding.

#include <gtest/gtest.h>

#include "components/block_stream.h"
#include "engine/commands.h"
#include "tests/support/component_fixture.h"

using namespace testsupport;

namespace
{

// A type-7 block first, so the streamed block does not start right after the
// file header; then three 1024-byte parts. Version 3: the type-8 block's header
// lies at 130 + 63 + 512 + 4 = 709, its part p at 772 + 1028 p.
const std::vector<BlockSpec> kBlocks = {{AFF_BLOCK_DEVICE_UC, 512, 512, 512},
                                        {AFF_BLOCK_HOST_UC, 3072, 1024, 3000}};
const uint32_t kPart1CrcV3 = 772 + 1028 + 1024;

TEST(BlockStream, PartPacketsCarryTheIndexAndTheStoredPartInBothVersions)
{
    for (uint16_t version : {2, 3})
    {
        SCOPED_TRACE(version);
        ComponentHarness h;
        h.load(buildAff(version, kBlocks), version);
        ASSERT_EQ(updaterMakeBlockCurrent(h.ctx.get(), 1), 1);
        EXPECT_EQ(h.ctx->ulCurrentBlockPos, version == 3 ? 709u : 97u + 44u + 512u);
        for (uint32_t p : {2u, 0u, 1u})
            ASSERT_EQ(updaterSendNextFirmwarePart(h.ctx.get(), p, UPDATER_CMD_TI_PROGRAM_DATA), 1);
        std::vector<Request> reqs = h.requests();
        ASSERT_EQ(reqs.size(), 3u);
        for (size_t i = 0; i < 3; i++)
        {
            uint32_t p = i == 0 ? 2 : (uint32_t)i - 1;
            EXPECT_EQ(reqs[i].cmd, UPDATER_CMD_TI_PROGRAM_DATA);
            EXPECT_FALSE(reqs[i].forwarded);
            EXPECT_EQ(reqs[i].data, concat(le32(p), partBytes(kBlocks, 1, p)));
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
    std::vector<Request> reqs = h.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(hex(reqs[0].data), hex(concat(unhex("02 01 00 00"), partBytes(blocks, 0, 258))));
}

TEST(BlockStream, DamagedStoredCrcSendsNothing)
{
    // Low half wrong, or right low half with a non-zero high half.
    for (uint32_t byte : {0u, 1u, 2u, 3u})
    {
        SCOPED_TRACE(byte);
        std::vector<uint8_t> file = buildAff(3, kBlocks);
        file[kPart1CrcV3 + byte] ^= 0x01;
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
    for (int16_t idx : {-1, 1, 255, 300})
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
    std::vector<Request> reqs = h.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].cmd, UPDATER_CMD_IV);
    EXPECT_EQ(reqs[0].data, testIv());
    EXPECT_TRUE(h.logged("Sending IV: A0..AF"));

    std::vector<uint8_t> file = buildAff(3, kBlocks);
    file[110] ^= 0xFF; // first IV byte, under the header CRC
    h.load(file, 3);
    EXPECT_EQ(updaterSendIv(h.ctx.get()), 0);
    EXPECT_TRUE(h.link.tx.empty());
    EXPECT_TRUE(h.logged("Couldn't read IV from AFF header"));
}

TEST(BlockStream, TransparentModeForwardsTheSameRequests)
{
    std::vector<std::vector<Request>> runs;
    for (uint8_t isTransparent : {0, 1})
    {
        ComponentHarness h;
        h.load(buildAff(3, kBlocks), 3);
        h.ctx->isTransparent = isTransparent;
        ASSERT_EQ(updaterMakeBlockCurrent(h.ctx.get(), 1), 1);
        ASSERT_EQ(updaterSendNextFirmwarePart(h.ctx.get(), 2, UPDATER_CMD_UC_PROGRAM_DATA), 1);
        ASSERT_EQ(updaterSendIv(h.ctx.get()), 1);
        runs.push_back(h.requests());
        ASSERT_EQ(runs.back().size(), 2u);
        for (const Request &r : runs.back())
            EXPECT_EQ(r.forwarded, isTransparent == 1);
    }
    for (size_t i = 0; i < 2; i++)
    {
        EXPECT_EQ(runs[1][i].cmd, runs[0][i].cmd);
        EXPECT_EQ(runs[1][i].data, runs[0][i].data);
    }
}

} // namespace
