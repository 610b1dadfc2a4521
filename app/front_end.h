#ifndef APP_FRONT_END_H
#define APP_FRONT_END_H

// The updater's command line: banner, argument handling, the offline report of
// an AFF file, the CONFIG procedure, the engine call and the verdict.

#include <cstdint>

#define APP_EXIT_SUCCESS 0
#define APP_EXIT_FAILURE 1

// Runs the whole program. Returns the exit status: APP_EXIT_SUCCESS after a
// successful run, APP_EXIT_FAILURE after any failure, usage errors included.
int appMain(int argc, char **argv);

// Prints the usage text for the program named szArgv0 and the serial ports
// found on this machine.
void printUsage(const char *szArgv0);

// Puts the device on the run's open port into CONFIG mode by trying each baud
// rate in turn. Returns 1 when the device confirmed, 0 when no rate worked.
uint8_t appConfigMode();

#endif
