// The operation state machine: one step per call. Each step receives at most one
// message and then lets the current state act: reach BOOT mode (through CONFIG
// mode and a reboot when needed), lock the bootloader, exchange the hello, take
// the components in order, reboot the device and leave BOOT mode.

#include "engine/state_machine.h"

#include <string.h>

#include "common/le_bytes.h"
#include "components/block_stream.h"
#include "components/fpga_programmer.h"
#include "components/presence.h"
#include "components/uc_programmer.h"
#include "components/wifi_programmer.h"
#include "engine/commands.h"
#include "engine/hello.h"
#include "engine/reception.h"
#include "protocol/byte_channel.h"
#include "protocol/slip.h"
#include "protocol/slip_buffered.h"

#define SM_TEXT_ASK_BOOT "AT+BOOT?\r\n"
#define SM_TEXT_CONFIG_ON "AT+CONFIG=1\r\n"
#define SM_TEXT_ASK_CONFIG "AT+CONFIG?\r\n"
#define SM_TEXT_REBOOT_BOOTLOADER "AT+REBOOT_BOOTLOADER\r\n"
#define SM_TEXT_LOCK "AT+LOCK=1\r\n"
#define SM_TEXT_UNLOCK "AT+LOCK=0\r\n"

#define SM_REPLY_BOOTLOADER_START "AT+BOOTLOADER_START"
#define SM_REPLY_BOOT_OFF "AT+BOOT=0"
#define SM_REPLY_BOOT_ON "AT+BOOT=1"
#define SM_REPLY_OK "AT+OK"
#define SM_REPLY_CONFIG_ON "AT+CONFIG=1"
#define SM_REPLY_CONFIG_OFF "AT+CONFIG=0"

#define SM_BOOT_ASK_FIRST 2  // questions sent when the dialogue starts
#define SM_BOOT_ASK_REPEAT 3 // questions sent on every step once the repeat time has passed
#define SM_CONFIG_ON_COUNT 3 // CONFIG commands sent in a row

#define SM_DEVICE_BOOT_START 1  // command 8: the host starts the device bootloader
#define SM_DEVICE_BOOT_REBOOT 0 // command 8: the device is rebooted
#define SM_DEVICE_BOOT_DATA_SIZE 4

#define SM_HOST 1
#define SM_DEVICE 0
#define SM_NOT_ORLAK 0

void delayMs(_tUpdater *pCtx, uint32_t ulMs)
{
    uint64_t ullStart = updaterSerialGetMs(&pCtx->sSerial);
    while (ulMs > serialGetDelta(&pCtx->sSerial, ullStart))
    {
    }
}

void waitAfterReset(_tUpdater *pCtx, uint32_t ulMs)
{
    const _tUpdaterCallbacks *pCb = pCtx->pCallbacks;
    pCb->cbClose(pCb->pUser);
    delayMs(pCtx, ulMs);
    pCb->cbReopen(pCb->pUser);
}

void measuringStart(_tUpdater *pCtx)
{
    pCtx->ullMeasureStart = updaterSerialGetMs(&pCtx->sSerial);
}

uint8_t measuringIsElapsed(_tUpdater *pCtx, uint32_t ulMs)
{
    return serialGetDelta(&pCtx->sSerial, pCtx->ullMeasureStart) > ulMs ? 1 : 0;
}

// Restarts the silence period of the packet-waiting states.
static void smMarkActivity(_tUpdater *pCtx)
{
    pCtx->ullLastRxMs = updaterSerialGetMs(&pCtx->sSerial);
}

static void smSendText(_tUpdater *pCtx, const char *szText)
{
    serialBufferedWriteStr(szText);
    smMarkActivity(pCtx);
}

static void smSendDeviceBoot(_tUpdater *pCtx, uint32_t ulValue)
{
    uint8_t aubData[SM_DEVICE_BOOT_DATA_SIZE];
    lePutU32(aubData, ulValue);
    slipBufferedSendPacket(pCtx->isTransparent, SLIP_DIR_REQUEST, UPDATER_CMD_DEVICE_BOOT, aubData,
                           SM_DEVICE_BOOT_DATA_SIZE);
    smMarkActivity(pCtx);
}

// Returns 1 when the reply is a text line that begins with szPrefix.
static uint8_t smLineIs(const _tUpdater *pCtx, uint32_t ulReply, const char *szPrefix)
{
    return (ulReply == RECV_TEXT && strncmp((const char *)pCtx->pRxBuffer, szPrefix, strlen(szPrefix)) == 0)
               ? 1
               : 0;
}

// Returns 1 when the reply is a response packet with command ubCmd.
static uint8_t smPacketIs(const _tUpdater *pCtx, uint32_t ulReply, uint8_t ubCmd)
{
    return (ulReply == RECV_PACKET && slipGetCmd(pCtx->pRxBuffer) == ubCmd) ? 1 : 0;
}

// Called by a state that waits for a packet and got none it acts on: once the
// line has been silent for the silence period, the last request goes out again.
// Returns UPDATER_STEP_CONTINUE, or UPDATER_STEP_FAILED when the resend was refused.
static int32_t smCheckSilence(_tUpdater *pCtx)
{
    if (serialGetDelta(&pCtx->sSerial, pCtx->ullLastRxMs) <= STATE_SILENCE_RESEND_MS)
        return UPDATER_STEP_CONTINUE;
    return tryResend(pCtx) == 1 ? UPDATER_STEP_CONTINUE : UPDATER_STEP_FAILED;
}

// The version rule: reads the container's version code of block type ulType
// into *pulAffCode. Returns 1 and sets *pisUpdate when the component is to be
// programmed (always for the update-all operation, otherwise when the codes
// differ); returns 0 when the container has no version for it.
static uint8_t smVersionRule(_tUpdater *pCtx, uint32_t ulType, uint32_t ulDeviceCode, uint8_t *pisUpdate)
{
    uint32_t ulAffCode = getBlockVersion(pCtx, ulType);
    if (ulAffCode == 0)
        return 0;
    *pisUpdate = (pCtx->ulOp == UPDATER_OP_UPDATE_ALL || ulAffCode != ulDeviceCode) ? 1 : 0;
    return 1;
}

// Counts one more round of the dialogue back to its start. Returns 1 while the
// bound is not exceeded, else 0.
static uint8_t smNextDialogueRound(_tUpdater *pCtx)
{
    pCtx->ubDialogueRounds++;
    return pCtx->ubDialogueRounds <= STATE_MAX_DIALOGUE_ROUNDS ? 1 : 0;
}

// Returns 1 when the container holds a component of the device behind the
// host microcontroller (device uC, TI controller, Wi-Fi module or FPGA).
static uint8_t smFileHasDeviceComponents(_tUpdater *pCtx)
{
    _tAffReadFn fnRead = pCtx->pCallbacks->cbReadAff;
    if (fnRead == 0)
        return 0;
    return (updaterUcInFile(fnRead, 0, 0) == 1 || updaterTiInFile(fnRead, 0) == 1 ||
            updaterEspInFile(fnRead, 0) == 1 || updaterFpgaInFile(fnRead, 0) == 1)
               ? 1
               : 0;
}

static void smAskBoot(_tUpdater *pCtx, uint8_t ubTimes)
{
    for (uint8_t i = 0; i < ubTimes; i++)
        smSendText(pCtx, SM_TEXT_ASK_BOOT);
}

static int32_t smWaitBoot(_tUpdater *pCtx, uint32_t ulReply)
{
    if (ulReply == RECV_TEXT)
    {
        if (smLineIs(pCtx, ulReply, SM_REPLY_BOOTLOADER_START))
            smAskBoot(pCtx, 1);
        else if (smLineIs(pCtx, ulReply, SM_REPLY_BOOT_OFF))
        {
            pCtx->ulState = STATE_REBOOT_BOOTLOADER;
            return UPDATER_STEP_CONTINUE;
        }
        else if (smLineIs(pCtx, ulReply, SM_REPLY_BOOT_ON))
        {
            pCtx->ulState = pCtx->ulOp == UPDATER_OP_BOOT_MODE ? STATE_COMPLETE : STATE_LOCK;
            return UPDATER_STEP_CONTINUE;
        }
        // A device that keeps talking without answering still meets the time-out.
        if (measuringIsElapsed(pCtx, STATE_BOOT_GIVE_UP_MS))
            pCtx->ulState = STATE_ENTER_CONFIG;
        return UPDATER_STEP_CONTINUE;
    }
    if (measuringIsElapsed(pCtx, STATE_BOOT_GIVE_UP_MS))
        pCtx->ulState = STATE_ENTER_CONFIG;
    else if (measuringIsElapsed(pCtx, STATE_BOOT_REPEAT_MS))
        smAskBoot(pCtx, SM_BOOT_ASK_REPEAT);
    return UPDATER_STEP_CONTINUE;
}

static void smEnterConfig(_tUpdater *pCtx)
{
    updaterLog(pCtx, "Putting device into CONFIG mode...");
    for (uint8_t i = 0; i < SM_CONFIG_ON_COUNT; i++)
        smSendText(pCtx, SM_TEXT_CONFIG_ON);
    delayMs(pCtx, STATE_CONFIG_PAUSE_MS);
    serialChangeBaud(&pCtx->sSerial, STATE_CONFIG_BAUD);
    serialFlushRecv(&pCtx->sSerial);
    smSendText(pCtx, SM_TEXT_ASK_CONFIG);
    measuringStart(pCtx);
    pCtx->ulState = STATE_WAIT_CONFIG;
}

static int32_t smWaitConfig(_tUpdater *pCtx, uint32_t ulReply)
{
    if (smLineIs(pCtx, ulReply, SM_REPLY_OK))
        smSendText(pCtx, SM_TEXT_ASK_CONFIG);
    else if (smLineIs(pCtx, ulReply, SM_REPLY_CONFIG_ON))
    {
        pCtx->ulState = pCtx->ulOp == UPDATER_OP_CONFIG_MODE ? STATE_COMPLETE : STATE_REBOOT_BOOTLOADER;
        return UPDATER_STEP_CONTINUE;
    }
    else if (smLineIs(pCtx, ulReply, SM_REPLY_CONFIG_OFF))
    {
        if (smNextDialogueRound(pCtx) != 1)
        {
            updaterLog(pCtx, "ERR: Device did not stay in CONFIG mode after %u attempts",
                       (unsigned)STATE_MAX_DIALOGUE_ROUNDS);
            return UPDATER_STEP_FAILED;
        }
        pCtx->ulState = STATE_ASK_BOOT;
        return UPDATER_STEP_CONTINUE;
    }
    if (measuringIsElapsed(pCtx, STATE_CONFIG_TIMEOUT_MS))
    {
        updaterLog(pCtx, "ERR: No response from CONFIG mode");
        return UPDATER_STEP_FAILED;
    }
    return UPDATER_STEP_CONTINUE;
}

static int32_t smRebootBootloader(_tUpdater *pCtx)
{
    if (smNextDialogueRound(pCtx) != 1)
    {
        updaterLog(pCtx, "ERR: Device did not enter BOOT mode after %u reboots",
                   (unsigned)STATE_MAX_DIALOGUE_ROUNDS);
        return UPDATER_STEP_FAILED;
    }
    updaterLog(pCtx, "Entering bootloader...");
    smSendText(pCtx, SM_TEXT_REBOOT_BOOTLOADER);
    waitAfterReset(pCtx, STATE_REBOOT_CLOSED_MS);
    pCtx->ulState = STATE_ASK_BOOT;
    return UPDATER_STEP_CONTINUE;
}

static int32_t smWaitLock(_tUpdater *pCtx, uint32_t ulReply)
{
    if (smLineIs(pCtx, ulReply, SM_REPLY_OK))
    {
        pCtx->ulState = pCtx->ulOp == UPDATER_OP_LOCK ? STATE_COMPLETE : STATE_HELLO;
        return UPDATER_STEP_CONTINUE;
    }
    if (measuringIsElapsed(pCtx, STATE_LOCK_TIMEOUT_MS))
    {
        updaterLog(pCtx, "ERR: No response from BOOT mode");
        return UPDATER_STEP_FAILED;
    }
    return UPDATER_STEP_CONTINUE;
}

static int32_t smWaitHello(_tUpdater *pCtx, uint32_t ulReply)
{
    if (smPacketIs(pCtx, ulReply, UPDATER_CMD_HELLO) != 1)
        return smCheckSilence(pCtx);
    smMarkActivity(pCtx);
    if (processSlipHello(pCtx, pCtx->pRxBuffer) != 1)
        return UPDATER_STEP_FAILED;
    pCtx->ulState = pCtx->ulOp == UPDATER_OP_READ_VERSIONS ? STATE_COMPLETE : STATE_SEND_IV;
    return UPDATER_STEP_CONTINUE;
}

static int32_t smSendIv(_tUpdater *pCtx)
{
    if (updaterSendIv(pCtx) != 1)
        return UPDATER_STEP_FAILED;
    smMarkActivity(pCtx);
    pCtx->ulState = STATE_WAIT_IV;
    return UPDATER_STEP_CONTINUE;
}

static int32_t smWaitIv(_tUpdater *pCtx, uint32_t ulReply)
{
    if (smPacketIs(pCtx, ulReply, UPDATER_CMD_IV) != 1)
        return smCheckSilence(pCtx);
    smMarkActivity(pCtx);
    pCtx->ulState = STATE_HOST_UC;
    return UPDATER_STEP_CONTINUE;
}

// A device bootloader answers while the host microcontroller has not been handled:
// either the device has no host microcontroller (its bootloader answered the first
// hello) or the container holds nothing for it. A host block of the container is
// then no component of this run and must not hold the progress below 100. Done
// once: the host counts as handled from here on.
static void smDropUnreachableHostUc(_tUpdater *pCtx)
{
    _tAffReadFn fnRead = pCtx->pCallbacks->cbReadAff;
    pCtx->isHostUcDone = 1;
    if (fnRead != 0 && pCtx->ubComponentCount > 0 && updaterUcInFile(fnRead, 1, 0) == 1)
        pCtx->ubComponentCount--;
}

static int32_t smHostUc(_tUpdater *pCtx)
{
    if (pCtx->isHostBootloader == 0 || pCtx->isHostUcDone != 0)
    {
        if (pCtx->isHostUcDone == 0)
            smDropUnreachableHostUc(pCtx);
        pCtx->ulState = STATE_DEVICE_UC;
        return UPDATER_STEP_CONTINUE;
    }
    if (pCtx->hasHostUc == 0)
    {
        // The host bootloader answered but there is nothing for the host: the
        // device's components are still reached through its own bootloader.
        pCtx->ulState = smFileHasDeviceComponents(pCtx) == 1 ? STATE_ENTER_DEVICE_BOOT : STATE_DEVICE_UC;
        return UPDATER_STEP_CONTINUE;
    }
    uint8_t isUpdate = 0;
    if (smVersionRule(pCtx, AFF_BLOCK_HOST_UC, pCtx->ulHostUcVersion, &isUpdate) != 1)
        return UPDATER_STEP_FAILED;
    if (isUpdate == 0)
    {
        pCtx->ulState = STATE_HOST_UC_DONE;
        return UPDATER_STEP_CONTINUE;
    }
    updaterLog(pCtx, "Programming HOST uC");
    pCtx->ulState = STATE_HOST_UC_PROGRAM;
    smMarkActivity(pCtx);
    return updaterUcInit(pCtx, SM_HOST, SM_NOT_ORLAK) == 1 ? UPDATER_STEP_CONTINUE : UPDATER_STEP_FAILED;
}

// The program states of the microcontrollers and the TI controller: begin,
// one response per part, end.
typedef struct
{
    uint8_t ubCmdBegin;
    uint8_t ubCmdData;
    uint8_t ubCmdEnd;
    const char *szUploading;
    const char *szErrBegin;
    const char *szErrData;
    uint32_t ulDoneState;
    uint8_t isTi;     // the TI controller's functions, else a microcontroller's
    uint8_t isHostUc; // host flag of the microcontroller functions
} _tSmProgramStep;

static const _tSmProgramStep s_sHostUcStep = {UPDATER_CMD_UC_PROGRAM_BEGIN,
                                              UPDATER_CMD_UC_PROGRAM_DATA,
                                              UPDATER_CMD_UC_PROGRAM_END,
                                              "Uploading HOST uC firmware",
                                              "ERR: HOST uC PRG BEGIN",
                                              "ERR: HOST uC PRG",
                                              STATE_HOST_UC_DONE,
                                              0,
                                              SM_HOST};
static const _tSmProgramStep s_sDeviceUcStep = {UPDATER_CMD_UC_PROGRAM_BEGIN,
                                                UPDATER_CMD_UC_PROGRAM_DATA,
                                                UPDATER_CMD_UC_PROGRAM_END,
                                                "Uploading DEVICE uC firmware",
                                                "ERR: DEVICE uC PRG BEGIN",
                                                "ERR: DEVICE uC PRG",
                                                STATE_DEVICE_UC_DONE,
                                                0,
                                                SM_DEVICE};
static const _tSmProgramStep s_sTiStep = {UPDATER_CMD_TI_PROGRAM_BEGIN,
                                          UPDATER_CMD_TI_PROGRAM_DATA,
                                          UPDATER_CMD_TI_PROGRAM_END,
                                          "Uploading DEVICE TI firmware",
                                          "ERR: DEVICE Ti PRG BEGIN",
                                          "ERR: DEVICE TI PRG",
                                          STATE_TI_DONE,
                                          1,
                                          SM_DEVICE};

// Answers one response of the component that pStep describes. Returns
// UPDATER_STEP_FAILED when its programmer fails or a silence resend is refused.
static int32_t smProgram(_tUpdater *pCtx, uint32_t ulReply, const _tSmProgramStep *pStep)
{
    uint8_t isTi = pStep->isTi;
    uint8_t ubUc = pStep->isHostUc;
    if (smPacketIs(pCtx, ulReply, pStep->ubCmdBegin))
    {
        smMarkActivity(pCtx);
        updaterLog(pCtx, "%s", pStep->szUploading);
        uint8_t ubOk = isTi ? updaterTiAfterProgramBegin(pCtx) : updaterUcAfterProgramBegin(pCtx, ubUc);
        if (ubOk != 1)
        {
            updaterLog(pCtx, "%s", pStep->szErrBegin);
            return UPDATER_STEP_FAILED;
        }
        return UPDATER_STEP_CONTINUE;
    }
    if (smPacketIs(pCtx, ulReply, pStep->ubCmdData))
    {
        smMarkActivity(pCtx);
        uint8_t ubOk = isTi ? updaterTiAfterProgramData(pCtx) : updaterUcAfterProgramData(pCtx, ubUc);
        if (ubOk != 1)
        {
            updaterLog(pCtx, "%s", pStep->szErrData);
            return UPDATER_STEP_FAILED;
        }
        return UPDATER_STEP_CONTINUE;
    }
    if (smPacketIs(pCtx, ulReply, pStep->ubCmdEnd))
    {
        smMarkActivity(pCtx);
        pCtx->ulState = pStep->ulDoneState;
        return UPDATER_STEP_CONTINUE;
    }
    return smCheckSilence(pCtx);
}

static void smHostUcDone(_tUpdater *pCtx)
{
    updaterLog(pCtx, "HOST uC Done");
    updaterComponentDone(pCtx);
    pCtx->isHostUcDone = 1;
    pCtx->ulState =
        pCtx->ubComponentsDone >= pCtx->ubComponentCount ? STATE_FINISH_DEVICE : STATE_ENTER_DEVICE_BOOT;
}

static void smEnterDeviceBoot(_tUpdater *pCtx)
{
    updaterLog(pCtx, "Entering DEVICE bootloader");
    smSendDeviceBoot(pCtx, SM_DEVICE_BOOT_START);
    pCtx->ulState = STATE_WAIT_DEVICE_BOOT;
}

static int32_t smWaitDeviceBoot(_tUpdater *pCtx, uint32_t ulReply)
{
    if (smPacketIs(pCtx, ulReply, UPDATER_CMD_DEVICE_BOOT) != 1)
        return smCheckSilence(pCtx);
    delayMs(pCtx, STATE_DEVICE_BOOT_PAUSE_MS);
    pCtx->isTransparent = 1;
    pCtx->ulState = STATE_HELLO;
    return UPDATER_STEP_CONTINUE;
}

static int32_t smTi(_tUpdater *pCtx)
{
    if (pCtx->hasTi == 0 || pCtx->isTiDone != 0)
    {
        pCtx->ulState = STATE_WIFI;
        return UPDATER_STEP_CONTINUE;
    }
    uint8_t isUpdate = 0;
    if (smVersionRule(pCtx, AFF_BLOCK_TI, pCtx->ulTiVersion, &isUpdate) != 1)
        return UPDATER_STEP_FAILED;
    if (isUpdate == 0)
    {
        pCtx->ulState = STATE_TI_DONE;
        return UPDATER_STEP_CONTINUE;
    }
    updaterLog(pCtx, "Programming DEVICE Ti");
    pCtx->ulState = STATE_TI_PROGRAM;
    smMarkActivity(pCtx);
    return updaterTiInit(pCtx) == 1 ? UPDATER_STEP_CONTINUE : UPDATER_STEP_FAILED;
}

static void smTiDone(_tUpdater *pCtx)
{
    updaterLog(pCtx, "DEVICE Ti Done");
    pCtx->isDeviceUcDone = 1;
    pCtx->isTiDone = 1;
    updaterComponentDone(pCtx);
    pCtx->ulState = STATE_WIFI;
}

static int32_t smWifi(_tUpdater *pCtx)
{
    if (pCtx->hasWifi == 0 || pCtx->isWifiDone != 0)
    {
        pCtx->ulState = STATE_FPGA;
        if (isOrlakFirmware != 0)
            pCtx->isTransparent = 0;
        return UPDATER_STEP_CONTINUE;
    }
    uint8_t isUpdate = 0;
    if (smVersionRule(pCtx, AFF_BLOCK_ESP_FLASH, pCtx->ulWifiVersion, &isUpdate) != 1)
        return UPDATER_STEP_FAILED;
    if (isUpdate == 0)
    {
        pCtx->ulState = STATE_WIFI_DONE;
        return UPDATER_STEP_CONTINUE;
    }
    updaterLog(pCtx, "Programming WIFI");
    if (updaterEspInit(pCtx) != 1)
    {
        updaterLog(pCtx, "ERR: WIFI INIT");
        return UPDATER_STEP_FAILED;
    }
    // The module answers through the device once the hand-over is done.
    pCtx->isTransparent = 1;
    isOrlakFirmware = 1;
    smMarkActivity(pCtx);
    pCtx->ulState = STATE_WAIT_WIFI_INIT;
    return UPDATER_STEP_CONTINUE;
}

// Waits for the answer to the hand-over request before the new hello. A
// hand-over refused as malformed is resent by reception only while it is still
// the last request sent; were the hello sent first, a refused hand-over would
// leave the device bootloader in charge, and it would take the Wi-Fi image as
// its own microcontroller's firmware.
static int32_t smWaitWifiInit(_tUpdater *pCtx, uint32_t ulReply)
{
    if (smPacketIs(pCtx, ulReply, UPDATER_CMD_WIFI_INIT) != 1)
        return smCheckSilence(pCtx);
    smMarkActivity(pCtx);
    delayMs(pCtx, STATE_WIFI_INIT_PAUSE_MS);
    pCtx->ulState = STATE_HELLO;
    return UPDATER_STEP_CONTINUE;
}

static void smWifiDone(_tUpdater *pCtx)
{
    updaterLog(pCtx, "WIFI Done");
    pCtx->isWifiDone = 1;
    updaterComponentDone(pCtx);
    pCtx->ulState = STATE_FPGA;
}

static int32_t smFpga(_tUpdater *pCtx)
{
    if (pCtx->hasFpga == 0 || pCtx->isFpgaDone != 0)
    {
        pCtx->ulState = STATE_FINISH_DEVICE;
        return UPDATER_STEP_CONTINUE;
    }
    uint8_t isUpdate = 0;
    if (smVersionRule(pCtx, AFF_BLOCK_FPGA_NVCM0, pCtx->ulFpgaVersion, &isUpdate) != 1)
        return UPDATER_STEP_FAILED;
    if (isUpdate == 0)
    {
        pCtx->ulState = STATE_FPGA_DONE;
        return UPDATER_STEP_CONTINUE;
    }
    updaterLog(pCtx, "Programming FPGA");
    pCtx->ulState = STATE_FPGA_PROGRAM;
    smMarkActivity(pCtx);
    if (updaterFpgaInit(pCtx) != 1)
    {
        updaterLog(pCtx, "ERR: FPGA PRG INIT");
        return UPDATER_STEP_FAILED;
    }
    return UPDATER_STEP_CONTINUE;
}

static int32_t smFpgaProgram(_tUpdater *pCtx, uint32_t ulReply)
{
    if (ulReply != RECV_PACKET)
        return smCheckSilence(pCtx);
    uint8_t ubOk;
    switch (slipGetCmd(pCtx->pRxBuffer))
    {
    case UPDATER_CMD_FPGA_BEGIN:
        smMarkActivity(pCtx);
        ubOk = updaterFpgaAfterBegin(pCtx);
        break;
    case UPDATER_CMD_FPGA_PROGRAM_BEGIN:
        smMarkActivity(pCtx);
        ubOk = updaterFpgaAfterProgramBegin(pCtx);
        break;
    case UPDATER_CMD_FPGA_PROGRAM_DATA:
        smMarkActivity(pCtx);
        ubOk = updaterFpgaAfterProgramData(pCtx);
        break;
    case UPDATER_CMD_FPGA_USERCODE:
        smMarkActivity(pCtx);
        ubOk = updaterFpgaAfterUsercode(pCtx);
        break;
    case UPDATER_CMD_FPGA_END:
        smMarkActivity(pCtx);
        updaterFpgaAfterEnd(pCtx);
        pCtx->ulState = STATE_FPGA_DONE;
        return UPDATER_STEP_CONTINUE;
    default:
        return smCheckSilence(pCtx);
    }
    if (ubOk != 1)
    {
        updaterLog(pCtx, "ERR: FPGA PRG");
        return UPDATER_STEP_FAILED;
    }
    return UPDATER_STEP_CONTINUE;
}

static void smFpgaDone(_tUpdater *pCtx)
{
    pCtx->isFpgaDone = 1;
    updaterLog(pCtx, "FPGA Done");
    updaterComponentDone(pCtx);
    pCtx->ulState = STATE_FINISH_DEVICE;
}

static int32_t smDeviceUc(_tUpdater *pCtx)
{
    uint8_t isTaken = ((pCtx->hasDeviceUc != 0 && pCtx->isDeviceUcDone == 0) || isOrlakFirmware != 0) ? 1 : 0;
    if (isTaken == 0)
    {
        pCtx->ulState = STATE_TI;
        return UPDATER_STEP_CONTINUE;
    }
    uint32_t ulType = AFF_BLOCK_DEVICE_UC;
    if (isOrlakFirmware != 0)
    {
        // After the hand-over the Wi-Fi image takes the device microcontroller's slot.
        ulType = AFF_BLOCK_ESP_FLASH;
        pCtx->isWifiDone = 1;
    }
    uint8_t isUpdate = 0;
    if (smVersionRule(pCtx, ulType, pCtx->ulDeviceUcVersion, &isUpdate) != 1)
        return UPDATER_STEP_FAILED;
    if (isUpdate == 0)
    {
        pCtx->ulState = STATE_DEVICE_UC_DONE;
        return UPDATER_STEP_CONTINUE;
    }
    updaterLog(pCtx, "Programming DEVICE uC");
    pCtx->ulState = STATE_DEVICE_UC_PROGRAM;
    smMarkActivity(pCtx);
    return updaterUcInit(pCtx, SM_DEVICE, isOrlakFirmware) == 1 ? UPDATER_STEP_CONTINUE : UPDATER_STEP_FAILED;
}

static void smDeviceUcDone(_tUpdater *pCtx)
{
    updaterLog(pCtx, "DEVICE uC Done");
    pCtx->isDeviceUcDone = 1;
    updaterComponentDone(pCtx);
    pCtx->ulState = STATE_TI;
}

static void smRebootDevice(_tUpdater *pCtx)
{
    updaterLog(pCtx, "Rebooting DEVICE...");
    pCtx->isTransparent = 0;
    smSendDeviceBoot(pCtx, SM_DEVICE_BOOT_REBOOT);
    pCtx->ulState = STATE_WAIT_REBOOT_DEVICE;
}

static void smLeaveBoot(_tUpdater *pCtx)
{
    updaterLog(pCtx, "Leaving BOOT mode...");
    smSendText(pCtx, SM_TEXT_UNLOCK);
    waitAfterReset(pCtx, STATE_UNLOCK_CLOSED_MS);
    pCtx->ulState = STATE_COMPLETE;
}

int32_t updaterProcess(_tUpdater *pCtx)
{
    uint32_t ulReply = tryRecv(pCtx);
    if (ulReply == RECV_FATAL)
        return UPDATER_STEP_FAILED;

    switch (pCtx->ulState)
    {
    case STATE_ASK_BOOT:
        updaterLog(pCtx, "Checking if device is in BOOT mode...");
        smAskBoot(pCtx, SM_BOOT_ASK_FIRST);
        pCtx->ulState = STATE_WAIT_BOOT;
        measuringStart(pCtx);
        return UPDATER_STEP_CONTINUE;
    case STATE_WAIT_BOOT:
        return smWaitBoot(pCtx, ulReply);
    case STATE_ENTER_CONFIG:
        smEnterConfig(pCtx);
        return UPDATER_STEP_CONTINUE;
    case STATE_WAIT_CONFIG:
        return smWaitConfig(pCtx, ulReply);
    case STATE_REBOOT_BOOTLOADER:
        return smRebootBootloader(pCtx);
    case STATE_LOCK:
        updaterLog(pCtx, "Entered bootloader, locking...");
        smSendText(pCtx, SM_TEXT_LOCK);
        pCtx->ulState = STATE_WAIT_LOCK;
        measuringStart(pCtx);
        return UPDATER_STEP_CONTINUE;
    case STATE_WAIT_LOCK:
        return smWaitLock(pCtx, ulReply);
    case STATE_HELLO:
        updaterLog(pCtx, "Requesting bootloader information");
        slipBufferedSendPacket(pCtx->isTransparent, SLIP_DIR_REQUEST, UPDATER_CMD_HELLO, 0, 0);
        smMarkActivity(pCtx);
        pCtx->ulState = STATE_WAIT_HELLO;
        return UPDATER_STEP_CONTINUE;
    case STATE_WAIT_HELLO:
        return smWaitHello(pCtx, ulReply);
    case STATE_SEND_IV:
        return smSendIv(pCtx);
    case STATE_WAIT_IV:
        return smWaitIv(pCtx, ulReply);
    case STATE_HOST_UC:
        return smHostUc(pCtx);
    case STATE_HOST_UC_PROGRAM:
        return smProgram(pCtx, ulReply, &s_sHostUcStep);
    case STATE_HOST_UC_DONE:
        smHostUcDone(pCtx);
        return UPDATER_STEP_CONTINUE;
    case STATE_ENTER_DEVICE_BOOT:
        smEnterDeviceBoot(pCtx);
        return UPDATER_STEP_CONTINUE;
    case STATE_WAIT_DEVICE_BOOT:
        return smWaitDeviceBoot(pCtx, ulReply);
    case STATE_TI:
        return smTi(pCtx);
    case STATE_TI_PROGRAM:
        return smProgram(pCtx, ulReply, &s_sTiStep);
    case STATE_TI_DONE:
        smTiDone(pCtx);
        return UPDATER_STEP_CONTINUE;
    case STATE_WIFI:
        return smWifi(pCtx);
    case STATE_WAIT_WIFI_INIT:
        return smWaitWifiInit(pCtx, ulReply);
    case STATE_WIFI_DONE:
        smWifiDone(pCtx);
        return UPDATER_STEP_CONTINUE;
    case STATE_FPGA:
        return smFpga(pCtx);
    case STATE_FPGA_PROGRAM:
        return smFpgaProgram(pCtx, ulReply);
    case STATE_FPGA_DONE:
        smFpgaDone(pCtx);
        return UPDATER_STEP_CONTINUE;
    case STATE_DEVICE_UC:
        return smDeviceUc(pCtx);
    case STATE_DEVICE_UC_PROGRAM:
        return smProgram(pCtx, ulReply, &s_sDeviceUcStep);
    case STATE_DEVICE_UC_DONE:
        smDeviceUcDone(pCtx);
        return UPDATER_STEP_CONTINUE;
    case STATE_FINISH_DEVICE:
        pCtx->ulState = pCtx->isTransparent != 0 ? STATE_REBOOT_DEVICE : STATE_LEAVE_BOOT;
        return UPDATER_STEP_CONTINUE;
    case STATE_REBOOT_DEVICE:
        smRebootDevice(pCtx);
        return UPDATER_STEP_CONTINUE;
    case STATE_WAIT_REBOOT_DEVICE:
        if (smPacketIs(pCtx, ulReply, UPDATER_CMD_DEVICE_BOOT) != 1)
            return smCheckSilence(pCtx);
        pCtx->ulState = STATE_LEAVE_BOOT;
        return UPDATER_STEP_CONTINUE;
    case STATE_LEAVE_BOOT:
        smLeaveBoot(pCtx);
        return UPDATER_STEP_CONTINUE;
    case STATE_COMPLETE:
        return UPDATER_STEP_COMPLETE;
    default:
        return UPDATER_STEP_CONTINUE;
    }
}
