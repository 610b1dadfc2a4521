#ifndef AFF_AFF_PRESENCE_H
#define AFF_AFF_PRESENCE_H

// Presence queries: does the container hold a component, and which version
// record does its block carry. pVersion may be null when only presence is asked.

#include <stdint.h>

#include "aff/aff_container.h"
#include "common/version.h"

uint8_t updaterUcInFile(_tAffReadFn fnRead, uint8_t isHost, _tVersion *pVersion);
uint8_t updaterTiInFile(_tAffReadFn fnRead, _tVersion *pVersion);
uint8_t updaterEspInFile(_tAffReadFn fnRead, _tVersion *pVersion);
uint8_t updaterFpgaInFile(_tAffReadFn fnRead, _tVersion *pVersion);

#endif
