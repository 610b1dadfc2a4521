// Microcontroller, TI and Wi-Fi hand-over requests: which block each target
// takes, the begin / parts / end order with progress, and refused blocks.

#include <gtest/gtest.h>

#include <functional>

#include "components/block_stream.h"
#include "components/uc_programmer.h"
#include "components/wifi_programmer.h"
#include "protocol/commands.h"
#include "tests/support/component_fixture.h"

using namespace testsupport;

namespace
{

// Every target's block, each with its own sizes, so a wrong choice shows.
const std::vector<BlockSpec> kTargets = {
    {AFF_BLOCK_ESP_FLASH, 2048, 1024, 0x3001}, {AFF_BLOCK_ESP_FLASH, 1024, 1024, 0x3002},
    {AFF_BLOCK_DEVICE_UC, 3072, 1024, 0x7001}, {AFF_BLOCK_HOST_UC, 1024, 1024, 0x8001},
    {AFF_BLOCK_TI, 2500, 1024, 0x9001}, // two whole parts; the last 452 bytes are never sent
};

using Step = std::function<uint8_t(_tUpdater *)>;
struct Target
{
    const char *name;
    Step init, afterBegin, afterData;
    uint8_t beginCmd;
    size_t blockIdx;
    std::vector<uint8_t> progress;
};

Target ucTarget(const char *name, uint8_t isHost, uint8_t isWifi, size_t blockIdx,
                std::vector<uint8_t> progress)
{
    return {name,
            [=](_tUpdater *c) { return updaterUcInit(c, isHost, isWifi); },
            [=](_tUpdater *c) { return updaterUcAfterProgramBegin(c, isHost); },
            [=](_tUpdater *c) { return updaterUcAfterProgramData(c, isHost); },
            UPDATER_CMD_UC_PROGRAM_BEGIN,
            blockIdx,
            progress};
}

const std::vector<Target> kTargetCases = {
    ucTarget("host", 1, 0, 3, {0, 100}),
    ucTarget("device", 0, 0, 2, {0, 33, 66, 100}),
    // The Wi-Fi slot takes the first type-3 block and wins over the host flag.
    ucTarget("wifi slot over host", 1, 1, 0, {0, 50, 100}),
    {"ti",
     updaterTiInit,
     updaterTiAfterProgramBegin,
     updaterTiAfterProgramData,
     UPDATER_CMD_TI_PROGRAM_BEGIN,
     4,
     {0, 50, 100}},
};

// Runs each component as the state machine does, one after-call per answer.
TEST(UcProgrammer, BeginPartsEndWithProgress)
{
    for (const Target &t : kTargetCases)
    {
        SCOPED_TRACE(t.name);
        const uint32_t parts = kTargets[t.blockIdx].size / kTargets[t.blockIdx].partSize;
        ComponentHarness h;
        h.load(buildAff(3, kTargets), 3);
        h.ctx->isTransparent = t.blockIdx != 3; // only the host is reached directly
        ASSERT_EQ(t.init(h.ctx.get()), 1);
        ASSERT_EQ(t.afterBegin(h.ctx.get()), 1);
        for (uint32_t p = 0; p < parts; p++)
            ASSERT_EQ(t.afterData(h.ctx.get()), 1);

        const std::vector<Request> &reqs = h.requests();
        ASSERT_EQ(reqs.size(), parts + 2);
        EXPECT_EQ(reqs[0].cmd, t.beginCmd);
        EXPECT_EQ(reqs[0].data, le32(kTargets[t.blockIdx].imageSize));
        for (uint32_t p = 0; p < parts; p++)
        {
            EXPECT_EQ(reqs[1 + p].cmd, t.beginCmd + 1);
            EXPECT_EQ(reqs[1 + p].data, concat(le32(p), partBytes(kTargets, t.blockIdx, p)));
        }
        EXPECT_EQ(reqs.back().cmd, t.beginCmd + 2);
        EXPECT_TRUE(reqs.back().data.empty());
        for (const Request &r : reqs)
            EXPECT_EQ(r.forwarded, h.ctx->isTransparent == 1);
        EXPECT_EQ(h.link.progress, t.progress);
    }
}

TEST(UcProgrammer, RefusesMissingAndPartlessBlocksBeforeSendingAnything)
{
    const std::vector<std::vector<BlockSpec>> containers = {
        {{AFF_BLOCK_FPGA_NVCM0, 1024, 1024, 1024}},
        // Fewer data bytes than one part: a part count of 0.
        {{AFF_BLOCK_ESP_FLASH, 512, 1024, 512},
         {AFF_BLOCK_DEVICE_UC, 0, 1024, 0},
         {AFF_BLOCK_HOST_UC, 1, 1024, 1},
         {AFF_BLOCK_TI, 1023, 1024, 1023}},
    };
    for (const std::vector<BlockSpec> &blocks : containers)
        for (const Target &t : kTargetCases)
        {
            SCOPED_TRACE(t.name);
            ComponentHarness h;
            h.load(buildAff(3, blocks), 3);
            EXPECT_EQ(t.init(h.ctx.get()), 0);
            EXPECT_EQ(t.afterData(h.ctx.get()), 0);
            EXPECT_TRUE(h.link.tx.empty());
        }
}

TEST(UcProgrammer, DamagedPartStopsTheComponentWithoutSendingIt)
{
    std::vector<uint8_t> file = buildAff(3, kTargets);
    ComponentHarness h;
    h.load(file, 3);
    ASSERT_EQ(updaterUcInit(h.ctx.get(), 0, 0), 1);
    file[h.ctx->ulCurrentBlockPos + 63 + 1028 + 1024] ^= 0x01; // part 1's CRC
    affSetMemFile(file.data(), (uint32_t)file.size());
    ASSERT_EQ(updaterUcAfterProgramBegin(h.ctx.get(), 0), 1);
    EXPECT_EQ(updaterUcAfterProgramData(h.ctx.get(), 0), 0);
    EXPECT_EQ(h.requests().size(), 2u);
}

TEST(WifiInit, DataWordIsTheFirstWifiImageSizeAndTheCurrentBlockStays)
{
    ComponentHarness h;
    h.load(buildAff(3, kTargets), 3);
    ASSERT_EQ(updaterMakeBlockCurrent(h.ctx.get(), 4), 1); // the TI was programmed last
    const _tAffBlockHeader before = h.ctx->sCurrentBlock;
    ASSERT_EQ(updaterEspInit(h.ctx.get()), 1);
    ASSERT_EQ(h.requests().size(), 1u);
    EXPECT_EQ(h.requests()[0].cmd, UPDATER_CMD_WIFI_INIT);
    EXPECT_EQ(h.requests()[0].data, le32(0x3001));
    EXPECT_EQ(h.ctx->sCurrentBlockIdx, 4);
    EXPECT_EQ(memcmp(&h.ctx->sCurrentBlock, &before, sizeof before), 0);

    std::vector<uint8_t> hidden =
        buildAff(3, {{AFF_BLOCK_DEVICE_UC, 8, 8, 8}, {AFF_BLOCK_ESP_FLASH, 8, 8, 8}});
    hidden[130 + 2] ^= 0x01; // a damaged header in front of the Wi-Fi block hides it
    h.load(hidden, 3);
    EXPECT_EQ(updaterEspInit(h.ctx.get()), 0);
    EXPECT_TRUE(h.link.tx.empty());
}

} // namespace
