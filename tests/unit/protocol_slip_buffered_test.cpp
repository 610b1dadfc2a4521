#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/slip.h"
#include "protocol/slip_buffered.h"
#include "tests/support/sim_link.h"

using testsupport::hex;
using testsupport::SimLink;
using testsupport::unhex;

namespace
{

using Bytes = std::vector<uint8_t>;

Bytes record()
{
    uint32_t count = 0;
    const uint8_t *p = slipBufferedGetRecord(&count);
    return Bytes(p, p + count);
}

// Decodes one wire frame (END ... END) with the tested detector; fails the test
// when the bytes are not exactly one frame.
Bytes decodeFrame(const Bytes &wire)
{
    Bytes out(wire.size());
    _tSlipDetector det{0, out.data(), static_cast<uint32_t>(out.size()), 0, 0};
    for (size_t i = 0; i < wire.size(); i++)
        if (slipDetectFrame(&det, wire[i]) == 1)
        {
            EXPECT_EQ(i + 1, wire.size()) << "the frame ends early";
            return Bytes(out.begin(), out.begin() + det.usStored);
        }
    ADD_FAILURE() << "no complete frame";
    return {};
}

Bytes dataOf(const Bytes &packet)
{
    const uint8_t *start = slipGetDataStart(packet.data());
    return Bytes(start, start + slipGetDataLength(packet.data()));
}

class SlipBuffered : public ::testing::Test
{
  protected:
    SimLink link;
    _tSerial ch{};
    void SetUp() override
    {
        ch = link.channel();
        slipBufferedInit(&ch);
    }
};

TEST_F(SlipBuffered, FrameVectorsPlainAndForwarded)
{
    struct Case
    {
        const char *name;
        uint8_t transparent;
        uint8_t cmd;
        Bytes data;
        std::string wire;
    } const cases[] = {
        {"plain hello", 0, 0x00, {}, "C0 00 00 00 00 00 00 00 00 C0"},
        {"forwarded hello", 1, 0x00, {}, "C0 00 09 0A 00 62 4F 00 00 DB DC 00 00 00 00 00 00 00 00 DB DC C0"},
        {"plain device boot", 0, 0x08, {1, 0, 0, 0}, "C0 00 08 04 00 B4 76 00 00 01 00 00 00 C0"},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        link.tx.clear();
        slipBufferedSendPacket(c.transparent, SLIP_DIR_REQUEST, c.cmd,
                               c.data.empty() ? nullptr : c.data.data(),
                               static_cast<uint16_t>(c.data.size()));
        EXPECT_EQ(c.wire, hex(link.tx));
        EXPECT_EQ(link.tx, record());
        EXPECT_EQ(0, slipBufferedGetRetries());
    }
}

TEST_F(SlipBuffered, ResendLimitAndItsResetByANewSendOrText)
{
    slipBufferedSendPacket(1, SLIP_DIR_REQUEST, 0x00, nullptr, 0);
    const Bytes first = link.tx;
    ASSERT_EQ(22u, first.size());
    for (int i = 1; i <= SLIP_BUFFERED_MAX_RETRIES; i++)
    {
        link.tx.clear();
        ASSERT_EQ(1, slipBufferedResendPacket()) << "resend " << i;
        EXPECT_EQ(first, link.tx); // the same outer frame each time
        EXPECT_EQ(i, slipBufferedGetRetries());
    }
    link.tx.clear();
    EXPECT_EQ(0, slipBufferedResendPacket());
    EXPECT_TRUE(link.tx.empty());
    EXPECT_EQ(first, record()); // a refused resend leaves the record alone

    slipBufferedSendPacket(0, SLIP_DIR_REQUEST, 0x32, nullptr, 0);
    EXPECT_EQ(0, slipBufferedGetRetries());
    EXPECT_EQ(1, slipBufferedResendPacket());

    for (int i = 1; i < SLIP_BUFFERED_MAX_RETRIES; i++)
        ASSERT_EQ(1, slipBufferedResendPacket());
    EXPECT_EQ(0, slipBufferedResendPacket());
    // A text command resets the count too, and is resent without its terminating zero.
    serialBufferedWriteStr("AT+LOCK=1\r\n");
    link.tx.clear();
    EXPECT_EQ(1, slipBufferedResendPacket());
    EXPECT_EQ("AT+LOCK=1\r\n", link.txText());
}

TEST_F(SlipBuffered, ResendPausesThenDrainsThenWrites)
{
    slipBufferedSendPacket(0, SLIP_DIR_REQUEST, 0x00, nullptr, 0);
    link.tx.clear();
    link.pushText("stale reply");

    uint64_t start = link.nowMs;
    uint64_t firstWriteAt = 0;
    size_t rxAtFirstWrite = 99;
    link.onWrite = [&](SimLink &l, uint8_t)
    {
        if (firstWriteAt == 0)
        {
            firstWriteAt = l.nowMs;
            rxAtFirstWrite = l.rx.size();
        }
    };
    ASSERT_EQ(1, slipBufferedResendPacket());
    EXPECT_GE(firstWriteAt - start, static_cast<uint64_t>(SLIP_BUFFERED_RESEND_PAUSE_MS));
    EXPECT_EQ(0u, rxAtFirstWrite);
    EXPECT_EQ("C0 00 00 00 00 00 00 00 00 C0", hex(link.tx));
}

TEST_F(SlipBuffered, WorstCasePartGoesOutPlainAndForwarded)
{
    Bytes index = {0x07, 0x00, 0x00, 0x00};
    Bytes part(16384);
    for (size_t i = 0; i < part.size(); i++)
        part[i] = (i % 3 == 0) ? 0xDB : 0xC0;
    Bytes data = index;
    data.insert(data.end(), part.begin(), part.end());

    for (uint8_t transparent : {0, 1})
    {
        SCOPED_TRACE(transparent ? "forwarded" : "plain");
        link.tx.clear();
        slipBufferedSendCrcChunkedPacket(transparent, SLIP_DIR_REQUEST, 0x31, 2, index.data(),
                                         static_cast<uint32_t>(index.size()), part.data(),
                                         static_cast<uint32_t>(part.size()));
        ASSERT_FALSE(link.tx.empty());
        EXPECT_EQ(link.tx, record());
        EXPECT_LE(link.tx.size(), static_cast<size_t>(SLIP_PACKET_BUFFER_SIZE));

        Bytes packet = decodeFrame(link.tx);
        ASSERT_EQ(1, slipIsPacketValid(packet.data(), static_cast<uint16_t>(packet.size()), 1));
        if (transparent)
        {
            EXPECT_EQ(UPDATER_CMD_FORWARD, slipGetCmd(packet.data()));
            Bytes inner = dataOf(packet);
            EXPECT_GT(inner.size(), 32767u); // the outer CRC covers more than one crc16 call
            EXPECT_LE(inner.size(), static_cast<size_t>(SLIP_TRANSPARENT_BUFFER_SIZE));
            packet = decodeFrame(inner);
            ASSERT_EQ(1, slipIsPacketValid(packet.data(), static_cast<uint16_t>(packet.size()), 1));
        }
        EXPECT_EQ(SLIP_DIR_REQUEST, slipGetDir(packet.data()));
        EXPECT_EQ(0x31, slipGetCmd(packet.data()));
        EXPECT_TRUE(dataOf(packet) == data);

        const Bytes first = link.tx;
        link.tx.clear();
        ASSERT_EQ(1, slipBufferedResendPacket());
        EXPECT_TRUE(first == link.tx);
    }
}

TEST_F(SlipBuffered, OversizedRequestsAreRefusedWithoutWriting)
{
    Bytes big(40000, 0xC0);
    Bytes zeros(40000, 0x00);
    struct Case
    {
        const char *name;
        uint8_t transparent;
        const uint8_t *p1;
        uint32_t n1;
        const uint8_t *p2;
        uint32_t n2;
        bool sent;
    } const cases[] = {
        {"data over 65535 bytes", 0, zeros.data(), 32768, zeros.data(), 32768, false},
        {"inner frame over the forwarding buffer", 1, big.data(), 20000, nullptr, 0, false},
        {"65535 plain bytes fit", 0, zeros.data(), 32768, zeros.data(), 32767, true},
        {"largest unescaped forward fits", 1, zeros.data(), 32784, nullptr, 0, true},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        serialBufferedWriteStr("AT+BOOT?\r\n"); // something to replace
        ASSERT_EQ(1, slipBufferedResendPacket());
        link.tx.clear();
        slipBufferedSendCrcChunkedPacket(c.transparent, SLIP_DIR_REQUEST, 0x31, 2, c.p1, c.n1, c.p2, c.n2);
        EXPECT_EQ(0, slipBufferedGetRetries());
        EXPECT_EQ(c.sent, !link.tx.empty());
        EXPECT_EQ(link.tx, record());
    }
}

TEST_F(SlipBuffered, OverlongTextIsRefused)
{
    std::string fits(SLIP_PACKET_BUFFER_SIZE - 1, 'A');
    serialBufferedWriteStr(fits.c_str());
    EXPECT_EQ(fits.size(), link.tx.size());
    EXPECT_EQ(fits.size(), record().size());

    link.tx.clear();
    std::string tooLong(SLIP_PACKET_BUFFER_SIZE, 'A');
    serialBufferedWriteStr(tooLong.c_str());
    EXPECT_TRUE(link.tx.empty());
    EXPECT_TRUE(record().empty());
}

} // namespace
