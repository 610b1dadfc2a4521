#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/commands.h"
#include "protocol/crc.h"
#include "protocol/slip.h"
#include "protocol/slip_buffered.h"
#include "tests/support/sim_link.h"

using testsupport::Bytes;
using testsupport::hex;
using testsupport::SimLink;
using testsupport::unhex;

namespace
{

Bytes record()
{
    uint32_t count = 0;
    const uint8_t *p = slipBufferedGetRecord(&count);
    return Bytes(p, p + count);
}

// Decodes one wire frame (END ... END) and returns its data after checking the packet.
Bytes dataOf(const Bytes &wire, uint8_t cmd)
{
    SimLink link;
    link.push(Bytes(wire.begin() + 1, wire.end()));
    _tSerial ch = link.channel();
    Bytes p(0xFFFF);
    p.resize(slipReadPacket(&ch, p.data(), 0xFFFF, 500));
    EXPECT_TRUE(link.rx.empty() && slipIsPacketValid(p.data(), uint16_t(p.size()), 1) == 1);
    EXPECT_EQ(cmd, slipGetCmd(p.data()));
    return Bytes(slipGetDataStart(p.data()), slipGetDataStart(p.data()) + slipGetDataLength(p.data()));
}

TEST(Slip, ByteEscapes)
{
    const struct
    {
        std::string source;
        uint8_t used, decoded;
    } rows[] = {
        {"41 DB", 1, 0x41}, {"C0 00", 1, 0xC0}, {"DB DC", 2, 0xC0}, {"DB DD", 2, 0xDB}, {"DB 41", 0, 0xEE}};
    for (const auto &r : rows)
    {
        uint8_t out = 0xEE;
        EXPECT_EQ(r.used, slipDecodeByte(unhex(r.source).data(), &out)) << r.source;
        EXPECT_EQ(r.decoded, out) << r.source;
        EXPECT_EQ(r.used, slipDecodeByte(unhex(r.source).data(), nullptr)) << r.source;
    }
    SimLink link;
    _tSerial ch = link.channel();
    for (uint8_t b : {0xC0, 0x41, 0xDB, 0xDC})
        slipSendByte(&ch, b);
    EXPECT_EQ("DB DC 41 DB DD DC", hex(link.tx));
}

// Every frame sent from three pieces cut at a and b, built from one, and sent through the
// buffered sender (which records it) are the same bytes.
TEST(Slip, FramesOnTheWire)
{
    const struct
    {
        uint8_t dir, cmd;
        Bytes data;
        uint32_t a, b;
        std::string wire;
    } rows[] = {
        {0, 0x00, {}, 0, 0, "C0 00 00 00 00 00 00 00 00 C0"},
        {0, 0x08, {1, 2, 3, 4}, 0, 0, "C0 00 08 04 00 03 0D 00 00 01 02 03 04 C0"},
        {0, 0x08, {1, 2, 3, 4}, 1, 3, "C0 00 08 04 00 03 0D 00 00 01 02 03 04 C0"},
        {0, 0x31, {0xC0}, 1, 1, "C0 00 31 01 00 4C D9 00 00 DB DC C0"},
        {0, 0x01, {0xCC}, 0, 1, "C0 00 01 01 00 DB DC 18 00 00 CC C0"},
        {1, 0xDB, {0xDB}, 0, 0, "C0 01 DB DD 01 00 16 7A 00 00 DB DD C0"},
        {1, 0x08, {0, 0, 0, 0}, 2, 2, "C0 01 08 04 00 00 00 00 00 00 00 00 00 C0"},
    };
    for (const auto &r : rows)
    {
        const uint8_t *p = r.data.data();
        const uint32_t n = uint32_t(r.data.size());
        SimLink link, buffered;
        _tSerial ch = link.channel(), bch = buffered.channel();
        slipSendCrcChunkedPacket(&ch, r.dir, r.cmd, 3, p, r.a, p + r.a, r.b - r.a, p + r.b, n - r.b);
        EXPECT_EQ(r.wire, hex(link.tx));
        Bytes built(SLIP_ENCODED_MAX(n), 0xEE);
        built.resize(slipGenerateCrcPacket(built.data(), r.dir, r.cmd, 1, p, n));
        EXPECT_EQ(r.wire, hex(built));
        slipBufferedInit(&bch);
        slipBufferedSendCrcChunkedPacket(0, r.dir, r.cmd, 3, p, r.a, p + r.a, r.b - r.a, p + r.b, n - r.b);
        EXPECT_EQ(r.wire, hex(buffered.tx));
        EXPECT_EQ(buffered.tx, record());
    }
}

// Decoding one frame whose opening END was consumed, read from the channel into a buffer
// of the capacity (invalid pairs dropped), and fed byte by byte to the detector from the
// opening END (results: '-' none, '0' taken, '1' complete; a bad pair or a full buffer drops).
TEST(Slip, Decoding)
{
    const struct
    {
        std::string wire; // after the opening END
        uint16_t capacity, read;
        std::string decoded, remaining, detected;
        uint32_t state;
    } rows[] = {
        {"00 31 01 00 4C D9 00 00 DB DC C0", 200, 11, "C0 00 31 01 00 4C D9 00 00 C0 C0", "", "-00000000001",
         0},
        {"C0 00", 200, 2, "C0 C0", "00", "--0", 2},
        {"01 02 03 C0", 5, 5, "C0 01 02 03 C0", "", "-0001", 0},
        {"01 02 03 04 C0", 5, 0, "", "C0", "-0000-", 0},
        {"01 DB 41 02 C0", 200, 4, "C0 01 02 C0", "", "-00---", 1},
        {"01 02", 200, 0, "", "", "-00", 2},
        {"01 C0", 0, 0, "", "01 C0", "---", 0},
        {"02 C0", 200, 3, "C0 02 C0", "", "---", 1}, // the detector wants a direction byte first
        {"01 02 03 C0", 3, 0, "", "03 C0", "-00--", 1},
    };
    for (const auto &r : rows)
    {
        SCOPED_TRACE(r.wire + " / " + std::to_string(r.capacity));
        SimLink link;
        link.push(unhex(r.wire));
        _tSerial ch = link.channel();
        Bytes buf(r.capacity + 4, 0xEE);
        EXPECT_EQ(r.read, slipReadPacket(&ch, buf.data(), r.capacity, 500));
        EXPECT_EQ(r.decoded, hex(buf.data(), r.read));
        EXPECT_EQ(0xEE, buf[r.capacity]); // nothing written past the capacity
        EXPECT_EQ(r.remaining, hex(Bytes(link.rx.begin(), link.rx.end())));

        std::fill(buf.begin(), buf.end(), 0xEE);
        _tSlipDetector det{0, buf.data(), r.capacity, 0, 0};
        std::string results;
        const Bytes wire = unhex("C0 " + r.wire);
        for (uint8_t b : wire)
            results += "-01"[slipDetectFrame(&det, b) + 1];
        EXPECT_EQ(r.detected, results);
        EXPECT_EQ(r.state, det.ulState);
        if (results.back() == '1')
        {
            EXPECT_EQ(r.decoded, hex(buf.data(), det.usStored));
            EXPECT_EQ(wire.size(), det.usRawCount);
        }
    }
    uint8_t buf[4];
    _tSlipDetector det{0, buf, 4, 0, 0};
    EXPECT_EQ(-1, slipDetectFrame(&det, 0x41)) << "bytes before the first END are ignored";
    EXPECT_EQ(0u, det.ulState);
}

TEST(Slip, PacketValidity)
{
    const Bytes response = unhex("C0 01 08 04 00 00 00 00 00 00 00 00 00 C0");
    const struct
    {
        std::string packet;
        uint16_t length;
        uint8_t isCrc, valid;
    } rows[] = {
        {"C0 01 08 04 00 00 00 00 00 00 00 00 00 C0", 14, 1, 1},
        {"C0 01 08 04 00 00 00 00 00 00 00 00 00 C0", 13, 1, 0}, // length one short
        {"C0 01 08 04 00 00 00 01 00 00 00 00 00 C0", 14, 1, 0}, // high checksum byte set
        {"C0 01 08 04 00 01 00 00 00 00 00 00 00 C0", 14, 1, 0}, // wrong crc
        {"C0 00 00 FF FF 00 00 00 00", 9, 1, 0},                 // shorter than a header and END
        {"C0 01 00 00 00 00 00 00 00 C0", 10, 1, 1},
        {"C0 01 08 02 00 EC 00 00 00 01 02 C0", 12, 0, 1}, // 0xEF ^ 01 ^ 02
        {"C0 01 08 02 00 EF 00 00 00 01 02 C0", 12, 0, 0},
    };
    for (const auto &r : rows)
    {
        Bytes padded = unhex(r.packet);
        padded.resize(32, 0);
        EXPECT_EQ(r.valid, slipIsPacketValid(padded.data(), r.length, r.isCrc))
            << r.packet << " " << r.length;
    }
    EXPECT_EQ(0x01, slipGetDir(response.data()));
    EXPECT_EQ(4, slipGetDataLength(response.data()));
    EXPECT_EQ(response.data() + 9, slipGetDataStart(response.data()));
}

// The record is resent after the pause with the stale input drained, at most 20 times; a text
// command restarts the count; a channel lacking an operation neither sends nor resends.
TEST(SlipBuffered, Resend)
{
    SimLink link;
    _tSerial ch = link.channel();
    slipBufferedInit(&ch);
    slipBufferedSendPacket(1, SLIP_DIR_REQUEST, 0x00, nullptr, 0);
    const Bytes first = link.tx;
    link.pushText("stale reply");
    const uint64_t start = link.nowMs;
    for (int i = 1; i <= SLIP_BUFFERED_MAX_RETRIES; i++)
    {
        link.tx.clear();
        ASSERT_EQ(1, slipBufferedResendPacket()) << i;
        EXPECT_EQ(first, link.tx);
        EXPECT_EQ(i, slipBufferedGetRetries());
    }
    EXPECT_TRUE(link.rx.empty());
    EXPECT_GE(link.nowMs - start, uint64_t(20 * SLIP_BUFFERED_RESEND_PAUSE_MS));
    link.tx.clear();
    EXPECT_EQ(0, slipBufferedResendPacket());
    EXPECT_TRUE(link.tx.empty());
    EXPECT_EQ(first, record());
    serialBufferedWriteStr("AT+LOCK=1\r\n");
    link.tx.clear();
    EXPECT_EQ(1, slipBufferedResendPacket());
    EXPECT_EQ("AT+LOCK=1\r\n", link.txText()); // without its terminating zero

    _tSerial noRead = ch;
    noRead.fnReadByte = nullptr;
    slipBufferedInit(&noRead);
    link.tx.clear();
    slipBufferedSendPacket(0, SLIP_DIR_REQUEST, 0x00, nullptr, 0);
    serialBufferedWriteStr("AT\r\n");
    EXPECT_EQ(0, slipBufferedResendPacket());
    EXPECT_TRUE(link.tx.empty());
}

// What does not fit is refused without writing (a resend then writes nothing); the worst-case
// part, all END and ESC bytes, goes out plain and forwarded (the inner frame as the data of a
// forwarding request) and decodes to its data.
TEST(SlipBuffered, Sizes)
{
    Bytes zeros(65536, 0x00), ends(20000, 0xC0), part(16388, 0xC0);
    for (size_t i = 0; i < part.size(); i += 3)
        part[i] = 0xDB;
    const struct
    {
        uint8_t forwarded;
        const uint8_t *p1;
        uint32_t n1, n2;
        bool sent;
    } rows[] = {
        {0, zeros.data(), 32768, 32768, false}, // data over 65535 bytes
        {1, ends.data(), 20000, 0, false},      // inner frame over the forwarding buffer
        {0, zeros.data(), 32768, 32767, true},  // 65535 bytes fit
        {1, zeros.data(), 32784, 0, true},      // the largest unescaped forward
        {0, part.data(), 4, 16384, true},       {1, part.data(), 4, 16384, true},
    };
    SimLink link;
    _tSerial ch = link.channel();
    slipBufferedInit(&ch);
    for (const auto &r : rows)
    {
        SCOPED_TRACE(&r - rows);
        serialBufferedWriteStr("AT+BOOT?\r\n"); // something to replace
        ASSERT_EQ(1, slipBufferedResendPacket());
        link.tx.clear();
        slipBufferedSendCrcChunkedPacket(r.forwarded, SLIP_DIR_REQUEST, 0x31, 2, r.p1, r.n1, r.p1 + r.n1,
                                         r.n2);
        EXPECT_EQ(0, slipBufferedGetRetries());
        EXPECT_EQ(r.sent, !link.tx.empty());
        EXPECT_EQ(link.tx, record());
        link.tx.clear();
        EXPECT_EQ(1, slipBufferedResendPacket());
        EXPECT_EQ(record(), link.tx);
        if (!r.sent || link.tx.size() > 0xFFFF)
            continue;
        Bytes data = r.forwarded ? dataOf(dataOf(link.tx, UPDATER_CMD_FORWARD), 0x31) : dataOf(link.tx, 0x31);
        EXPECT_TRUE(Bytes(r.p1, r.p1 + r.n1 + r.n2) == data);
    }
    std::string text(SLIP_PACKET_BUFFER_SIZE - 1, 'A');
    serialBufferedWriteStr(text.c_str());
    EXPECT_EQ(text, std::string((const char *)record().data(), record().size()));
    serialBufferedWriteStr((text + 'A').c_str());
    EXPECT_TRUE(record().empty());
}

} // namespace
