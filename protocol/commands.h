#ifndef PROTOCOL_COMMANDS_H
#define PROTOCOL_COMMANDS_H

// Command codes of the bootloader protocol. Every request has direction 0 and is
// answered by one response with direction 1, the same code and a status word.

#include <stdint.h>

#define UPDATER_CMD_HELLO 0x00
#define UPDATER_CMD_IV 0x01
#define UPDATER_CMD_DEVICE_BOOT 0x08
#define UPDATER_CMD_FORWARD 0x09
#define UPDATER_CMD_FPGA_BEGIN 0x20
#define UPDATER_CMD_FPGA_PROGRAM_BEGIN 0x21
#define UPDATER_CMD_FPGA_PROGRAM_DATA 0x22
#define UPDATER_CMD_FPGA_USERCODE 0x23
#define UPDATER_CMD_FPGA_END 0x24
#define UPDATER_CMD_UC_PROGRAM_BEGIN 0x30
#define UPDATER_CMD_UC_PROGRAM_DATA 0x31
#define UPDATER_CMD_UC_PROGRAM_END 0x32
#define UPDATER_CMD_TI_PROGRAM_BEGIN 0x40
#define UPDATER_CMD_TI_PROGRAM_DATA 0x41
#define UPDATER_CMD_TI_PROGRAM_END 0x42
#define UPDATER_CMD_WIFI_INIT 0x44

// Status words at the start of every response's data.
#define UPDATER_STATUS_OK 0
#define UPDATER_STATUS_MALFORMED 1
#define UPDATER_STATUS_MALFORMED_ALT 3

#define UPDATER_HELLO_DATA_SIZE 100

// The constant's name of a command code without its prefix ("HELLO", "UC_PROGRAM_DATA"),
// or "UNKNOWN".
const char *updaterCmdName(uint8_t ubCmd);

#endif
