// A damaged container on the command line: an update refuses it before the
// port is opened, and the offline report lists what it can, then fails.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "aff/aff_container.h"
#include "app/front_end.h"
#include "tests/support/aff_image.h"
#include "tests/support/child_run.h"
#include "tests/support/pty_peer.h"

using testsupport::Child;
using testsupport::TempDir;

namespace
{

const std::string kBanner = "UPDATER  version: 10700000 (Aug  9 2024)\n";
const std::string kFailed = "\x1b[1;31m\n\n=== ERRORS OCCURED! ===\n\n\x1b[0m";
const std::string kSucceeded = "\x1b[1;32m\nOperation completed successfully\n\x1b[0m";
constexpr uint32_t kPart = 64;

// Host uC (2 parts), device uC (3 parts), NVCM1 (4 parts), version 3.
testsupport::AffImage threeBlocks()
{
    testsupport::AffImage img;
    img.productId = 11;
    img.hardwareId = 22;
    for (auto [type, parts, code] : {std::tuple{AFF_BLOCK_HOST_UC, 2, 10700000},
                                     {AFF_BLOCK_DEVICE_UC, 3, 10203004},
                                     {AFF_BLOCK_FPGA_NVCM1, 4, 1}})
    {
        testsupport::AffImageBlock b;
        b.type = type;
        b.data = testsupport::affImagePattern(kPart * parts, uint8_t(type));
        b.partSize = kPart;
        b.version = {uint32_t(code), "Aug  9 2024"};
        img.blocks.push_back(b);
    }
    return img;
}

size_t blockAt(size_t idx)
{
    return testsupport::affImageBlockOffset(threeBlocks(), idx);
}

// The file with byte `at` changed.
std::vector<uint8_t> flipped(size_t at)
{
    std::vector<uint8_t> bytes = threeBlocks().build();
    bytes[at] ^= 0x04;
    return bytes;
}

size_t partByte(size_t block, uint32_t part)
{
    return blockAt(block) + AFF_BLOCK_HEADER_SIZE_V3 + part * (kPart + AFF_PART_CRC_SIZE) + 7;
}

std::string writeFile(const TempDir &dir, const std::string &name, const std::vector<uint8_t> &bytes)
{
    const std::string path = dir.file(name);
    FILE *file = fopen(path.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
    return path;
}

TEST(AppContainerCheck, UpdateRefusesABadPartBeforeThePortIsOpened)
{
    TempDir dir;
    testsupport::PtyPeer peer(dir.file("tty"));
    ASSERT_TRUE(peer.ok());
    struct Case
    {
        const char *name;
        std::vector<uint8_t> bytes;
        std::string port;
        std::vector<std::string> options;
        std::string refusal;
    };
    const std::string nvcm1 =
        "CRC Error on part 3\nAFF file damaged: block 2 (type 5, FPGA NVCM1) part 3 CRC mismatch\n";
    const std::vector<Case> cases = {
        {"last block, last part", flipped(partByte(2, 3)), peer.path(), {}, nvcm1},
        {"only changed components", flipped(partByte(2, 3)), peer.path(), {"-nf", "-v"}, nvcm1},
        {"first part",
         flipped(partByte(0, 0)),
         peer.path(),
         {},
         "CRC Error on part 0\nAFF file damaged: block 0 (type 8, host uC) part 0 CRC mismatch\n"},
        // The port is not even tried: the refusal comes first.
        {"missing port",
         flipped(partByte(1, 2)),
         dir.file("no-tty"),
         {},
         "CRC Error on part 2\nAFF file damaged: block 1 (type 7, device uC) part 2 CRC mismatch\n"},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"updater", c.port, "-update", writeFile(dir, "bad.aff", c.bytes)};
        args.insert(args.end(), c.options.begin(), c.options.end());
        Child run(appMain, args);
        EXPECT_EQ(run.finish(), 1);
        EXPECT_EQ(run.out, kBanner + c.refusal + kFailed);
    }
    EXPECT_EQ(peer.received(), "");
}

TEST(AppContainerCheck, OfflineReportOfADamagedFileListsWhatItCanThenFails)
{
    TempDir dir;
    const std::string host = "\n\tHOST: 1.7.0.0 (Aug  9 2024)";
    const std::string uc = "\n\t  uC: 1.2.3.4 (Aug  9 2024)";
    std::vector<uint8_t> cut = threeBlocks().build();
    cut.resize(blockAt(1) + 100); // inside the device uC's data, as head -c would cut it
    struct Case
    {
        const char *name;
        std::vector<uint8_t> bytes;
        std::string tail; // the end of standard output
        int status;
    };
    const std::vector<Case> cases = {
        {"whole", threeBlocks().build(), host + uc + kSucceeded, 0},
        {"cut", cut, host + uc + "\nAFF file damaged: block 1 data past the end of the file" + kFailed, 1},
        {"block header", flipped(blockAt(1) + 3),
         host + "\nAFF file damaged: block 1 header unreadable" + kFailed, 1},
        {"bad part", flipped(partByte(1, 1)),
         host + uc +
             "\nCRC Error on part 1\nAFF file damaged: block 1 (type 7, device uC) part 1 CRC mismatch" +
             kFailed,
         1},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        Child run(appMain, {"updater", "-affver", writeFile(dir, "f.aff", c.bytes)});
        EXPECT_EQ(run.finish(), c.status);
        EXPECT_EQ(run.out.rfind(kBanner + "\n\nProduct/hardware ID :\nAFF: 11 / 22\nDev ID : ", 0), 0u)
            << run.out;
        ASSERT_GE(run.out.size(), c.tail.size());
        EXPECT_EQ(run.out.substr(run.out.size() - c.tail.size()), c.tail) << run.out;
    }
}

} // namespace
