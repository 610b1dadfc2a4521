#include "sim/sim_session.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <vector>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "protocol/slip.h"
#include "sim/sim_container.h"
#include "sim/sim_device.h"
#include "sim/sim_faults.h"
#include "sim/sim_options.h"
#include "sim/sim_pty.h"
#include "sim/sim_stats.h"
#include "sim/sim_store.h"
#include "sim/sim_verify.h"
#include "tools/atomic_write.h"

namespace devsim
{

namespace
{

volatile std::sig_atomic_t s_isStopRequested = 0;

constexpr int kIdlePollMs = 100;  // longest wait when nothing is due
constexpr int kHangupPollMs = 10; // re-check interval while nobody has the port open
constexpr int kReconnectRetryMs = 1000;
constexpr size_t kReadChunk = 4096;
constexpr size_t kMaxPendingOutput = 1 << 20; // output kept for a host that does not read
constexpr uint64_t kUsPerMs = 1000;
// The benchmark's floor probe (bench/bench_floor.cpp) paces like this loop: change the
// pacing constants here and there together.
constexpr uint64_t kWireBatchUs = 1000; // throttled bytes are passed on at least this often
// A throttled wire wakes this much before a byte falls due and waits the rest out
// in a loop that yields the processor: a sleeping process on a virtual machine
// wakes up to a few hundred microseconds late, and every round trip would pay it.
constexpr uint64_t kWakeEarlyUs = 300;
// After an answer has gone out, the next request is near: the loop watches the
// port in the same way for this long, rather than sleep and wake late for it.
constexpr uint64_t kWatchAfterAnswerUs = 1000;
constexpr uint64_t kUsPerSecond = 1000000;
constexpr uint64_t kNsPerUs = 1000;
constexpr uint64_t kNsPerSecond = 1000000000;
constexpr uint64_t kBitsPerByte = 10; // start bit, 8 data bits, stop bit
constexpr uint8_t kGarbleHigh = 0xF0; // bytes at a wrong rate arrive as junk
constexpr uint8_t kGarbleLow = 0x0F;

void onSignal(int)
{
    s_isStopRequested = 1;
}

uint64_t nowUs()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

// Wire time of one byte at the port's rate, or at the throttle's own rate when one is given.
// Kept in nanoseconds: whole microseconds would make the wire up to 10 % fast at 3 Mbaud.
uint64_t byteTimeNs(uint32_t baud, uint32_t throttleBaud)
{
    uint32_t rate = throttleBaud > 0 ? throttleBaud : (baud > 0 ? baud : kBootBaud);
    return std::max<uint64_t>(1, kBitsPerByte * kNsPerSecond / rate);
}

// The moment, in whole microseconds, at which a byte whose wire is free at freeNs has crossed it.
uint64_t arrivalUs(uint64_t freeNs)
{
    return (freeNs + kNsPerUs - 1) / kNsPerUs;
}

struct TimedByte
{
    uint64_t atUs;
    uint8_t byte;
    uint32_t baud;
};

// The loop that joins the device to its terminal.
class Session
{
  public:
    Session(const SimConfig &config, Logger &log) : m_config(config), m_log(log) {}
    int run();

  private:
    bool setUp();
    void tearDown();
    void step();
    void readHost(uint64_t now);
    void deliver(const uint8_t *pData, size_t length, uint32_t baud, uint64_t now);
    void collectOutput(uint64_t now, uint64_t startNs);
    void writeOutput(uint64_t now);
    void portOpened(uint64_t now);
    void portClosed(uint64_t now);
    void dropLink(uint64_t now, uint32_t ms);
    void tryReconnect(uint64_t now);
    bool loadIdentity(DeviceIdentity *pIdentity);
    uint64_t pollTimeoutUs(uint64_t now) const;
    bool writeSummary();

    const SimConfig &m_config;
    Logger &m_log;
    std::string m_stateDir;
    bool m_isTemporaryState = false;
    ComponentStore m_store;
    Container m_container;
    bool m_hasContainer = false;
    Stats m_stats;
    std::unique_ptr<FaultPlan> m_faults;
    std::unique_ptr<Device> m_device;
    PtyLink m_link;

    uint64_t m_startUs = 0;
    bool m_isPortOpen = false;
    bool m_isDisconnected = false;
    uint64_t m_reconnectAtUs = 0;
    std::deque<TimedByte> m_output; // bytes on their way to the host
    uint64_t m_inputFreeNs = 0;     // when the host-to-device wire is free again
    uint64_t m_watchUntilUs = 0;    // the loop does not sleep before then (throttle)
    uint64_t m_outputFreeNs = 0;
};

bool Session::setUp()
{
    std::string error;
    m_stateDir = m_config.stateDir;
    if (m_stateDir.empty())
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "devsim-state-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
        {
            m_log.error("cannot create a temporary state directory");
            return false;
        }
        m_stateDir = pattern;
        m_isTemporaryState = true;
    }
    if (!m_store.open(m_stateDir, &error))
    {
        m_log.error(error);
        return false;
    }
    for (const auto &[slot, code] : m_config.versions)
    {
        if (!m_store.setVersionCode(slot, code))
        {
            m_log.error("cannot write " + m_store.versionsPath());
            return false;
        }
    }

    DeviceIdentity identity;
    if (!loadIdentity(&identity))
        return false;
    m_faults = std::make_unique<FaultPlan>(m_config.faults, m_stats);
    m_device = std::make_unique<Device>(m_config, identity, m_store, m_hasContainer ? &m_container : nullptr,
                                        m_stats, *m_faults, m_log);
    if (!m_link.open(m_config.linkPath, &error))
    {
        m_log.error(error);
        return false;
    }
    m_log.note("device ready on " + m_config.linkPath + " (" + m_link.slaveName() + ")");
    m_log.note(format("%s, product id %u, hardware id %u, %s mode%s",
                      m_config.noHost ? "no host microcontroller" : "host microcontroller",
                      identity.productId, identity.hardwareId, m_config.startInBoot ? "BOOT" : "application",
                      m_config.startInBoot ? "" : format(" at %u baud", m_config.appBaud).c_str()));
    m_log.note("state in " + m_stateDir + (m_isTemporaryState ? " (removed on exit)" : ""));
    return true;
}

// The identity the bootloaders report: the container's unless the command line gives one.
bool Session::loadIdentity(DeviceIdentity *pIdentity)
{
    pIdentity->protocolId = m_config.protocolId;
    if (!m_config.containerPath.empty())
    {
        std::string error;
        if (!m_container.load(m_config.containerPath, &error))
        {
            m_log.error(error);
            return false;
        }
        m_hasContainer = true;
        pIdentity->productId = m_container.header().ulProductId;
        pIdentity->hardwareId = m_container.header().ulHardwareId;
    }
    pIdentity->productId = m_config.productId.value_or(pIdentity->productId);
    pIdentity->hardwareId = m_config.hardwareId.value_or(pIdentity->hardwareId);
    return true;
}

void Session::tearDown()
{
    m_link.close();
    if (m_isTemporaryState)
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_stateDir, ignored);
    }
}

void Session::portOpened(uint64_t now)
{
    m_isPortOpen = true;
    m_stats.portOpens++;
    m_log.trace(now / kUsPerMs, "port opened by the host");
}

void Session::portClosed(uint64_t now)
{
    m_isPortOpen = false;
    m_stats.portCloses++;
    m_device->portClosed();
    m_stats.bytesDropped += m_output.size();
    m_output.clear();
    m_link.discardUnread();
    m_log.trace(now / kUsPerMs, "port closed by the host");
}

void Session::dropLink(uint64_t now, uint32_t ms)
{
    m_link.close();
    m_isDisconnected = true;
    m_isPortOpen = false;
    m_reconnectAtUs = now + ms * kUsPerMs;
    m_device->portClosed();
    m_output.clear();
    m_log.note(format("link dropped for %u ms (injected): %s is gone", ms, m_config.linkPath.c_str()));
}

void Session::tryReconnect(uint64_t now)
{
    std::string error;
    if (!m_link.open(m_config.linkPath, &error))
    {
        m_log.error(error + "; retrying");
        m_reconnectAtUs = now + kReconnectRetryMs * kUsPerMs;
        return;
    }
    m_isDisconnected = false;
    m_inputFreeNs = m_outputFreeNs = now * kNsPerUs;
    m_log.note("link back on " + m_config.linkPath + " (" + m_link.slaveName() + ")");
}

void Session::readHost(uint64_t now)
{
    uint8_t buffer[kReadChunk];
    for (;;)
    {
        ssize_t n = ::read(m_link.masterFd(), buffer, sizeof(buffer));
        if (n <= 0)
            return; // nothing more (EAGAIN), or EIO: nobody has the port open
        if (!m_isPortOpen)
            portOpened(now);
        m_watchUntilUs = 0; // the request the loop was watching for is here
        deliver(buffer, static_cast<size_t>(n), m_link.hostBaud(), now);
    }
}

// Hands the device bytes the host has just written, as soon as they are read. On a
// throttled wire they arrive later, one byte time each: the device takes each
// request or line at the moment its last byte arrives, and its answer starts on the
// wire then, so the device answers in no time at all, however long the emulator
// takes to work out the answer, and without a wake-up at the end of every request.
// The bytes are handed over up to the end of each frame or line, so that every
// answer starts when the bytes it answers have arrived.
void Session::deliver(const uint8_t *pData, size_t length, uint32_t baud, uint64_t now)
{
    const uint64_t byteNs = byteTimeNs(baud, m_config.faults.throttleBaud);
    size_t start = 0;
    for (size_t i = 0; i < length; i++)
    {
        const bool isPieceEnd =
            pData[i] == SLIP_END || pData[i] == '\n' || pData[i] == '\r' || i + 1 == length;
        if (!isPieceEnd)
            continue;
        uint64_t arrivedNs = now * kNsPerUs;
        if (m_config.faults.throttle)
            arrivedNs = m_inputFreeNs = std::max(m_inputFreeNs, arrivedNs) + (i + 1 - start) * byteNs;
        m_device->receive(pData + start, i + 1 - start, baud, arrivalUs(arrivedNs) / kUsPerMs);
        collectOutput(now, arrivedNs);
        start = i + 1;
    }
}

// Queues what the device has said for the host; its wire starts at startNs or when
// the wire is free, whichever is later.
void Session::collectOutput(uint64_t now, uint64_t startNs)
{
    uint32_t hostBaud = m_link.hostBaud();
    for (OutputChunk &chunk : m_device->takeOutput())
    {
        if (!m_isPortOpen || m_output.size() + chunk.bytes.size() > kMaxPendingOutput)
        {
            m_stats.bytesDropped += chunk.bytes.size();
            continue;
        }
        bool isGarbled = chunk.baud != hostBaud;
        for (uint8_t byte : chunk.bytes)
        {
            if (isGarbled)
            {
                m_stats.garbledBytes++;
                byte = static_cast<uint8_t>(kGarbleHigh | (byte & kGarbleLow));
            }
            uint64_t at = now;
            if (m_config.faults.throttle)
            {
                m_outputFreeNs =
                    std::max(m_outputFreeNs, startNs) + byteTimeNs(hostBaud, m_config.faults.throttleBaud);
                at = arrivalUs(m_outputFreeNs);
            }
            m_output.push_back({at, byte, hostBaud});
        }
    }
}

void Session::writeOutput(uint64_t now)
{
    uint8_t buffer[kReadChunk];
    while (!m_output.empty() && m_output.front().atUs <= now)
    {
        size_t n = 0;
        while (n < sizeof(buffer) && n < m_output.size() && m_output[n].atUs <= now)
        {
            buffer[n] = m_output[n].byte;
            n++;
        }
        ssize_t written = ::write(m_link.masterFd(), buffer, n);
        if (written <= 0)
            return; // the host's input is full; try again when it reads
        m_stats.bytesToHost += static_cast<uint64_t>(written);
        m_output.erase(m_output.begin(), m_output.begin() + written);
        if (m_output.empty())
            m_watchUntilUs = now + kWatchAfterAnswerUs;
    }
}

// How long the loop may sleep before something falls due, in microseconds. Bytes
// on the wire are handed on in batches of up to a millisecond, but the last byte
// of an answer is due to the microsecond, so that the emulator adds no latency of
// its own to a round trip. A throttled wire wakes early and watches the rest.
uint64_t Session::pollTimeoutUs(uint64_t now) const
{
    if (m_config.faults.throttle && now < m_watchUntilUs)
        return 0;
    uint64_t waitUs = kIdlePollMs * kUsPerMs;
    auto until = [&](uint64_t atUs) { waitUs = std::min(waitUs, atUs > now ? atUs - now : 0); };
    auto untilBatch = [&](const std::deque<TimedByte> &queue)
    { until(std::min(queue.front().atUs + kWireBatchUs, queue.back().atUs)); };
    if (auto deadline = m_device->nextDeadline())
        until(*deadline * kUsPerMs);
    if (!m_output.empty() && m_config.faults.throttle)
        untilBatch(m_output);
    if (m_config.faults.throttle)
        waitUs = waitUs > kWakeEarlyUs ? waitUs - kWakeEarlyUs : 0;
    return waitUs;
}

void Session::step()
{
    uint64_t now = nowUs();
    if (m_isDisconnected)
    {
        m_device->tick(now / kUsPerMs);
        m_device->takeOutput(); // nobody can hear it
        if (now >= m_reconnectAtUs)
            tryReconnect(now);
        else
            ::usleep(
                static_cast<useconds_t>(std::min<uint64_t>(m_reconnectAtUs - now, kIdlePollMs * kUsPerMs)));
        return;
    }

    struct pollfd pfd = {m_link.masterFd(), POLLIN, 0};
    bool isWaitingToWrite = !m_output.empty() && (!m_config.faults.throttle || m_output.front().atUs <= now);
    if (isWaitingToWrite)
        pfd.events |= POLLOUT;
    uint64_t waitUs = pollTimeoutUs(now);
    struct timespec timeout = {static_cast<time_t>(waitUs / kUsPerSecond),
                               static_cast<long>(waitUs % kUsPerSecond * kNsPerUs)};
    int ready = ::ppoll(&pfd, 1, &timeout, nullptr);
    if (ready < 0 && errno != EINTR)
    {
        m_log.error(std::string("poll failed: ") + std::strerror(errno));
        ::usleep(kHangupPollMs * kUsPerMs);
        return;
    }
    if (ready == 0 && waitUs == 0)
        ::sched_yield(); // watching: whoever else is ready to run goes first
    now = nowUs();
    if (ready > 0 && (pfd.revents & POLLIN))
        readHost(now);
    bool isHungUp = ready > 0 && (pfd.revents & POLLHUP);
    if (!isHungUp && !m_isPortOpen && ready >= 0)
        portOpened(now);

    m_device->tick(now / kUsPerMs);
    uint32_t disconnectMs = 0;
    if (m_device->takeDisconnect(&disconnectMs))
    {
        dropLink(now, disconnectMs);
        return;
    }
    collectOutput(now, now * kNsPerUs);
    if (isHungUp)
    {
        if (m_isPortOpen)
            portClosed(now);
        ::usleep(kHangupPollMs * kUsPerMs); // the hang-up stays reported until the host reopens
        return;
    }
    writeOutput(now);
}

bool Session::writeSummary()
{
    if (m_config.summaryPath.empty())
        return true;
    m_stats.durationMs = (nowUs() - m_startUs) / kUsPerMs;
    // Whole or not at all, like a container: a reader never finds half a summary.
    const std::string json = m_stats.toJson();
    std::string error;
    if (!tools::writeFileAtomically(m_config.summaryPath, json.data(), json.size(), error))
    {
        m_log.error("cannot write the summary: " + error);
        return false;
    }
    return true;
}

int Session::run()
{
    m_startUs = nowUs();
    m_log.setOrigin(m_startUs / kUsPerMs);
    // The loop sleeps until the last byte of a request or an answer is due; the kernel's
    // default timer slack (50 us) would add to every round trip of a throttled link.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (!setUp())
    {
        tearDown();
        return 1;
    }
    while (!s_isStopRequested)
        step();
    m_log.note("stopping");
    bool isSummaryWritten = writeSummary();
    tearDown();
    return isSummaryWritten ? 0 : 1;
}

} // namespace

void requestStop()
{
    s_isStopRequested = 1;
}

int runSession(const SimConfig &config, Logger &log)
{
    s_isStopRequested = 0;
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    Session session(config, log);
    return session.run();
}

int devsimMain(int argc, const char *const *argv)
{
    if (argc > 1 && std::string(argv[1]) == "verify")
    {
        std::vector<std::string> args(argv + 2, argv + argc);
        bool isNoHost = !args.empty() && args[0] == "--no-host";
        if (isNoHost)
            args.erase(args.begin());
        if (args.size() != 2)
        {
            std::fprintf(stderr, "devsim: usage: devsim verify [--no-host] STATE_DIR FILE.aff\n");
            return 1;
        }
        return runVerify(args[0], args[1], isNoHost, stdout, stderr);
    }
    SimConfig config;
    std::string error;
    switch (parseOptions(argc - 1, argv + 1, &config, &error))
    {
    case ParseResult::Help:
        std::fputs(usageText().c_str(), stdout);
        return 0;
    case ParseResult::Error:
        std::fprintf(stderr, "devsim: %s\nTry 'devsim --help'.\n", error.c_str());
        return 1;
    default:
        break;
    }
    Logger log(config.verbose);
    return runSession(config, log);
}

} // namespace devsim
