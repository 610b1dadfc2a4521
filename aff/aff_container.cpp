#include "aff/aff_container.h"

#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "common/le_bytes.h"
#include "protocol/crc.h"

// Format versions this reader understands.
#define AFF_VERSION_1 1
#define AFF_VERSION_2 2
#define AFF_VERSION_3 3

// Start of every file header: two version words, then the 78 bytes that are all
// zero in a version-3 file and hold component versions and ids in older ones.
#define AFF_OFS_LEGACY_VERSION 0
#define AFF_OFS_VERSION 2
#define AFF_OFS_RESERVED 4
#define AFF_DETECT_SIZE (AFF_OFS_RESERVED + AFF_RESERVED_SIZE) // bytes that decide the version

// Version-3 file header.
#define AFF_V3_OFS_PRODUCT 82
#define AFF_V3_OFS_HARDWARE 86
#define AFF_V3_OFS_AUX 90
#define AFF_V3_OFS_FILE_VERSION 94
#define AFF_V3_OFS_BLOCK_COUNT 109
#define AFF_V3_OFS_IV 110
#define AFF_V3_OFS_CRC 126

// Version-1 and version-2 file headers: component version records, then the ids,
// the auxiliary word, the block count and the IV, which sit 16 bytes later in
// version 2 because of its extra host microcontroller record.
#define AFF_V12_OFS_DEVICE_UC_VERSION 4
#define AFF_V12_OFS_FPGA_VERSION 20
#define AFF_V12_OFS_WIFI_VERSION 36
#define AFF_V12_OFS_HOST_UC_VERSION 52
#define AFF_V1_OFS_IDS 52
#define AFF_V2_OFS_IDS 68
#define AFF_V12_IDS_OFS_PRODUCT 0
#define AFF_V12_IDS_OFS_HARDWARE 4
#define AFF_V12_IDS_OFS_AUX 8
#define AFF_V12_IDS_OFS_BLOCK_COUNT 12
#define AFF_V12_IDS_OFS_IV 13

// Block headers: the fields common to every version.
#define AFF_BLK_OFS_TYPE 0
#define AFF_BLK_OFS_SIZE 4
#define AFF_BLK_OFS_PART_SIZE 8
#define AFF_BLK_OFS_IMAGE_SIZE 12
// Version-3 block header.
#define AFF_V3_BLK_OFS_VERSION 16
#define AFF_V3_BLK_OFS_AUX0 31
#define AFF_V3_BLK_OFS_AUX1 35
#define AFF_V3_BLK_OFS_AUX2 39
#define AFF_V3_BLK_OFS_AUX_BYTES 43
#define AFF_V3_BLK_OFS_CRC 59
// Version-1 and version-2 block header.
#define AFF_V12_BLK_OFS_AUX0 16
#define AFF_V12_BLK_OFS_AUX1 20
#define AFF_V12_BLK_OFS_AUX2 24
#define AFF_V12_BLK_OFS_AUX_BYTES 28

// A version record stored in a version-3 header: the code, then 11 date characters.
#define AFF_VERSION_CODE_SIZE 4
#define AFF_STORED_VERSION_SIZE (AFF_VERSION_CODE_SIZE + VERSION_DATE_LEN)

#define AFF_MSG_UNSUPPORTED                                                                                  \
    "AFF file version not suported(File corrupted or newer version of updater needed)."

// Bytes of a part read at a time when its CRC is checked.
#define AFF_CHECK_CHUNK_SIZE 256

// Results of affLoadHeader.
#define AFF_LOAD_OK 1
#define AFF_LOAD_FAILED 0

// The in-memory file served by readAffFromMem; never owned by this module.
static const uint8_t *s_pAffBytes = NULL;
static uint32_t s_ulAffSize = 0;

static void affGetStoredVersion(const uint8_t *p, _tVersion *pVersion)
{
    memset(pVersion, 0, sizeof(*pVersion));
    pVersion->ulCode = leGetU32(p);
    memcpy(pVersion->szDate, p + AFF_VERSION_CODE_SIZE, VERSION_DATE_LEN);
}

static void affPutStoredVersion(const _tVersion *pVersion, uint8_t *p)
{
    lePutU32(p, pVersion->ulCode);
    memcpy(p + AFF_VERSION_CODE_SIZE, pVersion->szDate, VERSION_DATE_LEN);
}

// 1 when the stored 32-bit CRC field at pStored holds the CRC of ulLength bytes at pData.
static uint8_t affStoredCrcMatches(const uint8_t *pData, uint32_t ulLength, const uint8_t *pStored)
{
    uint32_t ulCrc = crc16(CRC16_POLY, CRC16_INIT_AFF, pData, (int16_t)ulLength);
    return leGetU32(pStored) == ulCrc ? 1 : 0;
}

// Reads the file header into pHeader and its raw bytes into aubRaw (room for the
// largest header). Only the bytes the detected version needs are read, so a file
// that ends right after its header still loads. Returns AFF_LOAD_OK when the
// header was read and is valid; AFF_LOAD_FAILED when a read fails, the version is
// not supported (after printing the module's message) or a version-3 CRC does not
// match. pHeader is untouched when the first read fails. isQuiet leaves the
// message out, for the checks that report damage in their own words.
static uint8_t affLoadHeader(_tAffReadFn fnRead, _tAffHeader *pHeader, uint8_t *aubRaw, uint8_t isQuiet)
{
    memset(aubRaw, 0, AFF_HEADER_SIZE_V3);
    // The decision window ends one byte past a version-1 header. A version-1 file
    // without blocks has no such byte; its value cannot change the outcome there
    // (a non-zero window already shows in the bytes before it, and an all-zero
    // window means a version-3 layout, which such a short file cannot hold), so it
    // counts as zero.
    if (fnRead(aubRaw, 0, AFF_DETECT_SIZE) != 1)
    {
        memset(aubRaw, 0, AFF_HEADER_SIZE_V3);
        if (fnRead(aubRaw, 0, AFF_HEADER_SIZE_V1) != 1)
            return AFF_LOAD_FAILED;
    }

    memset(pHeader, 0, sizeof(*pHeader));
    pHeader->usLegacyVersion = leGetU16(aubRaw + AFF_OFS_LEGACY_VERSION);
    pHeader->usVersion = leGetU16(aubRaw + AFF_OFS_VERSION);
    memcpy(pHeader->aubReserved, aubRaw + AFF_OFS_RESERVED, AFF_RESERVED_SIZE);
    for (uint32_t ulOfs = AFF_OFS_RESERVED; ulOfs < AFF_DETECT_SIZE; ulOfs += 2)
    {
        if (leGetU16(aubRaw + ulOfs) != 0)
        {
            pHeader->usVersion = pHeader->usLegacyVersion;
            break;
        }
    }

    uint16_t usHeaderSize = affGetHeaderSize(pHeader->usVersion);
    if (usHeaderSize == 0)
    {
        if (isQuiet == 0)
            printf("%s\n", AFF_MSG_UNSUPPORTED);
        return AFF_LOAD_FAILED;
    }
    if (usHeaderSize > AFF_DETECT_SIZE && fnRead(aubRaw, 0, usHeaderSize) != 1)
        return AFF_LOAD_FAILED;

    if (pHeader->usVersion == AFF_VERSION_3)
    {
        pHeader->ulProductId = leGetU32(aubRaw + AFF_V3_OFS_PRODUCT);
        pHeader->ulHardwareId = leGetU32(aubRaw + AFF_V3_OFS_HARDWARE);
        pHeader->ulAuxWord = leGetU32(aubRaw + AFF_V3_OFS_AUX);
        affGetStoredVersion(aubRaw + AFF_V3_OFS_FILE_VERSION, &pHeader->sVersion);
        pHeader->ubBlockCount = aubRaw[AFF_V3_OFS_BLOCK_COUNT];
        memcpy(pHeader->aubIv, aubRaw + AFF_V3_OFS_IV, AFF_IV_SIZE);
        pHeader->ulCrc = leGetU32(aubRaw + AFF_V3_OFS_CRC);
        if (affStoredCrcMatches(aubRaw, AFF_V3_OFS_CRC, aubRaw + AFF_V3_OFS_CRC) != 1)
            return AFF_LOAD_FAILED;
        return AFF_LOAD_OK;
    }

    const uint8_t *pIds = aubRaw + (pHeader->usVersion == AFF_VERSION_1 ? AFF_V1_OFS_IDS : AFF_V2_OFS_IDS);
    pHeader->ulProductId = leGetU32(pIds + AFF_V12_IDS_OFS_PRODUCT);
    pHeader->ulHardwareId = leGetU32(pIds + AFF_V12_IDS_OFS_HARDWARE);
    pHeader->ulAuxWord = leGetU32(pIds + AFF_V12_IDS_OFS_AUX);
    pHeader->ubBlockCount = pIds[AFF_V12_IDS_OFS_BLOCK_COUNT];
    memcpy(pHeader->aubIv, pIds + AFF_V12_IDS_OFS_IV, AFF_IV_SIZE);
    return AFF_LOAD_OK;
}

// Older files keep the component versions in the file header, by type. Returns the
// offset of a block type's version record there, or 0 for a type without one. For a
// type-8 block of a version-1 file this is whatever lies at the host record's place
// (the ids and the start of the IV).
static uint32_t affV12VersionOffset(uint32_t ulType)
{
    switch (ulType)
    {
    case AFF_BLOCK_ESP_RAM:
    case AFF_BLOCK_ESP_RAM_DATA:
    case AFF_BLOCK_ESP_FLASH:
        return AFF_V12_OFS_WIFI_VERSION;
    case AFF_BLOCK_FPGA_NVCM0:
    case AFF_BLOCK_FPGA_NVCM1:
    case AFF_BLOCK_FPGA_USERCODE:
        return AFF_V12_OFS_FPGA_VERSION;
    case AFF_BLOCK_DEVICE_UC:
        return AFF_V12_OFS_DEVICE_UC_VERSION;
    case AFF_BLOCK_HOST_UC:
        return AFF_V12_OFS_HOST_UC_VERSION;
    default:
        return 0;
    }
}

// Reads the block header at ulOffset of a file whose header was loaded into
// pHeader/aubRawHeader. Returns 1 when it was read and is valid: its CRC matches
// (version 3), its type has a version record (versions 1 and 2) and its part
// size is between 1 and AFF_MAX_PART_SIZE; 0 otherwise.
static uint8_t affLoadBlockHeader(_tAffReadFn fnRead, const _tAffHeader *pHeader, const uint8_t *aubRawHeader,
                                  uint32_t ulOffset, _tAffBlockHeader *pBlock)
{
    uint8_t aubRaw[AFF_BLOCK_HEADER_SIZE_V3];
    uint16_t usSize = affGetBlockHeaderSize(pHeader->usVersion);
    if (usSize == 0 || fnRead(aubRaw, ulOffset, usSize) != 1)
        return 0;

    memset(pBlock, 0, sizeof(*pBlock));
    pBlock->ulType = leGetU32(aubRaw + AFF_BLK_OFS_TYPE);
    pBlock->ulSize = leGetU32(aubRaw + AFF_BLK_OFS_SIZE);
    pBlock->ulPartSize = leGetU32(aubRaw + AFF_BLK_OFS_PART_SIZE);
    pBlock->ulImageSize = leGetU32(aubRaw + AFF_BLK_OFS_IMAGE_SIZE);

    if (pHeader->usVersion == AFF_VERSION_3)
    {
        affGetStoredVersion(aubRaw + AFF_V3_BLK_OFS_VERSION, &pBlock->sVersion);
        pBlock->ulAux0 = leGetU32(aubRaw + AFF_V3_BLK_OFS_AUX0);
        pBlock->ulAux1 = leGetU32(aubRaw + AFF_V3_BLK_OFS_AUX1);
        pBlock->ulAux2 = leGetU32(aubRaw + AFF_V3_BLK_OFS_AUX2);
        memcpy(pBlock->aubAux, aubRaw + AFF_V3_BLK_OFS_AUX_BYTES, sizeof(pBlock->aubAux));
        pBlock->ulCrc = leGetU32(aubRaw + AFF_V3_BLK_OFS_CRC);
        if (affStoredCrcMatches(aubRaw, AFF_V3_BLK_OFS_CRC, aubRaw + AFF_V3_BLK_OFS_CRC) != 1)
            return 0;
    }
    else
    {
        pBlock->ulAux0 = leGetU32(aubRaw + AFF_V12_BLK_OFS_AUX0);
        pBlock->ulAux1 = leGetU32(aubRaw + AFF_V12_BLK_OFS_AUX1);
        pBlock->ulAux2 = leGetU32(aubRaw + AFF_V12_BLK_OFS_AUX2);
        memcpy(pBlock->aubAux, aubRaw + AFF_V12_BLK_OFS_AUX_BYTES, sizeof(pBlock->aubAux));
        uint32_t ulVersionOfs = affV12VersionOffset(pBlock->ulType);
        if (ulVersionOfs == 0)
            return 0;
        versionFromBytes(&pBlock->sVersion, aubRawHeader + ulVersionOfs);
    }

    // The engine holds one part at a time and counts ulSize / ulPartSize parts:
    // a part size of 0 or one larger than its buffer makes the block unusable.
    if (pBlock->ulPartSize == 0 || pBlock->ulPartSize > AFF_MAX_PART_SIZE)
        return 0;
    return 1;
}

// Stores in *pulNext the offset of the block after the one at ulOffset. Returns 1,
// or 0 when the block's size cannot be counted or the offset would pass 4 GiB.
static uint8_t affNextBlockOffset(uint16_t usVersion, uint32_t ulOffset, const _tAffBlockHeader *pBlock,
                                  uint32_t *pulNext)
{
    uint32_t ulTotal = affGetBlockTotalSize(usVersion, pBlock);
    if (ulTotal == 0 || (uint64_t)ulOffset + ulTotal > UINT32_MAX)
        return 0;
    *pulNext = ulOffset + ulTotal;
    return 1;
}

uint16_t affGetHeaderSize(uint16_t usVersion)
{
    switch (usVersion)
    {
    case AFF_VERSION_1:
        return AFF_HEADER_SIZE_V1;
    case AFF_VERSION_2:
        return AFF_HEADER_SIZE_V2;
    case AFF_VERSION_3:
        return AFF_HEADER_SIZE_V3;
    default:
        return 0;
    }
}

uint16_t affGetBlockHeaderSize(uint16_t usVersion)
{
    switch (usVersion)
    {
    case AFF_VERSION_1:
    case AFF_VERSION_2:
        return AFF_BLOCK_HEADER_SIZE_V12;
    case AFF_VERSION_3:
        return AFF_BLOCK_HEADER_SIZE_V3;
    default:
        return 0;
    }
}

uint8_t affReadHeader(_tAffReadFn fnRead, _tAffHeader *pHeader)
{
    uint8_t aubRaw[AFF_HEADER_SIZE_V3];
    return affLoadHeader(fnRead, pHeader, aubRaw, 0) == AFF_LOAD_OK ? 1 : 0;
}

uint8_t affReadBlockHeader(_tAffReadFn fnRead, uint32_t ulOffset, _tAffBlockHeader *pBlock)
{
    _tAffHeader sHeader;
    uint8_t aubRaw[AFF_HEADER_SIZE_V3];
    if (affLoadHeader(fnRead, &sHeader, aubRaw, 0) != AFF_LOAD_OK)
        return 0;
    return affLoadBlockHeader(fnRead, &sHeader, aubRaw, ulOffset, pBlock);
}

int16_t affFindBlock(_tAffReadFn fnRead, uint32_t ulType, uint8_t ubStartIdx, uint32_t *pulOffset)
{
    _tAffHeader sHeader;
    uint8_t aubRaw[AFF_HEADER_SIZE_V3];
    if (affLoadHeader(fnRead, &sHeader, aubRaw, 0) != AFF_LOAD_OK)
        return -1;
    if (ubStartIdx >= sHeader.ubBlockCount)
        return -1;

    uint32_t ulOffset = affGetHeaderSize(sHeader.usVersion);
    for (uint16_t usIdx = 0; usIdx < sHeader.ubBlockCount; usIdx++)
    {
        _tAffBlockHeader sBlock;
        if (affLoadBlockHeader(fnRead, &sHeader, aubRaw, ulOffset, &sBlock) != 1)
            return -1;
        if (sBlock.ulType == ulType && usIdx >= ubStartIdx)
        {
            if (pulOffset != NULL)
                *pulOffset = ulOffset;
            return (int16_t)usIdx;
        }
        if (affNextBlockOffset(sHeader.usVersion, ulOffset, &sBlock, &ulOffset) != 1)
            return -1;
    }
    return -1;
}

uint8_t affReadFirstBlock(_tAffReadFn fnRead, uint32_t ulType, uint32_t *pulOffset, _tAffBlockHeader *pBlock)
{
    uint32_t ulOffset = 0;
    if (affFindBlock(fnRead, ulType, 0, &ulOffset) < 0)
        return 0;
    if (affReadBlockHeader(fnRead, ulOffset, pBlock) != 1)
        return 0;
    if (pulOffset != NULL)
        *pulOffset = ulOffset;
    return 1;
}

uint32_t affGetBlockStartPos(_tAffReadFn fnRead, uint8_t ubBlockIdx)
{
    _tAffHeader sHeader;
    uint8_t aubRaw[AFF_HEADER_SIZE_V3];
    if (affLoadHeader(fnRead, &sHeader, aubRaw, 0) != AFF_LOAD_OK)
        return 0;
    if (ubBlockIdx >= sHeader.ubBlockCount)
        return 0;

    uint32_t ulOffset = affGetHeaderSize(sHeader.usVersion);
    for (uint16_t usIdx = 0; usIdx < ubBlockIdx; usIdx++)
    {
        _tAffBlockHeader sBlock;
        if (affLoadBlockHeader(fnRead, &sHeader, aubRaw, ulOffset, &sBlock) != 1)
            return 0;
        if (affNextBlockOffset(sHeader.usVersion, ulOffset, &sBlock, &ulOffset) != 1)
            return 0;
    }
    return ulOffset;
}

uint32_t affGetBlockTotalSize(uint16_t usVersion, const _tAffBlockHeader *pBlock)
{
    uint16_t usHeaderSize = affGetBlockHeaderSize(usVersion);
    if (usHeaderSize == 0 || pBlock->ulPartSize == 0 || pBlock->ulPartSize > AFF_MAX_PART_SIZE)
        return 0;
    uint64_t ullTotal = (uint64_t)usHeaderSize + pBlock->ulSize;
    if (usVersion == AFF_VERSION_3)
        ullTotal += (uint64_t)AFF_PART_CRC_SIZE * (pBlock->ulSize / pBlock->ulPartSize);
    if (ullTotal > UINT32_MAX)
        return 0;
    return (uint32_t)ullTotal;
}

uint32_t affPackHeader(const _tAffHeader *pHeader, uint8_t *pOut)
{
    lePutU16(pOut + AFF_OFS_LEGACY_VERSION, pHeader->usLegacyVersion);
    lePutU16(pOut + AFF_OFS_VERSION, pHeader->usVersion);
    memcpy(pOut + AFF_OFS_RESERVED, pHeader->aubReserved, AFF_RESERVED_SIZE);
    lePutU32(pOut + AFF_V3_OFS_PRODUCT, pHeader->ulProductId);
    lePutU32(pOut + AFF_V3_OFS_HARDWARE, pHeader->ulHardwareId);
    lePutU32(pOut + AFF_V3_OFS_AUX, pHeader->ulAuxWord);
    affPutStoredVersion(&pHeader->sVersion, pOut + AFF_V3_OFS_FILE_VERSION);
    pOut[AFF_V3_OFS_BLOCK_COUNT] = pHeader->ubBlockCount;
    memcpy(pOut + AFF_V3_OFS_IV, pHeader->aubIv, AFF_IV_SIZE);
    lePutU32(pOut + AFF_V3_OFS_CRC, crc16(CRC16_POLY, CRC16_INIT_AFF, pOut, AFF_V3_OFS_CRC));
    return AFF_HEADER_SIZE_V3;
}

uint32_t affPackBlockHeader(const _tAffBlockHeader *pBlock, uint8_t *pOut)
{
    lePutU32(pOut + AFF_BLK_OFS_TYPE, pBlock->ulType);
    lePutU32(pOut + AFF_BLK_OFS_SIZE, pBlock->ulSize);
    lePutU32(pOut + AFF_BLK_OFS_PART_SIZE, pBlock->ulPartSize);
    lePutU32(pOut + AFF_BLK_OFS_IMAGE_SIZE, pBlock->ulImageSize);
    affPutStoredVersion(&pBlock->sVersion, pOut + AFF_V3_BLK_OFS_VERSION);
    lePutU32(pOut + AFF_V3_BLK_OFS_AUX0, pBlock->ulAux0);
    lePutU32(pOut + AFF_V3_BLK_OFS_AUX1, pBlock->ulAux1);
    lePutU32(pOut + AFF_V3_BLK_OFS_AUX2, pBlock->ulAux2);
    memcpy(pOut + AFF_V3_BLK_OFS_AUX_BYTES, pBlock->aubAux, sizeof(pBlock->aubAux));
    lePutU32(pOut + AFF_V3_BLK_OFS_CRC, crc16(CRC16_POLY, CRC16_INIT_AFF, pOut, AFF_V3_BLK_OFS_CRC));
    return AFF_BLOCK_HEADER_SIZE_V3;
}

void affSetMemFile(const uint8_t *pBytes, uint32_t ulSize)
{
    s_pAffBytes = pBytes;
    s_ulAffSize = pBytes != NULL ? ulSize : 0;
}

uint8_t affHasMemFile(void)
{
    return s_pAffBytes != NULL ? 1 : 0;
}

uint8_t readAffFromMem(uint8_t *pDest, uint32_t ulOffset, uint32_t ulLength)
{
    if (s_pAffBytes == NULL || (uint64_t)ulOffset + ulLength > s_ulAffSize)
        return 0;
    if (ulLength == 0)
        return 1;
    if (pDest == NULL)
        return 0;
    memcpy(pDest, s_pAffBytes + ulOffset, ulLength);
    return 1;
}

uint8_t affFileSupported(const uint8_t *pBytes, uint32_t ulSize)
{
    _tAffHeader sHeader;
    affSetMemFile(pBytes, ulSize);
    return affReadHeader(readAffFromMem, &sHeader);
}

// Reads the part of ulPartSize bytes at ulOffset in chunks and compares its CRC
// with the stored CRC field that follows it. Returns 1 when they match.
static uint8_t affPartCrcOk(_tAffReadFn fnRead, uint32_t ulOffset, uint32_t ulPartSize)
{
    uint8_t aubChunk[AFF_CHECK_CHUNK_SIZE];
    uint16_t usCrc = CRC16_INIT_AFF;
    for (uint32_t ulDone = 0; ulDone < ulPartSize;)
    {
        uint32_t ulLength = ulPartSize - ulDone;
        if (ulLength > AFF_CHECK_CHUNK_SIZE)
            ulLength = AFF_CHECK_CHUNK_SIZE;
        if (fnRead(aubChunk, ulOffset + ulDone, ulLength) != 1)
            return 0;
        // The CRC has no final step, so a chunk's result is the next chunk's start value.
        usCrc = (uint16_t)crc16(CRC16_POLY, usCrc, aubChunk, (int16_t)ulLength);
        ulDone += ulLength;
    }
    uint8_t aubStored[AFF_PART_CRC_SIZE];
    if (fnRead(aubStored, ulOffset + ulPartSize, AFF_PART_CRC_SIZE) != 1)
        return 0;
    return leGetU32(aubStored) == usCrc ? 1 : 0;
}

// Checks every part CRC of the version-3 block at ulOffset. Returns
// AFF_CHECK_OK, or AFF_CHECK_BAD_PART_CRC with the part in *pulBadPart.
static uint8_t affCheckBlockParts(_tAffReadFn fnRead, uint32_t ulOffset, const _tAffBlockHeader *pBlock,
                                  uint32_t *pulBadPart)
{
    const uint32_t ulStride = pBlock->ulPartSize + AFF_PART_CRC_SIZE;
    const uint32_t ulParts = pBlock->ulSize / pBlock->ulPartSize;
    uint32_t ulPartOffset = ulOffset + AFF_BLOCK_HEADER_SIZE_V3;
    for (uint32_t ulPart = 0; ulPart < ulParts; ulPart++, ulPartOffset += ulStride)
    {
        if (affPartCrcOk(fnRead, ulPartOffset, pBlock->ulPartSize) != 1)
        {
            *pulBadPart = ulPart;
            return AFF_CHECK_BAD_PART_CRC;
        }
    }
    return AFF_CHECK_OK;
}

// Fills *pResult with the verdict and the block it concerns; returns the verdict.
static uint8_t affCheckVerdict(_tAffCheckResult *pResult, uint8_t ubResult, uint16_t usIdx,
                               const _tAffBlockHeader *pBlock)
{
    pResult->ubResult = ubResult;
    pResult->ubBlockIdx = (uint8_t)usIdx;
    pResult->ulBlockType = pBlock != NULL ? pBlock->ulType : 0;
    return ubResult;
}

uint8_t affCheckContainer(_tAffReadFn fnRead, uint32_t ulFileSize, uint32_t ulPartCheckTypes,
                          _tAffCheckResult *pResult)
{
    _tAffHeader sHeader;
    uint8_t aubRaw[AFF_HEADER_SIZE_V3];
    memset(pResult, 0, sizeof(*pResult));
    if (affLoadHeader(fnRead, &sHeader, aubRaw, 1) != AFF_LOAD_OK)
        return affCheckVerdict(pResult, AFF_CHECK_BAD_HEADER, 0, NULL);
    uint32_t ulOffset = affGetHeaderSize(sHeader.usVersion);
    if (ulOffset > ulFileSize)
        return affCheckVerdict(pResult, AFF_CHECK_BAD_HEADER, 0, NULL);

    // Only the first block of a type is ever sent, so only its parts matter.
    uint32_t ulTypesSeen = 0;
    for (uint16_t usIdx = 0; usIdx < sHeader.ubBlockCount; usIdx++)
    {
        _tAffBlockHeader sBlock;
        if (affLoadBlockHeader(fnRead, &sHeader, aubRaw, ulOffset, &sBlock) != 1)
            return affCheckVerdict(pResult, AFF_CHECK_BAD_BLOCK_HEADER, usIdx, NULL);
        uint32_t ulNext;
        if (affNextBlockOffset(sHeader.usVersion, ulOffset, &sBlock, &ulNext) != 1 || ulNext > ulFileSize)
            return affCheckVerdict(pResult, AFF_CHECK_BLOCK_OUTSIDE_FILE, usIdx, &sBlock);
        const uint32_t ulTypeBit = sBlock.ulType < 32 ? (1ul << sBlock.ulType) : 0;
        if (sHeader.usVersion == AFF_VERSION_3 && (ulPartCheckTypes & ulTypeBit & ~ulTypesSeen) != 0 &&
            affCheckBlockParts(fnRead, ulOffset, &sBlock, &pResult->ulPartIdx) != AFF_CHECK_OK)
            return affCheckVerdict(pResult, AFF_CHECK_BAD_PART_CRC, usIdx, &sBlock);
        ulTypesSeen |= ulTypeBit;
        ulOffset = ulNext;
    }
    return affCheckVerdict(pResult, AFF_CHECK_OK, 0, NULL);
}

uint8_t affCheckIntegrity(_tAffReadFn fnRead, uint32_t ulFileSize, uint8_t *pubBadBlock)
{
    _tAffCheckResult sResult;
    const uint8_t ubResult = affCheckContainer(fnRead, ulFileSize, 0, &sResult);
    if (ubResult != AFF_CHECK_OK && ubResult != AFF_CHECK_BAD_HEADER && pubBadBlock != NULL)
        *pubBadBlock = sResult.ubBlockIdx;
    return ubResult;
}
