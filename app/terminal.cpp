#include "app/terminal.h"

#include <cstdio>

const _tVersion g_sPackerVersion = {10700000, "Aug  9 2024"};

// ANSI escape sequences, indexed by the APP_COLOR_ constants.
static const char *const s_pColors[] = {
    "\x1b[0m",    // reset
    "\x1b[1;32m", // bold green
    "\x1b[1;33m", // bold yellow
    "\x1b[1;31m", // bold red
    "\x1b[1;37m", // bold white
};

void printVersion(const char *szPrefix, const _tVersion &sVersion)
{
    printf("%s version: %u (%.*s)\n", szPrefix, static_cast<unsigned>(sVersion.ulCode), VERSION_DATE_LEN,
           sVersion.szDate);
}

void logSetColor(uint8_t ubIndex)
{
    if (ubIndex >= sizeof(s_pColors) / sizeof(s_pColors[0]))
    {
        return;
    }
    printf("%s", s_pColors[ubIndex]);
}
