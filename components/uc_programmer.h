#ifndef COMPONENTS_UC_PROGRAMMER_H
#define COMPONENTS_UC_PROGRAMMER_H

// Microcontroller (host, device, Wi-Fi slot) and TI programmers: begin, one
// request per part, end.

#include <stdint.h>

#include "context/updater_context.h"

// Makes the target's block current (type 3 when isOrlak, else 8 when isHost,
// else 7) and sends the begin request with its image size. Returns 1, or 0
// (nothing sent) when the block is missing, unreadable or holds no whole part.
uint8_t updaterUcInit(_tUpdater *pCtx, uint8_t isHost, uint8_t isOrlak);
// On the answer to the begin request: sends part 0. Returns 1 when sent, 0 when
// the part could not be read or failed its CRC check.
uint8_t updaterUcAfterProgramBegin(_tUpdater *pCtx, uint8_t isHost);
// On the answer to a part: sends the next part, or the end request after the
// last one. Returns 1 when a request was sent, 0 when a part was not sent.
uint8_t updaterUcAfterProgramData(_tUpdater *pCtx, uint8_t isHost);
// The TI counterparts (block type 9, commands 64, 65, 66), same results.
uint8_t updaterTiInit(_tUpdater *pCtx);
uint8_t updaterTiAfterProgramBegin(_tUpdater *pCtx);
uint8_t updaterTiAfterProgramData(_tUpdater *pCtx);

#endif
