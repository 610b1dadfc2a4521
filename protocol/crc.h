#ifndef PROTOCOL_CRC_H
#define PROTOCOL_CRC_H

// Checksums. Every checksum the updater computes is crc16 with polynomial 0x1021:
// initial value 0 for packets (CRC-16/XMODEM), 0xFFFF for container headers and
// firmware parts (CRC-16/IBM-3740).

#include <stdarg.h>
#include <stdint.h>

#define CRC16_POLY 0x1021
#define CRC16_INIT_PACKET 0x0000
#define CRC16_INIT_AFF 0xFFFF
#define CRC16_MAX_CHUNK 32767 // one crc16 call covers at most this many bytes

// CRC-16, MSB first, no reflection, no final XOR, of any polynomial (0x1021 by table,
// others bit by bit). A length <= 0 returns ulInit.
uint32_t crc16(uint16_t usPoly, uint16_t usInit, const uint8_t *pData, int16_t sLength);

// CRC-16 over a piece list: ulCount pairs (const uint8_t *pointer, uint32_t length)
// read from ap in order. ap is only read through a copy, so the caller may hand it on.
uint32_t crc16Va(uint16_t usPoly, uint16_t usInit, uint32_t ulCount, va_list ap);

// As crc16Va with the pieces as further arguments: (const uint8_t *, uint32_t) pairs.
uint32_t crc16Multiple(uint16_t usPoly, uint16_t usInit, uint32_t ulCount, ...);

uint16_t CRC_16_init(const uint8_t *pData, uint32_t ulLength, uint16_t usInitSwapped);
uint16_t CRC_16(const uint8_t *pData, uint32_t ulLength);
uint8_t CRC_8(const uint8_t *pData, uint32_t ulLength);
uint32_t crcAdsb(const uint8_t *pData, uint32_t ulLength);
uint8_t crcAdsbTryCorrectData(uint32_t ulParity, uint8_t *pData, uint32_t ulLength);

#endif
