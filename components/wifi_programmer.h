#ifndef COMPONENTS_WIFI_PROGRAMMER_H
#define COMPONENTS_WIFI_PROGRAMMER_H

// The Wi-Fi hand-over request (command 68).

#include <stdint.h>

#include "engine/updater.h"

uint8_t updaterEspInit(_tUpdater *pCtx);

#endif
