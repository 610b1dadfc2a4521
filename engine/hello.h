#ifndef ENGINE_HELLO_H
#define ENGINE_HELLO_H

// The bootloader hello: identity, protocol id and component versions.

#include <stdint.h>

#include "engine/updater.h"

#define HELLO_MAX_PROTOCOL_ID 6
#define HELLO_HOST_FLAG_MIN_PROTOCOL 4

// Offsets in the hello response's data.
#define HELLO_OFFS_STATUS 0
#define HELLO_OFFS_PROTOCOL_ID 4
#define HELLO_OFFS_BOOTLOADER_VERSION 8
#define HELLO_OFFS_PRODUCT_ID 24
#define HELLO_OFFS_HARDWARE_ID 28
#define HELLO_OFFS_FIRMWARE_VERSION 32
#define HELLO_OFFS_FPGA_VERSION 48
#define HELLO_OFFS_WIFI_VERSION 64
#define HELLO_OFFS_HOST_FLAG 80
#define HELLO_OFFS_TI_VERSION 84

// Takes the hello response in pPacket (decoded). Returns 1 when accepted; 0 when
// its data are too short, the protocol id is unsupported, the container's header
// cannot be read, or the container is for another product or hardware.
uint8_t processSlipHello(_tUpdater *pCtx, const uint8_t *pPacket);
// Returns the version code of the first container block of ulType, or 0 when
// there is no container, no such block, or its header cannot be read.
uint32_t getBlockVersion(_tUpdater *pCtx, uint32_t ulType);

#endif
