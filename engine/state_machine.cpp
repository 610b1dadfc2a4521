// The operation state machine: one step per call. Each step receives at most one
// message and then lets the current state act: reach BOOT mode (through CONFIG
// mode and a reboot when needed), lock the bootloader, exchange the hello, take
// the components in order, reboot the device and leave BOOT mode.

#include "engine/state_machine.h"

#include <stddef.h>
#include <string.h>

#include "common/le_bytes.h"
#include "components/block_stream.h"
#include "components/fpga_programmer.h"
#include "aff/aff_presence.h"
#include "components/uc_programmer.h"
#include "components/wifi_programmer.h"
#include "protocol/commands.h"
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

// A component stage of the state machine (below); dialogue states have none.
typedef struct _tSmStage _tSmStage;

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
    recvForgetWritten(pCtx);
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
// A device that sent not a single byte for STATE_SILENT_PERIODS_MAX periods in a
// row has stopped answering: the run gives up then rather than after every
// resend the retry limit allows. Returns UPDATER_STEP_CONTINUE, or
// UPDATER_STEP_FAILED when the device is silent or the resend was refused.
static int32_t smCheckSilence(_tUpdater *pCtx)
{
    if (serialGetDelta(&pCtx->sSerial, pCtx->ullLastRxMs) <= STATE_SILENCE_RESEND_MS)
        return UPDATER_STEP_CONTINUE;
    pCtx->ubSilentPeriods = pCtx->ulBytesRead == pCtx->ulSilenceMark ? pCtx->ubSilentPeriods + 1 : 1;
    pCtx->ulSilenceMark = pCtx->ulBytesRead;
    if (pCtx->ubSilentPeriods >= STATE_SILENT_PERIODS_MAX)
    {
        updaterLog(pCtx, "ERR: The device stopped answering");
        return UPDATER_STEP_FAILED;
    }
    return tryResend(pCtx) == 1 ? UPDATER_STEP_CONTINUE : UPDATER_STEP_FAILED;
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

static int32_t smWaitBoot(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)pStage;
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

static int32_t smEnterConfig(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)ulReply;
    (void)pStage;
    updaterLog(pCtx, "Putting device into CONFIG mode...");
    for (uint8_t i = 0; i < SM_CONFIG_ON_COUNT; i++)
        smSendText(pCtx, SM_TEXT_CONFIG_ON);
    delayMs(pCtx, STATE_CONFIG_PAUSE_MS);
    serialChangeBaud(&pCtx->sSerial, STATE_CONFIG_BAUD);
    serialFlushRecv(&pCtx->sSerial);
    smSendText(pCtx, SM_TEXT_ASK_CONFIG);
    measuringStart(pCtx);
    pCtx->ulState = STATE_WAIT_CONFIG;
    return UPDATER_STEP_CONTINUE;
}

static int32_t smWaitConfig(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)pStage;
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

static int32_t smRebootBootloader(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)ulReply;
    (void)pStage;
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

static int32_t smWaitLock(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)pStage;
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

static int32_t smWaitHello(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)pStage;
    if (smPacketIs(pCtx, ulReply, UPDATER_CMD_HELLO) != 1)
        return smCheckSilence(pCtx);
    smMarkActivity(pCtx);
    if (processSlipHello(pCtx, pCtx->pRxBuffer) != 1)
        return UPDATER_STEP_FAILED;
    pCtx->ulState = pCtx->ulOp == UPDATER_OP_READ_VERSIONS ? STATE_COMPLETE : STATE_SEND_IV;
    return UPDATER_STEP_CONTINUE;
}

static int32_t smSendIv(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)ulReply;
    (void)pStage;
    if (updaterSendIv(pCtx) != 1)
        return UPDATER_STEP_FAILED;
    smMarkActivity(pCtx);
    pCtx->ulState = STATE_WAIT_IV;
    return UPDATER_STEP_CONTINUE;
}

static int32_t smWaitIv(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)pStage;
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

// --- The five component stages -------------------------------------------------
// Each stage chooses (take the component or skip it, apply the version rule,
// start programming), programs (answers its component's responses) and ends in
// its done state. What differs between them is in their descriptors below.

#define SM_TAKE 0xFFFFFFFFu // a stage's skip function: the component is taken

struct _tSmStage
{
    uint32_t (*fnSkipTo)(_tUpdater *pCtx);  // SM_TAKE, or the state that follows a skip
    uint32_t (*fnAffType)(_tUpdater *pCtx); // block type of the version rule
    size_t ulDeviceCodeOffs;                // offset of the device's version code in the context
    const char *szProgramming;
    uint8_t (*fnInit)(_tUpdater *pCtx); // sends the first request
    const char *szInitError;            // null: a failed init ends the run without a message
    uint32_t ulProgramState;
    uint32_t ulDoneState;
    // Begin / part / end programming (microcontrollers and TI controller only).
    uint8_t ubCmdBegin;
    uint8_t ubCmdData;
    uint8_t ubCmdEnd;
    const char *szUploading;
    const char *szErrBegin;
    const char *szErrData;
    uint8_t (*fnAfterBegin)(_tUpdater *pCtx);
    uint8_t (*fnAfterData)(_tUpdater *pCtx);
    // Done: the line, then the flags; returns the next state.
    const char *szDone;
    uint32_t (*fnFinish)(_tUpdater *pCtx);
};

static uint32_t smHostSkipTo(_tUpdater *pCtx)
{
    if (pCtx->isHostBootloader == 0 || pCtx->isHostUcDone != 0)
    {
        if (pCtx->isHostUcDone == 0)
            smDropUnreachableHostUc(pCtx);
        return STATE_DEVICE_UC;
    }
    // The host bootloader answered but there is nothing for the host: the
    // device's components are still reached through its own bootloader.
    if (pCtx->hasHostUc == 0)
        return smFileHasDeviceComponents(pCtx) == 1 ? STATE_ENTER_DEVICE_BOOT : STATE_DEVICE_UC;
    return SM_TAKE;
}

static uint32_t smDeviceUcSkipTo(_tUpdater *pCtx)
{
    uint8_t isTaken = (pCtx->hasDeviceUc != 0 && pCtx->isDeviceUcDone == 0) ? 1 : 0;
    return (isTaken != 0 || updaterRunState()->isOrlakFirmware != 0) ? SM_TAKE : STATE_TI;
}

static uint32_t smTiSkipTo(_tUpdater *pCtx)
{
    return (pCtx->hasTi != 0 && pCtx->isTiDone == 0) ? SM_TAKE : STATE_WIFI;
}

static uint32_t smWifiSkipTo(_tUpdater *pCtx)
{
    if (pCtx->hasWifi != 0 && pCtx->isWifiDone == 0)
        return SM_TAKE;
    if (updaterRunState()->isOrlakFirmware != 0)
        pCtx->isTransparent = 0;
    return STATE_FPGA;
}

static uint32_t smFpgaSkipTo(_tUpdater *pCtx)
{
    return (pCtx->hasFpga != 0 && pCtx->isFpgaDone == 0) ? SM_TAKE : STATE_FINISH_DEVICE;
}

static uint32_t smHostType(_tUpdater *pCtx)
{
    (void)pCtx;
    return AFF_BLOCK_HOST_UC;
}

// After the hand-over the Wi-Fi image takes the device microcontroller's slot.
static uint32_t smDeviceUcType(_tUpdater *pCtx)
{
    if (updaterRunState()->isOrlakFirmware == 0)
        return AFF_BLOCK_DEVICE_UC;
    pCtx->isWifiDone = 1;
    return AFF_BLOCK_ESP_FLASH;
}

static uint32_t smTiType(_tUpdater *pCtx)
{
    (void)pCtx;
    return AFF_BLOCK_TI;
}

static uint32_t smWifiType(_tUpdater *pCtx)
{
    (void)pCtx;
    return AFF_BLOCK_ESP_FLASH;
}

// The state machine's version rule for the FPGA compares the NVCM0 block's code.
static uint32_t smFpgaType(_tUpdater *pCtx)
{
    (void)pCtx;
    return AFF_BLOCK_FPGA_NVCM0;
}

static uint8_t smHostInit(_tUpdater *pCtx)
{
    return updaterUcInit(pCtx, SM_HOST, SM_NOT_ORLAK);
}

static uint8_t smDeviceUcInit(_tUpdater *pCtx)
{
    return updaterUcInit(pCtx, SM_DEVICE, updaterRunState()->isOrlakFirmware);
}

// The module answers through the device once the hand-over is done.
static uint8_t smWifiInit(_tUpdater *pCtx)
{
    if (updaterEspInit(pCtx) != 1)
        return 0;
    pCtx->isTransparent = 1;
    updaterRunState()->isOrlakFirmware = 1;
    return 1;
}

static uint8_t smHostAfterBegin(_tUpdater *pCtx)
{
    return updaterUcAfterProgramBegin(pCtx, SM_HOST);
}

static uint8_t smHostAfterData(_tUpdater *pCtx)
{
    return updaterUcAfterProgramData(pCtx, SM_HOST);
}

static uint8_t smDeviceUcAfterBegin(_tUpdater *pCtx)
{
    return updaterUcAfterProgramBegin(pCtx, SM_DEVICE);
}

static uint8_t smDeviceUcAfterData(_tUpdater *pCtx)
{
    return updaterUcAfterProgramData(pCtx, SM_DEVICE);
}

static uint32_t smHostFinish(_tUpdater *pCtx)
{
    pCtx->isHostUcDone = 1;
    return pCtx->ubComponentsDone >= pCtx->ubComponentCount ? STATE_FINISH_DEVICE : STATE_ENTER_DEVICE_BOOT;
}

static uint32_t smDeviceUcFinish(_tUpdater *pCtx)
{
    pCtx->isDeviceUcDone = 1;
    return STATE_TI;
}

static uint32_t smTiFinish(_tUpdater *pCtx)
{
    pCtx->isDeviceUcDone = 1;
    pCtx->isTiDone = 1;
    return STATE_WIFI;
}

static uint32_t smWifiFinish(_tUpdater *pCtx)
{
    pCtx->isWifiDone = 1;
    return STATE_FPGA;
}

static uint32_t smFpgaFinish(_tUpdater *pCtx)
{
    pCtx->isFpgaDone = 1;
    return STATE_FINISH_DEVICE;
}

static const _tSmStage s_sHostStage = {smHostSkipTo,
                                       smHostType,
                                       offsetof(_tUpdater, ulHostUcVersion),
                                       "Programming HOST uC",
                                       smHostInit,
                                       0,
                                       STATE_HOST_UC_PROGRAM,
                                       STATE_HOST_UC_DONE,
                                       UPDATER_CMD_UC_PROGRAM_BEGIN,
                                       UPDATER_CMD_UC_PROGRAM_DATA,
                                       UPDATER_CMD_UC_PROGRAM_END,
                                       "Uploading HOST uC firmware",
                                       "ERR: HOST uC PRG BEGIN",
                                       "ERR: HOST uC PRG",
                                       smHostAfterBegin,
                                       smHostAfterData,
                                       "HOST uC Done",
                                       smHostFinish};
static const _tSmStage s_sDeviceUcStage = {smDeviceUcSkipTo,
                                           smDeviceUcType,
                                           offsetof(_tUpdater, ulDeviceUcVersion),
                                           "Programming DEVICE uC",
                                           smDeviceUcInit,
                                           0,
                                           STATE_DEVICE_UC_PROGRAM,
                                           STATE_DEVICE_UC_DONE,
                                           UPDATER_CMD_UC_PROGRAM_BEGIN,
                                           UPDATER_CMD_UC_PROGRAM_DATA,
                                           UPDATER_CMD_UC_PROGRAM_END,
                                           "Uploading DEVICE uC firmware",
                                           "ERR: DEVICE uC PRG BEGIN",
                                           "ERR: DEVICE uC PRG",
                                           smDeviceUcAfterBegin,
                                           smDeviceUcAfterData,
                                           "DEVICE uC Done",
                                           smDeviceUcFinish};
static const _tSmStage s_sTiStage = {smTiSkipTo,
                                     smTiType,
                                     offsetof(_tUpdater, ulTiVersion),
                                     "Programming DEVICE Ti",
                                     updaterTiInit,
                                     0,
                                     STATE_TI_PROGRAM,
                                     STATE_TI_DONE,
                                     UPDATER_CMD_TI_PROGRAM_BEGIN,
                                     UPDATER_CMD_TI_PROGRAM_DATA,
                                     UPDATER_CMD_TI_PROGRAM_END,
                                     "Uploading DEVICE TI firmware",
                                     "ERR: DEVICE Ti PRG BEGIN",
                                     "ERR: DEVICE TI PRG",
                                     updaterTiAfterProgramBegin,
                                     updaterTiAfterProgramData,
                                     "DEVICE Ti Done",
                                     smTiFinish};
// The Wi-Fi stage only hands the link over; the image follows as the device
// microcontroller's after the next hello.
static const _tSmStage s_sWifiStage = {smWifiSkipTo,
                                       smWifiType,
                                       offsetof(_tUpdater, ulWifiVersion),
                                       "Programming WIFI",
                                       smWifiInit,
                                       "ERR: WIFI INIT",
                                       STATE_WAIT_WIFI_INIT,
                                       STATE_WIFI_DONE,
                                       0,
                                       0,
                                       0,
                                       0,
                                       0,
                                       0,
                                       0,
                                       0,
                                       "WIFI Done",
                                       smWifiFinish};
static const _tSmStage s_sFpgaStage = {smFpgaSkipTo,
                                       smFpgaType,
                                       offsetof(_tUpdater, ulFpgaVersion),
                                       "Programming FPGA",
                                       updaterFpgaInit,
                                       "ERR: FPGA PRG INIT",
                                       STATE_FPGA_PROGRAM,
                                       STATE_FPGA_DONE,
                                       0,
                                       0,
                                       0,
                                       0,
                                       0,
                                       0,
                                       0,
                                       0,
                                       "FPGA Done",
                                       smFpgaFinish};

// The version code the device reported for the stage's component.
static uint32_t smDeviceCode(const _tUpdater *pCtx, const _tSmStage *pStage)
{
    uint32_t ulCode;
    memcpy(&ulCode, (const uint8_t *)pCtx + pStage->ulDeviceCodeOffs, sizeof ulCode);
    return ulCode;
}

// The stage's choosing state: skip the component, or apply the version rule and
// either go straight to its done state or start programming it. A container
// without a version for the component ends the run without a message.
static int32_t smStageChoose(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)ulReply;
    uint32_t ulSkipTo = pStage->fnSkipTo(pCtx);
    if (ulSkipTo != SM_TAKE)
    {
        pCtx->ulState = ulSkipTo;
        return UPDATER_STEP_CONTINUE;
    }
    uint32_t ulAffCode = getBlockVersion(pCtx, pStage->fnAffType(pCtx));
    if (ulAffCode == 0)
        return UPDATER_STEP_FAILED;
    if (pCtx->ulOp != UPDATER_OP_UPDATE_ALL && ulAffCode == smDeviceCode(pCtx, pStage))
    {
        pCtx->ulState = pStage->ulDoneState;
        return UPDATER_STEP_CONTINUE;
    }
    updaterLog(pCtx, "%s", pStage->szProgramming);
    pCtx->ulState = pStage->ulProgramState;
    smMarkActivity(pCtx);
    if (pStage->fnInit(pCtx) == 1)
        return UPDATER_STEP_CONTINUE;
    if (pStage->szInitError != 0)
        updaterLog(pCtx, "%s", pStage->szInitError);
    return UPDATER_STEP_FAILED;
}

// Answers one response of a begin / part / end component. Returns
// UPDATER_STEP_FAILED when its programmer fails or a silence resend is refused.
static int32_t smStageProgram(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    uint8_t (*fnAfter)(_tUpdater *) = 0;
    const char *szErr = 0;
    if (smPacketIs(pCtx, ulReply, pStage->ubCmdBegin))
    {
        smMarkActivity(pCtx);
        updaterLog(pCtx, "%s", pStage->szUploading);
        fnAfter = pStage->fnAfterBegin;
        szErr = pStage->szErrBegin;
    }
    else if (smPacketIs(pCtx, ulReply, pStage->ubCmdData))
    {
        smMarkActivity(pCtx);
        fnAfter = pStage->fnAfterData;
        szErr = pStage->szErrData;
    }
    else if (smPacketIs(pCtx, ulReply, pStage->ubCmdEnd))
    {
        smMarkActivity(pCtx);
        pCtx->ulState = pStage->ulDoneState;
        return UPDATER_STEP_CONTINUE;
    }
    else
        return smCheckSilence(pCtx);

    if (fnAfter(pCtx) == 1)
        return UPDATER_STEP_CONTINUE;
    updaterLog(pCtx, "%s", szErr);
    return UPDATER_STEP_FAILED;
}

static int32_t smStageDone(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)ulReply;
    updaterLog(pCtx, "%s", pStage->szDone);
    updaterComponentDone(pCtx);
    pCtx->ulState = pStage->fnFinish(pCtx);
    return UPDATER_STEP_CONTINUE;
}

// The answers of the FPGA programming, each handed to its programmer function.
typedef struct
{
    uint8_t ubCmd;
    uint8_t (*fnAfter)(_tUpdater *pCtx);
} _tSmFpgaAnswer;

static const _tSmFpgaAnswer s_asFpgaAnswers[] = {
    {UPDATER_CMD_FPGA_BEGIN, updaterFpgaAfterBegin},
    {UPDATER_CMD_FPGA_PROGRAM_BEGIN, updaterFpgaAfterProgramBegin},
    {UPDATER_CMD_FPGA_PROGRAM_DATA, updaterFpgaAfterProgramData},
    {UPDATER_CMD_FPGA_USERCODE, updaterFpgaAfterUsercode},
};
#define SM_FPGA_ANSWER_COUNT (sizeof(s_asFpgaAnswers) / sizeof(s_asFpgaAnswers[0]))

// A failed FPGA step sends nothing, so no answer would come: the run ends.
static int32_t smFpgaProgram(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    if (smPacketIs(pCtx, ulReply, UPDATER_CMD_FPGA_END))
    {
        smMarkActivity(pCtx);
        updaterFpgaAfterEnd(pCtx);
        pCtx->ulState = pStage->ulDoneState;
        return UPDATER_STEP_CONTINUE;
    }
    for (uint32_t i = 0; i < SM_FPGA_ANSWER_COUNT; i++)
    {
        if (smPacketIs(pCtx, ulReply, s_asFpgaAnswers[i].ubCmd) != 1)
            continue;
        smMarkActivity(pCtx);
        if (s_asFpgaAnswers[i].fnAfter(pCtx) == 1)
            return UPDATER_STEP_CONTINUE;
        updaterLog(pCtx, "ERR: FPGA PRG");
        return UPDATER_STEP_FAILED;
    }
    return smCheckSilence(pCtx);
}

// --- The dialogue states ---------------------------------------------------------

static int32_t smAskBootState(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)ulReply;
    (void)pStage;
    updaterLog(pCtx, "Checking if device is in BOOT mode...");
    smAskBoot(pCtx, SM_BOOT_ASK_FIRST);
    pCtx->ulState = STATE_WAIT_BOOT;
    measuringStart(pCtx);
    return UPDATER_STEP_CONTINUE;
}

static int32_t smLock(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)ulReply;
    (void)pStage;
    updaterLog(pCtx, "Entered bootloader, locking...");
    smSendText(pCtx, SM_TEXT_LOCK);
    pCtx->ulState = STATE_WAIT_LOCK;
    measuringStart(pCtx);
    return UPDATER_STEP_CONTINUE;
}

static int32_t smHello(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)ulReply;
    (void)pStage;
    updaterLog(pCtx, "Requesting bootloader information");
    slipBufferedSendPacket(pCtx->isTransparent, SLIP_DIR_REQUEST, UPDATER_CMD_HELLO, 0, 0);
    smMarkActivity(pCtx);
    pCtx->ulState = STATE_WAIT_HELLO;
    return UPDATER_STEP_CONTINUE;
}

static int32_t smEnterDeviceBoot(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)ulReply;
    (void)pStage;
    updaterLog(pCtx, "Entering DEVICE bootloader");
    smSendDeviceBoot(pCtx, SM_DEVICE_BOOT_START);
    pCtx->ulState = STATE_WAIT_DEVICE_BOOT;
    return UPDATER_STEP_CONTINUE;
}

static int32_t smWaitDeviceBoot(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)pStage;
    if (smPacketIs(pCtx, ulReply, UPDATER_CMD_DEVICE_BOOT) != 1)
        return smCheckSilence(pCtx);
    delayMs(pCtx, STATE_DEVICE_BOOT_PAUSE_MS);
    pCtx->isTransparent = 1;
    pCtx->ulState = STATE_HELLO;
    return UPDATER_STEP_CONTINUE;
}

// Waits for the answer to the hand-over request before the new hello. A
// hand-over refused as malformed is resent by reception only while it is still
// the last request sent; were the hello sent first, a refused hand-over would
// leave the device bootloader in charge, and it would take the Wi-Fi image as
// its own microcontroller's firmware.
static int32_t smWaitWifiInit(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)pStage;
    if (smPacketIs(pCtx, ulReply, UPDATER_CMD_WIFI_INIT) != 1)
        return smCheckSilence(pCtx);
    smMarkActivity(pCtx);
    delayMs(pCtx, STATE_WIFI_INIT_PAUSE_MS);
    pCtx->ulState = STATE_HELLO;
    return UPDATER_STEP_CONTINUE;
}

static int32_t smFinishDevice(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)ulReply;
    (void)pStage;
    pCtx->ulState = pCtx->isTransparent != 0 ? STATE_REBOOT_DEVICE : STATE_LEAVE_BOOT;
    return UPDATER_STEP_CONTINUE;
}

static int32_t smRebootDevice(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)ulReply;
    (void)pStage;
    updaterLog(pCtx, "Rebooting DEVICE...");
    pCtx->isTransparent = 0;
    smSendDeviceBoot(pCtx, SM_DEVICE_BOOT_REBOOT);
    pCtx->ulState = STATE_WAIT_REBOOT_DEVICE;
    return UPDATER_STEP_CONTINUE;
}

static int32_t smWaitRebootDevice(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)pStage;
    if (smPacketIs(pCtx, ulReply, UPDATER_CMD_DEVICE_BOOT) != 1)
        return smCheckSilence(pCtx);
    pCtx->ulState = STATE_LEAVE_BOOT;
    return UPDATER_STEP_CONTINUE;
}

static int32_t smLeaveBoot(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)ulReply;
    (void)pStage;
    updaterLog(pCtx, "Leaving BOOT mode...");
    smSendText(pCtx, SM_TEXT_UNLOCK);
    waitAfterReset(pCtx, STATE_UNLOCK_CLOSED_MS);
    pCtx->ulState = STATE_COMPLETE;
    return UPDATER_STEP_CONTINUE;
}

static int32_t smComplete(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage)
{
    (void)pCtx;
    (void)ulReply;
    (void)pStage;
    return UPDATER_STEP_COMPLETE;
}

// --- The state table ---------------------------------------------------------------

typedef int32_t (*_tSmStateFn)(_tUpdater *pCtx, uint32_t ulReply, const _tSmStage *pStage);

typedef struct
{
    uint32_t ulState;
    _tSmStateFn fnAct;
    const _tSmStage *pStage; // the component stage the state belongs to, or null
} _tSmStateRow;

static const _tSmStateRow s_asStates[] = {
    {STATE_ASK_BOOT, smAskBootState, 0},
    {STATE_WAIT_BOOT, smWaitBoot, 0},
    {STATE_ENTER_CONFIG, smEnterConfig, 0},
    {STATE_WAIT_CONFIG, smWaitConfig, 0},
    {STATE_REBOOT_BOOTLOADER, smRebootBootloader, 0},
    {STATE_LOCK, smLock, 0},
    {STATE_WAIT_LOCK, smWaitLock, 0},
    {STATE_HELLO, smHello, 0},
    {STATE_WAIT_HELLO, smWaitHello, 0},
    {STATE_SEND_IV, smSendIv, 0},
    {STATE_WAIT_IV, smWaitIv, 0},
    {STATE_HOST_UC, smStageChoose, &s_sHostStage},
    {STATE_HOST_UC_PROGRAM, smStageProgram, &s_sHostStage},
    {STATE_HOST_UC_DONE, smStageDone, &s_sHostStage},
    {STATE_ENTER_DEVICE_BOOT, smEnterDeviceBoot, 0},
    {STATE_WAIT_DEVICE_BOOT, smWaitDeviceBoot, 0},
    {STATE_TI, smStageChoose, &s_sTiStage},
    {STATE_TI_PROGRAM, smStageProgram, &s_sTiStage},
    {STATE_TI_DONE, smStageDone, &s_sTiStage},
    {STATE_WIFI, smStageChoose, &s_sWifiStage},
    {STATE_WAIT_WIFI_INIT, smWaitWifiInit, &s_sWifiStage},
    {STATE_WIFI_DONE, smStageDone, &s_sWifiStage},
    {STATE_FPGA, smStageChoose, &s_sFpgaStage},
    {STATE_FPGA_PROGRAM, smFpgaProgram, &s_sFpgaStage},
    {STATE_FPGA_DONE, smStageDone, &s_sFpgaStage},
    {STATE_DEVICE_UC, smStageChoose, &s_sDeviceUcStage},
    {STATE_DEVICE_UC_PROGRAM, smStageProgram, &s_sDeviceUcStage},
    {STATE_DEVICE_UC_DONE, smStageDone, &s_sDeviceUcStage},
    {STATE_FINISH_DEVICE, smFinishDevice, 0},
    {STATE_REBOOT_DEVICE, smRebootDevice, 0},
    {STATE_WAIT_REBOOT_DEVICE, smWaitRebootDevice, 0},
    {STATE_LEAVE_BOOT, smLeaveBoot, 0},
    {STATE_COMPLETE, smComplete, 0},
};
#define SM_STATE_COUNT (sizeof(s_asStates) / sizeof(s_asStates[0]))

int32_t updaterProcess(_tUpdater *pCtx)
{
    uint32_t ulReply = recvIsDue(pCtx) == 1 ? tryRecv(pCtx) : RECV_NOTHING;
    if (ulReply == RECV_FATAL)
        return UPDATER_STEP_FAILED;

    for (uint32_t i = 0; i < SM_STATE_COUNT; i++)
    {
        if (s_asStates[i].ulState == pCtx->ulState)
            return s_asStates[i].fnAct(pCtx, ulReply, s_asStates[i].pStage);
    }
    // A state outside the table cannot be continued from.
    updaterLog(pCtx, "ERR: Unknown state %lu", (unsigned long)pCtx->ulState);
    return UPDATER_STEP_FAILED;
}
