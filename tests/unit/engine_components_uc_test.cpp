// Microcontroller, TI and Wi-Fi hand-over requests: which block each target
// takes, the begin / parts / end order with progress, and refused blocks.

#include <gtest/gtest.h>

#include <functional>

#include "components/block_stream.h"
#include "components/uc_programmer.h"
#include "components/wifi_programmer.h"
#include "engine/commands.h"
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

struct Target
{
    const char *name;
    std::function<uint8_t(_tUpdater *)> init, afterBegin, afterData;
    uint8_t beginCmd;
    size_t blockIdx;
    std::vector<uint8_t> progress;
};

const std::vector<Target> kTargetCases = {
    {"Host",
     [](_tUpdater *c) { return updaterUcInit(c, 1, 0); },
     [](_tUpdater *c) { return updaterUcAfterProgramBegin(c, 1); },
     [](_tUpdater *c) { return updaterUcAfterProgramData(c, 1); },
     UPDATER_CMD_UC_PROGRAM_BEGIN,
     3,
     {0, 100}},
    {"Device",
     [](_tUpdater *c) { return updaterUcInit(c, 0, 0); },
     [](_tUpdater *c) { return updaterUcAfterProgramBegin(c, 0); },
     [](_tUpdater *c) { return updaterUcAfterProgramData(c, 0); },
     UPDATER_CMD_UC_PROGRAM_BEGIN,
     2,
     {0, 33, 66, 100}},
    // The Wi-Fi slot takes the first type-3 block and wins over the host flag.
    {"WifiSlotOverHost",
     [](_tUpdater *c) { return updaterUcInit(c, 1, 1); },
     [](_tUpdater *c) { return updaterUcAfterProgramBegin(c, 1); },
     [](_tUpdater *c) { return updaterUcAfterProgramData(c, 1); },
     UPDATER_CMD_UC_PROGRAM_BEGIN,
     0,
     {0, 50, 100}},
    {"Ti",
     updaterTiInit,
     updaterTiAfterProgramBegin,
     updaterTiAfterProgramData,
     UPDATER_CMD_TI_PROGRAM_BEGIN,
     4,
     {0, 50, 100}},
};

class TargetTest : public ::testing::TestWithParam<Target>
{
};

// Runs the component as the state machine does, one after-call per answer.
TEST_P(TargetTest, BeginPartsEndWithProgress)
{
    const Target &t = GetParam();
    const uint8_t partCmd = t.beginCmd + 1, endCmd = t.beginCmd + 2;
    const uint32_t parts = kTargets[t.blockIdx].size / kTargets[t.blockIdx].partSize;
    ComponentHarness h;
    h.load(buildAff(3, kTargets), 3);
    h.ctx->isTransparent = t.blockIdx != 3; // only the host is reached directly
    ASSERT_EQ(t.init(h.ctx.get()), 1);
    ASSERT_EQ(t.afterBegin(h.ctx.get()), 1);
    for (uint32_t p = 0; p < parts; p++)
        ASSERT_EQ(t.afterData(h.ctx.get()), 1);

    std::vector<Request> reqs = h.requests();
    ASSERT_EQ(reqs.size(), parts + 2);
    EXPECT_EQ(reqs[0].cmd, t.beginCmd);
    EXPECT_EQ(reqs[0].data, le32(kTargets[t.blockIdx].imageSize));
    for (uint32_t p = 0; p < parts; p++)
    {
        EXPECT_EQ(reqs[1 + p].cmd, partCmd);
        EXPECT_EQ(reqs[1 + p].data, concat(le32(p), partBytes(kTargets, t.blockIdx, p)));
    }
    EXPECT_EQ(reqs.back().cmd, endCmd);
    EXPECT_TRUE(reqs.back().data.empty());
    for (const Request &r : reqs)
        EXPECT_EQ(r.forwarded, h.ctx->isTransparent == 1);
    EXPECT_EQ(h.link.progress, t.progress);
    EXPECT_TRUE(h.logged("Finishing data transfer"));
}

INSTANTIATE_TEST_SUITE_P(Targets, TargetTest, ::testing::ValuesIn(kTargetCases),
                         [](const ::testing::TestParamInfo<Target> &i) { return std::string(i.param.name); });

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
    const uint32_t part1Crc = h.ctx->ulCurrentBlockPos + 63 + 1028 + 1024;
    file[part1Crc] ^= 0x01;
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
    std::vector<Request> reqs = h.requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].cmd, UPDATER_CMD_WIFI_INIT);
    EXPECT_EQ(reqs[0].data, le32(0x3001));
    EXPECT_EQ(h.ctx->sCurrentBlockIdx, 4);
    EXPECT_EQ(memcmp(&h.ctx->sCurrentBlock, &before, sizeof before), 0);
}

TEST(WifiInit, NoReadableWifiBlockSendsNothing)
{
    std::vector<uint8_t> hidden =
        buildAff(3, {{AFF_BLOCK_DEVICE_UC, 8, 8, 8}, {AFF_BLOCK_ESP_FLASH, 8, 8, 8}});
    hidden[130 + 2] ^= 0x01; // a damaged header in front of the Wi-Fi block hides it
    for (const std::vector<uint8_t> &file : {buildAff(3, {{AFF_BLOCK_DEVICE_UC, 8, 8, 8}}), hidden})
    {
        ComponentHarness h;
        h.load(file, 3);
        EXPECT_EQ(updaterEspInit(h.ctx.get()), 0);
        EXPECT_TRUE(h.link.tx.empty());
    }
}

} // namespace
