#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/crc.h"

namespace
{

const uint8_t *bytes(const char *text)
{
    return reinterpret_cast<const uint8_t *>(text);
}

TEST(Crc16, CheckValues)
{
    struct Case
    {
        const char *text;
        uint16_t init;
        uint32_t expected;
    } const cases[] = {
        {"123456789", CRC16_INIT_PACKET, 0x31C3},
        {"123456789", CRC16_INIT_AFF, 0x29B1},
        {"abc", CRC16_INIT_AFF, 0x514A},
        {"", CRC16_INIT_AFF, 0xFFFF},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.text);
        auto n = static_cast<int16_t>(strlen(c.text));
        EXPECT_EQ(c.expected, crc16(CRC16_POLY, c.init, bytes(c.text), n));
        EXPECT_EQ(c.expected, crc16Multiple(CRC16_POLY, c.init, 1, bytes(c.text), static_cast<uint32_t>(n)));
    }
    EXPECT_EQ(0x1234u, crc16Multiple(CRC16_POLY, 0x1234, 0));
}

TEST(Crc16, ChainingAndLongPieces)
{
    uint32_t first = crc16(CRC16_POLY, 0, bytes("1234"), 4);
    EXPECT_EQ(0x31C3u, crc16(CRC16_POLY, static_cast<uint16_t>(first), bytes("56789"), 5));
    EXPECT_EQ(0x31C3u,
              crc16Multiple(CRC16_POLY, 0, 2, bytes("1234"), (uint32_t)4, bytes("56789"), (uint32_t)5));

    // A piece longer than one crc16 call continues in chunks.
    std::vector<uint8_t> data(40000);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i ^ (i >> 7));
    uint32_t split = crc16Multiple(CRC16_POLY, 0xFFFF, 2, data.data(), (uint32_t)20000, data.data() + 20000,
                                   (uint32_t)20000);
    EXPECT_EQ(split, crc16Multiple(CRC16_POLY, 0xFFFF, 1, data.data(), (uint32_t)40000));
}

TEST(Crc16Swapped, CheckValues)
{
    EXPECT_EQ(0xB129, CRC_16(bytes("123456789"), 9));
    EXPECT_EQ(0xC331, CRC_16_init(bytes("123456789"), 9, 0));
    EXPECT_EQ(0xFFFF, CRC_16(nullptr, 0));
    // Equal to the byte-swapped bitwise CRC from the byte-swapped start value.
    uint16_t swapped = CRC_16_init(bytes("abc"), 3, 0x3412);
    uint32_t plain = crc16(CRC16_POLY, 0x1234, bytes("abc"), 3);
    EXPECT_EQ(plain, static_cast<uint32_t>(((swapped & 0xFF) << 8) | (swapped >> 8)));
}

TEST(Crc16, EveryByteAgreesWithTheSwappedByteWiseForm)
{
    // The 0x1021 polynomial goes through a table: each of its entries is checked
    // against the independent byte-wise form, from several start values.
    for (uint16_t init : {0x0000, 0xFFFF, 0x1234, 0x8001})
    {
        const uint16_t initSwapped = static_cast<uint16_t>((init << 8) | (init >> 8));
        for (int value = 0; value < 256; ++value)
        {
            const uint8_t byte = static_cast<uint8_t>(value);
            const uint16_t swapped = CRC_16_init(&byte, 1, initSwapped);
            ASSERT_EQ(crc16(CRC16_POLY, init, &byte, 1),
                      static_cast<uint32_t>(((swapped & 0xFF) << 8) | (swapped >> 8)))
                << "init " << init << " byte " << value;
        }
    }
    // Other polynomials are still computed: CRC-16/UMTS (0x8005, start 0).
    EXPECT_EQ(0xFEE8u, crc16(0x8005, 0, bytes("123456789"), 9));
}

TEST(Crc8, CheckValuesAndWholeTable)
{
    EXPECT_EQ(0xF7, CRC_8(bytes("123456789"), 9));
    EXPECT_EQ(0xFF, CRC_8(nullptr, 9));
    // CRC_8 of one byte b from 0xFF is table[0xFF ^ b]; check every entry against the rule.
    for (unsigned i = 0; i < 256; i++)
    {
        uint8_t expected = static_cast<uint8_t>(i);
        for (int bit = 0; bit < 8; bit++)
            expected = static_cast<uint8_t>((expected & 0x80) ? (expected << 1) ^ 0x31 : expected << 1);
        uint8_t b = static_cast<uint8_t>(i ^ 0xFF);
        ASSERT_EQ(expected, CRC_8(&b, 1)) << "entry " << i;
    }
}

TEST(CrcAdsb, ParityAndSingleBitRepair)
{
    EXPECT_EQ(0x054268u, crcAdsb(bytes("123456789"), 9));
    EXPECT_EQ(0u, crcAdsb(nullptr, 0));

    uint8_t msg[9];
    memcpy(msg, "123456789", 9);
    const uint32_t parity = crcAdsb(msg, 9);

    for (unsigned bit : {0u, 13u, 71u})
    {
        SCOPED_TRACE(bit);
        memcpy(msg, "123456789", 9);
        msg[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_EQ(1, crcAdsbTryCorrectData(parity, msg, 9));
        EXPECT_EQ(0, memcmp(msg, "123456789", 9));
    }

    // Two wrong bits cannot be repaired; the data is left as it was.
    msg[0] ^= 0x01;
    msg[5] ^= 0x10;
    EXPECT_EQ(0, crcAdsbTryCorrectData(parity, msg, 9));
    EXPECT_EQ(0, memcmp(msg, "02345&789", 9));
}

} // namespace
