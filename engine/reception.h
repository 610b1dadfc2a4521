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

// Reads at most one message. Returns RECV_TEXT (the line in pRxBuffer),
// RECV_PACKET (a valid response, unwrapped when forwarded, in pRxBuffer with its
// length in usRxLength), RECV_NOTHING (nothing, a log line, a stray byte, an
// ignored request, or a damaged/refused message that was resent) or RECV_FATAL
// (a bootloader error, or a resend that was refused).
uint32_t tryRecv(_tUpdater *pCtx);
// Returns 1 when the step that begins now is to make its reception attempt: an
// answer can be on its way to it, or bytes have already arrived (always, for a
// host without cbAvailable). 0 when the step before moved the state on without
// writing anything and nothing is waiting. Call once at the start of every step.
uint8_t recvIsDue(_tUpdater *pCtx);
// Makes the first step of a run a step without a request before it: nothing has
// been sent yet, so it reads only what has already arrived (with cbAvailable).
void recvStartRun(_tUpdater *pCtx);
// Call after the port was closed and opened again: nothing written before the
// close can be answered on the new connection, so the next step does not wait
// for an answer unless its state is still waiting.
void recvForgetWritten(_tUpdater *pCtx);
// Sends the last message again. Returns 1 when it went out, 0 when resending is
// not allowed or the retry limit is reached (both logged).
uint8_t tryResend(_tUpdater *pCtx);
// Returns the status word: the first four data bytes of a decoded response.
uint32_t updaterCheckSlipError(const uint8_t *pPacket);

#endif
