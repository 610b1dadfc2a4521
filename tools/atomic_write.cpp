#include "tools/atomic_write.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tools
{

namespace
{

constexpr int kMaxNameTries = 100; // temporary names tried before giving up

// Blocks the signals that end a program from the terminal or a supervisor for
// the lifetime of the object, so that an interruption cannot strand the
// temporary file; they are delivered when the object goes.
class TerminationSignalsHeld
{
  public:
    TerminationSignalsHeld()
    {
        sigset_t held;
        sigemptyset(&held);
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            sigaddset(&held, sig);
        pthread_sigmask(SIG_BLOCK, &held, &m_previous);
    }
    ~TerminationSignalsHeld() { pthread_sigmask(SIG_SETMASK, &m_previous, nullptr); }
    TerminationSignalsHeld(const TerminationSignalsHeld &) = delete;
    TerminationSignalsHeld &operator=(const TerminationSignalsHeld &) = delete;

  private:
    sigset_t m_previous;
};

// The directory part of path ("." for a bare name).
std::string directoryOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates a new temporary file beside path; its descriptor, or -1 with errno set.
int createBeside(const std::string &path, std::string &tmpPath)
{
    for (int i = 0; i < kMaxNameTries; i++)
    {
        tmpPath = path + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(i);
        const int fd = ::open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

bool writeAll(int fd, const uint8_t *p, size_t length)
{
    size_t done = 0;
    while (done < length)
    {
        const ssize_t n = ::write(fd, p + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
        {
            errno = ENOSPC;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Makes the rename itself survive a power cut; a directory that cannot be
// opened or synced only loses that guarantee.
void syncDirectory(const std::string &dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

bool writeFileAtomically(const std::string &path, const void *data, size_t length, std::string &error)
{
    TerminationSignalsHeld held;
    std::string tmpPath;
    const int fd = createBeside(path, tmpPath);
    if (fd < 0)
    {
        error = "cannot create a temporary file beside '" + path + "': " + strerror(errno);
        return false;
    }
    struct stat old;
    if (::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        ::fchmod(fd, old.st_mode & 07777);

    const bool written = writeAll(fd, static_cast<const uint8_t *>(data), length) && ::fsync(fd) == 0;
    const int writeErrno = errno;
    if (::close(fd) != 0 || !written)
    {
        ::unlink(tmpPath.c_str());
        error = "cannot write '" + path + "': " + strerror(written ? errno : writeErrno);
        return false;
    }
    if (::rename(tmpPath.c_str(), path.c_str()) != 0)
    {
        error = "cannot replace '" + path + "': " + strerror(errno);
        ::unlink(tmpPath.c_str());
        return false;
    }
    syncDirectory(directoryOf(path));
    return true;
}

} // namespace tools
