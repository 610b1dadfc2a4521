#include "components/presence.h"

#include <stddef.h>
#include <string.h>

// Blocks the FPGA needs, in the order they are looked for; the version comes
// from the last one, the usercode block.
static const uint32_t s_pFpgaBlockTypes[] = {AFF_BLOCK_FPGA_NVCM0, AFF_BLOCK_FPGA_NVCM1,
                                             AFF_BLOCK_FPGA_USERCODE};
#define PRESENCE_FPGA_BLOCK_COUNT (sizeof(s_pFpgaBlockTypes) / sizeof(s_pFpgaBlockTypes[0]))

// Copies the version record of the block whose header lies at ulOffset. Returns 1,
// or 0 when that block header cannot be read.
static uint8_t presenceCopyVersion(_tAffReadFn fnRead, uint32_t ulOffset, _tVersion *pVersion)
{
    _tAffBlockHeader sBlock;
    if (affReadBlockHeader(fnRead, ulOffset, &sBlock) != 1)
        return 0;
    memcpy(pVersion, &sBlock.sVersion, sizeof(*pVersion));
    return 1;
}

// Finds the first block of ulType. Returns 1 (with pVersion filled when given) or
// 0 when there is no such block or its header cannot be read.
static uint8_t presenceSingleBlock(_tAffReadFn fnRead, uint32_t ulType, _tVersion *pVersion)
{
    uint32_t ulOffset = 0;
    if (affFindBlock(fnRead, ulType, 0, &ulOffset) < 0)
        return 0;
    if (pVersion == NULL)
        return 1;
    return presenceCopyVersion(fnRead, ulOffset, pVersion);
}

uint8_t updaterUcInFile(_tAffReadFn fnRead, uint8_t isHost, _tVersion *pVersion)
{
    return presenceSingleBlock(fnRead, isHost ? AFF_BLOCK_HOST_UC : AFF_BLOCK_DEVICE_UC, pVersion);
}

uint8_t updaterTiInFile(_tAffReadFn fnRead, _tVersion *pVersion)
{
    return presenceSingleBlock(fnRead, AFF_BLOCK_TI, pVersion);
}

uint8_t updaterEspInFile(_tAffReadFn fnRead, _tVersion *pVersion)
{
    return presenceSingleBlock(fnRead, AFF_BLOCK_ESP_FLASH, pVersion);
}

uint8_t updaterFpgaInFile(_tAffReadFn fnRead, _tVersion *pVersion)
{
    uint32_t ulOffset = 0;
    for (uint32_t ulIdx = 0; ulIdx < PRESENCE_FPGA_BLOCK_COUNT; ulIdx++)
    {
        if (affFindBlock(fnRead, s_pFpgaBlockTypes[ulIdx], 0, &ulOffset) < 0)
            return 0;
    }
    if (pVersion == NULL)
        return 1;
    return presenceCopyVersion(fnRead, ulOffset, pVersion);
}
