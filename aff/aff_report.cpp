#include "aff/aff_report.h"

#include <stddef.h>

#include "aff/aff_container.h"
#include "common/device_id.h"
#include "components/presence.h"

// Labels of the report's component lines, printed right-aligned in four characters.
#define REPORT_LABEL_HOST "HOST"
#define REPORT_LABEL_WIFI "WIFI"
#define REPORT_LABEL_FPGA "FPGA"
#define REPORT_LABEL_DEVICE_UC "uC"
#define REPORT_LABEL_TI "Ti"

typedef uint8_t (*_tVersionTextFn)(char *szBuffer, uint32_t ulCode);

void printComponentVersion(_tUpdater *pCtx, const char *szLabel, uint8_t isForce, uint8_t isThreePart,
                           const _tVersion *pCurrent, const _tVersion *pNew)
{
    _tVersionTextFn fnText = isThreePart ? versionMajMinFix : versionMajMinFixBuild;
    char szCurrent[VERSION_TEXT_SIZE];
    char szNew[VERSION_TEXT_SIZE];
    fnText(szCurrent, pCurrent->ulCode);
    fnText(szNew, pNew->ulCode);

    // Only the codes count; the date texts are not zero-terminated for sure, so
    // exactly their significant characters are printed.
    if (isForce == 0 && pNew->ulCode == pCurrent->ulCode)
        updaterLog(pCtx, "\t%4s: %s (%.*s)", szLabel, szCurrent, VERSION_DATE_LEN, pCurrent->szDate);
    else
        updaterLog(pCtx, "\t%4s: %s (%.*s) -> %s (%.*s)", szLabel, szCurrent, VERSION_DATE_LEN,
                   pCurrent->szDate, szNew, VERSION_DATE_LEN, pNew->szDate);
}

void updaterPrintAffComponentsVersions(_tUpdater *pCtx)
{
    if (pCtx->pCallbacks == NULL)
        return;

    // The report reads the registered in-memory file when there is one, through a
    // copy of the caller's table; the caller's table is put back at the end.
    const _tUpdaterCallbacks *pCallerCallbacks = pCtx->pCallbacks;
    _tUpdaterCallbacks sCallbacks = *pCallerCallbacks;
    if (affHasMemFile() == 1)
        sCallbacks.cbReadAff = readAffFromMem;
    pCtx->pCallbacks = &sCallbacks;

    pCtx->hasHostUc = 0;
    pCtx->hasDeviceUc = 0;
    pCtx->hasFpga = 0;
    pCtx->hasWifi = 0;
    pCtx->hasTi = 0;

    _tAffReadFn fnRead = sCallbacks.cbReadAff;
    if (fnRead != NULL)
    {
        _tAffHeader sHeader;
        if (affReadHeader(fnRead, &sHeader) == 1)
        {
            pCtx->usAffVersion = sHeader.usVersion;
            pCtx->usBlockHeaderSize = affGetBlockHeaderSize(sHeader.usVersion);
            updaterLog(pCtx, "\nProduct/hardware ID :\nAFF: %lu / %lu", (unsigned long)sHeader.ulProductId,
                       (unsigned long)sHeader.ulHardwareId);
            uint32_t ulDevId = idHwPrToDev(sHeader.ulHardwareId, sHeader.ulProductId);
            const char *szName = idGetNameForDev(ulDevId);
            updaterLog(pCtx, "Dev ID : %lu (%s)", (unsigned long)ulDevId,
                       szName != NULL ? szName : REPORT_UNKNOWN_DEVICE_NAME);
        }

        _tVersion sHost, sDeviceUc, sFpga, sWifi, sTi;
        pCtx->hasHostUc = updaterUcInFile(fnRead, 1, &sHost) == 1 ? 1 : 0;
        pCtx->hasDeviceUc = updaterUcInFile(fnRead, 0, &sDeviceUc) == 1 ? 1 : 0;
        pCtx->hasFpga = updaterFpgaInFile(fnRead, &sFpga) == 1 ? 1 : 0;
        pCtx->hasWifi = updaterEspInFile(fnRead, &sWifi) == 1 ? 1 : 0;
        pCtx->hasTi = updaterTiInFile(fnRead, &sTi) == 1 ? 1 : 0;

        if (pCtx->hasHostUc)
            printComponentVersion(pCtx, REPORT_LABEL_HOST, 0, 0, &sHost, &sHost);
        if (pCtx->hasWifi)
            printComponentVersion(pCtx, REPORT_LABEL_WIFI, 0, 1, &sWifi, &sWifi);
        if (pCtx->hasFpga)
            printComponentVersion(pCtx, REPORT_LABEL_FPGA, 0, 1, &sFpga, &sFpga);
        if (pCtx->hasDeviceUc)
            printComponentVersion(pCtx, REPORT_LABEL_DEVICE_UC, 0, 0, &sDeviceUc, &sDeviceUc);
        if (pCtx->hasTi)
            printComponentVersion(pCtx, REPORT_LABEL_TI, 0, 0, &sTi, &sTi);
    }

    pCtx->pCallbacks = pCallerCallbacks;
}
