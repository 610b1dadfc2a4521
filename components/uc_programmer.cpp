// Microcontroller programmer: streams the host microcontroller's, the device
// microcontroller's or, after the Wi-Fi hand-over, the Wi-Fi module's image with
// the begin (48), part (49) and end (50) requests.

#include "components/uc_programmer.h"

#include "aff/aff_container.h"
#include "components/block_stream.h"
#include "engine/commands.h"

// Next part to send and whole parts of the block made current by updaterUcInit.
static uint32_t s_ulSeq;
static uint32_t s_ulPartCount;

uint8_t updaterUcInit(_tUpdater *pCtx, uint8_t isHost, uint8_t isOrlak)
{
    // After the hand-over the Wi-Fi slot answers as a microcontroller and takes
    // the Wi-Fi image; that choice wins over the host flag.
    uint32_t ulType = AFF_BLOCK_DEVICE_UC;
    if (isOrlak)
        ulType = AFF_BLOCK_ESP_FLASH;
    else if (isHost)
        ulType = AFF_BLOCK_HOST_UC;

    // Counters of a previous block never outlive a new start, refused or not.
    s_ulSeq = 0;
    s_ulPartCount = 0;
    return updaterBlockProgramBegin(pCtx, ulType, UPDATER_CMD_UC_PROGRAM_BEGIN, &s_ulPartCount);
}

uint8_t updaterUcAfterProgramBegin(_tUpdater *pCtx, uint8_t isHost)
{
    (void)isHost;
    updaterComponentProgress(pCtx, 0);
    if (updaterSendNextFirmwarePart(pCtx, s_ulSeq, UPDATER_CMD_UC_PROGRAM_DATA) != 1)
        return 0;
    s_ulSeq++;
    return 1;
}

uint8_t updaterUcAfterProgramData(_tUpdater *pCtx, uint8_t isHost)
{
    (void)isHost;
    return updaterBlockProgramNext(pCtx, &s_ulSeq, s_ulPartCount, UPDATER_CMD_UC_PROGRAM_DATA,
                                   UPDATER_CMD_UC_PROGRAM_END);
}
