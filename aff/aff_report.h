#ifndef AFF_AFF_REPORT_H
#define AFF_AFF_REPORT_H

// Text lines for component versions: one component's line, and the offline
// report of what an AFF file holds. Both print through a plain print function.

#include <stdint.h>

#include "aff/aff_container.h"
#include "common/version.h"

#define REPORT_UNKNOWN_DEVICE_NAME "unknown"
#define REPORT_LINE_MAX 199 // characters of one printed line

// Receives one finished line and the caller's pointer.
typedef void (*_tAffPrintFn)(const char *szText, void *pUser);

// Prints "\t%4s: %s (%.*s)" with the current version, followed by " -> " and the
// new version unless isForce is clear and the two codes are equal.
void printComponentVersion(_tAffPrintFn fnPrint, void *pUser, const char *szLabel, uint8_t isForce,
                           uint8_t isThreePart, const _tVersion *pCurrent, const _tVersion *pNew);
// The offline report: the file's target device and one line per component it
// holds. Reads the registered in-memory file when there is one, else through
// fnRead (may be null: nothing is printed then).
void updaterPrintAffComponentsVersions(_tAffReadFn fnRead, _tAffPrintFn fnPrint, void *pUser);

#endif
