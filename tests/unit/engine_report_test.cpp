#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "aff/aff_container.h"
#include "aff/aff_report.h"
#include "common/device_id.h"
#include "aff/aff_presence.h"
#include "tests/support/aff_image.h"

using testsupport::AffImage;
using testsupport::AffImageBlock;
using testsupport::affImageBlockOffset;

namespace
{

using Lines = std::vector<std::string>;

AffImageBlock block(uint32_t type, uint32_t code, const char *date = "Aug  9 2024")
{
    AffImageBlock b;
    b.type = type;
    b.data = testsupport::affImagePattern(64, uint8_t(type));
    b.partSize = 32;
    b.version = {code, date};
    return b;
}

AffImage image(uint32_t productId, uint32_t hardwareId, std::vector<AffImageBlock> blocks)
{
    AffImage img;
    img.productId = productId;
    img.hardwareId = hardwareId;
    img.blocks = std::move(blocks);
    return img;
}

// A reader over a vector, for running the queries and the report without the
// in-memory file registered.
std::vector<uint8_t> g_readerBytes;
uint8_t vectorReader(uint8_t *dest, uint32_t offset, uint32_t length)
{
    if (uint64_t(offset) + length > g_readerBytes.size())
        return 0;
    if (length)
        memcpy(dest, g_readerBytes.data() + offset, length);
    return 1;
}

void printLine(const char *msg, void *user)
{
    static_cast<Lines *>(user)->emplace_back(msg);
}

class Report : public ::testing::Test
{
  protected:
    Lines lines;
    std::vector<uint8_t> file;

    void TearDown() override { affSetMemFile(nullptr, 0); }

    // The report of a container, damaged at one offset when flipAt is given.
    Lines report(const AffImage &img, size_t flipAt = 0)
    {
        file = img.build();
        if (flipAt)
            file[flipAt] ^= 1;
        affSetMemFile(file.data(), uint32_t(file.size()));
        updaterPrintAffComponentsVersions(nullptr, printLine, &lines);
        return lines;
    }
};

TEST_F(Report, AllFiveComponentsInReportOrderWithTheirTextForms)
{
    AffImage img = image(6, 3,
                         {block(AFF_BLOCK_TI, 20304005, "Jan  2 2023"), block(AFF_BLOCK_DEVICE_UC, 10700000),
                          block(AFF_BLOCK_FPGA_NVCM0, 1), block(AFF_BLOCK_FPGA_NVCM1, 2),
                          block(AFF_BLOCK_FPGA_USERCODE, 10203, "Mar 15 2022"),
                          block(AFF_BLOCK_ESP_FLASH, 10700000, "Dec 24 2021"), block(AFF_BLOCK_ESP_FLASH, 99),
                          block(AFF_BLOCK_HOST_UC, 10700000)});
    const Lines expected = {
        "\nProduct/hardware ID :\nAFF: 6 / 3", "Dev ID : 8 (" + std::string(idGetNameForDev(8)) + ")",
        "\tHOST: 1.7.0.0 (Aug  9 2024)",       "\tWIFI: 70.0.0 (Dec 24 2021)",
        "\tFPGA: 1.2.3 (Mar 15 2022)",         "\t  uC: 1.7.0.0 (Aug  9 2024)",
        "\t  Ti: 2.3.4.5 (Jan  2 2023)",
    };
    EXPECT_EQ(expected, report(img));
}

TEST_F(Report, OnlyADeviceMicrocontrollerBlock)
{
    const Lines expected = {"\nProduct/hardware ID :\nAFF: 0 / 0", "Dev ID : 0 (TEST)",
                            "\t  uC: 1.7.0.0 (Aug  9 2024)"};
    EXPECT_EQ(expected, report(image(0, 0, {block(AFF_BLOCK_DEVICE_UC, 10700000)})));
}

TEST_F(Report, UnknownDeviceAndIncompleteFpga)
{
    // Product 3 on hardware 6 is row 7 swapped: no such model.
    const Lines expected = {"\nProduct/hardware ID :\nAFF: 3 / 6", "Dev ID : 4294967295 (unknown)",
                            "\tHOST: 0.0.0.1 (Aug  9 2024)"};
    EXPECT_EQ(expected, report(image(3, 6,
                                     {block(AFF_BLOCK_FPGA_NVCM0, 5), block(AFF_BLOCK_FPGA_NVCM1, 5),
                                      block(AFF_BLOCK_HOST_UC, 1)})));
}

TEST_F(Report, LegacyFileTakesVersionsFromItsHeader)
{
    AffImage img = image(1, 0, {block(AFF_BLOCK_HOST_UC, 0), block(AFF_BLOCK_ESP_FLASH, 0)});
    img.formatVersion = 2;
    img.hostUc = {20304005, "Jul  4 2019?"};
    img.wifi = {10700000, "Jul  5 2019?"};
    const Lines expected = {"\nProduct/hardware ID :\nAFF: 1 / 0",
                            "Dev ID : 1 (" + std::string(idGetNameForDev(1)) + ")",
                            "\tHOST: 2.3.4.5 (Jul  4 2019)", "\tWIFI: 70.0.0 (Jul  5 2019)"};
    EXPECT_EQ(expected, report(img));
}

TEST_F(Report, DamageHidesWhatFollowsIt)
{
    AffImage img =
        image(0, 0, {block(AFF_BLOCK_HOST_UC, 1), block(AFF_BLOCK_DEVICE_UC, 2), block(AFF_BLOCK_TI, 3)});
    // Inside block 1's version record: the blocks from there on are not listed.
    const Lines expected = {"\nProduct/hardware ID :\nAFF: 0 / 0", "Dev ID : 0 (TEST)",
                            "\tHOST: 0.0.0.1 (Aug  9 2024)"};
    EXPECT_EQ(expected, report(img, affImageBlockOffset(img, 1) + 20));
    // Inside the file header: nothing at all.
    lines.clear();
    EXPECT_TRUE(report(img, 100).empty());
}

TEST_F(Report, WithoutARegisteredFileTheTablesReaderServes)
{
    g_readerBytes = image(0, 0, {block(AFF_BLOCK_DEVICE_UC, 9)}).build();
    updaterPrintAffComponentsVersions(vectorReader, printLine, &lines);
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("\t  uC: 0.0.0.9 (Aug  9 2024)", lines[2]);

    lines.clear();
    // nothing to read: nothing printed, no crash
    updaterPrintAffComponentsVersions(nullptr, printLine, &lines);
    EXPECT_TRUE(lines.empty());
}

TEST_F(Report, ComponentLineShortAndArrowForms)
{
    _tVersion a{10700000, "Aug  9 2024"};
    _tVersion sameCode{10700000, "Jan  1 2000"};
    _tVersion b{10800001, "Sep 10 2024"};
    _tVersion unterminated{1, {}}; // exactly 11 date characters print
    memcpy(unterminated.szDate, "Oct 31 2025XYZ", 12);
    const struct
    {
        uint8_t force, threePart;
        const _tVersion *cur, *next;
        const char *line;
    } cases[] = {
        {0, 0, &a, &sameCode, "\tHOST: 1.7.0.0 (Aug  9 2024)"},
        {1, 0, &a, &a, "\tHOST: 1.7.0.0 (Aug  9 2024) -> 1.7.0.0 (Aug  9 2024)"},
        {0, 1, &a, &b, "\tHOST: 70.0.0 (Aug  9 2024) -> 80.0.1 (Sep 10 2024)"},
        {0, 1, &unterminated, &unterminated, "\tHOST: 0.0.1 (Oct 31 2025)"},
    };
    for (const auto &c : cases)
    {
        lines.clear();
        printComponentVersion(printLine, &lines, "HOST", c.force, c.threePart, c.cur, c.next);
        EXPECT_EQ(Lines{c.line}, lines);
    }
}

TEST(Presence, FirstMatchingBlocksAndAbsentOrHiddenComponents)
{
    g_readerBytes = image(0, 0,
                          {block(AFF_BLOCK_ESP_RAM, 1), block(AFF_BLOCK_ESP_FLASH, 31),
                           block(AFF_BLOCK_ESP_FLASH, 32), block(AFF_BLOCK_FPGA_NVCM0, 4),
                           block(AFF_BLOCK_FPGA_USERCODE, 6), block(AFF_BLOCK_FPGA_NVCM1, 5)})
                        .build();
    _tVersion v{};
    EXPECT_EQ(1, updaterEspInFile(vectorReader, &v));
    EXPECT_EQ(31u, v.ulCode) << "the first type-3 block";
    EXPECT_EQ(1, updaterFpgaInFile(vectorReader, &v));
    EXPECT_EQ(6u, v.ulCode) << "the usercode block, wherever it lies";
    v.ulCode = 12345;
    EXPECT_EQ(0, updaterUcInFile(vectorReader, 1, &v));
    EXPECT_EQ(12345u, v.ulCode) << "untouched when absent";

    // FPGA without one of its three blocks; a damaged block header hides the blocks behind it.
    g_readerBytes = image(0, 0, {block(AFF_BLOCK_FPGA_NVCM1, 1), block(AFF_BLOCK_FPGA_USERCODE, 2)}).build();
    EXPECT_EQ(0, updaterFpgaInFile(vectorReader, nullptr));
    AffImage img =
        image(0, 0, {block(AFF_BLOCK_DEVICE_UC, 1), block(AFF_BLOCK_HOST_UC, 2), block(AFF_BLOCK_TI, 3)});
    g_readerBytes = img.build();
    g_readerBytes[affImageBlockOffset(img, 1)] ^= 0x80;
    EXPECT_EQ(1, updaterUcInFile(vectorReader, 0, nullptr));
    EXPECT_EQ(0, updaterUcInFile(vectorReader, 1, nullptr));
    EXPECT_EQ(0, updaterTiInFile(vectorReader, nullptr));
}

} // namespace
