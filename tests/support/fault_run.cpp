#include "tests/support/fault_run.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "aff/aff_container.h"
#include "tests/support/aff_image.h"

namespace testsupport
{
namespace
{

constexpr uint32_t kHostPartSize = 512;
constexpr uint32_t kDevicePartSize = 256;
constexpr uint32_t kTiPartSize = 128;
constexpr uint32_t kWifiPartSize = 256;
constexpr uint32_t kFpgaPartSize = 64;
constexpr uint32_t kUsercodeSize = 4;
constexpr int kVerifyTimeoutMs = 30000;
const char *const kSuccessLine = "Operation completed successfully";
const char *const kFailureLine = "=== ERRORS OCCURED! ===";

AffImageBlock makeBlock(uint32_t type, size_t parts, uint32_t partSize, uint32_t code, uint8_t seed)
{
    AffImageBlock b;
    b.type = type;
    b.data = affImagePattern(parts * partSize, seed);
    b.partSize = partSize;
    b.version.code = code;
    b.version.date = "Mar 14 2025";
    return b;
}

std::string stripEscapes(const std::string &text)
{
    static const std::regex escape("\x1b\\[[0-9;]*m");
    return std::regex_replace(text, escape, "");
}

} // namespace

FaultPartPlan faultPartPlan(const FaultContainerShape &s)
{
    FaultPartPlan p;
    p.firstHostPart = 1;
    p.firstDevicePart = p.firstHostPart + s.hostParts;
    p.firstTiPart = p.firstDevicePart + s.deviceParts;
    p.firstWifiPart = p.firstTiPart + s.tiParts;
    p.firstFpgaPart = p.firstWifiPart + s.wifiParts;
    // Each memory is written and then verified.
    p.totalParts = p.firstFpgaPart - 1 + 2 * (s.nvcm0Parts + s.nvcm1Parts);
    return p;
}

std::string writeFaultContainer(const std::string &dir, const FaultContainerShape &s)
{
    AffImage img;
    for (size_t i = 0; i < img.iv.size(); i++)
        img.iv[i] = uint8_t(0xA0 + i);
    img.blocks = {
        makeBlock(AFF_BLOCK_HOST_UC, s.hostParts, kHostPartSize, 10700001, 1),
        makeBlock(AFF_BLOCK_DEVICE_UC, s.deviceParts, kDevicePartSize, 10700002, 2),
        makeBlock(AFF_BLOCK_TI, s.tiParts, kTiPartSize, 10700003, 3),
        makeBlock(AFF_BLOCK_ESP_FLASH, s.wifiParts, kWifiPartSize, 10700004, 4),
        makeBlock(AFF_BLOCK_FPGA_NVCM0, s.nvcm0Parts, kFpgaPartSize, 20005, 5),
        makeBlock(AFF_BLOCK_FPGA_NVCM1, s.nvcm1Parts, kFpgaPartSize, 20005, 6),
        makeBlock(AFF_BLOCK_FPGA_USERCODE, 1, kUsercodeSize, 20005, 7),
    };
    std::vector<uint8_t> bytes = img.build();
    std::string path = dir + "/fw.aff";
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    return f ? path : std::string();
}

bool FaultRun::succeeded() const
{
    return updater.exitCode == 0 && countLines(updater.out, kSuccessLine) == 1 &&
           countLines(updater.out, kFailureLine) == 0;
}

bool FaultRun::succeededExactly() const
{
    return succeeded() && verifyExit == 0;
}

bool FaultRun::failedWith(const std::string &line) const
{
    return updater.exitCode == 1 && !updater.timedOut && countLines(updater.out, line) >= 1 &&
           countLines(updater.out, kFailureLine) == 1 && countLines(updater.out, kSuccessLine) == 0;
}

long long FaultRun::summaryValue(const std::string &path) const
{
    return jsonNumber(summary, path);
}

std::string FaultRun::describe() const
{
    std::ostringstream s;
    s << "updater exit " << updater.exitCode << (updater.timedOut ? " (timed out)" : "") << " after "
      << elapsedMs << " ms\n--- updater output ---\n"
      << stripEscapes(updater.out) << "\n--- updater stderr ---\n"
      << updater.err << "\n--- devsim exit " << devsimExit << ", verify exit " << verifyExit << " ---\n"
      << verifyOut << "--- summary ---\n"
      << summary << "\n";
    return s.str();
}

FaultRun runUpdate(DevsimRunner &dev, const std::string &aff, const std::vector<std::string> &devsimArgs,
                   int timeoutMs, bool verbose)
{
    FaultRun run;
    std::vector<std::string> args = {"--container", aff};
    args.insert(args.end(), devsimArgs.begin(), devsimArgs.end());
    if (!dev.start(args))
    {
        run.updater.err = "devsim did not start: " + dev.stderrText();
        return run;
    }
    std::vector<std::string> updaterArgs = {dev.port(), "-update", aff};
    if (verbose)
        updaterArgs.push_back("-v");
    auto start = std::chrono::steady_clock::now();
    run.updater = runProgram(programPath("updater"), updaterArgs, timeoutMs);
    run.elapsedMs =
        int(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count());
    run.devsimExit = dev.stop();
    run.summary = dev.summary();
    ProgramResult verify =
        runProgram(programPath("devsim"), {"verify", dev.stateDir(), aff}, kVerifyTimeoutMs);
    run.verifyExit = verify.exitCode;
    run.verifyOut = verify.out + verify.err;
    return run;
}

std::string judgeOutcome(const FaultRun &run, const std::string &failureLine, int boundMs)
{
    if (run.elapsedMs >= boundMs || run.updater.timedOut)
        return "took " + std::to_string(run.elapsedMs) + " ms";
    if (run.succeeded())
        return run.verifyExit == 0 ? "success" : "reported success for a device that differs";
    if (run.failedWith(failureLine))
        return "failure";
    return "neither success nor a clean failure";
}

std::string runRandomFaults(const std::string &rate, int seed, FaultRun *pRun)
{
    // A lost answer costs the engine's 10 s silence period; at the rates tried
    // a run meets up to a dozen of them.
    constexpr int kRandomBoundMs = 240000;
    DevsimRunner dev;
    std::string aff = writeFaultContainer(dev.dir());
    *pRun = runUpdate(dev, aff, {"--random-faults", rate, "--seed", std::to_string(seed)},
                      kRandomBoundMs + 60000);
    std::string verdict = judgeOutcome(*pRun, "ERR: Maximum number of retries reached", kRandomBoundMs);
    printf(
        "random faults rate %s seed %d: %s, %lld lost, %lld corrupted, %zu resends, %lld responses, %d ms\n",
        rate.c_str(), seed, verdict.c_str(), pRun->summaryValue("faults.random_lost"),
        pRun->summaryValue("faults.random_corrupted"), countLines(pRun->updater.out, "Resending last packet"),
        pRun->summaryValue("responses"), pRun->elapsedMs);
    fflush(stdout);
    return verdict;
}

std::vector<std::string> outputLines(const std::string &out)
{
    static const std::regex progress("^\\[ *[0-9]+% \\] ");
    std::vector<std::string> lines;
    std::istringstream in(stripEscapes(out));
    std::string line;
    while (std::getline(in, line))
    {
        // A progress report rewrites the line after a carriage return: the
        // line's own text is what came before the first one.
        line = line.substr(0, line.find('\r'));
        line = std::regex_replace(line, progress, "");
        if (!line.empty())
            lines.push_back(line);
    }
    return lines;
}

size_t countLines(const std::string &out, const std::string &line)
{
    size_t n = 0;
    for (const std::string &l : outputLines(out))
        n += l == line ? 1 : 0;
    return n;
}

} // namespace testsupport
