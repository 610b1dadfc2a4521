#include "tests/support/sim_link.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "aff/aff_container.h"
#include "common/le_bytes.h"
#include "protocol/slip.h"
#include "sim/sim_verify.h"

namespace testsupport
{
namespace
{

constexpr uint8_t kGarbleHigh = 0xF0; // bytes at a wrong rate arrive as junk, as on the pty
constexpr uint8_t kGarbleLow = 0x0F;

SimLink *linkOf(void *pUser)
{
    return static_cast<SimLink *>(pUser);
}
SimLink *linkOf(_tSerial *pSerial)
{
    return static_cast<SimLink *>(pSerial->pUser);
}

} // namespace

size_t SimLink::countLog(const std::string &line) const
{
    return static_cast<size_t>(std::count(logs.begin(), logs.end(), line));
}

std::vector<unsigned> SimLink::finalPercents(const std::string &line) const
{
    std::vector<unsigned> out;
    for (size_t i = 0; i < logs.size(); i++)
        if (logs[i] == line)
            out.push_back(i + 1 < logs.size() ? percentAtLog[i + 1]
                                              : (progress.empty() ? 0 : progress.back()));
    return out;
}

std::string SimLink::percentText() const
{
    char text[16];
    std::snprintf(text, sizeof text, "[ %3u%% ] ", progress.empty() ? 0u : unsigned(progress.back()));
    return text;
}

_tSerial SimLink::channel()
{
    _tSerial s{};
    s.fnReadByte = [](_tSerial *p, uint8_t *b) { return linkOf(p)->readByte(b); };
    s.fnWriteByte = [](_tSerial *p, uint8_t b) { linkOf(p)->writeByte(b); };
    s.fnGetMs = [](_tSerial *p) { return linkOf(p)->getMs(); };
    s.fnChangeBaud = [](_tSerial *p, uint32_t baud) { linkOf(p)->changeBaud(baud); };
    s.pUser = this;
    return s;
}

_tUpdaterCallbacks SimLink::callbacks()
{
    _tUpdaterCallbacks c{};
    c.cbReopen = [](void *u) { linkOf(u)->reopen(); };
    c.cbClose = [](void *u) { linkOf(u)->close(); };
    c.cbWrite = [](uint8_t b, void *u) { linkOf(u)->writeByte(b); };
    c.cbRead = [](uint8_t *b, void *u) { return linkOf(u)->readByte(b); };
    c.cbAvailable = [](void *u) { return static_cast<uint32_t>(linkOf(u)->rx.size()); };
    c.cbChangeBaud = [](uint32_t baud, void *u) { linkOf(u)->changeBaud(baud); };
    c.cbGetMs = [](void *u) { return linkOf(u)->getMs(); };
    c.cbLog = [](const char *msg, void *u)
    {
        SimLink *l = linkOf(u);
        l->logs.emplace_back(msg);
        l->percentAtLog.push_back(l->progress.empty() ? 0 : l->progress.back());
        l->screen += "\n" + l->percentText() + msg;
    };
    c.cbProgress = [](uint8_t p, void *u)
    {
        SimLink *l = linkOf(u);
        l->progress.push_back(p);
        l->screen += "\r" + l->percentText() + (l->logs.empty() ? "" : l->logs.back());
    };
    c.pUser = this;
    return c;
}

// Lets the device's timed events happen and moves its answers onto the wire. A
// dropped link (a --disconnect-at-part fault) hears nothing until it is back.
void SimLink::serviceDevice()
{
    if (pDevice == nullptr)
        return;
    pDevice->tick(nowMs);
    uint32_t ms = 0;
    if (pDevice->takeDisconnect(&ms))
        dropLink(ms);
    restoreEngineAff();
    bool isDown = nowMs < m_downUntilMs;
    Bytes wire;
    for (devsim::OutputChunk &chunk : pDevice->takeOutput())
        for (uint8_t b : chunk.bytes)
            if (!isDown)
                wire.push_back(chunk.baud == hostBaud ? b
                                                      : static_cast<uint8_t>(kGarbleHigh | (b & kGarbleLow)));
    rx.insert(rx.end(), wire.begin(), wire.end());
    if (onDeviceOutput && !wire.empty())
        onDeviceOutput(wire);
}

void SimLink::dropLink(uint32_t ms)
{
    outages++;
    m_downUntilMs = nowMs + ms;
    if (pDevice != nullptr)
        pDevice->portClosed();
    rx.clear();
}

void SimLink::restoreEngineAff()
{
    if (pEngineAff != nullptr)
        affSetMemFile(pEngineAff->empty() ? nullptr : pEngineAff->data(),
                      static_cast<uint32_t>(pEngineAff->size()));
}

uint8_t SimLink::readByte(uint8_t *pByte)
{
    readAttempts++;
    serviceDevice();
    if (rx.empty() && onIdleRead)
        onIdleRead(*this);
    if (rx.empty())
    {
        nowMs += readWaitMs;
        return 0;
    }
    *pByte = rx.front();
    rx.pop_front();
    return 1;
}

void SimLink::writeByte(uint8_t ubByte)
{
    tx.push_back(ubByte);
    if (pDevice != nullptr && nowMs >= m_downUntilMs)
    {
        pDevice->receive(&ubByte, 1, hostBaud, nowMs);
        restoreEngineAff();
    }
    if (onWrite)
        onWrite(*this, ubByte);
}

uint64_t SimLink::getMs()
{
    uint64_t now = nowMs;
    nowMs += clockStepMs;
    return now;
}

void SimLink::close()
{
    closes++;
    if (pDevice != nullptr)
        pDevice->portClosed();
    rx.clear();
}

void SimLink::reopen()
{
    reopens++;
    rx.clear(); // what arrived while the port was closed is gone
}

void SimLink::changeBaud(uint32_t ulBaud)
{
    bauds.push_back(ulBaud);
    hostBaud = ulBaud;
}

SimRig::SimRig()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "simrig-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr)
        m_dir = pattern;
    m_log.setSink([](devsim::Logger::Kind, const std::string &) {});
}

SimRig::~SimRig()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_dir, ignored);
}

void SimRig::start()
{
    std::string error;
    store.open(m_dir + "/state", &error);
    for (const auto &[slot, code] : config.versions)
        store.setVersionCode(slot, code);
    devsim::DeviceIdentity identity;
    identity.protocolId = config.protocolId;
    if (!aff.empty())
    {
        std::ofstream(m_dir + "/fw.aff", std::ios::binary)
            .write(reinterpret_cast<const char *>(aff.data()), static_cast<std::streamsize>(aff.size()));
        m_hasContainer = m_container.load(m_dir + "/fw.aff", &error);
        if (m_hasContainer)
        {
            identity.productId = m_container.header().ulProductId;
            identity.hardwareId = m_container.header().ulHardwareId;
        }
    }
    identity.productId = productId.value_or(identity.productId);
    identity.hardwareId = hardwareId.value_or(identity.hardwareId);
    m_faults = std::make_unique<devsim::FaultPlan>(config.faults, stats);
    m_device = std::make_unique<devsim::Device>(
        config, identity, store, m_hasContainer ? &m_container : nullptr, stats, *m_faults, m_log);
    link.pDevice = m_device.get();
}

uint8_t SimRig::run(uint32_t ulOp, uint8_t isVerbose, uint8_t isUcLog)
{
    if (!m_device)
        start();
    _tUpdaterCallbacks cb = link.callbacks();
    const Bytes &bytes = updateAff.empty() ? aff : updateAff;
    link.pEngineAff = &bytes;
    // The stop function gets the link; the link's owner is this rig.
    static thread_local SimRig *s_pRig = nullptr;
    s_pRig = this;
    _tUpdaterStopFn fnStop = [](void *) { return s_pRig->stopWhen() ? 1 : 0; };
    return updater(ulOp, bytes.empty() ? nullptr : bytes.data(), static_cast<uint32_t>(bytes.size()),
                   isVerbose, isUcLog, &cb, stopWhen ? fnStop : nullptr);
}

int SimRig::verify(std::string *pReport) const
{
    FILE *out = std::tmpfile();
    int result = devsim::runVerify(m_dir + "/state", m_dir + "/fw.aff", config.noHost, out, out);
    if (pReport != nullptr)
    {
        std::rewind(out);
        pReport->clear();
        for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out))
            pReport->push_back(static_cast<char>(c));
    }
    std::fclose(out);
    return result;
}

uint64_t SimRig::requests(const std::string &name) const
{
    auto it = stats.requests.find(name);
    return it == stats.requests.end() ? 0 : it->second;
}

uint64_t SimRig::forwarded(const std::string &name) const
{
    auto it = stats.forwarded.find(name);
    return it == stats.forwarded.end() ? 0 : it->second;
}

Bytes slipFrame(uint8_t ubDir, uint8_t ubCmd, const Bytes &data)
{
    Bytes out(SLIP_ENCODED_MAX(data.size()));
    out.resize(
        slipGenerateCrcPacket(out.data(), ubDir, ubCmd, 1, data.data(), static_cast<uint32_t>(data.size())));
    return out;
}

ScriptedDevice::ScriptedDevice(SimLink &l) : link(l), m_frame(70000)
{
    m_detector.pBuffer = m_frame.data();
    m_detector.ulCapacity = static_cast<uint32_t>(m_frame.size());
    link.onWrite = [this](SimLink &, uint8_t b) { feed(b); };
}

void ScriptedDevice::feed(uint8_t b)
{
    if (m_detector.ulState == 0 && b != SLIP_END)
    {
        if (b != '\n')
            m_line.push_back(static_cast<char>(b));
        else
        {
            std::string line =
                m_line.empty() || m_line.back() != '\r' ? m_line : m_line.substr(0, m_line.size() - 1);
            m_line.clear();
            texts.push_back({line, link.nowMs});
            if (onText)
                onText(*this, line);
        }
        return;
    }
    if (slipDetectFrame(&m_detector, b) != 1)
        return;
    Bytes f(m_frame.begin(), m_frame.begin() + m_detector.usStored);
    Request r;
    r.atMs = link.nowMs;
    r.cmd = slipGetCmd(f.data());
    r.data.assign(f.begin() + SLIP_HEADER_SIZE, f.end() - 1);
    if (r.cmd == 0x09) // forwarding: the data is the encoded inner request
    {
        Traffic inner = splitTraffic(r.data);
        if (!inner.frames.empty())
        {
            r.cmd = slipGetCmd(inner.frames[0].data());
            r.data.assign(inner.frames[0].begin() + SLIP_HEADER_SIZE, inner.frames[0].end() - 1);
            r.forwarded = true;
        }
    }
    requests.push_back(r);
    if (onRequest)
        onRequest(*this, r);
}

void ScriptedDevice::respond(uint8_t cmd, uint32_t status, const Bytes &extra, bool forwarded)
{
    const Bytes data = statusData(status, extra);
    Bytes f = forwarded ? slipFrame(SLIP_DIR_RESPONSE, 0x09,
                                    statusData(0, decodedFrame(SLIP_DIR_RESPONSE, cmd, data)))
                        : slipFrame(SLIP_DIR_RESPONSE, cmd, data);
    link.push(f);
}

Bytes decodedFrame(uint8_t ubDir, uint8_t ubCmd, const Bytes &data)
{
    Traffic t = splitTraffic(slipFrame(ubDir, ubCmd, data));
    return t.frames.empty() ? Bytes() : t.frames[0];
}

Bytes encodeDecoded(const Bytes &decoded)
{
    Bytes out = {SLIP_END};
    uint8_t escaped[2];
    for (size_t i = 1; i + 1 < decoded.size(); i++)
        out.insert(out.end(), escaped, escaped + slipEncodeByte(escaped, decoded[i]));
    out.push_back(SLIP_END);
    return out;
}

Bytes statusData(uint32_t status, const Bytes &extra)
{
    return cat({le32(status), extra});
}

Bytes le32(uint32_t value)
{
    Bytes b(4);
    lePutU32(b.data(), value);
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::string hex(const Bytes &bytes)
{
    std::string out;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); i++)
    {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", bytes[i]);
        out += buf;
    }
    return out;
}

Bytes unhex(const std::string &text)
{
    Bytes out;
    std::istringstream in(text);
    std::string tok;
    while (in >> tok)
        out.push_back(static_cast<uint8_t>(std::stoul(tok, nullptr, 16)));
    return out;
}

Traffic splitTraffic(const Bytes &bytes)
{
    Traffic t;
    Bytes buffer(65536);
    _tSlipDetector det{};
    det.pBuffer = buffer.data();
    det.ulCapacity = static_cast<uint32_t>(buffer.size());
    std::string line;
    for (uint8_t b : bytes)
    {
        if (det.ulState != 0 || b == SLIP_END)
        {
            if (slipDetectFrame(&det, b) == 1)
                t.frames.emplace_back(buffer.begin(), buffer.begin() + det.usStored);
        }
        else if (b == '\r' || b == '\n')
        {
            if (!line.empty())
                t.lines.push_back(line);
            line.clear();
        }
        else
            line.push_back(static_cast<char>(b));
    }
    return t;
}

} // namespace testsupport
