#include "tests/support/captured_run.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace testsupport
{
namespace
{

constexpr size_t kChunk = 4096;

std::string readAll(int fd)
{
    std::string text;
    char chunk[kChunk];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof(chunk))) > 0)
    {
        text.append(chunk, static_cast<size_t>(n));
    }
    return text;
}

} // namespace

CapturedRun runCaptured(const std::function<int()> &fn, int timeoutMs)
{
    CapturedRun run;
    int fds[2];
    if (pipe(fds) != 0)
    {
        return run;
    }
    fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0)
    {
        close(fds[0]);
        close(fds[1]);
        return run;
    }
    if (pid == 0)
    {
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        const int status = fn();
        fflush(stdout);
        _exit(status);
    }

    close(fds[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool timedOut = false;
    char chunk[kChunk];
    for (;;)
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        if (left <= 0)
        {
            timedOut = true;
            break;
        }
        pollfd pfd{fds[0], POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0)
        {
            continue;
        }
        const ssize_t n = read(fds[0], chunk, sizeof(chunk));
        if (n <= 0)
        {
            break;
        }
        run.output.append(chunk, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (timedOut)
    {
        kill(pid, SIGKILL);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (!timedOut && WIFEXITED(wstatus))
    {
        run.status = WEXITSTATUS(wstatus);
    }
    return run;
}

StdoutCapture::StdoutCapture()
{
    fflush(stdout);
    FILE *tmp = tmpfile();
    if (tmp == nullptr)
    {
        return;
    }
    m_file = dup(fileno(tmp));
    fclose(tmp);
    m_saved = dup(STDOUT_FILENO);
    dup2(m_file, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture()
{
    text();
}

std::string StdoutCapture::text()
{
    if (m_saved < 0)
    {
        return {};
    }
    fflush(stdout);
    dup2(m_saved, STDOUT_FILENO);
    close(m_saved);
    m_saved = -1;
    lseek(m_file, 0, SEEK_SET);
    std::string captured = readAll(m_file);
    close(m_file);
    m_file = -1;
    return captured;
}

} // namespace testsupport
