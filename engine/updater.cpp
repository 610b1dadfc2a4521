// The engine's entry point, context set-up, log and progress output and the
// byte-channel adapters over the host callbacks.

#include "engine/updater.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "aff/aff_container.h"
#include "components/presence.h"
#include "engine/state_machine.h"
#include "protocol/slip_buffered.h"

#define PERCENT_FULL 100
#define LOG_RECV_PREFIX "Recv: "
#define LOG_RECV_BYTE_WIDTH 3 // "%02X " per byte

uint8_t isOrlakFirmware = 0;

// Formats one log line (at most UPDATER_LOG_MAX characters, longer output is
// cut) and hands it to cbLog. Does nothing without cbLog.
static void updaterLogV(_tUpdater *pCtx, const char *szFormat, va_list ap)
{
    if (pCtx->pCallbacks == 0 || pCtx->pCallbacks->cbLog == 0)
        return;
    char szLine[UPDATER_LOG_MAX + 1];
    vsnprintf(szLine, sizeof szLine, szFormat, ap);
    pCtx->pCallbacks->cbLog(szLine, pCtx->pCallbacks->pUser);
}

void updaterLog(_tUpdater *pCtx, const char *szFormat, ...)
{
    va_list ap;
    va_start(ap, szFormat);
    updaterLogV(pCtx, szFormat, ap);
    va_end(ap);
}

void updaterLogVerbose(_tUpdater *pCtx, const char *szFormat, ...)
{
    if (pCtx->isVerbose == 0)
        return;
    va_list ap;
    va_start(ap, szFormat);
    updaterLogV(pCtx, szFormat, ap);
    va_end(ap);
}

void updaterLogRecv(_tUpdater *pCtx, const uint8_t *pBytes, uint32_t ulCount)
{
    if (pCtx->isVerbose == 0 || pCtx->pCallbacks == 0 || pCtx->pCallbacks->cbLog == 0)
        return;
    char szText[UPDATER_LOG_RECV_MAX];
    size_t ulLen = strlen(LOG_RECV_PREFIX);
    memcpy(szText, LOG_RECV_PREFIX, ulLen + 1);
    for (uint32_t i = 0; i < ulCount; i++)
    {
        // Appending stops once the text is full; every byte still gives one call.
        if (ulLen + LOG_RECV_BYTE_WIDTH < sizeof szText)
        {
            snprintf(&szText[ulLen], sizeof szText - ulLen, "%02X ", pBytes[i]);
            ulLen += LOG_RECV_BYTE_WIDTH;
        }
        pCtx->pCallbacks->cbLog(szText, pCtx->pCallbacks->pUser);
    }
}

void updaterProgress(_tUpdater *pCtx, uint8_t ubPercent)
{
    if (pCtx->pCallbacks != 0 && pCtx->pCallbacks->cbProgress != 0)
        pCtx->pCallbacks->cbProgress(ubPercent, pCtx->pCallbacks->pUser);
}

void updaterComponentProgress(_tUpdater *pCtx, uint8_t ubPercent)
{
    // Without components there is nothing to divide into: report the
    // component's own percentage.
    if (pCtx->ubComponentCount == 0)
    {
        updaterProgress(pCtx, ubPercent > PERCENT_FULL ? PERCENT_FULL : ubPercent);
        return;
    }
    uint32_t ulDone = (PERCENT_FULL * (uint32_t)pCtx->ubComponentsDone) / pCtx->ubComponentCount;
    uint32_t ulPart = (uint32_t)ubPercent / pCtx->ubComponentCount;
    updaterProgress(pCtx, (uint8_t)(ulDone + ulPart));
}

void updaterComponentDone(_tUpdater *pCtx)
{
    pCtx->ubComponentsDone++;
    if (pCtx->ubComponentCount == 0)
    {
        updaterProgress(pCtx, PERCENT_FULL);
        return;
    }
    updaterProgress(pCtx,
                    (uint8_t)((PERCENT_FULL * (uint32_t)pCtx->ubComponentsDone) / pCtx->ubComponentCount));
}

static _tUpdater *updaterOfSerial(_tSerial *pSerial)
{
    return (_tUpdater *)pSerial->pUser;
}

uint8_t updaterSerialReadByte(_tSerial *pSerial, uint8_t *pByte)
{
    const _tUpdaterCallbacks *pCb = updaterOfSerial(pSerial)->pCallbacks;
    return pCb->cbRead(pByte, pCb->pUser);
}

void updaterSerialWriteByte(_tSerial *pSerial, uint8_t ubByte)
{
    const _tUpdaterCallbacks *pCb = updaterOfSerial(pSerial)->pCallbacks;
    pCb->cbWrite(ubByte, pCb->pUser);
}

uint64_t updaterSerialGetMs(_tSerial *pSerial)
{
    const _tUpdaterCallbacks *pCb = updaterOfSerial(pSerial)->pCallbacks;
    return pCb->cbGetMs(pCb->pUser);
}

void updaterSerialChangeBaud(_tSerial *pSerial, uint32_t ulBaud)
{
    const _tUpdaterCallbacks *pCb = updaterOfSerial(pSerial)->pCallbacks;
    if (pCb->cbChangeBaud != 0)
        pCb->cbChangeBaud(ulBaud, pCb->pUser);
}

uint32_t updaterGetDelta(uint32_t ulNow, uint32_t ulStart)
{
    if (ulStart <= ulNow)
        return ulNow - ulStart;
    // A reading below the start is taken as a wrap of the counter.
    return ulNow - ulStart - 1;
}

void determineComponentCount(_tUpdater *pCtx)
{
    pCtx->ubComponentCount = 0;
    _tAffReadFn fnRead = pCtx->pCallbacks->cbReadAff;
    if (fnRead == 0)
        return;
    if (updaterUcInFile(fnRead, 1, 0) == 1)
        pCtx->ubComponentCount++;
    if (updaterUcInFile(fnRead, 0, 0) == 1)
        pCtx->ubComponentCount++;
    if (updaterEspInFile(fnRead, 0) == 1)
        pCtx->ubComponentCount++;
    if (updaterFpgaInFile(fnRead, 0) == 1)
        pCtx->ubComponentCount++;
    if (updaterTiInFile(fnRead, 0) == 1)
        pCtx->ubComponentCount++;
}

uint8_t updaterInit(_tUpdater *pCtx, uint32_t ulOp, uint8_t isVerbose, uint8_t isUcLogEnabled,
                    const _tUpdaterCallbacks *pCallbacks)
{
    memset(pCtx, 0, sizeof *pCtx);
    pCtx->pCallbacks = pCallbacks;
    pCtx->isVerbose = isVerbose;
    pCtx->isUcLogEnabled = isUcLogEnabled;
    pCtx->ulOp = ulOp;
    pCtx->canResend = 1;

    if (pCallbacks->cbGetMs == 0 || pCallbacks->cbWrite == 0 || pCallbacks->cbRead == 0 ||
        pCallbacks->cbReopen == 0 || pCallbacks->cbClose == 0)
    {
        updaterLog(pCtx, "cbGetMs, cbWrite, cbRead, cbReopen, cbClose can't be NULL");
        return 0;
    }
    if (ulOp == UPDATER_OP_NONE)
    {
        updaterLog(pCtx, "No op selected!\n");
        return 0;
    }
    // Every access to the container goes through cbReadAff; an update cannot
    // run without one.
    if ((ulOp == UPDATER_OP_UPDATE_CHANGED || ulOp == UPDATER_OP_UPDATE_ALL) && pCallbacks->cbReadAff == 0)
    {
        updaterLog(pCtx, "ERR: No AFF file given for the update");
        return 0;
    }

    if (ulOp == UPDATER_OP_LOCK)
        pCtx->ulState = STATE_LOCK;
    else if (ulOp == UPDATER_OP_UNLOCK)
        pCtx->ulState = STATE_LEAVE_BOOT;
    if (ulOp == UPDATER_OP_UPDATE_CHANGED || ulOp == UPDATER_OP_UPDATE_ALL)
        determineComponentCount(pCtx);

    pCtx->sSerial.pUser = pCtx;
    pCtx->sSerial.fnReadByte = updaterSerialReadByte;
    pCtx->sSerial.fnWriteByte = updaterSerialWriteByte;
    pCtx->sSerial.fnGetMs = updaterSerialGetMs;
    pCtx->sSerial.fnChangeBaud = pCallbacks->cbChangeBaud != 0 ? updaterSerialChangeBaud : 0;
    pCtx->sSerial.fnOpen = 0;
    pCtx->sSerial.fnClose = 0;

    slipBufferedInit(&pCtx->sSerial);
    return 1;
}

uint8_t updater(uint32_t ulOp, const uint8_t *pAffBytes, uint32_t ulAffSize, uint8_t isVerbose,
                uint8_t isUcLogEnabled, const _tUpdaterCallbacks *pCallbacks, _tUpdaterStopFn pfnStop)
{
    _tUpdaterCallbacks sCallbacks = *pCallbacks;
    _tUpdater sCtx;

    // The container is read only inside the registered bytes.
    affSetMemFile(pAffBytes, pAffBytes != 0 ? ulAffSize : 0);
    if (pAffBytes != 0)
        sCallbacks.cbReadAff = readAffFromMem;

    if (updaterInit(&sCtx, ulOp, isVerbose, isUcLogEnabled, &sCallbacks) != 1)
        return 0;

    int32_t lResult;
    do
    {
        lResult = updaterProcess(&sCtx);
        if (pfnStop != 0 && pfnStop(sCallbacks.pUser) != 0)
            break;
    } while (lResult == UPDATER_STEP_CONTINUE);

    updaterLogVerbose(&sCtx, "Malformed count: %hu", sCtx.usMalformedCount);
    return lResult == UPDATER_STEP_COMPLETE ? 1 : 0;
}
