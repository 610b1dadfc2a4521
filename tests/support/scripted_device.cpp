#include "tests/support/scripted_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "common/le_bytes.h"
#include "protocol/crc.h"

namespace testsupport
{
namespace
{

constexpr size_t kFrameCapacity = 70000;
constexpr uint8_t kForwardCmd = 0x09;

void putVersion(std::vector<uint8_t> &d, size_t offs, uint32_t code)
{
    lePutU32(&d[offs], code);
    memcpy(&d[offs + 4], "2024-01-01 ", 11);
}

// The first complete frame in encoded bytes, decoded; empty when there is none.
std::vector<uint8_t> decodeFirst(const std::vector<uint8_t> &bytes)
{
    std::vector<uint8_t> out(bytes.size() + 2);
    _tSlipDetector d{};
    d.pBuffer = out.data();
    d.ulCapacity = (uint32_t)out.size();
    for (uint8_t b : bytes)
        if (slipDetectFrame(&d, b) == 1)
            return std::vector<uint8_t>(out.begin(), out.begin() + d.usStored);
    return {};
}

} // namespace

ScriptedDevice::ScriptedDevice(FakeLink &l) : link(l), m_frame(kFrameCapacity)
{
    m_detector.pBuffer = m_frame.data();
    m_detector.ulCapacity = (uint32_t)m_frame.size();
    link.onWrite = [this](FakeLink &, uint8_t b) { feed(b); };
}

void ScriptedDevice::feed(uint8_t b)
{
    if (m_detector.ulState == 0 && b != SLIP_END)
    {
        if (b != '\n')
        {
            m_line.push_back((char)b);
            return;
        }
        std::string line = m_line;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        m_line.clear();
        texts.push_back({line, link.nowMs});
        if (onText)
            onText(*this, line);
        return;
    }
    if (slipDetectFrame(&m_detector, b) == 1)
        handleFrame(std::vector<uint8_t>(m_frame.begin(), m_frame.begin() + m_detector.usStored));
}

void ScriptedDevice::handleFrame(const std::vector<uint8_t> &frame)
{
    std::vector<uint8_t> f = frame;
    DeviceRequest r;
    r.atMs = link.nowMs;
    for (int depth = 0; depth < 2; depth++)
    {
        if (f.size() < SLIP_OVERHEAD || slipIsPacketValid(f.data(), (uint16_t)f.size(), 1) != 1 ||
            f[1] != SLIP_DIR_REQUEST)
        {
            ADD_FAILURE() << "bad request frame " << hex(f);
            return;
        }
        r.dir = f[1];
        r.cmd = f[2];
        r.data.assign(f.begin() + SLIP_HEADER_SIZE, f.end() - 1);
        if (r.cmd != kForwardCmd || depth == 1)
            break;
        // Forwarding: the data is the encoded inner frame.
        f = decodeFirst(r.data);
        r.forwarded = true;
    }
    requests.push_back(r);
    if (onRequest)
        onRequest(*this, r);
}

void ScriptedDevice::sendLine(const std::string &line)
{
    link.pushText(line + "\r\n");
}

void ScriptedDevice::respond(uint8_t cmd, uint32_t status, const std::vector<uint8_t> &extra, bool forwarded)
{
    respondData(cmd, statusData(status, extra), forwarded);
}

void ScriptedDevice::respondData(uint8_t cmd, const std::vector<uint8_t> &data, bool forwarded)
{
    std::vector<uint8_t> f = decodedFrame(SLIP_DIR_RESPONSE, cmd, data);
    if (forwarded)
        f = decodedFrame(SLIP_DIR_RESPONSE, kForwardCmd, statusData(0, f));
    link.push(encode(f));
}

size_t ScriptedDevice::countText(const std::string &line) const
{
    return std::count_if(texts.begin(), texts.end(), [&](const DeviceText &t) { return t.line == line; });
}

std::vector<uint8_t> ScriptedDevice::commands() const
{
    std::vector<uint8_t> out;
    for (const DeviceRequest &r : requests)
        out.push_back(r.cmd);
    return out;
}

std::vector<uint8_t> ScriptedDevice::decodedFrame(uint8_t dir, uint8_t cmd, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> f(SLIP_HEADER_SIZE);
    f[0] = SLIP_END;
    f[1] = dir;
    f[2] = cmd;
    lePutU16(&f[3], (uint16_t)data.size());
    lePutU32(&f[5], crc16(CRC16_POLY, CRC16_INIT_PACKET, data.data(), (int16_t)data.size()));
    f.insert(f.end(), data.begin(), data.end());
    f.push_back(SLIP_END);
    return f;
}

std::vector<uint8_t> ScriptedDevice::encode(const std::vector<uint8_t> &decoded)
{
    std::vector<uint8_t> out = {SLIP_END};
    for (size_t i = 1; i + 1 < decoded.size(); i++)
    {
        uint8_t b = decoded[i];
        if (b == SLIP_END || b == SLIP_ESC)
            out.insert(out.end(), {SLIP_ESC, uint8_t(b == SLIP_END ? SLIP_ESC_END : SLIP_ESC_ESC)});
        else
            out.push_back(b);
    }
    out.push_back(SLIP_END);
    return out;
}

std::vector<uint8_t> ScriptedDevice::statusData(uint32_t status, const std::vector<uint8_t> &extra)
{
    std::vector<uint8_t> d(4);
    lePutU32(d.data(), status);
    d.insert(d.end(), extra.begin(), extra.end());
    return d;
}

std::vector<uint8_t> ScriptedDevice::helloData(const HelloSpec &s)
{
    std::vector<uint8_t> d(100, 0);
    lePutU32(&d[4], s.protocolId);
    putVersion(d, 8, s.bootloaderCode);
    lePutU32(&d[24], s.productId);
    lePutU32(&d[28], s.hardwareId);
    putVersion(d, 32, s.firmwareCode);
    putVersion(d, 48, s.fpgaCode);
    putVersion(d, 64, s.wifiCode);
    lePutU32(&d[80], s.hostFlag);
    putVersion(d, 84, s.tiCode);
    d.resize(s.dataLength, 0);
    return d;
}

} // namespace testsupport
