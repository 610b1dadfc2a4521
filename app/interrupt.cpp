#include "app/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>

#define APP_COLOR_RESET_TEXT "\x1b[0m"

static volatile sig_atomic_t s_iRunKind = APP_RUN_DIALOGUE;
static volatile sig_atomic_t s_isSent = 0;

// The texts are fixed so that the handler only has to write them.
static const char *const s_pMessages[] = {
    "\nInterrupted before anything was sent: the device is as it was.\n",
    "\nInterrupted: the device may be left in its bootloader, locked (BOOT mode);"
    " run the operation again, or -lock 0 to leave BOOT mode.\n",
    "\nInterrupted: the device may be left in CONFIG mode; run -config again, or -ub and then -lock 0.\n",
    "\nInterrupted: the device may be left in its bootloader, locked, with a component half-written;"
    " run the update again.\n",
};

const char *appInterruptMessage(uint8_t ubKind)
{
    if (ubKind >= sizeof(s_pMessages) / sizeof(s_pMessages[0]))
    {
        ubKind = APP_RUN_UPDATE;
    }
    return s_pMessages[ubKind];
}

static void writeAll(int iFd, const char *szText)
{
    size_t ulLeft = strlen(szText);
    while (ulLeft > 0)
    {
        const ssize_t lWritten = write(iFd, szText, ulLeft);
        if (lWritten <= 0)
        {
            return;
        }
        szText += lWritten;
        ulLeft -= static_cast<size_t>(lWritten);
    }
}

static void onInterrupt(int)
{
    writeAll(STDOUT_FILENO, APP_COLOR_RESET_TEXT);
    const uint8_t ubKind = s_isSent != 0 ? static_cast<uint8_t>(s_iRunKind) : APP_RUN_NOTHING_SENT;
    writeAll(STDERR_FILENO, appInterruptMessage(ubKind));
    _exit(APP_EXIT_INTERRUPTED);
}

void appInterruptInstall()
{
    struct sigaction sAction;
    memset(&sAction, 0, sizeof(sAction));
    sAction.sa_handler = onInterrupt;
    sigemptyset(&sAction.sa_mask);
    sigaction(SIGINT, &sAction, nullptr);
}

void appInterruptSetRun(uint8_t ubKind)
{
    s_iRunKind = ubKind;
}

void appInterruptNoteSent()
{
    s_isSent = 1;
}
