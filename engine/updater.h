#ifndef ENGINE_UPDATER_H
#define ENGINE_UPDATER_H

// The updater engine: one operation per call of updater(), driven entirely
// through the host callback table. Nothing here allocates or touches the OS.
// The context, the callback table and the operation codes are in the context
// module, which this header brings along for every caller of updater().

#include <stdint.h>

#include "context/updater_context.h"

// Runs one operation to its end. pAffBytes/ulAffSize: the whole container in
// memory, or null/0. Returns 1 when the operation completed, 0 otherwise.
uint8_t updater(uint32_t ulOp, const uint8_t *pAffBytes, uint32_t ulAffSize, uint8_t isVerbose,
                uint8_t isUcLogEnabled, const _tUpdaterCallbacks *pCallbacks, _tUpdaterStopFn pfnStop);
// Clears the context and the process-wide run state and prepares the context for
// operation ulOp. Returns 1 when ready; 0 (with a log line) when a required
// callback is missing, ulOp is 0, or an update operation has no container to
// read (cbReadAff empty).
uint8_t updaterInit(_tUpdater *pCtx, uint32_t ulOp, uint8_t isVerbose, uint8_t isUcLogEnabled,
                    const _tUpdaterCallbacks *pCallbacks);
int32_t updaterProcess(_tUpdater *pCtx); // 0 continue, 1 complete, -1 failed
// Sets ubComponentCount to the number of components the container holds (0 without one).
void determineComponentCount(_tUpdater *pCtx);

#endif
