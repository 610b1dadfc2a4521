#ifndef APP_HOST_CALLBACKS_H
#define APP_HOST_CALLBACKS_H

// The engine's host callbacks on top of the one serial port of the run and the
// terminal. A read or write that fails reconnects the port instead of failing
// the run; no exception of the serial library leaves this file.

#include <cstdint>

#include "engine/updater.h"

namespace serial
{
class Serial;
}

#define HOST_BAUD_DEFAULT 115200
#define HOST_TIMEOUT_MS 50 // every read and write gives up after this long

// Takes the port's lock, then creates and opens the run's port (115200 baud,
// 8N1, no flow control, 50 ms time-outs). Returns 1 when the port is open and
// locked; 0 when it is missing, not allowed, not a terminal, in use, or the
// library refused it, in which case no port object and no lock are kept.
uint8_t hostSerialCreate(const char *szPort);

// Prints on standard error why the last hostSerialCreate failed.
void hostPrintOpenFailure(const char *szPort);

// Replaces the pause between attempts of the reconnection (for tests); null
// restores the real sleep.
void hostSetReopenPause(void (*fnPause)(uint32_t ulMs));

// The run's port object, or nullptr before hostSerialCreate succeeded.
serial::Serial *hostSerial();

// Destroys the port object (which closes the port); harmless without one.
void hostSerialDestroy();

// Closes the port and opens it again, with its lock, until it reports open.
// Exceptions are swallowed; a failed attempt is followed by a short pause, and
// the first one says once on standard error that Ctrl-C ends the wait.
void hostSerialReopenUntilOpen();

// Prints the red connection-lost line naming szReason, reopens the port until
// it is back, drops pending input and one byte in flight, prints the green line.
void hostReconnect(const char *szReason);

// Writes out the bytes that cbSerialWrite has gathered. The callbacks call it
// before every read, close and baud change and when the clock is read; a port
// that fails meanwhile is reconnected as for a failed write, and the gathered
// bytes are lost with it (the engine resends on its own time-out). A progress
// line drawn since the last call goes to the terminal after them.
void hostSerialFlushOutput();

// The callback table handed to the engine: every slot but cbReadAff and pUser.
_tUpdaterCallbacks hostCallbacks();

void cbSerialReopen(void *pUser);
void cbSerialClose(void *pUser);
// Gathers the byte for the next write to the port (see hostSerialFlushOutput).
void cbSerialWrite(uint8_t ubByte, void *pUser);
// Returns 1 when a byte arrived within the port's time-out, 0 otherwise. Bytes
// already waiting are read together and handed out one per call.
uint8_t cbSerialRead(uint8_t *pByte, void *pUser);
// Nonzero when cbSerialRead has a byte to return without waiting.
uint32_t cbSerialAvailable(void *pUser);
void cbChangeBaud(uint32_t ulBaud, void *pUser);
// Milliseconds since the Unix epoch by the wall clock; never negative. Writes
// out gathered bytes first; in a long run of clock reads without port traffic
// (a pause of the engine) each read sleeps a millisecond first.
uint64_t cbGetTime(void *pUser);
void cbLog(const char *szMsg, void *pUser);
void cbProgress(uint8_t ubPercent, void *pUser);
// Output of the offline report: every message on a line of its own.
void cbPrint(const char *szMsg, void *pUser);

#endif
