// Version-3 containers with one damaged part CRC: the run stops with its message and
// the failure verdict, and the damaged part never reaches the device.

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/devsim_runner.h"
#include "tests/support/e2e_container.h"
#include "tests/support/e2e_session.h"
#include "tests/support/e2e_terminal.h"

using namespace testsupport;

namespace
{

size_t blockIndex(const E2eContainerDef &def, const std::string &type)
{
    for (size_t i = 0; i < def.blocks.size(); i++)
    {
        if (def.blocks[i].type == type)
            return i;
    }
    return def.blocks.size();
}

std::vector<uint8_t> prefix(const std::vector<uint8_t> &bytes, size_t n)
{
    return std::vector<uint8_t>(bytes.begin(), bytes.begin() + std::min(n, bytes.size()));
}

// The device microcontroller's part 2 of 8 is damaged: parts 0 and 1 are written, then the
// run ends with the step's error.
TEST(UpdateDamaged, DeviceUcPart)
{
    DevsimRunner dev;
    E2eContainerDef def = e2eFiveComponents();
    E2eContainer good = e2eBuildContainer(dev.dir(), "good", def);
    E2eContainer bad = e2eBuildContainer(dev.dir(), "bad", def);
    ASSERT_TRUE(good.ok() && bad.ok()) << good.affpackOutput << bad.affpackOutput;
    size_t crc = e2ePartCrcOffset(bad.path, blockIndex(def, "device-uc"), 2);
    ASSERT_NE(0u, crc);
    ASSERT_TRUE(e2eFlipByte(bad.path, crc, 0x01));
    ASSERT_TRUE(dev.start({"--container", good.path})) << dev.stderrText();

    E2eUpdaterRun run = e2eRunUpdater(dev, {"-update", bad.path});
    EXPECT_EQ(1, run.result.exitCode) << e2eShow(run.result.out) << run.result.err;
    EXPECT_EQ(E2eVerdict::Failure, run.terminal.verdict);
    const std::string fresh = "1.0.0.0 (Jan  1 2024)";
    EXPECT_TRUE(e2eSameLines(
        e2eJoin({e2eBootModeLines(true),
                 {"Entered bootloader, locking..."},
                 e2eHelloLines(fresh, e2eFreshHostComponents()),
                 e2eUcLines("HOST uC"),
                 {"Entering DEVICE bootloader"},
                 e2eHelloLines(fresh, e2eFreshDeviceComponents()),
                 {"Programming DEVICE uC", "Uploading DEVICE uC firmware", "ERR: DEVICE uC PRG"}}),
        run.terminal.texts()));

    ASSERT_EQ(0, dev.stop());
    EXPECT_EQ(2, dev.summaryValue("forwarded.UC_PROGRAM_DATA"));
    EXPECT_EQ(-1, dev.summaryValue("forwarded.UC_PROGRAM_END"));
    // The device holds the two good parts and nothing of the damaged one.
    const size_t partSize = def.blocks[blockIndex(def, "device-uc")].partSize;
    EXPECT_EQ(prefix(good.images["device-uc"], 2 * partSize),
              e2eReadBytes(dev.stateDir() + "/device-uc.bin"));
    E2eVerifyResult verify = e2eVerify(dev, good.path);
    EXPECT_NE(0, verify.exitCode);
    EXPECT_EQ("match", verify.status["host uC"]) << verify.out;
    EXPECT_EQ("DIFFERS", verify.status["device uC"]) << verify.out;
}

// The NVCM1 image's part 1 is damaged; with -v the CRC error is named. The FPGA step fails
// at once instead of waiting for an answer to a request never sent.
TEST(UpdateDamaged, Nvcm1PartVerbose)
{
    DevsimRunner dev;
    E2eContainerDef def = e2eWithout(e2eFiveComponents(), {"host-uc", "device-uc", "ti", "wifi"});
    E2eContainer good = e2eBuildContainer(dev.dir(), "good", def);
    E2eContainer bad = e2eBuildContainer(dev.dir(), "bad", def);
    ASSERT_TRUE(good.ok() && bad.ok()) << good.affpackOutput << bad.affpackOutput;
    size_t crc = e2ePartCrcOffset(bad.path, blockIndex(def, "nvcm1"), 1);
    ASSERT_NE(0u, crc);
    ASSERT_TRUE(e2eFlipByte(bad.path, crc + 1, 0x80));
    ASSERT_TRUE(dev.start({"--container", good.path, "--no-host", "--boot"})) << dev.stderrText();

    E2eUpdaterRun run = e2eRunUpdater(dev, {"-update", bad.path, "-v"});
    EXPECT_EQ(1, run.result.exitCode) << e2eShow(run.result.out) << run.result.err;
    EXPECT_EQ(E2eVerdict::Failure, run.terminal.verdict);
    E2eLines lines = run.terminal.texts();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_TRUE(e2eSameLines(
        {"Writing 128 pages of NVCM1", "CRC Error on part 1", "ERR: FPGA PRG", "Malformed count: 0"},
        E2eLines(lines.end() - 4, lines.end())));

    ASSERT_EQ(0, dev.stop());
    EXPECT_EQ(9, dev.summaryValue("requests.FPGA_PROGRAM_DATA")); // NVCM0 4 + 4, NVCM1 part 0
    EXPECT_EQ(-1, dev.summaryValue("requests.FPGA_END"));
    const size_t partSize = def.blocks[blockIndex(def, "nvcm1")].partSize;
    EXPECT_EQ(prefix(good.images["nvcm1"], partSize), e2eReadBytes(dev.stateDir() + "/nvcm1.bin"));
    E2eVerifyResult verify = e2eVerify(dev, good.path, true);
    EXPECT_EQ("match", verify.status["NVCM0"]) << verify.out;
    EXPECT_EQ("DIFFERS", verify.status["NVCM1"]) << verify.out;
}

} // namespace
