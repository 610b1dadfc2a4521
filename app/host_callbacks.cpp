#include "app/host_callbacks.h"

#include <serial.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <thread>

#include "app/interrupt.h"
#include "app/port_lock.h"
#include "app/terminal.h"

// Room for the longest text the engine logs (a receive dump) and its terminator.
#define HOST_LAST_MSG_SIZE (UPDATER_LOG_RECV_MAX + 1)

// The engine hands over one byte per call. Each byte on its own would cost the
// serial library a wait for the port and a write system call, so outgoing bytes
// are gathered and written together before anything can depend on them having
// gone out: before every read, close and baud change, and whenever the engine
// reads the clock (it does so after every request and text command, and before
// and during every pause). Incoming bytes are read as many as are waiting and
// handed out one per call.
#define HOST_WRITE_BUFFER_SIZE 4096 // a full buffer is written out at once
#define HOST_READ_BUFFER_SIZE 256   // longer than any response the engine expects

// The engine's pauses are busy waits on the clock. After this many clock reads
// in a row without any traffic on the port, each further read first sleeps
// HOST_BUSY_WAIT_SLEEP_MS, so that a pause costs next to no CPU; it then ends at
// most that much later. Every wait that reads the port resets the count.
#define HOST_BUSY_WAIT_CLOCK_READS 16
#define HOST_BUSY_WAIT_SLEEP_MS 1

// A port that does not come back is tried again after this pause, so that the
// wait for a replugged adapter costs no CPU.
#define HOST_REOPEN_PAUSE_MS 100
#define HOST_OPEN_ERROR_SIZE 200

static std::unique_ptr<serial::Serial> s_pSerial;
static char s_szOpenError[HOST_OPEN_ERROR_SIZE] = "";
static void (*s_fnReopenPause)(uint32_t ulMs) = nullptr;
static char s_szLastMsg[HOST_LAST_MSG_SIZE] = "";
static uint8_t s_ubProgress = 0;

static uint8_t s_pubWriteBuffer[HOST_WRITE_BUFFER_SIZE];
static size_t s_ulWriteCount = 0;
static uint8_t s_pubReadBuffer[HOST_READ_BUFFER_SIZE];
static size_t s_ulReadPos = 0;
static size_t s_ulReadCount = 0;
static uint32_t s_ulClockReadsInARow = 0;
// The progress line is drawn again for every request. Its text waits in stdout's
// buffer until the bytes written after it have gone out to the port, or until the
// updater is about to wait: a write to the terminal costs tens of microseconds,
// and otherwise every round trip would pay them before its request went out.
static uint8_t s_isProgressPending = 0;

static void writePendingProgress()
{
    if (s_isProgressPending != 0)
    {
        s_isProgressPending = 0;
        fflush(stdout);
    }
}

// Forgets the bytes read ahead: the port's pending input is being discarded.
static void dropReadAhead()
{
    s_ulReadPos = 0;
    s_ulReadCount = 0;
}

// Writes the gathered bytes. Returns 1 when they were all handed to the port
// (or there were none); 0 when the port stalled for a whole write time-out,
// in which case the rest is dropped as a single byte would have been. Lets
// the library's exceptions through; the gathered bytes are gone either way.
static uint8_t writeGathered()
{
    const size_t ulCount = s_ulWriteCount;
    s_ulWriteCount = 0;
    if (ulCount != 0)
    {
        appInterruptNoteSent();
    }
    size_t ulDone = 0;
    while (ulDone < ulCount)
    {
        const size_t ulWritten = s_pSerial->write(s_pubWriteBuffer + ulDone, ulCount - ulDone);
        if (ulWritten == 0)
        {
            return 0;
        }
        ulDone += ulWritten;
    }
    return 1;
}

// Stores the reason the port could not be opened, for hostPrintOpenFailure.
static void noteOpenError(const char *szReason)
{
    snprintf(s_szOpenError, sizeof(s_szOpenError), "%s", szReason);
}

uint8_t hostSerialCreate(const char *szPort)
{
    s_szOpenError[0] = '\0';
    // The lock comes first: opening through the library would already reset the
    // line settings of a port that another updater is using.
    const uint8_t ubLock = portLockAcquire(szPort);
    if (ubLock != PORT_OK)
    {
        noteOpenError(portReasonText(ubLock));
        return 0;
    }
    try
    {
        s_pSerial = std::make_unique<serial::Serial>(
            szPort, HOST_BAUD_DEFAULT, serial::Timeout::simpleTimeout(HOST_TIMEOUT_MS), serial::eightbits,
            serial::parity_none, serial::stopbits_one, serial::flowcontrol_none);
    }
    catch (const std::exception &e)
    {
        noteOpenError(e.what());
        s_pSerial.reset();
        portLockRelease();
        return 0;
    }
    // An empty name creates a port object without opening anything; a run on
    // it would spin forever in the reconnection, so it counts as not opened.
    if (!s_pSerial->isOpen())
    {
        noteOpenError(portReasonText(PORT_NO_DEVICE));
        s_pSerial.reset();
        portLockRelease();
        return 0;
    }
    return 1;
}

void hostPrintOpenFailure(const char *szPort)
{
    fprintf(stderr, "updater: cannot open %s: %s\n", szPort,
            s_szOpenError[0] != '\0' ? s_szOpenError : "unknown reason");
    fflush(stderr);
}

void hostSetReopenPause(void (*fnPause)(uint32_t ulMs))
{
    s_fnReopenPause = fnPause;
}

serial::Serial *hostSerial()
{
    return s_pSerial.get();
}

void hostSerialDestroy()
{
    try
    {
        if (s_pSerial)
        {
            // The end of the run: what is still gathered goes out, but a port
            // that is gone now is not waited for.
            writeGathered();
        }
    }
    catch (...)
    {
        // Nobody is left to reconnect for.
    }
    s_ulWriteCount = 0;
    writePendingProgress();
    dropReadAhead();
    try
    {
        s_pSerial.reset();
    }
    catch (...)
    {
        // The destructor closes the port; a failing close leaves nothing to do.
    }
    portLockRelease();
}

// Closes the port and opens it again under the lock. Returns 1 when it is
// open; 0 with the reason in s_szOpenError when not (nothing held then).
static uint8_t reopenOnce()
{
    try
    {
        s_pSerial->close();
    }
    catch (...)
    {
        // A port that is gone cannot be closed; it is opened afresh below.
    }
    portLockRelease();
    const uint8_t ubLock = portLockAcquire(s_pSerial->getPort().c_str());
    if (ubLock != PORT_OK)
    {
        noteOpenError(portReasonText(ubLock));
        return 0;
    }
    try
    {
        s_pSerial->open();
    }
    catch (const std::exception &e)
    {
        noteOpenError(e.what());
    }
    if (s_pSerial->isOpen())
    {
        return 1;
    }
    portLockRelease();
    return 0;
}

void hostSerialReopenUntilOpen()
{
    // A reopened port has no input of the old one.
    dropReadAhead();
    uint8_t isNoted = 0;
    while (reopenOnce() != 1)
    {
        // The wait has no limit (a replugged adapter is the normal case); the
        // operator is told once how to end it.
        if (isNoted == 0)
        {
            fprintf(stderr, "\nupdater: %s: %s; waiting for it to come back, Ctrl-C stops the run\n",
                    s_pSerial->getPort().c_str(), s_szOpenError);
            fflush(stderr);
            isNoted = 1;
        }
        if (s_fnReopenPause != nullptr)
        {
            s_fnReopenPause(HOST_REOPEN_PAUSE_MS);
        }
        else
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(HOST_REOPEN_PAUSE_MS));
        }
    }
}

void hostReconnect(const char *szReason)
{
    logSetColor(APP_COLOR_RED);
    printf("\nConnection lost (%s), reconnecting...", szReason);
    logSetColor(APP_COLOR_RESET);
    fflush(stdout);

    hostSerialReopenUntilOpen();

    try
    {
        // Whatever arrived across the break is stale, and so is a byte still on its way.
        dropReadAhead();
        s_pSerial->flushInput();
        uint8_t ubDiscard = 0;
        s_pSerial->read(&ubDiscard, 1);
    }
    catch (...)
    {
        // The port went away again; the next read or write reconnects once more.
    }

    logSetColor(APP_COLOR_GREEN);
    printf("\nReconnected");
    logSetColor(APP_COLOR_RESET);
    fflush(stdout);
}

_tUpdaterCallbacks hostCallbacks()
{
    _tUpdaterCallbacks sCallbacks = {};
    sCallbacks.cbReopen = cbSerialReopen;
    sCallbacks.cbClose = cbSerialClose;
    sCallbacks.cbWrite = cbSerialWrite;
    sCallbacks.cbRead = cbSerialRead;
    sCallbacks.cbAvailable = cbSerialAvailable;
    sCallbacks.cbChangeBaud = cbChangeBaud;
    sCallbacks.cbGetMs = cbGetTime;
    sCallbacks.cbLog = cbLog;
    sCallbacks.cbProgress = cbProgress;
    sCallbacks.cbReadAff = nullptr;
    sCallbacks.pUser = nullptr;
    return sCallbacks;
}

void hostSerialFlushOutput()
{
    s_ulClockReadsInARow = 0;
    if (s_ulWriteCount != 0 && !s_pSerial)
    {
        s_ulWriteCount = 0; // no port: nothing can be sent
    }
    if (s_ulWriteCount != 0)
    {
        try
        {
            writeGathered();
        }
        catch (const std::exception &e)
        {
            // The gathered bytes are lost with the link; the engine resends on its own time-out.
            hostReconnect(e.what());
        }
    }
    writePendingProgress();
}

void cbSerialReopen(void *)
{
    s_ulClockReadsInARow = 0;
    dropReadAhead();
    // Another updater may have taken the port while it was closed: then it
    // stays closed, and the next read or write waits for it in the reconnection.
    const uint8_t ubLock = portLockAcquire(s_pSerial->getPort().c_str());
    if (ubLock != PORT_OK)
    {
        printf("\nConnection didn't reopen, error (%s)", portReasonText(ubLock));
        return;
    }
    try
    {
        s_pSerial->open();
    }
    catch (const std::exception &e)
    {
        portLockRelease();
        printf("\nConnection didn't reopen, error (%s)", e.what());
    }
}

void cbSerialClose(void *)
{
    hostSerialFlushOutput();
    // Input left unread is discarded with the port.
    dropReadAhead();
    try
    {
        if (s_pSerial->isOpen())
        {
            s_pSerial->close();
        }
    }
    catch (const std::exception &e)
    {
        printf("\nConnection didn't close, error (%s)", e.what());
    }
    // The lock goes with the port, so that closing it still hangs up the line.
    portLockRelease();
}

void cbSerialWrite(uint8_t ubByte, void *)
{
    s_ulClockReadsInARow = 0;
    if (s_ulWriteCount == HOST_WRITE_BUFFER_SIZE)
    {
        hostSerialFlushOutput();
    }
    s_pubWriteBuffer[s_ulWriteCount++] = ubByte;
}

uint8_t cbSerialRead(uint8_t *pByte, void *)
{
    hostSerialFlushOutput();
    if (s_ulReadPos < s_ulReadCount)
    {
        *pByte = s_pubReadBuffer[s_ulReadPos++];
        return 1;
    }
    dropReadAhead();
    try
    {
        size_t ulWaiting = s_pSerial->available();
        if (ulWaiting == 0)
        {
            // Nothing waiting: wait up to the port's time-out for input, then take all
            // that came at once. A port that reports input but holds none has gone
            // away: the one-byte read finds that out (it throws).
            if (!s_pSerial->waitReadable())
            {
                return 0;
            }
            ulWaiting = s_pSerial->available();
            if (ulWaiting == 0)
            {
                return s_pSerial->read(pByte, 1) == 1 ? 1 : 0;
            }
        }
        // Take what is there without waiting for more.
        s_ulReadCount = s_pSerial->read(s_pubReadBuffer, std::min<size_t>(ulWaiting, HOST_READ_BUFFER_SIZE));
        if (s_ulReadCount == 0)
        {
            return 0;
        }
        *pByte = s_pubReadBuffer[0];
        s_ulReadPos = 1;
        return 1;
    }
    catch (const std::exception &e)
    {
        dropReadAhead();
        hostReconnect(e.what());
        return 0;
    }
}

uint32_t cbSerialAvailable(void *)
{
    const size_t ulAhead = s_ulReadCount - s_ulReadPos;
    if (ulAhead != 0 || !s_pSerial)
    {
        return static_cast<uint32_t>(ulAhead);
    }
    try
    {
        return s_pSerial->available() != 0 ? 1 : 0;
    }
    catch (const std::exception &)
    {
        return 1; // the read that follows finds the lost link and reconnects
    }
}

void cbChangeBaud(uint32_t ulBaud, void *)
{
    hostSerialFlushOutput();
    try
    {
        s_pSerial->flushOutput();
        s_pSerial->setBaudrate(ulBaud);
        dropReadAhead();
        s_pSerial->flushInput();
    }
    catch (const std::exception &e)
    {
        // The port keeps the new rate and applies it when it opens again.
        hostReconnect(e.what());
    }
}

uint64_t cbGetTime(void *)
{
    // Anything the engine wrote goes out before it starts to measure a wait.
    if (s_ulWriteCount != 0)
    {
        hostSerialFlushOutput();
    }
    else if (++s_ulClockReadsInARow > HOST_BUSY_WAIT_CLOCK_READS)
    {
        writePendingProgress();
        std::this_thread::sleep_for(std::chrono::milliseconds(HOST_BUSY_WAIT_SLEEP_MS));
    }
    const auto llMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    return llMs < 0 ? 0 : static_cast<uint64_t>(llMs);
}

static void storeLastMsg(const char *szMsg)
{
    snprintf(s_szLastMsg, sizeof(s_szLastMsg), "%s", szMsg);
}

void cbLog(const char *szMsg, void *)
{
    storeLastMsg(szMsg);
    printf("\n[ %3hhu%% ] %s", s_ubProgress, szMsg);
    fflush(stdout);
}

void cbProgress(uint8_t ubPercent, void *)
{
    s_ubProgress = ubPercent;
    printf("\r[ %3hhu%% ] %s", ubPercent, s_szLastMsg);
    s_isProgressPending = 1; // written with the next request (see writePendingProgress)
}

void cbPrint(const char *szMsg, void *)
{
    storeLastMsg(szMsg);
    printf("\n%s", szMsg);
    fflush(stdout);
}
