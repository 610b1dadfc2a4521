#include "tests/support/e2e_session.h"

#include <sstream>

namespace testsupport
{

namespace
{

constexpr int kVerifyTimeoutMs = 30000;

std::string trim(const std::string &text)
{
    size_t start = text.find_first_not_of(' ');
    size_t end = text.find_last_not_of(' ');
    return start == std::string::npos ? std::string() : text.substr(start, end - start + 1);
}

} // namespace

E2eUpdaterRun e2eRunUpdater(const DevsimRunner &dev, const std::vector<std::string> &options, int timeoutMs)
{
    std::vector<std::string> args = {dev.port()};
    args.insert(args.end(), options.begin(), options.end());
    E2eUpdaterRun run;
    run.result = runProgram(programPath("updater"), args, timeoutMs);
    run.terminal = e2eParseTerminal(run.result.out);
    return run;
}

void e2eExpectTerminal(const E2eUpdaterRun &run, const std::string &expected, int exitCode)
{
    EXPECT_FALSE(run.result.timedOut);
    EXPECT_EQ(exitCode, run.result.exitCode) << run.result.err;
    EXPECT_EQ(e2eShow(expected), e2eShow(run.result.out));
}

E2eVerifyResult e2eVerify(const DevsimRunner &dev, const std::string &aff, bool noHost)
{
    std::vector<std::string> args = {"verify"};
    if (noHost)
        args.push_back("--no-host");
    args.push_back(dev.stateDir());
    args.push_back(aff);
    ProgramResult r = runProgram(programPath("devsim"), args, kVerifyTimeoutMs);
    E2eVerifyResult result;
    result.exitCode = r.exitCode;
    result.out = r.out + r.err;

    // One line per component: the name, the status word and the rest, in columns
    // separated by at least two blanks.
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line))
    {
        size_t nameEnd = line.find("  ");
        if (line.rfind("verify:", 0) == 0 || nameEnd == std::string::npos)
            continue;
        std::string rest = trim(line.substr(nameEnd));
        size_t statusEnd = rest.find(' ');
        std::string name = line.substr(0, nameEnd);
        result.status[name] = rest.substr(0, statusEnd);
        result.detail[name] = statusEnd == std::string::npos ? std::string() : trim(rest.substr(statusEnd));
    }
    return result;
}

E2eLines e2eJoin(std::initializer_list<E2eLines> pieces)
{
    E2eLines all;
    for (const E2eLines &piece : pieces)
        all.insert(all.end(), piece.begin(), piece.end());
    return all;
}

E2eLines e2eBootModeLines(bool fromApplication)
{
    if (!fromApplication)
        return {"Checking if device is in BOOT mode..."};
    return {"Checking if device is in BOOT mode...", "Entering bootloader...",
            "Checking if device is in BOOT mode..."};
}

E2eLines e2eHelloLines(const std::string &firmware, const E2eLines &components, unsigned productId,
                       unsigned hardwareId)
{
    E2eLines lines = {"Requesting bootloader information",
                      "Bootloader version: 20100000 (Jan 15 2024), product id: " + std::to_string(productId) +
                          ", hw id: " + std::to_string(hardwareId),
                      "Firmware version: " + firmware, "Components:"};
    lines.insert(lines.end(), components.begin(), components.end());
    return lines;
}

E2eLines e2eUcLines(const std::string &who)
{
    return {"Programming " + who, "Uploading " + who + " firmware", "Finishing data transfer", who + " Done"};
}

E2eLines e2eTiLines()
{
    return {"Programming DEVICE Ti", "Uploading DEVICE TI firmware", "Finishing data transfer",
            "DEVICE Ti Done"};
}

E2eLines e2eFpgaLines()
{
    return {"Programming FPGA", "FPGA Done"};
}

E2eLines e2eFreshHostComponents()
{
    return {"\tHOST: 1.0.0.0 (Jan  1 2024) -> 1.2.3.1 (Mar 14 2025)"};
}

E2eLines e2eFreshDeviceComponents()
{
    return {"\tWIFI: 1.0.0.0 (Jan  1 2024) -> 1.2.3.4 (Mar 14 2025)",
            "\tFPGA: 1.0.0 (Jan  1 2024) -> 1.4.5 (Mar 14 2025)",
            "\t  uC: 1.0.0.0 (Jan  1 2024) -> 1.2.3.2 (Mar 14 2025)",
            "\t  Ti: 1.0.0.0 (Jan  1 2024) -> 1.2.3.3 (Mar 14 2025)"};
}

E2eLines e2eFreshWifiHandOverComponents()
{
    // The Wi-Fi image takes the microcontroller's line; the TI is already programmed.
    return {"\tFPGA: 1.0.0 (Jan  1 2024) -> 1.4.5 (Mar 14 2025)",
            "\t  uC: 1.0.0.0 (Jan  1 2024) -> 1.2.3.4 (Mar 14 2025)",
            "\t  Ti: 1.2.3.3 (Mar 14 2025) -> 1.2.3.3 (Mar 14 2025)"};
}

E2eLines e2eFiveComponentsUpdateLines()
{
    const std::string fresh = "1.0.0.0 (Jan  1 2024)";
    return e2eJoin({e2eBootModeLines(true),
                    {"Entered bootloader, locking..."},
                    e2eHelloLines(fresh, e2eFreshHostComponents()),
                    e2eUcLines("HOST uC"),
                    {"Entering DEVICE bootloader"},
                    e2eHelloLines(fresh, e2eFreshDeviceComponents()),
                    e2eUcLines("DEVICE uC"),
                    e2eTiLines(),
                    {"Programming WIFI"},
                    e2eHelloLines(fresh, e2eFreshWifiHandOverComponents()),
                    e2eUcLines("DEVICE uC"),
                    e2eFpgaLines(),
                    {"Leaving BOOT mode..."}});
}

} // namespace testsupport
