// A device without a host microcontroller: its own bootloader answers on the link,
// the container's host block is left out, and the Wi-Fi hand-over goes through the
// device bootloader.

#include <gtest/gtest.h>

#include "tests/support/devsim_runner.h"
#include "tests/support/e2e_container.h"
#include "tests/support/e2e_session.h"
#include "tests/support/e2e_terminal.h"

using namespace testsupport;

namespace
{

TEST(UpdateNoHost, FiveComponentContainerOnADeviceWithoutHost)
{
    DevsimRunner dev;
    E2eContainer aff = e2eBuildContainer(dev.dir(), "fw", e2eFiveComponents());
    ASSERT_TRUE(aff.ok()) << aff.affpackOutput;
    ASSERT_TRUE(dev.start({"--container", aff.path, "--no-host"})) << dev.stderrText();

    E2eUpdaterRun run = e2eRunUpdater(dev, {"-update", aff.path});
    EXPECT_EQ(0, run.result.exitCode) << e2eShow(run.result.out) << run.result.err;
    EXPECT_EQ(E2eVerdict::Success, run.terminal.verdict);
    const std::string fresh = "1.0.0.0 (Jan  1 2024)";
    EXPECT_TRUE(e2eSameLines(e2eJoin({e2eBootModeLines(true),
                                      {"Entered bootloader, locking..."},
                                      e2eHelloLines(fresh, e2eFreshDeviceComponents()),
                                      e2eUcLines("DEVICE uC"),
                                      e2eTiLines(),
                                      {"Programming WIFI"},
                                      e2eHelloLines(fresh, e2eFreshWifiHandOverComponents()),
                                      e2eUcLines("DEVICE uC"),
                                      e2eFpgaLines(),
                                      {"Leaving BOOT mode..."}}),
                             run.terminal.texts()));
    // Four components on this device: the host block does not hold the progress back.
    EXPECT_TRUE(e2eProgressRisesTo100(run.terminal));
    EXPECT_EQ((std::vector<unsigned>{25, 75}), run.terminal.finalPercentsOf("DEVICE uC Done"));
    EXPECT_EQ(std::vector<unsigned>{50}, run.terminal.finalPercentsOf("DEVICE Ti Done"));

    ASSERT_EQ(0, dev.stop());
    EXPECT_EQ(-1, dev.summaryValue("requests.DEVICE_BOOT"));
    // The device uC's 8 parts straight to its bootloader, the Wi-Fi image's 4 forwarded
    // by it; the host image's 3 parts never.
    EXPECT_EQ(8, dev.summaryValue("requests.UC_PROGRAM_DATA"));
    EXPECT_EQ(4, dev.summaryValue("forwarded.UC_PROGRAM_DATA"));
    EXPECT_EQ(1, dev.summaryValue("requests.UC_PROGRAM_BEGIN"));
    E2eVerifyResult verify = e2eVerify(dev, aff.path, true);
    EXPECT_EQ(0, verify.exitCode) << verify.out;
    EXPECT_EQ("skipped", verify.status["host uC"]) << verify.out;
    for (const char *component : {"device uC", "TI", "Wi-Fi", "NVCM0", "NVCM1", "usercode"})
        EXPECT_EQ("match", verify.status[component]) << component << "\n" << verify.out;
}

} // namespace
