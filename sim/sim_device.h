#ifndef SIM_SIM_DEVICE_H
#define SIM_SIM_DEVICE_H

// The emulated device behind the serial link: the application with its CONFIG mode,
// and in BOOT mode the host microcontroller's bootloader, the device microcontroller's
// bootloader behind it (reached through forwarding), the Wi-Fi module's bootloader
// behind that, and the FPGA programmed by whichever bootloader receives its commands.
//
// The device is driven byte by byte and by the clock; it knows nothing of terminals.
// What it sends is queued as chunks tagged with the baud rate it sends them at, so
// that the link can garble them when the host listens at another rate.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/version.h"
#include "protocol/slip.h"
#include "sim/sim_config.h"
#include "sim/sim_container.h"
#include "sim/sim_faults.h"
#include "sim/sim_log.h"
#include "sim/sim_stats.h"
#include "sim/sim_store.h"

namespace devsim
{

// Status words of the emulated bootloaders (0, 1 and 3 are those the updater knows).
constexpr uint32_t kStatusOk = 0;
constexpr uint32_t kStatusBadFrame = 1;       // checksum or length of the frame wrong
constexpr uint32_t kStatusUnknownCommand = 2; // the bootloader has no such command
constexpr uint32_t kStatusBadData = 3;        // data too short or invalid for the command
constexpr uint32_t kStatusSequence = 4;       // the command is not valid at this point
constexpr uint32_t kStatusOutOfRange = 5;     // part beyond the largest image
constexpr uint32_t kStatusVerifyFailed = 0x10;
constexpr uint32_t kStatusStorageFailed = 0x11;

constexpr uint64_t kRestartMs = 300;       // time a restart takes; input is lost meanwhile
constexpr uint64_t kFrameGapMs = 500;      // a frame silent this long is abandoned
constexpr size_t kMaxTextLine = 256;       // longer text lines are discarded
constexpr uint32_t kFrameCapacity = 65535; // decoded bytes of the largest frame accepted

enum class Mode
{
    Application,
    Config,
    Restarting,
    Boot,
};

enum class Role
{
    Host,   // host microcontroller's bootloader
    Device, // device microcontroller's bootloader
    Wifi,   // Wi-Fi module's bootloader
};

struct OutputChunk
{
    std::vector<uint8_t> bytes;
    uint32_t baud; // the rate the device sends these bytes at
};

struct DeviceIdentity
{
    uint32_t productId = 0;
    uint32_t hardwareId = 0;
    uint32_t protocolId = kDefaultProtocolId;
};

class Device
{
  public:
    Device(const SimConfig &config, const DeviceIdentity &identity, ComponentStore &store,
           const Container *pContainer, Stats &stats, FaultPlan &faults, Logger &log);

    // Bytes the host sent, with the baud rate the host's port is set to.
    void receive(const uint8_t *pData, size_t length, uint32_t hostBaud, uint64_t nowMs);
    // Lets timed events happen (the end of a restart, a late answer falling due).
    void tick(uint64_t nowMs);
    // When tick must be called next, if anything is pending.
    std::optional<uint64_t> nextDeadline() const;
    // The host closed the port: a half-received frame or line is lost.
    void portClosed();

    std::vector<OutputChunk> takeOutput();
    // True once when the link must drop (a --disconnect-at-part fault), for *pMs.
    bool takeDisconnect(uint32_t *pMs);

    Mode mode() const { return m_mode; }
    bool isLocked() const { return m_isLocked; }
    bool isForwarding() const { return m_isForwarding; }
    bool isWifiHandedOver() const { return m_isWifiHandedOver; }
    // Rate the device listens and answers at in its current mode.
    uint32_t baud() const;

  private:
    struct Packet
    {
        uint8_t cmd;
        const uint8_t *data;
        uint32_t length;
    };
    struct Reply
    {
        uint8_t cmd = 0;
        uint32_t status = kStatusOk;
        std::vector<uint8_t> payload; // after the status word
    };
    struct HeldAnswer
    {
        uint64_t dueMs;
        uint32_t request; // the request it answers, for the trace
        OutputChunk chunk;
    };
    struct Session
    {
        bool isActive = false;
        uint32_t partSize = 0;
        _tVersion previous{};
    };
    struct FpgaSession
    {
        bool isBegun = false;
        bool isPhaseActive = false;
        uint32_t memory = 0;
        uint32_t operation = 0;
        uint32_t pages = 0;
        uint32_t partSize = 0;
        bool isErased = false;
        _tVersion previous{};
    };

    void acceptByte(uint8_t ubByte, uint64_t nowMs);
    void resetParsers();
    void onLine(const std::string &line, uint64_t nowMs);
    std::string answerText(const std::string &command, uint64_t nowMs);
    void onFrame(const uint8_t *pFrame, uint16_t length, uint64_t nowMs);
    void restart(Mode target, uint64_t nowMs);
    void resetBootloaders();

    Reply executeHost(const Packet &req);
    Reply executeDevice(const Packet &req, bool isViaHost);
    Reply executeWifi(const Packet &req);
    bool executeCommon(Role role, const Packet &req, Reply *pReply);
    Reply forward(const Packet &req, Role target);
    Reply hello(Role role, const Packet &req);
    Reply program(Image image, const Packet &req);
    Reply fpga(const Packet &req);
    Reply fpgaBegin(const Packet &req);
    Reply fpgaPhase(const Packet &req);
    Reply fpgaPart(const Packet &req);
    Reply fpgaUsercode(const Packet &req);
    Reply fpgaEnd(const Packet &req);

    void finishImage(Image image, Session &session);
    uint32_t writePart(Image image, uint32_t &partSize, const Packet &req);
    uint32_t verifyPart(Image image, const Packet &req);
    void countPart();
    Reply reply(const Packet &req, uint32_t status);
    void account(const Reply &r);
    void sendReply(const Reply &r, uint64_t nowMs);
    void deliverHeldAnswers(uint64_t nowMs);
    void emit(const std::vector<uint8_t> &bytes);
    void emitText(const std::string &line);
    void deviceLog(const std::string &text);

    const SimConfig &m_config;
    DeviceIdentity m_identity;
    ComponentStore &m_store;
    const Container *m_pContainer;
    Stats &m_stats;
    FaultPlan &m_faults;
    Logger &m_log;

    Mode m_mode = Mode::Application;
    Mode m_restartTarget = Mode::Application;
    uint64_t m_restartAtMs = 0;
    bool m_isLocked = false;
    bool m_isForwarding = false;     // the host forwards FORWARD requests to the device bootloader
    bool m_isWifiHandedOver = false; // the device bootloader passes its link to the Wi-Fi bootloader
    std::array<Session, kImageCount> m_sessions{};
    FpgaSession m_fpga;

    std::string m_line;
    bool m_isLineOverflow = false;
    std::vector<uint8_t> m_frame;
    _tSlipDetector m_detector{};
    uint64_t m_lastByteMs = 0;
    std::string m_trace; // description of the request being executed, for -v

    std::vector<OutputChunk> m_output;
    std::vector<HeldAnswer> m_heldAnswers; // late answers, sent once due
    bool m_isDisconnectPending = false;
    uint32_t m_disconnectMs = 0;
};

// Encodes a frame with the given checksum value through the project's SLIP sender.
std::vector<uint8_t> encodeFrame(uint8_t ubDir, uint8_t ubCmd, uint32_t ulChecksum,
                                 const std::vector<uint8_t> &data);

} // namespace devsim

#endif
