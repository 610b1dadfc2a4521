// Reception of one message: text replies, device log lines, response packets,
// forwarded responses, status words and the bounded resend of the last message.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/le_bytes.h"
#include "engine/reception.h"
#include "engine/updater.h"
#include "protocol/slip.h"
#include "protocol/slip_buffered.h"
#include "tests/support/fake_link.h"
#include "tests/support/scripted_device.h"

using testsupport::FakeLink;
using testsupport::ScriptedDevice;

namespace
{

const char kLastText[] = "AT+BOOT?\r\n";

class ReceptionTest : public ::testing::Test
{
  protected:
    FakeLink link;
    _tUpdaterCallbacks cb{};
    std::unique_ptr<_tUpdater> ctx = std::make_unique<_tUpdater>();

    void SetUp() override
    {
        cb = link.callbacks();
        ASSERT_EQ(1, updaterInit(ctx.get(), UPDATER_OP_READ_VERSIONS, 1, 1, &cb));
        serialBufferedWriteStr(kLastText);
        link.tx.clear();
    }

    uint32_t recv() { return tryRecv(ctx.get()); }
    size_t resends() const
    {
        std::string tx = link.txText();
        size_t n = 0;
        for (size_t p = tx.find(kLastText); p != std::string::npos; p = tx.find(kLastText, p + 1))
            n++;
        return n;
    }
    size_t count(const std::string &line) const
    {
        return std::count(link.logs.begin(), link.logs.end(), line);
    }
    void pushDecoded(const std::vector<uint8_t> &f) { link.push(ScriptedDevice::encode(f)); }
    static std::vector<uint8_t> response(uint8_t cmd, uint32_t status, const std::vector<uint8_t> &extra = {})
    {
        return ScriptedDevice::decodedFrame(SLIP_DIR_RESPONSE, cmd,
                                            ScriptedDevice::statusData(status, extra));
    }
};

TEST_F(ReceptionTest, TextReplyIsOneLineAndItsLineFeedIsDroppedNextCall)
{
    link.pushText("AT+OK\r\n");
    EXPECT_EQ(RECV_TEXT, recv());
    EXPECT_STREQ("AT+OK", (const char *)ctx->pRxBuffer);
    EXPECT_EQ(1u, count("< AT+OK"));
    EXPECT_EQ(RECV_NOTHING, recv());
    EXPECT_TRUE(link.rx.empty());
}

TEST_F(ReceptionTest, UnfinishedTextLineTimesOutWithoutResend)
{
    link.pushText("AT+BO");
    EXPECT_EQ(RECV_NOTHING, recv());
    EXPECT_EQ(1u, count("AT timeout: AT+BO"));
    EXPECT_EQ(0u, resends());
}

TEST_F(ReceptionTest, AtErrorIsResentTwentyTimesThenFatal)
{
    for (int i = 0; i < 20; i++)
    {
        link.pushText("AT+ERROR\r\n");
        ASSERT_EQ(RECV_NOTHING, recv()) << i;
    }
    link.pushText("AT+ERROR\r\n");
    EXPECT_EQ(RECV_FATAL, recv());
    EXPECT_EQ(20u, resends());
    EXPECT_EQ(20u, count("Resending last packet"));
    EXPECT_EQ(21u, count("uC error: AT+ERROR"));
    EXPECT_EQ("ERR: Maximum number of retries reached", link.logs.back());
}

TEST_F(ReceptionTest, DeviceLogLinesShownOnlyWhenEnabled)
{
    for (uint8_t enabled : {1, 0})
    {
        ctx->isUcLogEnabled = enabled;
        link.logs.clear();
        link.pushText("Lboot ok\r\n");
        EXPECT_EQ(RECV_NOTHING, recv());
        EXPECT_EQ(enabled ? 1u : 0u, count("\tuC log:boot ok"));
        recv(); // the line feed
    }
}

TEST_F(ReceptionTest, UnfinishedFrameTimesOutAndResends)
{
    link.push({SLIP_END, 0x01, 0x31});
    EXPECT_EQ(RECV_NOTHING, recv());
    EXPECT_EQ(1u, count("SLIP Timeout"));
    EXPECT_EQ(1u, resends());
}

TEST_F(ReceptionTest, StatusWords)
{
    struct Case
    {
        uint32_t status;
        uint32_t result;
        const char *log; // expected last log line, or null
        uint16_t malformed;
        size_t resends;
    } cases[] = {
        {0, RECV_PACKET, nullptr, 0, 0},
        {1, RECV_NOTHING, "Resending last packet", 1, 1},
        {3, RECV_NOTHING, "Resending last packet", 1, 1},
        {2, RECV_FATAL, "UB ERROR: 31 - 00000002", 0, 0},
        {0x105, RECV_FATAL, "UB ERROR: 31 - 00000105", 0, 0},
    };
    for (const Case &c : cases)
    {
        SetUp();
        link.logs.clear();
        pushDecoded(response(0x31, c.status));
        EXPECT_EQ(c.result, recv()) << c.status;
        if (c.log)
        {
            EXPECT_EQ(c.log, link.logs.back()) << c.status;
        }
        if (c.status == 1 || c.status == 3)
        {
            EXPECT_EQ(1u, count("Malformed SLIP request packet"));
        }
        EXPECT_EQ(c.malformed, ctx->usMalformedCount) << c.status;
        EXPECT_EQ(c.resends, resends()) << c.status;
    }
}

TEST_F(ReceptionTest, RequestDirectionIsIgnoredWithoutCounting)
{
    pushDecoded(ScriptedDevice::decodedFrame(SLIP_DIR_REQUEST, 0x00, {}));
    EXPECT_EQ(RECV_NOTHING, recv());
    EXPECT_EQ(0u, ctx->usMalformedCount);
    EXPECT_EQ(0u, resends());
}

TEST_F(ReceptionTest, BadChecksumIsMalformedAndResent)
{
    std::vector<uint8_t> f = response(0x31, 0, {1, 2});
    uint32_t good = leGetU32(&f[5]);
    lePutU32(&f[5], good ^ 0x1);
    pushDecoded(f);
    EXPECT_EQ(RECV_NOTHING, recv());
    char line[80];
    snprintf(line, sizeof line, "response cheksum %08X, expected %08X\r\n", good, good ^ 0x1);
    EXPECT_EQ(1u, count(line));
    EXPECT_EQ(1u, count("Malformed SLIP packet"));
    EXPECT_EQ(1u, ctx->usMalformedCount);
    EXPECT_EQ(1u, resends());
}

TEST_F(ReceptionTest, SizeDiagnosticsReadOnlyReceivedBytes)
{
    // The header claims 150 data bytes; 4 arrived. The checksum is that of the
    // 4 received bytes, so only the size line applies.
    std::vector<uint8_t> f = response(0x31, 0);
    lePutU16(&f[3], 150);
    pushDecoded(f);
    EXPECT_EQ(RECV_NOTHING, recv());
    EXPECT_EQ(1u, count("response true packet size 14 != header's size 160\r\n"));
    EXPECT_EQ(0u, std::count_if(link.logs.begin(), link.logs.end(),
                                [](const std::string &s) { return s.rfind("response cheksum", 0) == 0; }));
    EXPECT_EQ(1u, count("Malformed SLIP packet"));
}

TEST_F(ReceptionTest, ResponseWithoutStatusWordIsMalformed)
{
    pushDecoded(ScriptedDevice::decodedFrame(SLIP_DIR_RESPONSE, 0x31, {0, 0}));
    EXPECT_EQ(RECV_NOTHING, recv());
    EXPECT_EQ(1u, count("Malformed SLIP packet"));
    EXPECT_EQ(1u, ctx->usMalformedCount);
    EXPECT_EQ(1u, resends());
}

TEST_F(ReceptionTest, ForwardedResponseIsUnwrappedAndValidated)
{
    std::vector<uint8_t> inner = response(0x31, 0, {7});
    pushDecoded(response(0x09, 0, inner));
    EXPECT_EQ(RECV_PACKET, recv());
    EXPECT_EQ(0x31, slipGetCmd(ctx->pRxBuffer));
    EXPECT_EQ(inner.size(), ctx->usRxLength);
    EXPECT_EQ(0, memcmp(inner.data(), ctx->pRxBuffer, inner.size()));
}

TEST_F(ReceptionTest, ForwardedStatusOnlyIsAForwardPacket)
{
    pushDecoded(response(0x09, 0));
    EXPECT_EQ(RECV_PACKET, recv());
    EXPECT_EQ(0x09, slipGetCmd(ctx->pRxBuffer));
}

TEST_F(ReceptionTest, ForwardedInnerFaults)
{
    std::vector<uint8_t> badCrc = response(0x31, 0, {7});
    badCrc[5] ^= 0xFF;
    pushDecoded(response(0x09, 0, badCrc));
    EXPECT_EQ(RECV_NOTHING, recv());
    EXPECT_EQ(1u, count("Malformed SLIP packet"));
    EXPECT_EQ(1u, resends());

    pushDecoded(response(0x09, 0, response(0x31, 5)));
    EXPECT_EQ(RECV_FATAL, recv());
    EXPECT_EQ("UB ERROR: 31 - 00000005", link.logs.back());
}

TEST_F(ReceptionTest, ResendRefusedWhenNotAllowed)
{
    ctx->canResend = 0;
    link.pushText("AT+ERROR\r\n");
    EXPECT_EQ(RECV_FATAL, recv());
    EXPECT_EQ("ERR: Can't resend last packet", link.logs.back());
    EXPECT_EQ(0u, resends());
}

} // namespace
