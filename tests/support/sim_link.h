#ifndef TESTS_SUPPORT_SIM_LINK_H
#define TESTS_SUPPORT_SIM_LINK_H

// The one in-memory link of the tests and fuzz targets: the engine's callbacks (or a byte channel) on
// one side, the emulator's device model or hooks on the other, and a virtual clock that a clock reading
// advances by 1 ms and an empty read by 50 ms. SimRig puts a device in its own state directory behind it.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/updater.h"
#include "protocol/byte_channel.h"
#include "sim/sim_device.h"
#include "tests/support/temp_dir.h"

namespace testsupport
{

using Bytes = std::vector<uint8_t>;

class SimLink
{
  public:
    std::deque<uint8_t> rx; // bytes on their way to the host
    Bytes tx;               // every byte the host wrote, in order
    uint64_t nowMs = 1000000;
    uint32_t readWaitMs = 50; // a read that finds nothing advances the clock this far
    uint32_t clockStepMs = 1; // and every clock reading this far
    uint32_t hostBaud = 115200;
    uint32_t readAttempts = 0, idleReads = 0; // idle: a read that found nothing
    std::vector<std::string> logs;
    std::vector<uint8_t> progress;
    std::string screen;                // the log and progress calls as the updater's terminal shows them
    std::vector<uint8_t> percentAtLog; // the last progress reported when each log line came
    devsim::Device *pDevice = nullptr; // the far end, or the hooks below
    // The container the engine reads, registered again after the emulator's model read its own.
    const Bytes *pEngineAff = nullptr;

    std::function<void(SimLink &, uint8_t)> onWrite;   // each byte the host wrote
    std::function<void(SimLink &)> onIdleRead;         // a read found rx empty
    std::function<void(const Bytes &)> onDeviceOutput; // what the device put on the wire

    void push(const Bytes &bytes) { rx.insert(rx.end(), bytes.begin(), bytes.end()); }
    void pushText(const std::string &text) { rx.insert(rx.end(), text.begin(), text.end()); }
    std::string txText() const { return std::string(tx.begin(), tx.end()); }
    size_t countLog(const std::string &l) const { return size_t(std::count(logs.begin(), logs.end(), l)); }

    _tSerial channel();
    _tUpdaterCallbacks callbacks();

    uint8_t readByte(uint8_t *pByte);
    void writeByte(uint8_t ubByte);
    uint64_t getMs() { return (nowMs += clockStepMs) - clockStepMs; }
    // The device sees its port close; what was on its way to the host is gone.
    void close() { (pDevice != nullptr ? pDevice->portClosed() : void()), rx.clear(); }
    // The link is lost for ms: what is on its way either way is gone, and the device sees its port close.
    void dropLink(uint32_t ms) { m_downUntilMs = nowMs + ms, close(); }

  private:
    static SimLink *of(void *pUser) { return static_cast<SimLink *>(pUser); }
    void serviceDevice();
    uint64_t m_downUntilMs = 0; // a dropped link is back at this time
};

// The emulator's device model with its own state directory behind a SimLink.
// Set config, aff and identity before the first run (or start()).
class SimRig
{
  public:
    SimRig();

    devsim::SimConfig config;
    Bytes aff;                          // the container; empty: none
    Bytes updateAff;                    // what the engine is given, when not aff
    std::optional<uint32_t> productId;  // config's, else the container's, when not set
    std::optional<uint32_t> hardwareId; // idem
    devsim::Stats stats;
    devsim::ComponentStore store;
    SimLink link;
    std::function<bool()> stopWhen; // checked after every step of a run: true abandons it

    void start();
    // One operation of the engine over the link with the container in memory.
    uint8_t run(uint32_t ulOp, uint8_t isVerbose = 0, uint8_t isUcLog = 0);
    // devsim verify of the state against the container: 0 when every image matches.
    int verify(std::string *pReport = nullptr) const;
    devsim::Device &device() { return *m_device; }
    const std::string &dir() const { return m_dir; } // holds the state directory and the container

  private:
    TempDir m_tmp;
    std::string m_dir = m_tmp.path;
    devsim::Container m_container;
    bool m_hasContainer = false;
    devsim::Logger m_log;
    std::unique_ptr<devsim::FaultPlan> m_faults;
    std::unique_ptr<devsim::Device> m_device;
};

// A request or response frame with a correct checksum, as the project encodes it.
Bytes slipFrame(uint8_t ubDir, uint8_t ubCmd, const Bytes &data);
// The same frame decoded (END to END), and a decoded (perhaps altered) frame encoded again.
Bytes decodedFrame(uint8_t ubDir, uint8_t ubCmd, const Bytes &data);
Bytes encodeDecoded(const Bytes &decoded);
inline Bytes le32(uint32_t v)
{
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}
Bytes cat(std::initializer_list<Bytes> parts);
inline Bytes statusData(uint32_t status, const Bytes &extra = {})
{
    return cat({le32(status), extra});
}
std::string hex(const Bytes &bytes);
inline std::string hex(const uint8_t *p, size_t n)
{
    return hex(Bytes(p, p + n));
}
Bytes unhex(const std::string &text); // "C0 00 0A" -> bytes

// What a device sent, split into text lines and decoded frames.
struct Traffic
{
    std::vector<std::string> lines;
    std::vector<Bytes> frames; // END to END, decoded
};
Traffic splitTraffic(const Bytes &bytes);
} // namespace testsupport

#endif
