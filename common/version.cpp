#include "common/version.h"

#include <stdio.h>
#include <string.h>

#include "common/le_bytes.h"

// Decimal packing: two digits per part of the three-part form, three digits for
// the build number of the four-part form.
#define VERSION_PART_RADIX 100UL
#define VERSION_BUILD_RADIX 1000UL
#define VERSION_CODE_SIZE 4
#define VERSION_RECORD_TEXT_SIZE (VERSION_RECORD_SIZE - VERSION_CODE_SIZE)

static_assert(sizeof(((_tVersion *)0)->szDate) == VERSION_RECORD_TEXT_SIZE, "date text fills the record");

// Clamps snprintf's result to what actually landed in a buffer of ulSize characters.
static uint8_t versionWrittenLength(int iResult, uint32_t ulSize)
{
    if (iResult < 0)
        return 0;
    if ((uint32_t)iResult >= ulSize)
        return (uint8_t)(ulSize - 1);
    return (uint8_t)iResult;
}

uint8_t versionMajMinFix(char *szBuffer, uint32_t ulCode)
{
    uint8_t ubFix = (uint8_t)(ulCode % VERSION_PART_RADIX);
    uint8_t ubMinor = (uint8_t)((ulCode / VERSION_PART_RADIX) % VERSION_PART_RADIX);
    uint8_t ubMajor = (uint8_t)((ulCode / (VERSION_PART_RADIX * VERSION_PART_RADIX)) % VERSION_PART_RADIX);
    int iResult = snprintf(szBuffer, VERSION_TEXT_SIZE, "%hhu.%hhu.%hhu", ubMajor, ubMinor, ubFix);
    return versionWrittenLength(iResult, VERSION_TEXT_SIZE);
}

uint8_t versionMajMinFixBuild(char *szBuffer, uint32_t ulCode)
{
    uint8_t ubLength = versionMajMinFix(szBuffer, ulCode / VERSION_BUILD_RADIX);
    uint16_t usBuild = (uint16_t)(ulCode % VERSION_BUILD_RADIX);
    int iResult = snprintf(szBuffer + ubLength, VERSION_TEXT_SIZE - ubLength, ".%hu", usBuild);
    return (uint8_t)(ubLength + versionWrittenLength(iResult, VERSION_TEXT_SIZE - ubLength));
}

void versionFromBytes(_tVersion *pVersion, const uint8_t *p)
{
    pVersion->ulCode = leGetU32(p);
    memcpy(pVersion->szDate, p + VERSION_CODE_SIZE, VERSION_RECORD_TEXT_SIZE);
}

void versionToBytes(const _tVersion *pVersion, uint8_t *p)
{
    lePutU32(p, pVersion->ulCode);
    memcpy(p + VERSION_CODE_SIZE, pVersion->szDate, VERSION_RECORD_TEXT_SIZE);
}
