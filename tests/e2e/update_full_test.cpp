// A full update of all five components against the emulator (host uC, device uC,
// TI, Wi-Fi through the hand-over, FPGA with NVCM1 data), then -nf with the same
// container, which finds every version current and programs nothing.

#include <gtest/gtest.h>

#include "tests/support/devsim_runner.h"
#include "tests/support/e2e_container.h"
#include "tests/support/e2e_session.h"
#include "tests/support/e2e_terminal.h"

using namespace testsupport;

namespace
{

void expectSuccess(const E2eUpdaterRun &run, const DevsimRunner &dev)
{
    EXPECT_FALSE(run.result.timedOut);
    EXPECT_EQ(0, run.result.exitCode) << e2eShow(run.result.out) << run.result.err;
    EXPECT_EQ(E2eVerdict::Success, run.terminal.verdict);
    EXPECT_EQ(std::string(kUpdaterBanner) + "Connected to port " + dev.port() + "\n", run.terminal.preamble);
}

TEST(UpdateFull, FiveComponentsThenUnchangedWithNf)
{
    DevsimRunner dev;
    E2eContainer aff = e2eBuildContainer(dev.dir(), "fw", e2eFiveComponents());
    ASSERT_TRUE(aff.ok()) << aff.affpackOutput;
    ASSERT_TRUE(dev.start({"--container", aff.path})) << dev.stderrText();

    E2eUpdaterRun run = e2eRunUpdater(dev, {"-update", aff.path});
    expectSuccess(run, dev);
    EXPECT_TRUE(e2eSameLines(e2eFiveComponentsUpdateLines(), run.terminal.texts()));
    EXPECT_TRUE(e2eProgressRisesTo100(run.terminal));
    // Five components: each done line completes a fifth (the Wi-Fi image is
    // programmed as the device microcontroller after the hand-over).
    EXPECT_EQ(std::vector<unsigned>{20}, run.terminal.finalPercentsOf("HOST uC Done"));
    EXPECT_EQ((std::vector<unsigned>{40, 80}), run.terminal.finalPercentsOf("DEVICE uC Done"));
    EXPECT_EQ(std::vector<unsigned>{60}, run.terminal.finalPercentsOf("DEVICE Ti Done"));
    EXPECT_EQ(std::vector<unsigned>{100}, run.terminal.finalPercentsOf("FPGA Done"));

    ASSERT_EQ(0, dev.stop());
    // Every part once: host 3, device uC 8 and Wi-Fi 4 (forwarded), TI 8, FPGA
    // NVCM0 4 and NVCM1 4, each written and verified.
    EXPECT_EQ(3, dev.summaryValue("requests.UC_PROGRAM_DATA"));
    EXPECT_EQ(12, dev.summaryValue("forwarded.UC_PROGRAM_DATA"));
    EXPECT_EQ(8, dev.summaryValue("forwarded.TI_PROGRAM_DATA"));
    EXPECT_EQ(16, dev.summaryValue("requests.FPGA_PROGRAM_DATA"));
    EXPECT_EQ(1, dev.summaryValue("requests.FPGA_USERCODE"));
    EXPECT_EQ(1, dev.summaryValue("forwarded.WIFI_INIT"));
    EXPECT_EQ(0, dev.summaryValue("error_answers"));
    E2eVerifyResult verify = e2eVerify(dev, aff.path);
    EXPECT_EQ(0, verify.exitCode) << verify.out;
    EXPECT_EQ(7u, verify.status.size()) << verify.out;
    for (const auto &component : verify.status)
        EXPECT_EQ("match", component.second) << component.first;

    // The device now reports the container's versions: -nf programs nothing, logs
    // every done line, and still reboots the device and leaves BOOT mode.
    ASSERT_TRUE(dev.start({"--container", aff.path})) << dev.stderrText();
    E2eUpdaterRun again = e2eRunUpdater(dev, {"-update", aff.path, "-nf"});
    expectSuccess(again, dev);
    EXPECT_TRUE(e2eSameLines(
        e2eJoin({e2eBootModeLines(true),
                 {"Entered bootloader, locking..."},
                 e2eHelloLines("1.2.3.1 (Mar 14 2025)", {"\tHOST: 1.2.3.1 (Mar 14 2025)"}),
                 {"HOST uC Done", "Entering DEVICE bootloader"},
                 e2eHelloLines("1.2.3.2 (Mar 14 2025)",
                               {"\tWIFI: 1.2.3.4 (Mar 14 2025)", "\tFPGA: 1.4.5 (Mar 14 2025)",
                                "\t  uC: 1.2.3.2 (Mar 14 2025)", "\t  Ti: 1.2.3.3 (Mar 14 2025)"}),
                 {"DEVICE uC Done", "DEVICE Ti Done", "WIFI Done", "FPGA Done", "Rebooting DEVICE...",
                  "Leaving BOOT mode..."}}),
        again.terminal.texts()));
    EXPECT_TRUE(e2eProgressRisesTo100(again.terminal));

    ASSERT_EQ(0, dev.stop());
    for (const char *parts :
         {"requests.UC_PROGRAM_DATA", "forwarded.UC_PROGRAM_DATA", "forwarded.TI_PROGRAM_DATA",
          "requests.FPGA_PROGRAM_DATA", "requests.UC_PROGRAM_BEGIN", "forwarded.UC_PROGRAM_BEGIN",
          "forwarded.TI_PROGRAM_BEGIN", "forwarded.WIFI_INIT"})
        EXPECT_EQ(-1, dev.summaryValue(parts)) << parts << " was sent";
    EXPECT_EQ(2, dev.summaryValue("requests.DEVICE_BOOT")); // into the device bootloader, then the reboot
    verify = e2eVerify(dev, aff.path);
    EXPECT_EQ(0, verify.exitCode) << verify.out;
}

} // namespace
