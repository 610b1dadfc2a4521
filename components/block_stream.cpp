// Streaming of AFF blocks to a bootloader: one current block per context, read
// one part at a time into the context's part buffer, checked against its stored
// CRC in version-3 files, and sent as a part packet (index, then the part bytes).

#include "components/block_stream.h"

#include <stddef.h>

#include "aff/aff_container.h"
#include "common/le_bytes.h"
#include "protocol/commands.h"
#include "protocol/crc.h"
#include "protocol/slip.h"
#include "protocol/slip_buffered.h"

// Bytes of the part index at the start of a part packet and of a 32-bit request word.
#define BLOCK_STREAM_WORD_SIZE 4
// Pieces of a part packet: the index, then the part bytes.
#define BLOCK_STREAM_PART_PIECES 2
// First format version whose parts are each followed by a stored CRC.
#define BLOCK_STREAM_FIRST_CRC_VERSION 3
#define BLOCK_STREAM_CRC16_MASK 0xFFFFu
#define BLOCK_STREAM_OFFSET_LIMIT 0xFFFFFFFFull

// The context's container reader, or null when the run has no container.
static _tAffReadFn blockStreamReader(const _tUpdater *pCtx)
{
    if (pCtx->pCallbacks == NULL)
        return NULL;
    return pCtx->pCallbacks->cbReadAff;
}

// Returns 1 when the current block's part size is usable: not 0 and small enough
// for the part buffer (and thereby for the sender's largest request).
static uint8_t blockStreamPartSizeOk(const _tUpdater *pCtx)
{
    const uint32_t ulPartSize = pCtx->sCurrentBlock.ulPartSize;
    if (ulPartSize == 0 || ulPartSize > UPDATER_PART_BUFFER_SIZE)
        return 0;
    return 1;
}

uint8_t updaterMakeBlockCurrent(_tUpdater *pCtx, int16_t sBlockIdx)
{
    const _tAffReadFn fnRead = blockStreamReader(pCtx);

    pCtx->sCurrentBlockIdx = sBlockIdx;
    pCtx->ulCurrentBlockPos = 0;
    if (fnRead == NULL || sBlockIdx < 0 || sBlockIdx >= AFF_MAX_BLOCKS)
        return 0;

    pCtx->ulCurrentBlockPos = affGetBlockStartPos(fnRead, (uint8_t)sBlockIdx);
    // Offset 0 is the file header, never a block: it is the lookup's failure value.
    if (pCtx->ulCurrentBlockPos == 0)
        return 0;
    if (affReadBlockHeader(fnRead, pCtx->ulCurrentBlockPos, &pCtx->sCurrentBlock) != 1)
        return 0;

    updaterLogVerbose(pCtx, "Processing block %hd: type: %d, file offs: %lu, size: %lu", sBlockIdx,
                      (int)pCtx->sCurrentBlock.ulType, (unsigned long)pCtx->ulCurrentBlockPos,
                      (unsigned long)pCtx->sCurrentBlock.ulSize);

    // A part that would not fit the part buffer is never read; refusing the block
    // here keeps every programmer from starting on it.
    if (blockStreamPartSizeOk(pCtx) != 1)
        return 0;
    return 1;
}

uint32_t updaterGetPartCount(const _tUpdater *pCtx)
{
    if (blockStreamPartSizeOk(pCtx) != 1)
        return 0;
    return pCtx->sCurrentBlock.ulSize / pCtx->sCurrentBlock.ulPartSize;
}

uint8_t updaterSendNextFirmwarePart(_tUpdater *pCtx, uint32_t ulPartIdx, uint8_t ubCmd)
{
    const _tAffReadFn fnRead = blockStreamReader(pCtx);
    const uint32_t ulPartSize = pCtx->sCurrentBlock.ulPartSize;
    const uint8_t hasPartCrc = (pCtx->usAffVersion >= BLOCK_STREAM_FIRST_CRC_VERSION) ? 1 : 0;
    uint8_t aubIdx[BLOCK_STREAM_WORD_SIZE];
    uint8_t aubStoredCrc[AFF_PART_CRC_SIZE];

    if (fnRead == NULL || ulPartIdx >= updaterGetPartCount(pCtx))
        return 0;

    // Part positions are computed wide so that a hostile block size cannot wrap
    // the offset back into the file.
    const uint64_t ullStride = (uint64_t)ulPartSize + (hasPartCrc ? AFF_PART_CRC_SIZE : 0);
    const uint64_t ullPos =
        (uint64_t)pCtx->ulCurrentBlockPos + pCtx->usBlockHeaderSize + ullStride * ulPartIdx;
    if (ullPos + ullStride > BLOCK_STREAM_OFFSET_LIMIT)
        return 0;
    const uint32_t ulPos = (uint32_t)ullPos;

    if (fnRead(pCtx->pPartBuffer, ulPos, ulPartSize) != 1)
        return 0;

    if (hasPartCrc)
    {
        if (fnRead(aubStoredCrc, ulPos + ulPartSize, AFF_PART_CRC_SIZE) != 1)
            return 0;
        // The stored CRC is a 32-bit field with the CRC in its low half: a
        // non-zero high half never matches.
        const uint32_t ulStored = leGetU32(aubStoredCrc);
        const uint32_t ulCalc = crc16(CRC16_POLY, CRC16_INIT_AFF, pCtx->pPartBuffer, (int16_t)ulPartSize) &
                                BLOCK_STREAM_CRC16_MASK;
        if (ulStored != ulCalc)
        {
            updaterLogVerbose(pCtx, "CRC Error on part %lu", (unsigned long)ulPartIdx);
            return 0;
        }
    }

    lePutU32(aubIdx, ulPartIdx);
    slipBufferedSendCrcChunkedPacket(pCtx->isTransparent, SLIP_DIR_REQUEST, ubCmd, BLOCK_STREAM_PART_PIECES,
                                     (const uint8_t *)aubIdx, (uint32_t)BLOCK_STREAM_WORD_SIZE,
                                     (const uint8_t *)pCtx->pPartBuffer, ulPartSize);
    return 1;
}

uint8_t updaterSendIv(_tUpdater *pCtx)
{
    const _tAffReadFn fnRead = blockStreamReader(pCtx);
    _tAffHeader sHeader;

    if (fnRead == NULL || affReadHeader(fnRead, &sHeader) != 1)
    {
        updaterLogVerbose(pCtx, "Couldn't read IV from AFF header");
        return 0;
    }
    updaterLogVerbose(pCtx, "Sending IV: %02X..%02X", sHeader.aubIv[0], sHeader.aubIv[AFF_IV_SIZE - 1]);
    slipBufferedSendPacket(pCtx->isTransparent, SLIP_DIR_REQUEST, UPDATER_CMD_IV, sHeader.aubIv, AFF_IV_SIZE);
    return 1;
}

uint8_t updaterSendWord(_tUpdater *pCtx, uint8_t ubCmd, uint32_t ulValue)
{
    uint8_t aubWord[BLOCK_STREAM_WORD_SIZE];
    lePutU32(aubWord, ulValue);
    slipBufferedSendPacket(pCtx->isTransparent, SLIP_DIR_REQUEST, ubCmd, aubWord, BLOCK_STREAM_WORD_SIZE);
    return 1;
}

uint8_t updaterSendEmpty(_tUpdater *pCtx, uint8_t ubCmd)
{
    slipBufferedSendPacket(pCtx->isTransparent, SLIP_DIR_REQUEST, ubCmd, NULL, 0);
    return 1;
}

uint8_t updaterBlockProgramBegin(_tUpdater *pCtx, uint32_t ulBlockType, uint8_t ubBeginCmd,
                                 uint32_t *pulPartCount)
{
    const _tAffReadFn fnRead = blockStreamReader(pCtx);

    if (fnRead == NULL)
        return 0;
    const int16_t sIdx = affFindBlock(fnRead, ulBlockType, 0, NULL);
    if (sIdx < 0)
        return 0;
    if (updaterMakeBlockCurrent(pCtx, sIdx) != 1)
        return 0;
    // A block holding less than one whole part has nothing to send; refuse it
    // before the bootloader is told to expect an image.
    const uint32_t ulPartCount = updaterGetPartCount(pCtx);
    if (ulPartCount == 0)
        return 0;

    updaterSendWord(pCtx, ubBeginCmd, pCtx->sCurrentBlock.ulImageSize);
    *pulPartCount = ulPartCount;
    return 1;
}

uint8_t updaterBlockProgramNext(_tUpdater *pCtx, uint32_t *pulSeq, uint32_t ulPartCount, uint8_t ubPartCmd,
                                uint8_t ubEndCmd)
{
    if (ulPartCount == 0)
        return 0;
    updaterComponentProgress(pCtx, (uint8_t)(((uint64_t)100 * *pulSeq) / ulPartCount));
    if (*pulSeq == ulPartCount)
    {
        updaterLog(pCtx, "Finishing data transfer");
        return updaterSendEmpty(pCtx, ubEndCmd);
    }
    if (updaterSendNextFirmwarePart(pCtx, *pulSeq, ubPartCmd) != 1)
        return 0;
    (*pulSeq)++;
    return 1;
}
