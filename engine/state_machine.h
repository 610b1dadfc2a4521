#ifndef ENGINE_STATE_MACHINE_H
#define ENGINE_STATE_MACHINE_H

// Timing helpers of the operation state machine (updaterProcess is in updater.h).

#include <stdint.h>

#include "engine/updater.h"

void delayMs(_tUpdater *pCtx, uint32_t ulMs);
void waitAfterReset(_tUpdater *pCtx, uint32_t ulMs);
void measuringStart(_tUpdater *pCtx);
uint8_t measuringIsElapsed(_tUpdater *pCtx, uint32_t ulMs);

#endif
