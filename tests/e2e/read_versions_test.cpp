// Reading the bootloader's identity against the emulator: -readver with a host
// bootloader and with a device-only bootloader, and an update refused because the
// container is meant for another device.

#include <gtest/gtest.h>

#include "tests/support/devsim_runner.h"
#include "tests/support/e2e_container.h"
#include "tests/support/e2e_session.h"
#include "tests/support/e2e_terminal.h"

using namespace testsupport;

namespace
{

constexpr int kShortRunTimeoutMs = 30000;

// The device runs its application: it is rebooted into the host bootloader, locked,
// and the hello shows what the device reports (its ids and the host's firmware).
TEST(ReadVersions, HostBootloader)
{
    DevsimRunner dev;
    ASSERT_TRUE(dev.start({"--product-id", "3", "--hardware-id", "2", "--set-version", "host-uc=10203001"}))
        << dev.stderrText();
    E2eUpdaterRun run = e2eRunUpdater(dev, {"-readver"}, kShortRunTimeoutMs);
    e2eExpectTerminal(run,
                      e2eShortRunText(dev.port(),
                                      e2eJoin({e2eBootModeLines(true),
                                               {"Entered bootloader, locking..."},
                                               e2eHelloLines("1.2.3.1 (Jan  1 2024)",
                                                             {"\tHOST: 1.2.3.1 (Jan  1 2024)"}, 3, 2)}),
                                      true),
                      0);
    ASSERT_EQ(0, dev.stop());
    EXPECT_EQ(1, dev.summaryValue("requests.HELLO"));
    EXPECT_EQ(1, dev.summaryValue("requests_total"));           // the hello and nothing else
    EXPECT_EQ(-1, dev.summaryValue("text_commands.AT+LOCK=0")); // left locked
}

// Without a host microcontroller the device bootloader answers itself: no host line,
// and without a container there is nothing to list.
TEST(ReadVersions, DeviceOnlyBootloader)
{
    DevsimRunner dev;
    ASSERT_TRUE(dev.start({"--no-host", "--boot", "--set-version", "device-uc=10203002"}))
        << dev.stderrText();
    E2eUpdaterRun run = e2eRunUpdater(dev, {"-readver"}, kShortRunTimeoutMs);
    e2eExpectTerminal(run,
                      e2eShortRunText(dev.port(),
                                      e2eJoin({e2eBootModeLines(false),
                                               {"Entered bootloader, locking..."},
                                               e2eHelloLines("1.2.3.2 (Jan  1 2024)", {}, 0, 0)}),
                                      true),
                      0);
    ASSERT_EQ(0, dev.stop());
    EXPECT_EQ(1, dev.summaryValue("requests_total"));
}

// A container for product 1 / hardware 0 offered to a device 7 / 3: refused at the
// hello, before the vector or any firmware is sent.
TEST(ReadVersions, ProductHardwareMismatchRefusesTheUpdate)
{
    DevsimRunner dev;
    E2eContainer aff = e2eBuildContainer(dev.dir(), "fw", e2eFiveComponents());
    ASSERT_TRUE(aff.ok()) << aff.affpackOutput;
    ASSERT_TRUE(dev.start({"--boot", "--product-id", "7", "--hardware-id", "3"})) << dev.stderrText();
    E2eUpdaterRun run = e2eRunUpdater(dev, {"-update", aff.path}, kShortRunTimeoutMs);
    e2eExpectTerminal(run,
                      e2eShortRunText(dev.port(),
                                      {"Checking if device is in BOOT mode...",
                                       "Entered bootloader, locking...", "Requesting bootloader information",
                                       "Bootloader version: 20100000 (Jan 15 2024), product id: 7, hw id: 3",
                                       "Firmware version: 1.0.0.0 (Jan  1 2024)",
                                       "Product/hardware ID mismatch!\nAFF: 1 / 0\nDev: 7 / 3"},
                                      false),
                      1);
    ASSERT_EQ(0, dev.stop());
    EXPECT_EQ(1, dev.summaryValue("requests_total"));
    EXPECT_EQ(-1, dev.summaryValue("requests.IV"));
}

} // namespace
