// Names of the bootloader command codes, for diagnostics.

#include "protocol/commands.h"

const char *updaterCmdName(uint8_t ubCmd)
{
    switch (ubCmd)
    {
    case UPDATER_CMD_HELLO:
        return "HELLO";
    case UPDATER_CMD_IV:
        return "IV";
    case UPDATER_CMD_DEVICE_BOOT:
        return "DEVICE_BOOT";
    case UPDATER_CMD_FORWARD:
        return "FORWARD";
    case UPDATER_CMD_FPGA_BEGIN:
        return "FPGA_BEGIN";
    case UPDATER_CMD_FPGA_PROGRAM_BEGIN:
        return "FPGA_PROGRAM_BEGIN";
    case UPDATER_CMD_FPGA_PROGRAM_DATA:
        return "FPGA_PROGRAM_DATA";
    case UPDATER_CMD_FPGA_USERCODE:
        return "FPGA_USERCODE";
    case UPDATER_CMD_FPGA_END:
        return "FPGA_END";
    case UPDATER_CMD_UC_PROGRAM_BEGIN:
        return "UC_PROGRAM_BEGIN";
    case UPDATER_CMD_UC_PROGRAM_DATA:
        return "UC_PROGRAM_DATA";
    case UPDATER_CMD_UC_PROGRAM_END:
        return "UC_PROGRAM_END";
    case UPDATER_CMD_TI_PROGRAM_BEGIN:
        return "TI_PROGRAM_BEGIN";
    case UPDATER_CMD_TI_PROGRAM_DATA:
        return "TI_PROGRAM_DATA";
    case UPDATER_CMD_TI_PROGRAM_END:
        return "TI_PROGRAM_END";
    case UPDATER_CMD_WIFI_INIT:
        return "WIFI_INIT";
    default:
        return "UNKNOWN";
    }
}
