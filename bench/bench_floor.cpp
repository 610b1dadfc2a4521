// What this machine alone costs for round trips like an update's: a bare client and
// a bare device over a pseudo-terminal, with no code of the project in between. The
// client writes a request and waits for the answer, as the updater does; the device
// gives every byte its wire time and paces its answer as the emulator does (it wakes
// a little early, watches the rest out and watches for the next request after an
// answer). What the run takes beyond the wire time of its bytes is the machine's
// floor: the hand-overs through the pseudo-terminal and the wake-ups of the two
// processes, which a throttled update pays on every round trip too.
//
//   bench_floor ROUND_TRIPS REQUEST_BYTES ANSWER_BYTES BAUD
// Prints "WALL WIRE" in seconds.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr int kExitUsage = 2;
constexpr int kExitFailed = 1;
constexpr uint64_t kBitsPerByte = 10;
constexpr uint64_t kNsPerSecond = 1000000000;
// The emulator's own pacing (kWakeEarlyUs, kWatchAfterAnswerUs and kWireBatchUs in
// sim/sim_session.cpp), so that the floor is that of the same kind of device. The probe
// keeps its own copy on purpose: it measures the machine with no code of the project.
constexpr uint64_t kWakeEarlyNs = 300000;
constexpr uint64_t kWatchAfterAnswerNs = 1000000;
constexpr uint64_t kWireBatchNs = 1000000;
constexpr size_t kChunk = 4096;

uint64_t nowNs()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

// Waits until fd is readable or until the deadline (0: none). Like the emulator, it
// sleeps until earlyNs before the deadline and spins out the rest, yielding the
// processor. A negative descriptor makes it a plain wait.
bool waitReadable(int fd, uint64_t deadlineNs, uint64_t earlyNs)
{
    for (;;)
    {
        const uint64_t now = nowNs();
        if (deadlineNs != 0 && now >= deadlineNs)
            return false;
        uint64_t waitNs = deadlineNs == 0 ? kNsPerSecond : deadlineNs - now;
        waitNs = waitNs > earlyNs ? waitNs - earlyNs : 0;
        struct pollfd pfd = {fd, POLLIN, 0};
        struct timespec timeout = {static_cast<time_t>(waitNs / kNsPerSecond),
                                   static_cast<long>(waitNs % kNsPerSecond)};
        const int ready = ::ppoll(&pfd, 1, &timeout, nullptr);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
        if (waitNs == 0)
            ::sched_yield();
    }
}

// Reads exactly count bytes. The device watches for the first of them until
// watchUntilNs, as the emulator does after an answer, and sleeps only after that.
bool readAll(int fd, size_t count, uint64_t watchUntilNs, uint64_t *pFirstNs)
{
    uint8_t buffer[kChunk];
    size_t got = 0;
    while (got < count)
    {
        const bool isWatching = got == 0 && nowNs() < watchUntilNs;
        if (!waitReadable(fd, isWatching ? watchUntilNs : 0, isWatching ? kWatchAfterAnswerNs : kWakeEarlyNs))
        {
            if (isWatching)
                continue; // the watch is over: sleep until the bytes come
            return false; // the port cannot be waited on
        }
        const ssize_t n = ::read(fd, buffer, std::min(sizeof(buffer), count - got));
        if (n <= 0)
            return false;
        if (got == 0 && pFirstNs)
            *pFirstNs = nowNs();
        got += static_cast<size_t>(n);
    }
    return true;
}

bool writeAll(int fd, const uint8_t *pData, size_t count)
{
    while (count > 0)
    {
        const ssize_t n = ::write(fd, pData, count);
        if (n <= 0)
            return false;
        pData += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

// The device: each request's bytes cross the wire from the moment they are read,
// then the answer's bytes cross it one byte time each and are handed on as they fall due.
int runDevice(int fd, long roundTrips, size_t requestBytes, size_t answerBytes, uint64_t byteNs)
{
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const std::vector<uint8_t> answer(answerBytes, 0x55);
    uint64_t watchUntilNs = 0;
    for (long i = 0; i < roundTrips; i++)
    {
        uint64_t readNs = 0;
        if (!readAll(fd, requestBytes, watchUntilNs, &readNs))
            return kExitFailed;
        const uint64_t answerStartNs = readNs + requestBytes * byteNs;
        // Bytes are handed on as they fall due, in batches of up to a millisecond, and
        // the loop wakes early for each batch, as in the emulator.
        auto dueNs = [&](size_t byte) { return answerStartNs + (byte + 1) * byteNs; };
        size_t sent = 0;
        while (sent < answerBytes)
        {
            const uint64_t now = nowNs();
            size_t due = sent;
            while (due < answerBytes && dueNs(due) <= now)
                due++;
            if (!writeAll(fd, answer.data() + sent, due - sent))
                return kExitFailed;
            sent = due;
            if (sent == answerBytes)
                break;
            // Sleep until shortly before the batch falls due; once there, watch, and
            // hand on each byte as it falls due.
            const uint64_t untilNs = std::min(dueNs(sent) + kWireBatchNs, dueNs(answerBytes - 1));
            if (untilNs - now > kWakeEarlyNs)
                waitReadable(-1, untilNs - kWakeEarlyNs, 0);
            else
                ::sched_yield();
        }
        watchUntilNs = nowNs() + kWatchAfterAnswerNs;
    }
    // Stay until the client has closed its end: closing ours first could take the last
    // answer's bytes away from the client before it has read them.
    uint8_t byte = 0;
    while (::read(fd, &byte, 1) > 0)
    {
    }
    return 0;
}

void makeRaw(int fd)
{
    struct termios tio;
    if (::tcgetattr(fd, &tio) == 0)
    {
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5)
    {
        std::fprintf(stderr, "usage: bench_floor ROUND_TRIPS REQUEST_BYTES ANSWER_BYTES BAUD\n");
        return kExitUsage;
    }
    const long roundTrips = std::atol(argv[1]);
    const long requestBytes = std::atol(argv[2]);
    const long answerBytes = std::atol(argv[3]);
    const long baud = std::atol(argv[4]);
    if (roundTrips <= 0 || requestBytes <= 0 || answerBytes <= 0 || baud <= 0)
    {
        std::fprintf(stderr, "bench_floor: every argument must be a positive number\n");
        return kExitUsage;
    }
    const uint64_t byteNs = kBitsPerByte * kNsPerSecond / static_cast<uint64_t>(baud);
    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
    {
        std::perror("bench_floor: openpty");
        return kExitFailed;
    }
    makeRaw(slave);
    makeRaw(master);
    const pid_t device = ::fork();
    if (device < 0)
    {
        std::perror("bench_floor: fork");
        return kExitFailed;
    }
    if (device == 0)
    {
        ::close(slave);
        ::_exit(runDevice(master, roundTrips, static_cast<size_t>(requestBytes),
                          static_cast<size_t>(answerBytes), byteNs));
    }
    ::close(master);

    // The client: write a request, block until its whole answer is in, again.
    const std::vector<uint8_t> request(static_cast<size_t>(requestBytes), 0xAA);
    const uint64_t startNs = nowNs();
    bool isOk = true;
    for (long i = 0; isOk && i < roundTrips; i++)
        isOk = writeAll(slave, request.data(), request.size()) &&
               readAll(slave, static_cast<size_t>(answerBytes), 0, nullptr);
    const uint64_t wallNs = nowNs() - startNs;
    ::close(slave);
    int status = 0;
    ::waitpid(device, &status, 0);
    if (!isOk || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    {
        std::fprintf(stderr, "bench_floor: the round trips did not complete\n");
        return kExitFailed;
    }
    const double wire = static_cast<double>(roundTrips) * static_cast<double>(requestBytes + answerBytes) *
                        static_cast<double>(byteNs) / 1e9;
    std::printf("%.6f %.6f\n", static_cast<double>(wallNs) / 1e9, wire);
    return 0;
}
