#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <tuple>

#include "common/device_id.h"
#include "common/version.h"

namespace
{

TEST(DeviceId, Lookups)
{
    const uint32_t none = ID_NOT_FOUND;
    const std::tuple<uint32_t, uint32_t, uint32_t> pairs[] = {{0, 0, 0},    {3, 6, 8},    {16, 14, 24},
                                                              {34, 33, 43}, {6, 3, none}, {0, 3, none}};
    for (const auto &[hw, pr, dev] : pairs)
        EXPECT_EQ(std::make_pair(dev, dev), std::make_pair(idHwPrToDev(hw, pr), c_idHwPrToDev(hw, pr))) << hw;
    // Every row is found by its own pair (so pairs are unique) and has its own name and a key.
    std::set<std::string> names;
    for (uint32_t dev = 0; dev < ID_DEVICE_COUNT; dev++)
    {
        EXPECT_EQ(dev, idHwPrToDev(idGetHwIdForDev(dev), idGetPrIdForDev(dev)));
        EXPECT_TRUE(names.insert(idGetNameForDev(dev)).second && idGetAesForDevId(dev) != nullptr) << dev;
    }
    EXPECT_EQ(
        std::make_tuple(ID_NOT_FOUND, ID_NOT_FOUND, (const char *)nullptr, (const uint8_t *)nullptr),
        std::make_tuple(idGetHwIdForDev(44), idGetPrIdForDev(44), idGetNameForDev(44), idGetAesForDevId(44)));
    EXPECT_STREQ("TEST", idGetCurrentDevName()); // this build's device is row 0
    EXPECT_EQ(std::make_pair(0u, idGetAesForDevId(0)), std::make_pair(idGetCurrentDev(), idGetCurrentAes()));
    // The components of each hardware id: device controller, FPGA, Wi-Fi, TI.
    const std::pair<uint32_t, std::string> hardware[] = {
        {0, "1110"},  {13, "1110"}, {1, "0010"},  {12, "0010"}, {2, "0110"},   {17, "0110"},
        {23, "0111"}, {24, "0111"}, {18, "0000"}, {34, "0000"}, {35, "absent"}};
    for (const auto &[hw, flags] : hardware)
    {
        const uint8_t *row = idHardwareToComponents(hw);
        std::string got = row ? "" : "absent";
        for (int i = 0; row && i < 4; i++)
            got += char('0' + row[i]);
        EXPECT_EQ(flags, got) << hw;
    }
}

TEST(Version, TextAndRecord)
{
    // code, its three-part and four-part text
    const std::pair<uint32_t, std::string> rows[] = {{10203, "1.2.3 0.0.10.203"},
                                                     {1234567, "23.45.67 0.12.34.567"},
                                                     {4294967295u, "96.72.95 29.49.67.295"},
                                                     {999999999, "99.99.99 99.99.99.999"}};
    for (const auto &[code, text] : rows)
    {
        char a[VERSION_TEXT_SIZE], b[VERSION_TEXT_SIZE];
        memset(a, 'x', sizeof a);
        memset(b, 'x', sizeof b);
        const uint8_t lengthA = versionMajMinFix(a, code), lengthB = versionMajMinFixBuild(b, code);
        EXPECT_EQ(text, std::string(a) + " " + b);
        EXPECT_EQ(text, std::string(a, lengthA) + " " + std::string(b, lengthB));
    }
    // A record is the code little-endian and twelve text bytes, carried as they are.
    _tVersion v{0x41424344, {}}, back;
    memcpy(v.szDate, "Aug  9 2024Z", 12);
    uint8_t bytes[VERSION_RECORD_SIZE + 1];
    memset(bytes, 0xEE, sizeof bytes);
    versionToBytes(&v, bytes);
    EXPECT_EQ(std::string("DCBAAug  9 2024Z\xEE"), std::string((const char *)bytes, sizeof bytes));
    memset(&back, 0x55, sizeof back);
    versionFromBytes(&back, bytes);
    EXPECT_EQ(0, memcmp(&v, &back, sizeof v));
}

} // namespace
