// Containers of the older formats 1 and 2 (no CRCs, versions in the file header),
// updated against the emulator. Format 3 is covered by the full update.

#include <gtest/gtest.h>

#include "tests/support/devsim_runner.h"
#include "tests/support/e2e_container.h"
#include "tests/support/e2e_session.h"
#include "tests/support/e2e_terminal.h"

using namespace testsupport;

namespace
{

const std::string kFresh = "1.0.0.0 (Jan  1 2024)";

// Format 2 has a host record: host uC, device uC, Wi-Fi and FPGA on a device with host.
TEST(UpdateFormats, Version2)
{
    DevsimRunner dev;
    E2eContainerDef def = e2eWithout(e2eFiveComponents(), {"ti"}); // formats 1 and 2 know no TI block
    def.format = 2;
    E2eContainer aff = e2eBuildContainer(dev.dir(), "fw", def);
    ASSERT_TRUE(aff.ok()) << aff.affpackOutput;
    ASSERT_TRUE(dev.start({"--container", aff.path})) << dev.stderrText();

    E2eUpdaterRun run = e2eRunUpdater(dev, {"-update", aff.path});
    EXPECT_EQ(0, run.result.exitCode) << e2eShow(run.result.out) << run.result.err;
    EXPECT_EQ(E2eVerdict::Success, run.terminal.verdict);
    E2eLines device = e2eFreshDeviceComponents();
    device.pop_back(); // no Ti line
    E2eLines handOver = e2eFreshWifiHandOverComponents();
    handOver.pop_back();
    EXPECT_TRUE(e2eSameLines(e2eJoin({e2eBootModeLines(true),
                                      {"Entered bootloader, locking..."},
                                      e2eHelloLines(kFresh, e2eFreshHostComponents()),
                                      e2eUcLines("HOST uC"),
                                      {"Entering DEVICE bootloader"},
                                      e2eHelloLines(kFresh, device),
                                      e2eUcLines("DEVICE uC"),
                                      {"Programming WIFI"},
                                      e2eHelloLines(kFresh, handOver),
                                      e2eUcLines("DEVICE uC"),
                                      e2eFpgaLines(),
                                      {"Leaving BOOT mode..."}}),
                             run.terminal.texts()));
    EXPECT_TRUE(e2eProgressRisesTo100(run.terminal));
    EXPECT_EQ(std::vector<unsigned>{25}, run.terminal.finalPercentsOf("HOST uC Done"));

    ASSERT_EQ(0, dev.stop());
    E2eVerifyResult verify = e2eVerify(dev, aff.path);
    EXPECT_EQ(0, verify.exitCode) << verify.out;
    for (const char *component : {"host uC", "device uC", "Wi-Fi", "NVCM0", "NVCM1", "usercode"})
        EXPECT_EQ("match", verify.status[component]) << component << "\n" << verify.out;
}

// Format 1 has no host record: a device without host microcontroller.
TEST(UpdateFormats, Version1)
{
    DevsimRunner dev;
    E2eContainerDef def = e2eWithout(e2eFiveComponents(), {"ti", "host-uc"});
    def.format = 1;
    E2eContainer aff = e2eBuildContainer(dev.dir(), "fw", def);
    ASSERT_TRUE(aff.ok()) << aff.affpackOutput;
    ASSERT_TRUE(dev.start({"--container", aff.path, "--no-host"})) << dev.stderrText();

    E2eUpdaterRun run = e2eRunUpdater(dev, {"-update", aff.path});
    EXPECT_EQ(0, run.result.exitCode) << e2eShow(run.result.out) << run.result.err;
    EXPECT_EQ(E2eVerdict::Success, run.terminal.verdict);
    E2eLines device = e2eFreshDeviceComponents();
    device.pop_back();
    E2eLines handOver = e2eFreshWifiHandOverComponents();
    handOver.pop_back();
    EXPECT_TRUE(e2eSameLines(e2eJoin({e2eBootModeLines(true),
                                      {"Entered bootloader, locking..."},
                                      e2eHelloLines(kFresh, device),
                                      e2eUcLines("DEVICE uC"),
                                      {"Programming WIFI"},
                                      e2eHelloLines(kFresh, handOver),
                                      e2eUcLines("DEVICE uC"),
                                      e2eFpgaLines(),
                                      {"Leaving BOOT mode..."}}),
                             run.terminal.texts()));
    EXPECT_TRUE(e2eProgressRisesTo100(run.terminal));
    EXPECT_EQ((std::vector<unsigned>{33, 66}), run.terminal.finalPercentsOf("DEVICE uC Done"));

    ASSERT_EQ(0, dev.stop());
    E2eVerifyResult verify = e2eVerify(dev, aff.path, true);
    EXPECT_EQ(0, verify.exitCode) << verify.out;
    for (const char *component : {"device uC", "Wi-Fi", "NVCM0", "NVCM1", "usercode"})
        EXPECT_EQ("match", verify.status[component]) << component << "\n" << verify.out;
}

} // namespace
