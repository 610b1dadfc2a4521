#include "app/host_callbacks.h"

#include <serial.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>

#include "app/terminal.h"

// Room for the longest text the engine logs (a receive dump) and its terminator.
#define HOST_LAST_MSG_SIZE (UPDATER_LOG_RECV_MAX + 1)

static std::unique_ptr<serial::Serial> s_pSerial;
static char s_szLastMsg[HOST_LAST_MSG_SIZE] = "";
static uint8_t s_ubProgress = 0;

uint8_t hostSerialCreate(const char *szPort)
{
    try
    {
        s_pSerial = std::make_unique<serial::Serial>(
            szPort, HOST_BAUD_DEFAULT, serial::Timeout::simpleTimeout(HOST_TIMEOUT_MS), serial::eightbits,
            serial::parity_none, serial::stopbits_one, serial::flowcontrol_none);
    }
    catch (...)
    {
        s_pSerial.reset();
        return 0;
    }
    // An empty name creates a port object without opening anything; a run on
    // it would spin forever in the reconnection, so it counts as not opened.
    if (!s_pSerial->isOpen())
    {
        s_pSerial.reset();
        return 0;
    }
    return 1;
}

serial::Serial *hostSerial()
{
    return s_pSerial.get();
}

void hostSerialDestroy()
{
    try
    {
        s_pSerial.reset();
    }
    catch (...)
    {
        // The destructor closes the port; a failing close leaves nothing to do.
    }
}

void hostSerialReopenUntilOpen()
{
    do
    {
        try
        {
            s_pSerial->close();
            s_pSerial->open();
        }
        catch (...)
        {
            // The port is not back yet; try again.
        }
    } while (!s_pSerial->isOpen());
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
    sCallbacks.cbChangeBaud = cbChangeBaud;
    sCallbacks.cbGetMs = cbGetTime;
    sCallbacks.cbLog = cbLog;
    sCallbacks.cbProgress = cbProgress;
    sCallbacks.cbReadAff = nullptr;
    sCallbacks.pUser = nullptr;
    return sCallbacks;
}

void cbSerialReopen(void *)
{
    try
    {
        s_pSerial->open();
    }
    catch (const std::exception &e)
    {
        printf("\nConnection didn't reopen, error (%s)", e.what());
    }
}

void cbSerialClose(void *)
{
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
}

void cbSerialWrite(uint8_t ubByte, void *)
{
    try
    {
        s_pSerial->write(&ubByte, 1);
    }
    catch (const std::exception &e)
    {
        // The byte is lost with the link; the engine resends on its own time-out.
        hostReconnect(e.what());
    }
}

uint8_t cbSerialRead(uint8_t *pByte, void *)
{
    try
    {
        return s_pSerial->read(pByte, 1) == 1 ? 1 : 0;
    }
    catch (const std::exception &e)
    {
        hostReconnect(e.what());
        return 0;
    }
}

void cbChangeBaud(uint32_t ulBaud, void *)
{
    try
    {
        s_pSerial->flushOutput();
        s_pSerial->setBaudrate(ulBaud);
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
    fflush(stdout);
}

void cbPrint(const char *szMsg, void *)
{
    storeLastMsg(szMsg);
    printf("\n%s", szMsg);
    fflush(stdout);
}
