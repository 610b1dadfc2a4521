#include "fuzz/fuzz_link.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/le_bytes.h"
#include "components/fpga_programmer.h"
#include "protocol/commands.h"
#include "engine/hello.h"
#include "tests/support/aff_image.h"

namespace fuzzsupport
{
namespace
{

constexpr uint8_t kSlipEnd = 0xC0;
constexpr uint8_t kSlipEsc = 0xDB;
constexpr uint8_t kSlipEscEnd = 0xDC;
constexpr uint8_t kSlipEscEsc = 0xDD;
constexpr uint8_t kDirResponse = 1;
constexpr uint8_t kCmdHello = 0x00;
constexpr uint8_t kCmdForward = 0x09;
constexpr size_t kStatusSize = 4;
constexpr size_t kChecksumOffset = 5; // of a decoded frame
constexpr uint8_t kCmdFpgaBegin = 0x20;
constexpr uint8_t kCmdFpgaPhase = 0x21;
constexpr uint8_t kCmdFpgaData = 0x22;
constexpr uint8_t kCmdFpgaUsercode = 0x23;
constexpr uint8_t kCmdUcBegin = 0x30;
constexpr uint8_t kCmdUcData = 0x31;
constexpr uint8_t kCmdTiBegin = 0x40;
constexpr uint8_t kCmdTiData = 0x41;
constexpr uint8_t kCmdWifiInit = 0x44;
constexpr uint32_t kStatusMalformed = 1;
constexpr uint32_t kStatusVerifyFailed = 0x10;

constexpr uint64_t kReadWaitMs = 50;
// No host output for this long (virtual time) means the run no longer moves:
// every waiting state of the engine resends or gives up within seconds.
constexpr uint64_t kStallMs = 60ull * 60ull * 1000ull;
constexpr size_t kLogRecvMax = UPDATER_LOG_RECV_MAX;
constexpr uint8_t kPercentMax = 100;

[[noreturn]] void fail(const char *szWhat)
{
    fprintf(stderr, "fuzz invariant broken: %s\n", szWhat);
    abort();
}

FuzzLink *linkOf(void *pUser)
{
    return static_cast<FuzzLink *>(pUser);
}

void cbReopen(void *u)
{
    // What arrived while the port was closed is gone, as on a real port.
    linkOf(u)->rx.clear();
}
void cbClose(void *) {}
void cbWrite(uint8_t b, void *u)
{
    linkOf(u)->writeByte(b);
}
uint8_t cbRead(uint8_t *b, void *u)
{
    return linkOf(u)->readByte(b);
}
void cbBaud(uint32_t, void *u)
{
    linkOf(u)->rx.clear();
}
uint64_t cbGetMs(void *u)
{
    return linkOf(u)->getMs();
}
void cbLog(const char *szMsg, void *u)
{
    linkOf(u)->log(szMsg);
}
void cbProgress(uint8_t ubPercent, void *)
{
    if (ubPercent > kPercentMax)
        fail("progress above 100 %");
}
int stopFn(void *u)
{
    return linkOf(u)->stopCheck();
}

testsupport::AffImageBlock block(uint32_t type, size_t size, uint32_t partSize, uint32_t code, uint8_t seed)
{
    testsupport::AffImageBlock b;
    b.type = type;
    b.data = testsupport::affImagePattern(size, seed);
    b.partSize = partSize;
    b.version.code = code;
    b.version.date = "Jan 02 2025";
    return b;
}

std::vector<testsupport::AffImage> buildImages()
{
    std::vector<testsupport::AffImage> out;
    using testsupport::AffImage;
    // 0: every component, format 3.
    AffImage all;
    for (size_t i = 0; i < all.iv.size(); i++)
        all.iv[i] = uint8_t(i);
    all.blocks = {
        block(AFF_BLOCK_HOST_UC, 128, 64, 10700001, 1), block(AFF_BLOCK_DEVICE_UC, 128, 64, 10700002, 2),
        block(AFF_BLOCK_TI, 64, 32, 10700003, 3),       block(AFF_BLOCK_ESP_FLASH, 128, 64, 10700004, 4),
        block(AFF_BLOCK_FPGA_NVCM0, 64, 32, 20005, 5),  block(AFF_BLOCK_FPGA_NVCM1, 32, 32, 20005, 6),
        block(AFF_BLOCK_FPGA_USERCODE, 4, 4, 20005, 7)};
    out.push_back(all);
    // 1: the device microcontroller and the TI controller only.
    AffImage device;
    device.blocks = {block(AFF_BLOCK_DEVICE_UC, 96, 32, 10700002, 8),
                     block(AFF_BLOCK_TI, 32, 32, 10700003, 9)};
    out.push_back(device);
    // 2: the FPGA only, without NVCM1 pages.
    AffImage fpga;
    fpga.blocks = {block(AFF_BLOCK_FPGA_NVCM0, 96, 32, 20006, 10),
                   block(AFF_BLOCK_FPGA_NVCM1, 0, 32, 20006, 11),
                   block(AFF_BLOCK_FPGA_USERCODE, 4, 4, 20006, 12)};
    out.push_back(fpga);
    // 3: format 2, versions in the file header.
    AffImage v2;
    v2.formatVersion = 2;
    v2.hostUc.code = 10700011;
    v2.deviceUc.code = 10700012;
    v2.wifi.code = 10700014;
    v2.fpga.code = 20015;
    v2.blocks = {block(AFF_BLOCK_HOST_UC, 64, 32, 0, 13),    block(AFF_BLOCK_DEVICE_UC, 64, 32, 0, 14),
                 block(AFF_BLOCK_ESP_FLASH, 64, 32, 0, 15),  block(AFF_BLOCK_FPGA_NVCM0, 32, 32, 0, 16),
                 block(AFF_BLOCK_FPGA_NVCM1, 32, 32, 0, 17), block(AFF_BLOCK_FPGA_USERCODE, 4, 4, 0, 18)};
    out.push_back(v2);
    // 4: format 1, device microcontroller and FPGA.
    AffImage v1;
    v1.formatVersion = 1;
    v1.deviceUc.code = 10700022;
    v1.fpga.code = 20025;
    v1.blocks = {block(AFF_BLOCK_DEVICE_UC, 64, 64, 0, 19), block(AFF_BLOCK_FPGA_NVCM0, 32, 32, 0, 20),
                 block(AFF_BLOCK_FPGA_NVCM1, 32, 32, 0, 21), block(AFF_BLOCK_FPGA_USERCODE, 4, 4, 0, 22)};
    out.push_back(v1);
    // 5: the Wi-Fi module only, with the RAM blocks it carries.
    AffImage wifi;
    wifi.blocks = {block(AFF_BLOCK_ESP_RAM, 32, 32, 10700031, 23),
                   block(AFF_BLOCK_ESP_FLASH, 96, 32, 10700034, 24)};
    out.push_back(wifi);
    // 6: parts made of frame delimiters and escape bytes, larger parts.
    AffImage escapes;
    testsupport::AffImageBlock host = block(AFF_BLOCK_HOST_UC, 1024, 512, 10700041, 25);
    testsupport::AffImageBlock dev = block(AFF_BLOCK_DEVICE_UC, 512, 512, 10700042, 26);
    for (size_t i = 0; i < host.data.size(); i++)
        host.data[i] = (i & 1) ? kSlipEnd : kSlipEsc;
    for (size_t i = 0; i < dev.data.size(); i++)
        dev.data[i] = kSlipEnd;
    escapes.blocks = {host, dev};
    out.push_back(escapes);
    // 7: no blocks at all.
    AffImage empty;
    out.push_back(empty);
    return out;
}

} // namespace

FuzzInput parseInput(const uint8_t *pData, size_t ulSize)
{
    FuzzInput in;
    size_t at = 0;
    if (at < ulSize)
        in.op = 1 + pData[at++] % kOperationCount;
    if (at < ulSize)
        in.flags = pData[at++];
    while (at < ulSize)
    {
        Chunk c;
        uint8_t head = pData[at++];
        c.kind = head & kChunkKindMask;
        c.withNext = (head & kChunkWithNext) != 0;
        size_t len = at < ulSize ? pData[at++] : 0;
        if (len > ulSize - at)
            len = ulSize - at;
        c.payload.assign(pData + at, pData + at + len);
        at += len;
        in.chunks.push_back(std::move(c));
    }
    return in;
}

std::vector<uint8_t> serializeInput(const FuzzInput &input)
{
    std::vector<uint8_t> out;
    out.push_back(uint8_t(input.op - 1));
    out.push_back(input.flags);
    for (const Chunk &c : input.chunks)
    {
        out.push_back(uint8_t(c.kind | (c.withNext ? kChunkWithNext : 0)));
        size_t len = c.payload.size() > 255 ? 255 : c.payload.size();
        out.push_back(uint8_t(len));
        out.insert(out.end(), c.payload.begin(), c.payload.begin() + len);
    }
    return out;
}

uint16_t packetCrc(const uint8_t *pData, size_t ulSize)
{
    uint16_t crc = 0;
    for (size_t i = 0; i < ulSize; i++)
    {
        crc ^= uint16_t(pData[i] << 8);
        for (int bit = 0; bit < 8; bit++)
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

std::vector<uint8_t> decodedFrame(uint8_t ubDir, uint8_t ubCmd, const std::vector<uint8_t> &vData)
{
    std::vector<uint8_t> f = {kSlipEnd, ubDir, ubCmd, 0, 0, 0, 0, 0, 0};
    lePutU16(&f[3], uint16_t(vData.size()));
    lePutU32(&f[5], packetCrc(vData.data(), vData.size()));
    f.insert(f.end(), vData.begin(), vData.end());
    f.push_back(kSlipEnd);
    return f;
}

std::vector<uint8_t> escapeFrame(const std::vector<uint8_t> &vDecoded)
{
    std::vector<uint8_t> out = {kSlipEnd};
    for (size_t i = 1; i + 1 < vDecoded.size(); i++)
    {
        uint8_t b = vDecoded[i];
        if (b == kSlipEnd)
            out.insert(out.end(), {kSlipEsc, kSlipEscEnd});
        else if (b == kSlipEsc)
            out.insert(out.end(), {kSlipEsc, kSlipEscEsc});
        else
            out.push_back(b);
    }
    out.push_back(kSlipEnd);
    return out;
}

std::vector<uint8_t> chunkBytes(const Chunk &chunk)
{
    const std::vector<uint8_t> &p = chunk.payload;
    switch (chunk.kind)
    {
    case kChunkText:
    {
        std::vector<uint8_t> out = p;
        out.push_back('\r');
        out.push_back('\n');
        return out;
    }
    case kChunkFrame:
    case kChunkForwarded:
    {
        uint8_t dir = p.size() > 0 ? p[0] : kDirResponse;
        uint8_t cmd = p.size() > 1 ? p[1] : kCmdHello;
        std::vector<uint8_t> data(p.size() > 2 ? p.begin() + 2 : p.end(), p.end());
        std::vector<uint8_t> frame = decodedFrame(dir, cmd, data);
        if (chunk.kind == kChunkForwarded)
        {
            std::vector<uint8_t> outer(kStatusSize, 0);
            outer.insert(outer.end(), frame.begin(), frame.end());
            frame = decodedFrame(kDirResponse, kCmdForward, outer);
        }
        if (chunk.isCorrupt)
            frame[kChecksumOffset] ^= 1;
        return escapeFrame(frame);
    }
    default:
        return p;
    }
}

static const std::vector<testsupport::AffImage> &builtInImages()
{
    static const std::vector<testsupport::AffImage> s_images = buildImages();
    return s_images;
}

const std::vector<uint8_t> &builtInContainer(size_t idx)
{
    static const std::vector<std::vector<uint8_t>> s_containers = []
    {
        std::vector<std::vector<uint8_t>> out;
        for (const testsupport::AffImage &img : builtInImages())
            out.push_back(img.build());
        return out;
    }();
    return s_containers[idx % s_containers.size()];
}

std::vector<uint8_t> expectedImage(size_t idx, Slot slot)
{
    static const uint32_t s_types[kSlotCount] = {
        AFF_BLOCK_HOST_UC,    AFF_BLOCK_DEVICE_UC,  AFF_BLOCK_TI,           AFF_BLOCK_ESP_FLASH,
        AFF_BLOCK_FPGA_NVCM0, AFF_BLOCK_FPGA_NVCM1, AFF_BLOCK_FPGA_USERCODE};
    const testsupport::AffImage &img = builtInImages()[idx % builtInImages().size()];
    const bool isFpga = slot == Slot::Nvcm0 || slot == Slot::Nvcm1 || slot == Slot::Usercode;
    bool hasAllFpga = true;
    for (uint32_t t : {AFF_BLOCK_FPGA_NVCM0, AFF_BLOCK_FPGA_NVCM1, AFF_BLOCK_FPGA_USERCODE})
    {
        bool found = false;
        for (const testsupport::AffImageBlock &b : img.blocks)
            found = found || b.type == t;
        hasAllFpga = hasAllFpga && found;
    }
    if (isFpga && !hasAllFpga)
        return {};
    for (const testsupport::AffImageBlock &b : img.blocks)
    {
        if (b.type != s_types[size_t(slot)])
            continue;
        if (slot == Slot::Usercode)
            return b.data;
        size_t whole = b.partSize != 0 ? b.data.size() / b.partSize * b.partSize : 0;
        return std::vector<uint8_t>(b.data.begin(), b.data.begin() + whole);
    }
    return {};
}

_tUpdaterCallbacks FuzzLink::callbacks()
{
    _tUpdaterCallbacks c{};
    c.cbReopen = cbReopen;
    c.cbClose = cbClose;
    c.cbWrite = cbWrite;
    c.cbRead = cbRead;
    c.cbChangeBaud = cbBaud;
    c.cbGetMs = cbGetMs;
    c.cbLog = cbLog;
    c.cbProgress = cbProgress;
    c.pUser = this;
    return c;
}

uint8_t FuzzLink::run(uint32_t ulOp, const std::vector<uint8_t> *pAff, uint8_t isVerbose, uint8_t isDeviceLog)
{
    _tUpdaterCallbacks cb = callbacks();
    const uint8_t *pBytes = pAff != nullptr ? pAff->data() : nullptr;
    uint32_t ulSize = pAff != nullptr ? uint32_t(pAff->size()) : 0;
    uint8_t ubResult = updater(ulOp, pBytes, ulSize, isVerbose, isDeviceLog, &cb, stopFn);
    if (ubResult > 1)
        fail("updater result other than 0 or 1");
    return ubResult;
}

uint8_t FuzzLink::readByte(uint8_t *pByte)
{
    if (rx.empty() && wroteSinceRound)
    {
        wroteSinceRound = false;
        lastRoundMs = nowMs;
        if (onRound)
            onRound(*this);
    }
    if (rx.empty())
    {
        nowMs += kReadWaitMs;
        return 0;
    }
    *pByte = rx.front();
    rx.pop_front();
    return 1;
}

void FuzzLink::writeByte(uint8_t ubByte)
{
    wroteSinceRound = true;
    bytesWritten++;
    if (onWrite)
        onWrite(ubByte);
}

uint64_t FuzzLink::getMs()
{
    return nowMs++;
}

void FuzzLink::log(const char *szMsg)
{
    if (strlen(szMsg) > kLogRecvMax)
        fail("log line longer than the engine's limit");
    if (keepLogs)
        logs.emplace_back(szMsg);
}

int FuzzLink::stopCheck()
{
    if (nowMs - lastRoundMs > kStallMs)
        fail("the run makes no progress: an hour without host output");
    return 0;
}

// The cooperative device: it splits what the host writes into text lines and
// request frames (decoding forwarded requests once more) and answers as a
// healthy device in its bootloader does (or, when it starts in the
// application, after the reboot into the bootloader).
struct CooperativeDevice::Impl
{
    std::vector<Chunk> replies;
    uint32_t productId = 0;
    uint32_t hardwareId = 0;
    bool isBoot = true;
    bool isConfig = false;
    bool isInFrame = false;
    bool isEscape = false;
    std::string line;
    std::vector<uint8_t> frame; // decoded, without its ENDs
    std::function<Fate()> *pNextFate = nullptr;
    std::vector<Chunk> lateHeld; // answers held back from the current round
    std::vector<Chunk> lateDue;  // answers that arrive at the next round, before its own
    std::array<std::vector<uint8_t>, kSlotCount> images;
    std::array<uint32_t, kSlotCount> partSizes{};
    bool isWifiHandedOver = false;
    uint32_t fpgaMemory = 0;
    uint32_t fpgaOperation = 0;

    static constexpr size_t kHeader = 8; // direction, command, length, checksum
    static constexpr size_t kHelloSize = UPDATER_HELLO_DATA_SIZE;
    static constexpr uint32_t kProtocolId = 5;
    static constexpr uint32_t kVersionCode = 10000000;

    void feed(uint8_t b)
    {
        if (!isInFrame)
        {
            if (b == kSlipEnd)
            {
                isInFrame = true;
                isEscape = false;
                frame.clear();
            }
            else if (b == '\n')
            {
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                onText(line);
                line.clear();
            }
            else
                line.push_back(char(b));
            return;
        }
        if (b == kSlipEnd)
        {
            isInFrame = false;
            onFrame(frame);
            return;
        }
        if (isEscape)
        {
            frame.push_back(b == kSlipEscEnd ? kSlipEnd : b == kSlipEscEsc ? kSlipEsc : b);
            isEscape = false;
        }
        else if (b == kSlipEsc)
            isEscape = true;
        else
            frame.push_back(b);
    }

    void text(const std::string &reply)
    {
        Chunk c;
        c.kind = kChunkText;
        c.payload.assign(reply.begin(), reply.end());
        replies.push_back(c);
    }

    void onText(const std::string &cmd)
    {
        if (cmd == "AT+BOOT?")
            text(isBoot ? "AT+BOOT=1" : "AT+BOOT=0");
        else if (cmd == "AT+CONFIG=1" && !isBoot)
        {
            isConfig = true;
            text("AT+OK");
        }
        else if (cmd == "AT+CONFIG?")
            text(isConfig ? "AT+CONFIG=1" : "AT+CONFIG=0");
        else if (cmd == "AT+REBOOT_BOOTLOADER")
            isBoot = true; // restarts: the host has its port closed and hears nothing
        else if (cmd == "AT+LOCK=1")
            text(isBoot ? "AT+OK" : "AT+ERROR");
        else if (cmd == "AT+LOCK=0")
            text("AT+OK");
        else
            text("AT+ERROR");
    }

    static void putVersion(std::vector<uint8_t> &d, size_t at)
    {
        lePutU32(&d[at], kVersionCode);
        memcpy(&d[at + 4], "Jan 01 2024", 11);
    }

    std::vector<uint8_t> helloData(bool isForwarded) const
    {
        std::vector<uint8_t> d(kHelloSize, 0);
        lePutU32(&d[HELLO_OFFS_PROTOCOL_ID], kProtocolId);
        putVersion(d, HELLO_OFFS_BOOTLOADER_VERSION);
        lePutU32(&d[HELLO_OFFS_PRODUCT_ID], productId);
        lePutU32(&d[HELLO_OFFS_HARDWARE_ID], hardwareId);
        putVersion(d, HELLO_OFFS_FIRMWARE_VERSION);
        putVersion(d, HELLO_OFFS_FPGA_VERSION);
        putVersion(d, HELLO_OFFS_WIFI_VERSION);
        lePutU32(&d[HELLO_OFFS_HOST_FLAG], isForwarded ? 0 : 1);
        putVersion(d, HELLO_OFFS_TI_VERSION);
        return d;
    }

    // Decodes an escaped frame with its ENDs; empty when it is not one.
    static std::vector<uint8_t> unescape(const std::vector<uint8_t> &in)
    {
        std::vector<uint8_t> out;
        if (in.size() < 2 || in.front() != kSlipEnd || in.back() != kSlipEnd)
            return out;
        for (size_t i = 1; i + 1 < in.size(); i++)
        {
            if (in[i] == kSlipEsc && i + 2 < in.size())
            {
                i++;
                out.push_back(in[i] == kSlipEscEnd ? kSlipEnd : in[i] == kSlipEscEsc ? kSlipEsc : in[i]);
            }
            else
                out.push_back(in[i]);
        }
        return out;
    }

    // Writes a part (index, then bytes) into a component.
    void writePart(Slot slot, const std::vector<uint8_t> &data)
    {
        if (data.size() <= kStatusSize)
            return;
        uint32_t &partSize = partSizes[size_t(slot)];
        uint32_t length = uint32_t(data.size() - kStatusSize);
        if (partSize == 0)
            partSize = length;
        uint64_t at = uint64_t(leGetU32(data.data())) * partSize;
        std::vector<uint8_t> &img = images[size_t(slot)];
        if (at + length > img.size())
            img.resize(at + length, 0);
        memcpy(&img[at], &data[kStatusSize], length);
    }

    void begin(Slot slot)
    {
        images[size_t(slot)].clear();
        partSizes[size_t(slot)] = 0;
    }

    // Carries out a request; returns its status word.
    uint32_t execute(uint8_t cmd, bool isForwarded, const std::vector<uint8_t> &data)
    {
        const Slot uc = !isForwarded ? Slot::HostUc : isWifiHandedOver ? Slot::Wifi : Slot::DeviceUc;
        const Slot nvcm = fpgaMemory == FPGA_MEM_NVCM1 ? Slot::Nvcm1 : Slot::Nvcm0;
        switch (cmd)
        {
        case kCmdUcBegin:
            begin(uc);
            break;
        case kCmdUcData:
            writePart(uc, data);
            break;
        case kCmdTiBegin:
            begin(Slot::Ti);
            break;
        case kCmdTiData:
            writePart(Slot::Ti, data);
            break;
        case kCmdWifiInit:
            isWifiHandedOver = isWifiHandedOver || isForwarded;
            break;
        case kCmdFpgaBegin:
            break;
        case kCmdFpgaPhase:
            if (data.size() >= 2 * kStatusSize)
            {
                fpgaMemory = leGetU32(data.data());
                fpgaOperation = leGetU32(&data[kStatusSize]);
                partSizes[size_t(fpgaMemory == FPGA_MEM_NVCM1 ? Slot::Nvcm1 : Slot::Nvcm0)] = 0;
                if (fpgaOperation == FPGA_OP_WRITE)
                    begin(fpgaMemory == FPGA_MEM_NVCM1 ? Slot::Nvcm1 : Slot::Nvcm0);
            }
            break;
        case kCmdFpgaData:
            if (fpgaOperation == FPGA_OP_WRITE)
                writePart(nvcm, data);
            else if (data.size() > kStatusSize)
            {
                uint32_t &partSize = partSizes[size_t(nvcm)];
                uint32_t length = uint32_t(data.size() - kStatusSize);
                if (partSize == 0)
                    partSize = length;
                uint64_t at = uint64_t(leGetU32(data.data())) * partSize;
                const std::vector<uint8_t> &img = images[size_t(nvcm)];
                if (at + length > img.size() || memcmp(&img[at], &data[kStatusSize], length) != 0)
                    return kStatusVerifyFailed;
            }
            break;
        case kCmdFpgaUsercode:
            images[size_t(Slot::Usercode)] = data;
            break;
        default:
            break;
        }
        return 0;
    }

    void onFrame(const std::vector<uint8_t> &f)
    {
        if (f.size() < kHeader)
            return;
        uint8_t cmd = f[1];
        bool isForwarded = false;
        std::vector<uint8_t> data(f.begin() + kHeader, f.end());
        if (cmd == kCmdForward)
        {
            std::vector<uint8_t> inner = unescape(data);
            if (inner.size() < kHeader)
                return;
            cmd = inner[1];
            data.assign(inner.begin() + kHeader, inner.end());
            isForwarded = true;
        }
        Fate fate = (pNextFate != nullptr && *pNextFate) ? (*pNextFate)() : Fate::Deliver;
        Chunk c;
        c.kind = isForwarded ? kChunkForwarded : kChunkFrame;
        std::vector<uint8_t> answer(kStatusSize, 0);
        if (fate == Fate::Malformed)
        {
            // The emulated bootloaders answer a malformed forwarded request at the outer level.
            c.kind = kChunkFrame;
            cmd = isForwarded ? kCmdForward : cmd;
            lePutU32(answer.data(), kStatusMalformed);
        }
        else if (cmd == kCmdHello)
            answer = helloData(isForwarded);
        else
            lePutU32(answer.data(), execute(cmd, isForwarded, data));
        c.payload = {kDirResponse, cmd};
        c.payload.insert(c.payload.end(), answer.begin(), answer.end());
        c.isCorrupt = fate == Fate::Corrupt;
        if (fate == Fate::Lose)
            return;
        if (fate == Fate::Late)
            lateHeld.push_back(c);
        else
            replies.push_back(c);
    }
};

CooperativeDevice::CooperativeDevice(uint32_t ulProductId, uint32_t ulHardwareId, bool isStartInApplication)
    : m_impl(std::make_unique<Impl>())
{
    m_impl->productId = ulProductId;
    m_impl->hardwareId = ulHardwareId;
    m_impl->isBoot = !isStartInApplication;
    m_impl->pNextFate = &nextFate;
}

CooperativeDevice::~CooperativeDevice() = default;

void CooperativeDevice::feed(uint8_t ubByte)
{
    m_impl->feed(ubByte);
}

std::vector<Chunk> CooperativeDevice::takeReplies()
{
    // Answers held back in the round before arrive now, before the new ones;
    // those held back in this round wait for the next.
    std::vector<Chunk> out;
    out.swap(m_impl->lateDue);
    m_impl->lateDue.swap(m_impl->lateHeld);
    out.insert(out.end(), m_impl->replies.begin(), m_impl->replies.end());
    m_impl->replies.clear();
    return out;
}

const std::vector<uint8_t> &CooperativeDevice::image(Slot slot) const
{
    return m_impl->images[size_t(slot)];
}

void runEngineInput(const uint8_t *pData, size_t ulSize)
{
    FuzzInput in = parseInput(pData, ulSize);
    FuzzLink link;
    size_t next = 0;
    link.onRound = [&](FuzzLink &l)
    {
        while (next < in.chunks.size())
        {
            const Chunk &c = in.chunks[next++];
            std::vector<uint8_t> bytes = chunkBytes(c);
            l.rx.insert(l.rx.end(), bytes.begin(), bytes.end());
            if (!c.withNext)
                break;
        }
    };
    const bool isUpdate = in.op == UPDATER_OP_UPDATE_CHANGED || in.op == UPDATER_OP_UPDATE_ALL;
    const std::vector<uint8_t> &aff = builtInContainer(in.flags & kFlagContainerMask);
    link.run(in.op, isUpdate ? &aff : nullptr, (in.flags & kFlagVerbose) ? 1 : 0,
             (in.flags & kFlagDeviceLog) ? 1 : 0);
}

} // namespace fuzzsupport
