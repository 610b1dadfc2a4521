#include "protocol/byte_channel.h"

#include <stdarg.h>
#include <stdio.h>

#define SERIAL_PRINTF_BUFFER_SIZE 200 // at most 199 characters plus the terminator
#define SERIAL_CHAR_LF 10
#define SERIAL_CHAR_CR 13

// Calls fnOpen with ulArg; the argument's meaning is the channel owner's.
// Does nothing when the channel has no open operation.
void serialOpen(_tSerial *pSerial, uint32_t ulArg)
{
    if (pSerial->fnOpen)
        pSerial->fnOpen(pSerial, ulArg);
}

// Calls fnClose; does nothing when the channel has no close operation.
void serialClose(_tSerial *pSerial)
{
    if (pSerial->fnClose)
        pSerial->fnClose(pSerial);
}

// One read attempt. Returns 1 when a byte was stored in *pByte, 0 when none arrived
// within the host's own read wait.
uint8_t serialReadByte(_tSerial *pSerial, uint8_t *pByte)
{
    return pSerial->fnReadByte(pSerial, pByte);
}

// Writes one byte unchanged.
void serialWriteByte(_tSerial *pSerial, uint8_t ubByte)
{
    pSerial->fnWriteByte(pSerial, ubByte);
}

// Writes ulCount bytes in order, one write operation each.
void serialWriteBytes(_tSerial *pSerial, const uint8_t *pData, uint32_t ulCount)
{
    for (uint32_t i = 0; i < ulCount; i++)
        pSerial->fnWriteByte(pSerial, pData[i]);
}

// Writes a zero-terminated text without its terminator.
void serialWriteStr(_tSerial *pSerial, const char *szText)
{
    for (const char *p = szText; *p != '\0'; p++)
        pSerial->fnWriteByte(pSerial, (uint8_t)*p);
}

// Formats into a local buffer (longer results are cut to 199 characters) and writes
// the text.
void serialPrintf(_tSerial *pSerial, const char *szFormat, ...)
{
    char szBuffer[SERIAL_PRINTF_BUFFER_SIZE];
    va_list ap;
    va_start(ap, szFormat);
    int iWritten = vsnprintf(szBuffer, sizeof(szBuffer), szFormat, ap);
    va_end(ap);
    if (iWritten < 0)
        return; // a formatting error leaves nothing meaningful to send
    serialWriteStr(pSerial, szBuffer);
}

// Reads exactly ulCount bytes into pDest. The time-out covers the whole run and is
// checked before each read attempt. Returns 1 when all bytes were read (at once for
// a count of 0, without reading), 0 on time-out; bytes read so far stay in pDest.
uint8_t serialReadBytes(_tSerial *pSerial, uint8_t *pDest, uint32_t ulCount, uint32_t ulTimeoutMs)
{
    if (ulCount == 0)
        return 1;
    uint64_t ullStart = pSerial->fnGetMs(pSerial);
    uint32_t ulStored = 0;
    while (serialGetDelta(pSerial, ullStart) < ulTimeoutMs)
    {
        uint8_t ubByte = 0;
        if (serialReadByte(pSerial, &ubByte) != 1)
            continue;
        pDest[ulStored++] = ubByte;
        if (ulStored == ulCount)
            return 1;
    }
    return 0;
}

// Reads one line ended by CR or LF into szDest (ulSize bytes). Returns 1 with the line
// zero-terminated when at least one byte preceded the terminator. Returns 0 when a
// terminator comes first (it is consumed), when ulSize bytes were stored without a
// terminator (the line is too long; no zero is added and the rest stays unread), when
// the time-out runs out (stored bytes stay, unterminated) or when ulSize is 0.
uint8_t serialReadStr(_tSerial *pSerial, char *szDest, uint32_t ulSize, uint32_t ulTimeoutMs)
{
    if (ulSize == 0)
        return 0;
    uint64_t ullStart = pSerial->fnGetMs(pSerial);
    uint32_t ulStored = 0;
    while (serialGetDelta(pSerial, ullStart) < ulTimeoutMs)
    {
        uint8_t ubByte = 0;
        if (serialReadByte(pSerial, &ubByte) != 1)
            continue;
        if (ubByte == SERIAL_CHAR_LF || ubByte == SERIAL_CHAR_CR)
        {
            if (ulStored == 0)
                return 0;
            szDest[ulStored] = '\0';
            return 1;
        }
        szDest[ulStored++] = (char)ubByte;
        if (ulStored == ulSize)
            return 0;
    }
    return 0;
}

// Discards received bytes until a read attempt brings none.
void serialFlushRecv(_tSerial *pSerial)
{
    uint8_t ubByte = 0;
    while (serialReadByte(pSerial, &ubByte) == 1)
    {
    }
}

// Switches the baud rate; does nothing when the channel has no baud operation.
void serialChangeBaud(_tSerial *pSerial, uint32_t ulBaud)
{
    if (pSerial->fnChangeBaud)
        pSerial->fnChangeBaud(pSerial, ulBaud);
}

// Returns the milliseconds elapsed since ullStart on the channel's clock.
uint32_t serialGetDelta(_tSerial *pSerial, uint64_t ullStart)
{
    return serialDeltaMs(pSerial->fnGetMs(pSerial), ullStart);
}

// A clock set back reads as a very large value, never as a small one.
uint32_t serialDeltaMs(uint64_t ullNow, uint64_t ullStart)
{
    if (ullNow >= ullStart)
        return (uint32_t)(ullNow - ullStart);
    return (uint32_t)(ullNow - ullStart - 1);
}
