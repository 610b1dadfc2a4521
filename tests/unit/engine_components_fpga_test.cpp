// FPGA programmer: the whole exchange with and without NVCM1 data, the phase
// requests, progress, the usercode, and containers and steps that must fail.

#include <gtest/gtest.h>

#include "components/fpga_programmer.h"
#include "engine/commands.h"
#include "tests/support/component_fixture.h"

using namespace testsupport;

namespace
{

const size_t kNvcm0 = 1, kNvcm1 = 2, kUser = 3;

// NVCM0: 10 parts, 100 pages. NVCM1: 4 parts. Usercode: 8 bytes that need escaping.
std::vector<BlockSpec> fpgaBlocks(uint32_t nvcm1ImageSize, uint32_t nvcm1Size = 256)
{
    return {{AFF_BLOCK_DEVICE_UC, 64, 64, 64},
            {AFF_BLOCK_FPGA_NVCM0, 640, 64, 1600},
            {AFF_BLOCK_FPGA_NVCM1, nvcm1Size, 64, nvcm1ImageSize},
            {AFF_BLOCK_FPGA_USERCODE, 8, 8, 8, {0x55, 0xC0, 0xDB, 0x01, 0x02, 0x03, 0x04, 0xAA}}};
}

struct Exchange
{
    std::vector<Request> requests;
    bool ended = false;     // the answer to command 36 was handled
    uint8_t lastResult = 1; // result of the last function called
};

// Answers every request as the state machine dispatches the answers, until the
// end request is answered or a step fails; every successful step must have sent
// exactly one request, and a failed one none.
Exchange runFpga(ComponentHarness &h)
{
    Exchange e;
    e.lastResult = updaterFpgaInit(h.ctx.get());
    for (size_t handled = 0; e.lastResult == 1 && !e.ended; handled++)
    {
        e.requests = h.requests();
        if (e.requests.size() != handled + 1)
        {
            ADD_FAILURE() << "step sent " << e.requests.size() - handled << " requests";
            break;
        }
        switch (e.requests.back().cmd)
        {
        case UPDATER_CMD_FPGA_BEGIN:
            e.lastResult = updaterFpgaAfterBegin(h.ctx.get());
            break;
        case UPDATER_CMD_FPGA_PROGRAM_BEGIN:
            e.lastResult = updaterFpgaAfterProgramBegin(h.ctx.get());
            break;
        case UPDATER_CMD_FPGA_PROGRAM_DATA:
            e.lastResult = updaterFpgaAfterProgramData(h.ctx.get());
            break;
        case UPDATER_CMD_FPGA_USERCODE:
            e.lastResult = updaterFpgaAfterUsercode(h.ctx.get());
            break;
        default:
            updaterFpgaAfterEnd(h.ctx.get());
            e.ended = true;
        }
    }
    size_t sent = e.requests.size();
    e.requests = h.requests();
    if (!e.ended)
    {
        EXPECT_EQ(e.requests.size(), sent) << "a failed step sent a request";
    }
    return e;
}

// The command sequence as text, parts counted: "32 33(0,1,100) 34x10 35 ...".
std::string summary(const std::vector<Request> &reqs)
{
    std::string s;
    for (size_t i = 0; i < reqs.size(); i++)
    {
        const Request &r = reqs[i];
        if (r.cmd == UPDATER_CMD_FPGA_PROGRAM_DATA)
        {
            if (i > 0 && reqs[i - 1].cmd == UPDATER_CMD_FPGA_PROGRAM_DATA)
                continue;
            size_t n = 0;
            while (i + n < reqs.size() && reqs[i + n].cmd == UPDATER_CMD_FPGA_PROGRAM_DATA)
                n++;
            s += " 34x" + std::to_string(n);
            continue;
        }
        s += " " + std::to_string(r.cmd);
        if (r.cmd == UPDATER_CMD_FPGA_PROGRAM_BEGIN && r.data.size() == 12)
            s += "(" + std::to_string(leGetU32(&r.data[0])) + "," + std::to_string(leGetU32(&r.data[4])) +
                 "," + std::to_string(leGetU32(&r.data[8])) + ")";
    }
    return s.substr(1);
}

// Every part request carries the right part of the right block, in order.
void expectParts(const std::vector<Request> &reqs, const std::vector<BlockSpec> &blocks)
{
    size_t block = kNvcm0;
    uint32_t next = 0;
    for (const Request &r : reqs)
    {
        if (r.cmd == UPDATER_CMD_FPGA_PROGRAM_BEGIN)
        {
            block = r.data[0] == 0 ? kNvcm0 : kNvcm1;
            next = 0;
        }
        if (r.cmd == UPDATER_CMD_FPGA_PROGRAM_DATA)
        {
            EXPECT_EQ(r.data, concat(le32(next), partBytes(blocks, block, next))) << "part " << next;
            next++;
        }
        if (r.cmd == UPDATER_CMD_FPGA_USERCODE)
        {
            EXPECT_EQ(r.data, blocks[kUser].data);
        }
    }
}

TEST(FpgaProgrammer, FullExchangeWithNvcm1)
{
    for (uint16_t version : {2, 3})
    {
        SCOPED_TRACE(version);
        const std::vector<BlockSpec> blocks = fpgaBlocks(8192);
        ComponentHarness h;
        h.load(buildAff(version, blocks), version);
        Exchange e = runFpga(h);
        EXPECT_TRUE(e.ended);
        EXPECT_EQ(summary(e.requests),
                  "32 33(0,1,100) 34x10 35 33(0,0,100) 34x10 33(1,1,512) 34x4 33(1,0,512) 34x4 36");
        expectParts(e.requests, blocks);
        std::vector<uint8_t> progress = {0,  2,  5,  7,  10, 12, 15, 17, 20, 22, 25, 27, 30, 32, 35,
                                         37, 40, 42, 45, 47, 50, 56, 62, 68, 75, 81, 87, 93, 100};
        EXPECT_EQ(h.link.progress, progress);
        for (const char *line :
             {"Writing 100 pages of NVCM0", "Writing usercode", "Verifying 100 pages of NVCM0",
              "Writing 512 pages of NVCM1", "Verifying 512 pages of NVCM1"})
            EXPECT_TRUE(h.logged(line)) << line;
    }
}

TEST(FpgaProgrammer, Nvcm1WithoutPagesIsSkipped)
{
    struct Case
    {
        uint32_t imageSize;
        std::vector<uint8_t> progress;
    };
    // No NVCM1 data: two phases of half the progress each. 1 to 15 bytes: four-phase
    // progress, but no page to write, so the end follows the NVCM0 verify.
    const std::vector<uint8_t> half = {0,  5,  10, 15, 20, 25, 30, 35, 40, 45, 50,
                                       55, 60, 65, 70, 75, 80, 85, 90, 95, 100};
    const std::vector<uint8_t> quarter = {0,  2,  5,  7,  10, 12, 15, 17, 20, 22, 25,
                                          27, 30, 32, 35, 37, 40, 42, 45, 47, 100};
    for (const Case &c : {Case{0, half}, Case{1, quarter}, Case{15, quarter}})
    {
        SCOPED_TRACE(c.imageSize);
        const std::vector<BlockSpec> blocks = fpgaBlocks(c.imageSize, c.imageSize == 0 ? 0 : 64);
        ComponentHarness h;
        h.load(buildAff(3, blocks), 3);
        Exchange e = runFpga(h);
        EXPECT_TRUE(e.ended);
        EXPECT_EQ(summary(e.requests), "32 33(0,1,100) 34x10 35 33(0,0,100) 34x10 36");
        expectParts(e.requests, blocks);
        EXPECT_EQ(h.link.progress, c.progress);
        EXPECT_TRUE(h.logged("No pages to program in NVCM1 - skipping"));
    }
}

TEST(FpgaProgrammer, RefusesContainersItCannotFinishBeforeSendingAnything)
{
    const std::vector<BlockSpec> b = fpgaBlocks(8192);
    std::vector<std::pair<const char *, std::vector<BlockSpec>>> cases = {
        {"no usercode", {b[kNvcm0], b[kNvcm1]}},
        {"no NVCM1", {b[kNvcm0], b[kUser]}},
        {"NVCM0 under one part", {{AFF_BLOCK_FPGA_NVCM0, 32, 64, 1600}, b[kNvcm1], b[kUser]}},
        {"NVCM1 pages but under one part", {b[kNvcm0], {AFF_BLOCK_FPGA_NVCM1, 32, 64, 8192}, b[kUser]}},
        {"usercode larger than the part buffer",
         {b[kNvcm0], b[kNvcm1], {AFF_BLOCK_FPGA_USERCODE, 16385, 16384, 1}}},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.first);
        ComponentHarness h;
        h.load(buildAff(3, c.second), 3);
        EXPECT_EQ(updaterFpgaInit(h.ctx.get()), 0);
        EXPECT_TRUE(h.link.tx.empty());
    }
}

TEST(FpgaProgrammer, FailedStepsSendNothing)
{
    struct Case
    {
        const char *name;
        size_t block;    // block whose part CRC is damaged, or 0 for none
        uint32_t part;   // that part
        size_t requests; // requests sent before the failing step
        const char *log;
    };
    for (const Case &c : {Case{"no main flash pages", 0, 0, 1, "ERR: No pages of main flash"},
                          Case{"NVCM0 part CRC", kNvcm0, 3, 1 + 1 + 3, "CRC Error on part 3"},
                          Case{"NVCM1 part CRC", kNvcm1, 2, 1 + 11 + 1 + 11 + 1 + 2, "CRC Error on part 2"}})
    {
        SCOPED_TRACE(c.name);
        std::vector<BlockSpec> blocks = fpgaBlocks(8192);
        if (c.block == 0)
            blocks[kNvcm0].imageSize = 15;
        std::vector<uint8_t> file = buildAff(3, blocks);
        if (c.block != 0)
        {
            size_t pos = AFF_HEADER_SIZE_V3;
            for (size_t i = 0; i < c.block; i++)
                pos += AFF_BLOCK_HEADER_SIZE_V3 + blocks[i].size + 4 * (blocks[i].size / blocks[i].partSize);
            pos += AFF_BLOCK_HEADER_SIZE_V3 + (c.part + 1) * (blocks[c.block].partSize + 4) - 4;
            file[pos + 2] = 0x01; // right CRC, non-zero high half
        }
        ComponentHarness h;
        h.load(file, 3);
        Exchange e = runFpga(h);
        EXPECT_FALSE(e.ended);
        EXPECT_EQ(e.lastResult, 0);
        EXPECT_EQ(e.requests.size(), c.requests);
        EXPECT_TRUE(h.logged(c.log));
    }
}

} // namespace
