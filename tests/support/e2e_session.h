#ifndef TESTS_SUPPORT_E2E_SESSION_H
#define TESTS_SUPPORT_E2E_SESSION_H

// Running the updater against a devsim of a test, checking the device with
// devsim verify, and the messages of the device dialogue as building blocks of
// the expected sequences.

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "tests/support/devsim_runner.h"
#include "tests/support/e2e_terminal.h"

namespace testsupport
{

// An update takes about 10 s of prescribed pauses; a run that takes this long is stuck.
constexpr int kE2eRunTimeoutMs = 90000;

struct E2eUpdaterRun
{
    ProgramResult result;
    E2eTerminal terminal;
};

// updater PORT options... against dev's link.
E2eUpdaterRun e2eRunUpdater(const DevsimRunner &dev, const std::vector<std::string> &options,
                            int timeoutMs = kE2eRunTimeoutMs);

// Expects the run to have ended in time with exitCode and exactly the expected
// terminal output (compared with control characters shown).
void e2eExpectTerminal(const E2eUpdaterRun &run, const std::string &expected, int exitCode);

struct E2eVerifyResult
{
    int exitCode = -1;
    std::string out; // everything devsim verify printed
    // By component name ("host uC", "device uC", "TI", "Wi-Fi", "NVCM0", "NVCM1",
    // "usercode"): "match", "DIFFERS", "absent" or "skipped", and the rest of its line.
    std::map<std::string, std::string> status;
    std::map<std::string, std::string> detail;
};

// devsim verify [--no-host] on dev's state directory and the container aff.
E2eVerifyResult e2eVerify(const DevsimRunner &dev, const std::string &aff, bool noHost = false);

using E2eLines = std::vector<std::string>;

// The pieces in order, as one sequence.
E2eLines e2eJoin(std::initializer_list<E2eLines> pieces);

// The BOOT question; from the application the device is rebooted into its bootloader
// and asked again.
E2eLines e2eBootModeLines(bool fromApplication);
// The hello of a bootloader of the emulator (version 20100000 of Jan 15 2024):
// firmware is the answering controller's "VERSION (DATE)", components the lines of
// the "Components:" list.
E2eLines e2eHelloLines(const std::string &firmware, const E2eLines &components, unsigned productId = 1,
                       unsigned hardwareId = 0);
// Programming a microcontroller: who is "HOST uC" or "DEVICE uC".
E2eLines e2eUcLines(const std::string &who);
E2eLines e2eTiLines();
E2eLines e2eFpgaLines();

// The component lines of a fresh emulated device (every version 1.0.0.0 or 1.0.0 of
// Jan  1 2024) for the blocks of e2eFiveComponents(), as an update without -nf
// lists them: at the host's hello, at the device's and after the Wi-Fi hand-over.
E2eLines e2eFreshHostComponents();
E2eLines e2eFreshDeviceComponents();
E2eLines e2eFreshWifiHandOverComponents();

// Every message of an update without -nf of e2eFiveComponents() on a fresh device
// with a host microcontroller that runs its application.
E2eLines e2eFiveComponentsUpdateLines();

} // namespace testsupport

#endif
