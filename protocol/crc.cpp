#include "protocol/crc.h"

uint32_t crc16(uint16_t usPoly, uint16_t usInit, const uint8_t *pData, int16_t sLength)
{
    uint16_t usCrc = usInit;
    for (int16_t i = 0; i < sLength; i++)
    {
        usCrc = (uint16_t)(usCrc ^ ((uint16_t)pData[i] << 8));
        for (uint8_t ubBit = 0; ubBit < 8; ubBit++)
        {
            if (usCrc & 0x8000)
                usCrc = (uint16_t)((usCrc << 1) ^ usPoly);
            else
                usCrc = (uint16_t)(usCrc << 1);
        }
    }
    return usCrc;
}

uint32_t crc16Va(uint16_t usPoly, uint16_t usInit, uint32_t ulCount, va_list ap)
{
    va_list apCopy;
    va_copy(apCopy, ap);
    uint16_t usCrc = usInit;
    for (uint32_t i = 0; i < ulCount; i++)
    {
        const uint8_t *pPiece = va_arg(apCopy, const uint8_t *);
        uint32_t ulLength = va_arg(apCopy, uint32_t);
        // A piece may exceed one crc16 call's signed 16-bit count: continue in chunks.
        while (ulLength > 0)
        {
            uint32_t ulChunk = ulLength > CRC16_MAX_CHUNK ? CRC16_MAX_CHUNK : ulLength;
            usCrc = (uint16_t)crc16(usPoly, usCrc, pPiece, (int16_t)ulChunk);
            pPiece += ulChunk;
            ulLength -= ulChunk;
        }
    }
    va_end(apCopy);
    return usCrc;
}

uint32_t crc16Multiple(uint16_t usPoly, uint16_t usInit, uint32_t ulCount, ...)
{
    va_list ap;
    va_start(ap, ulCount);
    uint32_t ulCrc = crc16Va(usPoly, usInit, ulCount, ap);
    va_end(ap);
    return ulCrc;
}
