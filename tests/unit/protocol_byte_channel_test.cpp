#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "protocol/byte_channel.h"
#include "tests/support/sim_link.h"

using testsupport::SimLink;

namespace
{

// Reads of a line ('L'), of a byte count ('B') and the drain ('F'). The clock moves only by
// 1 ms per empty read attempt, so the attempts after the input are the milliseconds waited:
// a time-out of T ends after exactly T of them.
TEST(ByteChannel, Reads)
{
    // operation, input, size, time-out, result, stored (then a zero or untouched), unread, attempts
    const std::tuple<char, std::string, uint32_t, uint32_t, uint8_t, std::string, std::string, uint32_t>
        rows[] = {{'L', "AT+OK\r\n", 199, 500, 1, std::string("AT+OK", 6), "\n", 6},
                  {'L', "\nAT", 199, 500, 0, "", "AT", 1}, // a terminator first gives nothing
                  {'L', "ABCDE\n", 6, 500, 1, std::string("ABCDE", 6), "", 6},
                  {'L', "ABCDEF\nX", 6, 500, 0, "ABCDEF", "\nX", 6}, // size bytes without a terminator
                  {'L', std::string("A\0B\r", 4), 10, 500, 1, std::string("A\0B", 4), "", 4},
                  {'L', "AB", 10, 500, 0, "AB", "", 502},
                  {'L', "AT\r", 10, 0, 0, "", "AT\r", 0},
                  {'L', "AT\r", 0, 500, 0, "", "AT\r", 0},
                  {'B', "ABCDE", 4, 500, 1, "ABCD", "E", 4},
                  {'B', "AB", 4, 500, 0, "AB", "", 502},
                  {'B', "ABCD", 4, 0, 0, "", "ABCD", 0},
                  {'B', "AB", 0, 500, 1, "", "AB", 0},
                  {'F', "", 0, 0, 0, "", "", 1},
                  {'F', "xyz", 0, 0, 0, "", "", 4}};
    for (const auto &[op, input, size, timeoutMs, result, stored, remaining, attempts] : rows)
    {
        SCOPED_TRACE(std::string(1, op) + " " + input);
        SimLink link;
        link.clockStepMs = 0;
        link.readWaitMs = 1;
        link.pushText(input);
        _tSerial ch = link.channel();
        char dest[16];
        memset(dest, 'z', sizeof dest);
        uint8_t got = 0;
        if (op == 'L')
            got = serialReadStr(&ch, dest, size, timeoutMs);
        else if (op == 'B')
            got = serialReadBytes(&ch, reinterpret_cast<uint8_t *>(dest), size, timeoutMs);
        else
            serialFlushRecv(&ch);
        EXPECT_EQ(std::make_tuple(result, stored + 'z', remaining, attempts),
                  std::make_tuple(got, std::string(dest, stored.size() + 1),
                                  std::string(link.rx.begin(), link.rx.end()), link.readAttempts));
    }
}

TEST(ByteChannel, WritesAndClock)
{
    SimLink link;
    _tSerial ch = link.channel();
    const uint8_t bytes[] = {0x00, 0xC0, 0xFF};
    serialWriteStr(&ch, "AT\r\n");
    serialWriteBytes(&ch, bytes, 3);
    serialWriteByte(&ch, 0x7E);
    serialPrintf(&ch, "%d%s", 7, std::string(250, 'q').c_str()); // cut to 199 characters
    EXPECT_EQ("AT\r\n" + std::string("\x00\xC0\xFF\x7E", 4) + "7" + std::string(198, 'q'), link.txText());
    // now, start, elapsed: a clock set back gives a huge value, so any wait ends at once;
    // a long difference keeps its low 32 bits.
    const std::tuple<uint64_t, uint64_t, uint32_t> rows[] = {
        {5000, 3800, 1200}, {100, 200, 0xFFFFFFFFu - 100u}, {0x100000005ULL, 0, 5}};
    for (const auto &[now, start, delta] : rows)
    {
        link.nowMs = now;
        EXPECT_EQ(delta, serialGetDelta(&ch, start)) << now;
    }
}

} // namespace
