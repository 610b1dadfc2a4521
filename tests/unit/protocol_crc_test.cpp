#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

#include "protocol/crc.h"
#include "tests/support/aff_image.h"

namespace
{

const uint8_t *bytes(const char *text)
{
    return reinterpret_cast<const uint8_t *>(text);
}

// Check values of "123456789" and other short inputs in every form, then every table entry
// against the bitwise forms (affImageCrc is the container's CRC written bit by bit).
TEST(Crc, Values)
{
    const uint8_t *p = bytes("123456789");
    std::vector<uint8_t> big(40000);
    for (size_t i = 0; i < big.size(); i++)
        big[i] = uint8_t(i ^ (i >> 7));
    const std::tuple<const char *, uint32_t, uint32_t> rows[] = {
        // name, result, expected
        {"packet", crc16(CRC16_POLY, CRC16_INIT_PACKET, p, 9), 0x31C3},
        {"aff", crc16(CRC16_POLY, CRC16_INIT_AFF, p, 9), 0x29B1},
        {"abc", crc16(CRC16_POLY, CRC16_INIT_AFF, bytes("abc"), 3), 0x514A},
        {"empty", crc16(CRC16_POLY, CRC16_INIT_AFF, p, 0), 0xFFFF},
        {"other poly", crc16(0x8005, 0, p, 9), 0xFEE8},
        {"multiple one piece", crc16Multiple(CRC16_POLY, CRC16_INIT_AFF, 1, p, (uint32_t)9), 0x29B1},
        {"multiple no piece", crc16Multiple(CRC16_POLY, 0x1234, 0), 0x1234},
        {"multiple chained", crc16Multiple(CRC16_POLY, 0, 2, p, (uint32_t)4, p + 4, (uint32_t)5), 0x31C3},
        {"piece over 32767 bytes", crc16Multiple(CRC16_POLY, 0xFFFF, 1, big.data(), (uint32_t)40000),
         testsupport::affImageCrc(big.data(), 40000)},
        {"swapped", CRC_16(p, 9), 0xB129},
        {"swapped from 0", CRC_16_init(p, 9, 0), 0xC331},
        {"swapped empty", CRC_16(nullptr, 0), 0xFFFF},
        {"crc8", CRC_8(p, 9), 0xF7},
        {"crc8 null", CRC_8(nullptr, 9), 0xFF},
        {"adsb", crcAdsb(p, 9), 0x054268},
        {"adsb empty", crcAdsb(nullptr, 0), 0},
    };
    for (const auto &[name, got, expected] : rows)
        EXPECT_EQ(expected, got) << name;
    for (unsigned i = 0; i < 256; i++)
    {
        const uint8_t b = uint8_t(i), inv = uint8_t(i ^ 0xFF);
        const uint16_t bitwise = testsupport::affImageCrc(&b, 1);
        ASSERT_EQ(bitwise, crc16(CRC16_POLY, 0xFFFF, &b, 1)) << i;
        ASSERT_EQ(uint16_t((bitwise << 8) | (bitwise >> 8)), CRC_16(&b, 1)) << i;
        uint8_t crc8 = uint8_t(i);
        for (int bit = 0; bit < 8; bit++)
            crc8 = uint8_t((crc8 & 0x80) ? (crc8 << 1) ^ 0x31 : crc8 << 1);
        ASSERT_EQ(crc8, CRC_8(&inv, 1)) << i;
    }
}

// One wrong bit anywhere (first, middle, last) is repaired; two are not and stay.
TEST(Crc, AdsbRepairsOneBitOnly)
{
    uint8_t msg[9];
    const uint32_t parity = crcAdsb(bytes("123456789"), 9);
    for (unsigned bit : {0u, 13u, 71u})
    {
        memcpy(msg, "123456789", 9);
        msg[bit / 8] ^= uint8_t(1u << (bit % 8));
        EXPECT_EQ(1, crcAdsbTryCorrectData(parity, msg, 9)) << bit;
        EXPECT_EQ(0, memcmp(msg, "123456789", 9)) << bit;
    }
    msg[0] ^= 0x01;
    msg[5] ^= 0x10;
    EXPECT_EQ(0, crcAdsbTryCorrectData(parity, msg, 9));
    EXPECT_EQ(0, memcmp(msg, "02345&789", 9));
}

} // namespace
