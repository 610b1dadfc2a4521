#include "sim/sim_pty.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace devsim
{

namespace
{

struct SpeedEntry
{
    speed_t speed;
    uint32_t baud;
};

const SpeedEntry kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},         {B150, 150},
    {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},       {B1800, 1800},
    {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},     {B38400, 38400},
    {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
    {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
};

std::string errnoText()
{
    return std::strerror(errno);
}

} // namespace

uint32_t baudFromSpeed(unsigned int speed)
{
    for (const SpeedEntry &entry : kSpeeds)
    {
        if (entry.speed == speed)
            return entry.baud;
    }
    return 0;
}

bool PtyLink::open(const std::string &linkPath, std::string *pError)
{
    close();
    struct stat st;
    if (::lstat(linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
    {
        *pError = linkPath + " exists and is not a symbolic link; not replacing it";
        return false;
    }

    int masterFd = -1;
    int slaveFd = -1;
    if (::openpty(&masterFd, &slaveFd, nullptr, nullptr, nullptr) != 0)
    {
        *pError = "cannot create a pseudo-terminal: " + errnoText();
        return false;
    }
    char name[PATH_MAX];
    if (::ttyname_r(slaveFd, name, sizeof(name)) != 0)
    {
        *pError = "cannot name the pseudo-terminal: " + errnoText();
        ::close(slaveFd);
        ::close(masterFd);
        return false;
    }
    // Raw 8N1 at 115200, so that a plain terminal program works too; the updater sets
    // its own settings when it opens the port.
    struct termios tio;
    if (::tcgetattr(slaveFd, &tio) == 0)
    {
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, B115200);
        ::cfsetospeed(&tio, B115200);
        ::tcsetattr(slaveFd, TCSANOW, &tio);
    }
    // The slave stays closed on our side: the master then reports a hang-up whenever
    // nobody has the port open, which is how the device notices the host closing it.
    ::close(slaveFd);
    int flags = ::fcntl(masterFd, F_GETFL);
    ::fcntl(masterFd, F_SETFL, flags | O_NONBLOCK);
    ::fcntl(masterFd, F_SETFD, FD_CLOEXEC);

    // Replace the link atomically, so a host never finds it missing or half made.
    std::string tmp = linkPath + ".devsim-" + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(name, tmp.c_str()) != 0 || ::rename(tmp.c_str(), linkPath.c_str()) != 0)
    {
        *pError = "cannot create the link " + linkPath + ": " + errnoText();
        ::unlink(tmp.c_str());
        ::close(masterFd);
        return false;
    }
    m_masterFd = masterFd;
    m_slaveName = name;
    m_linkPath = linkPath;
    return true;
}

void PtyLink::close()
{
    if (m_masterFd < 0)
        return;
    char target[PATH_MAX];
    ssize_t n = ::readlink(m_linkPath.c_str(), target, sizeof(target) - 1);
    if (n > 0)
    {
        target[n] = '\0';
        if (m_slaveName == target)
            ::unlink(m_linkPath.c_str());
    }
    ::close(m_masterFd);
    m_masterFd = -1;
}

uint32_t PtyLink::hostBaud() const
{
    struct termios tio;
    if (m_masterFd < 0 || ::tcgetattr(m_masterFd, &tio) != 0)
        return 0;
    return baudFromSpeed(::cfgetospeed(&tio));
}

void PtyLink::discardUnread()
{
    if (m_masterFd < 0)
        return;
    int fd = ::open(m_slaveName.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    ::tcflush(fd, TCIFLUSH);
    ::close(fd);
}

} // namespace devsim
