#ifndef AFF_AFF_CONTAINER_H
#define AFF_AFF_CONTAINER_H

// The AFF firmware container, format versions 1 to 3, read through a caller's
// random-access read function; and the packers of the version-3 layout.

#include <stdint.h>

#include "common/part_limit.h"
#include "common/version.h"

#define AFF_BLOCK_ESP_RAM 1
#define AFF_BLOCK_ESP_RAM_DATA 2
#define AFF_BLOCK_ESP_FLASH 3
#define AFF_BLOCK_FPGA_NVCM0 4
#define AFF_BLOCK_FPGA_NVCM1 5
#define AFF_BLOCK_FPGA_USERCODE 6
#define AFF_BLOCK_DEVICE_UC 7
#define AFF_BLOCK_HOST_UC 8
#define AFF_BLOCK_TI 9

#define AFF_HEADER_SIZE_V1 81
#define AFF_HEADER_SIZE_V2 97
#define AFF_HEADER_SIZE_V3 130
#define AFF_BLOCK_HEADER_SIZE_V12 44
#define AFF_BLOCK_HEADER_SIZE_V3 63
#define AFF_PART_CRC_SIZE 4
#define AFF_MAX_PART_SIZE PART_SIZE_MAX
#define AFF_MAX_BLOCKS 255
#define AFF_IV_SIZE 16
#define AFF_RESERVED_SIZE 78

typedef struct
{
    uint16_t usLegacyVersion;
    uint16_t usVersion;
    uint8_t aubReserved[AFF_RESERVED_SIZE];
    uint32_t ulProductId;
    uint32_t ulHardwareId;
    uint32_t ulAuxWord;
    _tVersion sVersion;
    uint8_t ubBlockCount;
    uint8_t aubIv[AFF_IV_SIZE];
    uint32_t ulCrc;
} _tAffHeader;

typedef struct
{
    uint32_t ulType;
    uint32_t ulSize;
    uint32_t ulPartSize;
    uint32_t ulImageSize;
    _tVersion sVersion;
    uint32_t ulAux0;
    uint32_t ulAux1;
    uint32_t ulAux2;
    uint8_t aubAux[16];
    uint32_t ulCrc;
} _tAffBlockHeader;

// Copies ulLength bytes of the file at ulOffset to pDest; 1 on success, 0 when not.
typedef uint8_t (*_tAffReadFn)(uint8_t *pDest, uint32_t ulOffset, uint32_t ulLength);

// Results of affCheckIntegrity and affCheckContainer.
#define AFF_CHECK_OK 1
#define AFF_CHECK_BAD_HEADER 2
#define AFF_CHECK_BAD_BLOCK_HEADER 3
#define AFF_CHECK_BLOCK_OUTSIDE_FILE 4
#define AFF_CHECK_BAD_PART_CRC 5

// A block type as a bit of the type set handed to affCheckContainer.
#define AFF_TYPE_BIT(type) (1ul << (type))
// The types an update streams to the device (the first block of each): the
// Wi-Fi flash image, the three FPGA blocks and the three controllers.
#define AFF_STREAMED_TYPES                                                                                   \
    (AFF_TYPE_BIT(AFF_BLOCK_ESP_FLASH) | AFF_TYPE_BIT(AFF_BLOCK_FPGA_NVCM0) |                                \
     AFF_TYPE_BIT(AFF_BLOCK_FPGA_NVCM1) | AFF_TYPE_BIT(AFF_BLOCK_FPGA_USERCODE) |                            \
     AFF_TYPE_BIT(AFF_BLOCK_DEVICE_UC) | AFF_TYPE_BIT(AFF_BLOCK_HOST_UC) | AFF_TYPE_BIT(AFF_BLOCK_TI))

// What affCheckContainer found. ubBlockIdx, ulBlockType and ulPartIdx name the
// damage (the type is 0 when the block header could not be read).
typedef struct
{
    uint8_t ubResult;
    uint8_t ubBlockIdx;
    uint32_t ulBlockType;
    uint32_t ulPartIdx;
} _tAffCheckResult;

uint16_t affGetHeaderSize(uint16_t usVersion);
uint16_t affGetBlockHeaderSize(uint16_t usVersion);
uint8_t affReadHeader(_tAffReadFn fnRead, _tAffHeader *pHeader);
uint8_t affReadBlockHeader(_tAffReadFn fnRead, uint32_t ulOffset, _tAffBlockHeader *pBlock);
int16_t affFindBlock(_tAffReadFn fnRead, uint32_t ulType, uint8_t ubStartIdx, uint32_t *pulOffset);
uint32_t affGetBlockStartPos(_tAffReadFn fnRead, uint8_t ubBlockIdx);
// Reads the header of the first block of ulType into *pBlock and its file offset
// into *pulOffset (when given). Returns 1, or 0 when there is no such block or
// its header cannot be read.
uint8_t affReadFirstBlock(_tAffReadFn fnRead, uint32_t ulType, uint32_t *pulOffset, _tAffBlockHeader *pBlock);
// Bytes a block occupies in the file, its header included; 0 when the version is
// unknown, the part size is 0 or above AFF_MAX_PART_SIZE, or the total passes 4 GiB.
uint32_t affGetBlockTotalSize(uint16_t usVersion, const _tAffBlockHeader *pBlock);
uint32_t affPackHeader(const _tAffHeader *pHeader, uint8_t *pOut);
uint32_t affPackBlockHeader(const _tAffBlockHeader *pBlock, uint8_t *pOut);

// The in-memory file: readAffFromMem serves reads from the registered bytes and
// fails any read that would reach past the registered size.
void affSetMemFile(const uint8_t *pBytes, uint32_t ulSize);
uint8_t readAffFromMem(uint8_t *pDest, uint32_t ulOffset, uint32_t ulLength);
// 1 while bytes are registered with affSetMemFile (a null pointer clears them), 0 otherwise.
uint8_t affHasMemFile(void);
// Registers the bytes and returns the result of affReadHeader over them.
uint8_t affFileSupported(const uint8_t *pBytes, uint32_t ulSize);

// Checks that every block header reads and every block's data lies inside a file
// of ulFileSize bytes. On failure stores the index of the offending block in
// *pubBadBlock (when given) and returns one of the AFF_CHECK_ codes.
uint8_t affCheckIntegrity(_tAffReadFn fnRead, uint32_t ulFileSize, uint8_t *pubBadBlock);

// The whole-file check before a device is spoken to: everything affCheckIntegrity
// checks, and in a version-3 file every stored part CRC of the first block of
// each type in ulPartCheckTypes (a set of AFF_TYPE_BIT). Stops at the first damage
// in file order. Prints nothing, not even for an unsupported version. Fills
// *pResult and returns its ubResult.
uint8_t affCheckContainer(_tAffReadFn fnRead, uint32_t ulFileSize, uint32_t ulPartCheckTypes,
                          _tAffCheckResult *pResult);

#endif
