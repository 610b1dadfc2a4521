#include "tests/support/child_run.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

namespace testsupport
{

namespace
{
constexpr int kChildWaitMs = 20000;
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
        const int status = fnMain(static_cast<int>(args.size()), argv.data());
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
    if (m_pid > 0 && !m_done)
    {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    for (int fd : {m_out, m_err})
        if (fd >= 0)
            close(fd);
}

void Child::interrupt() const
{
    kill(m_pid, SIGINT);
}

int Child::finish()
{
    pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
    int open = 2;
    while (open > 0 && poll(fds, 2, kChildWaitMs) > 0)
    {
        for (int i = 0; i < 2; ++i)
        {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char chunk[4096];
            const ssize_t n = read(fds[i].fd, chunk, sizeof(chunk));
            if (n <= 0)
            {
                fds[i].fd = -1;
                --open;
                continue;
            }
            (i == 0 ? out : err).append(chunk, static_cast<size_t>(n));
        }
    }
    if (open > 0)
        kill(m_pid, SIGKILL);
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_done = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace testsupport
