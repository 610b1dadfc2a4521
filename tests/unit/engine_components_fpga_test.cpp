// FPGA programmer: the whole exchange with and without NVCM1 data, the phase
// requests, progress, the usercode, and containers and steps that must fail.

#include <gtest/gtest.h>

#include "components/fpga_programmer.h"
#include "protocol/commands.h"
#include "tests/support/component_fixture.h"

using namespace testsupport;

namespace
{

const size_t kNvcm0 = 1, kNvcm1 = 2, kUser = 3;

// NVCM0: 10 parts, 100 pages. Usercode: 8 bytes that need escaping.
std::vector<BlockSpec> fpgaBlocks(uint32_t nvcm1ImageSize, uint32_t nvcm1Size = 256)
{
    return {{AFF_BLOCK_DEVICE_UC, 64, 64, 64},
            {AFF_BLOCK_FPGA_NVCM0, 640, 64, 1600},
            {AFF_BLOCK_FPGA_NVCM1, nvcm1Size, 64, nvcm1ImageSize},
            {AFF_BLOCK_FPGA_USERCODE, 8, 8, 8, {0x55, 0xC0, 0xDB, 0x01, 0x02, 0x03, 0x04, 0xAA}}};
}

// Answers every request as the state machine dispatches the answers, until the
// end request is answered or a step fails; every successful step must have sent
// exactly one request, and a failed one none. True when the end was reached.
bool runFpga(ComponentHarness &h)
{
    if (updaterFpgaInit(h.ctx.get()) != 1)
        return false;
    for (size_t handled = 1;; handled++)
    {
        if (h.requests().size() != handled)
        {
            ADD_FAILURE() << "step sent " << h.requests().size() + 1 - handled << " requests";
            return false;
        }
        uint8_t ok = 1;
        switch (h.requests().back().cmd)
        {
        case UPDATER_CMD_FPGA_BEGIN:
            ok = updaterFpgaAfterBegin(h.ctx.get());
            break;
        case UPDATER_CMD_FPGA_PROGRAM_BEGIN:
            ok = updaterFpgaAfterProgramBegin(h.ctx.get());
            break;
        case UPDATER_CMD_FPGA_PROGRAM_DATA:
            ok = updaterFpgaAfterProgramData(h.ctx.get());
            break;
        case UPDATER_CMD_FPGA_USERCODE:
            ok = updaterFpgaAfterUsercode(h.ctx.get());
            break;
        default:
            updaterFpgaAfterEnd(h.ctx.get());
            return true;
        }
        if (ok != 1)
        {
            EXPECT_EQ(h.requests().size(), handled) << "a failed step sent a request";
            return false;
        }
    }
}

// The command sequence as text, runs of parts counted: "32 33(0,1,100) 34x10 35 ...";
// every part request must carry the right part of the right block.
std::string summary(const std::vector<Request> &reqs, const std::vector<BlockSpec> &blocks)
{
    std::string s;
    size_t block = kNvcm0;
    uint32_t next = 0;
    for (size_t i = 0; i < reqs.size(); i++)
    {
        const Request &r = reqs[i];
        if (r.cmd == UPDATER_CMD_FPGA_PROGRAM_DATA)
        {
            EXPECT_EQ(r.data, concat(le32(next), partBytes(blocks, block, next))) << "part " << next;
            next++;
            if (i + 1 == reqs.size() || reqs[i + 1].cmd != UPDATER_CMD_FPGA_PROGRAM_DATA)
                s += " 34x" + std::to_string(next);
            continue;
        }
        s += " " + std::to_string(r.cmd);
        if (r.cmd == UPDATER_CMD_FPGA_PROGRAM_BEGIN && r.data.size() == 12)
        {
            s += "(" + std::to_string(leGetU32(&r.data[0])) + "," + std::to_string(leGetU32(&r.data[4])) +
                 "," + std::to_string(leGetU32(&r.data[8])) + ")";
            block = r.data[0] == 0 ? kNvcm0 : kNvcm1;
            next = 0;
        }
        if (r.cmd == UPDATER_CMD_FPGA_USERCODE)
        {
            EXPECT_EQ(r.data, blocks[kUser].data);
        }
    }
    return s.substr(1);
}

TEST(FpgaProgrammer, FullExchangeWithNvcm1)
{
    for (uint16_t version : {2, 3})
    {
        SCOPED_TRACE(version);
        const std::vector<BlockSpec> blocks = fpgaBlocks(8192);
        ComponentHarness h;
        h.load(buildAff(version, blocks), version);
        EXPECT_TRUE(runFpga(h));
        EXPECT_EQ(summary(h.requests(), blocks),
                  "32 33(0,1,100) 34x10 35 33(0,0,100) 34x10 33(1,1,512) 34x4 33(1,0,512) 34x4 36");
        EXPECT_EQ(h.link.progress,
                  (std::vector<uint8_t>{0,  2,  5,  7,  10, 12, 15, 17, 20, 22, 25, 27, 30, 32, 35,
                                        37, 40, 42, 45, 47, 50, 56, 62, 68, 75, 81, 87, 93, 100}));
        EXPECT_TRUE(h.logged("Writing 512 pages of NVCM1"));
    }
}

TEST(FpgaProgrammer, Nvcm1WithoutPagesIsSkipped)
{
    // No NVCM1 data: two phases of half the progress each. 1 to 15 bytes: four-phase
    // progress, but no page to write, so the end follows the NVCM0 verify.
    const std::vector<uint8_t> half = {0,  5,  10, 15, 20, 25, 30, 35, 40, 45, 50,
                                       55, 60, 65, 70, 75, 80, 85, 90, 95, 100};
    const std::vector<uint8_t> quarter = {0,  2,  5,  7,  10, 12, 15, 17, 20, 22, 25,
                                          27, 30, 32, 35, 37, 40, 42, 45, 47, 100};
    for (uint32_t imageSize : {0u, 1u, 15u})
    {
        SCOPED_TRACE(imageSize);
        const std::vector<BlockSpec> blocks = fpgaBlocks(imageSize, imageSize == 0 ? 0 : 64);
        ComponentHarness h;
        h.load(buildAff(3, blocks), 3);
        EXPECT_TRUE(runFpga(h));
        EXPECT_EQ(summary(h.requests(), blocks), "32 33(0,1,100) 34x10 35 33(0,0,100) 34x10 36");
        EXPECT_EQ(h.link.progress, imageSize == 0 ? half : quarter);
        EXPECT_TRUE(h.logged("No pages to program in NVCM1 - skipping"));
    }
}

TEST(FpgaProgrammer, RefusesContainersItCannotFinishBeforeSendingAnything)
{
    const std::vector<BlockSpec> b = fpgaBlocks(8192);
    const std::vector<std::vector<BlockSpec>> cases = {
        {b[kNvcm0], b[kNvcm1]}, // no usercode
        {b[kNvcm0], b[kUser]},  // no NVCM1
        {{AFF_BLOCK_FPGA_NVCM0, 32, 64, 1600}, b[kNvcm1], b[kUser]},
        {b[kNvcm0], {AFF_BLOCK_FPGA_NVCM1, 32, 64, 8192}, b[kUser]},
        {b[kNvcm0], b[kNvcm1], {AFF_BLOCK_FPGA_USERCODE, 16385, 16384, 1}},
    };
    for (size_t i = 0; i < cases.size(); i++)
    {
        SCOPED_TRACE(i);
        ComponentHarness h;
        h.load(buildAff(3, cases[i]), 3);
        EXPECT_EQ(updaterFpgaInit(h.ctx.get()), 0);
        EXPECT_TRUE(h.link.tx.empty());
    }
}

TEST(FpgaProgrammer, FailedStepsSendNothing)
{
    struct Case
    {
        size_t block;    // block whose part CRC is damaged, or 0: NVCM0 without a page
        uint32_t part;   // that part
        size_t requests; // requests sent before the failing step
        const char *log;
    };
    for (const Case &c :
         {Case{0, 0, 1, "ERR: No pages of main flash"}, Case{kNvcm0, 3, 5, "CRC Error on part 3"},
          Case{kNvcm1, 2, 27, "CRC Error on part 2"}})
    {
        SCOPED_TRACE(c.log);
        std::vector<BlockSpec> blocks = fpgaBlocks(8192);
        if (c.block == 0)
            blocks[kNvcm0].imageSize = 15;
        std::vector<uint8_t> file = buildAff(3, blocks);
        if (c.block != 0) // right CRC, non-zero high half
            file[affImageBlockOffset(componentImage(3, blocks), c.block) + 63 + (c.part + 1) * 68 - 2] = 0x01;
        ComponentHarness h;
        h.load(file, 3);
        EXPECT_FALSE(runFpga(h));
        EXPECT_EQ(h.requests().size(), c.requests);
        EXPECT_TRUE(h.logged(c.log));
    }
}

} // namespace
