// The receiving side of the engine: every operation, fed an arbitrary device byte stream
// over the in-memory link with its virtual clock. A run must end, stay inside its buffers
// and keep its log lines and progress within their limits (fuzz_link.h). The input:
//   byte 0   operation selector (operation 1 + byte % 7)
//   byte 1   bits 0-2 built-in container, bit 3 verbose, bit 4 device log lines
//   then     chunks: [head][length][length payload bytes]
// Head bits 0-1 say how the payload goes on the wire: 0 raw (length 0: nothing, a lost
// answer), 1 text (followed by "\r\n"), 2 a frame with correct length and checksum of
// payload = direction, command, data, 3 that frame inside a forwarding response. Head
// bit 2 releases the next chunk in the same round. A round is released when the host has
// written since the last one and then reads with nothing pending.

#include "fuzz/fuzz_link.h"
#include "protocol/commands.h"

using namespace fuzzsupport;
using namespace testsupport;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t ulSize)
{
    const uint32_t op = ulSize > 0 ? 1 + pData[0] % 7 : UPDATER_OP_READ_VERSIONS;
    const uint8_t flags = ulSize > 1 ? pData[1] : 0;
    size_t at = 2;
    bool hasWritten = false;
    SimLink link;
    link.onWrite = [&](SimLink &, uint8_t) { hasWritten = true; };
    link.onIdleRead = [&](SimLink &l)
    {
        for (bool isNext = hasWritten; isNext && at < ulSize;)
        {
            const uint8_t head = pData[at++];
            size_t len = at < ulSize ? pData[at++] : 0;
            len = std::min(len, ulSize - at);
            const Bytes p(pData + at, pData + at + len),
                data(p.size() > 2 ? p.begin() + 2 : p.end(), p.end());
            const uint8_t dir = p.size() > 0 ? p[0] : SLIP_DIR_RESPONSE,
                          cmd = p.size() > 1 ? p[1] : UPDATER_CMD_HELLO;
            at += len;
            isNext = (head & kWithNext) != 0;
            const uint8_t kind = head & 3;
            l.push(kind == 0   ? p
                   : kind == 1 ? cat({p, {'\r', '\n'}})
                   : kind == 2 ? slipFrame(dir, cmd, data)
                               : slipFrame(SLIP_DIR_RESPONSE, UPDATER_CMD_FORWARD,
                                           statusData(0, decodedFrame(dir, cmd, data))));
        }
        hasWritten = false;
    };
    const Bytes &aff = builtInContainer(flags & kContainerMask); // for the updates
    checkedRun(link, op, &aff, flags);
    return 0;
}
