// Byte intake and dispatch: bytes from the host become text lines and frames, a frame
// goes to the bootloader that answers on the link, and answers go out through the
// fault plan. Timed events (the end of a restart, a late answer) happen in tick().

#include "sim/sim_device.h"

#include <algorithm>
#include <cstdarg>

#include "common/le_bytes.h"
#include "protocol/commands.h"
#include "sim/sim_device_shared.h"

namespace devsim
{

namespace
{

const std::string kBootloaderStart = "AT+BOOTLOADER_START";
const std::string kLineEnd = "\r\n";
constexpr char kLogLinePrefix = 'L';

constexpr uint32_t kSlipDetectorIdle = 0;
constexpr uint32_t kChecksumDamage = 0x0001; // flipped in a corrupted response's checksum

void captureByte(_tSerial *pSerial, uint8_t ubByte)
{
    static_cast<std::vector<uint8_t> *>(pSerial->pUser)->push_back(ubByte);
}
uint64_t noClock(_tSerial *)
{
    return 0;
}

void sendPieces(_tSerial *pSerial, uint8_t ubDir, uint8_t ubCmd, uint32_t ulChecksum, uint32_t ulPieceCount,
                ...)
{
    va_list ap;
    va_start(ap, ulPieceCount);
    uint8_t ubCount = (uint8_t)ulPieceCount;
    slipSendVaPacket(pSerial, ubDir, ubCmd, ulChecksum, ubCount, ap);
    va_end(ap);
}

} // namespace

std::vector<uint8_t> encodeFrame(uint8_t ubDir, uint8_t ubCmd, uint32_t ulChecksum,
                                 const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> bytes;
    _tSerial sCapture{};
    sCapture.fnWriteByte = captureByte;
    sCapture.fnGetMs = noClock;
    sCapture.pUser = &bytes;
    sendPieces(&sCapture, ubDir, ubCmd, ulChecksum, 1, static_cast<const uint8_t *>(data.data()),
               static_cast<uint32_t>(data.size()));
    return bytes;
}

Device::Device(const SimConfig &config, const DeviceIdentity &identity, ComponentStore &store,
               const Container *pContainer, Stats &stats, FaultPlan &faults, Logger &log)
    : m_config(config), m_identity(identity), m_store(store), m_pContainer(pContainer), m_stats(stats),
      m_faults(faults), m_log(log), m_frame(kFrameCapacity)
{
    m_mode = config.startInBoot ? Mode::Boot : Mode::Application;
    m_detector.pBuffer = m_frame.data();
    m_detector.ulCapacity = kFrameCapacity;
}

uint32_t Device::baud() const
{
    return m_mode == Mode::Application ? m_config.appBaud : kBootBaud;
}

std::vector<OutputChunk> Device::takeOutput()
{
    std::vector<OutputChunk> out;
    out.swap(m_output);
    return out;
}

bool Device::takeDisconnect(uint32_t *pMs)
{
    if (!m_isDisconnectPending)
        return false;
    m_isDisconnectPending = false;
    *pMs = m_disconnectMs;
    return true;
}

std::optional<uint64_t> Device::nextDeadline() const
{
    std::optional<uint64_t> next;
    if (m_mode == Mode::Restarting)
        next = m_restartAtMs;
    for (const HeldAnswer &held : m_heldAnswers)
        next = std::min(next.value_or(held.dueMs), held.dueMs);
    return next;
}

void Device::tick(uint64_t nowMs)
{
    deliverHeldAnswers(nowMs);
    if (m_mode != Mode::Restarting || nowMs < m_restartAtMs)
        return;
    m_mode = m_restartTarget;
    m_log.trace(nowMs, std::string(m_mode == Mode::Boot ? "bootloader" : "application") + " started");
    if (m_mode == Mode::Boot)
        emitText(kBootloaderStart);
}

void Device::portClosed()
{
    resetParsers();
}

void Device::resetParsers()
{
    m_line.clear();
    m_isLineOverflow = false;
    m_detector.ulState = kSlipDetectorIdle;
}

void Device::resetBootloaders()
{
    m_isLocked = false;
    m_isForwarding = false;
    m_isWifiHandedOver = false;
    for (Session &session : m_sessions)
        session.isActive = false;
    m_fpga = FpgaSession();
}

void Device::restart(Mode target, uint64_t nowMs)
{
    m_mode = Mode::Restarting;
    m_restartTarget = target;
    m_restartAtMs = nowMs + kRestartMs;
    resetParsers();
    resetBootloaders();
    m_heldAnswers.clear(); // the bootloader that would have answered is gone
}

void Device::receive(const uint8_t *pData, size_t length, uint32_t hostBaud, uint64_t nowMs)
{
    m_stats.bytesFromHost += length;
    for (size_t i = 0; i < length; i++)
    {
        if (m_mode == Mode::Restarting)
            continue; // nobody listens while the device restarts
        if (hostBaud != baud())
        {
            // A byte at another rate arrives as a framing error: it is lost and breaks
            // whatever line or frame was being received.
            m_stats.garbledBytes++;
            resetParsers();
            continue;
        }
        acceptByte(pData[i], nowMs);
    }
}

void Device::acceptByte(uint8_t ubByte, uint64_t nowMs)
{
    bool isInFrame = m_detector.ulState != kSlipDetectorIdle;
    if (isInFrame && nowMs - m_lastByteMs > kFrameGapMs)
    {
        m_detector.ulState = kSlipDetectorIdle; // the rest of that frame is not coming
        isInFrame = false;
    }
    m_lastByteMs = nowMs;

    // Packets are only taken once the bootloader is locked; before that an END byte is
    // just noise on the text link.
    if (isInFrame || (ubByte == SLIP_END && m_mode == Mode::Boot && m_isLocked))
    {
        if (slipDetectFrame(&m_detector, ubByte) == 1)
            onFrame(m_frame.data(), m_detector.usStored, nowMs);
        return;
    }
    if (ubByte == '\r' || ubByte == '\n')
    {
        if (!m_line.empty() && !m_isLineOverflow)
            onLine(m_line, nowMs);
        m_line.clear();
        m_isLineOverflow = false;
        return;
    }
    if (m_line.size() >= kMaxTextLine)
    {
        m_isLineOverflow = true;
        return;
    }
    m_line.push_back(static_cast<char>(ubByte));
}

void Device::onFrame(const uint8_t *pFrame, uint16_t length, uint64_t nowMs)
{
    if (length >= 2 && pFrame[1] != SLIP_DIR_REQUEST)
    {
        m_log.trace(nowMs, format("ignored a frame with direction %u", pFrame[1]));
        return;
    }
    uint8_t ubCmd = length > 2 ? pFrame[2] : 0;
    m_stats.requests[commandName(ubCmd)]++;
    Packet req{ubCmd, pFrame + SLIP_HEADER_SIZE, length >= SLIP_OVERHEAD ? length - SLIP_OVERHEAD : 0u};

    uint32_t ulForced = 0;
    RequestFate fate = m_faults.onRequest(&ulForced);
    if (fate == RequestFate::Ignore)
    {
        m_log.trace(nowMs, "request " + commandName(ubCmd) + " -> no answer (silent)");
        return;
    }
    if (fate == RequestFate::AnswerStatus)
    {
        m_trace = "request " + commandName(ubCmd) + " not carried out (injected status)";
        sendReply(reply(req, ulForced), nowMs);
        return;
    }
    if (slipIsPacketValid(pFrame, length, 1) != 1)
    {
        m_trace = format("malformed %s frame (%u bytes: length or checksum wrong)",
                         commandName(ubCmd).c_str(), length);
        sendReply(reply(req, kStatusBadFrame), nowMs);
        return;
    }

    m_trace = "request ";
    Reply r = m_config.noHost ? executeDevice(req, false) : executeHost(req);
    if (m_isDisconnectPending)
    {
        m_log.trace(nowMs, m_trace + " -> link dropped before the answer (injected)");
        return;
    }
    sendReply(r, nowMs);
}

Device::Reply Device::reply(const Packet &req, uint32_t status)
{
    Reply r;
    r.cmd = req.cmd;
    r.status = status;
    return r;
}

void Device::account(const Reply &r)
{
    if (r.status == kStatusBadFrame || r.status == kStatusBadData)
        m_stats.malformedRequests++;
    else if (r.status != kStatusOk)
        m_stats.errorAnswers++;
}

void Device::sendReply(const Reply &r, uint64_t nowMs)
{
    account(r);
    m_stats.responses++;
    std::vector<uint8_t> data(kStatusSize + r.payload.size());
    lePutU32(data.data(), r.status);
    std::copy(r.payload.begin(), r.payload.end(), data.begin() + kStatusSize);

    std::string outcome = m_trace + " -> " + statusText(r.status);
    ResponseFate fate = m_faults.onResponse();
    if (fate == ResponseFate::Lose)
    {
        m_log.trace(nowMs, outcome + " (response lost, injected)");
        return;
    }
    uint32_t ulChecksum = slipCalcChecksum(data.data(), static_cast<uint32_t>(data.size()), 1);
    if (fate == ResponseFate::Corrupt)
    {
        ulChecksum ^= kChecksumDamage;
        outcome += " (checksum corrupted, injected)";
    }
    std::vector<uint8_t> frame = encodeFrame(SLIP_DIR_RESPONSE, r.cmd, ulChecksum, data);
    uint32_t ulLateMs = 0;
    if (m_faults.isAnswerLate(&ulLateMs))
    {
        // Held back, the answer goes out on its own later, after whatever is sent meanwhile.
        m_heldAnswers.push_back({nowMs + ulLateMs, m_faults.requestCount(), {frame, baud()}});
        m_log.trace(nowMs, outcome + format(" (held back %u ms, injected)", ulLateMs));
        return;
    }
    emit(frame);
    m_log.trace(nowMs, outcome);
}

void Device::deliverHeldAnswers(uint64_t nowMs)
{
    // In the order they fall due; answers due at the same time in the order they were held.
    std::stable_sort(m_heldAnswers.begin(), m_heldAnswers.end(),
                     [](const HeldAnswer &a, const HeldAnswer &b) { return a.dueMs < b.dueMs; });
    size_t due = 0;
    while (due < m_heldAnswers.size() && m_heldAnswers[due].dueMs <= nowMs)
    {
        m_output.push_back(m_heldAnswers[due].chunk);
        m_log.trace(nowMs, format("late answer to request %u sent", m_heldAnswers[due].request));
        due++;
    }
    m_heldAnswers.erase(m_heldAnswers.begin(), m_heldAnswers.begin() + static_cast<std::ptrdiff_t>(due));
}

void Device::emit(const std::vector<uint8_t> &bytes)
{
    if (m_mode == Mode::Restarting || bytes.empty())
        return;
    m_output.push_back({bytes, baud()});
}

void Device::emitText(const std::string &line)
{
    std::string text = line + kLineEnd;
    emit(std::vector<uint8_t>(text.begin(), text.end()));
}

void Device::deviceLog(const std::string &text)
{
    if (m_config.deviceLog)
        emitText(kLogLinePrefix + text);
}

} // namespace devsim
