#include "tests/support/captured_run.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace testsupport
{

CapturedRun runCaptured(const std::function<int()> &fn, int timeoutMs)
{
    CapturedRun run;
    int fds[2];
    if (pipe(fds) != 0)
        return run;
    fflush(stdout);
    const pid_t pid = fork();
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
    bool timedOut = pid < 0;
    char chunk[4096];
    while (!timedOut)
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        timedOut = left <= 0;
        pollfd pfd{fds[0], POLLIN, 0};
        if (timedOut || poll(&pfd, 1, static_cast<int>(left)) <= 0)
            continue;
        const ssize_t n = read(fds[0], chunk, sizeof(chunk));
        if (n <= 0)
            break;
        run.output.append(chunk, static_cast<size_t>(n));
    }
    close(fds[0]);
    if (pid < 0)
        return run;
    if (timedOut)
        kill(pid, SIGKILL);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    if (!timedOut && WIFEXITED(wstatus))
        run.status = WEXITSTATUS(wstatus);
    return run;
}

StdoutCapture::StdoutCapture()
{
    fflush(stdout);
    FILE *tmp = tmpfile();
    if (tmp == nullptr)
        return;
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
        return {};
    fflush(stdout);
    dup2(m_saved, STDOUT_FILENO);
    close(m_saved);
    m_saved = -1;
    lseek(m_file, 0, SEEK_SET);
    std::string captured;
    char chunk[4096];
    for (ssize_t n; (n = read(m_file, chunk, sizeof(chunk))) > 0;)
        captured.append(chunk, static_cast<size_t>(n));
    close(m_file);
    m_file = -1;
    return captured;
}

} // namespace testsupport
