#ifndef COMMON_DEVICE_ID_H
#define COMMON_DEVICE_ID_H

// The table of known device models, looked up by (hardware id, product id).

#include <stdint.h>

#define ID_NOT_FOUND 0xFFFFFFFFUL
#define ID_DEVICE_COUNT 44
#define ID_HARDWARE_COUNT 35

typedef struct
{
    uint32_t ulHwId;
    uint32_t ulPrId;
    const char *szName;
} _tDevice;

uint32_t idHwPrToDev(uint32_t ulHwId, uint32_t ulPrId);   // device id, or ID_NOT_FOUND
uint32_t c_idHwPrToDev(uint32_t ulHwId, uint32_t ulPrId); // the lookup behind idHwPrToDev
uint32_t idGetHwIdForDev(uint32_t ulDevId);               // ID_NOT_FOUND past the table
uint32_t idGetPrIdForDev(uint32_t ulDevId);               // ID_NOT_FOUND past the table
const char *idGetNameForDev(uint32_t ulDevId);            // null past the table
const uint8_t *idHardwareToComponents(uint32_t ulHwId);   // four flags, null past the table
const uint8_t *idGetAesForDevId(uint32_t ulDevId);        // 16 bytes, null past the table
const uint8_t *idGetCurrentAes(void);
uint32_t idGetCurrentDev(void);
const char *idGetCurrentDevName(void);

#endif
