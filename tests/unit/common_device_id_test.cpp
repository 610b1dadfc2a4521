#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <utility>

#include "common/device_id.h"

namespace
{

struct PairCase
{
    uint32_t hw;
    uint32_t pr;
    uint32_t dev;
};

TEST(DeviceId, PairLookupHardwareFirst)
{
    const PairCase cases[] = {
        {0, 0, 0},
        {3, 6, 8},
        {16, 14, 24},
        {34, 33, 43},
        {6, 3, ID_NOT_FOUND},   // swapped arguments of row 7
        {19, 19, ID_NOT_FOUND}, // no model has hardware id 19
        {0, 3, ID_NOT_FOUND},
        {0xFFFFFFFF, 0xFFFFFFFF, ID_NOT_FOUND},
    };
    for (const PairCase &c : cases)
    {
        EXPECT_EQ(c.dev, idHwPrToDev(c.hw, c.pr)) << c.hw << "/" << c.pr;
        EXPECT_EQ(c.dev, c_idHwPrToDev(c.hw, c.pr)) << c.hw << "/" << c.pr;
    }
}

TEST(DeviceId, EveryRowIsFoundByItsOwnPairAndPairsAreUnique)
{
    std::set<std::pair<uint32_t, uint32_t>> pairs;
    std::set<std::string> names;
    for (uint32_t dev = 0; dev < ID_DEVICE_COUNT; dev++)
    {
        uint32_t hw = idGetHwIdForDev(dev);
        uint32_t pr = idGetPrIdForDev(dev);
        ASSERT_LE(hw, 34u);
        ASSERT_LE(pr, 33u);
        EXPECT_NE(19u, hw);
        EXPECT_NE(5u, pr);
        EXPECT_EQ(dev, idHwPrToDev(hw, pr));
        EXPECT_TRUE(pairs.insert({hw, pr}).second);
        const char *name = idGetNameForDev(dev);
        ASSERT_NE(nullptr, name);
        EXPECT_GT(strlen(name), 0u);
        EXPECT_TRUE(names.insert(name).second) << name;
        EXPECT_NE(nullptr, idGetAesForDevId(dev));
    }
}

TEST(DeviceId, AccessorsRefuseIndexesPastTheTables)
{
    EXPECT_EQ(34u, idGetHwIdForDev(43));
    EXPECT_EQ(33u, idGetPrIdForDev(43));
    for (uint32_t dev : {44u, 0xFFFFFFFFu})
    {
        EXPECT_EQ(ID_NOT_FOUND, idGetHwIdForDev(dev));
        EXPECT_EQ(ID_NOT_FOUND, idGetPrIdForDev(dev));
        EXPECT_EQ(nullptr, idGetNameForDev(dev));
        EXPECT_EQ(nullptr, idGetAesForDevId(dev));
    }
    EXPECT_EQ(nullptr, idHardwareToComponents(35));
    EXPECT_STREQ("TEST", idGetCurrentDevName()); // this build's device is row 0
    EXPECT_EQ(idGetAesForDevId(0), idGetCurrentAes());
}

TEST(DeviceId, HardwareComponentFlags)
{
    struct
    {
        uint32_t hw;
        uint8_t flags[4];
    } const cases[] = {
        {0, {1, 1, 1, 0}},  {13, {1, 1, 1, 0}}, {1, {0, 0, 1, 0}},  {12, {0, 0, 1, 0}}, {2, {0, 1, 1, 0}},
        {17, {0, 1, 1, 0}}, {23, {0, 1, 1, 1}}, {24, {0, 1, 1, 1}}, {18, {0, 0, 0, 0}}, {34, {0, 0, 0, 0}},
    };
    for (const auto &c : cases)
    {
        const uint8_t *row = idHardwareToComponents(c.hw);
        ASSERT_NE(nullptr, row) << c.hw;
        EXPECT_EQ(0, memcmp(c.flags, row, 4)) << c.hw;
    }
}

} // namespace
