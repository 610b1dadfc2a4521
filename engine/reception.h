#ifndef ENGINE_RECEPTION_H
#define ENGINE_RECEPTION_H

// Reception of one message per step: text replies ("A..."), device log lines
// ("L...") and SLIP response packets, with validation, unwrapping of forwarded
// responses and bounded resends.

#include <stdint.h>

#include "engine/updater.h"

#define RECV_NOTHING 0
#define RECV_TEXT 1
#define RECV_PACKET 2
#define RECV_FATAL 3

#define RECV_LINE_TIMEOUT_MS 500
#define RECV_FRAME_TIMEOUT_MS 500
#define RECV_LINE_MAX 199

uint32_t tryRecv(_tUpdater *pCtx);
uint8_t tryResend(_tUpdater *pCtx);
uint32_t updaterCheckSlipError(const uint8_t *pPacket);

#endif
