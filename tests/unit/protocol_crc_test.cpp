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

uint32_t swap16(uint32_t v)
{
    return ((v & 0xFF) << 8) | ((v >> 8) & 0xFF);
}

// Published check values of "123456789" and other short inputs, every form.
TEST(Crc, CheckValues)
{
    const uint8_t *p = bytes("123456789");
    struct Row
    {
        const char *name;
        uint32_t got, expected;
    } const rows[] = {
        {"crc16 packet", crc16(CRC16_POLY, CRC16_INIT_PACKET, p, 9), 0x31C3},
        {"crc16 aff", crc16(CRC16_POLY, CRC16_INIT_AFF, p, 9), 0x29B1},
        {"crc16 abc", crc16(CRC16_POLY, CRC16_INIT_AFF, bytes("abc"), 3), 0x514A},
        {"crc16 empty", crc16(CRC16_POLY, CRC16_INIT_AFF, p, 0), 0xFFFF},
        {"crc16 other poly", crc16(0x8005, 0, p, 9), 0xFEE8},
        {"multiple one piece", crc16Multiple(CRC16_POLY, CRC16_INIT_AFF, 1, p, (uint32_t)9), 0x29B1},
        {"multiple no piece", crc16Multiple(CRC16_POLY, 0x1234, 0), 0x1234},
        {"multiple chained", crc16Multiple(CRC16_POLY, 0, 2, p, (uint32_t)4, p + 4, (uint32_t)5), 0x31C3},
        {"chained", crc16(CRC16_POLY, (uint16_t)crc16(CRC16_POLY, 0, p, 4), p + 4, 5), 0x31C3},
        {"swapped", CRC_16(p, 9), 0xB129},
        {"swapped from 0", CRC_16_init(p, 9, 0), 0xC331},
        {"swapped empty", CRC_16(nullptr, 0), 0xFFFF},
        {"crc8", CRC_8(p, 9), 0xF7},
        {"crc8 empty", CRC_8(nullptr, 9), 0xFF},
        {"adsb", crcAdsb(p, 9), 0x054268},
        {"adsb empty", crcAdsb(nullptr, 0), 0},
    };
    for (const Row &r : rows)
        EXPECT_EQ(r.expected, r.got) << r.name;
}

// Every table entry against the independent bitwise forms, from several starts.
TEST(Crc, EveryByteAgreesWithTheBitwiseForms)
{
    for (uint16_t init : {0x0000, 0xFFFF, 0x1234, 0x8001})
        for (int value = 0; value < 256; ++value)
        {
            const uint8_t b = static_cast<uint8_t>(value);
            ASSERT_EQ(crc16(CRC16_POLY, init, &b, 1), swap16(CRC_16_init(&b, 1, (uint16_t)swap16(init))))
                << init << " " << value;
        }
    for (unsigned i = 0; i < 256; i++)
    {
        uint8_t expected = static_cast<uint8_t>(i);
        for (int bit = 0; bit < 8; bit++)
            expected = static_cast<uint8_t>((expected & 0x80) ? (expected << 1) ^ 0x31 : expected << 1);
        uint8_t b = static_cast<uint8_t>(i ^ 0xFF);
        ASSERT_EQ(expected, CRC_8(&b, 1)) << i;
    }
}

TEST(Crc, LongPiecesContinueInChunks)
{
    std::vector<uint8_t> data(40000);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i ^ (i >> 7));
    uint32_t split = crc16Multiple(CRC16_POLY, 0xFFFF, 2, data.data(), (uint32_t)20000, data.data() + 20000,
                                   (uint32_t)20000);
    EXPECT_EQ(split, crc16Multiple(CRC16_POLY, 0xFFFF, 1, data.data(), (uint32_t)40000));
}

// One wrong bit anywhere (first, middle, last) is repaired; two are not and stay.
TEST(Crc, AdsbRepairsOneBitOnly)
{
    uint8_t msg[9];
    const uint32_t parity = crcAdsb(bytes("123456789"), 9);
    for (unsigned bit : {0u, 13u, 71u})
    {
        memcpy(msg, "123456789", 9);
        msg[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_EQ(1, crcAdsbTryCorrectData(parity, msg, 9)) << bit;
        EXPECT_EQ(0, memcmp(msg, "123456789", 9)) << bit;
    }
    msg[0] ^= 0x01;
    msg[5] ^= 0x10;
    EXPECT_EQ(0, crcAdsbTryCorrectData(parity, msg, 9));
    EXPECT_EQ(0, memcmp(msg, "02345&789", 9));
}

} // namespace
