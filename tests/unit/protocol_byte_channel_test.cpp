#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/byte_channel.h"
#include "tests/support/sim_link.h"

using testsupport::SimLink;

namespace
{

// Reads of a line ('L'), of a byte count ('B') and the drain ('F'). The clock moves only
// by 1 ms per empty read attempt, so the attempts after the input are the milliseconds
// waited: a time-out of T ends after exactly T of them.
TEST(ByteChannel, Reads)
{
    const struct
    {
        char op;
        std::string input;
        uint32_t size, timeoutMs;
        uint8_t result;
        std::string stored, remaining; // stored: at the start of the destination
        bool terminated;               // a zero follows the stored bytes
        uint32_t attempts;
    } rows[] = {
        {'L', "AT+OK\r\n", 199, 500, 1, "AT+OK", "\n", true, 6},
        {'L', "\nAT", 199, 500, 0, "", "AT", false, 1},           // a terminator first gives nothing
        {'L', "ABCDE\n", 6, 500, 1, "ABCDE", "", true, 6},        // size-1 bytes fit
        {'L', "ABCDEF\nX", 6, 500, 0, "ABCDEF", "\nX", false, 6}, // size bytes are too long
        {'L', std::string("A\0B\r", 4), 10, 500, 1, std::string("A\0B", 3), "", true, 4},
        {'L', "AB", 10, 500, 0, "AB", "", false, 502},
        {'L', "AT\r", 10, 0, 0, "", "AT\r", false, 0},
        {'L', "AT\r", 0, 500, 0, "", "AT\r", false, 0},
        {'B', "ABCDE", 4, 500, 1, "ABCD", "E", false, 4},
        {'B', "AB", 4, 500, 0, "AB", "", false, 502},
        {'B', "ABCD", 4, 0, 0, "", "ABCD", false, 0},
        {'B', "AB", 0, 500, 1, "", "AB", false, 0},
        {'F', "", 0, 0, 0, "", "", false, 1},
        {'F', "xyz", 0, 0, 0, "", "", false, 4},
    };
    for (const auto &r : rows)
    {
        SCOPED_TRACE(std::string(1, r.op) + " " + r.input);
        SimLink link;
        link.clockStepMs = 0;
        link.readWaitMs = 1;
        link.pushText(r.input);
        _tSerial ch = link.channel();
        char dest[16];
        memset(dest, 'z', sizeof dest);
        uint8_t result = 0;
        if (r.op == 'L')
            result = serialReadStr(&ch, dest, r.size, r.timeoutMs);
        else if (r.op == 'B')
            result = serialReadBytes(&ch, reinterpret_cast<uint8_t *>(dest), r.size, r.timeoutMs);
        else
            serialFlushRecv(&ch);
        EXPECT_EQ(r.result, result);
        EXPECT_EQ(r.stored, std::string(dest, r.stored.size()));
        EXPECT_EQ(r.terminated ? '\0' : 'z', dest[r.stored.size()]);
        EXPECT_EQ(r.remaining, std::string(link.rx.begin(), link.rx.end()));
        EXPECT_EQ(r.attempts, link.readAttempts);
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
    EXPECT_EQ("41 54 0D 0A 00 C0 FF 7E", testsupport::hex(link.tx));
    link.tx.clear();
    serialPrintf(&ch, "%d%s", 7, std::string(250, 'q').c_str());
    EXPECT_EQ("7" + std::string(198, 'q'), link.txText()); // cut to 199 characters

    const struct
    {
        uint64_t now, start;
        uint32_t delta;
    } rows[] = {
        {5000, 3800, 1200},
        {100, 200, 0xFFFFFFFFu - 100u}, // a clock set back: huge, so any wait ends at once
        {0x100000005ULL, 0, 5},         // the low 32 bits of a long difference
    };
    for (const auto &r : rows)
    {
        link.nowMs = r.now;
        EXPECT_EQ(r.delta, serialGetDelta(&ch, r.start)) << r.now;
    }
}

} // namespace
