#ifndef COMPONENTS_WIFI_PROGRAMMER_H
#define COMPONENTS_WIFI_PROGRAMMER_H

// The Wi-Fi hand-over request (command 68).

#include <stdint.h>

#include "context/updater_context.h"

// Sends the Wi-Fi init request (command 68) whose data word is the image size of
// the container's first type-3 block. Returns 1, or 0 (nothing sent) when the
// container has no readable type-3 block.
uint8_t updaterEspInit(_tUpdater *pCtx);

#endif
