// Reception of one message per step: text replies, device log lines and
// response packets, with validation, unwrapping of forwarded responses and
// bounded resends of the last request.

#include "engine/reception.h"

#include <string.h>

#include "common/le_bytes.h"
#include "protocol/commands.h"
#include "protocol/byte_channel.h"
#include "protocol/slip.h"
#include "protocol/slip_buffered.h"

#define RECV_FIRST_TEXT 'A'
#define RECV_FIRST_LOG 'L'
#define RECV_ERROR_PREFIX "AT+ERROR"
#define RECV_STATUS_SIZE 4              // the status word at the start of every response's data
#define RECV_OFFS_LENGTH 3              // data length field of a decoded packet
#define RECV_OFFS_CHECKSUM 5            // checksum field of a decoded packet
#define RECV_FIELD_LENGTH_SIZE 2        // bytes of the data length field
#define RECV_FIELD_CHECKSUM_SIZE 4      // bytes of the checksum field
#define RECV_OFFS_DATA SLIP_HEADER_SIZE // first data byte of a decoded packet
#define RECV_CRC_ON 1

uint32_t updaterCheckSlipError(const uint8_t *pPacket)
{
    return leGetU32(slipGetDataStart(pPacket));
}

uint8_t tryResend(_tUpdater *pCtx)
{
    if (pCtx->canResend == 0)
    {
        updaterLog(pCtx, "ERR: Can't resend last packet");
        return 0;
    }
    if (slipBufferedResendPacket() != 1)
    {
        updaterLog(pCtx, "ERR: Maximum number of retries reached");
        return 0;
    }
    updaterLog(pCtx, "Resending last packet");
    // A resend is a send: the silence period starts again.
    pCtx->ullLastRxMs = updaterSerialGetMs(&pCtx->sSerial);
    return 1;
}

// Resends the last message. Returns RECV_NOTHING when it went out again,
// RECV_FATAL when the resend was refused.
static uint32_t recvResendOrFail(_tUpdater *pCtx)
{
    return tryResend(pCtx) == 1 ? RECV_NOTHING : RECV_FATAL;
}

// Logs the size and checksum diagnostics of a packet that failed validation.
// Only the usLength bytes actually received are read: a field that was not
// received is not reported, and when the header states more data than arrived
// the checksum is taken over the data bytes that did arrive.
static void recvLogInvalid(_tUpdater *pCtx, const uint8_t *pPacket, uint16_t usLength)
{
    if (usLength < RECV_OFFS_LENGTH + RECV_FIELD_LENGTH_SIZE)
        return;
    uint32_t ulHeaderLength = (uint32_t)slipGetDataLength(pPacket) + SLIP_OVERHEAD;
    if (usLength != ulHeaderLength)
        updaterLogVerbose(pCtx, "response true packet size %hu != header's size %hu\r\n", usLength,
                          (uint16_t)ulHeaderLength);
    if (usLength < RECV_OFFS_CHECKSUM + RECV_FIELD_CHECKSUM_SIZE)
        return;
    uint32_t ulReceivedData = usLength >= SLIP_OVERHEAD ? (uint32_t)usLength - SLIP_OVERHEAD : 0;
    uint32_t ulDataLength = slipGetDataLength(pPacket);
    if (ulDataLength > ulReceivedData)
        ulDataLength = ulReceivedData;
    uint32_t ulComputed = slipCalcChecksum(&pPacket[RECV_OFFS_DATA], ulDataLength, RECV_CRC_ON);
    uint32_t ulStated = slipGetChecksum(pPacket);
    if (ulComputed != ulStated)
        updaterLogVerbose(pCtx, "response cheksum %08X, expected %08X\r\n", (unsigned)ulComputed,
                          (unsigned)ulStated);
}

// Validates the packet of usLength bytes in pRxBuffer and unwraps forwarded
// responses. Returns RECV_PACKET with the (inner) packet at the start of
// pRxBuffer, RECV_NOTHING when it was ignored or a resend went out, or
// RECV_FATAL.
static uint32_t recvPacket(_tUpdater *pCtx, uint16_t usLength)
{
    uint8_t *pPacket = pCtx->pRxBuffer;
    for (;;)
    {
        pCtx->usRxLength = usLength;
        if (slipIsPacketValid(pPacket, usLength, RECV_CRC_ON) != 1)
        {
            recvLogInvalid(pCtx, pPacket, usLength);
            updaterLog(pCtx, "Malformed SLIP packet");
            pCtx->usMalformedCount++;
            return recvResendOrFail(pCtx);
        }
        if (slipGetDir(pPacket) != SLIP_DIR_RESPONSE)
            return RECV_NOTHING;

        uint16_t usDataLength = slipGetDataLength(pPacket);
        // Every response carries a status word; one without it is damaged.
        if (usDataLength < RECV_STATUS_SIZE)
        {
            updaterLog(pCtx, "Malformed SLIP packet");
            pCtx->usMalformedCount++;
            return recvResendOrFail(pCtx);
        }
        uint32_t ulStatus = updaterCheckSlipError(pPacket);
        if (ulStatus == UPDATER_STATUS_MALFORMED || ulStatus == UPDATER_STATUS_MALFORMED_ALT)
        {
            updaterLog(pCtx, "Malformed SLIP request packet");
            pCtx->usMalformedCount++;
            return recvResendOrFail(pCtx);
        }
        if (ulStatus != UPDATER_STATUS_OK)
        {
            updaterLog(pCtx, "UB ERROR: %02X - %08X", slipGetCmd(pPacket), (unsigned)ulStatus);
            return RECV_FATAL;
        }
        if (slipGetCmd(pPacket) != UPDATER_CMD_FORWARD || usDataLength <= RECV_STATUS_SIZE)
            return RECV_PACKET;

        // A forwarded response carries the device's decoded packet after the
        // status word: move it to the start and check it in turn.
        uint16_t usInner = (uint16_t)(usDataLength - RECV_STATUS_SIZE);
        memmove(pPacket, &pPacket[RECV_OFFS_DATA + RECV_STATUS_SIZE], usInner);
        usLength = usInner;
    }
}

// A read on a quiet line waits the host's whole read time-out. A step waits for
// an answer only when one can be on its way to it: when its state is still
// waiting (the state did not change) or the step before it wrote to the link. A
// step that only moved the state on reads just what has already arrived (when
// the host can tell), so it does not hold back the next request by a read
// time-out. A late answer that comes after it is read by the next reception, as
// one that came after the time-out always was: the waiting state takes only an
// answer to its own request's command.
uint8_t recvIsDue(_tUpdater *pCtx)
{
    uint8_t isDue =
        (pCtx->ulState == pCtx->ulStepState || pCtx->ulBytesWritten != pCtx->ulStepWritten) ? 1 : 0;
    pCtx->ulStepState = pCtx->ulState;
    pCtx->ulStepWritten = pCtx->ulBytesWritten;
    const _tUpdaterCallbacks *pCb = pCtx->pCallbacks;
    if (isDue == 0 && (pCb->cbAvailable == 0 || pCb->cbAvailable(pCb->pUser) != 0))
        isDue = 1;
    return isDue;
}

// No state has this number: the first step always counts as one that moved on.
#define RECV_NO_STEP_STATE 0xFFFFFFFFu

void recvStartRun(_tUpdater *pCtx)
{
    pCtx->ulStepState = RECV_NO_STEP_STATE;
    pCtx->ulStepWritten = pCtx->ulBytesWritten;
}

void recvForgetWritten(_tUpdater *pCtx)
{
    pCtx->ulStepWritten = pCtx->ulBytesWritten;
}

uint32_t tryRecv(_tUpdater *pCtx)
{
    uint8_t *pBuffer = pCtx->pRxBuffer;
    if (serialReadByte(&pCtx->sSerial, &pBuffer[0]) != 1)
        return RECV_NOTHING;

    if (pBuffer[0] == RECV_FIRST_TEXT)
    {
        // Cleared first, so that a line cut short is shown without stale bytes.
        memset(&pBuffer[1], 0, UPDATER_RX_BUFFER_SIZE - 1);
        if (serialReadStr(&pCtx->sSerial, (char *)&pBuffer[1], RECV_LINE_MAX, RECV_LINE_TIMEOUT_MS) != 1)
        {
            updaterLog(pCtx, "AT timeout: %.*s", UPDATER_RX_BUFFER_SIZE, (const char *)pBuffer);
            return RECV_NOTHING;
        }
        updaterLogVerbose(pCtx, "< %s", (const char *)pBuffer);
        if (strncmp((const char *)pBuffer, RECV_ERROR_PREFIX, strlen(RECV_ERROR_PREFIX)) == 0)
        {
            updaterLogVerbose(pCtx, "uC error: %s", (const char *)pBuffer);
            return recvResendOrFail(pCtx);
        }
        return RECV_TEXT;
    }

    if (pBuffer[0] == RECV_FIRST_LOG)
    {
        if (serialReadStr(&pCtx->sSerial, (char *)pBuffer, RECV_LINE_MAX, RECV_LINE_TIMEOUT_MS) == 1 &&
            pCtx->isUcLogEnabled != 0)
            updaterLog(pCtx, "\tuC log:%s", (const char *)pBuffer);
        return RECV_NOTHING;
    }

    if (pBuffer[0] == SLIP_END)
    {
        uint16_t usLength =
            slipReadPacket(&pCtx->sSerial, pBuffer, UPDATER_RX_BUFFER_SIZE, RECV_FRAME_TIMEOUT_MS);
        if (usLength == 0)
        {
            pCtx->usRxLength = 0;
            updaterLog(pCtx, "SLIP Timeout");
            return recvResendOrFail(pCtx);
        }
        return recvPacket(pCtx, usLength);
    }

    return RECV_NOTHING;
}
