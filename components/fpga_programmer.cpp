// FPGA programmer: write NVCM0, write the usercode, verify NVCM0, write NVCM1,
// verify NVCM1, end. Each request is answered before the next one is sent; the
// answer functions below pick the next request from the phase in progress.

#include "components/fpga_programmer.h"

#include <stddef.h>

#include "aff/aff_container.h"
#include "common/le_bytes.h"
#include "components/block_stream.h"
#include "aff/aff_presence.h"
#include "protocol/commands.h"
#include "protocol/slip.h"
#include "protocol/slip_buffered.h"

// Bytes of one 32-bit word of the phase-begin request, and of the whole request
// (memory type, operation, page count).
#define FPGA_WORD_SIZE 4
#define FPGA_PHASE_BEGIN_SIZE (3 * FPGA_WORD_SIZE)

// Progress offsets of the phases, in percent of the FPGA component. Without
// NVCM1 data there are two phases, so the NVCM0 offsets and shares double.
#define FPGA_PROGRESS_NVCM0_WRITE 0
#define FPGA_PROGRESS_NVCM0_VERIFY 25
#define FPGA_PROGRESS_NVCM1_WRITE 50
#define FPGA_PROGRESS_NVCM1_VERIFY 75
#define FPGA_PROGRESS_DONE 100
#define FPGA_PHASES_WITH_NVCM1 4
#define FPGA_PHASES_WITHOUT_NVCM1 2
#define FPGA_PERCENT 100

static const uint8_t s_ubFpgaPageSize = FPGA_PAGE_SIZE;

// The phase in progress, kept in the process-wide run state.
static _tUpdaterFpgaMarks *fpgaMarks(void)
{
    return &updaterRunState()->sFpga;
}

static _tAffReadFn fpgaReader(const _tUpdater *pCtx)
{
    if (pCtx->pCallbacks == NULL)
        return NULL;
    return pCtx->pCallbacks->cbReadAff;
}

// Index of the first block of ulType, or -1.
static int16_t fpgaFindBlock(const _tUpdater *pCtx, uint32_t ulType)
{
    const _tAffReadFn fnRead = fpgaReader(pCtx);
    if (fnRead == NULL)
        return -1;
    return affFindBlock(fnRead, ulType, 0, NULL);
}

// Reads the header of the first block of ulType into *pBlock. Returns 1, or 0
// when there is no such block or its header cannot be read.
static uint8_t fpgaReadFirstBlock(const _tUpdater *pCtx, uint32_t ulType, _tAffBlockHeader *pBlock)
{
    const _tAffReadFn fnRead = fpgaReader(pCtx);
    return fnRead != NULL ? affReadFirstBlock(fnRead, ulType, NULL, pBlock) : 0;
}

// Returns 1 when an image block can be streamed: a usable part size and at least
// one whole part.
static uint8_t fpgaImageStreamable(const _tAffBlockHeader *pBlock)
{
    if (pBlock->ulPartSize == 0 || pBlock->ulPartSize > UPDATER_PART_BUFFER_SIZE)
        return 0;
    if (pBlock->ulSize / pBlock->ulPartSize == 0)
        return 0;
    return 1;
}

// Checks, before anything is sent, every block the sequence will need, so that
// a container the sequence cannot finish is refused up front. Also decides
// whether there is NVCM1 data. Returns 1 when the container can be programmed.
static uint8_t fpgaCheckBlocks(const _tUpdater *pCtx)
{
    _tAffBlockHeader sBlock;

    if (fpgaReadFirstBlock(pCtx, AFF_BLOCK_FPGA_NVCM0, &sBlock) != 1 || fpgaImageStreamable(&sBlock) != 1)
        return 0;

    if (fpgaReadFirstBlock(pCtx, AFF_BLOCK_FPGA_NVCM1, &sBlock) != 1)
        return 0;
    fpgaMarks()->isNoNvcm1 = (sBlock.ulImageSize == 0) ? 1 : 0;
    // NVCM1 is streamed only when it has pages; then it must hold whole parts.
    if (sBlock.ulImageSize / s_ubFpgaPageSize != 0 && fpgaImageStreamable(&sBlock) != 1)
        return 0;

    // The usercode goes out whole from the part buffer, so it must fit there.
    if (fpgaReadFirstBlock(pCtx, AFF_BLOCK_FPGA_USERCODE, &sBlock) != 1 ||
        sBlock.ulSize > UPDATER_PART_BUFFER_SIZE)
        return 0;
    return 1;
}

uint8_t updaterFpgaInit(_tUpdater *pCtx)
{
    const _tAffReadFn fnRead = fpgaReader(pCtx);
    _tAffHeader sHeader;

    _tUpdaterFpgaMarks *pMarks = fpgaMarks();

    pMarks->ubProgressOffs = FPGA_PROGRESS_NVCM0_WRITE;
    pMarks->ulBlockChunkIdx = 0;
    pMarks->ubFpgaOp = FPGA_OP_VERIFY;
    pMarks->ubFpgaMemType = FPGA_MEM_NVCM0;
    if (fnRead == NULL || updaterFpgaInFile(fnRead, NULL) != 1)
        return 0;
    if (affReadHeader(fnRead, &sHeader) != 1)
        return 0;
    if (fpgaCheckBlocks(pCtx) != 1)
        return 0;
    return updaterSendEmpty(pCtx, UPDATER_CMD_FPGA_BEGIN);
}

uint8_t updaterFpgaAfterBegin(_tUpdater *pCtx)
{
    return updaterFpgaWriteVerifyBegin(pCtx, fpgaFindBlock(pCtx, AFF_BLOCK_FPGA_NVCM0), FPGA_OP_WRITE);
}

uint8_t updaterFpgaAfterProgramBegin(_tUpdater *pCtx)
{
    return updaterFpgaSendNextDataChunk(pCtx);
}

// Sends the usercode block whole as command 35, read straight after its block
// header. Returns 1 when sent, 0 when the block is missing, unreadable or larger
// than the part buffer.
static uint8_t fpgaSendUsercode(_tUpdater *pCtx)
{
    const _tAffReadFn fnRead = fpgaReader(pCtx);

    updaterLogVerbose(pCtx, "Writing usercode");
    if (updaterMakeBlockCurrent(pCtx, fpgaFindBlock(pCtx, AFF_BLOCK_FPGA_USERCODE)) != 1)
        return 0;
    const uint32_t ulSize = pCtx->sCurrentBlock.ulSize;
    if (ulSize > UPDATER_PART_BUFFER_SIZE)
        return 0;
    if (fnRead(pCtx->pPartBuffer, pCtx->ulCurrentBlockPos + pCtx->usBlockHeaderSize, ulSize) != 1)
        return 0;
    slipBufferedSendPacket(pCtx->isTransparent, SLIP_DIR_REQUEST, UPDATER_CMD_FPGA_USERCODE,
                           pCtx->pPartBuffer, (uint16_t)ulSize);
    return 1;
}

uint8_t updaterFpgaAfterProgramData(_tUpdater *pCtx)
{
    const _tUpdaterFpgaMarks *pMarks = fpgaMarks();
    if (pMarks->ulBlockChunkIdx != updaterGetPartCount(pCtx))
        return updaterFpgaSendNextDataChunk(pCtx);

    // The phase's last part was answered: go on to the next phase.
    if (pMarks->ubFpgaMemType == FPGA_MEM_NVCM0 && pMarks->ubFpgaOp == FPGA_OP_WRITE)
        return fpgaSendUsercode(pCtx);
    if (pMarks->ubFpgaMemType == FPGA_MEM_NVCM0 && pMarks->ubFpgaOp == FPGA_OP_VERIFY)
        return updaterFpgaWriteVerifyBegin(pCtx, fpgaFindBlock(pCtx, AFF_BLOCK_FPGA_NVCM1), FPGA_OP_WRITE);
    if (pMarks->ubFpgaMemType == FPGA_MEM_NVCM1 && pMarks->ubFpgaOp == FPGA_OP_WRITE)
        return updaterFpgaWriteVerifyBegin(pCtx, fpgaFindBlock(pCtx, AFF_BLOCK_FPGA_NVCM1), FPGA_OP_VERIFY);
    return updaterSendEmpty(pCtx, UPDATER_CMD_FPGA_END);
}

uint8_t updaterFpgaAfterUsercode(_tUpdater *pCtx)
{
    return updaterFpgaWriteVerifyBegin(pCtx, fpgaFindBlock(pCtx, AFF_BLOCK_FPGA_NVCM0), FPGA_OP_VERIFY);
}

void updaterFpgaAfterEnd(_tUpdater *pCtx)
{
    updaterComponentProgress(pCtx, FPGA_PROGRESS_DONE);
}

// Sets the memory and the progress offset of a phase on the current block.
// Returns 1, or 0 when the block is no FPGA image.
static uint8_t fpgaSetPhase(const _tUpdater *pCtx, uint8_t ubOp)
{
    _tUpdaterFpgaMarks *pMarks = fpgaMarks();
    const uint8_t isWrite = (ubOp == FPGA_OP_WRITE) ? 1 : 0;
    if (pCtx->sCurrentBlock.ulType == AFF_BLOCK_FPGA_NVCM0)
    {
        pMarks->ubProgressOffs = isWrite ? FPGA_PROGRESS_NVCM0_WRITE : FPGA_PROGRESS_NVCM0_VERIFY;
        if (pMarks->isNoNvcm1)
            pMarks->ubProgressOffs =
                (uint8_t)(pMarks->ubProgressOffs * (FPGA_PHASES_WITH_NVCM1 / FPGA_PHASES_WITHOUT_NVCM1));
        pMarks->ubFpgaMemType = FPGA_MEM_NVCM0;
        return 1;
    }
    if (pCtx->sCurrentBlock.ulType == AFF_BLOCK_FPGA_NVCM1)
    {
        pMarks->ubFpgaMemType = FPGA_MEM_NVCM1;
        pMarks->ubProgressOffs = isWrite ? FPGA_PROGRESS_NVCM1_WRITE : FPGA_PROGRESS_NVCM1_VERIFY;
        return 1;
    }
    return 0;
}

uint8_t updaterFpgaWriteVerifyBegin(_tUpdater *pCtx, int16_t sBlockIdx, uint8_t ubOp)
{
    _tUpdaterFpgaMarks *pMarks = fpgaMarks();
    if (sBlockIdx < 0)
        return 0;
    if (updaterMakeBlockCurrent(pCtx, sBlockIdx) != 1)
        return 0;

    pMarks->ulBlockChunkIdx = 0;
    const uint32_t ulPages = pCtx->sCurrentBlock.ulImageSize / s_ubFpgaPageSize;
    if (fpgaSetPhase(pCtx, ubOp) != 1)
        return 0;

    if (ulPages == 0)
    {
        if (pMarks->ubFpgaMemType == FPGA_MEM_NVCM0)
        {
            updaterLog(pCtx, "ERR: No pages of main flash");
            return 0;
        }
        updaterLogVerbose(pCtx, "No pages to program in NVCM1 - skipping");
        return updaterSendEmpty(pCtx, UPDATER_CMD_FPGA_END);
    }
    // A phase announced to the bootloader must be able to deliver its parts.
    if (updaterGetPartCount(pCtx) == 0)
        return 0;

    pMarks->ubFpgaOp = ubOp;
    updaterLogVerbose(pCtx, "%s %d pages of %s", (ubOp == FPGA_OP_WRITE) ? "Writing" : "Verifying",
                      (int)ulPages, (pMarks->ubFpgaMemType == FPGA_MEM_NVCM0) ? "NVCM0" : "NVCM1");

    uint8_t aubData[FPGA_PHASE_BEGIN_SIZE];
    lePutU32(&aubData[0], pMarks->ubFpgaMemType);
    lePutU32(&aubData[FPGA_WORD_SIZE], ubOp);
    lePutU32(&aubData[2 * FPGA_WORD_SIZE], ulPages);
    slipBufferedSendPacket(pCtx->isTransparent, SLIP_DIR_REQUEST, UPDATER_CMD_FPGA_PROGRAM_BEGIN, aubData,
                           FPGA_PHASE_BEGIN_SIZE);
    return 1;
}

uint8_t updaterFpgaSendNextDataChunk(_tUpdater *pCtx)
{
    _tUpdaterFpgaMarks *pMarks = fpgaMarks();
    const uint32_t ulPartCount = updaterGetPartCount(pCtx);
    if (ulPartCount == 0)
        return 0;

    // Progress of the part about to be sent: its share of the phase, scaled to
    // the phase's quarter (or half without NVCM1 data), all in 8 bits.
    const uint8_t ubDivisor = pMarks->isNoNvcm1 ? FPGA_PHASES_WITHOUT_NVCM1 : FPGA_PHASES_WITH_NVCM1;
    const uint8_t ubInner = (uint8_t)(((uint64_t)FPGA_PERCENT * pMarks->ulBlockChunkIdx) / ulPartCount);
    updaterComponentProgress(pCtx, (uint8_t)(pMarks->ubProgressOffs + ubInner / ubDivisor));

    if (updaterSendNextFirmwarePart(pCtx, pMarks->ulBlockChunkIdx, UPDATER_CMD_FPGA_PROGRAM_DATA) != 1)
        return 0;
    pMarks->ulBlockChunkIdx++;
    return 1;
}
