// The whole-container check that an update makes before it speaks to the
// device: reachable blocks inside the file, and every part CRC of every block
// the update sends.

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "aff/aff_container.h"
#include "tests/support/aff_image.h"

namespace
{

constexpr uint32_t kPart = 300; // more than one read chunk, and not a multiple of it

// Host uC (3 parts), Wi-Fi RAM (2, never sent), device uC (4), a second device
// uC block (2, never sent), NVCM1 (2).
testsupport::AffImage fiveBlocks(uint16_t format)
{
    testsupport::AffImage img;
    img.formatVersion = format;
    for (auto [type, parts] : {std::pair{AFF_BLOCK_HOST_UC, 3},
                               {AFF_BLOCK_ESP_RAM, 2},
                               {AFF_BLOCK_DEVICE_UC, 4},
                               {AFF_BLOCK_DEVICE_UC, 2},
                               {AFF_BLOCK_FPGA_NVCM1, 2}})
    {
        img.blocks.emplace_back();
        img.blocks.back().type = type;
        img.blocks.back().data = testsupport::affImagePattern(kPart * parts, uint8_t(type));
        img.blocks.back().partSize = kPart;
    }
    return img;
}

// Offset of byte `byte` of part `part` of block `idx` (version 3); bytes from kPart on are its stored CRC.
size_t at(size_t idx, uint32_t part, uint32_t byte)
{
    return testsupport::affImageBlockOffset(fiveBlocks(3), idx) + AFF_BLOCK_HEADER_SIZE_V3 +
           part * (kPart + 4) + byte;
}

TEST(AffCheckContainer, FindsTheFirstDamageInFileOrder)
{
    using Verdict = std::tuple<int, int, uint32_t, uint32_t>; // result, block, its type, part
    const uint32_t all = AFF_STREAMED_TYPES, host = AFF_BLOCK_HOST_UC, uc = AFF_BLOCK_DEVICE_UC;
    const struct
    {
        const char *name;
        uint16_t format;
        std::vector<size_t> flips; // bytes changed
        size_t cut;                // bytes cut off the end
        uint32_t types;            // the blocks whose parts are checked
        Verdict verdict;
    } cases[] = {
        {"whole", 3, {}, 0, all, {AFF_CHECK_OK, 0, 0, 0}},
        {"first part", 3, {at(0, 0, 0)}, 0, all, {AFF_CHECK_BAD_PART_CRC, 0, host, 0}},
        {"last byte of a part", 3, {at(2, 3, kPart - 1)}, 0, all, {AFF_CHECK_BAD_PART_CRC, 2, uc, 3}},
        {"stored CRC", 3, {at(4, 1, kPart)}, 0, all, {AFF_CHECK_BAD_PART_CRC, 4, AFF_BLOCK_FPGA_NVCM1, 1}},
        {"CRC high half", 3, {at(0, 2, kPart + 3)}, 0, all, {AFF_CHECK_BAD_PART_CRC, 0, host, 2}},
        {"earliest of two", 3, {at(4, 0, 5), at(2, 1, 5)}, 0, all, {AFF_CHECK_BAD_PART_CRC, 2, uc, 1}},
        // Blocks an update never sends are carried as they are.
        {"Wi-Fi RAM block", 3, {at(1, 0, 0)}, 0, all, {AFF_CHECK_OK, 0, 0, 0}},
        {"second block of a type", 3, {at(3, 1, 0)}, 0, all, {AFF_CHECK_OK, 0, 0, 0}},
        {"type not asked for", 3, {at(0, 0, 0)}, 0, AFF_TYPE_BIT(uc), {AFF_CHECK_OK, 0, 0, 0}},
        // Version 2 has no part CRCs: the bytes changed are data.
        {"version 2",
         2,
         {testsupport::affImageBlockOffset(fiveBlocks(2), 0) + 50},
         0,
         all,
         {AFF_CHECK_OK, 0, 0, 0}},
        {"block header", 3, {at(2, 0, 0) - 43}, 0, all, {AFF_CHECK_BAD_BLOCK_HEADER, 2, 0, 0}},
        {"cut in the last block", 3, {}, 1, all, {AFF_CHECK_BLOCK_OUTSIDE_FILE, 4, AFF_BLOCK_FPGA_NVCM1, 0}},
        // The version word; the check reports it in its own words, not the reader's message.
        {"unsupported version", 3, {2}, 0, all, {AFF_CHECK_BAD_HEADER, 0, 0, 0}},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> file = fiveBlocks(c.format).build();
        for (size_t flip : c.flips)
            file[flip] ^= 0x10;
        file.resize(file.size() - c.cut);
        file.shrink_to_fit();
        affSetMemFile(file.data(), uint32_t(file.size()));
        _tAffCheckResult r;
        testing::internal::CaptureStdout();
        const int result = affCheckContainer(readAffFromMem, uint32_t(file.size()), c.types, &r);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(result, r.ubResult);
        EXPECT_EQ(Verdict(r.ubResult, r.ubBlockIdx, r.ulBlockType, r.ulPartIdx), c.verdict);
        affSetMemFile(nullptr, 0);
    }
}

} // namespace
