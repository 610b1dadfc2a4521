// Runs a program and writes what it cost: "USER SYSTEM MAXRSS" (seconds of CPU,
// peak resident memory in KiB) to a file. The benchmark starts programs through
// this small process rather than from its own interpreter, whose memory a child
// would otherwise carry into its peak until it executes the program.
//
//   bench_rusage OUTFILE PROGRAM [ARG]...
// Exits with the program's exit status (128 + signal number when it was killed).

#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

constexpr int kExitUsage = 2;
constexpr int kExitCannotRun = 127;
constexpr int kSignalBase = 128;

double seconds(const timeval &tv)
{
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
    {
        std::fprintf(stderr, "usage: bench_rusage OUTFILE PROGRAM [ARG]...\n");
        return kExitUsage;
    }
    const pid_t pid = ::fork();
    if (pid < 0)
    {
        std::perror("bench_rusage: fork");
        return kExitCannotRun;
    }
    if (pid == 0)
    {
        ::execv(argv[2], argv + 2);
        std::perror("bench_rusage: exec");
        ::_exit(kExitCannotRun);
    }
    int status = 0;
    struct rusage usage = {};
    if (::wait4(pid, &status, 0, &usage) != pid)
    {
        std::perror("bench_rusage: wait4");
        return kExitCannotRun;
    }
    std::FILE *out = std::fopen(argv[1], "w");
    if (out == nullptr)
    {
        std::perror("bench_rusage: output file");
        return kExitCannotRun;
    }
    std::fprintf(out, "%.6f %.6f %ld\n", seconds(usage.ru_utime), seconds(usage.ru_stime), usage.ru_maxrss);
    std::fclose(out);
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return kSignalBase + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
