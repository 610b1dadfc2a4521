#ifndef ENGINE_STATE_MACHINE_H
#define ENGINE_STATE_MACHINE_H

// Timing helpers of the operation state machine (updaterProcess is in updater.h).

#include <stdint.h>

#include "engine/updater.h"

// States of the operation state machine (ulState). 21 is not used.
#define STATE_ASK_BOOT 0
#define STATE_WAIT_BOOT 1
#define STATE_ENTER_CONFIG 2
#define STATE_WAIT_CONFIG 3
#define STATE_REBOOT_BOOTLOADER 4
#define STATE_LOCK 5
#define STATE_WAIT_LOCK 6
#define STATE_HELLO 7
#define STATE_WAIT_HELLO 8
#define STATE_SEND_IV 9
#define STATE_WAIT_IV 10
#define STATE_HOST_UC 11
#define STATE_HOST_UC_PROGRAM 12
#define STATE_HOST_UC_DONE 13
#define STATE_ENTER_DEVICE_BOOT 14
#define STATE_WAIT_DEVICE_BOOT 15
#define STATE_TI 16
#define STATE_TI_PROGRAM 17
#define STATE_TI_DONE 18
#define STATE_WIFI 19
#define STATE_WAIT_WIFI_INIT 20
#define STATE_WIFI_DONE 22
#define STATE_FPGA 23
#define STATE_FPGA_PROGRAM 24
#define STATE_FPGA_DONE 25
#define STATE_DEVICE_UC 26
#define STATE_DEVICE_UC_PROGRAM 27
#define STATE_DEVICE_UC_DONE 28
#define STATE_FINISH_DEVICE 29
#define STATE_REBOOT_DEVICE 30
#define STATE_WAIT_REBOOT_DEVICE 31
#define STATE_LEAVE_BOOT 32
#define STATE_COMPLETE 33

// Time constants of the dialogue, in milliseconds.
#define STATE_BOOT_REPEAT_MS 500        // no BOOT answer yet: ask again
#define STATE_BOOT_GIVE_UP_MS 2000      // no BOOT answer at all: try CONFIG mode
#define STATE_CONFIG_PAUSE_MS 300       // pause after the CONFIG commands
#define STATE_CONFIG_TIMEOUT_MS 100     // CONFIG answer time-out
#define STATE_REBOOT_CLOSED_MS 2000     // link closed after the reboot into the bootloader
#define STATE_LOCK_TIMEOUT_MS 1000      // lock answer time-out
#define STATE_DEVICE_BOOT_PAUSE_MS 1000 // pause after the device bootloader confirmed the switch
#define STATE_WIFI_INIT_PAUSE_MS 3000   // pause after the answer to the Wi-Fi init request
#define STATE_UNLOCK_CLOSED_MS 4000     // link closed after the unlock command
#define STATE_CONFIG_BAUD 115200        // baud rate of CONFIG mode

// A state that waits for a packet resends the last request when nothing usable
// came for this long since the last send or usable reception. Long enough for
// any erase a begin request may start.
#define STATE_SILENCE_RESEND_MS 10000
#define STATE_SILENT_PERIODS_MAX 4 // silence periods without a byte before a run gives up
// Rounds of the dialogue that leads back to its start (a reboot into the
// bootloader, a device that leaves CONFIG mode) before the run gives up.
#define STATE_MAX_DIALOGUE_ROUNDS 3

// Busy-waits until at least ulMs milliseconds have passed on the channel's clock;
// nothing is received meanwhile.
void delayMs(_tUpdater *pCtx, uint32_t ulMs);
// Closes the link, waits ulMs milliseconds and reopens it (the device restarts meanwhile).
void waitAfterReset(_tUpdater *pCtx, uint32_t ulMs);
// Takes the time mark that measuringIsElapsed measures from.
void measuringStart(_tUpdater *pCtx);
// Returns 1 when more than ulMs milliseconds have passed since the time mark, else 0.
uint8_t measuringIsElapsed(_tUpdater *pCtx, uint32_t ulMs);

#endif
