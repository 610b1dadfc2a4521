#ifndef APP_INTERRUPT_H
#define APP_INTERRUPT_H

// Ctrl-C during a run on a port: the terminal colour is reset, standard error
// says where the device may have been left, and the program ends with status
// APP_EXIT_INTERRUPTED at once. The handler only writes and exits, which is
// safe inside a signal handler.

#include <cstdint>

#define APP_EXIT_INTERRUPTED 130 // 128 + SIGINT, what shells report for Ctrl-C

// What an interruption could leave behind, from least to most.
#define APP_RUN_NOTHING_SENT 0 // nothing has reached the device yet
#define APP_RUN_DIALOGUE 1     // talking to the bootloader: it may stay in BOOT mode, locked
#define APP_RUN_CONFIG 2       // the CONFIG procedure: the device may stay in CONFIG mode
#define APP_RUN_UPDATE 3       // an update: a component may be half-written

// Installs the handler for SIGINT.
void appInterruptInstall();

// The kind of run in progress: APP_RUN_DIALOGUE, APP_RUN_CONFIG or APP_RUN_UPDATE.
// It counts once the first byte went to the port (appInterruptNoteSent).
void appInterruptSetRun(uint8_t ubKind);

// Called whenever bytes were handed to the port.
void appInterruptNoteSent();

// The text the handler writes on standard error for a run of ubKind (for tests).
const char *appInterruptMessage(uint8_t ubKind);

#endif
