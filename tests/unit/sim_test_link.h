#ifndef TESTS_UNIT_SIM_TEST_LINK_H
#define TESTS_UNIT_SIM_TEST_LINK_H

// The emulator tests' steps: what the host sends, built with the project's framing, and
// the device's whole answer as one short text: text lines ending in "\n", then frames as
// "cmd/status;" ("!cmd;" when checksum, length or direction are wrong), a forwarding
// answer with its inner frame in braces, a hello with its words (protocol, bootloader,
// product, hardware, firmware, FPGA, Wi-Fi, host flag, TI) after a colon.

#include <functional>
#include <optional>

#include "common/le_bytes.h"
#include "protocol/commands.h"
#include "tests/support/aff_image.h"
#include "tests/support/sim_link.h"

namespace simtest
{

using namespace testsupport;

inline std::string frameText(const Bytes &f)
{
    const uint16_t len = slipGetDataLength(f.data());
    std::string s = std::to_string(slipGetCmd(f.data()));
    if (slipIsPacketValid(f.data(), uint16_t(f.size()), 1) != 1 ||
        slipGetDir(f.data()) != SLIP_DIR_RESPONSE || len < 4 || f.size() != size_t(len) + SLIP_OVERHEAD)
        return "!" + s + ";";
    const uint8_t *d = slipGetDataStart(f.data());
    s += "/" + std::to_string(leGetU32(d));
    if (slipGetCmd(f.data()) == UPDATER_CMD_FORWARD && len > 4)
        s += "{" + frameText(Bytes(d + 4, d + len)) + "}";
    for (size_t at : {0, 4, 20, 24, 28, 44, 60, 76, 80})
        if (slipGetCmd(f.data()) == UPDATER_CMD_HELLO && len == UPDATER_HELLO_DATA_SIZE)
            s += (at ? "," : ":") + std::to_string(leGetU32(d + 4 + at));
    return s + ";";
}

inline std::string trafficText(const Bytes &bytes)
{
    Traffic t = splitTraffic(bytes);
    std::string s;
    for (const std::string &line : t.lines)
        s += line + "\n";
    for (const Bytes &f : t.frames)
        s += frameText(f);
    return s;
}

inline std::string ans(uint8_t cmd, uint32_t status = 0, const std::string &extra = "")
{
    return std::to_string(cmd) + "/" + std::to_string(status) + extra + ";";
}
inline std::string fans(uint8_t cmd, uint32_t status = 0, const std::string &extra = "")
{
    return ans(UPDATER_CMD_FORWARD, 0, "{" + ans(cmd, status, extra) + "}");
}

using Check = std::function<void(SimRig &)>;
// A block of a pattern that differs with the version code.
inline AffImageBlock block(uint32_t type, size_t size, uint32_t partSize, uint32_t code)
{
    return {type, affImagePattern(size, uint8_t(code)), partSize, -1, 0, {code, "Feb  2 2025"}};
}

struct Step
{
    Bytes send;           // nothing: only time passes
    std::string expect;   // the whole answer; "drop N" when the link drops for N ms
    uint64_t afterMs = 1; // time since the step before
    Check then = nullptr;
    uint32_t baud = 115200;
};
using Opt = std::optional<std::string>;
// A text line; a request (answered with success unless said otherwise) sent directly
// or forwarded by the host; bytes as they are; time passing.
inline Step T(const std::string &line, const std::string &expect, uint32_t baud = 115200)
{
    return {cat({Bytes(line.begin(), line.end()), {'\r', '\n'}}), expect, 1, nullptr, baud};
}
inline Step R(uint8_t cmd, const Bytes &data = {}, Opt expect = {}, Check then = nullptr)
{
    return {slipFrame(SLIP_DIR_REQUEST, cmd, data), expect.value_or(ans(cmd)), 1, then};
}
inline Step F(uint8_t cmd, const Bytes &data = {}, Opt expect = {})
{
    return {slipFrame(SLIP_DIR_REQUEST, UPDATER_CMD_FORWARD, slipFrame(SLIP_DIR_REQUEST, cmd, data)),
            expect.value_or(fans(cmd))};
}
inline Step B(const Bytes &bytes, const std::string &expect)
{
    return {bytes, expect};
}
inline Step W(uint64_t ms, const std::string &expect = "", Check then = nullptr)
{
    return {{}, expect, ms, then};
}

} // namespace simtest

#endif
