#include "protocol/slip_buffered.h"

#include <string.h>

#include "protocol/crc.h"

// Largest data length a packet's 16-bit length field can carry.
#define SLIP_BUFFERED_MAX_DATA 0xFFFF

// The engine's channel: all real output, the draining and the pause clock.
static _tSerial s_sSourceSerial;
// The recording channel: the source's operations with the write replaced by
// bufferedWriteByte.
static _tSerial s_sBufferedSerial;
// The last request or text command exactly as written to the link. Sized for the
// worst case: a forwarded request whose part is all END and ESC bytes.
static uint8_t s_pPacketBuffer[SLIP_PACKET_BUFFER_SIZE];
static uint32_t s_ulBufferedCount;
static uint8_t s_ubRetries;
// The encoded inner frame of a forwarded request.
static uint8_t s_pTransparentBuffer[SLIP_TRANSPARENT_BUFFER_SIZE];

// Returns 1 when a channel is bound with the operations sending and resending use.
static uint8_t slipBufferedIsBound(void)
{
    return (s_sSourceSerial.fnWriteByte && s_sSourceSerial.fnReadByte && s_sSourceSerial.fnGetMs) ? 1 : 0;
}

// Returns 1 when the encoded frame of these arguments takes at most ulCapacity
// bytes. Every byte escaped is the worst case; only a frame that might not fit is
// counted exactly, so that a request is not encoded an extra time just to be measured.
static uint8_t slipBufferedFits(uint8_t ubDir, uint8_t ubCmd, uint32_t ulCrc, uint8_t ubCount, va_list ap,
                                uint32_t ulCapacity)
{
    if (SLIP_ENCODED_MAX(slipSumPieces(ubCount, ap)) <= ulCapacity)
        return 1;
    return slipEncodedVaLength(ubDir, ubCmd, ulCrc, ubCount, ap) <= ulCapacity ? 1 : 0;
}

// Sends one unwrapped request on the recording channel. Returns 1 when it was sent,
// 0 when it was refused without writing anything: no bound channel, a total data
// length that the 16-bit length field cannot carry, or an encoded frame longer than
// the record.
static uint8_t slipBufferedSendPlain(uint8_t ubDir, uint8_t ubCmd, uint8_t ubCount, va_list ap)
{
    bufferReset();
    if (slipBufferedIsBound() != 1)
        return 0;

    if (slipSumPieces(ubCount, ap) > SLIP_BUFFERED_MAX_DATA)
        return 0;

    uint32_t ulCrc = crc16Va(CRC16_POLY, CRC16_INIT_PACKET, ubCount, ap);
    if (slipBufferedFits(ubDir, ubCmd, ulCrc, ubCount, ap, sizeof(s_pPacketBuffer)) != 1)
        return 0;
    slipSendVaPacket(&s_sBufferedSerial, ubDir, ubCmd, ulCrc, ubCount, ap);
    return 1;
}

// Sends a request through a static argument list of one piece.
static uint8_t slipBufferedSendPlainPieces(uint8_t ubDir, uint8_t ubCmd, uint32_t ulPieceCount, ...)
{
    va_list ap;
    va_start(ap, ulPieceCount);
    uint8_t ubCount = (uint8_t)ulPieceCount;
    uint8_t ubResult = slipBufferedSendPlain(ubDir, ubCmd, ubCount, ap);
    va_end(ap);
    return ubResult;
}

// Binds the sender to the engine's channel and empties the record.
void slipBufferedInit(const _tSerial *pSerial)
{
    memset(&s_sSourceSerial, 0, sizeof(s_sSourceSerial));
    memset(&s_sBufferedSerial, 0, sizeof(s_sBufferedSerial));
    if (pSerial)
    {
        s_sSourceSerial = *pSerial;
        s_sBufferedSerial.fnOpen = pSerial->fnOpen;
        s_sBufferedSerial.fnClose = pSerial->fnClose;
        s_sBufferedSerial.fnReadByte = pSerial->fnReadByte;
        s_sBufferedSerial.fnGetMs = pSerial->fnGetMs;
        s_sBufferedSerial.fnChangeBaud = pSerial->fnChangeBaud;
        s_sBufferedSerial.fnWriteByte = bufferedWriteByte;
    }
    bufferReset();
}

// One-piece form of slipBufferedSendCrcChunkedPacket.
void slipBufferedSendPacket(uint8_t isTransparent, uint8_t ubDir, uint8_t ubCmd, const uint8_t *pData,
                            uint16_t usLength)
{
    slipBufferedSendCrcChunkedPacket(isTransparent, ubDir, ubCmd, 1, pData, (uint32_t)usLength);
}

// Sends a request whose data are the pieces (const uint8_t *, uint32_t) in order;
// see slipBufferedSendVaPacket.
void slipBufferedSendCrcChunkedPacket(uint8_t isTransparent, uint8_t ubDir, uint8_t ubCmd,
                                      uint32_t ulPieceCount, ...)
{
    va_list ap;
    va_start(ap, ulPieceCount);
    uint8_t ubCount = (uint8_t)ulPieceCount;
    slipBufferedSendVaPacket(isTransparent, ubDir, ubCmd, ubCount, ap);
    va_end(ap);
}

// Sends a request and records it for resending; the retry counter starts at 0.
// With isTransparent set the request is built as an encoded inner frame and sent as
// the data of a forwarding request, and the record holds that outer frame.
// A request that does not fit is refused: nothing is written and the record stays
// empty (a resend then writes nothing). It does not fit when its data exceed 65535
// bytes or when its encoded frame (forwarded: the inner or the outer frame) is longer
// than its buffer; every request of at most SLIP_MAX_REQUEST_DATA bytes fits whatever
// its content. The caller's argument list is only read through copies.
void slipBufferedSendVaPacket(uint8_t isTransparent, uint8_t ubDir, uint8_t ubCmd, uint8_t ubCount,
                              va_list ap)
{
    if (!isTransparent)
    {
        (void)slipBufferedSendPlain(ubDir, ubCmd, ubCount, ap);
        return;
    }

    bufferReset();
    if (slipSumPieces(ubCount, ap) > SLIP_BUFFERED_MAX_DATA)
        return;

    uint32_t ulCrc = crc16Va(CRC16_POLY, CRC16_INIT_PACKET, ubCount, ap);
    if (slipBufferedFits(ubDir, ubCmd, ulCrc, ubCount, ap, sizeof(s_pTransparentBuffer)) != 1)
        return;
    uint32_t ulInnerLength = slipEncodeVaPacket(s_pTransparentBuffer, ubDir, ubCmd, ulCrc, ubCount, ap);
    (void)slipBufferedSendPlainPieces(SLIP_DIR_REQUEST, UPDATER_CMD_FORWARD, 1,
                                      (const uint8_t *)s_pTransparentBuffer, ulInnerLength);
}

// Writes the recorded bytes again after a 500 ms pause on the channel's clock and a
// drain of the receive side. Returns 1 when resent (an empty record writes nothing
// but still counts), 0 when 20 resends of the current record were already made or
// no channel is bound.
uint8_t slipBufferedResendPacket(void)
{
    if (s_ubRetries >= SLIP_BUFFERED_MAX_RETRIES)
        return 0;
    if (slipBufferedIsBound() != 1)
        return 0;
    s_ubRetries++;

    uint64_t ullStart = s_sSourceSerial.fnGetMs(&s_sSourceSerial);
    while (serialGetDelta(&s_sSourceSerial, ullStart) < SLIP_BUFFERED_RESEND_PAUSE_MS)
    {
    }
    serialFlushRecv(&s_sSourceSerial);
    serialWriteBytes(&s_sSourceSerial, s_pPacketBuffer, s_ulBufferedCount);
    return 1;
}

// Sends a text command and records it for resending; the retry counter starts at 0.
// A text that does not fit the record with its terminating zero, a null text, or no
// bound channel is refused: nothing is written and the record stays empty.
void serialBufferedWriteStr(const char *szText)
{
    bufferReset();
    if (!szText || slipBufferedIsBound() != 1)
        return;
    uint32_t ulLength = 0;
    while (ulLength < sizeof(s_pPacketBuffer) && szText[ulLength] != '\0')
        ulLength++;
    if (ulLength >= sizeof(s_pPacketBuffer))
        return;
    memcpy(s_pPacketBuffer, szText, ulLength + 1);
    s_ulBufferedCount = ulLength;
    serialWriteStr(&s_sSourceSerial, szText);
}

// Write operation of the recording channel: records the byte, then writes it on the
// source channel. A byte that no longer fits the record is neither recorded nor
// written, so the record always equals what went out (the send paths check the
// frame's size first, so they never get here with a full record).
void bufferedWriteByte(_tSerial *pSerial, uint8_t ubByte)
{
    (void)pSerial;
    if (s_ulBufferedCount >= sizeof(s_pPacketBuffer) || !s_sSourceSerial.fnWriteByte)
        return;
    s_pPacketBuffer[s_ulBufferedCount++] = ubByte;
    s_sSourceSerial.fnWriteByte(&s_sSourceSerial, ubByte);
}

// Empties the record and restarts the retry count.
void bufferReset(void)
{
    s_ulBufferedCount = 0;
    s_ubRetries = 0;
}

// Returns the record and stores its byte count in *pulCount (when not null).
const uint8_t *slipBufferedGetRecord(uint32_t *pulCount)
{
    if (pulCount)
        *pulCount = s_ulBufferedCount;
    return s_pPacketBuffer;
}

// Returns the resends made of the current record.
uint8_t slipBufferedGetRetries(void)
{
    return s_ubRetries;
}
