#ifndef APP_PORT_LOCK_H
#define APP_PORT_LOCK_H

// One updater per port: an exclusive advisory lock (flock) on the device behind
// the port name, held while the serial library has the port open. Taking the
// lock also tells why a port cannot be used, before the library touches it (its
// opening would set the line settings under another updater's feet).

#include <cstdint>

#define PORT_OK 1
#define PORT_NO_DEVICE 2  // no such file or device behind the name
#define PORT_PERMISSION 3 // the user may not open it
#define PORT_NOT_TTY 4    // it exists but is no terminal
#define PORT_IN_USE 5     // another program holds the lock (or the port exclusively)
#define PORT_OTHER 6      // any other error; portLockErrno() tells which

// Opens szPort without touching its settings and takes the lock. Returns PORT_OK
// with the lock held, or the reason it could not be had (nothing held then).
// A lock already held is released first.
uint8_t portLockAcquire(const char *szPort);

// Releases the lock; harmless when none is held.
void portLockRelease();

// 1 while the lock is held.
uint8_t portLockHeld();

// The errno of the last failed portLockAcquire.
int portLockErrno();

// The reason as a text for standard error, with a hint where one helps.
const char *portReasonText(uint8_t ubReason);

#endif
