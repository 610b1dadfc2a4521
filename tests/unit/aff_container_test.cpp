#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "aff/aff_container.h"
#include "aff/aff_presence.h"
#include "tests/support/aff_image.h"

using testsupport::AffImage;
using testsupport::AffImageBlock;
using testsupport::affImageBlockOffset;
using testsupport::AffImageVersion;
using Bytes = std::vector<uint8_t>;

namespace
{

Bytes file; // the registered copy, exactly sized so that ASan sees any read past its end

void use(const Bytes &bytes)
{
    file = bytes;
    file.shrink_to_fit();
    affSetMemFile(file.empty() ? nullptr : file.data(), uint32_t(file.size()));
}
AffImageBlock block(uint32_t type, size_t size, uint32_t partSize, uint32_t code = 0)
{
    return {type, testsupport::affImagePattern(size, uint8_t(type)), partSize, -1, 0, {code, "Feb 29 2024"}};
}

AffImage image(uint16_t fmt, std::vector<AffImageBlock> blocks)
{
    AffImage img;
    std::tie(img.formatVersion, img.legacyWord, img.productId, img.hardwareId, img.auxWord) =
        std::make_tuple(fmt, 0x1234, 6, 3, 0xA5A5A5A5); // the word at 0 is read from version 3 only
    img.fileVersion = {10700000, "Aug  9 2024"};
    for (int i = 0; i < 16; i++)
        img.iv[i] = uint8_t(0xA0 + i);
    img.deviceUc = {10203004, "Jan  1 2020X"}; // versions 1 and 2 keep the components' versions here
    img.fpga = {10203, "Jan  2 2020Y"};
    img.wifi = {70000, "Jan  3 2020Z"};
    img.hostUc = {20304005, "Jan  4 2020W"};
    img.blocks = std::move(blocks);
    return img;
}

// The header and block header fields of every format; each block's version comes from its own
// header (version 3) or from the file header's record of its type (all 12 date bytes). The
// version-3 packers write the bytes back, with their own CRCs and without the twelfth date byte.
TEST(AffContainer, HeadersOfEveryFormat)
{
    for (uint16_t fmt : {1, 2, 3})
    {
        SCOPED_TRACE(fmt);
        AffImage img =
            image(fmt, {block(AFF_BLOCK_DEVICE_UC, 100, 50, 11), block(AFF_BLOCK_HOST_UC, 64, 64, 12),
                        block(AFF_BLOCK_ESP_RAM, 10, 10, 13), block(AFF_BLOCK_FPGA_USERCODE, 16, 16, 14)});
        AffImageBlock &b0 = img.blocks[0];
        std::tie(b0.imageSize, b0.aux0, b0.aux1, b0.aux2, b0.auxBytes[15]) =
            std::make_tuple(90, 1, 2, ~0u, 0xF0);
        const Bytes bytes = img.build();
        use(bytes);
        _tAffHeader h;
        ASSERT_EQ(1, affReadHeader(readAffFromMem, &h));
        EXPECT_EQ(std::make_tuple(fmt, 6u, 3u, 0xA5A5A5A5u, 4, 0),
                  std::make_tuple(h.usVersion, h.ulProductId, h.ulHardwareId, h.ulAuxWord, h.ubBlockCount,
                                  memcmp(img.iv.data(), h.aubIv, 16)));
        const AffImageVersion *records[] = {&img.deviceUc, &img.hostUc, &img.wifi, &img.fpga};
        _tAffBlockHeader b[4];
        for (uint8_t i = 0; i < 4; i++)
        {
            auto want = fmt == 3 ? std::make_pair(11u + i, std::string("Feb 29 2024", 12))
                                 : std::make_pair(records[i]->code, records[i]->date);
            if (fmt == 1 && i == 1) // no host record: the ids, aux word, count and IV start stand in
                want = {6, std::string((const char *)&bytes[56], 12)};
            const uint32_t at = uint32_t(affImageBlockOffset(img, i));
            ASSERT_EQ(at, affGetBlockStartPos(readAffFromMem, i));
            ASSERT_EQ(1, affReadBlockHeader(readAffFromMem, at, &b[i]));
            EXPECT_EQ(want, std::make_pair(b[i].sVersion.ulCode, std::string(b[i].sVersion.szDate, 12)));
        }
        EXPECT_EQ(std::make_tuple(AFF_BLOCK_DEVICE_UC, 100u, 50u, 90u, 1u, 2u, ~0u, 0xF0),
                  std::make_tuple(b[0].ulType, b[0].ulSize, b[0].ulPartSize, b[0].ulImageSize, b[0].ulAux0,
                                  b[0].ulAux1, b[0].ulAux2, b[0].aubAux[15]));
        if (fmt != 3)
            continue;
        EXPECT_EQ(std::make_tuple(0x1234, 10700000u, std::string("Aug  9 2024", 12)),
                  std::make_tuple(h.usLegacyVersion, h.sVersion.ulCode, std::string(h.sVersion.szDate, 12)));
        Bytes packed(130 + 63, 0xEE);
        h.ulCrc = b[0].ulCrc = 0xDEADBEEF;
        h.sVersion.szDate[11] = b[0].sVersion.szDate[11] = 'Q';
        ASSERT_EQ(130u, affPackHeader(&h, packed.data()));
        ASSERT_EQ(63u, affPackBlockHeader(&b[0], &packed[130]));
        EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 130 + 63), packed);
    }
}

// Finding a block and checking the whole file, on files that go wrong in one way each: the first bad
// block is named, and nothing is found behind it, past the declared count or past the end of the file
// (read from an exactly sized copy, so that ASan sees any read past it). The version word is at offset 2
// while bytes 4 to 81 are zero, else at 0; a version-3 header must match its CRC. Damage is refused
// quietly, an unknown version with a message. (The naming of a damaged part is aff_check_test's.)
TEST(AffContainer, FindAndIntegrity)
{
    const AffImage three = image(3, {block(AFF_BLOCK_HOST_UC, 256, 128), block(AFF_BLOCK_DEVICE_UC, 256, 128),
                                     block(AFF_BLOCK_TI, 256, 128)});
    const uint32_t whole = uint32_t(three.build().size());
    const uint8_t bad = AFF_CHECK_BAD_HEADER, ok = AFF_CHECK_OK, outside = AFF_CHECK_BLOCK_OUTSIDE_FILE;
    const uint8_t badBlock = AFF_CHECK_BAD_BLOCK_HEADER;
    using Change = void (*)(AffImage &);
    // change of the file above, bytes cut off its end, byte damaged (0: none), start index, where the TI
    // block is found, check, bad block named (0xEE: untouched), message
    const std::tuple<Change, uint32_t, size_t, uint8_t, int16_t, uint8_t, uint8_t, bool> rows[] = {
        {nullptr, 0, 0, 0, 2, ok, 0xEE, false},
        {nullptr, 0, 125, 0, -1, bad, 0xEE, false},
        {nullptr, 0, 129, 0, -1, bad, 0xEE, false},
        {nullptr, 0, 2, 0, -1, bad, 0xEE, true},
        {nullptr, 0, 81, 0, -1, bad, 0xEE, true},
        {nullptr, 1, 0, 0, 2, outside, 2, false},
        {nullptr, whole - 129, 0, 0, -1, bad, 0xEE, false},
        {nullptr, 0, affImageBlockOffset(three, 1) + 5, 0, -1, badBlock, 1, false},
        {[](AffImage &i) { i.formatVersion = 1, i.blocks.clear(); }, 0, 0, 0, -1, ok, 0xEE, false},
        {[](AffImage &i) { i.blockCountOverride = 4; }, 0, 0, 0, 2, badBlock, 3, false},
        {[](AffImage &i) { i.blockCountOverride = 2; }, 0, 0, 0, -1, ok, 0xEE, false},
        {[](AffImage &i) { i.blocks[0].type = AFF_BLOCK_TI; }, 0, 0, 2, 2, ok, 0xEE, false},
        {[](AffImage &i) { i.blocks[1].sizeOverride = 100000; }, 0, 0, 0, -1, outside, 1, false},
        {[](AffImage &i) { i.blocks[1].sizeOverride = 0xFFFFFF00u; }, 0, 0, 0, -1, outside, 1, false},
        // A block of a type without a version record in an older file; part sizes of 0 or above the
        // engine's buffer make the block unreadable.
        {[](AffImage &i) { i.formatVersion = 2; }, 0, 0, 0, -1, badBlock, 2, false},
        {[](AffImage &i) { i.blocks[0].partSize = AFF_MAX_PART_SIZE; }, 0, 0, 0, 2, ok, 0xEE, false},
        {[](AffImage &i) { i.blocks[1].partSize = 0; }, 0, 0, 0, -1, badBlock, 1, false},
        {[](AffImage &i) { i.blocks[1].partSize = AFF_MAX_PART_SIZE + 1; }, 0, 0, 0, -1, badBlock, 1, false}};
    for (const auto &[change, cut, damageAt, from, found, check, named, message] : rows)
    {
        AffImage img = three;
        if (change)
            change(img);
        Bytes bytes = img.build();
        bytes.resize(bytes.size() - cut);
        if (damageAt)
            bytes[damageAt] ^= 0x40;
        use(bytes);
        uint32_t ofs = 0, size = uint32_t(bytes.size());
        uint8_t badIdx = 0xEE;
        testing::internal::CaptureStdout();
        const int16_t index = affFindBlock(readAffFromMem, AFF_BLOCK_TI, from, &ofs);
        EXPECT_EQ(message
                      ? "AFF file version not suported(File corrupted or newer version of updater needed).\n"
                      : "",
                  testing::internal::GetCapturedStdout());
        _tAffCheckResult result; // with the part CRCs of every streamed type checked too
        EXPECT_EQ(
            std::make_tuple(found, found < 0 ? 0 : affImageBlockOffset(img, found), check, named, check),
            std::make_tuple(index, size_t(ofs), affCheckIntegrity(readAffFromMem, size, &badIdx), badIdx,
                            affCheckContainer(readAffFromMem, size, AFF_STREAMED_TYPES, &result)))
            << damageAt << " " << cut;
    }
}

// Which components a file holds, with the version of the block that is sent: the FPGA needs
// all three of its blocks and takes its version from the usercode block.
TEST(AffContainer, Presence)
{
    uint8_t (*const queries[])(_tVersion *) = {
        [](_tVersion *v) { return updaterUcInFile(readAffFromMem, 0, v); },
        [](_tVersion *v) { return updaterUcInFile(readAffFromMem, 1, v); },
        [](_tVersion *v) { return updaterTiInFile(readAffFromMem, v); },
        [](_tVersion *v) { return updaterEspInFile(readAffFromMem, v); },
        [](_tVersion *v) { return updaterFpgaInFile(readAffFromMem, v); }};
    const AffImage img =
        image(3, {block(AFF_BLOCK_FPGA_NVCM0, 16, 16, 1), block(AFF_BLOCK_DEVICE_UC, 16, 16, 4),
                  block(AFF_BLOCK_FPGA_NVCM1, 16, 16, 2), block(AFF_BLOCK_FPGA_USERCODE, 16, 16, 3),
                  block(AFF_BLOCK_ESP_FLASH, 16, 16, 5), block(AFF_BLOCK_DEVICE_UC, 16, 16, 6)});
    // per query: its result without and with a version, and the version's code
    for (int file = 0; file < 3; file++)
    {
        AffImage f = img;
        if (file > 0)
            f.blocks[file * 2 - 2].type = AFF_BLOCK_TI + 1; // no NVCM0 (the first block), then no NVCM1
        use(f.build());
        std::string got;
        for (const auto &query : queries)
        {
            _tVersion v{};
            const std::string results = std::to_string(query(nullptr)) + std::to_string(query(&v));
            got += (got.empty() ? "" : " ") + results + ":" + std::to_string(v.ulCode);
        }
        EXPECT_EQ(file == 0 ? "11:4 00:0 00:0 11:5 11:3" : "11:4 00:0 00:0 11:5 00:0", got);
    }
}

TEST(AffContainer, MemoryReaderServesOnlyTheRegisteredBytes)
{
    uint8_t dest[8];
    affSetMemFile(nullptr, 100);
    EXPECT_EQ(std::make_pair(0, 0), std::make_pair(int(affHasMemFile()), int(readAffFromMem(dest, 0, 1))));
    use({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    EXPECT_EQ(1, affHasMemFile());
    // offset, length, result, bytes copied (otherwise nothing is copied, nothing zero-filled)
    const std::tuple<uint32_t, uint32_t, uint8_t, bool> rows[] = {
        {2, 8, 1, true}, {10, 0, 1, false}, {3, 8, 0, false}, {11, 0, 0, false}, {~0u, 2, 0, false}};
    for (const auto &[offset, length, result, copied] : rows)
    {
        memset(dest, 0xEE, sizeof dest);
        const uint8_t got = readAffFromMem(dest, offset, length);
        EXPECT_EQ(std::make_pair(result, copied ? Bytes{3, 4, 5, 6, 7, 8, 9, 10} : Bytes(8, 0xEE)),
                  std::make_pair(got, Bytes(dest, dest + 8)));
    }
    affSetMemFile(nullptr, 0);
}

} // namespace
