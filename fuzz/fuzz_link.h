#ifndef FUZZ_FUZZ_LINK_H
#define FUZZ_FUZZ_LINK_H

// Driving the engine from fuzz inputs over the tests' one in-memory link
// (tests/support/sim_link.h): built-in containers and the run with its invariants.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/support/aff_image.h"
#include "tests/support/sim_link.h"

namespace fuzzsupport
{

using testsupport::Bytes;
constexpr uint8_t kWithNext = 0x04, kContainerMask = 0x07, kVerbose = 0x08, kDeviceLog = 0x10;
constexpr size_t kContainerCount = 8;

[[noreturn]] inline void fail(const char *szWhat)
{
    std::fprintf(stderr, "fuzz invariant broken: %s\n", szWhat), std::abort();
}

// Built-in container idx, for product 0, hardware 0: the three formats, every block type,
// an empty image, parts made of frame delimiters and escapes (6), and no block at all.
inline const Bytes &builtInContainer(size_t idx)
{
    using namespace testsupport;
    constexpr uint32_t Ram = AFF_BLOCK_ESP_RAM, Esp = AFF_BLOCK_ESP_FLASH, Nv0 = AFF_BLOCK_FPGA_NVCM0,
                       Nv1 = AFF_BLOCK_FPGA_NVCM1, Usr = AFF_BLOCK_FPGA_USERCODE, Dev = AFF_BLOCK_DEVICE_UC,
                       Host = AFF_BLOCK_HOST_UC, Ti = AFF_BLOCK_TI;
    // The format, then type, size, part size and version code of each block.
    static const std::vector<uint32_t> defs[kContainerCount] = {
        {3,  Host,     128, 64, 10700001, Dev,   128, 64, 10700002, Ti,    64,  32, 10700003, Esp,  128,
         64, 10700004, Nv0, 64, 32,       20005, Nv1, 32, 32,       20005, Usr, 4,  4,        20005},
        {3, Dev, 96, 32, 10700002, Ti, 32, 32, 10700003},
        {3, Nv0, 96, 32, 20006, Nv1, 0, 32, 20006, Usr, 4, 4, 20006},
        {2, Host, 64, 32, 0, Dev, 64, 32, 0, Esp, 64, 32, 0, Nv0, 32, 32, 0, Nv1, 32, 32, 0, Usr, 4, 4, 0},
        {1, Dev, 64, 64, 0, Nv0, 32, 32, 0, Nv1, 32, 32, 0, Usr, 4, 4, 0},
        {3, Ram, 32, 32, 10700031, Esp, 96, 32, 10700034},
        {3, Host, 1024, 512, 10700041, Dev, 512, 512, 10700042},
        {3}};
    static std::vector<Bytes> s_all;
    uint8_t seed = 1;
    for (size_t c = 0; s_all.size() < kContainerCount; c++)
    {
        const std::vector<uint32_t> &d = defs[c];
        AffImage img;
        img.formatVersion = uint16_t(d[0]);
        img.hostUc.code = 10700011, img.deviceUc.code = 10700012, img.wifi.code = 10700014,
        img.fpga.code = 20015;
        for (size_t i = 1; i + 3 < d.size(); i += 4)
            img.blocks.push_back(
                {d[i], affImagePattern(d[i + 1], seed++), d[i + 2], -1, 0, {d[i + 3], "Jan 02 2025"}});
        for (size_t i = 0; c == 6 && i < 1536; i++)
            img.blocks[i / 1024].data[i % 1024] = (i & 1) || i >= 1024 ? SLIP_END : SLIP_ESC;
        s_all.push_back(img.build());
    }
    return s_all[idx % kContainerCount];
}

// Runs one operation and checks the engine's promises: the run ends (no hour of virtual
// time without host output: every waiting state resends or gives up within seconds), log
// lines and progress stay within their limits, the result is 0 or 1.
inline uint8_t checkedRun(testsupport::SimLink &link, uint32_t ulOp, const Bytes *pAff, uint8_t ubFlags = 0)
{
    static testsupport::SimLink *s_pLink;
    static uint64_t s_ullWrittenMs, s_ullWritten;
    s_pLink = &link, s_ullWrittenMs = link.nowMs, s_ullWritten = link.tx.size();
    link.pEngineAff = pAff = ulOp >= UPDATER_OP_UPDATE_CHANGED ? pAff : nullptr;
    _tUpdaterCallbacks cb = link.callbacks();
    cb.cbLog = [](const char *szMsg, void *)
    { strlen(szMsg) > UPDATER_LOG_RECV_MAX ? fail("long log line") : void(); };
    cb.cbProgress = [](uint8_t ubPercent, void *)
    { ubPercent > 100 ? fail("progress above 100 %") : void(); };
    auto stalled = [](void *)
    {
        if (s_pLink->tx.size() != s_ullWritten)
            s_ullWrittenMs = s_pLink->nowMs, s_ullWritten = s_pLink->tx.size();
        else if (s_pLink->nowMs - s_ullWrittenMs > 60ull * 60ull * 1000ull)
            fail("the run makes no progress: an hour without host output");
        return 0;
    };
    uint8_t ubResult = updater(ulOp, pAff ? pAff->data() : nullptr, pAff ? uint32_t(pAff->size()) : 0,
                               (ubFlags & kVerbose) ? 1 : 0, (ubFlags & kDeviceLog) ? 1 : 0, &cb, stalled);
    if (ubResult > 1)
        fail("updater result other than 0 or 1");
    return ubResult;
}

} // namespace fuzzsupport

#endif
