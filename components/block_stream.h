#ifndef COMPONENTS_BLOCK_STREAM_H
#define COMPONENTS_BLOCK_STREAM_H

// Streaming of AFF blocks: make a block current, send its parts one request at
// a time (CRC-checked in version-3 files), send the initialisation vector.

#include <stdint.h>

#include "context/updater_context.h"

// Makes block sBlockIdx (an affFindBlock index) the context's current block.
// Returns 1, or 0 when the index is negative, the container is missing or the
// block header cannot be read, or the block's part size is 0 or larger than the
// part buffer.
uint8_t updaterMakeBlockCurrent(_tUpdater *pCtx, int16_t sBlockIdx);
// Reads part ulPartIdx of the current block, checks its stored CRC (format
// version 3 and later) and sends it as a part packet with command ubCmd.
// Returns 1 when sent, 0 (nothing sent) when the index is not below the block's
// part count, the part cannot be read, or its CRC does not match.
uint8_t updaterSendNextFirmwarePart(_tUpdater *pCtx, uint32_t ulPartIdx, uint8_t ubCmd);
// Sends the container's initialisation vector (command 1). Returns 1, or 0
// (nothing sent) when the container header cannot be read.
uint8_t updaterSendIv(_tUpdater *pCtx);

// Whole parts of the current block: ulSize / ulPartSize, or 0 when its part
// size is unusable. Never fails otherwise.
uint32_t updaterGetPartCount(const _tUpdater *pCtx);
// Sends request ubCmd whose data is ulValue as 4 little-endian bytes. Returns 1.
uint8_t updaterSendWord(_tUpdater *pCtx, uint8_t ubCmd, uint32_t ulValue);
// Sends request ubCmd without data. Returns 1.
uint8_t updaterSendEmpty(_tUpdater *pCtx, uint8_t ubCmd);

// The begin / parts / end exchange shared by the microcontroller and TI
// programmers; each programmer keeps its own counters and passes them in.
//
// Makes the first block of ulBlockType current and sends ubBeginCmd with the
// block's image size; stores the block's part count in *pulPartCount. Returns 1,
// or 0 (nothing sent, counters untouched) when the block is missing, cannot be
// made current, or holds less than one whole part.
uint8_t updaterBlockProgramBegin(_tUpdater *pCtx, uint32_t ulBlockType, uint8_t ubBeginCmd,
                                 uint32_t *pulPartCount);
// On the answer to the begin request or to a part: reports the share of parts
// acknowledged, then sends part *pulSeq with ubPartCmd (advancing *pulSeq) or,
// once all ulPartCount parts are out, ubEndCmd without data. Returns 1 when a
// request was sent, 0 when the part could not be sent or ulPartCount is 0.
uint8_t updaterBlockProgramNext(_tUpdater *pCtx, uint32_t *pulSeq, uint32_t ulPartCount, uint8_t ubPartCmd,
                                uint8_t ubEndCmd);

#endif
