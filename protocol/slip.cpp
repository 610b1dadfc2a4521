#include "protocol/slip.h"

#include "common/le_bytes.h"
#include "protocol/crc.h"

// Positions in a decoded packet.
#define SLIP_POS_DIR 1
#define SLIP_POS_CMD 2
#define SLIP_POS_LENGTH 3
#define SLIP_POS_CHECKSUM 5
#define SLIP_POS_DATA 9

#define SLIP_HEADER_FIELDS (SLIP_HEADER_SIZE - 1) // header bytes after the opening END
#define SLIP_XOR_CHECKSUM_INIT 0xEF

// States of the incremental frame detector.
#define SLIP_DETECT_IDLE 0
#define SLIP_DETECT_STARTED 1
#define SLIP_DETECT_IN_FRAME 2
#define SLIP_DETECT_ESCAPE 3

// Results of the incremental frame detector.
#define SLIP_DETECT_NONE (-1)
#define SLIP_DETECT_TAKEN 0
#define SLIP_DETECT_COMPLETE 1

// Results of slipReadByte.
#define SLIP_READ_NOTHING 0
#define SLIP_READ_LITERAL 1
#define SLIP_READ_ESCAPED 2

// Sum of the piece lengths of a piece list, wide enough not to wrap; the caller's
// list is read through a copy and left untouched.
uint64_t slipSumPieces(uint8_t ubCount, va_list ap)
{
    va_list apCopy;
    va_copy(apCopy, ap);
    uint64_t ullSum = 0;
    for (uint8_t i = 0; i < ubCount; i++)
    {
        (void)va_arg(apCopy, const uint8_t *);
        ullSum += va_arg(apCopy, uint32_t);
    }
    va_end(apCopy);
    return ullSum;
}

// The eight header bytes after the opening END: direction, command, the low 16 bits
// of the data length and the 32-bit checksum, all little-endian.
static void slipFillHeader(uint8_t *pHeader, uint8_t ubDir, uint8_t ubCmd, uint32_t ulLength,
                           uint32_t ulChecksum)
{
    pHeader[0] = ubDir;
    pHeader[1] = ubCmd;
    lePutU16(pHeader + 2, (uint16_t)ulLength);
    lePutU32(pHeader + 4, ulChecksum);
}

// Reads one raw byte into *pByte, trying until a byte arrives. Returns 1 with the
// byte, 0 once an attempt brought none and more than the per-byte wait has passed
// since ulStart.
static uint8_t slipReadRaw(_tSerial *pSerial, uint8_t *pByte, uint32_t ulStart)
{
    for (;;)
    {
        if (serialReadByte(pSerial, pByte) == 1)
            return 1;
        if (slipGetDelta(pSerial, ulStart) > SLIP_READ_BYTE_TIMEOUT_MS)
            return 0;
    }
}

// Encodes one content byte into pDest (room for 2). Returns the bytes written: 2 for
// END and ESC (escape pairs), 1 for any other byte (copied).
uint8_t slipEncodeByte(uint8_t *pDest, uint8_t ubByte)
{
    if (ubByte == SLIP_END)
    {
        pDest[0] = SLIP_ESC;
        pDest[1] = SLIP_ESC_END;
        return 2;
    }
    if (ubByte == SLIP_ESC)
    {
        pDest[0] = SLIP_ESC;
        pDest[1] = SLIP_ESC_ESC;
        return 2;
    }
    pDest[0] = ubByte;
    return 1;
}

// Decodes one content byte from pSource into *pDest (when pDest is not null).
// Returns the source bytes used: 1 for a plain byte, 2 for a valid escape pair, 0 for
// an ESC followed by anything but ESC_END or ESC_ESC (nothing meaningful is stored).
uint8_t slipDecodeByte(const uint8_t *pSource, uint8_t *pDest)
{
    uint8_t ubByte = pSource[0];
    uint8_t ubUsed = 1;
    if (ubByte == SLIP_ESC)
    {
        if (pSource[1] == SLIP_ESC_END)
            ubByte = SLIP_END;
        else if (pSource[1] == SLIP_ESC_ESC)
            ubByte = SLIP_ESC;
        else
            return 0;
        ubUsed = 2;
    }
    if (pDest)
        *pDest = ubByte;
    return ubUsed;
}

// Writes one content byte escaped, with one multi-byte write.
void slipSendByte(_tSerial *pSerial, uint8_t ubByte)
{
    uint8_t pEncoded[2];
    uint8_t ubLength = slipEncodeByte(pEncoded, ubByte);
    serialWriteBytes(pSerial, pEncoded, ubLength);
}

// Where an encoded frame goes: written to a channel, stored in a buffer, or only
// counted. ulCount is the number of wire bytes produced so far.
typedef struct
{
    _tSerial *pSerial;
    uint8_t *pDest;
    uint32_t ulCount;
} _tSlipSink;

static void slipSinkPut(_tSlipSink *pSink, uint8_t ubByte)
{
    if (pSink->pSerial != 0)
        serialWriteByte(pSink->pSerial, ubByte);
    else if (pSink->pDest != 0)
        pSink->pDest[pSink->ulCount] = ubByte;
    pSink->ulCount++;
}

static void slipSinkPutEscaped(_tSlipSink *pSink, uint8_t ubByte)
{
    uint8_t pEncoded[2];
    uint8_t ubLength = slipEncodeByte(pEncoded, ubByte);
    for (uint8_t i = 0; i < ubLength; i++)
        slipSinkPut(pSink, pEncoded[i]);
}

// The one frame encoder: END, the escaped header carrying the low 16 bits of the
// pieces' total length and ulChecksum unchanged, every piece byte escaped, END.
// The caller's argument list is read through copies, so it may be used again.
// Returns the number of wire bytes.
static uint32_t slipEncodeFrame(_tSlipSink *pSink, uint8_t ubDir, uint8_t ubCmd, uint32_t ulChecksum,
                                uint8_t ubCount, va_list ap)
{
    uint8_t pHeader[SLIP_HEADER_FIELDS];
    slipFillHeader(pHeader, ubDir, ubCmd, (uint32_t)slipSumPieces(ubCount, ap), ulChecksum);

    slipSinkPut(pSink, SLIP_END);
    for (uint8_t i = 0; i < SLIP_HEADER_FIELDS; i++)
        slipSinkPutEscaped(pSink, pHeader[i]);

    va_list apCopy;
    va_copy(apCopy, ap);
    for (uint8_t i = 0; i < ubCount; i++)
    {
        const uint8_t *pPiece = va_arg(apCopy, const uint8_t *);
        uint32_t ulLength = va_arg(apCopy, uint32_t);
        for (uint32_t j = 0; j < ulLength; j++)
            slipSinkPutEscaped(pSink, pPiece[j]);
    }
    va_end(apCopy);

    slipSinkPut(pSink, SLIP_END);
    return pSink->ulCount;
}

// Writes one whole frame to the channel (see slipEncodeFrame).
void slipSendVaPacket(_tSerial *pSerial, uint8_t ubDir, uint8_t ubCmd, uint32_t ulChecksum, uint8_t ubCount,
                      va_list ap)
{
    _tSlipSink sSink = {pSerial, 0, 0};
    (void)slipEncodeFrame(&sSink, ubDir, ubCmd, ulChecksum, ubCount, ap);
}

// Sends a frame whose checksum is the CRC-16/XMODEM of the pieces, computed across
// them in order. Pieces: ubCount pairs (const uint8_t *, uint32_t).
void slipSendCrcChunkedPacket(_tSerial *pSerial, uint8_t ubDir, uint8_t ubCmd, uint32_t ulPieceCount, ...)
{
    va_list ap;
    va_start(ap, ulPieceCount);
    uint8_t ubCount = (uint8_t)ulPieceCount;
    uint32_t ulCrc = crc16Va(CRC16_POLY, CRC16_INIT_PACKET, ubCount, ap);
    slipSendVaPacket(pSerial, ubDir, ubCmd, ulCrc, ubCount, ap);
    va_end(ap);
}

// Builds into pDest the frame slipSendCrcChunkedPacket would write for the same
// arguments. pDest must hold SLIP_ENCODED_MAX(total data length) bytes, or exactly
// slipEncodedVaLength() bytes. Returns the number of bytes written.
uint32_t slipGenerateCrcVaPacket(uint8_t *pDest, uint8_t ubDir, uint8_t ubCmd, uint8_t ubCount, va_list ap)
{
    uint32_t ulCrc = crc16Va(CRC16_POLY, CRC16_INIT_PACKET, ubCount, ap);
    return slipEncodeVaPacket(pDest, ubDir, ubCmd, ulCrc, ubCount, ap);
}

uint32_t slipEncodeVaPacket(uint8_t *pDest, uint8_t ubDir, uint8_t ubCmd, uint32_t ulChecksum,
                            uint8_t ubCount, va_list ap)
{
    _tSlipSink sSink = {0, pDest, 0};
    return slipEncodeFrame(&sSink, ubDir, ubCmd, ulChecksum, ubCount, ap);
}

// As slipGenerateCrcVaPacket, with the pieces as further arguments.
uint32_t slipGenerateCrcPacket(uint8_t *pDest, uint8_t ubDir, uint8_t ubCmd, uint32_t ulPieceCount, ...)
{
    va_list ap;
    va_start(ap, ulPieceCount);
    uint8_t ubCount = (uint8_t)ulPieceCount;
    uint32_t ulLength = slipGenerateCrcVaPacket(pDest, ubDir, ubCmd, ubCount, ap);
    va_end(ap);
    return ulLength;
}

// Returns the exact number of wire bytes of the frame slipSendVaPacket would write for
// these arguments, both END bytes included. The argument list is read through a copy.
uint32_t slipEncodedVaLength(uint8_t ubDir, uint8_t ubCmd, uint32_t ulChecksum, uint8_t ubCount, va_list ap)
{
    _tSlipSink sSink = {0, 0, 0};
    return slipEncodeFrame(&sSink, ubDir, ubCmd, ulChecksum, ubCount, ap);
}

// Returns the milliseconds elapsed since ulStart (the low 32 bits of an earlier clock
// reading). A reading below the start gives the difference minus one.
uint32_t slipGetDelta(_tSerial *pSerial, uint32_t ulStart)
{
    return serialDeltaMs(pSerial->fnGetMs(pSerial), ulStart);
}

// Reads one content byte, an escape pair decoded; the 50 ms wait covers the whole
// pair. Returns 1 for a literal byte (END included), 2 for a byte decoded from a
// valid escape pair, 0 on time-out or for an invalid pair (dropped).
uint8_t slipReadByte(_tSerial *pSerial, uint8_t *pByte)
{
    uint32_t ulStart = (uint32_t)pSerial->fnGetMs(pSerial);
    uint8_t pRaw[2] = {0, 0};
    if (slipReadRaw(pSerial, &pRaw[0], ulStart) != 1)
        return SLIP_READ_NOTHING;
    if (pRaw[0] != SLIP_ESC)
    {
        *pByte = pRaw[0];
        return SLIP_READ_LITERAL;
    }
    if (slipReadRaw(pSerial, &pRaw[1], ulStart) != 1)
        return SLIP_READ_NOTHING;
    return slipDecodeByte(pRaw, pByte) == 2 ? SLIP_READ_ESCAPED : SLIP_READ_NOTHING;
}

// Reads the rest of a frame whose opening END the caller consumed, decoding it into
// pBuffer from END to END. Returns the decoded length with both ENDs, or 0 when the
// frame does not fit in usCapacity bytes (its rest stays in the channel), when
// usTimeoutMs passed while nothing arrived, or when usCapacity is 0.
uint16_t slipReadPacket(_tSerial *pSerial, uint8_t *pBuffer, uint16_t usCapacity, uint16_t usTimeoutMs)
{
    if (usCapacity == 0)
        return 0;
    uint32_t ulStart = (uint32_t)pSerial->fnGetMs(pSerial);
    pBuffer[0] = SLIP_END;
    uint16_t usPos = 1;
    for (;;)
    {
        if (usPos >= usCapacity)
            return 0;
        uint8_t ubByte = 0;
        uint8_t ubResult = slipReadByte(pSerial, &ubByte);
        if (ubResult == SLIP_READ_NOTHING)
        {
            if (slipGetDelta(pSerial, ulStart) >= usTimeoutMs)
                return 0;
            continue;
        }
        pBuffer[usPos++] = ubByte;
        if (ubResult == SLIP_READ_LITERAL && ubByte == SLIP_END)
            return usPos;
    }
}

// Discards bytes until an END arrives, then reads that frame as slipReadPacket does
// (with a fresh time-out). Returns its decoded length, or 0 when no END came within
// usTimeoutMs, when the frame read fails, or when usCapacity is 0.
uint16_t slipWaitForPacket(_tSerial *pSerial, uint8_t *pBuffer, uint16_t usCapacity, uint16_t usTimeoutMs)
{
    if (usCapacity == 0)
        return 0;
    uint32_t ulStart = (uint32_t)pSerial->fnGetMs(pSerial);
    pBuffer[0] = 0;
    for (;;)
    {
        if (serialReadByte(pSerial, &pBuffer[0]) == 1 && pBuffer[0] == SLIP_END)
            break;
        if (slipGetDelta(pSerial, ulStart) > usTimeoutMs)
            return 0;
    }
    return slipReadPacket(pSerial, pBuffer, usCapacity, usTimeoutMs);
}

// Waits for packets until one carries command ubCmd, dropping the others. Returns its
// decoded length, or 0 as soon as one wait fails. Each wait has its own time-out.
uint16_t slipReadResponse(_tSerial *pSerial, uint8_t ubCmd, uint8_t *pBuffer, uint16_t usCapacity,
                          uint16_t usTimeoutMs)
{
    for (;;)
    {
        uint16_t usLength = slipWaitForPacket(pSerial, pBuffer, usCapacity, usTimeoutMs);
        if (usLength == 0)
            return 0;
        // An empty frame (END END) holds no command byte.
        if (usLength > SLIP_POS_CMD && pBuffer[SLIP_POS_CMD] == ubCmd)
            return usLength;
    }
}

// Direction byte of a decoded packet; the buffer's length is not checked.
uint8_t slipGetDir(const uint8_t *pPacket)
{
    return pPacket[SLIP_POS_DIR];
}

// Command byte of a decoded packet; the buffer's length is not checked.
uint8_t slipGetCmd(const uint8_t *pPacket)
{
    return pPacket[SLIP_POS_CMD];
}

// Start of the data of a decoded packet.
const uint8_t *slipGetDataStart(const uint8_t *pPacket)
{
    return pPacket + SLIP_POS_DATA;
}

// Data length field of a decoded packet; the buffer's length is not checked.
uint16_t slipGetDataLength(const uint8_t *pPacket)
{
    return leGetU16(pPacket + SLIP_POS_LENGTH);
}

// The whole 32-bit checksum field of a decoded packet.
uint32_t slipGetChecksum(const uint8_t *pPacket)
{
    return leGetU32(pPacket + SLIP_POS_CHECKSUM);
}

// Returns the checksum field a packet with these data must carry: with isCrc set the
// CRC-16/XMODEM of the data (any length, computed in chunks a crc16 call can take),
// otherwise 0xEF XOR every data byte.
uint32_t slipCalcChecksum(const uint8_t *pData, uint32_t ulLength, uint8_t isCrc)
{
    if (isCrc)
    {
        uint16_t usCrc = CRC16_INIT_PACKET;
        while (ulLength > 0)
        {
            uint32_t ulChunk = ulLength > CRC16_MAX_CHUNK ? CRC16_MAX_CHUNK : ulLength;
            usCrc = (uint16_t)crc16(CRC16_POLY, usCrc, pData, (int16_t)ulChunk);
            pData += ulChunk;
            ulLength -= ulChunk;
        }
        return usCrc;
    }
    uint8_t ubXor = SLIP_XOR_CHECKSUM_INIT;
    for (uint32_t i = 0; i < ulLength; i++)
        ubXor ^= pData[i];
    return ubXor;
}

// Returns 1 when the decoded packet of usLength bytes is at least a header and END,
// its length field matches usLength and its 32-bit checksum field equals the
// checksum of its data; 0 otherwise.
uint8_t slipIsPacketValid(const uint8_t *pPacket, uint16_t usLength, uint8_t isCrc)
{
    if (usLength < SLIP_OVERHEAD)
        return 0;
    uint32_t ulDataLength = slipGetDataLength(pPacket);
    if ((uint32_t)usLength != ulDataLength + SLIP_OVERHEAD)
        return 0;
    return slipCalcChecksum(slipGetDataStart(pPacket), ulDataLength, isCrc) == slipGetChecksum(pPacket) ? 1
                                                                                                        : 0;
}

// Stores one decoded byte in the detector's buffer. Returns 1 when it was stored or
// there is no buffer, 0 when the buffer is full. Both counters advance either way.
uint8_t slipDetectorAppend(_tSlipDetector *pDetector, uint8_t ubByte)
{
    uint8_t ubResult = 1;
    if (pDetector->pBuffer)
    {
        if (pDetector->usStored < pDetector->ulCapacity)
            pDetector->pBuffer[pDetector->usStored] = ubByte;
        else
            ubResult = 0;
    }
    pDetector->usStored++;
    pDetector->usRawCount++;
    return ubResult;
}

// Appends a byte inside a frame and moves to ulNext, or back to idle when the buffer
// refuses it. Returns 0 (taken) or -1 (frame dropped).
static int8_t slipDetectTake(_tSlipDetector *pDetector, uint8_t ubByte, uint32_t ulNext)
{
    if (slipDetectorAppend(pDetector, ubByte) != 1)
    {
        pDetector->ulState = SLIP_DETECT_IDLE;
        return SLIP_DETECT_NONE;
    }
    pDetector->ulState = ulNext;
    return SLIP_DETECT_TAKEN;
}

// Starts a new frame at an END.
static void slipDetectStart(_tSlipDetector *pDetector)
{
    pDetector->usStored = 0;
    pDetector->usRawCount = 0;
    pDetector->ulState =
        slipDetectorAppend(pDetector, SLIP_END) == 1 ? SLIP_DETECT_STARTED : SLIP_DETECT_IDLE;
}

// Feeds one wire byte to the detector. Returns 1 when it completed a frame (the
// buffer holds it decoded, usStored bytes from END to END, usRawCount wire bytes),
// 0 when it was taken inside a frame, -1 when no frame is in progress (idle, a frame
// just started, or a frame dropped for a bad byte or a full buffer).
int8_t slipDetectFrame(_tSlipDetector *pDetector, uint8_t ubByte)
{
    switch (pDetector->ulState)
    {
    case SLIP_DETECT_IDLE:
        if (ubByte == SLIP_END)
            slipDetectStart(pDetector);
        return SLIP_DETECT_NONE;
    case SLIP_DETECT_STARTED:
        if (ubByte == SLIP_END)
        {
            slipDetectStart(pDetector);
            return SLIP_DETECT_NONE;
        }
        if (ubByte == SLIP_DIR_REQUEST || ubByte == SLIP_DIR_RESPONSE)
            return slipDetectTake(pDetector, ubByte, SLIP_DETECT_IN_FRAME);
        pDetector->ulState = SLIP_DETECT_IDLE;
        return SLIP_DETECT_NONE;
    case SLIP_DETECT_IN_FRAME:
        if (ubByte == SLIP_ESC)
        {
            pDetector->usRawCount++;
            pDetector->ulState = SLIP_DETECT_ESCAPE;
            return SLIP_DETECT_TAKEN;
        }
        if (ubByte == SLIP_END)
        {
            pDetector->ulState = SLIP_DETECT_IDLE;
            return slipDetectorAppend(pDetector, ubByte) == 1 ? SLIP_DETECT_COMPLETE : SLIP_DETECT_NONE;
        }
        return slipDetectTake(pDetector, ubByte, SLIP_DETECT_IN_FRAME);
    case SLIP_DETECT_ESCAPE:
        if (ubByte == SLIP_ESC_END)
            return slipDetectTake(pDetector, SLIP_END, SLIP_DETECT_IN_FRAME);
        if (ubByte == SLIP_ESC_ESC)
            return slipDetectTake(pDetector, SLIP_ESC, SLIP_DETECT_IN_FRAME);
        pDetector->ulState = SLIP_DETECT_IDLE;
        return SLIP_DETECT_NONE;
    default:
        pDetector->ulState = SLIP_DETECT_IDLE;
        return SLIP_DETECT_NONE;
    }
}
