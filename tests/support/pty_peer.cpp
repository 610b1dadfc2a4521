#include "tests/support/pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace testsupport
{

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "upd_test_XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr)
        m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ignored);
}

PtyPeer::PtyPeer(std::string linkPath, Script script) : link(std::move(linkPath)), m_script(std::move(script))
{
    char name[128] = {};
    if (openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0 ||
        ttyname_r(m_slave, name, sizeof(name)))
    {
        vanish();
        return;
    }
    termios tio{};
    tcgetattr(m_slave, &tio);
    cfmakeraw(&tio); // nothing is echoed or cooked before the program sets its side
    cfsetspeed(&tio, B115200);
    tcsetattr(m_slave, TCSANOW, &tio);
    m_slaveName = name;
    unlink(link.c_str());
    if (symlink(name, link.c_str()) != 0)
        vanish();
}

void PtyPeer::vanish()
{
    char target[128] = {};
    if (readlink(link.c_str(), target, sizeof(target) - 1) > 0 && m_slaveName == target)
        unlink(link.c_str());
    m_slaveName.clear();
    for (int *fd : {&m_master, &m_slave})
    {
        if (*fd >= 0)
            close(*fd);
        *fd = -1;
    }
}

void PtyPeer::send(const std::string &bytes) const
{
    for (size_t done = 0; m_master >= 0 && done < bytes.size();)
    {
        const ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return;
        done += size_t(n);
    }
}

void PtyPeer::serve(int timeoutMs)
{
    pollfd pfd{m_master, POLLIN, 0};
    char chunk[256];
    if (m_master < 0 || poll(&pfd, 1, timeoutMs) <= 0)
        return;
    const ssize_t n = read(m_master, chunk, sizeof(chunk));
    const uint32_t rate = baud(); // within milliseconds of the write, as polling keeps up
    for (ssize_t i = 0; i < n; ++i)
    {
        received.push_back(chunk[i]);
        m_partial.push_back(chunk[i]);
        if (chunk[i] != '\n')
            continue;
        lines.emplace_back(m_partial, rate);
        if (m_script)
            send(m_script(m_partial, rate));
        m_partial.clear();
    }
}

bool PtyPeer::waitFor(size_t count, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (received.size() < count && std::chrono::steady_clock::now() < deadline)
        serve(5);
    return received.size() >= count;
}

uint32_t PtyPeer::baud() const
{
    // Attributes asked of the master are those of the slave, where the program sets its rate.
    termios tio{};
    if (m_master < 0 || tcgetattr(m_master, &tio) != 0)
        return 0;
    const speed_t speed = cfgetospeed(&tio);
    return speed == B115200 ? 115200 : speed == B921600 ? 921600 : speed == B3000000 ? 3000000 : 0;
}

HeldLock::HeldLock(const std::string &path) : fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK))
{
    locked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
}

HeldLock::~HeldLock()
{
    close(fd);
}

bool lockedElsewhere(const std::string &path)
{
    HeldLock probe(path);
    return probe.fd >= 0 && !probe.locked && errno == EWOULDBLOCK;
}

Child::Child(Main fnMain, std::vector<std::string> args, std::function<void()> before)
{
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        return;
    fflush(stdout);
    fflush(stderr);
    m_pid = fork();
    if (m_pid == 0)
    {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        for (int fd : {out[0], out[1], err[0], err[1]})
            close(fd);
        if (before)
            before();
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int status = fnMain(int(args.size()), argv.data());
        fflush(stdout);
        _exit(status);
    }
    close(out[1]);
    close(err[1]);
    m_out = out[0];
    m_err = err[0];
}

Child::~Child()
{
    if (m_pid > 0)
    {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    for (int fd : {m_out, m_err})
        close(fd);
}

void Child::interrupt() const
{
    kill(m_pid, SIGINT);
}

int Child::finish(PtyPeer *peer)
{
    pollfd fds[3] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}, {peer ? peer->master() : -1, POLLIN, 0}};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((fds[0].fd >= 0 || fds[1].fd >= 0) && std::chrono::steady_clock::now() < deadline)
    {
        if (poll(fds, 3, 100) <= 0)
            continue;
        if (fds[2].revents != 0)
            peer->serve(0);
        for (int i = 0; i < 2; ++i)
        {
            char chunk[4096];
            const ssize_t n = fds[i].revents != 0 ? read(fds[i].fd, chunk, sizeof(chunk)) : 1;
            if (n <= 0)
                fds[i].fd = -1;
            else if (fds[i].revents != 0)
                (i == 0 ? out : err).append(chunk, size_t(n));
        }
    }
    kill(m_pid, SIGKILL); // harmless for a child that has exited and not been reaped
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace testsupport
