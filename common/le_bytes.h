#ifndef COMMON_LE_BYTES_H
#define COMMON_LE_BYTES_H

// Explicit little-endian readers and writers for unaligned byte layouts in
// files and packets. Never cast packed structs over byte buffers.

#include <stdint.h>

static inline uint16_t leGetU16(const uint8_t *p)
{
    return (uint16_t)(p[0] | ((uint16_t)p[1] << 8));
}

static inline uint32_t leGetU32(const uint8_t *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

static inline void lePutU16(uint8_t *p, uint16_t usValue)
{
    p[0] = (uint8_t)(usValue & 0xFF);
    p[1] = (uint8_t)(usValue >> 8);
}

static inline void lePutU32(uint8_t *p, uint32_t ulValue)
{
    p[0] = (uint8_t)(ulValue & 0xFF);
    p[1] = (uint8_t)((ulValue >> 8) & 0xFF);
    p[2] = (uint8_t)((ulValue >> 16) & 0xFF);
    p[3] = (uint8_t)(ulValue >> 24);
}

#endif
