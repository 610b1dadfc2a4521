// The updater's short operations against the emulator: no operation, -lock 1,
// -lock 0 and -ub, each with its whole terminal output and exit status.

#include <gtest/gtest.h>

#include "tests/support/devsim_runner.h"
#include "tests/support/e2e_session.h"
#include "tests/support/e2e_terminal.h"

using namespace testsupport;

namespace
{

constexpr int kShortRunTimeoutMs = 30000;

TEST(BootModes, NoOperationSelected)
{
    DevsimRunner dev;
    ASSERT_TRUE(dev.start()) << dev.stderrText();
    E2eUpdaterRun run = e2eRunUpdater(dev, {"-v"}, kShortRunTimeoutMs);
    // Written out in full once: banner with two blanks, port line, the engine's
    // line with its own line end, the red verdict.
    e2eExpectTerminal(run,
                      "UPDATER  version: 10700000 (Aug  9 2024)\nConnected to port " + dev.port() +
                          "\n\n[   0% ] No op selected!\n\x1b[1;31m\n\n=== ERRORS OCCURED! ===\n\n\x1b[0m",
                      1);
    ASSERT_EQ(0, dev.stop());
    EXPECT_EQ(1, dev.summaryValue("port_opens"));      // the port was opened ...
    EXPECT_EQ(0, dev.summaryValue("bytes_from_host")); // ... and nothing was said
}

// Each operation leaves the device where the next one starts: locked in BOOT mode,
// back in the application, rebooted into BOOT mode, asked again there.
TEST(BootModes, LockUnlockAndBootModeFromBothSides)
{
    DevsimRunner dev;
    ASSERT_TRUE(dev.start({"--boot"})) << dev.stderrText();

    e2eExpectTerminal(e2eRunUpdater(dev, {"-lock", "1"}, kShortRunTimeoutMs),
                      e2eShortRunText(dev.port(), {"Entered bootloader, locking..."}, true), 0);
    e2eExpectTerminal(e2eRunUpdater(dev, {"-lock", "0"}, kShortRunTimeoutMs),
                      e2eShortRunText(dev.port(), {"Leaving BOOT mode..."}, true), 0);
    // Unlocked, the device runs its application: -ub reboots it into the bootloader.
    e2eExpectTerminal(e2eRunUpdater(dev, {"-ub"}, kShortRunTimeoutMs),
                      e2eShortRunText(dev.port(), e2eBootModeLines(true), true), 0);
    // Now in BOOT mode: the first answer is enough.
    e2eExpectTerminal(e2eRunUpdater(dev, {"-ub"}, kShortRunTimeoutMs),
                      e2eShortRunText(dev.port(), e2eBootModeLines(false), true), 0);

    ASSERT_EQ(0, dev.stop());
    EXPECT_EQ(1, dev.summaryValue("text_commands.AT+LOCK=1"));
    EXPECT_EQ(1, dev.summaryValue("text_commands.AT+LOCK=0"));
    EXPECT_EQ(1, dev.summaryValue("text_commands.AT+REBOOT_BOOTLOADER"));
    EXPECT_EQ(0, dev.summaryValue("requests_total")); // text commands only, never a packet
}

// The application refuses the lock; the updater repeats it after its pause until the
// lock's second has passed and fails.
TEST(BootModes, LockOneWithoutBootloaderFails)
{
    DevsimRunner dev;
    ASSERT_TRUE(dev.start()) << dev.stderrText();
    E2eUpdaterRun run = e2eRunUpdater(dev, {"-lock", "1"}, kShortRunTimeoutMs);
    EXPECT_EQ(1, run.result.exitCode);
    EXPECT_EQ(E2eVerdict::Failure, run.terminal.verdict);
    EXPECT_EQ(std::string(kUpdaterBanner) + "Connected to port " + dev.port() + "\n", run.terminal.preamble);

    // Two repeats fit into the second (each after a 500 ms pause); a slow machine may
    // manage only one.
    E2eLines lines = run.terminal.texts();
    E2eLines once = {"Entered bootloader, locking...", "Resending last packet",
                     "ERR: No response from BOOT mode"};
    E2eLines twice = {"Entered bootloader, locking...", "Resending last packet", "Resending last packet",
                      "ERR: No response from BOOT mode"};
    EXPECT_TRUE(lines == once || lines == twice) << e2eSameLines(twice, lines).message();
    for (const E2eLogLine &line : run.terminal.lines)
        EXPECT_EQ(std::vector<unsigned>{0}, line.percent) << line.text;

    ASSERT_EQ(0, dev.stop());
    EXPECT_EQ(long(lines.size()) - 1, dev.summaryValue("text_commands.AT+LOCK=1"));
    EXPECT_EQ(-1, dev.summaryValue("text_commands.AT+BOOT?")); // -lock never asks
}

} // namespace
