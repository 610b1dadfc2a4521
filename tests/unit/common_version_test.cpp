#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/version.h"

namespace
{

struct VersionTextCase
{
    uint32_t code;
    const char *threePart;
    const char *fourPart;
};

class VersionText : public ::testing::TestWithParam<VersionTextCase>
{
};

TEST_P(VersionText, BothFormsAndTheirLengths)
{
    const VersionTextCase &c = GetParam();
    char buf[VERSION_TEXT_SIZE];

    memset(buf, 'x', sizeof buf);
    uint8_t len = versionMajMinFix(buf, c.code);
    EXPECT_STREQ(c.threePart, buf);
    EXPECT_EQ(strlen(c.threePart), len);

    memset(buf, 'x', sizeof buf);
    len = versionMajMinFixBuild(buf, c.code);
    EXPECT_STREQ(c.fourPart, buf);
    EXPECT_EQ(strlen(c.fourPart), len);
}

INSTANTIATE_TEST_SUITE_P(Codes, VersionText,
                         ::testing::Values(VersionTextCase{0, "0.0.0", "0.0.0.0"},
                                           VersionTextCase{10700000, "70.0.0", "1.7.0.0"},
                                           VersionTextCase{10203004, "20.30.4", "1.2.3.4"},
                                           VersionTextCase{10203, "1.2.3", "0.0.10.203"},
                                           VersionTextCase{1234567, "23.45.67", "0.12.34.567"},
                                           VersionTextCase{4294967295u, "96.72.95", "29.49.67.295"},
                                           VersionTextCase{999999999, "99.99.99", "99.99.99.999"}));

TEST(VersionRecord, BytesRoundTripLittleEndianWithTwelveTextBytes)
{
    _tVersion v{};
    v.ulCode = 0x01020304;
    memcpy(v.szDate, "Aug  9 2024", 12);

    uint8_t bytes[VERSION_RECORD_SIZE + 1];
    memset(bytes, 0xEE, sizeof bytes);
    versionToBytes(&v, bytes);
    const uint8_t expected[VERSION_RECORD_SIZE] = {0x04, 0x03, 0x02, 0x01, 'A', 'u', 'g', ' ',
                                                   ' ',  '9',  ' ',  '2',  '0', '2', '4', 0};
    EXPECT_EQ(0, memcmp(expected, bytes, VERSION_RECORD_SIZE));
    EXPECT_EQ(0xEE, bytes[VERSION_RECORD_SIZE]) << "writes exactly one record";

    // The twelfth text byte is carried as it is, even when it is not zero.
    bytes[15] = 'Z';
    _tVersion back;
    memset(&back, 0x55, sizeof back);
    versionFromBytes(&back, bytes);
    EXPECT_EQ(0x01020304u, back.ulCode);
    EXPECT_EQ(0, memcmp("Aug  9 2024Z", back.szDate, 12));
}

} // namespace
