#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "protocol/byte_channel.h"
#include "protocol/commands.h"
#include "protocol/crc.h"
#include "protocol/slip.h"
#include "protocol/slip_buffered.h"
#include "tests/support/aff_image.h"
#include "tests/support/sim_link.h"

using testsupport::Bytes;
using testsupport::hex;
using testsupport::SimLink;
using testsupport::unhex;

namespace
{

// Check values of "123456789" in every form, a piece longer than one crc16 call takes, every
// table entry and every short length against the container's CRC written bit by bit
// (affImageCrc), and the one-bit repair.
TEST(Crc, Values)
{
    const uint8_t *p = reinterpret_cast<const uint8_t *>("123456789");
    const Bytes big = testsupport::affImagePattern(40000, 1);
    EXPECT_EQ(
        std::make_tuple(0x31C3u, 0x29B1u, 0xFEE8u, 0x1234u, 0x31C3u, 0xB129, 0xC331, 0xF7, 0xFF, 0x054268u),
        std::make_tuple(crc16(CRC16_POLY, CRC16_INIT_PACKET, p, 9), crc16(CRC16_POLY, CRC16_INIT_AFF, p, 9),
                        crc16(0x8005, 0, p, 9), crc16Multiple(CRC16_POLY, 0x1234, 0),
                        crc16Multiple(CRC16_POLY, 0, 2, p, (uint32_t)4, p + 4, (uint32_t)5), CRC_16(p, 9),
                        CRC_16_init(p, 9, 0), CRC_8(p, 9), CRC_8(nullptr, 9), crcAdsb(p, 9)));
    EXPECT_EQ(testsupport::affImageCrc(big.data(), 40000),
              crc16Multiple(CRC16_POLY, 0xFFFF, 1, big.data(), (uint32_t)40000));
    for (size_t i = 0; i < 256; i++) // the first 256 pattern bytes take every value once
        ASSERT_EQ(testsupport::affImageCrc(&big[i], 1), crc16(CRC16_POLY, 0xFFFF, &big[i], 1)) << i;
    for (size_t at = 0; at < 8; at++) // eight bytes at a time, then one by one: every tail
        for (size_t n = 0; n <= 17; n++)
            ASSERT_EQ(testsupport::affImageCrc(&big[at], n), crc16(CRC16_POLY, 0xFFFF, &big[at], int16_t(n)))
                << at << "+" << n;
    char msg[] = "123456789";
    msg[8] ^= 0x80; // the last bit is found and repaired; two wrong bits are not and stay
    EXPECT_EQ(1, crcAdsbTryCorrectData(0x054268, reinterpret_cast<uint8_t *>(msg), 9));
    msg[0] ^= 0x01, msg[5] ^= 0x10;
    EXPECT_EQ(0, crcAdsbTryCorrectData(0x054268, reinterpret_cast<uint8_t *>(msg), 9));
    EXPECT_STREQ("02345&789", msg);
}

// Reads of a line ('L') and of a byte count ('B'). The clock moves only by
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
                  {'L', "AT\r", 0, 500, 0, "", "AT\r", 0},
                  {'B', "ABCDE", 4, 500, 1, "ABCD", "E", 4},
                  {'B', "AB", 4, 500, 0, "AB", "", 502},
                  {'B', "AB", 0, 500, 1, "", "AB", 0}};
    for (const auto &[op, input, size, timeoutMs, result, stored, remaining, attempts] : rows)
    {
        SimLink link;
        link.clockStepMs = 0, link.readWaitMs = 1;
        link.pushText(input);
        _tSerial ch = link.channel();
        char dest[16];
        memset(dest, 'z', sizeof dest);
        const uint8_t got = op == 'L'
                                ? serialReadStr(&ch, dest, size, timeoutMs)
                                : serialReadBytes(&ch, reinterpret_cast<uint8_t *>(dest), size, timeoutMs);
        EXPECT_EQ(std::make_tuple(result, stored + 'z', remaining, attempts),
                  std::make_tuple(got, std::string(dest, stored.size() + 1),
                                  std::string(link.rx.begin(), link.rx.end()), link.readAttempts))
            << op << input;
    }
}

// Every write form, slipSendByte's escapes, and the clock: a clock set back gives a huge elapsed
// value, so any wait ends at once; a long difference keeps its low 32 bits.
TEST(ByteChannel, WritesAndClock)
{
    SimLink link;
    _tSerial ch = link.channel();
    const uint8_t raw[] = {0x00, 0xC0, 0xFF};
    serialWriteStr(&ch, "AT\r\n");
    serialWriteBytes(&ch, raw, 3);
    serialWriteByte(&ch, 0x7E);
    for (uint8_t b : {0xC0, 0x41, 0xDB})
        slipSendByte(&ch, b);
    serialPrintf(&ch, "%d%s", 7, std::string(250, 'q').c_str()); // cut to 199 characters
    EXPECT_EQ("AT\r\n" + std::string("\x00\xC0\xFF\x7E\xDB\xDC\x41\xDB\xDD", 9) + "7" + std::string(198, 'q'),
              link.txText());
    link.nowMs = 5000;
    EXPECT_EQ(std::make_tuple(1200u, 1200u, 0xFFFFFFFFu - 100u, 5u),
              std::make_tuple(serialGetDelta(&ch, 3800), serialDeltaMs(5000, 3800), serialDeltaMs(100, 200),
                              serialDeltaMs(0x100000005ULL, 0)));
}

Bytes record()
{
    uint32_t count = 0;
    const uint8_t *p = slipBufferedGetRecord(&count);
    return Bytes(p, p + count);
}

// Reads one wire frame (END ... END) back and returns its data after checking the packet.
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

// slipDecodeByte on its own (the reads use it for escape pairs only): a plain byte uses one
// source byte, an escape pair two, with or without a destination.
TEST(Slip, DecodeByte)
{
    uint8_t out = 0;
    EXPECT_EQ(std::make_tuple(1, 1, 0x41, 2),
              std::make_tuple(slipDecodeByte(unhex("41 DB").data(), nullptr),
                              slipDecodeByte(unhex("41 DB").data(), &out), out,
                              slipDecodeByte(unhex("DB DD").data(), nullptr)));
}

// Every frame sent from three pieces cut at a and b, built from one piece, and sent through the
// buffered sender (which records it) is the same bytes, and reads back as a valid packet.
TEST(Slip, FramesOnTheWire)
{
    const std::tuple<uint8_t, uint8_t, Bytes, uint32_t, uint32_t, std::string> rows[] = {
        {0, 0x00, {}, 0, 0, "C0 00 00 00 00 00 00 00 00 C0"},
        {0, 0x08, {1, 2, 3, 4}, 1, 3, "C0 00 08 04 00 03 0D 00 00 01 02 03 04 C0"},
        {0, 0x31, {0xC0}, 1, 1, "C0 00 31 01 00 4C D9 00 00 DB DC C0"},
        {0, 0x01, {0xCC}, 0, 1, "C0 00 01 01 00 DB DC 18 00 00 CC C0"},
        {1, 0xDB, {0xDB}, 0, 0, "C0 01 DB DD 01 00 16 7A 00 00 DB DD C0"}};
    for (const auto &[dir, cmd, data, a, b, wire] : rows)
    {
        const uint8_t *p = data.data();
        const uint32_t n = uint32_t(data.size());
        SimLink link, buffered;
        _tSerial ch = link.channel(), bch = buffered.channel();
        slipSendCrcChunkedPacket(&ch, dir, cmd, 3, p, a, p + a, b - a, p + b, n - b);
        Bytes built(SLIP_ENCODED_MAX(n), 0xEE);
        built.resize(slipGenerateCrcPacket(built.data(), dir, cmd, 1, p, n));
        slipBufferedInit(&bch);
        slipBufferedSendCrcChunkedPacket(0, dir, cmd, 3, p, a, p + a, b - a, p + b, n - b);
        EXPECT_EQ(wire + wire + wire, hex(link.tx) + hex(built) + hex(record()));
        EXPECT_EQ(buffered.tx, record());
        EXPECT_EQ(data, dataOf(link.tx, cmd));
        EXPECT_EQ(dir, slipGetDir(unhex(wire).data()));
    }
}

// One frame whose opening END was consumed, read from the channel into a buffer of the
// capacity (invalid pairs dropped) and checked as a packet with a CRC and with an XOR, and fed
// from its END byte by byte to the detector (results: '-' none, '0' taken, '1' complete; a bad
// pair or a full buffer drops the frame).
TEST(Slip, Decoding)
{
    // wire after the END, capacity, length read, decoded, left unread, valid with CRC and XOR, detector
    // results, its last state
    const std::tuple<std::string, uint16_t, uint16_t, std::string, std::string, std::string, std::string,
                     uint32_t>
        rows[] = {
            {"00 31 01 00 4C D9 00 00 DB DC C0", 200, 11, "C0 00 31 01 00 4C D9 00 00 C0 C0", "", "10",
             "-00000000001", 0},
            {"01 08 02 00 EC 00 00 00 01 02 C0", 200, 12, "C0 01 08 02 00 EC 00 00 00 01 02 C0", "", "01",
             "-00000000001", 0},
            {"01 08 04 00 00 00 01 00 00 00 00 00 C0", 200, 14, "C0 01 08 04 00 00 00 01 00 00 00 00 00 C0",
             "", "00", "-0000000000001", 0}, // the checksum's high half set
            {"01 08 03 00 00 00 00 00 00 00 00 00 C0", 200, 14, "C0 01 08 03 00 00 00 00 00 00 00 00 00 C0",
             "", "00", "-0000000000001", 0}, // one data byte more than the length says
            {"C0 00", 200, 2, "C0 C0", "00", "00", "--0", 2},
            {"01 02 03 C0", 5, 5, "C0 01 02 03 C0", "", "00", "-0001", 0},
            {"01 02 03 04 C0", 5, 0, "", "C0", "00", "-0000-", 0},
            {"01 DB 41 02 C0", 200, 4, "C0 01 02 C0", "", "00", "-00---", 1},
            {"01 02", 200, 0, "", "", "00", "-00", 2},
            {"01 C0", 0, 0, "", "01 C0", "00", "---", 0},
            {"02 C0", 200, 3, "C0 02 C0", "", "00", "---", 1}, // the detector wants a direction byte first
            {"01 02 03 C0", 3, 0, "", "03 C0", "00", "-00--", 1}};
    for (const auto &[wire, capacity, read, decoded, remaining, valid, detected, state] : rows)
    {
        SCOPED_TRACE(wire + " / " + std::to_string(capacity));
        SimLink link;
        link.push(unhex(wire));
        _tSerial ch = link.channel();
        Bytes buf(capacity + 4, 0xEE); // nothing may be written past the capacity
        const uint16_t got = slipReadPacket(&ch, buf.data(), capacity, 500);
        EXPECT_EQ(std::make_tuple(read, decoded, 0xEE, remaining, valid),
                  std::make_tuple(got, hex(buf.data(), got), buf[capacity],
                                  hex(Bytes(link.rx.begin(), link.rx.end())),
                                  std::to_string(slipIsPacketValid(buf.data(), got, 1)) +
                                      std::to_string(slipIsPacketValid(buf.data(), got, 0))));

        std::fill(buf.begin(), buf.end(), 0xEE);
        _tSlipDetector det{0, buf.data(), capacity, 0, 0};
        std::string results;
        for (uint8_t b : unhex("41 C0 " + wire)) // a byte before the first END is ignored
            results += "-01"[slipDetectFrame(&det, b) + 1];
        EXPECT_EQ(std::make_pair("-" + detected, state), std::make_pair(results, det.ulState));
        if (results.back() == '1')
        {
            EXPECT_EQ(decoded, hex(buf.data(), det.usStored));
            EXPECT_EQ((wire.size() + 1) / 3 + 1, det.usRawCount);
        }
    }
}

// A request or text command is written and recorded; a resend waits the pause, drains stale
// input and writes the record again, at most 20 times per record. What does not fit is
// refused without writing and leaves the record empty. The worst-case part, all END bytes, goes
// out forwarded (the frame as the data of a forwarding request).
TEST(SlipBuffered, RecordsAndResends)
{
    const Bytes zeros(65536, 0x00), ends(20000, 0xC0);
    // forwarded, data (two pieces of n1 and n2 bytes), sent
    const std::tuple<uint8_t, const uint8_t *, uint32_t, uint32_t, bool> rows[] = {
        {0, zeros.data(), 32768, 32768, false}, // data over 65535 bytes
        {1, ends.data(), 20000, 0, false},      // inner frame over the forwarding buffer
        {0, zeros.data(), 32768, 32767, true},  // 65535 bytes fit
        {1, zeros.data(), 32784, 0, true},      // the largest unescaped forward
        {1, ends.data(), 4, 16384, true}};
    SimLink link;
    _tSerial ch = link.channel();
    slipBufferedInit(&ch);
    for (const auto &[forwarded, p, n1, n2, sent] : rows)
    {
        SCOPED_TRACE(n1 + n2);
        serialBufferedWriteStr("AT+BOOT?\r\n"); // something to replace
        ASSERT_EQ(1, slipBufferedResendPacket());
        link.tx.clear();
        slipBufferedSendCrcChunkedPacket(forwarded, SLIP_DIR_REQUEST, 0x31, 2, p, n1, p + n1, n2);
        EXPECT_EQ(std::make_tuple(0, sent, link.tx),
                  std::make_tuple(slipBufferedGetRetries(), !link.tx.empty(), record()));
        const Bytes first = link.tx;
        link.tx.clear();
        link.pushText("stale reply");
        const uint64_t start = link.nowMs;
        EXPECT_EQ(1, slipBufferedResendPacket());
        EXPECT_EQ(std::make_tuple(first, true, 1),
                  std::make_tuple(link.tx, link.rx.empty(), slipBufferedGetRetries()));
        EXPECT_GE(link.nowMs - start, uint64_t(SLIP_BUFFERED_RESEND_PAUSE_MS));
        if (forwarded && sent && first.size() < 0xFFFF) // the request reads back from the forwarded data
        {
            EXPECT_EQ(Bytes(p, p + n1 + n2), dataOf(dataOf(first, UPDATER_CMD_FORWARD), 0x31));
        }
    }
    for (int i = 2; i <= SLIP_BUFFERED_MAX_RETRIES; i++)
        ASSERT_EQ(1, slipBufferedResendPacket());
    link.tx.clear();
    EXPECT_EQ(0, slipBufferedResendPacket());
    EXPECT_TRUE(link.tx.empty());
    std::string text(SLIP_PACKET_BUFFER_SIZE - 1, 'A'); // with its zero, the largest text
    serialBufferedWriteStr(text.c_str());               // restarts the count; resent without the zero
    EXPECT_EQ(1, slipBufferedResendPacket());
    EXPECT_TRUE(link.txText() == text + text && record().size() == text.size());
    serialBufferedWriteStr((text + 'A').c_str());
    EXPECT_TRUE(record().empty());

    _tSerial noRead = ch; // a channel lacking an operation neither sends nor resends
    noRead.fnReadByte = nullptr;
    slipBufferedInit(&noRead);
    link.tx.clear();
    slipBufferedSendPacket(0, SLIP_DIR_REQUEST, 0x00, nullptr, 0);
    serialBufferedWriteStr("AT\r\n");
    EXPECT_EQ(0, slipBufferedResendPacket());
    EXPECT_TRUE(link.tx.empty());
}

} // namespace
