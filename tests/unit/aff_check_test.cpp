// The whole-container check that an update makes before it speaks to the
// device: reachable blocks inside the file, and every part CRC of every block
// the update sends.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "aff/aff_container.h"
#include "tests/support/aff_image.h"

using testsupport::AffImage;
using testsupport::AffImageBlock;
using testsupport::affImageBlockOffset;
using testsupport::affImagePattern;

namespace
{

constexpr uint32_t kPart = 300; // more than one read chunk, and not a multiple of it

AffImageBlock block(uint32_t type, uint32_t parts)
{
    AffImageBlock b;
    b.type = type;
    b.data = affImagePattern(kPart * parts, uint8_t(type));
    b.partSize = kPart;
    return b;
}

// Host uC (3 parts), Wi-Fi RAM (2, never sent), device uC (4), a second device
// uC block (2, never sent), NVCM1 (2).
AffImage fiveBlocks(uint16_t format = 3)
{
    AffImage img;
    img.formatVersion = format;
    img.blocks = {block(AFF_BLOCK_HOST_UC, 3), block(AFF_BLOCK_ESP_RAM, 2), block(AFF_BLOCK_DEVICE_UC, 4),
                  block(AFF_BLOCK_DEVICE_UC, 2), block(AFF_BLOCK_FPGA_NVCM1, 2)};
    return img;
}

// Offset of byte `byte` of part `part` of block `idx` (version 3), or of its stored CRC.
size_t partOffset(const AffImage &img, size_t idx, uint32_t part, uint32_t byte)
{
    return affImageBlockOffset(img, idx) + AFF_BLOCK_HEADER_SIZE_V3 + part * (kPart + 4) + byte;
}

struct Case
{
    const char *name;
    uint16_t format;
    std::function<void(const AffImage &, std::vector<uint8_t> &)> damage;
    uint32_t types; // the blocks whose parts are checked
    uint8_t result;
    uint8_t blockIdx;
    uint32_t blockType;
    uint32_t partIdx;
};

TEST(AffCheckContainer, FindsTheFirstDamageInFileOrder)
{
    const auto flip = [](size_t idx, uint32_t part, uint32_t byte)
    {
        return [=](const AffImage &img, std::vector<uint8_t> &f)
        { f[partOffset(img, idx, part, byte)] ^= 0x10; };
    };
    const auto none = [](const AffImage &, std::vector<uint8_t> &) {};
    const uint32_t all = AFF_STREAMED_TYPES;
    const std::vector<Case> cases = {
        {"whole", 3, none, all, AFF_CHECK_OK, 0, 0, 0},
        {"first part", 3, flip(0, 0, 0), all, AFF_CHECK_BAD_PART_CRC, 0, AFF_BLOCK_HOST_UC, 0},
        {"last byte of a part", 3, flip(2, 3, kPart - 1), all, AFF_CHECK_BAD_PART_CRC, 2, AFF_BLOCK_DEVICE_UC,
         3},
        {"stored CRC", 3, flip(4, 1, kPart), all, AFF_CHECK_BAD_PART_CRC, 4, AFF_BLOCK_FPGA_NVCM1, 1},
        {"CRC high half", 3, flip(0, 2, kPart + 3), all, AFF_CHECK_BAD_PART_CRC, 0, AFF_BLOCK_HOST_UC, 2},
        {"earliest of two", 3,
         [&](const AffImage &img, std::vector<uint8_t> &f)
         {
             flip(4, 0, 5)(img, f);
             flip(2, 1, 5)(img, f);
         },
         all, AFF_CHECK_BAD_PART_CRC, 2, AFF_BLOCK_DEVICE_UC, 1},
        // Blocks an update never sends are carried as they are.
        {"Wi-Fi RAM block", 3, flip(1, 0, 0), all, AFF_CHECK_OK, 0, 0, 0},
        {"second block of a type", 3, flip(3, 1, 0), all, AFF_CHECK_OK, 0, 0, 0},
        {"type not asked for", 3, flip(0, 0, 0), AFF_TYPE_BIT(AFF_BLOCK_DEVICE_UC), AFF_CHECK_OK, 0, 0, 0},
        // Version 2 has no part CRCs: the same bytes changed are data.
        {"version 2", 2,
         [](const AffImage &img, std::vector<uint8_t> &f) { f[affImageBlockOffset(img, 0) + 50]++; }, all,
         AFF_CHECK_OK, 0, 0, 0},
        {"block header", 3,
         [](const AffImage &img, std::vector<uint8_t> &f) { f[affImageBlockOffset(img, 2) + 20] ^= 1; }, all,
         AFF_CHECK_BAD_BLOCK_HEADER, 2, 0, 0},
        {"cut in the last block", 3,
         [](const AffImage &, std::vector<uint8_t> &f) { f.resize(f.size() - 1); }, all,
         AFF_CHECK_BLOCK_OUTSIDE_FILE, 4, AFF_BLOCK_FPGA_NVCM1, 0},
        // The version word of a version-3 layout; the check reports it in its own words, not the reader's.
        {"unsupported version", 3, [](const AffImage &, std::vector<uint8_t> &f) { f[2] = 4; }, all,
         AFF_CHECK_BAD_HEADER, 0, 0, 0},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        const AffImage img = fiveBlocks(c.format);
        std::vector<uint8_t> file = img.build();
        c.damage(img, file);
        file.shrink_to_fit();
        affSetMemFile(file.data(), uint32_t(file.size()));
        _tAffCheckResult r;
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.result, affCheckContainer(readAffFromMem, uint32_t(file.size()), c.types, &r));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(c.result, r.ubResult);
        EXPECT_EQ(c.blockIdx, r.ubBlockIdx);
        EXPECT_EQ(c.blockType, r.ulBlockType);
        EXPECT_EQ(c.partIdx, r.ulPartIdx);
        affSetMemFile(nullptr, 0);
    }
}

} // namespace
