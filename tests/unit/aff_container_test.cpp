#include <gtest/gtest.h>

#include <cstring>
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

const char *const kUnsupported =
    "AFF file version not suported(File corrupted or newer version of updater needed).\n";

// Registers a copy of the bytes as the in-memory file for the lifetime of the fixture.
class AffMem : public ::testing::Test
{
  protected:
    std::vector<uint8_t> file;

    void use(const std::vector<uint8_t> &bytes)
    {
        // A separate allocation of exactly the file's size, so that ASan sees any
        // read past its end.
        file = bytes;
        file.shrink_to_fit();
        affSetMemFile(file.empty() ? nullptr : file.data(), uint32_t(file.size()));
    }
    void TearDown() override { affSetMemFile(nullptr, 0); }
};

AffImageBlock block(uint32_t type, size_t size, uint32_t partSize, uint32_t code = 0, uint8_t seed = 1)
{
    AffImageBlock b;
    b.type = type;
    b.data = affImagePattern(size, seed);
    b.partSize = partSize;
    b.version.code = code;
    b.version.date = "Feb 29 2024";
    return b;
}

AffImage v3Image(std::vector<AffImageBlock> blocks)
{
    AffImage img;
    img.productId = 6;
    img.hardwareId = 3;
    img.auxWord = 0xA5A5A5A5;
    img.fileVersion = {10700000, "Aug  9 2024"};
    for (int i = 0; i < 16; i++)
        img.iv[i] = uint8_t(0xA0 + i);
    img.blocks = std::move(blocks);
    return img;
}

AffImage legacyImage(uint16_t fmt, std::vector<AffImageBlock> blocks)
{
    AffImage img = v3Image(std::move(blocks));
    img.formatVersion = fmt;
    img.deviceUc = {10203004, "Jan  1 2020X"};
    img.fpga = {10203, "Jan  2 2020Y"};
    img.wifi = {70000, "Jan  3 2020Z"};
    img.hostUc = {20304005, "Jan  4 2020W"};
    return img;
}

std::string date(const _tVersion &v)
{
    return std::string(v.szDate, 12);
}

TEST(AffSizes, BlockTotalSizeCountsPartCrcsOnlyInVersion3AndRefusesBadPartSizes)
{
    _tAffBlockHeader b{};
    b.ulSize = 4096;
    b.ulPartSize = 1024;
    EXPECT_EQ(63u + 4096 + 16, affGetBlockTotalSize(3, &b));
    EXPECT_EQ(44u + 4096, affGetBlockTotalSize(2, &b));
    EXPECT_EQ(0u, affGetBlockTotalSize(4, &b));
    b.ulSize = 1000; // a partial part carries no CRC
    EXPECT_EQ(63u + 1000, affGetBlockTotalSize(3, &b));
    b.ulPartSize = 0;
    EXPECT_EQ(0u, affGetBlockTotalSize(3, &b));
    b.ulPartSize = AFF_MAX_PART_SIZE + 1;
    EXPECT_EQ(0u, affGetBlockTotalSize(3, &b));
    b.ulPartSize = AFF_MAX_PART_SIZE;
    b.ulSize = 0xFFFFFF00u; // would pass 4 GiB with its header and CRCs
    EXPECT_EQ(0u, affGetBlockTotalSize(3, &b));
}

// The packers write the layout the support builder writes from the byte table,
// and what they write reads back to the same fields.
TEST_F(AffMem, PackersMatchTheLayoutAndReadBack)
{
    AffImage img = v3Image({});
    img.legacyWord = 0x1234;
    img.productId = 0x11223344;
    img.hardwareId = 0x55667788;
    img.blocks.push_back(block(AFF_BLOCK_TI, 2048, 512, 20304005));
    img.blocks[0].imageSize = 2000;
    img.blocks[0].aux0 = 1;
    img.blocks[0].aux1 = 0x80000000u;
    img.blocks[0].aux2 = 0xFFFFFFFFu;
    img.blocks[0].auxBytes[15] = 0xF0;
    const std::vector<uint8_t> expected = img.build();

    // Whole-record comparisons below: clear the padding too.
    _tAffHeader h;
    memset(&h, 0, sizeof h);
    h.usLegacyVersion = 0x1234;
    h.usVersion = 3;
    h.ulProductId = 0x11223344;
    h.ulHardwareId = 0x55667788;
    h.ulAuxWord = img.auxWord;
    h.sVersion.ulCode = img.fileVersion.code;
    memcpy(h.sVersion.szDate, "Aug  9 2024Q", 12); // the twelfth byte is not written
    h.ubBlockCount = 1;
    memcpy(h.aubIv, img.iv.data(), 16);
    h.ulCrc = 0xDEADBEEF; // the packer computes its own
    _tAffBlockHeader b;
    memset(&b, 0, sizeof b);
    b.ulType = AFF_BLOCK_TI;
    b.ulSize = 2048;
    b.ulPartSize = 512;
    b.ulImageSize = 2000;
    b.sVersion = {20304005, "Feb 29 2024"};
    b.ulAux0 = 1;
    b.ulAux1 = 0x80000000u;
    b.ulAux2 = 0xFFFFFFFFu;
    b.aubAux[15] = 0xF0;

    std::vector<uint8_t> bytes = expected;
    memset(bytes.data(), 0xEE, 130 + 63);
    ASSERT_EQ(130u, affPackHeader(&h, bytes.data()));
    ASSERT_EQ(63u, affPackBlockHeader(&b, &bytes[130]));
    EXPECT_EQ(expected, bytes);

    use(bytes);
    _tAffHeader hBack;
    _tAffBlockHeader bBack;
    ASSERT_EQ(1, affReadHeader(readAffFromMem, &hBack));
    ASSERT_EQ(1, affReadBlockHeader(readAffFromMem, 130, &bBack));
    h.ulCrc = testsupport::affImageCrc(bytes.data(), 126);
    h.sVersion.szDate[11] = 0;
    b.ulCrc = testsupport::affImageCrc(&bytes[130], 59);
    EXPECT_EQ(0, memcmp(&h, &hBack, sizeof h));
    EXPECT_EQ(0, memcmp(&b, &bBack, sizeof b));
    EXPECT_EQ(AFF_CHECK_OK, affCheckIntegrity(readAffFromMem, uint32_t(bytes.size()), nullptr));
}

TEST_F(AffMem, MinimalVersion3HeaderHasKnownCrcAndLoadsAtExactSize)
{
    std::vector<uint8_t> bytes(130, 0);
    bytes[2] = 3;
    bytes[126] = 0x80;
    bytes[127] = 0x89;
    EXPECT_EQ(1, affFileSupported(bytes.data(), 130));
    use(bytes);
    _tAffHeader h;
    ASSERT_EQ(1, affReadHeader(readAffFromMem, &h));
    EXPECT_EQ(0, h.ubBlockCount);
    EXPECT_EQ(0x8980u, h.ulCrc);
    EXPECT_EQ(AFF_CHECK_OK, affCheckIntegrity(readAffFromMem, 130, nullptr));
    EXPECT_EQ(-1, affFindBlock(readAffFromMem, AFF_BLOCK_HOST_UC, 0, nullptr));

    // One byte short: unreadable, no message, no read past the end.
    use(std::vector<uint8_t>(bytes.begin(), bytes.end() - 1));
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, affReadHeader(readAffFromMem, &h));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

TEST_F(AffMem, Version3HeaderDamageIsRejectedWithoutMessage)
{
    const std::vector<uint8_t> good = v3Image({}).build();
    struct
    {
        size_t offset;
        uint8_t mask;
    } const flips[] = {{0, 0x01},   {1, 0x80},   {82, 0x01},  {93, 0x10}, {109, 0x01},
                       {125, 0x80}, {126, 0x01}, {128, 0x01}, {129, 0x80}};
    for (const auto &f : flips)
    {
        std::vector<uint8_t> bad = good;
        bad[f.offset] ^= f.mask;
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, affFileSupported(bad.data(), uint32_t(bad.size()))) << f.offset;
        EXPECT_EQ("", testing::internal::GetCapturedStdout()) << f.offset;
    }
    use(good);
    _tAffHeader h;
    EXPECT_EQ(1, affReadHeader(readAffFromMem, &h));
}

TEST_F(AffMem, VersionDetection)
{
    // The first word does not matter while bytes 4 to 81 are zero.
    AffImage img = v3Image({});
    img.legacyWord = 7;
    use(img.build());
    _tAffHeader h;
    ASSERT_EQ(1, affReadHeader(readAffFromMem, &h));
    EXPECT_EQ(3, h.usVersion);
    EXPECT_EQ(7, h.usLegacyVersion);

    // A non-zero byte anywhere in 4..81 moves the version to offset 0 (here 7: unsupported).
    for (size_t at : {4u, 50u, 81u})
    {
        std::vector<uint8_t> bytes = img.build();
        bytes[at] = 1;
        use(bytes);
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, affReadHeader(readAffFromMem, &h)) << at;
        EXPECT_EQ(kUnsupported, testing::internal::GetCapturedStdout()) << at;
        EXPECT_EQ(7, h.usVersion);
    }

    // Version word 4 with a zero window: unsupported, with the message.
    std::vector<uint8_t> four(136, 0);
    four[2] = 4;
    use(four);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, affFileSupported(file.data(), uint32_t(file.size())));
    EXPECT_EQ(kUnsupported, testing::internal::GetCapturedStdout());

    // Version word flipped from 3 to 2: read as version 2, no CRC test.
    std::vector<uint8_t> two = v3Image({}).build();
    two[2] = 2;
    use(two);
    ASSERT_EQ(1, affReadHeader(readAffFromMem, &h));
    EXPECT_EQ(2, h.usVersion);
    EXPECT_EQ(0u, h.ulCrc);
}

TEST_F(AffMem, LegacyHeadersAndBlockVersionsByType)
{
    for (uint16_t fmt : {1, 2})
    {
        SCOPED_TRACE(fmt);
        AffImage img =
            legacyImage(fmt, {block(AFF_BLOCK_DEVICE_UC, 100, 50), block(AFF_BLOCK_HOST_UC, 64, 64),
                              block(AFF_BLOCK_ESP_RAM, 10, 10), block(AFF_BLOCK_FPGA_USERCODE, 16, 16)});
        std::vector<uint8_t> bytes = img.build();
        use(bytes);
        _tAffHeader h;
        ASSERT_EQ(1, affReadHeader(readAffFromMem, &h));
        EXPECT_EQ(fmt, h.usVersion);
        EXPECT_EQ(6u, h.ulProductId);
        EXPECT_EQ(3u, h.ulHardwareId);
        EXPECT_EQ(0xA5A5A5A5u, h.ulAuxWord);
        EXPECT_EQ(4, h.ubBlockCount);
        EXPECT_EQ(0, memcmp(img.iv.data(), h.aubIv, 16));
        EXPECT_EQ(0u, h.sVersion.ulCode);
        EXPECT_EQ(0u, h.ulCrc);

        _tAffBlockHeader b;
        uint32_t at = affGetHeaderSize(fmt);
        ASSERT_EQ(1, affReadBlockHeader(readAffFromMem, at, &b));
        EXPECT_EQ(uint32_t(AFF_BLOCK_DEVICE_UC), b.ulType);
        EXPECT_EQ(100u, b.ulSize);
        EXPECT_EQ(50u, b.ulPartSize);
        EXPECT_EQ(10203004u, b.sVersion.ulCode);
        EXPECT_EQ(std::string("Jan  1 2020X"), date(b.sVersion));
        EXPECT_EQ(0u, b.ulCrc);

        at += 44 + 100; // no part CRCs in older files
        ASSERT_EQ(1, affReadBlockHeader(readAffFromMem, at, &b));
        EXPECT_EQ(uint32_t(AFF_BLOCK_HOST_UC), b.ulType);
        if (fmt == 2)
        {
            EXPECT_EQ(20304005u, b.sVersion.ulCode);
        }
        else
        {
            // Version 1 has no host record: the ids, aux word, count and IV start stand in.
            EXPECT_EQ(6u, b.sVersion.ulCode);
            EXPECT_EQ(0, memcmp(&bytes[56], b.sVersion.szDate, 12));
        }

        int16_t idx = affFindBlock(readAffFromMem, AFF_BLOCK_ESP_RAM, 0, nullptr);
        EXPECT_EQ(2, idx);
        uint32_t ofs = 0;
        EXPECT_EQ(3, affFindBlock(readAffFromMem, AFF_BLOCK_FPGA_USERCODE, 0, &ofs));
        ASSERT_EQ(1, affReadBlockHeader(readAffFromMem, ofs, &b));
        EXPECT_EQ(10203u, b.sVersion.ulCode);
        ASSERT_EQ(1, affReadBlockHeader(readAffFromMem, affGetBlockStartPos(readAffFromMem, 2), &b));
        EXPECT_EQ(70000u, b.sVersion.ulCode);
        EXPECT_EQ(AFF_CHECK_OK, affCheckIntegrity(readAffFromMem, uint32_t(bytes.size()), nullptr));
    }
}

TEST_F(AffMem, LegacyBlockOfUnknownTypeHidesEverythingBehindIt)
{
    AffImage img = legacyImage(2, {block(AFF_BLOCK_DEVICE_UC, 10, 10), block(AFF_BLOCK_TI, 10, 10),
                                   block(AFF_BLOCK_HOST_UC, 10, 10)});
    use(img.build());
    EXPECT_EQ(0, affFindBlock(readAffFromMem, AFF_BLOCK_DEVICE_UC, 0, nullptr));
    EXPECT_EQ(-1, affFindBlock(readAffFromMem, AFF_BLOCK_TI, 0, nullptr));
    EXPECT_EQ(-1, affFindBlock(readAffFromMem, AFF_BLOCK_HOST_UC, 0, nullptr));
    EXPECT_EQ(0u, affGetBlockStartPos(readAffFromMem, 2));
    EXPECT_EQ(97u + 54, affGetBlockStartPos(readAffFromMem, 1)); // its own header is not read
    uint8_t bad = 0xEE;
    EXPECT_EQ(AFF_CHECK_BAD_BLOCK_HEADER, affCheckIntegrity(readAffFromMem, uint32_t(file.size()), &bad));
    EXPECT_EQ(1, bad);
}

TEST_F(AffMem, Version3BlockLayoutOffsets)
{
    AffImage img =
        v3Image({block(AFF_BLOCK_HOST_UC, 2048, 1024, 1), block(AFF_BLOCK_DEVICE_UC, 1024, 1024, 2)});
    std::vector<uint8_t> bytes = img.build();
    ASSERT_EQ(2249u + 63 + 1028, bytes.size());
    use(bytes);
    EXPECT_EQ(130u, affGetBlockStartPos(readAffFromMem, 0));
    EXPECT_EQ(2249u, affGetBlockStartPos(readAffFromMem, 1));
    EXPECT_EQ(0u, affGetBlockStartPos(readAffFromMem, 2));
    uint32_t ofs = 0;
    EXPECT_EQ(1, affFindBlock(readAffFromMem, AFF_BLOCK_DEVICE_UC, 0, &ofs));
    EXPECT_EQ(2249u, ofs);
    ofs = 0;
    EXPECT_EQ(0, affFindBlock(readAffFromMem, AFF_BLOCK_HOST_UC, 0, &ofs));
    EXPECT_EQ(130u, ofs);
    // Part data and CRC where the layout puts them.
    EXPECT_EQ(0, memcmp(&bytes[193], img.blocks[0].data.data(), 1024));
    EXPECT_EQ(testsupport::affImageCrc(&bytes[1221], 1024), uint16_t(bytes[2245] | bytes[2246] << 8));
}

TEST_F(AffMem, FindBlockWalksFromTheStartIndex)
{
    AffImage img = v3Image({block(AFF_BLOCK_ESP_FLASH, 64, 32, 1), block(AFF_BLOCK_HOST_UC, 64, 32, 2),
                            block(AFF_BLOCK_ESP_FLASH, 64, 32, 3), block(AFF_BLOCK_ESP_FLASH, 0, 32, 4)});
    use(img.build());
    EXPECT_EQ(0, affFindBlock(readAffFromMem, AFF_BLOCK_ESP_FLASH, 0, nullptr));
    EXPECT_EQ(2, affFindBlock(readAffFromMem, AFF_BLOCK_ESP_FLASH, 1, nullptr));
    EXPECT_EQ(3, affFindBlock(readAffFromMem, AFF_BLOCK_ESP_FLASH, 3, nullptr));
    EXPECT_EQ(-1, affFindBlock(readAffFromMem, AFF_BLOCK_ESP_FLASH, 4, nullptr)); // start == count
    EXPECT_EQ(-1, affFindBlock(readAffFromMem, AFF_BLOCK_TI, 0, nullptr));
    uint32_t ofs = 12345;
    EXPECT_EQ(-1, affFindBlock(readAffFromMem, AFF_BLOCK_TI, 0, &ofs));
    EXPECT_EQ(12345u, ofs) << "not found leaves the offset alone";
    // A last block of zero length ends exactly at the end of the file.
    EXPECT_EQ(AFF_CHECK_OK, affCheckIntegrity(readAffFromMem, uint32_t(file.size()), nullptr));
}

TEST_F(AffMem, PartSizeZeroOrAboveTheBufferMakesTheBlockUnreadable)
{
    for (uint16_t fmt : {2, 3})
    {
        for (uint32_t partSize : {0u, uint32_t(AFF_MAX_PART_SIZE + 1), 0xFFFFFFFFu})
        {
            SCOPED_TRACE(std::to_string(fmt) + "/" + std::to_string(partSize));
            AffImageBlock bad = block(AFF_BLOCK_HOST_UC, 64, 16);
            bad.partSize = partSize;
            std::vector<AffImageBlock> blocks = {block(AFF_BLOCK_DEVICE_UC, 32, 16), bad,
                                                 block(AFF_BLOCK_TI, 32, 16)};
            AffImage img = fmt == 3 ? v3Image(blocks) : legacyImage(fmt, {blocks[0], blocks[1]});
            use(img.build());
            uint32_t at = affGetBlockStartPos(readAffFromMem, 1);
            ASSERT_NE(0u, at);
            _tAffBlockHeader b;
            EXPECT_EQ(0, affReadBlockHeader(readAffFromMem, at, &b));
            EXPECT_EQ(-1, affFindBlock(readAffFromMem, AFF_BLOCK_HOST_UC, 0, nullptr));
            EXPECT_EQ(-1, affFindBlock(readAffFromMem, AFF_BLOCK_TI, 0, nullptr));
            EXPECT_EQ(0u, affGetBlockStartPos(readAffFromMem, 2));
            uint8_t badIdx = 0xEE;
            EXPECT_EQ(AFF_CHECK_BAD_BLOCK_HEADER,
                      affCheckIntegrity(readAffFromMem, uint32_t(file.size()), &badIdx));
            EXPECT_EQ(1, badIdx);
        }
    }
    // The largest part size is accepted.
    use(v3Image({block(AFF_BLOCK_HOST_UC, AFF_MAX_PART_SIZE, AFF_MAX_PART_SIZE)}).build());
    EXPECT_EQ(AFF_CHECK_OK, affCheckIntegrity(readAffFromMem, uint32_t(file.size()), nullptr));
}

TEST_F(AffMem, IntegrityCheckNamesTheFirstProblem)
{
    AffImage img = v3Image({block(AFF_BLOCK_HOST_UC, 256, 128), block(AFF_BLOCK_DEVICE_UC, 256, 128),
                            block(AFF_BLOCK_TI, 256, 128)});
    const std::vector<uint8_t> good = img.build();
    uint8_t bad = 0xEE;

    use(good);
    EXPECT_EQ(AFF_CHECK_OK, affCheckIntegrity(readAffFromMem, uint32_t(good.size()), &bad));
    EXPECT_EQ(0xEE, bad) << "untouched on success";
    // A file size the caller states smaller than the blocks need.
    EXPECT_EQ(AFF_CHECK_BLOCK_OUTSIDE_FILE,
              affCheckIntegrity(readAffFromMem, uint32_t(good.size() - 1), &bad));
    EXPECT_EQ(2, bad);
    EXPECT_EQ(AFF_CHECK_BAD_HEADER, affCheckIntegrity(readAffFromMem, 129, &bad));

    std::vector<uint8_t> damaged = good;
    damaged[affImageBlockOffset(img, 1) + 5] ^= 0x40; // block 1's size field
    use(damaged);
    EXPECT_EQ(AFF_CHECK_BAD_BLOCK_HEADER, affCheckIntegrity(readAffFromMem, uint32_t(damaged.size()), &bad));
    EXPECT_EQ(1, bad);

    damaged = good;
    damaged[50] = 1; // header window: unsupported version
    use(damaged);
    testing::internal::CaptureStdout();
    EXPECT_EQ(AFF_CHECK_BAD_HEADER, affCheckIntegrity(readAffFromMem, uint32_t(damaged.size()), &bad));
    testing::internal::GetCapturedStdout();

    // A block count larger than the blocks present.
    img.blockCountOverride = 4;
    use(img.build());
    EXPECT_EQ(AFF_CHECK_BAD_BLOCK_HEADER, affCheckIntegrity(readAffFromMem, uint32_t(file.size()), &bad));
    EXPECT_EQ(3, bad);

    // A block whose stated size runs past the end of the file (and past 4 GiB).
    for (int64_t size : {int64_t(100000), int64_t(0xFFFFFF00u)})
    {
        AffImage huge = v3Image({block(AFF_BLOCK_HOST_UC, 128, 128), block(AFF_BLOCK_DEVICE_UC, 128, 128)});
        huge.blocks[1].sizeOverride = size;
        use(huge.build());
        EXPECT_EQ(AFF_CHECK_BLOCK_OUTSIDE_FILE,
                  affCheckIntegrity(readAffFromMem, uint32_t(file.size()), &bad));
        EXPECT_EQ(1, bad);
    }
}

// Every prefix of a valid file: no read leaves the registered bytes (ASan watches
// the exactly sized copy), only the whole file passes the integrity check, and a
// block whose header is intact but whose data is cut is still refused by it.
TEST_F(AffMem, TruncatedFilesNeverReadOutOfBounds)
{
    for (uint16_t fmt : {1, 2, 3})
    {
        std::vector<AffImageBlock> blocks = {block(AFF_BLOCK_HOST_UC, 96, 32),
                                             block(AFF_BLOCK_ESP_FLASH, 0, 32),
                                             block(AFF_BLOCK_DEVICE_UC, 64, 32)};
        AffImage img = fmt == 3 ? v3Image(blocks) : legacyImage(fmt, blocks);
        const std::vector<uint8_t> whole = img.build();
        for (size_t n = 0; n <= whole.size(); n++)
        {
            SCOPED_TRACE(std::to_string(fmt) + "/" + std::to_string(n));
            use(std::vector<uint8_t>(whole.begin(), whole.begin() + n));
            testing::internal::CaptureStdout();
            uint8_t ok = affFileSupported(file.empty() ? nullptr : file.data(), uint32_t(n));
            uint8_t check = affCheckIntegrity(readAffFromMem, uint32_t(n), nullptr);
            int16_t found = affFindBlock(readAffFromMem, AFF_BLOCK_DEVICE_UC, 0, nullptr);
            uint32_t start = affGetBlockStartPos(readAffFromMem, 2);
            testing::internal::GetCapturedStdout();
            EXPECT_EQ(n >= affGetHeaderSize(fmt) ? 1 : 0, ok);
            EXPECT_EQ(n == whole.size(), check == AFF_CHECK_OK);
            if (n >= affImageBlockOffset(img, 2) + affGetBlockHeaderSize(fmt))
                EXPECT_EQ(2, found);
            else
                EXPECT_EQ(-1, found);
            if (n >= affImageBlockOffset(img, 1) + affGetBlockHeaderSize(fmt))
                EXPECT_EQ(affImageBlockOffset(img, 2), start);
            else
                EXPECT_EQ(0u, start);
        }
    }
}

TEST_F(AffMem, MemoryReaderServesOnlyTheRegisteredBytes)
{
    uint8_t dest[8];
    affSetMemFile(nullptr, 100);
    EXPECT_EQ(0, affHasMemFile());
    EXPECT_EQ(0, readAffFromMem(dest, 0, 1));

    use({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    EXPECT_EQ(1, affHasMemFile());
    memset(dest, 0xEE, sizeof dest);
    EXPECT_EQ(1, readAffFromMem(dest, 2, 8));
    EXPECT_EQ(3, dest[0]);
    EXPECT_EQ(10, dest[7]);
    EXPECT_EQ(1, readAffFromMem(dest, 10, 0));

    const struct
    {
        uint32_t offset, length;
    } refused[] = {{3, 8}, {10, 1}, {11, 0}, {0xFFFFFFFFu, 2}, {2, 0xFFFFFFFFu}};
    for (const auto &r : refused)
    {
        memset(dest, 0xEE, sizeof dest);
        EXPECT_EQ(0, readAffFromMem(dest, r.offset, r.length)) << r.offset << "+" << r.length;
        EXPECT_EQ(0xEE, dest[0]) << "nothing copied, nothing zero-filled";
    }
}

} // namespace
