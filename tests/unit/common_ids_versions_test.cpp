#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "common/device_id.h"
#include "common/version.h"

namespace
{

TEST(DeviceId, Lookups)
{
    const struct
    {
        uint32_t hw, pr, dev;
    } pairs[] = {
        {0, 0, 0},
        {3, 6, 8},
        {16, 14, 24},
        {34, 33, 43},
        {6, 3, ID_NOT_FOUND}, // swapped
        {19, 19, ID_NOT_FOUND},
        {0, 3, ID_NOT_FOUND},
        {0xFFFFFFFF, 0xFFFFFFFF, ID_NOT_FOUND},
    };
    for (const auto &p : pairs)
    {
        EXPECT_EQ(p.dev, idHwPrToDev(p.hw, p.pr)) << p.hw << "/" << p.pr;
        EXPECT_EQ(p.dev, c_idHwPrToDev(p.hw, p.pr)) << p.hw << "/" << p.pr;
    }
    // Every row is found by its own pair (so pairs are unique) and has its own name and a key.
    std::set<std::string> names;
    for (uint32_t dev = 0; dev < ID_DEVICE_COUNT; dev++)
    {
        EXPECT_EQ(dev, idHwPrToDev(idGetHwIdForDev(dev), idGetPrIdForDev(dev)));
        EXPECT_TRUE(names.insert(idGetNameForDev(dev)).second) << dev;
        EXPECT_NE(nullptr, idGetAesForDevId(dev));
    }
    for (uint32_t dev : {44u, 0xFFFFFFFFu})
    {
        EXPECT_EQ(ID_NOT_FOUND, idGetHwIdForDev(dev));
        EXPECT_EQ(ID_NOT_FOUND, idGetPrIdForDev(dev));
        EXPECT_EQ(nullptr, idGetNameForDev(dev));
        EXPECT_EQ(nullptr, idGetAesForDevId(dev));
    }
    EXPECT_EQ(nullptr, idHardwareToComponents(35));
    EXPECT_STREQ("TEST", idGetCurrentDevName()); // this build's device is row 0
    EXPECT_EQ(0u, idGetCurrentDev());
    EXPECT_EQ(idGetAesForDevId(0), idGetCurrentAes());

    const struct
    {
        uint32_t hw;
        uint8_t flags[4];
    } hardware[] = {
        {0, {1, 1, 1, 0}},  {13, {1, 1, 1, 0}}, {1, {0, 0, 1, 0}},  {12, {0, 0, 1, 0}}, {2, {0, 1, 1, 0}},
        {17, {0, 1, 1, 0}}, {23, {0, 1, 1, 1}}, {24, {0, 1, 1, 1}}, {18, {0, 0, 0, 0}}, {34, {0, 0, 0, 0}},
    };
    for (const auto &h : hardware)
    {
        const uint8_t *row = idHardwareToComponents(h.hw);
        ASSERT_NE(nullptr, row) << h.hw;
        EXPECT_EQ(0, memcmp(h.flags, row, 4)) << h.hw;
    }
}

TEST(Version, TextAndRecord)
{
    const struct
    {
        uint32_t code;
        std::string threePart, fourPart;
    } rows[] = {
        {0, "0.0.0", "0.0.0.0"},
        {10700000, "70.0.0", "1.7.0.0"},
        {10203, "1.2.3", "0.0.10.203"},
        {1234567, "23.45.67", "0.12.34.567"},
        {4294967295u, "96.72.95", "29.49.67.295"},
        {999999999, "99.99.99", "99.99.99.999"},
    };
    for (const auto &r : rows)
    {
        char buf[VERSION_TEXT_SIZE];
        memset(buf, 'x', sizeof buf);
        EXPECT_EQ(r.threePart.size(), versionMajMinFix(buf, r.code));
        EXPECT_EQ(r.threePart, buf);
        memset(buf, 'x', sizeof buf);
        EXPECT_EQ(r.fourPart.size(), versionMajMinFixBuild(buf, r.code));
        EXPECT_EQ(r.fourPart, buf);
    }
    // A record is the code little-endian and twelve text bytes, carried as they are.
    _tVersion v{0x01020304, {}}, back;
    memcpy(v.szDate, "Aug  9 2024Z", 12);
    uint8_t bytes[VERSION_RECORD_SIZE + 1];
    memset(bytes, 0xEE, sizeof bytes);
    versionToBytes(&v, bytes);
    EXPECT_EQ(0, memcmp("\x04\x03\x02\x01"
                        "Aug  9 2024Z\xEE",
                        bytes, sizeof bytes));
    memset(&back, 0x55, sizeof back);
    versionFromBytes(&back, bytes);
    EXPECT_EQ(0x01020304u, back.ulCode);
    EXPECT_EQ(0, memcmp("Aug  9 2024Z", back.szDate, 12));
}

} // namespace
