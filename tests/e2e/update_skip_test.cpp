// Updates that leave components out: -nf on a device whose every version equals the
// container's, and a container without a host-microcontroller block on a device
// with one, whose device components must still be programmed.

#include <gtest/gtest.h>

#include "tests/support/devsim_runner.h"
#include "tests/support/e2e_container.h"
#include "tests/support/e2e_session.h"
#include "tests/support/e2e_terminal.h"

using namespace testsupport;

namespace
{

TEST(UpdateSkip, NfWithEveryVersionEqualProgramsNothing)
{
    DevsimRunner dev;
    E2eContainer aff = e2eBuildContainer(dev.dir(), "fw", e2eFiveComponents());
    ASSERT_TRUE(aff.ok()) << aff.affpackOutput;
    // Only the codes count: the device's dates differ from the container's.
    ASSERT_TRUE(dev.start(
        {"--container", aff.path, "--set-version", "host-uc=" + std::to_string(kE2eHostUcCode),
         "--set-version", "device-uc=" + std::to_string(kE2eDeviceUcCode), "--set-version",
         "ti=" + std::to_string(kE2eTiCode), "--set-version", "wifi=" + std::to_string(kE2eWifiCode),
         "--set-version", "fpga=" + std::to_string(kE2eFpgaCode)}))
        << dev.stderrText();

    E2eUpdaterRun run = e2eRunUpdater(dev, {"-update", aff.path, "-nf"});
    EXPECT_EQ(0, run.result.exitCode) << e2eShow(run.result.out) << run.result.err;
    EXPECT_EQ(E2eVerdict::Success, run.terminal.verdict);
    EXPECT_TRUE(e2eSameLines(
        e2eJoin({e2eBootModeLines(true),
                 {"Entered bootloader, locking..."},
                 e2eHelloLines("1.2.3.1 (Jan  1 2024)", {"\tHOST: 1.2.3.1 (Jan  1 2024)"}),
                 {"HOST uC Done", "Entering DEVICE bootloader"},
                 e2eHelloLines("1.2.3.2 (Jan  1 2024)",
                               {"\tWIFI: 1.2.3.4 (Jan  1 2024)", "\tFPGA: 1.4.5 (Jan  1 2024)",
                                "\t  uC: 1.2.3.2 (Jan  1 2024)", "\t  Ti: 1.2.3.3 (Jan  1 2024)"}),
                 {"DEVICE uC Done", "DEVICE Ti Done", "WIFI Done", "FPGA Done", "Rebooting DEVICE...",
                  "Leaving BOOT mode..."}}),
        run.terminal.texts()));
    EXPECT_TRUE(e2eProgressRisesTo100(run.terminal));
    EXPECT_EQ(std::vector<unsigned>{20}, run.terminal.finalPercentsOf("HOST uC Done"));
    EXPECT_EQ(std::vector<unsigned>{80}, run.terminal.finalPercentsOf("WIFI Done"));

    ASSERT_EQ(0, dev.stop());
    // Hellos, vectors and the two device-boot requests; not one programming request.
    EXPECT_EQ(1, dev.summaryValue("requests.HELLO"));
    EXPECT_EQ(1, dev.summaryValue("forwarded.HELLO"));
    EXPECT_EQ(2, dev.summaryValue("requests.DEVICE_BOOT"));
    EXPECT_EQ(6, dev.summaryValue("requests_total")); // hello, IV, boot, forward x2, reboot
    E2eVerifyResult verify = e2eVerify(dev, aff.path);
    EXPECT_NE(0, verify.exitCode);
    for (const char *component : {"host uC", "device uC", "TI", "Wi-Fi", "NVCM0", "NVCM1", "usercode"})
        EXPECT_EQ(0u, verify.detail[component].find("the device holds 0 bytes")) << verify.out;
}

// The host bootloader answers first but the container holds nothing for it: the run
// enters the device bootloader through the host and programs the device's components.
TEST(UpdateSkip, ContainerWithoutHostBlockStillProgramsTheDevice)
{
    DevsimRunner dev;
    E2eContainer aff = e2eBuildContainer(
        dev.dir(), "fw", e2eWithout(e2eFiveComponents(), {"host-uc", "wifi", "nvcm0", "nvcm1", "usercode"}));
    ASSERT_TRUE(aff.ok()) << aff.affpackOutput;
    ASSERT_TRUE(dev.start({"--container", aff.path})) << dev.stderrText();

    E2eUpdaterRun run = e2eRunUpdater(dev, {"-update", aff.path});
    EXPECT_EQ(0, run.result.exitCode) << e2eShow(run.result.out) << run.result.err;
    EXPECT_EQ(E2eVerdict::Success, run.terminal.verdict);
    EXPECT_TRUE(
        e2eSameLines(e2eJoin({e2eBootModeLines(true),
                              {"Entered bootloader, locking..."},
                              // Forced: the arrow form, to the device's own version.
                              e2eHelloLines("1.0.0.0 (Jan  1 2024)",
                                            {"\tHOST: 1.0.0.0 (Jan  1 2024) -> 1.0.0.0 (Jan  1 2024)"}),
                              {"Entering DEVICE bootloader"},
                              e2eHelloLines("1.0.0.0 (Jan  1 2024)",
                                            {"\t  uC: 1.0.0.0 (Jan  1 2024) -> 1.2.3.2 (Mar 14 2025)",
                                             "\t  Ti: 1.0.0.0 (Jan  1 2024) -> 1.2.3.3 (Mar 14 2025)"}),
                              e2eUcLines("DEVICE uC"),
                              e2eTiLines(),
                              {"Rebooting DEVICE...", "Leaving BOOT mode..."}}),
                     run.terminal.texts()));
    EXPECT_TRUE(e2eProgressRisesTo100(run.terminal));
    EXPECT_EQ(std::vector<unsigned>{50}, run.terminal.finalPercentsOf("DEVICE uC Done"));

    ASSERT_EQ(0, dev.stop());
    EXPECT_EQ(-1, dev.summaryValue("requests.UC_PROGRAM_DATA")); // nothing for the host
    EXPECT_EQ(8, dev.summaryValue("forwarded.UC_PROGRAM_DATA"));
    EXPECT_EQ(8, dev.summaryValue("forwarded.TI_PROGRAM_DATA"));
    E2eVerifyResult verify = e2eVerify(dev, aff.path);
    EXPECT_EQ(0, verify.exitCode) << verify.out;
    EXPECT_EQ("absent", verify.status["host uC"]) << verify.out;
    EXPECT_EQ("match", verify.status["device uC"]) << verify.out;
    EXPECT_EQ("match", verify.status["TI"]) << verify.out;
}

} // namespace
