#ifndef AFF_AFF_REPORT_H
#define AFF_AFF_REPORT_H

// Text lines for component versions: one component's line, and the offline
// report of what an AFF file holds.

#include <stdint.h>

#include "common/version.h"
#include "engine/updater.h"

#define REPORT_UNKNOWN_DEVICE_NAME "unknown"

void printComponentVersion(_tUpdater *pCtx, const char *szLabel, uint8_t isForce, uint8_t isThreePart,
                           const _tVersion *pCurrent, const _tVersion *pNew);
void updaterPrintAffComponentsVersions(_tUpdater *pCtx);

#endif
