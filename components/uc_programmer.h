#ifndef COMPONENTS_UC_PROGRAMMER_H
#define COMPONENTS_UC_PROGRAMMER_H

// Microcontroller (host, device, Wi-Fi slot) and TI programmers: begin, one
// request per part, end.

#include <stdint.h>

#include "engine/updater.h"

uint8_t updaterUcInit(_tUpdater *pCtx, uint8_t isHost, uint8_t isOrlak);
uint8_t updaterUcAfterProgramBegin(_tUpdater *pCtx, uint8_t isHost);
uint8_t updaterUcAfterProgramData(_tUpdater *pCtx, uint8_t isHost);
uint8_t updaterTiInit(_tUpdater *pCtx);
uint8_t updaterTiAfterProgramBegin(_tUpdater *pCtx);
uint8_t updaterTiAfterProgramData(_tUpdater *pCtx);

#endif
