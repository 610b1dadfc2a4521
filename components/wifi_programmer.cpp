// The Wi-Fi hand-over request: asks the device's bootloader to pass the link on
// to the Wi-Fi module's bootloader, which is then programmed like a microcontroller.

#include "components/wifi_programmer.h"

#include <stddef.h>

#include "aff/aff_container.h"
#include "components/block_stream.h"
#include "protocol/commands.h"

uint8_t updaterEspInit(_tUpdater *pCtx)
{
    if (pCtx->pCallbacks == NULL || pCtx->pCallbacks->cbReadAff == NULL)
        return 0;
    const _tAffReadFn fnRead = pCtx->pCallbacks->cbReadAff;

    // The data word is the image size of the Wi-Fi image that the slot will
    // receive. The block is only looked up, not made current, so the current
    // block of the context stays that of the last component programmed.
    _tAffBlockHeader sBlock;
    if (affReadFirstBlock(fnRead, AFF_BLOCK_ESP_FLASH, NULL, &sBlock) != 1)
        return 0;
    return updaterSendWord(pCtx, UPDATER_CMD_WIFI_INIT, sBlock.ulImageSize);
}
