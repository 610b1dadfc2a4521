// Presence queries: which components a container holds, and their version records.

#include "aff/aff_presence.h"

#include <stddef.h>
#include <string.h>

// The FPGA needs all three of its blocks; its version is the usercode block's.
static const uint32_t s_pFpgaBlockTypes[] = {AFF_BLOCK_FPGA_NVCM0, AFF_BLOCK_FPGA_NVCM1,
                                             AFF_BLOCK_FPGA_USERCODE};
#define PRESENCE_FPGA_BLOCK_COUNT (sizeof(s_pFpgaBlockTypes) / sizeof(s_pFpgaBlockTypes[0]))

// Finds the first block of ulType. Returns 1 (with pVersion filled when given) or
// 0 when there is no such block or its header cannot be read.
static uint8_t presenceSingleBlock(_tAffReadFn fnRead, uint32_t ulType, _tVersion *pVersion)
{
    if (pVersion == NULL)
        return affFindBlock(fnRead, ulType, 0, NULL) >= 0 ? 1 : 0;
    _tAffBlockHeader sBlock;
    if (affReadFirstBlock(fnRead, ulType, NULL, &sBlock) != 1)
        return 0;
    memcpy(pVersion, &sBlock.sVersion, sizeof(*pVersion));
    return 1;
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
    // Every block but the last is only looked for; the last gives the version.
    for (uint32_t ulIdx = 0; ulIdx + 1 < PRESENCE_FPGA_BLOCK_COUNT; ulIdx++)
    {
        if (affFindBlock(fnRead, s_pFpgaBlockTypes[ulIdx], 0, NULL) < 0)
            return 0;
    }
    return presenceSingleBlock(fnRead, s_pFpgaBlockTypes[PRESENCE_FPGA_BLOCK_COUNT - 1], pVersion);
}
