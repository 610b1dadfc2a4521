// The run's context: log and progress output through the host callbacks, the
// byte-channel adapters, and the process-wide run state.

#include "context/updater_context.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#define PERCENT_FULL 100
#define LOG_RECV_PREFIX "Recv: "
#define LOG_RECV_BYTE_WIDTH 3 // "%02X " per byte

static _tUpdaterRunState s_sRunState;

_tUpdaterRunState *updaterRunState(void)
{
    return &s_sRunState;
}

void updaterRunStateReset(void)
{
    memset(&s_sRunState, 0, sizeof s_sRunState);
}

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

void updaterPrint(const char *szText, void *pCtx)
{
    updaterLog((_tUpdater *)pCtx, "%s", szText);
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
    _tUpdater *pCtx = updaterOfSerial(pSerial);
    uint8_t isRead = pCtx->pCallbacks->cbRead(pByte, pCtx->pCallbacks->pUser);
    if (isRead == 1)
        pCtx->ulBytesRead++;
    return isRead;
}

void updaterSerialWriteByte(_tSerial *pSerial, uint8_t ubByte)
{
    _tUpdater *pCtx = updaterOfSerial(pSerial);
    pCtx->ulBytesWritten++;
    pCtx->pCallbacks->cbWrite(ubByte, pCtx->pCallbacks->pUser);
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

void updaterBindSerial(_tUpdater *pCtx)
{
    pCtx->sSerial.pUser = pCtx;
    pCtx->sSerial.fnReadByte = updaterSerialReadByte;
    pCtx->sSerial.fnWriteByte = updaterSerialWriteByte;
    pCtx->sSerial.fnGetMs = updaterSerialGetMs;
    pCtx->sSerial.fnChangeBaud = pCtx->pCallbacks->cbChangeBaud != 0 ? updaterSerialChangeBaud : 0;
    pCtx->sSerial.fnOpen = 0;
    pCtx->sSerial.fnClose = 0;
}

uint32_t updaterGetDelta(uint32_t ulNow, uint32_t ulStart)
{
    return serialDeltaMs(ulNow, ulStart);
}
