#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/byte_channel.h"
#include "tests/support/sim_link.h"

using testsupport::SimLink;

namespace
{

struct ReadStrCase
{
    const char *name;
    std::string input;
    uint32_t size;
    uint32_t timeoutMs;
    uint8_t expected;
    std::string stored;    // bytes expected at the start of the destination
    bool terminated;       // a zero follows the stored bytes
    std::string remaining; // bytes still waiting in the channel
};

TEST(SerialReadStr, Table)
{
    const ReadStrCase cases[] = {
        {"cr ends the line, lf stays", "AT+OK\r\n", 199, 500, 1, "AT+OK", true, "\n"},
        {"lf first gives nothing", "\nAT", 199, 500, 0, "", false, "AT"},
        {"exactly size-1 bytes fit", "ABCDE\n", 6, 500, 1, "ABCDE", true, ""},
        {"size bytes is too long", "ABCDEF\nX", 6, 500, 0, "ABCDEF", false, "\nX"},
        {"zero bytes are stored", std::string("A\0B\r", 4), 10, 500, 1, std::string("A\0B", 3), true, ""},
        {"time-out keeps partial line", "AB", 10, 500, 0, "AB", false, ""},
        {"zero time-out reads nothing", "AT\r", 10, 0, 0, "", false, "AT\r"},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        SimLink link;
        link.pushText(c.input);
        _tSerial ch = link.channel();
        char dest[16];
        memset(dest, 'z', sizeof dest);
        EXPECT_EQ(c.expected, serialReadStr(&ch, dest, c.size, c.timeoutMs));
        EXPECT_EQ(c.stored, std::string(dest, c.stored.size()));
        if (c.terminated)
        {
            EXPECT_EQ('\0', dest[c.stored.size()]);
        }
        else if (c.stored.size() < sizeof dest)
        {
            EXPECT_EQ('z', dest[c.stored.size()]);
        }
        EXPECT_EQ(c.remaining, std::string(link.rx.begin(), link.rx.end()));
    }
}

TEST(SerialReadBytes, Table)
{
    struct Case
    {
        const char *name;
        std::string input;
        uint32_t count;
        uint32_t timeoutMs;
        uint8_t expected;
        uint32_t attempts; // read attempts made, or UINT32_MAX for "any"
    } const cases[] = {
        {"all bytes present", "ABCD", 4, 500, 1, 4},
        {"too few bytes time out", "AB", 4, 500, 0, UINT32_MAX},
        {"zero time-out", "ABCD", 4, 0, 0, 0},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        SimLink link;
        link.pushText(c.input);
        _tSerial ch = link.channel();
        uint8_t dest[8] = {};
        EXPECT_EQ(c.expected, serialReadBytes(&ch, dest, c.count, c.timeoutMs));
        if (c.attempts != UINT32_MAX)
        {
            EXPECT_EQ(c.attempts, link.readAttempts);
        }
        if (c.expected == 1)
        {
            EXPECT_EQ(c.input.substr(0, c.count), std::string(dest, dest + c.count));
        }
    }
}

TEST(SerialFlushRecv, ReadsUntilOneAttemptBringsNothing)
{
    SimLink silent;
    _tSerial ch = silent.channel();
    serialFlushRecv(&ch);
    EXPECT_EQ(1u, silent.readAttempts);

    SimLink busy;
    busy.pushText("xyz");
    ch = busy.channel();
    serialFlushRecv(&ch);
    EXPECT_EQ(4u, busy.readAttempts);
    EXPECT_TRUE(busy.rx.empty());
}

TEST(SerialWrite, TextBytesAndPrintf)
{
    SimLink link;
    _tSerial ch = link.channel();
    serialWriteStr(&ch, "AT+BOOT?\r\n");
    EXPECT_EQ("AT+BOOT?\r\n", link.txText());

    link.tx.clear();
    const uint8_t bytes[] = {0x00, 0xC0, 0xFF};
    serialWriteBytes(&ch, bytes, 3);
    serialWriteByte(&ch, 0x7E);
    EXPECT_EQ("00 C0 FF 7E", testsupport::hex(link.tx));

    link.tx.clear();
    std::string longText(250, 'q');
    serialPrintf(&ch, "%s", longText.c_str());
    EXPECT_EQ(std::string(199, 'q'), link.txText());
}

TEST(SerialGetDelta, ForwardAndSetBackClock)
{
    SimLink link;
    _tSerial ch = link.channel();
    link.nowMs = 5000;
    EXPECT_EQ(1200u, serialGetDelta(&ch, 3800));
    // A clock set back below the start: the result is huge, so any wait ends at once.
    link.nowMs = 100;
    EXPECT_EQ(0xFFFFFFFFu - 100u, serialGetDelta(&ch, 200));
    // Only the low 32 bits of a long difference are kept.
    link.nowMs = 0x100000005ULL;
    EXPECT_EQ(5u, serialGetDelta(&ch, 0));
}

} // namespace
