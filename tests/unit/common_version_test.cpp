#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/version.h"

namespace
{

TEST(VersionText, BothFormsAndTheirLengths)
{
    const struct
    {
        uint32_t code;
        const char *threePart, *fourPart;
    } cases[] = {
        {0, "0.0.0", "0.0.0.0"},
        {10700000, "70.0.0", "1.7.0.0"},
        {10203, "1.2.3", "0.0.10.203"},
        {1234567, "23.45.67", "0.12.34.567"},
        {4294967295u, "96.72.95", "29.49.67.295"},
        {999999999, "99.99.99", "99.99.99.999"},
    };
    for (const auto &c : cases)
    {
        char buf[VERSION_TEXT_SIZE];
        memset(buf, 'x', sizeof buf);
        EXPECT_EQ(strlen(c.threePart), versionMajMinFix(buf, c.code));
        EXPECT_STREQ(c.threePart, buf);
        memset(buf, 'x', sizeof buf);
        EXPECT_EQ(strlen(c.fourPart), versionMajMinFixBuild(buf, c.code));
        EXPECT_STREQ(c.fourPart, buf);
    }
}

TEST(VersionRecord, BytesRoundTripLittleEndianWithTwelveTextBytes)
{
    _tVersion v{};
    v.ulCode = 0x01020304;
    memcpy(v.szDate, "Aug  9 2024", 12);
    uint8_t bytes[VERSION_RECORD_SIZE + 1];
    memset(bytes, 0xEE, sizeof bytes);
    versionToBytes(&v, bytes);
    const uint8_t expected[VERSION_RECORD_SIZE + 1] = {4,   3,   2,   1,   'A', 'u', 'g', ' ', ' ',
                                                       '9', ' ', '2', '0', '2', '4', 0,   0xEE};
    EXPECT_EQ(0, memcmp(expected, bytes, sizeof bytes)) << "exactly one record";

    bytes[15] = 'Z'; // the twelfth text byte is carried as it is
    _tVersion back;
    memset(&back, 0x55, sizeof back);
    versionFromBytes(&back, bytes);
    EXPECT_EQ(0x01020304u, back.ulCode);
    EXPECT_EQ(0, memcmp("Aug  9 2024Z", back.szDate, 12));
}

} // namespace
