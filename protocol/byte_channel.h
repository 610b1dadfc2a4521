#ifndef PROTOCOL_BYTE_CHANNEL_H
#define PROTOCOL_BYTE_CHANNEL_H

// The byte channel: a record of operations through which every layer above reads
// and writes single bytes, reads a millisecond clock and changes the baud rate.

#include <stdint.h>

typedef struct _tSerial _tSerial;
struct _tSerial
{
    void (*fnOpen)(_tSerial *pSerial, uint32_t ulArg);        // optional
    void (*fnClose)(_tSerial *pSerial);                       // optional
    uint8_t (*fnReadByte)(_tSerial *pSerial, uint8_t *pByte); // 1 when a byte was stored
    void (*fnWriteByte)(_tSerial *pSerial, uint8_t ubByte);   // required
    uint64_t (*fnGetMs)(_tSerial *pSerial);                   // required
    void (*fnChangeBaud)(_tSerial *pSerial, uint32_t ulBaud); // optional
    void *pUser;                                              // owner's data
};

void serialOpen(_tSerial *pSerial, uint32_t ulArg); // nothing when fnOpen is empty
void serialClose(_tSerial *pSerial);                // nothing when fnClose is empty
uint8_t serialReadByte(_tSerial *pSerial, uint8_t *pByte);
void serialWriteByte(_tSerial *pSerial, uint8_t ubByte);
void serialWriteBytes(_tSerial *pSerial, const uint8_t *pData, uint32_t ulCount);
void serialWriteStr(_tSerial *pSerial, const char *szText);
void serialPrintf(_tSerial *pSerial, const char *szFormat, ...) __attribute__((format(printf, 2, 3)));
// 1 when all ulCount bytes were read within ulTimeoutMs, else 0.
uint8_t serialReadBytes(_tSerial *pSerial, uint8_t *pDest, uint32_t ulCount, uint32_t ulTimeoutMs);
// 1 when a non-empty line (ended by CR or LF, stored zero-terminated) was read, else 0.
uint8_t serialReadStr(_tSerial *pSerial, char *szDest, uint32_t ulSize, uint32_t ulTimeoutMs);
void serialFlushRecv(_tSerial *pSerial);
void serialChangeBaud(_tSerial *pSerial, uint32_t ulBaud);
uint32_t serialGetDelta(_tSerial *pSerial, uint64_t ullStart);
// Milliseconds from ullStart to ullNow, kept to 32 bits; a reading below the
// start counts as a wrap of the counter and gives the difference minus one.
uint32_t serialDeltaMs(uint64_t ullNow, uint64_t ullStart);

#endif
