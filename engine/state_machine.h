#ifndef ENGINE_STATE_MACHINE_H
#define ENGINE_STATE_MACHINE_H

// Timing helpers of the operation state machine (updaterProcess is in updater.h).

#include <stdint.h>

#include "engine/updater.h"

// States of the operation state machine (ulState). 20 and 21 are not used.
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

void delayMs(_tUpdater *pCtx, uint32_t ulMs);
void waitAfterReset(_tUpdater *pCtx, uint32_t ulMs);
void measuringStart(_tUpdater *pCtx);
uint8_t measuringIsElapsed(_tUpdater *pCtx, uint32_t ulMs);

#endif
