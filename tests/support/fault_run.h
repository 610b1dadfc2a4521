#ifndef TESTS_SUPPORT_FAULT_RUN_H
#define TESTS_SUPPORT_FAULT_RUN_H

// One update against an emulator with injected faults, and the judgement of
// its outcome: either the run succeeded and the device holds exactly the
// container, or it failed with exit status 1, the expected line and in
// bounded time.
//
//   testsupport::DevsimRunner dev;
//   std::string aff = testsupport::writeFaultContainer(dev.dir());
//   testsupport::FaultRun run = testsupport::runUpdate(dev, aff, {"--lose-response", "5"});
//   EXPECT_TRUE(run.succeededExactly()) << run.describe();

#include <string>
#include <vector>

#include "tests/support/devsim_runner.h"

namespace testsupport
{

// Shape of the container the fault tests update: every component, a few parts each.
struct FaultContainerShape
{
    size_t hostParts = 4;
    size_t deviceParts = 6;
    size_t tiParts = 3;
    size_t wifiParts = 3;
    size_t nvcm0Parts = 6;
    size_t nvcm1Parts = 3;
};

// Firmware parts (requests 49, 65, 34) one update of the shape sends, counted
// from 1 in the order they go out: host uC, device uC, TI, Wi-Fi, then the
// FPGA's four phases (NVCM0 written and verified, then NVCM1 written and verified).
struct FaultPartPlan
{
    size_t firstHostPart = 0;
    size_t firstDevicePart = 0;
    size_t firstTiPart = 0;
    size_t firstWifiPart = 0;
    size_t firstFpgaPart = 0;
    size_t totalParts = 0;
};
FaultPartPlan faultPartPlan(const FaultContainerShape &shape = {});

// Writes the container (format 3, product 0, hardware 0) into dir as fw.aff and
// returns its path.
std::string writeFaultContainer(const std::string &dir, const FaultContainerShape &shape = {});

struct FaultRun
{
    ProgramResult updater;
    int elapsedMs = 0;
    int devsimExit = -1;
    int verifyExit = -1;
    std::string verifyOut;
    std::string summary; // devsim's JSON summary

    bool succeeded() const;        // exit 0 and the success verdict
    bool succeededExactly() const; // and devsim verify finds every component equal
    bool
    failedWith(const std::string &line) const; // exit 1, the failure verdict and line on a line of its own
    long long summaryValue(const std::string &path) const;
    std::string describe() const; // everything, for a failing expectation
};

// Starts devsim on dev with the container and the extra arguments, runs
// "updater PORT -update AFF" (plus -v when verbose), stops devsim and verifies
// its state against the container.
FaultRun runUpdate(DevsimRunner &dev, const std::string &aff, const std::vector<std::string> &devsimArgs,
                   int timeoutMs = 120000, bool verbose = false);

// The outcome of a run whose faults may or may not be survivable: "success"
// (the device holds exactly the container), "failure" (exit status 1 with
// failureLine, in less than boundMs) or, for anything else, a text that says
// what went wrong.
std::string judgeOutcome(const FaultRun &run, const std::string &failureLine, int boundMs);

// An update of the default fault container with --random-faults rate and
// --seed seed, judged with the resend limit's line. Prints one line with the
// outcome and the fault counts and returns the verdict of judgeOutcome;
// *pRun receives the run.
std::string runRandomFaults(const std::string &rate, int seed, FaultRun *pRun);

// Lines of the updater's standard output that carry text (colour escapes and
// the progress percentage prefix removed), in order.
std::vector<std::string> outputLines(const std::string &out);
// How many output lines equal line exactly.
size_t countLines(const std::string &out, const std::string &line);

} // namespace testsupport

#endif
