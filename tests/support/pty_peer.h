#ifndef TESTS_SUPPORT_PTY_PEER_H
#define TESTS_SUPPORT_PTY_PEER_H

// The far end of a pseudo-terminal that the program under test reaches through a
// symlink, and the program's main run in a forked child, its output and errors
// captured apart while the far end is served.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace testsupport
{

struct PtyPeer
{
    // Answers each complete line the program wrote, given the baud rate of its
    // port when the line was read; the reply, if any, is written back at once.
    using Script = std::function<std::string(const std::string &line, uint32_t baud)>;

    // A raw pty at 115200 baud behind link (replacing whatever link was). The
    // slave stays open here, so the master never hangs up while the program's port is closed.
    explicit PtyPeer(std::string linkPath, Script fn = {}) : link(std::move(linkPath)), script(std::move(fn))
    {
        char name[128] = {};
        termios tio{};
        cfmakeraw(&tio); // nothing is echoed or cooked before the program sets its side
        cfsetspeed(&tio, B115200);
        unlink(link.c_str());
        live = openpty(&master, &slave, name, &tio, nullptr) == 0 && symlink(name, link.c_str()) == 0;
    }
    ~PtyPeer() { vanish(); }

    // Removes the symlink and closes both ends, as an adapter pulled out.
    void vanish()
    {
        if (live)
            unlink(link.c_str());
        live = false;
        for (int *fd : {&master, &slave})
            *fd = *fd >= 0 ? close(*fd) - 1 : -1;
    }
    void send(const std::string &bytes) const { (void)!write(master, bytes.data(), bytes.size()); }
    // Reads what is there within timeoutMs (one poll) and answers complete lines.
    void serve(int timeoutMs)
    {
        pollfd pfd{master, POLLIN, 0};
        char chunk[256];
        const ssize_t n =
            master >= 0 && poll(&pfd, 1, timeoutMs) > 0 ? read(master, chunk, sizeof(chunk)) : 0;
        const uint32_t rate = baud(); // within milliseconds of the write, as polling keeps up
        for (ssize_t i = 0; i < n; ++i)
        {
            received.push_back(chunk[i]);
            partial.push_back(chunk[i]);
            if (chunk[i] == '\n' && script)
                send(script(partial, rate));
            if (chunk[i] == '\n')
                partial.clear();
        }
    }
    // Serves until `received` holds count bytes or timeoutMs passed; true if it holds them.
    bool waitFor(size_t count, int timeoutMs)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (received.size() < count && std::chrono::steady_clock::now() < end)
            serve(5);
        return received.size() >= count;
    }
    // The baud rate the program set on its side (attributes asked of the master are the slave's).
    uint32_t baud() const
    {
        termios tio{};
        const speed_t speed = master >= 0 && tcgetattr(master, &tio) == 0 ? cfgetospeed(&tio) : B0;
        return speed == B115200 ? 115200 : speed == B921600 ? 921600 : speed == B3000000 ? 3000000 : 0;
    }

    const std::string link;
    Script script;
    bool live = false;             // the symlink leads to this pty
    std::string partial, received; // partial: the line being read
    int master = -1, slave = -1;
};

// An exclusive lock on a port, as another updater holds it.
struct HeldLock
{
    explicit HeldLock(const std::string &path) : fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~HeldLock() { close(fd); }
    int fd;
    bool locked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
};

inline bool lockedElsewhere(const std::string &path)
{
    HeldLock probe(path);
    return probe.fd >= 0 && !probe.locked && errno == EWOULDBLOCK;
}

struct Child
{
    // Starts fnMain(args) in a child whose output and errors go to files of their own.
    Child(int (*fnMain)(int, char **), std::vector<std::string> args)
    {
        fflush(nullptr);
        if ((pid = fork()) != 0)
            return;
        dup2(fileno(files[0]), STDOUT_FILENO);
        dup2(fileno(files[1]), STDERR_FILENO);
        std::vector<char *> argv;
        for (std::string &arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int status = fnMain(int(args.size()), argv.data());
        fflush(stdout);
        _exit(status);
    }
    ~Child() { finish(); }

    // Serves peer until the child exits (one still running after 20 s is killed), then
    // reads what it wrote. Returns the exit status, -1 when it did not exit normally.
    int finish(PtyPeer *peer = nullptr)
    {
        int status = -1;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (pid > 0 && waitpid(pid, &status, WNOHANG) == 0)
        {
            if (std::chrono::steady_clock::now() > end)
                kill(pid, SIGKILL);
            peer != nullptr ? peer->serve(5) : (void)poll(nullptr, 0, 5);
        }
        if (pid <= 0)
            return -1;
        pid = -1;
        for (int i = 0; i < 2; ++i)
        {
            rewind(files[i]);
            for (int c; (c = fgetc(files[i])) != EOF;)
                (i == 0 ? out : err) += char(c);
            fclose(files[i]);
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    FILE *files[2] = {tmpfile(), tmpfile()}; // standard output and error
    pid_t pid = -1;
    std::string out, err;
};

} // namespace testsupport

#endif
