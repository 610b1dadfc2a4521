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
    uint8_t check(uint8_t *bad = nullptr)
    {
        return affCheckIntegrity(readAffFromMem, uint32_t(file.size()), bad);
    }
    int16_t find(uint32_t type, uint8_t from = 0, uint32_t *ofs = nullptr)
    {
        return affFindBlock(readAffFromMem, type, from, ofs);
    }
    void TearDown() override { affSetMemFile(nullptr, 0); }
};

AffImageBlock block(uint32_t type, size_t size, uint32_t partSize, uint32_t code = 0)
{
    AffImageBlock b;
    b.type = type;
    b.data = affImagePattern(size, uint8_t(type));
    b.partSize = partSize;
    b.version = {code, "Feb 29 2024"};
    return b;
}

AffImage image(uint16_t fmt, std::vector<AffImageBlock> blocks)
{
    AffImage img;
    img.formatVersion = fmt;
    img.productId = 6;
    img.hardwareId = 3;
    img.auxWord = 0xA5A5A5A5;
    img.fileVersion = {10700000, "Aug  9 2024"};
    for (int i = 0; i < 16; i++)
        img.iv[i] = uint8_t(0xA0 + i);
    img.deviceUc = {10203004, "Jan  1 2020X"};
    img.fpga = {10203, "Jan  2 2020Y"};
    img.wifi = {70000, "Jan  3 2020Z"};
    img.hostUc = {20304005, "Jan  4 2020W"};
    img.blocks = std::move(blocks);
    return img;
}

// The packers write the layout the support builder writes from the byte table
// (which the readers are checked against below).
TEST_F(AffMem, PackersMatchTheLayoutAndReadBack)
{
    AffImage img = image(3, {block(AFF_BLOCK_TI, 2048, 512, 20304005)});
    img.legacyWord = 0x1234;
    img.blocks[0].imageSize = 2000;
    img.blocks[0].aux0 = 1;
    img.blocks[0].aux2 = 0xFFFFFFFFu;
    img.blocks[0].auxBytes[15] = 0xF0;
    const std::vector<uint8_t> expected = img.build();

    _tAffHeader h; // whole-record comparisons below: the padding is cleared too
    memset(&h, 0, sizeof h);
    h.usLegacyVersion = 0x1234;
    h.usVersion = 3;
    h.ulProductId = 6;
    h.ulHardwareId = 3;
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
    b.ulAux2 = 0xFFFFFFFFu;
    b.aubAux[15] = 0xF0;

    std::vector<uint8_t> bytes = expected;
    memset(bytes.data(), 0xEE, 130 + 63);
    ASSERT_EQ(130u, affPackHeader(&h, bytes.data()));
    ASSERT_EQ(63u, affPackBlockHeader(&b, &bytes[130]));
    EXPECT_EQ(expected, bytes);
}

TEST_F(AffMem, Version3HeaderCrcAndDamage)
{
    // The smallest header: known CRC, loads at exactly 130 bytes, not at 129.
    std::vector<uint8_t> bytes(130, 0);
    bytes[2] = 3;
    bytes[126] = 0x80;
    bytes[127] = 0x89;
    use(bytes);
    _tAffHeader h;
    ASSERT_EQ(1, affReadHeader(readAffFromMem, &h));
    EXPECT_EQ(0x8980u, h.ulCrc);
    EXPECT_EQ(AFF_CHECK_OK, check());
    EXPECT_EQ(-1, find(AFF_BLOCK_HOST_UC));
    use(std::vector<uint8_t>(bytes.begin(), bytes.end() - 1));
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, affReadHeader(readAffFromMem, &h));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());

    // A flipped bit anywhere under the CRC or in it: refused without a message.
    const std::vector<uint8_t> good = image(3, {}).build();
    for (size_t offset : {0, 1, 82, 93, 109, 125, 126, 128, 129})
    {
        std::vector<uint8_t> bad = good;
        bad[offset] ^= 0x10;
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, affFileSupported(bad.data(), uint32_t(bad.size()))) << offset;
        EXPECT_EQ("", testing::internal::GetCapturedStdout()) << offset;
    }
}

TEST_F(AffMem, VersionDetection)
{
    // The first word does not matter while bytes 4 to 81 are zero.
    AffImage img = image(3, {});
    img.legacyWord = 7;
    use(img.build());
    _tAffHeader h;
    ASSERT_EQ(1, affReadHeader(readAffFromMem, &h));
    EXPECT_EQ(3, h.usVersion);
    EXPECT_EQ(7, h.usLegacyVersion);

    // A non-zero byte anywhere in 4..81 moves the version to offset 0 (here 7: unsupported);
    // version word 4 is unsupported too.
    std::vector<uint8_t> four(136, 0);
    four[2] = 4;
    for (size_t at : {4u, 50u, 81u, 0u})
    {
        std::vector<uint8_t> bytes = img.build();
        if (at)
            bytes[at] = 1;
        use(at ? bytes : four);
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, affReadHeader(readAffFromMem, &h)) << at;
        EXPECT_EQ(kUnsupported, testing::internal::GetCapturedStdout()) << at;
    }

    // Version word flipped from 3 to 2: read as version 2, no CRC test.
    std::vector<uint8_t> two = image(3, {}).build();
    two[2] = 2;
    use(two);
    ASSERT_EQ(1, affReadHeader(readAffFromMem, &h));
    EXPECT_EQ(2, h.usVersion);
}

TEST_F(AffMem, LegacyHeadersAndBlockVersionsByType)
{
    for (uint16_t fmt : {1, 2})
    {
        SCOPED_TRACE(fmt);
        AffImage img = image(fmt, {block(AFF_BLOCK_DEVICE_UC, 100, 50), block(AFF_BLOCK_HOST_UC, 64, 64),
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

        // Each block's version comes from the header record of its type, all 12 date bytes.
        const struct
        {
            uint32_t code;
            std::string date;
        } versions[] = {
            {10203004, "Jan  1 2020X"},
            // Version 1 has no host record: the ids, aux word, count and IV start stand in.
            {fmt == 2 ? 20304005u : 6u, fmt == 2 ? "Jan  4 2020W" : std::string((char *)&bytes[56], 12)},
            {70000, "Jan  3 2020Z"},
            {10203, "Jan  2 2020Y"}};
        uint32_t at = affGetHeaderSize(fmt);
        for (int i = 0; i < 4; i++)
        {
            _tAffBlockHeader b;
            ASSERT_EQ(at, affGetBlockStartPos(readAffFromMem, uint8_t(i)));
            ASSERT_EQ(1, affReadBlockHeader(readAffFromMem, at, &b));
            EXPECT_EQ(versions[i].code, b.sVersion.ulCode) << i;
            EXPECT_EQ(versions[i].date, std::string(b.sVersion.szDate, 12)) << i;
            at += 44 + b.ulSize; // no part CRCs in older files
        }
        uint32_t ofs = 0;
        EXPECT_EQ(3, find(AFF_BLOCK_FPGA_USERCODE, 0, &ofs));
        EXPECT_EQ(affGetBlockStartPos(readAffFromMem, 3), ofs);
        EXPECT_EQ(AFF_CHECK_OK, check());
    }
    // A block of an unknown type (no version record) hides everything behind it.
    use(image(2, {block(AFF_BLOCK_DEVICE_UC, 10, 10), block(AFF_BLOCK_TI, 10, 10),
                  block(AFF_BLOCK_HOST_UC, 10, 10)})
            .build());
    EXPECT_EQ(0, find(AFF_BLOCK_DEVICE_UC));
    EXPECT_EQ(-1, find(AFF_BLOCK_HOST_UC));
    EXPECT_EQ(0u, affGetBlockStartPos(readAffFromMem, 2));
    uint8_t bad = 0xEE;
    EXPECT_EQ(AFF_CHECK_BAD_BLOCK_HEADER, check(&bad));
    EXPECT_EQ(1, bad);
}

TEST_F(AffMem, PartSizeZeroOrAboveTheBufferMakesTheBlockUnreadable)
{
    for (uint16_t fmt : {2, 3})
        for (uint32_t partSize : {0u, uint32_t(AFF_MAX_PART_SIZE + 1), 0xFFFFFFFFu})
        {
            SCOPED_TRACE(std::to_string(fmt) + "/" + std::to_string(partSize));
            AffImage img = image(fmt, {block(AFF_BLOCK_DEVICE_UC, 32, 16), block(AFF_BLOCK_HOST_UC, 64, 16),
                                       block(AFF_BLOCK_ESP_FLASH, 32, 16)});
            img.blocks[1].partSize = partSize;
            use(img.build());
            _tAffBlockHeader b;
            EXPECT_EQ(0, affReadBlockHeader(readAffFromMem, uint32_t(affImageBlockOffset(img, 1)), &b));
            EXPECT_EQ(-1, find(AFF_BLOCK_HOST_UC));
            EXPECT_EQ(-1, find(AFF_BLOCK_ESP_FLASH));
            uint8_t bad = 0xEE;
            EXPECT_EQ(AFF_CHECK_BAD_BLOCK_HEADER, check(&bad));
            EXPECT_EQ(1, bad);
        }
    use(image(3, {block(AFF_BLOCK_HOST_UC, AFF_MAX_PART_SIZE, AFF_MAX_PART_SIZE)}).build());
    EXPECT_EQ(AFF_CHECK_OK, check()) << "the largest part size is accepted";
}

TEST_F(AffMem, IntegrityCheckNamesTheFirstProblem)
{
    AffImage img = image(3, {block(AFF_BLOCK_HOST_UC, 256, 128), block(AFF_BLOCK_DEVICE_UC, 256, 128),
                             block(AFF_BLOCK_TI, 256, 128)});
    const std::vector<uint8_t> good = img.build();
    uint8_t bad = 0xEE;
    use(good);
    EXPECT_EQ(AFF_CHECK_OK, check(&bad));
    EXPECT_EQ(0xEE, bad) << "untouched on success";
    // A file size the caller states smaller than the blocks need.
    EXPECT_EQ(AFF_CHECK_BLOCK_OUTSIDE_FILE,
              affCheckIntegrity(readAffFromMem, uint32_t(good.size() - 1), &bad));
    EXPECT_EQ(2, bad);
    EXPECT_EQ(AFF_CHECK_BAD_HEADER, affCheckIntegrity(readAffFromMem, 129, &bad));

    std::vector<uint8_t> damaged = good;
    damaged[affImageBlockOffset(img, 1) + 5] ^= 0x40; // block 1's size field
    use(damaged);
    EXPECT_EQ(AFF_CHECK_BAD_BLOCK_HEADER, check(&bad));
    EXPECT_EQ(1, bad);

    img.blockCountOverride = 4; // more blocks counted than present
    use(img.build());
    EXPECT_EQ(AFF_CHECK_BAD_BLOCK_HEADER, check(&bad));
    EXPECT_EQ(3, bad);

    // A block whose stated size runs past the end of the file (and past 4 GiB).
    for (int64_t size : {int64_t(100000), int64_t(0xFFFFFF00u)})
    {
        AffImage huge = image(3, {block(AFF_BLOCK_HOST_UC, 128, 128), block(AFF_BLOCK_DEVICE_UC, 128, 128)});
        huge.blocks[1].sizeOverride = size;
        use(huge.build());
        EXPECT_EQ(AFF_CHECK_BLOCK_OUTSIDE_FILE, check(&bad));
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
        AffImage img = image(fmt, {block(AFF_BLOCK_HOST_UC, 96, 32), block(AFF_BLOCK_ESP_FLASH, 0, 32),
                                   block(AFF_BLOCK_DEVICE_UC, 64, 32)});
        const std::vector<uint8_t> whole = img.build();
        for (size_t n = 0; n <= whole.size(); n++)
        {
            SCOPED_TRACE(std::to_string(fmt) + "/" + std::to_string(n));
            use(std::vector<uint8_t>(whole.begin(), whole.begin() + n));
            testing::internal::CaptureStdout();
            uint8_t ok = affFileSupported(file.empty() ? nullptr : file.data(), uint32_t(n));
            uint8_t integrity = check();
            int16_t found = find(AFF_BLOCK_DEVICE_UC);
            uint32_t start = affGetBlockStartPos(readAffFromMem, 2);
            testing::internal::GetCapturedStdout();
            EXPECT_EQ(n >= affGetHeaderSize(fmt) ? 1 : 0, ok);
            EXPECT_EQ(n == whole.size(), integrity == AFF_CHECK_OK);
            EXPECT_EQ(n >= affImageBlockOffset(img, 2) + affGetBlockHeaderSize(fmt) ? 2 : -1, found);
            EXPECT_EQ(n >= affImageBlockOffset(img, 1) + affGetBlockHeaderSize(fmt)
                          ? affImageBlockOffset(img, 2)
                          : 0,
                      start);
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
