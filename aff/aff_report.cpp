#include "aff/aff_report.h"

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

#include "aff/aff_presence.h"
#include "common/device_id.h"

// Labels of the report's component lines, printed right-aligned in four characters.
#define REPORT_LABEL_HOST "HOST"
#define REPORT_LABEL_WIFI "WIFI"
#define REPORT_LABEL_FPGA "FPGA"
#define REPORT_LABEL_DEVICE_UC "uC"
#define REPORT_LABEL_TI "Ti"
#define REPORT_FOUR_PART 0
#define REPORT_THREE_PART 1

typedef uint8_t (*_tVersionTextFn)(char *szBuffer, uint32_t ulCode);

// One component of the report, in the report's order.
typedef struct
{
    const char *szLabel;
    uint8_t isThreePart;
    uint8_t (*fnQuery)(_tAffReadFn fnRead, _tVersion *pVersion);
} _tReportComponent;

static uint8_t reportHostQuery(_tAffReadFn fnRead, _tVersion *pVersion)
{
    return updaterUcInFile(fnRead, 1, pVersion);
}

static uint8_t reportDeviceUcQuery(_tAffReadFn fnRead, _tVersion *pVersion)
{
    return updaterUcInFile(fnRead, 0, pVersion);
}

static const _tReportComponent s_asComponents[] = {
    {REPORT_LABEL_HOST, REPORT_FOUR_PART, reportHostQuery},
    {REPORT_LABEL_WIFI, REPORT_THREE_PART, updaterEspInFile},
    {REPORT_LABEL_FPGA, REPORT_THREE_PART, updaterFpgaInFile},
    {REPORT_LABEL_DEVICE_UC, REPORT_FOUR_PART, reportDeviceUcQuery},
    {REPORT_LABEL_TI, REPORT_FOUR_PART, updaterTiInFile},
};
#define REPORT_COMPONENT_COUNT (sizeof(s_asComponents) / sizeof(s_asComponents[0]))

// Formats one line (cut to REPORT_LINE_MAX characters) and prints it.
static void reportPrintf(_tAffPrintFn fnPrint, void *pUser, const char *szFormat, ...)
    __attribute__((format(printf, 3, 4)));
static void reportPrintf(_tAffPrintFn fnPrint, void *pUser, const char *szFormat, ...)
{
    if (fnPrint == NULL)
        return;
    char szLine[REPORT_LINE_MAX + 1];
    va_list ap;
    va_start(ap, szFormat);
    vsnprintf(szLine, sizeof szLine, szFormat, ap);
    va_end(ap);
    fnPrint(szLine, pUser);
}

void printComponentVersion(_tAffPrintFn fnPrint, void *pUser, const char *szLabel, uint8_t isForce,
                           uint8_t isThreePart, const _tVersion *pCurrent, const _tVersion *pNew)
{
    _tVersionTextFn fnText = isThreePart ? versionMajMinFix : versionMajMinFixBuild;
    char szCurrent[VERSION_TEXT_SIZE];
    char szNew[VERSION_TEXT_SIZE];
    fnText(szCurrent, pCurrent->ulCode);
    fnText(szNew, pNew->ulCode);

    // Only the codes count; the date texts are not zero-terminated for sure, so
    // exactly their significant characters are printed.
    if (isForce == 0 && pNew->ulCode == pCurrent->ulCode)
        reportPrintf(fnPrint, pUser, "\t%4s: %s (%.*s)", szLabel, szCurrent, VERSION_DATE_LEN,
                     pCurrent->szDate);
    else
        reportPrintf(fnPrint, pUser, "\t%4s: %s (%.*s) -> %s (%.*s)", szLabel, szCurrent, VERSION_DATE_LEN,
                     pCurrent->szDate, szNew, VERSION_DATE_LEN, pNew->szDate);
}

// The identity lines of a file whose header reads; nothing otherwise.
static void reportIdentity(_tAffReadFn fnRead, _tAffPrintFn fnPrint, void *pUser)
{
    _tAffHeader sHeader;
    if (affReadHeader(fnRead, &sHeader) != 1)
        return;
    reportPrintf(fnPrint, pUser, "\nProduct/hardware ID :\nAFF: %lu / %lu",
                 (unsigned long)sHeader.ulProductId, (unsigned long)sHeader.ulHardwareId);
    uint32_t ulDevId = idHwPrToDev(sHeader.ulHardwareId, sHeader.ulProductId);
    const char *szName = idGetNameForDev(ulDevId);
    reportPrintf(fnPrint, pUser, "Dev ID : %lu (%s)", (unsigned long)ulDevId,
                 szName != NULL ? szName : REPORT_UNKNOWN_DEVICE_NAME);
}

void updaterPrintAffComponentsVersions(_tAffReadFn fnRead, _tAffPrintFn fnPrint, void *pUser)
{
    // The registered in-memory file, when there is one, is the file of the report.
    if (affHasMemFile() == 1)
        fnRead = readAffFromMem;
    if (fnRead == NULL)
        return;

    reportIdentity(fnRead, fnPrint, pUser);
    for (uint32_t i = 0; i < REPORT_COMPONENT_COUNT; i++)
    {
        const _tReportComponent *pComponent = &s_asComponents[i];
        _tVersion sVersion;
        if (pComponent->fnQuery(fnRead, &sVersion) == 1)
            printComponentVersion(fnPrint, pUser, pComponent->szLabel, 0, pComponent->isThreePart, &sVersion,
                                  &sVersion);
    }
}
