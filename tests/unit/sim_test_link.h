#ifndef TESTS_UNIT_SIM_TEST_LINK_H
#define TESTS_UNIT_SIM_TEST_LINK_H

// The emulator tests' notation: what the host sends, built with the project's framing,
// and what the device answered as one short text ("AT+OK\n", "2/0;" and so on).

#include <iterator>
#include <sstream>

#include "common/le_bytes.h"
#include "protocol/commands.h"
#include "sim/sim_options.h"
#include "tests/support/sim_link.h"

namespace simtest
{

using namespace testsupport;

// A decoded frame as "cmd/status;" ("!cmd;" when its checksum or length is wrong); a
// forwarding answer holds its inner frame in braces, a hello its words: protocol,
// bootloader, product, hardware, firmware, FPGA, Wi-Fi, host flag, TI.
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

// Text lines ending in "\n", then the frames.
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
inline Bytes txt(const std::string &line)
{
    return cat({Bytes(line.begin(), line.end()), {'\r', '\n'}});
}
inline Bytes req(uint8_t cmd, const Bytes &data = {})
{
    return slipFrame(SLIP_DIR_REQUEST, cmd, data);
}
inline Bytes fwd(uint8_t cmd, const Bytes &data = {})
{
    return req(UPDATER_CMD_FORWARD, req(cmd, data));
}

// Parses the words of a devsim command line (no word holds a space).
inline devsim::ParseResult parseLine(const std::string &line, devsim::SimConfig *pConfig, std::string *pError)
{
    std::istringstream in(line);
    std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
    std::vector<const char *> args;
    for (const std::string &w : words)
        args.push_back(w.c_str());
    return devsim::parseOptions(int(args.size()), args.data(), pConfig, pError);
}

} // namespace simtest

#endif
