#include "sim/sim_device.h"

#include <cstdarg>
#include <cstring>

#include "common/le_bytes.h"
#include "protocol/commands.h"

namespace devsim
{

namespace
{

// Text commands and replies of the link.
const std::string kAtPrefix = "AT+";
const std::string kBootQuery = "AT+BOOT?";
const std::string kConfigQuery = "AT+CONFIG?";
const std::string kConfigOn = "AT+CONFIG=1";
const std::string kConfigOff = "AT+CONFIG=0";
const std::string kRebootBootloader = "AT+REBOOT_BOOTLOADER";
const std::string kLockOn = "AT+LOCK=1";
const std::string kLockOff = "AT+LOCK=0";
const std::string kReplyOk = "AT+OK";
const std::string kReplyError = "AT+ERROR";
const std::string kReplyBoot0 = "AT+BOOT=0";
const std::string kReplyBoot1 = "AT+BOOT=1";
const std::string kReplyConfig0 = "AT+CONFIG=0";
const std::string kReplyConfig1 = "AT+CONFIG=1";
const std::string kBootloaderStart = "AT+BOOTLOADER_START";
const std::string kLineEnd = "\r\n";
constexpr char kLogLinePrefix = 'L';

constexpr uint32_t kSlipDetectorIdle = 0;
constexpr uint32_t kStatusSize = 4;
constexpr uint32_t kWordSize = 4;
constexpr uint32_t kPartHeaderSize = 4; // the part index before the part's bytes
constexpr uint32_t kFpgaBeginSize = 12; // memory, operation, page count
constexpr uint32_t kFpgaWrite = 1;
constexpr uint32_t kFpgaVerify = 0;
constexpr uint32_t kFpgaMaxMemory = 1;
constexpr uint32_t kDeviceBootStart = 1;
constexpr uint32_t kDeviceBootReboot = 0;
constexpr uint32_t kChecksumDamage = 0x0001; // flipped in a corrupted response's checksum
constexpr size_t kMaxDistinctTexts = 64;     // further distinct texts are counted together
const std::string kOtherTexts = "(other)";

// Offsets in the hello response's data after the status word.
constexpr size_t kHelloProtocol = 0;
constexpr size_t kHelloBootloader = 4;
constexpr size_t kHelloProduct = 20;
constexpr size_t kHelloHardware = 24;
constexpr size_t kHelloFirmware = 28;
constexpr size_t kHelloFpga = 44;
constexpr size_t kHelloWifi = 60;
constexpr size_t kHelloHostFlag = 76;
constexpr size_t kHelloTi = 80;
constexpr size_t kHelloPayloadSize = UPDATER_HELLO_DATA_SIZE - kStatusSize;

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

const char *modeName(Mode mode)
{
    switch (mode)
    {
    case Mode::Application:
        return "application";
    case Mode::Config:
        return "CONFIG";
    case Mode::Restarting:
        return "restarting";
    default:
        return "BOOT";
    }
}

VersionSlot versionSlotOf(Image image)
{
    switch (image)
    {
    case Image::HostUc:
        return VersionSlot::HostUc;
    case Image::DeviceUc:
        return VersionSlot::DeviceUc;
    case Image::Ti:
        return VersionSlot::Ti;
    case Image::Wifi:
        return VersionSlot::Wifi;
    default:
        return VersionSlot::Fpga;
    }
}

uint32_t blockTypeOf(Image image)
{
    switch (image)
    {
    case Image::HostUc:
        return AFF_BLOCK_HOST_UC;
    case Image::DeviceUc:
        return AFF_BLOCK_DEVICE_UC;
    case Image::Ti:
        return AFF_BLOCK_TI;
    case Image::Wifi:
        return AFF_BLOCK_ESP_FLASH;
    case Image::Nvcm0:
        return AFF_BLOCK_FPGA_NVCM0;
    case Image::Nvcm1:
        return AFF_BLOCK_FPGA_NVCM1;
    default:
        return AFF_BLOCK_FPGA_USERCODE;
    }
}

bool isBeginCommand(uint8_t ubCmd)
{
    return ubCmd == UPDATER_CMD_UC_PROGRAM_BEGIN || ubCmd == UPDATER_CMD_TI_PROGRAM_BEGIN;
}
bool isDataCommand(uint8_t ubCmd)
{
    return ubCmd == UPDATER_CMD_UC_PROGRAM_DATA || ubCmd == UPDATER_CMD_TI_PROGRAM_DATA;
}

std::string statusText(uint32_t ulStatus)
{
    return ulStatus < 10 ? format("status %u", ulStatus) : format("status 0x%X", ulStatus);
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
    if (m_mode == Mode::Restarting)
        return m_restartAtMs;
    return std::nullopt;
}

void Device::tick(uint64_t nowMs)
{
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

void Device::onLine(const std::string &line, uint64_t nowMs)
{
    // Noise before a command (a garbled byte, a stray character) does not hide it.
    size_t start = line.find(kAtPrefix);
    if (start == std::string::npos)
    {
        m_log.trace(nowMs, "ignored text line " + jsonString(line));
        return;
    }
    std::string command = line.substr(start);
    if (m_stats.textCommands.count(command) || m_stats.textCommands.size() < kMaxDistinctTexts)
        m_stats.textCommands[command]++;
    else
        m_stats.textCommands[kOtherTexts]++;

    std::string where = std::string("text ") + jsonString(command) + " in " + modeName(m_mode) + " mode";
    if (m_faults.isSilent())
    {
        m_log.trace(nowMs, where + " -> no answer (silent)");
        return;
    }
    if (m_faults.onTextCommand(command))
    {
        emitText(kReplyError);
        m_log.trace(nowMs, where + " -> \"" + kReplyError + "\" (injected)");
        return;
    }
    std::string answer = answerText(command, nowMs);
    m_log.trace(nowMs, where + " -> \"" + answer + "\"");
}

std::string Device::answerText(const std::string &command, uint64_t nowMs)
{
    std::string answer = kReplyError;
    // Commands that work in every mode.
    if (command == kRebootBootloader)
    {
        emitText(kReplyOk);
        restart(Mode::Boot, nowMs);
        return kReplyOk;
    }
    if (m_mode == Mode::Boot)
    {
        if (command == kBootQuery)
            answer = kReplyBoot1;
        else if (command == kConfigQuery)
            answer = kReplyConfig0;
        else if (command == kLockOn)
        {
            m_isLocked = true;
            answer = kReplyOk;
        }
        else if (command == kLockOff)
        {
            emitText(kReplyOk);
            restart(Mode::Application, nowMs);
            return kReplyOk;
        }
        emitText(answer);
        return answer;
    }

    // The application, in its normal or its CONFIG mode.
    bool isConfig = m_mode == Mode::Config;
    if (command == kBootQuery)
        answer = kReplyBoot0;
    else if (command == kConfigQuery)
        answer = isConfig ? kReplyConfig1 : kReplyConfig0;
    else if (command == kLockOff)
        answer = kReplyOk; // the bootloader is not locked while the application runs
    else if (command == kConfigOn || command == kConfigOff)
        answer = kReplyOk;
    // The answer goes out at the rate of the mode the command arrived in.
    emitText(answer);
    if (command == kConfigOn)
        m_mode = Mode::Config;
    else if (command == kConfigOff)
        m_mode = Mode::Application;
    return answer;
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
    emit(encodeFrame(SLIP_DIR_RESPONSE, r.cmd, ulChecksum, data));
    m_log.trace(nowMs, outcome);
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

bool Device::executeCommon(Role role, const Packet &req, Reply *pReply)
{
    switch (req.cmd)
    {
    case UPDATER_CMD_HELLO:
        *pReply = hello(role, req);
        return true;
    case UPDATER_CMD_IV:
        if (req.length != AFF_IV_SIZE)
        {
            m_trace += format(" (%u bytes, expected %u)", req.length, AFF_IV_SIZE);
            *pReply = reply(req, kStatusBadData);
            return true;
        }
        m_trace += format(" (%02X..%02X)", req.data[0], req.data[AFF_IV_SIZE - 1]);
        *pReply = reply(req, kStatusOk);
        return true;
    case UPDATER_CMD_FPGA_BEGIN:
    case UPDATER_CMD_FPGA_PROGRAM_BEGIN:
    case UPDATER_CMD_FPGA_PROGRAM_DATA:
    case UPDATER_CMD_FPGA_USERCODE:
    case UPDATER_CMD_FPGA_END:
        if (role == Role::Wifi)
            return false;
        *pReply = fpga(req);
        return true;
    default:
        return false;
    }
}

Device::Reply Device::executeHost(const Packet &req)
{
    m_trace += commandName(req.cmd) + " to host bootloader";
    Reply r;
    if (executeCommon(Role::Host, req, &r))
        return r;
    switch (req.cmd)
    {
    case UPDATER_CMD_DEVICE_BOOT:
    {
        if (req.length < kWordSize)
            return reply(req, kStatusBadData);
        uint32_t ulValue = leGetU32(req.data);
        if (ulValue != kDeviceBootStart && ulValue != kDeviceBootReboot)
        {
            m_trace += format(" (value %u)", ulValue);
            return reply(req, kStatusBadData);
        }
        // Both values restart the device microcontroller: 1 into its bootloader, to which
        // the host forwards from now on, 0 into its application.
        m_isForwarding = ulValue == kDeviceBootStart;
        m_isWifiHandedOver = false;
        m_sessions[static_cast<int>(Image::DeviceUc)].isActive = false;
        m_sessions[static_cast<int>(Image::Ti)].isActive = false;
        m_sessions[static_cast<int>(Image::Wifi)].isActive = false;
        m_trace += m_isForwarding ? " (start the device bootloader)" : " (reboot the device)";
        deviceLog(m_isForwarding ? "device bootloader started" : "device rebooted");
        return reply(req, kStatusOk);
    }
    case UPDATER_CMD_FORWARD:
        if (!m_isForwarding)
        {
            m_trace += " (the device bootloader is not started)";
            return reply(req, kStatusSequence);
        }
        return forward(req, Role::Device);
    case UPDATER_CMD_UC_PROGRAM_BEGIN:
    case UPDATER_CMD_UC_PROGRAM_DATA:
    case UPDATER_CMD_UC_PROGRAM_END:
        return program(Image::HostUc, req);
    default:
        return reply(req, kStatusUnknownCommand);
    }
}

Device::Reply Device::executeDevice(const Packet &req, bool isViaHost)
{
    // Once handed over, the link from the host belongs to the Wi-Fi bootloader.
    if (isViaHost && m_isWifiHandedOver)
        return executeWifi(req);
    m_trace += commandName(req.cmd) + " to device bootloader";
    Reply r;
    if (executeCommon(Role::Device, req, &r))
        return r;
    switch (req.cmd)
    {
    case UPDATER_CMD_UC_PROGRAM_BEGIN:
    case UPDATER_CMD_UC_PROGRAM_DATA:
    case UPDATER_CMD_UC_PROGRAM_END:
        return program(Image::DeviceUc, req);
    case UPDATER_CMD_TI_PROGRAM_BEGIN:
    case UPDATER_CMD_TI_PROGRAM_DATA:
    case UPDATER_CMD_TI_PROGRAM_END:
        return program(Image::Ti, req);
    case UPDATER_CMD_WIFI_INIT:
        if (req.length < kWordSize)
            return reply(req, kStatusBadData);
        m_trace += " (hand the link over to the Wi-Fi bootloader)";
        if (!m_isWifiHandedOver)
            m_sessions[static_cast<int>(Image::Wifi)].isActive = false;
        m_isWifiHandedOver = true;
        deviceLog("Wi-Fi bootloader started");
        return reply(req, kStatusOk);
    case UPDATER_CMD_FORWARD:
        // Without a host in front, the device bootloader forwards to the Wi-Fi module.
        if (!m_isWifiHandedOver)
        {
            m_trace += " (no Wi-Fi bootloader started)";
            return reply(req, kStatusSequence);
        }
        return forward(req, Role::Wifi);
    default:
        return reply(req, kStatusUnknownCommand);
    }
}

Device::Reply Device::executeWifi(const Packet &req)
{
    m_trace += commandName(req.cmd) + " to Wi-Fi bootloader";
    Reply r;
    if (executeCommon(Role::Wifi, req, &r))
        return r;
    switch (req.cmd)
    {
    case UPDATER_CMD_UC_PROGRAM_BEGIN:
    case UPDATER_CMD_UC_PROGRAM_DATA:
    case UPDATER_CMD_UC_PROGRAM_END:
        return program(Image::Wifi, req);
    case UPDATER_CMD_WIFI_INIT:
        // A repeated hand-over request (its answer was lost): the Wi-Fi bootloader runs.
        if (req.length < kWordSize)
            return reply(req, kStatusBadData);
        m_trace += " (already handed over)";
        return reply(req, kStatusOk);
    default:
        return reply(req, kStatusUnknownCommand);
    }
}

Device::Reply Device::forward(const Packet &req, Role target)
{
    // The request's data are one whole encoded frame.
    std::vector<uint8_t> inner(req.length > 0 ? req.length : 1);
    _tSlipDetector sDetector{};
    sDetector.pBuffer = inner.data();
    sDetector.ulCapacity = req.length;
    int8_t result = -1;
    uint32_t i = 0;
    for (; i < req.length && result != 1; i++)
        result = slipDetectFrame(&sDetector, req.data[i]);
    if (req.length == 0 || req.data[0] != SLIP_END || result != 1 || i != req.length)
    {
        m_trace += " (the inner frame cannot be decoded)";
        return reply(req, kStatusBadFrame);
    }
    uint16_t usLength = sDetector.usStored;
    if (slipIsPacketValid(inner.data(), usLength, 1) != 1)
    {
        m_trace += " (inner frame: length or checksum wrong)";
        return reply(req, kStatusBadFrame);
    }
    if (slipGetDir(inner.data()) != SLIP_DIR_REQUEST)
    {
        m_trace += " (the inner frame is not a request)";
        return reply(req, kStatusBadData);
    }
    Packet innerReq{slipGetCmd(inner.data()), inner.data() + SLIP_HEADER_SIZE,
                    static_cast<uint32_t>(usLength - SLIP_OVERHEAD)};
    m_stats.forwarded[commandName(innerReq.cmd)]++;
    m_trace += " > ";
    Reply innerReply = target == Role::Device ? executeDevice(innerReq, true) : executeWifi(innerReq);
    account(innerReply);
    m_trace += " [" + statusText(innerReply.status) + "]";

    // The answer carries the inner response in its decoded layout: END, header, data, END.
    std::vector<uint8_t> data(kStatusSize + innerReply.payload.size());
    lePutU32(data.data(), innerReply.status);
    std::copy(innerReply.payload.begin(), innerReply.payload.end(), data.begin() + kStatusSize);
    Reply r = reply(req, kStatusOk);
    r.payload.resize(SLIP_OVERHEAD + data.size());
    uint8_t *p = r.payload.data();
    p[0] = SLIP_END;
    p[1] = SLIP_DIR_RESPONSE;
    p[2] = innerReply.cmd;
    lePutU16(p + 3, static_cast<uint16_t>(data.size()));
    lePutU32(p + 5, slipCalcChecksum(data.data(), static_cast<uint32_t>(data.size()), 1));
    std::copy(data.begin(), data.end(), p + SLIP_HEADER_SIZE);
    r.payload.back() = SLIP_END;
    return r;
}

Device::Reply Device::hello(Role role, const Packet &req)
{
    Reply r = reply(req, kStatusOk);
    r.payload.assign(kHelloPayloadSize, 0);
    uint8_t *p = r.payload.data();
    VersionSlot firmware = role == Role::Host     ? VersionSlot::HostUc
                           : role == Role::Device ? VersionSlot::DeviceUc
                                                  : VersionSlot::Wifi;
    lePutU32(p + kHelloProtocol, m_identity.protocolId);
    versionToBytes(&m_store.version(VersionSlot::Bootloader), p + kHelloBootloader);
    lePutU32(p + kHelloProduct, m_identity.productId);
    lePutU32(p + kHelloHardware, m_identity.hardwareId);
    versionToBytes(&m_store.version(firmware), p + kHelloFirmware);
    versionToBytes(&m_store.version(VersionSlot::Fpga), p + kHelloFpga);
    versionToBytes(&m_store.version(VersionSlot::Wifi), p + kHelloWifi);
    lePutU32(p + kHelloHostFlag, role == Role::Host ? 1 : 0);
    versionToBytes(&m_store.version(VersionSlot::Ti), p + kHelloTi);
    return r;
}

void Device::countPart()
{
    uint32_t ulMs = 0;
    if (m_faults.onPart(&ulMs))
    {
        m_isDisconnectPending = true;
        m_disconnectMs = ulMs;
    }
}

uint32_t Device::writePart(Image image, uint32_t &partSize, const Packet &req)
{
    uint32_t ulIndex = leGetU32(req.data);
    uint32_t ulLength = req.length - kPartHeaderSize;
    m_trace += format(" (part %u, %u bytes)", ulIndex, ulLength);
    // Every part of an image has the size of the first one: a part lands at its index.
    if (partSize == 0)
        partSize = ulLength;
    else if (ulLength != partSize)
    {
        m_trace += format(" (expected parts of %u bytes)", partSize);
        return kStatusBadData;
    }
    uint64_t ullOffset = static_cast<uint64_t>(ulIndex) * partSize;
    if (ullOffset + ulLength > kMaxImageBytes)
        return kStatusOutOfRange;
    if (!m_store.writeAt(image, ullOffset, req.data + kPartHeaderSize, ulLength))
    {
        m_log.error(std::string("cannot write ") + m_store.imagePath(image));
        return kStatusStorageFailed;
    }
    countPart();
    return kStatusOk;
}

void Device::finishImage(Image image, Session &session)
{
    session.isActive = false;
    _tVersion version = session.previous;
    if (m_pContainer)
    {
        if (auto blockVersion = m_pContainer->blockVersion(blockTypeOf(image)))
            version = *blockVersion;
    }
    if (!m_store.setVersion(versionSlotOf(image), version))
        m_log.error("cannot write " + m_store.versionsPath());
    m_trace += format(" (%s image complete, %zu bytes)", imageLabel(image), m_store.image(image).size());
    deviceLog(format("%s programmed, %zu bytes", imageLabel(image), m_store.image(image).size()));
}

Device::Reply Device::program(Image image, const Packet &req)
{
    Session &session = m_sessions[static_cast<int>(image)];
    if (isBeginCommand(req.cmd))
    {
        if (req.length < kWordSize)
            return reply(req, kStatusBadData);
        m_trace += format(" (%s image of %u bytes)", imageLabel(image), leGetU32(req.data));
        // Programming erases the component: until its end request it reports no version.
        // A repeated begin keeps the version from before the first one.
        if (!session.isActive)
            session.previous = m_store.version(versionSlotOf(image));
        session.isActive = true;
        session.partSize = 0;
        if (!m_store.erase(image) || !m_store.setVersion(versionSlotOf(image), _tVersion{}))
        {
            m_log.error("cannot write the state of " + std::string(imageLabel(image)));
            return reply(req, kStatusStorageFailed);
        }
        return reply(req, kStatusOk);
    }
    if (isDataCommand(req.cmd))
    {
        if (req.length <= kPartHeaderSize)
            return reply(req, kStatusBadData);
        if (!session.isActive)
        {
            m_trace += " (no programming begun)";
            return reply(req, kStatusSequence);
        }
        return reply(req, writePart(image, session.partSize, req));
    }
    // The end request; repeated after the image was completed, it changes nothing.
    if (session.isActive)
        finishImage(image, session);
    return reply(req, kStatusOk);
}

Device::Reply Device::fpga(const Packet &req)
{
    Image memoryImage = m_fpga.memory == 0 ? Image::Nvcm0 : Image::Nvcm1;
    switch (req.cmd)
    {
    case UPDATER_CMD_FPGA_BEGIN:
        if (!m_fpga.isBegun)
        {
            m_fpga = FpgaSession();
            m_fpga.previous = m_store.version(VersionSlot::Fpga);
            m_fpga.isBegun = true;
        }
        m_fpga.isPhaseActive = false;
        return reply(req, kStatusOk);

    case UPDATER_CMD_FPGA_PROGRAM_BEGIN:
    {
        if (req.length < kFpgaBeginSize)
            return reply(req, kStatusBadData);
        uint32_t ulMemory = leGetU32(req.data);
        uint32_t ulOperation = leGetU32(req.data + kWordSize);
        uint32_t ulPages = leGetU32(req.data + 2 * kWordSize);
        m_trace += format(" (%s %u pages of NVCM%u)", ulOperation == kFpgaWrite ? "write" : "verify", ulPages,
                          ulMemory);
        if (ulMemory > kFpgaMaxMemory || (ulOperation != kFpgaWrite && ulOperation != kFpgaVerify))
            return reply(req, kStatusBadData);
        if (!m_fpga.isBegun)
            return reply(req, kStatusSequence);
        m_fpga.isPhaseActive = true;
        m_fpga.memory = ulMemory;
        m_fpga.operation = ulOperation;
        m_fpga.pages = ulPages;
        m_fpga.partSize = 0;
        if (ulOperation == kFpgaWrite)
        {
            bool isStored = m_store.erase(ulMemory == 0 ? Image::Nvcm0 : Image::Nvcm1);
            if (!m_fpga.isErased)
                isStored = isStored && m_store.setVersion(VersionSlot::Fpga, _tVersion{});
            m_fpga.isErased = true;
            if (!isStored)
            {
                m_log.error("cannot write the FPGA state");
                return reply(req, kStatusStorageFailed);
            }
        }
        return reply(req, kStatusOk);
    }

    case UPDATER_CMD_FPGA_PROGRAM_DATA:
    {
        if (req.length <= kPartHeaderSize)
            return reply(req, kStatusBadData);
        if (!m_fpga.isPhaseActive)
        {
            m_trace += " (no write or verify phase begun)";
            return reply(req, kStatusSequence);
        }
        if (m_fpga.operation == kFpgaWrite)
            return reply(req, writePart(memoryImage, m_fpga.partSize, req));

        uint32_t ulIndex = leGetU32(req.data);
        uint32_t ulLength = req.length - kPartHeaderSize;
        m_trace += format(" (verify part %u, %u bytes)", ulIndex, ulLength);
        if (m_fpga.partSize == 0)
            m_fpga.partSize = ulLength;
        else if (ulLength != m_fpga.partSize)
            return reply(req, kStatusBadData);
        uint64_t ullOffset = static_cast<uint64_t>(ulIndex) * m_fpga.partSize;
        if (ullOffset + ulLength > kMaxImageBytes)
            return reply(req, kStatusOutOfRange);
        countPart();
        const std::vector<uint8_t> &stored = m_store.image(memoryImage);
        if (ullOffset + ulLength > stored.size() ||
            std::memcmp(stored.data() + ullOffset, req.data + kPartHeaderSize, ulLength) != 0)
        {
            m_trace += " (differs from what was written)";
            return reply(req, kStatusVerifyFailed);
        }
        return reply(req, kStatusOk);
    }

    case UPDATER_CMD_FPGA_USERCODE:
        if (req.length == 0)
            return reply(req, kStatusBadData);
        if (!m_fpga.isBegun)
            return reply(req, kStatusSequence);
        m_trace += format(" (%u bytes)", req.length);
        if (!m_store.replace(Image::Usercode, req.data, req.length))
        {
            m_log.error("cannot write " + m_store.imagePath(Image::Usercode));
            return reply(req, kStatusStorageFailed);
        }
        return reply(req, kStatusOk);

    default: // UPDATER_CMD_FPGA_END; repeated after the end, it changes nothing
        if (m_fpga.isBegun)
        {
            _tVersion version = m_fpga.previous;
            if (m_pContainer)
            {
                // The updater compares the FPGA through its NVCM0 block.
                if (auto blockVersion = m_pContainer->blockVersion(AFF_BLOCK_FPGA_NVCM0))
                    version = *blockVersion;
            }
            if (!m_store.setVersion(VersionSlot::Fpga, version))
                m_log.error("cannot write " + m_store.versionsPath());
            m_fpga.isBegun = false;
            m_fpga.isPhaseActive = false;
            m_trace += " (FPGA programming complete)";
            deviceLog("FPGA programmed");
        }
        return reply(req, kStatusOk);
    }
}

} // namespace devsim
