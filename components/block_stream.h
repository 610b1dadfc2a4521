#ifndef COMPONENTS_BLOCK_STREAM_H
#define COMPONENTS_BLOCK_STREAM_H

// Streaming of AFF blocks: make a block current, send its parts one request at
// a time (CRC-checked in version-3 files), send the initialisation vector.

#include <stdint.h>

#include "engine/updater.h"

uint8_t updaterMakeBlockCurrent(_tUpdater *pCtx, int16_t sBlockIdx);
uint8_t updaterSendNextFirmwarePart(_tUpdater *pCtx, uint32_t ulPartIdx, uint8_t ubCmd);
uint8_t updaterSendIv(_tUpdater *pCtx);

#endif
