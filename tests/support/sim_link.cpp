#include "tests/support/sim_link.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "aff/aff_container.h"
#include "protocol/slip.h"
#include "sim/sim_verify.h"

namespace testsupport
{
namespace
{

// The progress as the updater's terminal shows it before a line.
std::string percentText(const SimLink &l)
{
    char text[16];
    std::snprintf(text, sizeof text, "[ %3u%% ] ", l.progress.empty() ? 0u : unsigned(l.progress.back()));
    return text;
}

// The emulator's model has registered its own container in the in-memory file: the engine's comes back.
void restoreEngineAff(const SimLink &l)
{
    if (l.pEngineAff != nullptr)
        affSetMemFile(l.pEngineAff->empty() ? nullptr : l.pEngineAff->data(), uint32_t(l.pEngineAff->size()));
}

} // namespace

_tSerial SimLink::channel()
{
    _tSerial s{};
    s.fnReadByte = [](_tSerial *p, uint8_t *b) { return of(p->pUser)->readByte(b); };
    s.fnWriteByte = [](_tSerial *p, uint8_t b) { of(p->pUser)->writeByte(b); };
    s.fnGetMs = [](_tSerial *p) { return of(p->pUser)->getMs(); };
    s.fnChangeBaud = [](_tSerial *p, uint32_t baud) { of(p->pUser)->hostBaud = baud; };
    s.pUser = this;
    return s;
}

_tUpdaterCallbacks SimLink::callbacks()
{
    _tUpdaterCallbacks c{};
    c.cbReopen = [](void *u) { of(u)->rx.clear(); }; // what arrived while the port was closed is gone
    // The device's answers to what came before the close were on their way, and are lost with it.
    c.cbClose = [](void *u) { of(u)->serviceDevice(), of(u)->close(); };
    c.cbWrite = [](uint8_t b, void *u) { of(u)->writeByte(b); };
    c.cbRead = [](uint8_t *b, void *u) { return of(u)->readByte(b); };
    c.cbAvailable = [](void *u) { return of(u)->serviceDevice(), static_cast<uint32_t>(of(u)->rx.size()); };
    c.cbChangeBaud = [](uint32_t baud, void *u) { of(u)->hostBaud = baud; };
    c.cbGetMs = [](void *u) { return of(u)->getMs(); };
    c.cbLog = [](const char *msg, void *u)
    {
        SimLink *l = of(u);
        l->logs.emplace_back(msg);
        l->percentAtLog.push_back(l->progress.empty() ? 0 : l->progress.back());
        l->screen += "\n" + percentText(*l) + msg;
    };
    c.cbProgress = [](uint8_t p, void *u)
    {
        SimLink *l = of(u);
        l->progress.push_back(p);
        l->screen += "\r" + percentText(*l) + (l->logs.empty() ? "" : l->logs.back());
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
    restoreEngineAff(*this);
    Bytes wire; // bytes at a wrong rate arrive as junk, as on the pty
    for (devsim::OutputChunk &chunk : pDevice->takeOutput())
        for (uint8_t b : chunk.bytes)
            if (nowMs >= m_downUntilMs)
                wire.push_back(chunk.baud == hostBaud ? b : static_cast<uint8_t>(0xF0 | (b & 0x0F)));
    rx.insert(rx.end(), wire.begin(), wire.end());
    if (onDeviceOutput && !wire.empty())
        onDeviceOutput(wire);
}

uint8_t SimLink::readByte(uint8_t *pByte)
{
    readAttempts++;
    serviceDevice();
    if (rx.empty() && onIdleRead)
        onIdleRead(*this);
    if (rx.empty())
    {
        idleReads++;
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
        restoreEngineAff(*this);
    }
    if (onWrite)
        onWrite(*this, ubByte);
}

SimRig::SimRig()
{
    m_log.setSink([](devsim::Logger::Kind, const std::string &) {});
}

void SimRig::start()
{
    std::string error;
    store.open(m_dir + "/state", &error);
    for (const auto &[slot, code] : config.versions)
        store.setVersionCode(slot, code);
    std::ofstream(m_dir + "/fw.aff", std::ios::binary)
        .write(reinterpret_cast<const char *>(aff.data()), static_cast<std::streamsize>(aff.size()));
    m_hasContainer = !aff.empty() && m_container.load(m_dir + "/fw.aff", &error);
    devsim::DeviceIdentity identity;
    identity.protocolId = config.protocolId;
    const _tAffHeader none{}, &header = m_hasContainer ? m_container.header() : none;
    identity.productId = productId.value_or(config.productId.value_or(header.ulProductId));
    identity.hardwareId = hardwareId.value_or(config.hardwareId.value_or(header.ulHardwareId));
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
    std::rewind(out);
    for (int c = std::fgetc(out); pReport != nullptr && c != EOF; c = std::fgetc(out))
        pReport->push_back(static_cast<char>(c));
    std::fclose(out);
    return result;
}

Bytes slipFrame(uint8_t ubDir, uint8_t ubCmd, const Bytes &data)
{
    Bytes out(SLIP_ENCODED_MAX(data.size()));
    out.resize(
        slipGenerateCrcPacket(out.data(), ubDir, ubCmd, 1, data.data(), static_cast<uint32_t>(data.size())));
    return out;
}

Bytes decodedFrame(uint8_t ubDir, uint8_t ubCmd, const Bytes &data)
{
    // Unescaped by hand: the frame detector takes only frames that look like the device's.
    Bytes wire = slipFrame(ubDir, ubCmd, data), out;
    for (size_t i = 0; i < wire.size(); i++)
        out.push_back(wire[i] != SLIP_ESC ? wire[i] : wire[++i] == SLIP_ESC_END ? SLIP_END : SLIP_ESC);
    return out;
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

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::string hex(const Bytes &bytes)
{
    const char *const digits = "0123456789ABCDEF";
    std::string out;
    for (uint8_t b : bytes)
        out += (out.empty() ? "" : " ") + std::string{digits[b >> 4], digits[b & 0x0F]};
    return out;
}

Bytes unhex(const std::string &text)
{
    Bytes out;
    std::istringstream in(text);
    for (std::string tok; in >> tok;)
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
        else if (b != '\r' && b != '\n')
            line.push_back(static_cast<char>(b));
        else if (!line.empty())
            t.lines.push_back(line), line.clear();
    }
    return t;
}

} // namespace testsupport
