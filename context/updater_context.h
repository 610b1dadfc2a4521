#ifndef CONTEXT_UPDATER_CONTEXT_H
#define CONTEXT_UPDATER_CONTEXT_H

// The run's context record and host callback table, its log and progress
// output, the byte-channel adapters over the host callbacks, and the
// process-wide state a run keeps beyond its context. Every layer above reads
// and writes the run through this module; it knows nothing of them.

#include <stdint.h>

#include "aff/aff_container.h"
#include "common/part_limit.h"
#include "protocol/byte_channel.h"

#define UPDATER_OP_NONE 0
#define UPDATER_OP_LOCK 1
#define UPDATER_OP_UNLOCK 2
#define UPDATER_OP_READ_VERSIONS 3
#define UPDATER_OP_BOOT_MODE 4
#define UPDATER_OP_CONFIG_MODE 5
#define UPDATER_OP_UPDATE_CHANGED 6
#define UPDATER_OP_UPDATE_ALL 7

#define UPDATER_STEP_CONTINUE 0
#define UPDATER_STEP_COMPLETE 1
#define UPDATER_STEP_FAILED (-1)

#define UPDATER_RX_BUFFER_SIZE 200
#define UPDATER_PART_BUFFER_SIZE PART_SIZE_MAX
#define UPDATER_LOG_MAX 199 // characters of one log line
#define UPDATER_LOG_RECV_MAX 500

typedef struct
{
    void (*cbReopen)(void *pUser);
    void (*cbClose)(void *pUser);
    void (*cbWrite)(uint8_t ubByte, void *pUser);
    uint8_t (*cbRead)(uint8_t *pByte, void *pUser);
    // Optional: the number of received bytes cbRead can return without waiting.
    // With it, a step that cannot expect an answer reads only what is already
    // there instead of waiting the read time-out on a quiet line.
    uint32_t (*cbAvailable)(void *pUser);
    void (*cbChangeBaud)(uint32_t ulBaud, void *pUser);
    uint64_t (*cbGetMs)(void *pUser);
    void (*cbLog)(const char *szMsg, void *pUser);
    void (*cbProgress)(uint8_t ubPercent, void *pUser);
    _tAffReadFn cbReadAff;
    void *pUser;
} _tUpdaterCallbacks;

typedef int (*_tUpdaterStopFn)(void *pUser);

typedef struct
{
    uint16_t usAffVersion;
    uint8_t isDeviceUcDone;
    uint8_t isHostUcDone;
    uint8_t isWifiDone;
    uint8_t isFpgaDone;
    uint8_t isTiDone;
    uint8_t hasDeviceUc;
    uint8_t hasWifi;
    uint8_t hasFpga;
    uint8_t hasHostUc;
    uint8_t hasTi;
    uint8_t isHostBootloader;
    uint32_t ulOp;
    uint32_t ulState;
    uint32_t ulDeviceUcVersion;
    uint32_t ulFpgaVersion;
    uint32_t ulWifiVersion;
    uint32_t ulHostUcVersion;
    uint32_t ulTiVersion;
    uint8_t ubComponentCount;
    uint8_t ubComponentsDone;
    _tSerial sSerial;
    const _tUpdaterCallbacks *pCallbacks;
    uint8_t pRxBuffer[UPDATER_RX_BUFFER_SIZE];
    uint8_t isVerbose;
    uint8_t isTransparent;
    uint8_t canResend;
    uint8_t isUcLogEnabled;
    uint64_t ullMeasureStart;
    uint16_t usMalformedCount;
    uint8_t pPartBuffer[UPDATER_PART_BUFFER_SIZE];
    int16_t sCurrentBlockIdx;
    _tAffBlockHeader sCurrentBlock;
    uint32_t ulCurrentBlockPos;
    uint16_t usBlockHeaderSize;
    // Engine bookkeeping beyond the fields above.
    uint16_t usRxLength;      // bytes of the packet in pRxBuffer (after unwrapping)
    uint64_t ullLastRxMs;     // clock of the last usable reception or send, for the silence resend
    uint8_t ubDialogueRounds; // rounds of a dialogue loop a device could repeat without end
    uint32_t ulBytesWritten;  // bytes written to the link so far (wraps)
    uint32_t ulBytesRead;     // bytes read from the link so far (wraps)
    uint32_t ulSilenceMark;   // ulBytesRead when the last silence period ended
    uint8_t ubSilentPeriods;  // silence periods in a row in which no byte at all came
    uint32_t ulStepState;     // ulState when the last step began
    uint32_t ulStepWritten;   // ulBytesWritten when the last step began
} _tUpdater;

// Counters of one begin / part / end programmer.
typedef struct
{
    uint32_t ulSeq;       // next part to send
    uint32_t ulPartCount; // whole parts of the block being sent
} _tUpdaterPartCounter;

// Phase of the FPGA programming in progress.
typedef struct
{
    uint32_t ulBlockChunkIdx; // next part of the current image block
    uint8_t ubFpgaOp;         // write or verify
    uint8_t ubFpgaMemType;    // NVCM0 or NVCM1
    uint8_t ubProgressOffs;   // component progress at which the phase starts
    uint8_t isNoNvcm1;        // the NVCM1 block holds no data: two phases instead of four
} _tUpdaterFpgaMarks;

// What a run keeps outside its context, for the whole process: the Wi-Fi
// hand-over mark and the programmers' counters. One record, cleared at the
// start of every run by updaterRunStateReset.
typedef struct
{
    uint8_t isOrlakFirmware; // the Wi-Fi module was reached through forwarding
    _tUpdaterPartCounter sUcCounter;
    _tUpdaterPartCounter sTiCounter;
    _tUpdaterFpgaMarks sFpga;
} _tUpdaterRunState;

// The process-wide run state; never null.
_tUpdaterRunState *updaterRunState(void);
// Clears the whole run state, as at the start of a process.
void updaterRunStateReset(void);

// Log lines through cbLog, formatted and cut to UPDATER_LOG_MAX characters;
// nothing without cbLog. The verbose one only logs with isVerbose set.
void updaterLog(_tUpdater *pCtx, const char *szFormat, ...) __attribute__((format(printf, 2, 3)));
void updaterLogVerbose(_tUpdater *pCtx, const char *szFormat, ...) __attribute__((format(printf, 2, 3)));
// Verbose hex dump "Recv: XX XX ...": one cbLog call per byte with the text so far.
void updaterLogRecv(_tUpdater *pCtx, const uint8_t *pBytes, uint32_t ulCount);
// Hands one finished text to cbLog (nothing without one); the shape of a plain
// print function, so that modules below the context can print through the run.
void updaterPrint(const char *szText, void *pCtx);
// Progress through cbProgress: a plain percentage, the percentage reached inside
// the current component scaled to the whole run, and one more component done.
void updaterProgress(_tUpdater *pCtx, uint8_t ubPercent);
void updaterComponentProgress(_tUpdater *pCtx, uint8_t ubPercent);
void updaterComponentDone(_tUpdater *pCtx);

// Byte-channel operations over the host callbacks; pSerial->pUser is the context.
// The read returns 1 when a byte was stored, 0 when none came.
uint8_t updaterSerialReadByte(_tSerial *pSerial, uint8_t *pByte);
void updaterSerialWriteByte(_tSerial *pSerial, uint8_t ubByte);
uint64_t updaterSerialGetMs(_tSerial *pSerial);
void updaterSerialChangeBaud(_tSerial *pSerial, uint32_t ulBaud);
// Fills pCtx->sSerial with the adapters above (the baud change only when the
// host has one).
void updaterBindSerial(_tUpdater *pCtx);
// Milliseconds from ulStart to ulNow; a reading below the start counts as a wrap.
uint32_t updaterGetDelta(uint32_t ulNow, uint32_t ulStart);

#endif
