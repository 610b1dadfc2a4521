#include "sim/sim_options.h"

#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>

namespace devsim
{

namespace
{

const char *const kVersionSlotNames[kVersionSlotCount] = {"bootloader", "host-uc", "device-uc",
                                                          "ti",         "wifi",    "fpga"};
const char *const kImageNames[kImageCount] = {"host-uc", "device-uc", "ti",      "wifi",
                                              "nvcm0",   "nvcm1",     "usercode"};
const char *const kImageLabels[kImageCount] = {"host uC", "device uC", "TI",      "Wi-Fi",
                                               "NVCM0",   "NVCM1",     "usercode"};

bool parsePositive(const std::string &text, uint32_t *pValue)
{
    return parseU32(text, pValue) && *pValue > 0;
}

// Splits "A:B" at its first colon.
bool splitPair(const std::string &text, char sep, std::string *pFirst, std::string *pSecond)
{
    size_t pos = text.find(sep);
    if (pos == std::string::npos)
        return false;
    *pFirst = text.substr(0, pos);
    *pSecond = text.substr(pos + 1);
    return true;
}

bool parseRate(const std::string &text, double *pRate)
{
    if (text.empty())
        return false;
    char *pEnd = nullptr;
    errno = 0;
    double rate = std::strtod(text.c_str(), &pEnd);
    if (errno != 0 || pEnd == nullptr || *pEnd != '\0' || !(rate >= 0.0 && rate <= 1.0))
        return false;
    *pRate = rate;
    return true;
}

} // namespace

const char *versionSlotName(VersionSlot slot)
{
    return kVersionSlotNames[static_cast<int>(slot)];
}
const char *imageName(Image image)
{
    return kImageNames[static_cast<int>(image)];
}
const char *imageLabel(Image image)
{
    return kImageLabels[static_cast<int>(image)];
}

bool versionSlotFromName(const std::string &name, VersionSlot *pSlot)
{
    for (int i = 0; i < kVersionSlotCount; i++)
    {
        if (name == kVersionSlotNames[i])
        {
            *pSlot = static_cast<VersionSlot>(i);
            return true;
        }
    }
    return false;
}

bool parseU32(const std::string &text, uint32_t *pValue)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    int base = 10;
    const char *pStart = text.c_str();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    {
        base = 16;
        pStart += 2;
    }
    char *pEnd = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(pStart, &pEnd, base);
    if (errno != 0 || pEnd == pStart || *pEnd != '\0' || value > UINT32_MAX)
        return false;
    *pValue = static_cast<uint32_t>(value);
    return true;
}

std::string usageText()
{
    return "Usage: devsim [options] LINK\n"
           "       devsim verify [--no-host] STATE_DIR FILE.aff\n"
           "\n"
           "Emulates the device on a pseudo-terminal. LINK (for example /tmp/ttyDEV0) becomes a\n"
           "symbolic link to the terminal, to be given to the updater as its PORT. The device runs\n"
           "until it is interrupted (Ctrl-C or SIGTERM).\n"
           "\n"
           "'devsim verify' compares, component by component, what a device state holds with the\n"
           "images of a container; the exit status is 0 only when every component matches.\n"
           "With --no-host the host microcontroller's image is not compared.\n"
           "\n"
           "Device:\n"
           "  --state DIR              keep the device's state (component images, versions) in DIR;\n"
           "                           without it a temporary directory is used and removed on exit\n"
           "  --container FILE.aff     after a component is programmed, report the version of this\n"
           "                           container's matching block; also the default device identity\n"
           "  --product-id N           product id reported by the bootloaders\n"
           "                           (default: the container's, else 0)\n"
           "  --hardware-id N          hardware id reported by the bootloaders\n"
           "                           (default: the container's, else 0)\n"
           "  --protocol-id N          protocol id reported by every bootloader (default 5)\n"
           "  --set-version NAME=CODE  version code reported for NAME: bootloader, host-uc,\n"
           "                           device-uc, ti, wifi or fpga (repeatable; stored in the state)\n"
           "  --no-host                a device without host microcontroller: the device\n"
           "                           bootloader answers on the serial link itself\n"
           "  --boot                   start in BOOT mode (bootloader running, not locked)\n"
           "  --app-baud RATE          baud rate the application listens at (default 115200)\n"
           "  --device-log             the bootloaders write \"L...\" log lines\n"
           "\n"
           "Faults (N counts from 1 over the whole session):\n"
           "  --lose-response N        do not send the Nth response packet (repeatable)\n"
           "  --corrupt-response N     send the Nth response packet with a wrong checksum\n"
           "                           (repeatable)\n"
           "  --status N:WORD          answer the Nth request packet with the status WORD instead\n"
           "                           of carrying it out (repeatable)\n"
           "  --late-response N:MS     send the answer to the Nth request packet MS milliseconds\n"
           "                           late, after anything sent meanwhile (repeatable)\n"
           "  --at-error K[:TEXT]      answer the first K text commands (or the first K equal to\n"
           "                           TEXT, e.g. AT+LOCK=1) with \"AT+ERROR\"\n"
           "  --disconnect-at-part N:MS  on the Nth firmware part, drop the link (terminal and LINK\n"
           "                           gone) for MS milliseconds, then come back behind LINK\n"
           "  --silent-after N         answer nothing after the Nth request packet\n"
           "  --random-faults RATE     lose each response packet with probability RATE and corrupt\n"
           "                           it with probability RATE (0 to 1)\n"
           "  --seed N                 seed of --random-faults (default 1)\n"
           "  --throttle               bytes take their wire time at the port's baud rate\n"
           "                           (10 bits a byte, both directions)\n"
           "  --throttle-baud RATE     like --throttle, but bytes take their wire time at RATE\n"
           "                           whatever rate the port is set to\n"
           "\n"
           "Output:\n"
           "  -v, --verbose            log every command received to standard error\n"
           "  --summary FILE           write a JSON summary of the session to FILE on exit\n"
           "  -h, --help               show this text\n";
}

// Options that take a value, writing into config: each handler returns false when the
// value is bad, with what was expected in *pExp.
using OptionHandler = std::function<bool(const std::string &, std::string *)>;
std::map<std::string, OptionHandler> valuedOptions(SimConfig &config)
{
    return {
        {"--state",
         [&](const std::string &v, std::string *pExp)
         {
             *pExp = "a directory path";
             config.stateDir = v;
             return !v.empty();
         }},
        {"--container",
         [&](const std::string &v, std::string *pExp)
         {
             *pExp = "a file path";
             config.containerPath = v;
             return !v.empty();
         }},
        {"--summary",
         [&](const std::string &v, std::string *pExp)
         {
             *pExp = "a file path";
             config.summaryPath = v;
             return !v.empty();
         }},
        {"--product-id",
         [&](const std::string &v, std::string *pExp)
         {
             *pExp = "a number";
             uint32_t value = 0;
             if (!parseU32(v, &value))
                 return false;
             config.productId = value;
             return true;
         }},
        {"--hardware-id",
         [&](const std::string &v, std::string *pExp)
         {
             *pExp = "a number";
             uint32_t value = 0;
             if (!parseU32(v, &value))
                 return false;
             config.hardwareId = value;
             return true;
         }},
        {"--protocol-id",
         [&](const std::string &v, std::string *pExp)
         {
             *pExp = "a number";
             return parseU32(v, &config.protocolId);
         }},
        {"--set-version",
         [&](const std::string &v, std::string *pExp)
         {
             *pExp = "NAME=CODE with NAME one of bootloader, host-uc, device-uc, ti, wifi, fpga";
             std::string name, code;
             VersionSlot slot;
             uint32_t value = 0;
             if (!splitPair(v, '=', &name, &code) || !versionSlotFromName(name, &slot) ||
                 !parseU32(code, &value))
                 return false;
             config.versions.emplace_back(slot, value);
             return true;
         }},
        {"--app-baud",
         [&](const std::string &v, std::string *pExp)
         {
             *pExp = "a positive baud rate";
             return parsePositive(v, &config.appBaud);
         }},
        {"--lose-response",
         [&](const std::string &v, std::string *pExp)
         {
             *pExp = "a response number (1 or more)";
             uint32_t n = 0;
             if (!parsePositive(v, &n))
                 return false;
             config.faults.loseResponse.push_back(n);
             return true;
         }},
        {"--corrupt-response",
         [&](const std::string &v, std::string *pExp)
         {
             *pExp = "a response number (1 or more)";
             uint32_t n = 0;
             if (!parsePositive(v, &n))
                 return false;
             config.faults.corruptResponse.push_back(n);
             return true;
         }},
        {"--status",
         [&](const std::string &v, std::string *pExp)
         {
             *pExp = "N:WORD (request number 1 or more, status word)";
             std::string first, second;
             uint32_t n = 0, word = 0;
             if (!splitPair(v, ':', &first, &second) || !parsePositive(first, &n) || !parseU32(second, &word))
                 return false;
             config.faults.statusAnswer.emplace_back(n, word);
             return true;
         }},
        {"--late-response",
         [&](const std::string &v, std::string *pExp)
         {
             *pExp = "N:MS (request number 1 or more, milliseconds)";
             std::string first, second;
             uint32_t n = 0, ms = 0;
             if (!splitPair(v, ':', &first, &second) || !parsePositive(first, &n) || !parseU32(second, &ms))
                 return false;
             config.faults.lateAnswer.emplace_back(n, ms);
             return true;
         }},
        {"--at-error",
         [&](const std::string &v, std::string *pExp)
         {
             *pExp = "K or K:TEXT (K 1 or more)";
             std::string first = v, second;
             if (v.find(':') != std::string::npos)
             {
                 splitPair(v, ':', &first, &second);
                 if (second.empty())
                     return false;
             }
             config.faults.atErrorText = second;
             return parsePositive(first, &config.faults.atErrorCount);
         }},
        {"--disconnect-at-part",
         [&](const std::string &v, std::string *pExp)
         {
             *pExp = "N:MS (part number 1 or more, milliseconds)";
             std::string first, second;
             return splitPair(v, ':', &first, &second) &&
                    parsePositive(first, &config.faults.disconnectPart) &&
                    parseU32(second, &config.faults.disconnectMs);
         }},
        {"--silent-after",
         [&](const std::string &v, std::string *pExp)
         {
             *pExp = "a number of requests";
             uint32_t n = 0;
             if (!parseU32(v, &n))
                 return false;
             config.faults.silentAfter = n;
             return true;
         }},
        {"--throttle-baud",
         [&](const std::string &v, std::string *pExp)
         {
             *pExp = "a positive baud rate";
             config.faults.throttle = true;
             return parsePositive(v, &config.faults.throttleBaud);
         }},
        {"--random-faults",
         [&](const std::string &v, std::string *pExp)
         {
             *pExp = "a probability from 0 to 1";
             return parseRate(v, &config.faults.randomRate);
         }},
        {"--seed",
         [&](const std::string &v, std::string *pExp)
         {
             *pExp = "a number";
             uint32_t seed = 0;
             if (!parseU32(v, &seed))
                 return false;
             config.faults.seed = seed;
             return true;
         }},
    };
}

// Options without a value; false when arg is not one of them.
bool setFlag(const std::string &arg, SimConfig &config)
{
    const std::pair<const char *, bool *> flags[] = {
        {"-v", &config.verbose},
        {"--verbose", &config.verbose},
        {"--no-host", &config.noHost},
        {"--boot", &config.startInBoot},
        {"--device-log", &config.deviceLog},
        {"--throttle", &config.faults.throttle},
    };
    for (const auto &[name, pFlag] : flags)
    {
        if (arg == name)
        {
            *pFlag = true;
            return true;
        }
    }
    return false;
}

ParseResult parseOptions(int argc, const char *const *argv, SimConfig *pConfig, std::string *pError)
{
    SimConfig config;
    std::vector<std::string> positional;
    auto fail = [&](const std::string &message)
    {
        *pError = message;
        return ParseResult::Error;
    };
    auto badValue = [&](const std::string &option, const std::string &value, const std::string &expected)
    { return fail("invalid value '" + value + "' for " + option + ": expected " + expected); };

    const std::map<std::string, OptionHandler> valued = valuedOptions(config);

    for (int i = 0; i < argc; i++)
    {
        std::string arg = argv[i];
        std::string value;
        bool hasInlineValue = false;
        if (arg.rfind("--", 0) == 0)
        {
            size_t eq = arg.find('=');
            if (eq != std::string::npos && valued.count(arg.substr(0, eq)))
            {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasInlineValue = true;
            }
        }
        if (arg == "-h" || arg == "--help")
            return ParseResult::Help;
        if (setFlag(arg, config))
            continue;
        if (valued.count(arg))
        {
            if (!hasInlineValue)
            {
                if (i + 1 >= argc)
                    return fail("option " + arg + " needs a value");
                value = argv[++i];
            }
            std::string expected;
            if (!valued.at(arg)(value, &expected))
                return badValue(arg, value, expected);
        }
        else if (arg.size() > 1 && arg[0] == '-')
            return fail("unknown option: " + arg);
        else
            positional.push_back(arg);
    }

    if (positional.empty())
        return fail("missing LINK: the path of the symbolic link to create (for example /tmp/ttyDEV0)");
    if (positional.size() > 1)
        return fail("unexpected argument: " + positional[1]);
    config.linkPath = positional[0];
    *pConfig = config;
    return ParseResult::Run;
}

} // namespace devsim
