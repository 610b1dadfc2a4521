#include "app/front_end.h"

#include <serial.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <thread>
#include <vector>

#include "aff/aff_container.h"
#include "aff/aff_report.h"
#include "app/host_callbacks.h"
#include "app/interrupt.h"
#include "app/terminal.h"
#include "engine/updater.h"

#define APP_BANNER_PREFIX "UPDATER "
#define APP_DEFAULT_NAME "updater" // program name for the usage text when argv[0] is missing
#define APP_CONNECT_SETTLE_MS 500  // pause after opening the port, before anything is sent
#define APP_CONFIG_PAUSE_MS 200    // pause after each step of the CONFIG procedure
#define APP_CONFIG_REPEATS 3       // CONFIG commands sent at each trial rate
#define APP_CONFIG_COMMAND "AT+CONFIG=1\r\n"
#define APP_CONFIG_REPLY "AT+OK\r\n"
#define APP_CONFIG_REPLY_LEN 7 // characters of APP_CONFIG_REPLY

// Trial rates of the CONFIG procedure, in the order they are tried: the device
// may still be listening at the rate of an earlier, interrupted run.
static const std::array<uint32_t, 3> s_pBauds = {115200, 921600, 3000000};

// What the command line asked for.
struct _tRunSettings
{
    uint32_t ulOp = UPDATER_OP_NONE;
    const char *szAffPath = nullptr;
    uint8_t isForce = 1;
    uint8_t isVerbose = 0;
};

static void sleepMs(uint32_t ulMs)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ulMs));
}

void printUsage(const char *szArgv0)
{
    printf("Usage: %s PORT [options]\n", szArgv0);
    puts("\t-readver\tReads bootloader and module versions, leaving it in lock state");
    puts("\t-config\t\tPuts device in CONFIG mode");
    puts("\t-ub\t\tPuts device in BOOT mode");
    puts("\t-update PATH\tFlashes bootloader using .aff file, leaving it in lock state");
    puts("\t-lock 0|1\tOnly sets bootloader lock state");
    puts("Additional options:");
    puts("\t-nf\tDon't update components if version code in AFF match with current");
    puts("\t-v\tVerbose output");
    printf("Alternative usage: %s -affver PATH\tReads from .aff file modules versions\n", szArgv0);

    std::vector<serial::PortInfo> vPorts;
    try
    {
        vPorts = serial::list_ports();
    }
    catch (...)
    {
        // No listing: the usage text still stands, with no ports.
    }
    printf("Available ports: %d\n", static_cast<int>(vPorts.size()));
    for (const serial::PortInfo &sPort : vPorts)
    {
        printf("\t%s\t(id: %s, desc: %s)\n", sPort.port.c_str(), sPort.hardware_id.c_str(),
               sPort.description.c_str());
    }
}

// Reads the whole open file into vBytes. Returns 1 when every byte was read,
// 0 when the size cannot be found, does not fit the engine's 32-bit sizes, the
// buffer cannot be had or the read comes up short.
static uint8_t readWholeFile(FILE *pFile, std::vector<uint8_t> &vBytes)
{
    if (fseek(pFile, 0, SEEK_END) != 0)
    {
        return 0;
    }
    const long lSize = ftell(pFile);
    if (lSize < 0 || static_cast<unsigned long>(lSize) > UINT32_MAX)
    {
        return 0;
    }
    if (fseek(pFile, 0, SEEK_SET) != 0)
    {
        return 0;
    }
    const size_t ulSize = static_cast<size_t>(lSize);
    try
    {
        vBytes.resize(ulSize);
    }
    catch (const std::exception &)
    {
        return 0;
    }
    if (ulSize == 0)
    {
        return 1;
    }
    return fread(vBytes.data(), 1, ulSize, pFile) == ulSize ? 1 : 0;
}

// Loads the AFF file at szPath into vBytes and registers it with the container
// reader. Returns 1 when the file was read whole and its header is supported;
// 0 otherwise (an unopenable file is reported here, a bad header by the reader).
static uint8_t loadAffFile(const char *szPath, std::vector<uint8_t> &vBytes)
{
    FILE *pFile = fopen(szPath, "rb");
    if (pFile == nullptr)
    {
        printf("Couldn't open file: %s\n", szPath);
        return 0;
    }
    const uint8_t ubRead = readWholeFile(pFile, vBytes);
    fclose(pFile);
    if (ubRead != 1)
    {
        return 0;
    }
    // An empty file has no header; it is handed over like any other so the
    // reader's verdict stands, with a valid pointer even for zero bytes.
    static const uint8_t s_ubNoBytes = 0;
    const uint8_t *pBytes = vBytes.empty() ? &s_ubNoBytes : vBytes.data();
    return affFileSupported(pBytes, static_cast<uint32_t>(vBytes.size())) == 1 ? 1 : 0;
}

// Room for one line that names the damage of a container.
#define APP_DAMAGE_LINE_SIZE 96
#define APP_DAMAGE_LINES 2

// What each block type holds, for the damage lines; index = type.
static const char *const s_pBlockTypeNames[] = {
    "unknown",    "Wi-Fi RAM",     "Wi-Fi RAM data", "Wi-Fi",   "FPGA NVCM0",
    "FPGA NVCM1", "FPGA usercode", "device uC",      "host uC", "TI",
};

static const char *blockTypeName(uint32_t ulType)
{
    return ulType < sizeof(s_pBlockTypeNames) / sizeof(s_pBlockTypeNames[0]) ? s_pBlockTypeNames[ulType]
                                                                             : s_pBlockTypeNames[0];
}

// Puts into aszLines the lines that name the damage sResult found: the part
// check's own "CRC Error on part N" first when a part is bad. Returns their count.
static int describeDamage(const _tAffCheckResult &sResult,
                          char aszLines[APP_DAMAGE_LINES][APP_DAMAGE_LINE_SIZE])
{
    const unsigned uBlock = sResult.ubBlockIdx;
    const unsigned long ulType = static_cast<unsigned long>(sResult.ulBlockType);
    const unsigned long ulPart = static_cast<unsigned long>(sResult.ulPartIdx);
    switch (sResult.ubResult)
    {
    case AFF_CHECK_BAD_HEADER:
        snprintf(aszLines[0], APP_DAMAGE_LINE_SIZE, "AFF file damaged: header unreadable");
        return 1;
    case AFF_CHECK_BAD_BLOCK_HEADER:
        snprintf(aszLines[0], APP_DAMAGE_LINE_SIZE, "AFF file damaged: block %u header unreadable", uBlock);
        return 1;
    case AFF_CHECK_BLOCK_OUTSIDE_FILE:
        snprintf(aszLines[0], APP_DAMAGE_LINE_SIZE,
                 "AFF file damaged: block %u data past the end of the file", uBlock);
        return 1;
    case AFF_CHECK_BAD_PART_CRC:
        snprintf(aszLines[0], APP_DAMAGE_LINE_SIZE, "CRC Error on part %lu", ulPart);
        snprintf(aszLines[1], APP_DAMAGE_LINE_SIZE,
                 "AFF file damaged: block %u (type %lu, %s) part %lu CRC mismatch", uBlock, ulType,
                 blockTypeName(sResult.ulBlockType), ulPart);
        return 2;
    default:
        snprintf(aszLines[0], APP_DAMAGE_LINE_SIZE, "AFF file damaged");
        return 1;
    }
}

// Prints the lines that name the damage: as lines of their own, or, with
// isReport set, in the style of the offline report they follow.
static void printDamage(const _tAffCheckResult &sResult, uint8_t isReport)
{
    char aszLines[APP_DAMAGE_LINES][APP_DAMAGE_LINE_SIZE];
    const int iLines = describeDamage(sResult, aszLines);
    for (int i = 0; i < iLines; ++i)
    {
        if (isReport == 1)
        {
            cbPrint(aszLines[i], nullptr);
        }
        else
        {
            puts(aszLines[i]);
        }
    }
}

// Checks the whole registered file as an update would send it: every block
// reachable and inside the file, every part CRC of every block that can be
// sent. Returns 1 when the file is whole, 0 otherwise with the damage in *pResult.
static uint8_t checkAffWhole(uint32_t ulSize, _tAffCheckResult *pResult)
{
    return affCheckContainer(readAffFromMem, ulSize, AFF_STREAMED_TYPES, pResult) == AFF_CHECK_OK ? 1 : 0;
}

// The update's check of the loaded file. Returns 1 when the file is whole, 0
// after printing the lines that name the damage.
static uint8_t checkAffIntegrity(uint32_t ulSize)
{
    _tAffCheckResult sResult;
    if (checkAffWhole(ulSize, &sResult) == 1)
    {
        return 1;
    }
    printDamage(sResult, 0);
    return 0;
}

// The offline report of -affver. Returns 1 when the file loaded and is whole,
// 0 otherwise.
static uint8_t runAffVersions(const char *szPath, std::vector<uint8_t> &vBytes)
{
    if (loadAffFile(szPath, vBytes) != 1)
    {
        return 0;
    }
    // The file is registered by the check above; the report prints straight to the terminal.
    updaterPrintAffComponentsVersions(nullptr, cbPrint, nullptr);

    // The report lists what it can reach; a file an update would refuse fails here.
    _tAffCheckResult sResult;
    if (checkAffWhole(static_cast<uint32_t>(vBytes.size()), &sResult) == 1)
    {
        return 1;
    }
    printDamage(sResult, 1);
    return 0;
}

// One trial of the CONFIG procedure at ulBaud. Returns 1 when the device
// answered the confirmation at the default rate, 0 otherwise.
static uint8_t tryConfigAtBaud(serial::Serial &sPort, uint32_t ulBaud)
{
    printf("Baud: %d\n", static_cast<int>(ulBaud));
    try
    {
        sPort.setBaudrate(ulBaud);
        hostSerialReopenUntilOpen();
        sleepMs(APP_CONFIG_PAUSE_MS);
        puts("Putting in CONFIG mode");
        fflush(stdout);
        appInterruptNoteSent();
        for (int i = 0; i < APP_CONFIG_REPEATS; ++i)
        {
            sPort.write(APP_CONFIG_COMMAND);
            sleepMs(APP_CONFIG_PAUSE_MS);
        }

        // A device that switched to CONFIG mode now listens at the default rate.
        sPort.setBaudrate(HOST_BAUD_DEFAULT);
        hostSerialReopenUntilOpen();
        sleepMs(APP_CONFIG_PAUSE_MS);
        sPort.flushInput();
        sPort.write(APP_CONFIG_COMMAND);
        sleepMs(APP_CONFIG_PAUSE_MS);

        uint8_t pReply[APP_CONFIG_REPLY_LEN + 1] = {};
        sPort.read(pReply, APP_CONFIG_REPLY_LEN);
        if (memcmp(pReply, APP_CONFIG_REPLY, APP_CONFIG_REPLY_LEN) == 0)
        {
            return 1;
        }
        printf("Wrong response:%s\n", reinterpret_cast<const char *>(pReply));
    }
    catch (const std::exception &e)
    {
        printf("Serial port error (%s)\n", e.what());
    }
    fflush(stdout);
    return 0;
}

uint8_t appConfigMode()
{
    serial::Serial *pPort = hostSerial();
    if (pPort == nullptr)
    {
        return 0;
    }
    uint8_t ubResult = 0;
    for (uint32_t ulBaud : s_pBauds)
    {
        if (tryConfigAtBaud(*pPort, ulBaud) == 1)
        {
            ubResult = 1;
            break;
        }
    }
    try
    {
        pPort->setBaudrate(HOST_BAUD_DEFAULT);
    }
    catch (...)
    {
        // The port is closed at the end of the run anyway.
    }
    return ubResult;
}

// Reports a bad option with szFormat (one %s for szValue, or none) and the
// usage text, unless isQuiet is set. Returns 0, the parse's failure.
static uint8_t optionError(uint8_t isQuiet, const char *szArgv0, const char *szFormat, const char *szValue)
{
    if (isQuiet == 0)
    {
        printf(szFormat, szValue);
        printUsage(szArgv0);
    }
    return 0;
}

// The operation of "-lock 1" or "-lock 0". Returns 1, or 0 for any other value.
static uint8_t lockOperation(const char *szValue, uint32_t *pulOp)
{
    if (strcmp(szValue, "1") == 0)
        *pulOp = UPDATER_OP_LOCK;
    else if (strcmp(szValue, "0") == 0)
        *pulOp = UPDATER_OP_UNLOCK;
    else
        return 0;
    return 1;
}

// Reads the options after the port name into sSettings. Returns 1 when they
// were all understood, 0 after reporting a bad one (not reported when isQuiet
// is set), 2 when -config was met (the rest of the command line is then ignored).
#define APP_ARGS_CONFIG 2
static uint8_t parseOptions(int argc, char **argv, _tRunSettings &sSettings, uint8_t isQuiet)
{
    for (int i = 2; i < argc; ++i)
    {
        const char *szArg = argv[i];
        if (strcmp(szArg, "-readver") == 0)
        {
            sSettings.ulOp = UPDATER_OP_READ_VERSIONS;
        }
        else if (strcmp(szArg, "-config") == 0)
        {
            return APP_ARGS_CONFIG;
        }
        else if (strcmp(szArg, "-update") == 0)
        {
            if (i + 1 >= argc)
            {
                return optionError(isQuiet, argv[0], "Missing file path!\n", "");
            }
            sSettings.szAffPath = argv[++i];
            sSettings.ulOp = UPDATER_OP_UPDATE_CHANGED;
        }
        else if (strcmp(szArg, "-lock") == 0)
        {
            // A missing value is reported like a wrong one, as an empty text.
            const char *szValue = (i + 1 < argc) ? argv[++i] : "";
            if (lockOperation(szValue, &sSettings.ulOp) != 1)
            {
                return optionError(isQuiet, argv[0], "Unknown lock arg: %s, expected 0 or 1\n", szValue);
            }
        }
        else if (strcmp(szArg, "-ub") == 0)
        {
            sSettings.ulOp = UPDATER_OP_BOOT_MODE;
        }
        else if (strcmp(szArg, "-v") == 0)
        {
            sSettings.isVerbose = 1;
        }
        else if (strcmp(szArg, "-f") == 0)
        {
            sSettings.isForce = 1;
        }
        else if (strcmp(szArg, "-nf") == 0)
        {
            sSettings.isForce = 0;
        }
        else
        {
            return optionError(isQuiet, argv[0], "Unknown parameter: %s\n", szArg);
        }
    }
    return 1;
}

// An update whose container has a bad part is refused before the port is even
// opened. Only that refusal is made here: every other fault of the command line
// or the file is reported, as always, after the port was opened (the container
// is loaded and checked again then). Returns 1 when the run goes on to the port,
// 0 after printing the refusal.
static uint8_t refuseBadPartsEarly(int argc, char **argv, std::vector<uint8_t> &vAffBytes)
{
    _tRunSettings sSettings;
    if (parseOptions(argc, argv, sSettings, 1) != 1 || sSettings.ulOp != UPDATER_OP_UPDATE_CHANGED)
    {
        return 1;
    }
    FILE *pFile = fopen(sSettings.szAffPath, "rb");
    if (pFile == nullptr)
    {
        return 1;
    }
    const uint8_t ubRead = readWholeFile(pFile, vAffBytes);
    fclose(pFile);
    _tAffCheckResult sResult;
    if (ubRead != 1 || vAffBytes.empty())
    {
        return 1;
    }
    affSetMemFile(vAffBytes.data(), static_cast<uint32_t>(vAffBytes.size()));
    const uint8_t isBadPart = checkAffWhole(static_cast<uint32_t>(vAffBytes.size()), &sResult) != 1 &&
                              sResult.ubResult == AFF_CHECK_BAD_PART_CRC;
    affSetMemFile(nullptr, 0);
    if (isBadPart == 0)
    {
        return 1;
    }
    printDamage(sResult, 0);
    return 0;
}

// Every run but -affver: opens the port, reads the options and carries out the
// operation. Returns 1 when it succeeded, 0 otherwise.
static uint8_t runOnPort(int argc, char **argv, std::vector<uint8_t> &vAffBytes)
{
    const char *szPort = argv[1];
    appInterruptInstall();
    if (refuseBadPartsEarly(argc, argv, vAffBytes) != 1)
    {
        return 0;
    }
    vAffBytes.clear();
    if (hostSerialCreate(szPort) != 1)
    {
        printf("Couldn't open serial %s\n", szPort);
        fflush(stdout);
        hostPrintOpenFailure(szPort);
        return 0;
    }
    printf("Connected to port %s\n", szPort);
    fflush(stdout);
    sleepMs(APP_CONNECT_SETTLE_MS);

    _tRunSettings sSettings;
    const uint8_t ubParsed = parseOptions(argc, argv, sSettings, 0);
    if (ubParsed == APP_ARGS_CONFIG)
    {
        appInterruptSetRun(APP_RUN_CONFIG);
        return appConfigMode();
    }
    if (ubParsed != 1)
    {
        return 0;
    }

    const uint8_t *pAffBytes = nullptr;
    uint32_t ulAffSize = 0;
    if (sSettings.ulOp == UPDATER_OP_UPDATE_CHANGED)
    {
        if (loadAffFile(sSettings.szAffPath, vAffBytes) != 1)
        {
            return 0;
        }
        ulAffSize = static_cast<uint32_t>(vAffBytes.size());
        if (checkAffIntegrity(ulAffSize) != 1)
        {
            return 0;
        }
        pAffBytes = vAffBytes.data();
        appInterruptSetRun(APP_RUN_UPDATE);
        if (sSettings.isForce == 1)
        {
            sSettings.ulOp = UPDATER_OP_UPDATE_ALL;
        }
    }

    const _tUpdaterCallbacks sCallbacks = hostCallbacks();
    return updater(sSettings.ulOp, pAffBytes, ulAffSize, sSettings.isVerbose, sSettings.isVerbose,
                   &sCallbacks, nullptr) == 1
               ? 1
               : 0;
}

// Releases what the run held and prints the verdict. Returns the exit status.
static int finishRun(uint8_t ubResult, std::vector<uint8_t> &vAffBytes)
{
    vAffBytes.clear();
    vAffBytes.shrink_to_fit();
    hostSerialDestroy();
    int iStatus = APP_EXIT_FAILURE;
    if (ubResult == 1)
    {
        logSetColor(APP_COLOR_GREEN);
        puts("\nOperation completed successfully");
        logSetColor(APP_COLOR_RESET);
        iStatus = APP_EXIT_SUCCESS;
    }
    else
    {
        logSetColor(APP_COLOR_RED);
        puts("\n\n=== ERRORS OCCURED! ===\n");
        logSetColor(APP_COLOR_RESET);
    }
    fflush(stdout);
    return iStatus;
}

int appMain(int argc, char **argv)
{
    printVersion(APP_BANNER_PREFIX, g_sPackerVersion);
    if (argc < 3)
    {
        printUsage(argc > 0 && argv[0] != nullptr ? argv[0] : APP_DEFAULT_NAME);
        fflush(stdout);
        return APP_EXIT_FAILURE;
    }

    std::vector<uint8_t> vAffBytes;
    uint8_t ubResult = 0;
    if (strcmp(argv[1], "-affver") == 0)
    {
        ubResult = runAffVersions(argv[2], vAffBytes);
    }
    else
    {
        ubResult = runOnPort(argc, argv, vAffBytes);
    }
    return finishRun(ubResult, vAffBytes);
}
