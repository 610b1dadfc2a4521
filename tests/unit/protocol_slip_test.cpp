#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "protocol/crc.h"
#include "protocol/slip.h"
#include "tests/support/sim_link.h"

using testsupport::hex;
using testsupport::SimLink;
using testsupport::unhex;

namespace
{

using Bytes = std::vector<uint8_t>;

uint32_t encodedLength(uint8_t dir, uint8_t cmd, uint32_t checksum, uint8_t count, ...)
{
    va_list ap;
    va_start(ap, count);
    uint32_t n = slipEncodedVaLength(dir, cmd, checksum, count, ap);
    va_end(ap);
    return n;
}

struct FrameCase
{
    const char *name;
    uint8_t dir;
    uint8_t cmd;
    Bytes data;
    std::string wire;
};

std::vector<FrameCase> frameCases()
{
    return {
        {"empty hello", 0, 0x00, {}, "C0 00 00 00 00 00 00 00 00 C0"},
        {"device boot", 0, 0x08, {1, 2, 3, 4}, "C0 00 08 04 00 03 0D 00 00 01 02 03 04 C0"},
        {"escaped data", 0, 0x31, {0xC0}, "C0 00 31 01 00 4C D9 00 00 DB DC C0"},
        {"escaped checksum", 0, 0x01, {0xCC}, "C0 00 01 01 00 DB DC 18 00 00 CC C0"},
        {"escaped esc", 1, 0xDB, {0xDB}, "C0 01 DB DD 01 00 16 7A 00 00 DB DD C0"},
        {"response", 1, 0x08, {0, 0, 0, 0}, "C0 01 08 04 00 00 00 00 00 00 00 00 00 C0"},
    };
}

TEST(SlipFrame, SendGenerateAndLengthAgreeWithTheWireVectors)
{
    for (const auto &c : frameCases())
    {
        SCOPED_TRACE(c.name);
        const uint8_t *p = c.data.empty() ? nullptr : c.data.data();
        uint32_t n = static_cast<uint32_t>(c.data.size());
        uint32_t crc = crc16(CRC16_POLY, CRC16_INIT_PACKET, p, static_cast<int16_t>(n));

        SimLink link;
        _tSerial ch = link.channel();
        slipSendCrcChunkedPacket(&ch, c.dir, c.cmd, 1, p, n);
        EXPECT_EQ(c.wire, hex(link.tx));

        Bytes built(SLIP_ENCODED_MAX(n), 0xEE);
        uint32_t len = slipGenerateCrcPacket(built.data(), c.dir, c.cmd, 1, p, n);
        built.resize(len);
        EXPECT_EQ(link.tx, built);
        EXPECT_EQ(len, encodedLength(c.dir, c.cmd, crc, 1, p, n));
    }
}

TEST(SlipFrame, PiecesAreSentAsOneDataBlock)
{
    const uint8_t index[] = {0x05, 0x00, 0x00, 0x00};
    const uint8_t part[] = {0xC0, 0x11, 0xDB, 0x22};
    const uint8_t joined[] = {0x05, 0x00, 0x00, 0x00, 0xC0, 0x11, 0xDB, 0x22};

    SimLink pieces, whole;
    _tSerial a = pieces.channel(), b = whole.channel();
    slipSendCrcChunkedPacket(&a, 0, 0x31, 3, index, (uint32_t)4, (const uint8_t *)nullptr, (uint32_t)0, part,
                             (uint32_t)4);
    slipSendCrcChunkedPacket(&b, 0, 0x31, 1, joined, (uint32_t)8);
    EXPECT_EQ(hex(whole.tx), hex(pieces.tx));
}

TEST(SlipFrame, LengthFieldOf192IsEscaped)
{
    Bytes data(192, 0x00);
    SimLink link;
    _tSerial ch = link.channel();
    slipSendCrcChunkedPacket(&ch, 0, 0x01, 1, data.data(), (uint32_t)data.size());
    EXPECT_EQ("C0 00 01 DB DC 00 00 00 00 00", hex(link.tx.data(), 10));
    EXPECT_EQ(10u + 192u + 1u, link.tx.size());
}

TEST(SlipReadPacket, Table)
{
    struct Case
    {
        const char *name;
        std::string wire; // after the opening END, which the caller consumed
        uint16_t capacity;
        uint16_t expected;
        std::string decoded;   // the first `expected` bytes of the buffer
        std::string remaining; // wire bytes still unread
    } const cases[] = {
        {"escaped end does not end the frame", "00 31 01 00 4C D9 00 00 DB DC C0", 200, 11,
         "C0 00 31 01 00 4C D9 00 00 C0 C0", ""},
        {"two ends in a row", "C0 00", 200, 2, "C0 C0", "00"},
        {"exactly the capacity", "01 02 03 C0", 5, 5, "C0 01 02 03 C0", ""},
        {"one byte more than the capacity", "01 02 03 04 C0", 5, 0, "", "C0"},
        {"invalid pair dropped", "01 DB 41 02 C0", 200, 4, "C0 01 02 C0", ""},
        {"frame never completed", "01 02", 200, 0, "", ""},
        {"zero capacity", "01 C0", 0, 0, "", "01 C0"},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        SimLink link;
        link.push(unhex(c.wire));
        _tSerial ch = link.channel();
        Bytes buf(c.capacity + 4, 0xEE);
        EXPECT_EQ(c.expected, slipReadPacket(&ch, buf.data(), c.capacity, 500));
        EXPECT_EQ(c.decoded, hex(buf.data(), c.expected));
        EXPECT_EQ(0xEE, buf[c.capacity]); // nothing written past the capacity
        EXPECT_EQ(c.remaining, hex(Bytes(link.rx.begin(), link.rx.end())));
    }
}

TEST(SlipValidity, Table)
{
    const Bytes response = unhex("C0 01 08 04 00 00 00 00 00 00 00 00 00 C0");
    struct Case
    {
        const char *name;
        Bytes packet;
        uint16_t length;
        uint8_t valid;
    } const cases[] = {
        {"valid response", response, 14, 1},
        {"length one short", response, 13, 0},
        {"high checksum byte 7 set", unhex("C0 01 08 04 00 00 00 01 00 00 00 00 00 C0"), 14, 0},
        {"wrong crc", unhex("C0 01 08 04 00 01 00 00 00 00 00 00 00 C0"), 14, 0},
        {"length 9 rejected before the header", unhex("C0 00 00 FF FF 00 00 00 00"), 9, 0},
        {"empty data", unhex("C0 01 00 00 00 00 00 00 00 C0"), 10, 1},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        Bytes padded = c.packet;
        padded.resize(32, 0);
        EXPECT_EQ(c.valid, slipIsPacketValid(padded.data(), c.length, 1));
    }
    EXPECT_EQ(0x01, slipGetDir(response.data()));
    EXPECT_EQ(4, slipGetDataLength(response.data()));
    EXPECT_EQ(response.data() + 9, slipGetDataStart(response.data()));
}

TEST(SlipDetector, CompleteFrameWithEscapes)
{
    uint8_t buf[32];
    _tSlipDetector det{0, buf, sizeof buf, 0, 0};
    const Bytes wire = unhex("41 C0 00 31 01 00 4C D9 00 00 DB DC C0");
    std::vector<int> results;
    for (uint8_t b : wire)
        results.push_back(slipDetectFrame(&det, b));
    EXPECT_EQ((std::vector<int>{-1, -1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), results);
    EXPECT_EQ(11, det.usStored);
    EXPECT_EQ(12, det.usRawCount);
    EXPECT_EQ("C0 00 31 01 00 4C D9 00 00 C0 C0", hex(buf, det.usStored));
    EXPECT_EQ(0u, det.ulState);
}

TEST(SlipDetector, DropsBadBytesAndFullBuffers)
{
    struct Case
    {
        const char *name;
        std::string wire;
        uint32_t capacity;
        int lastResult;
        uint32_t state;
    } const cases[] = {
        {"state 1 refuses a non-direction byte", "C0 02", 8, -1, 0},
        {"end restarts the frame", "C0 C0 01", 8, 0, 2},
        {"invalid escape", "C0 01 DB 41", 8, -1, 0},
        {"buffer full inside the frame", "C0 01 02 03", 3, -1, 0},
        {"buffer full at the closing end", "C0 01 02 C0", 3, -1, 0},
        {"no room for the opening end", "C0 01", 0, -1, 0},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        uint8_t buf[8] = {};
        _tSlipDetector det{0, buf, c.capacity, 0, 0};
        int last = 99;
        for (uint8_t b : unhex(c.wire))
            last = slipDetectFrame(&det, b);
        EXPECT_EQ(c.lastResult, last);
        EXPECT_EQ(c.state, det.ulState);
    }
}

} // namespace
