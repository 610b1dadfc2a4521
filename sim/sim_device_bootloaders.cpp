// The three bootloaders: what each one handles, the hello they answer, and the
// forwarding from the host to the device bootloader and on to the Wi-Fi module.

#include "sim/sim_device.h"

#include "common/le_bytes.h"
#include "protocol/commands.h"
#include "sim/sim_device_shared.h"

namespace devsim
{

namespace
{

constexpr uint32_t kDeviceBootStart = 1;
constexpr uint32_t kDeviceBootReboot = 0;

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

} // namespace

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

} // namespace devsim
