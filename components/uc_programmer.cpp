// The begin / part / end programmer. It serves two kinds of target, each with its
// own command codes and its own counters: the microcontrollers (host, device and,
// after the Wi-Fi hand-over, the Wi-Fi slot) with commands 48, 49 and 50, and the
// TI controller with 64, 65 and 66.

#include "components/uc_programmer.h"

#include "aff/aff_container.h"
#include "components/block_stream.h"
#include "protocol/commands.h"

#define UC_PROGRAMMER_UC 0
#define UC_PROGRAMMER_TI 1

typedef struct
{
    uint8_t ubBeginCmd;
    uint8_t ubPartCmd;
    uint8_t ubEndCmd;
} _tUcProgrammer;

static const _tUcProgrammer s_asProgrammers[] = {
    {UPDATER_CMD_UC_PROGRAM_BEGIN, UPDATER_CMD_UC_PROGRAM_DATA, UPDATER_CMD_UC_PROGRAM_END},
    {UPDATER_CMD_TI_PROGRAM_BEGIN, UPDATER_CMD_TI_PROGRAM_DATA, UPDATER_CMD_TI_PROGRAM_END},
};

// The counters of programmer ubProgrammer, in the process-wide run state.
static _tUpdaterPartCounter *ucCounter(uint8_t ubProgrammer)
{
    _tUpdaterRunState *pRun = updaterRunState();
    return ubProgrammer == UC_PROGRAMMER_TI ? &pRun->sTiCounter : &pRun->sUcCounter;
}

// Makes the first block of ulType current and sends the begin request.
static uint8_t ucProgrammerInit(_tUpdater *pCtx, uint8_t ubProgrammer, uint32_t ulType)
{
    _tUpdaterPartCounter *pCounter = ucCounter(ubProgrammer);
    // Counters of a previous block never outlive a new start, refused or not.
    pCounter->ulSeq = 0;
    pCounter->ulPartCount = 0;
    return updaterBlockProgramBegin(pCtx, ulType, s_asProgrammers[ubProgrammer].ubBeginCmd,
                                    &pCounter->ulPartCount);
}

// On the answer to the begin request: sends part 0.
static uint8_t ucProgrammerAfterBegin(_tUpdater *pCtx, uint8_t ubProgrammer)
{
    _tUpdaterPartCounter *pCounter = ucCounter(ubProgrammer);
    updaterComponentProgress(pCtx, 0);
    if (updaterSendNextFirmwarePart(pCtx, pCounter->ulSeq, s_asProgrammers[ubProgrammer].ubPartCmd) != 1)
        return 0;
    pCounter->ulSeq++;
    return 1;
}

// On the answer to a part: the next part, or the end request after the last.
static uint8_t ucProgrammerAfterData(_tUpdater *pCtx, uint8_t ubProgrammer)
{
    _tUpdaterPartCounter *pCounter = ucCounter(ubProgrammer);
    const _tUcProgrammer *pProgrammer = &s_asProgrammers[ubProgrammer];
    return updaterBlockProgramNext(pCtx, &pCounter->ulSeq, pCounter->ulPartCount, pProgrammer->ubPartCmd,
                                   pProgrammer->ubEndCmd);
}

uint8_t updaterUcInit(_tUpdater *pCtx, uint8_t isHost, uint8_t isOrlak)
{
    // After the hand-over the Wi-Fi slot answers as a microcontroller and takes
    // the Wi-Fi image; that choice wins over the host flag.
    uint32_t ulType = AFF_BLOCK_DEVICE_UC;
    if (isOrlak)
        ulType = AFF_BLOCK_ESP_FLASH;
    else if (isHost)
        ulType = AFF_BLOCK_HOST_UC;
    return ucProgrammerInit(pCtx, UC_PROGRAMMER_UC, ulType);
}

uint8_t updaterUcAfterProgramBegin(_tUpdater *pCtx, uint8_t isHost)
{
    (void)isHost;
    return ucProgrammerAfterBegin(pCtx, UC_PROGRAMMER_UC);
}

uint8_t updaterUcAfterProgramData(_tUpdater *pCtx, uint8_t isHost)
{
    (void)isHost;
    return ucProgrammerAfterData(pCtx, UC_PROGRAMMER_UC);
}

uint8_t updaterTiInit(_tUpdater *pCtx)
{
    return ucProgrammerInit(pCtx, UC_PROGRAMMER_TI, AFF_BLOCK_TI);
}

uint8_t updaterTiAfterProgramBegin(_tUpdater *pCtx)
{
    return ucProgrammerAfterBegin(pCtx, UC_PROGRAMMER_TI);
}

uint8_t updaterTiAfterProgramData(_tUpdater *pCtx)
{
    return ucProgrammerAfterData(pCtx, UC_PROGRAMMER_TI);
}
