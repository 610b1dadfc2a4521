#include "app/port_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

static int s_iLockFd = -1;
static int s_iLastErrno = 0;

// The reason for an errno of open() or flock().
static uint8_t reasonForErrno(int iErrno)
{
    switch (iErrno)
    {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
    case ELOOP:
        return PORT_NO_DEVICE;
    case EACCES:
    case EPERM:
    case EROFS:
        return PORT_PERMISSION;
    case EISDIR:
        return PORT_NOT_TTY;
    case EWOULDBLOCK:
    case EBUSY:
        return PORT_IN_USE;
    default:
        return PORT_OTHER;
    }
}

// Closes the lock descriptor and returns the reason for iErrno.
static uint8_t failWith(int iErrno)
{
    s_iLastErrno = iErrno;
    portLockRelease();
    return reasonForErrno(iErrno);
}

uint8_t portLockAcquire(const char *szPort)
{
    portLockRelease();
    // Non-blocking: a port whose carrier is down must not hold the open.
    s_iLockFd = open(szPort, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s_iLockFd < 0)
    {
        return failWith(errno);
    }
    if (isatty(s_iLockFd) == 0)
    {
        s_iLastErrno = ENOTTY;
        portLockRelease();
        return PORT_NOT_TTY;
    }
    if (flock(s_iLockFd, LOCK_EX | LOCK_NB) != 0)
    {
        return failWith(errno);
    }
    return PORT_OK;
}

void portLockRelease()
{
    if (s_iLockFd >= 0)
    {
        close(s_iLockFd); // closing the descriptor releases the lock
        s_iLockFd = -1;
    }
}

uint8_t portLockHeld()
{
    return s_iLockFd >= 0 ? 1 : 0;
}

int portLockErrno()
{
    return s_iLastErrno;
}

const char *portReasonText(uint8_t ubReason)
{
    switch (ubReason)
    {
    case PORT_NO_DEVICE:
        return "no such device (is the adapter plugged in, is the name right?)";
    case PORT_PERMISSION:
        return "permission denied (serial ports belong to the group dialout: "
               "sudo usermod -aG dialout $USER, then log in again)";
    case PORT_NOT_TTY:
        return "not a terminal (the name is not a serial port)";
    case PORT_IN_USE:
        return "in use (another updater or program has the port open)";
    default:
        return strerror(s_iLastErrno);
    }
}
