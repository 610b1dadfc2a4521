#ifndef PROTOCOL_SLIP_BUFFERED_H
#define PROTOCOL_SLIP_BUFFERED_H

// The buffered sender: every request and text command goes out through here and
// is recorded exactly as written, so that it can be resent (at most 20 times,
// each after a 500 ms pause and a drain). In transparent mode a request is built
// as an encoded inner frame and sent as the data of a forwarding request (command 9).

#include <stdarg.h>
#include <stdint.h>

#include "common/part_limit.h"
#include "protocol/byte_channel.h"
#include "protocol/commands.h"
#include "protocol/slip.h"

#define SLIP_BUFFERED_MAX_RETRIES 20
#define SLIP_BUFFERED_RESEND_PAUSE_MS 500
// Largest request data: a part index and the largest firmware part.
#define SLIP_MAX_REQUEST_DATA (4 + PART_SIZE_MAX)
// Worst case of the encoded inner frame, and of the outer frame that carries it.
#define SLIP_TRANSPARENT_BUFFER_SIZE SLIP_ENCODED_MAX(SLIP_MAX_REQUEST_DATA)
#define SLIP_PACKET_BUFFER_SIZE SLIP_ENCODED_MAX(SLIP_TRANSPARENT_BUFFER_SIZE)

void slipBufferedInit(const _tSerial *pSerial);
// Pieces: ubCount pairs (const uint8_t *pointer, uint32_t length).
void slipBufferedSendPacket(uint8_t isTransparent, uint8_t ubDir, uint8_t ubCmd, const uint8_t *pData,
                            uint16_t usLength);
void slipBufferedSendCrcChunkedPacket(uint8_t isTransparent, uint8_t ubDir, uint8_t ubCmd,
                                      uint32_t ulPieceCount, ...);
void slipBufferedSendVaPacket(uint8_t isTransparent, uint8_t ubDir, uint8_t ubCmd, uint8_t ubCount,
                              va_list ap);
uint8_t slipBufferedResendPacket(void); // 1 resent, 0 limit reached
void serialBufferedWriteStr(const char *szText);
void bufferedWriteByte(_tSerial *pSerial, uint8_t ubByte);
void bufferReset(void);

// Read-only view of the record, for tests and diagnostics.
const uint8_t *slipBufferedGetRecord(uint32_t *pulCount);
uint8_t slipBufferedGetRetries(void);

#endif
