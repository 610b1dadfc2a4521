#ifndef APP_TERMINAL_H
#define APP_TERMINAL_H

// Terminal output of the front end: the program's own version record, the
// start-up banner and the colour switches of the verdict and link lines.

#include <cstdint>

#include "common/version.h"

#define APP_COLOR_RESET 0
#define APP_COLOR_GREEN 1
#define APP_COLOR_YELLOW 2
#define APP_COLOR_RED 3
#define APP_COLOR_WHITE 4

// The updater's own version: code and build date.
extern const _tVersion g_sPackerVersion;

// Prints "<prefix> version: <code> (<11 date characters>)" and a newline.
void printVersion(const char *szPrefix, const _tVersion &sVersion);

// Switches the terminal colour to one of the APP_COLOR_ entries; an index
// outside the table prints nothing.
void logSetColor(uint8_t ubIndex);

#endif
