#include "fuzz/fuzz_link.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/commands.h"
#include "protocol/slip.h"
#include "tests/support/aff_image.h"

namespace fuzzsupport
{
namespace
{

constexpr uint8_t kStatusSize = 4;
// No host output for this long (virtual time) means the run no longer moves:
// every waiting state of the engine resends or gives up within seconds.
constexpr uint64_t kStallMs = 60ull * 60ull * 1000ull;

[[noreturn]] void fail(const char *szWhat)
{
    std::fprintf(stderr, "fuzz invariant broken: %s\n", szWhat);
    std::abort();
}

testsupport::AffImageBlock block(uint32_t type, size_t size, uint32_t partSize, uint32_t code, uint8_t seed)
{
    testsupport::AffImageBlock b;
    b.type = type;
    b.data = testsupport::affImagePattern(size, seed);
    b.partSize = partSize;
    b.version = {code, "Jan 02 2025"};
    return b;
}

testsupport::AffImage image(uint16_t format, std::vector<testsupport::AffImageBlock> blocks)
{
    testsupport::AffImage img;
    img.formatVersion = format;
    img.blocks = std::move(blocks);
    img.hostUc.code = 10700011;
    img.deviceUc.code = 10700012;
    img.wifi.code = 10700014;
    img.fpga.code = 20015;
    return img;
}

std::vector<Bytes> buildContainers()
{
    testsupport::AffImageBlock host = block(AFF_BLOCK_HOST_UC, 1024, 512, 10700041, 25);
    testsupport::AffImageBlock dev = block(AFF_BLOCK_DEVICE_UC, 512, 512, 10700042, 26);
    for (size_t i = 0; i < host.data.size(); i++)
        host.data[i] = (i & 1) ? SLIP_END : SLIP_ESC; // parts made of frame delimiters and escapes
    dev.data.assign(dev.data.size(), SLIP_END);
    const testsupport::AffImage images[kContainerCount] = {
        image(3,
              {block(AFF_BLOCK_HOST_UC, 128, 64, 10700001, 1),
               block(AFF_BLOCK_DEVICE_UC, 128, 64, 10700002, 2), block(AFF_BLOCK_TI, 64, 32, 10700003, 3),
               block(AFF_BLOCK_ESP_FLASH, 128, 64, 10700004, 4),
               block(AFF_BLOCK_FPGA_NVCM0, 64, 32, 20005, 5), block(AFF_BLOCK_FPGA_NVCM1, 32, 32, 20005, 6),
               block(AFF_BLOCK_FPGA_USERCODE, 4, 4, 20005, 7)}),
        image(3, {block(AFF_BLOCK_DEVICE_UC, 96, 32, 10700002, 8), block(AFF_BLOCK_TI, 32, 32, 10700003, 9)}),
        image(3,
              {block(AFF_BLOCK_FPGA_NVCM0, 96, 32, 20006, 10), block(AFF_BLOCK_FPGA_NVCM1, 0, 32, 20006, 11),
               block(AFF_BLOCK_FPGA_USERCODE, 4, 4, 20006, 12)}),
        image(2, {block(AFF_BLOCK_HOST_UC, 64, 32, 0, 13), block(AFF_BLOCK_DEVICE_UC, 64, 32, 0, 14),
                  block(AFF_BLOCK_ESP_FLASH, 64, 32, 0, 15), block(AFF_BLOCK_FPGA_NVCM0, 32, 32, 0, 16),
                  block(AFF_BLOCK_FPGA_NVCM1, 32, 32, 0, 17), block(AFF_BLOCK_FPGA_USERCODE, 4, 4, 0, 18)}),
        image(1, {block(AFF_BLOCK_DEVICE_UC, 64, 64, 0, 19), block(AFF_BLOCK_FPGA_NVCM0, 32, 32, 0, 20),
                  block(AFF_BLOCK_FPGA_NVCM1, 32, 32, 0, 21), block(AFF_BLOCK_FPGA_USERCODE, 4, 4, 0, 22)}),
        image(3, {block(AFF_BLOCK_ESP_RAM, 32, 32, 10700031, 23),
                  block(AFF_BLOCK_ESP_FLASH, 96, 32, 10700034, 24)}),
        image(3, {host, dev}),
        image(3, {}),
    };
    std::vector<Bytes> out;
    for (const testsupport::AffImage &img : images)
        out.push_back(img.build());
    return out;
}

testsupport::SimLink *s_pLink = nullptr;
uint64_t s_ullLastWriteMs = 0;

int stopWhenStalled(void *)
{
    if (s_pLink->nowMs - s_ullLastWriteMs > kStallMs)
        fail("the run makes no progress: an hour without host output");
    return 0;
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
        len = std::min(len, ulSize - at);
        c.payload.assign(pData + at, pData + at + len);
        at += len;
        in.chunks.push_back(std::move(c));
    }
    return in;
}

Bytes serializeInput(const FuzzInput &input)
{
    Bytes out = {uint8_t(input.op - 1), input.flags};
    for (const Chunk &c : input.chunks)
    {
        size_t len = std::min<size_t>(c.payload.size(), 255);
        out.push_back(uint8_t(c.kind | (c.withNext ? kChunkWithNext : 0)));
        out.push_back(uint8_t(len));
        out.insert(out.end(), c.payload.begin(), c.payload.begin() + len);
    }
    return out;
}

Bytes chunkBytes(const Chunk &chunk)
{
    const Bytes &p = chunk.payload;
    if (chunk.kind == kChunkText)
        return testsupport::cat({p, {'\r', '\n'}});
    if (chunk.kind == kChunkRaw)
        return p;
    uint8_t dir = p.size() > 0 ? p[0] : SLIP_DIR_RESPONSE;
    uint8_t cmd = p.size() > 1 ? p[1] : UPDATER_CMD_HELLO;
    Bytes data(p.size() > 2 ? p.begin() + 2 : p.end(), p.end());
    if (chunk.kind == kChunkFrame)
        return testsupport::slipFrame(dir, cmd, data);
    return testsupport::slipFrame(
        SLIP_DIR_RESPONSE, UPDATER_CMD_FORWARD,
        testsupport::cat({Bytes(kStatusSize, 0), testsupport::decodedFrame(dir, cmd, data)}));
}

const Bytes &builtInContainer(size_t idx)
{
    static const std::vector<Bytes> s_containers = buildContainers();
    return s_containers[idx % s_containers.size()];
}

uint8_t checkedRun(testsupport::SimLink &link, uint32_t ulOp, const Bytes *pAff, uint8_t isVerbose,
                   uint8_t isDeviceLog)
{
    s_pLink = &link;
    s_ullLastWriteMs = link.nowMs;
    link.pEngineAff = pAff;
    _tUpdaterCallbacks cb = link.callbacks();
    cb.cbLog = [](const char *szMsg, void *)
    {
        if (std::strlen(szMsg) > UPDATER_LOG_RECV_MAX)
            fail("log line longer than the engine's limit");
    };
    cb.cbProgress = [](uint8_t ubPercent, void *)
    {
        if (ubPercent > 100)
            fail("progress above 100 %");
    };
    auto onWrite = link.onWrite;
    link.onWrite = [onWrite](testsupport::SimLink &l, uint8_t b)
    {
        s_ullLastWriteMs = l.nowMs;
        if (onWrite)
            onWrite(l, b);
    };
    const uint8_t *pBytes = pAff != nullptr ? pAff->data() : nullptr;
    uint8_t ubResult = updater(ulOp, pBytes, pAff != nullptr ? uint32_t(pAff->size()) : 0, isVerbose,
                               isDeviceLog, &cb, stopWhenStalled);
    link.onWrite = onWrite;
    if (ubResult > 1)
        fail("updater result other than 0 or 1");
    return ubResult;
}

void runEngineInput(const uint8_t *pData, size_t ulSize)
{
    FuzzInput in = parseInput(pData, ulSize);
    testsupport::SimLink link;
    size_t next = 0;
    bool hasWritten = false;
    link.onWrite = [&](testsupport::SimLink &, uint8_t) { hasWritten = true; };
    link.onIdleRead = [&](testsupport::SimLink &l)
    {
        for (; hasWritten && next < in.chunks.size(); next++)
        {
            l.push(chunkBytes(in.chunks[next]));
            if (!in.chunks[next].withNext)
            {
                next++;
                break;
            }
        }
        hasWritten = false;
    };
    const bool isUpdate = in.op == UPDATER_OP_UPDATE_CHANGED || in.op == UPDATER_OP_UPDATE_ALL;
    const Bytes &aff = builtInContainer(in.flags & kFlagContainerMask);
    checkedRun(link, in.op, isUpdate ? &aff : nullptr, (in.flags & kFlagVerbose) ? 1 : 0,
               (in.flags & kFlagDeviceLog) ? 1 : 0);
}

} // namespace fuzzsupport
