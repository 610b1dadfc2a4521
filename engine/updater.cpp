// The engine's entry point and the set-up of a run's context.

#include "engine/updater.h"

#include <string.h>

#include "aff/aff_container.h"
#include "aff/aff_presence.h"
#include "engine/reception.h"
#include "engine/state_machine.h"
#include "protocol/slip_buffered.h"

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
    // Nothing of an earlier run in this process reaches this one.
    updaterRunStateReset();
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
    // What the device said before the run began is read by the first step, as
    // far as it has arrived; a host without cbAvailable waits its read time-out.
    recvStartRun(pCtx);

    updaterBindSerial(pCtx);

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
