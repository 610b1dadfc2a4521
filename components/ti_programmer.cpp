// TI controller programmer: streams the TI image with the begin (64), part (65)
// and end (66) requests, through the device microcontroller's bootloader.

#include "components/uc_programmer.h"

#include "aff/aff_container.h"
#include "components/block_stream.h"
#include "engine/commands.h"

// Next part to send and whole parts of the block made current by updaterTiInit.
static uint32_t s_ulSeq;
static uint32_t s_ulPartCount;

uint8_t updaterTiInit(_tUpdater *pCtx)
{
    // Counters of a previous block never outlive a new start, refused or not.
    s_ulSeq = 0;
    s_ulPartCount = 0;
    return updaterBlockProgramBegin(pCtx, AFF_BLOCK_TI, UPDATER_CMD_TI_PROGRAM_BEGIN, &s_ulPartCount);
}

uint8_t updaterTiAfterProgramBegin(_tUpdater *pCtx)
{
    updaterComponentProgress(pCtx, 0);
    if (updaterSendNextFirmwarePart(pCtx, s_ulSeq, UPDATER_CMD_TI_PROGRAM_DATA) != 1)
        return 0;
    s_ulSeq++;
    return 1;
}

uint8_t updaterTiAfterProgramData(_tUpdater *pCtx)
{
    return updaterBlockProgramNext(pCtx, &s_ulSeq, s_ulPartCount, UPDATER_CMD_TI_PROGRAM_DATA,
                                   UPDATER_CMD_TI_PROGRAM_END);
}
