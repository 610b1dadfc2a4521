// The operation state machine: one step per call.

#include "engine/state_machine.h"

int32_t updaterProcess(_tUpdater *pCtx)
{
    (void)pCtx;
    return UPDATER_STEP_FAILED;
}
