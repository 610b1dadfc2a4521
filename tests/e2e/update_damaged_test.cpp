// Version-3 containers with one damaged part CRC: the run is refused with its message
// and the failure verdict before the device hears anything.

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// A damaged part is found when the container is loaded: the run is refused before the
// port is opened, and the device never hears a byte, whichever block holds the part.
struct DamageCase
{
    const char *name;
    std::vector<std::string> without; // components left out of the container
    std::string type;                 // the damaged block
    uint32_t part;
    std::vector<std::string> options;
    std::string typeText; // "type N, name" as the refusal names it
};

class UpdateDamaged : public ::testing::TestWithParam<DamageCase>
{
};

TEST_P(UpdateDamaged, RefusedBeforeTheDeviceIsSpokenTo)
{
    const DamageCase &c = GetParam();
    DevsimRunner dev;
    E2eContainerDef def = e2eWithout(e2eFiveComponents(), c.without);
    E2eContainer good = e2eBuildContainer(dev.dir(), "good", def);
    E2eContainer bad = e2eBuildContainer(dev.dir(), "bad", def);
    ASSERT_TRUE(good.ok() && bad.ok()) << good.affpackOutput << bad.affpackOutput;
    const size_t block = blockIndex(def, c.type);
    size_t crc = e2ePartCrcOffset(bad.path, block, c.part);
    ASSERT_NE(0u, crc);
    ASSERT_TRUE(e2eFlipByte(bad.path, crc, 0x01));
    ASSERT_TRUE(dev.start({"--container", good.path})) << dev.stderrText();

    std::vector<std::string> args = {"-update", bad.path};
    args.insert(args.end(), c.options.begin(), c.options.end());
    E2eUpdaterRun run = e2eRunUpdater(dev, args);
    EXPECT_EQ(1, run.result.exitCode) << e2eShow(run.result.out) << run.result.err;
    EXPECT_EQ(E2eVerdict::Failure, run.terminal.verdict);
    const std::string part = std::to_string(c.part);
    EXPECT_EQ("UPDATER  version: 10700000 (Aug  9 2024)\nCRC Error on part " + part +
                  "\nAFF file damaged: block " + std::to_string(block) + " (" + c.typeText + ") part " +
                  part + " CRC mismatch\n\x1b[1;31m\n\n=== ERRORS OCCURED! ===\n\n\x1b[0m",
              run.result.out);

    ASSERT_EQ(0, dev.stop());
    EXPECT_EQ(0, dev.summaryValue("port_opens"));
    EXPECT_EQ(0, dev.summaryValue("bytes_from_host"));
}

INSTANTIATE_TEST_SUITE_P(
    Parts, UpdateDamaged,
    ::testing::Values(DamageCase{"DeviceUcPart", {}, "device-uc", 2, {}, "type 7, device uC"},
                      // The last block of all: formerly found after every other component was written.
                      DamageCase{
                          "Nvcm1PartVerboseOnlyChanged", {}, "nvcm1", 1, {"-v", "-nf"}, "type 5, FPGA NVCM1"},
                      DamageCase{"UsercodeOfAnFpgaOnlyFile",
                                 {"host-uc", "device-uc", "ti", "wifi"},
                                 "usercode",
                                 0,
                                 {},
                                 "type 6, FPGA usercode"}),
    [](const ::testing::TestParamInfo<DamageCase> &info) { return std::string(info.param.name); });

} // namespace
