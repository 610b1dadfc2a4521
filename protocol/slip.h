#ifndef PROTOCOL_SLIP_H
#define PROTOCOL_SLIP_H

// SLIP framing of request and response packets.
// Decoded layout: END, direction, command, data length (16-bit LE), checksum
// (32-bit LE, CRC-16/XMODEM of the data in the low half), data, END.

#include <stdarg.h>
#include <stdint.h>

#include "protocol/byte_channel.h"

#define SLIP_END 0xC0
#define SLIP_ESC 0xDB
#define SLIP_ESC_END 0xDC
#define SLIP_ESC_ESC 0xDD

#define SLIP_DIR_REQUEST 0
#define SLIP_DIR_RESPONSE 1

#define SLIP_HEADER_SIZE 9 // END + direction + command + length + checksum
#define SLIP_OVERHEAD 10   // header plus the closing END
#define SLIP_READ_BYTE_TIMEOUT_MS 50

// Worst-case encoded size of a frame carrying ulDataLength data bytes.
#define SLIP_ENCODED_MAX(ulDataLength) (2 * (8 + (ulDataLength)) + 2)

typedef struct
{
    uint32_t ulState;
    uint8_t *pBuffer;
    uint32_t ulCapacity;
    uint16_t usStored;
    uint16_t usRawCount;
} _tSlipDetector;

// Total data length of a piece list: ubCount pairs (const uint8_t *, uint32_t) in ap,
// read through a copy.
uint64_t slipSumPieces(uint8_t ubCount, va_list ap);
uint8_t slipEncodeByte(uint8_t *pDest, uint8_t ubByte);
uint8_t slipDecodeByte(const uint8_t *pSource, uint8_t *pDest);
void slipSendByte(_tSerial *pSerial, uint8_t ubByte);
// Pieces: ubCount pairs (const uint8_t *pointer, uint32_t length) in ap.
void slipSendVaPacket(_tSerial *pSerial, uint8_t ubDir, uint8_t ubCmd, uint32_t ulChecksum, uint8_t ubCount,
                      va_list ap);
// The variadic forms take their piece count as 32 bits: the last parameter before
// "..." must be one that argument promotion leaves unchanged.
void slipSendCrcChunkedPacket(_tSerial *pSerial, uint8_t ubDir, uint8_t ubCmd, uint32_t ulPieceCount, ...);
// Builds the encoded frame into pDest (room for SLIP_ENCODED_MAX(data length)); returns its length.
uint32_t slipGenerateCrcVaPacket(uint8_t *pDest, uint8_t ubDir, uint8_t ubCmd, uint8_t ubCount, va_list ap);
// As slipGenerateCrcVaPacket, with the frame's checksum given rather than computed.
uint32_t slipEncodeVaPacket(uint8_t *pDest, uint8_t ubDir, uint8_t ubCmd, uint32_t ulChecksum,
                            uint8_t ubCount, va_list ap);
uint32_t slipGenerateCrcPacket(uint8_t *pDest, uint8_t ubDir, uint8_t ubCmd, uint32_t ulPieceCount, ...);
// Exact wire length of the frame slipSendVaPacket writes for these arguments (both ENDs).
uint32_t slipEncodedVaLength(uint8_t ubDir, uint8_t ubCmd, uint32_t ulChecksum, uint8_t ubCount, va_list ap);
uint32_t slipGetDelta(_tSerial *pSerial, uint32_t ulStart);
uint8_t slipReadByte(_tSerial *pSerial, uint8_t *pByte); // 0 nothing, 1 literal, 2 decoded escape
// The caller has consumed the opening END. Returns the decoded length (both ENDs) or 0.
uint16_t slipReadPacket(_tSerial *pSerial, uint8_t *pBuffer, uint16_t usCapacity, uint16_t usTimeoutMs);
uint16_t slipWaitForPacket(_tSerial *pSerial, uint8_t *pBuffer, uint16_t usCapacity, uint16_t usTimeoutMs);
uint16_t slipReadResponse(_tSerial *pSerial, uint8_t ubCmd, uint8_t *pBuffer, uint16_t usCapacity,
                          uint16_t usTimeoutMs);
uint8_t slipGetDir(const uint8_t *pPacket);
uint8_t slipGetCmd(const uint8_t *pPacket);
const uint8_t *slipGetDataStart(const uint8_t *pPacket);
uint16_t slipGetDataLength(const uint8_t *pPacket);
uint32_t slipGetChecksum(const uint8_t *pPacket);
uint32_t slipCalcChecksum(const uint8_t *pData, uint32_t ulLength, uint8_t isCrc);
uint8_t slipIsPacketValid(const uint8_t *pPacket, uint16_t usLength, uint8_t isCrc);
uint8_t slipDetectorAppend(_tSlipDetector *pDetector, uint8_t ubByte);
int8_t slipDetectFrame(_tSlipDetector *pDetector, uint8_t ubByte);

#endif
