#ifndef COMMON_VERSION_H
#define COMMON_VERSION_H

// Version codes: a 32-bit decimal-packed code and an 11-character date text.

#include <stdint.h>

#define VERSION_DATE_LEN 11    // significant characters of szDate
#define VERSION_RECORD_SIZE 16 // bytes of a whole record on the wire (code + 12 text bytes)
#define VERSION_TEXT_SIZE 16   // buffer size callers give the text formatters

typedef struct
{
    uint32_t ulCode;
    char szDate[12]; // 11 significant characters, then a zero byte (not relied on)
} _tVersion;

// Three-part form "major.minor.fix" of code into szBuffer (16 characters).
// Returns the number of characters written, without the terminator.
uint8_t versionMajMinFix(char *szBuffer, uint32_t ulCode);

// Four-part form "major.minor.fix.build" of code into szBuffer (16 characters).
// Returns the number of characters written, without the terminator.
uint8_t versionMajMinFixBuild(char *szBuffer, uint32_t ulCode);

// Reads a 16-byte record (code little-endian, then 12 text bytes) from p.
void versionFromBytes(_tVersion *pVersion, const uint8_t *p);

// Writes a 16-byte record to p.
void versionToBytes(const _tVersion *pVersion, uint8_t *p);

#endif
