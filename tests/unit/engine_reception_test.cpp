// Reception of one message: text replies, device log lines, response packets,
// forwarded responses, status words and the bounded resend of the last message.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/le_bytes.h"
#include "engine/reception.h"
#include "engine/updater.h"
#include "protocol/slip.h"
#include "protocol/slip_buffered.h"
#include "tests/support/sim_link.h"

using testsupport::ScriptedDevice;
using testsupport::SimLink;

namespace
{

using Bytes = std::vector<uint8_t>;
const char kLastText[] = "AT+BOOT?\r\n";

Bytes response(uint8_t cmd, uint32_t status, const Bytes &extra = {})
{
    return testsupport::decodedFrame(SLIP_DIR_RESPONSE, cmd, testsupport::statusData(status, extra));
}
Bytes withCrc(Bytes f, uint32_t crc)
{
    lePutU32(&f[5], crc);
    return f;
}
Bytes withLength(Bytes f, uint16_t length)
{
    lePutU16(&f[3], length);
    return f;
}

class ReceptionTest : public ::testing::Test
{
  protected:
    SimLink link;
    _tUpdaterCallbacks cb{};
    std::unique_ptr<_tUpdater> ctx = std::make_unique<_tUpdater>();

    void SetUp() override
    {
        link = SimLink();
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
};

TEST_F(ReceptionTest, OneMessageEach)
{
    const Bytes good = response(0x31, 0, {1, 2});
    const uint32_t goodCrc = leGetU32(&good[5]);
    Bytes innerBadCrc = response(0x31, 0, {7});
    innerBadCrc[5] ^= 0xFF;
    char crcLine[80];
    snprintf(crcLine, sizeof crcLine, "response cheksum %08X, expected %08X\r\n", goodCrc, goodCrc ^ 1);
    struct Case
    {
        const char *name;
        std::string text; // pushed as it is when frame is empty
        Bytes frame;      // decoded; pushed encoded
        uint32_t result;
        const char *log; // a line that must be logged, or ""
        uint16_t malformed;
        size_t resends;
    } const cases[] = {
        {"text reply", "AT+OK\r\n", {}, RECV_TEXT, "< AT+OK", 0, 0},
        {"unfinished text", "AT+BO", {}, RECV_NOTHING, "AT timeout: AT+BO", 0, 0},
        {"device log line", "Lboot ok\r\n", {}, RECV_NOTHING, "\tuC log:boot ok", 0, 0},
        {"AT error", "AT+ERROR\r\n", {}, RECV_NOTHING, "uC error: AT+ERROR", 0, 1},
        {"unfinished frame", std::string("\xC0\x01\x31", 3), {}, RECV_NOTHING, "SLIP Timeout", 0, 1},
        {"status 0", "", response(0x31, 0), RECV_PACKET, "", 0, 0},
        {"status 1", "", response(0x31, 1), RECV_NOTHING, "Malformed SLIP request packet", 1, 1},
        {"status 3", "", response(0x31, 3), RECV_NOTHING, "Malformed SLIP request packet", 1, 1},
        {"status 2", "", response(0x31, 2), RECV_FATAL, "UB ERROR: 31 - 00000002", 0, 0},
        {"status 0x105", "", response(0x31, 0x105), RECV_FATAL, "UB ERROR: 31 - 00000105", 0, 0},
        {"request direction ignored", "", testsupport::decodedFrame(SLIP_DIR_REQUEST, 0, {}), RECV_NOTHING,
         "", 0, 0},
        {"bad checksum", "", withCrc(good, goodCrc ^ 1), RECV_NOTHING, crcLine, 1, 1},
        // The header claims 150 data bytes, 4 arrived: only the size line applies.
        {"short of its length (its checksum is right for what arrived)", "",
         withLength(response(0x31, 0), 150), RECV_NOTHING,
         "response true packet size 14 != header's size 160\r\n", 1, 1},
        {"no status word", "", testsupport::decodedFrame(SLIP_DIR_RESPONSE, 0x31, {0, 0}), RECV_NOTHING,
         "Malformed SLIP packet", 1, 1},
        {"forwarded status only", "", response(0x09, 0), RECV_PACKET, "", 0, 0},
        {"forwarded bad checksum", "", response(0x09, 0, innerBadCrc), RECV_NOTHING, "Malformed SLIP packet",
         1, 1},
        {"forwarded status 5", "", response(0x09, 0, response(0x31, 5)), RECV_FATAL,
         "UB ERROR: 31 - 00000005", 0, 0},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        SetUp();
        link.logs.clear();
        ctx->isUcLogEnabled = 1;
        if (c.frame.empty())
            link.pushText(c.text);
        else
            link.push(testsupport::encodeDecoded(c.frame));
        EXPECT_EQ(c.result, recv());
        if (*c.log)
        {
            EXPECT_EQ(1u, count(c.log));
        }
        EXPECT_EQ(c.malformed, ctx->usMalformedCount);
        EXPECT_EQ(c.resends, resends());
        if (strstr(c.log, "size") != nullptr)
        {
            EXPECT_EQ(0u, std::count_if(link.logs.begin(), link.logs.end(),
                                        [](const std::string &l)
                                        { return l.rfind("response cheksum", 0) == 0; }));
        }
    }
}

// A wrong checksum is named with -v whatever the frame's data length.
TEST_F(ReceptionTest, ChecksumDiagnosticAtEveryLength)
{
    for (size_t n = 0; n <= 40; n++)
    {
        SCOPED_TRACE(n);
        SetUp();
        link.logs.clear();
        Bytes f = testsupport::decodedFrame(SLIP_DIR_RESPONSE, 0x31, Bytes(n, 0x5A));
        const uint32_t crc = leGetU32(&f[5]);
        char line[80];
        snprintf(line, sizeof line, "response cheksum %08X, expected %08X\r\n", crc, crc ^ 1);
        link.push(testsupport::encodeDecoded(withCrc(f, crc ^ 1)));
        EXPECT_EQ(RECV_NOTHING, recv());
        EXPECT_EQ(1u, count(line));
    }
}

TEST_F(ReceptionTest, TextLineFeedIsDroppedByTheNextCallAndLogLinesNeedTheirSwitch)
{
    link.pushText("AT+OK\r\n");
    EXPECT_EQ(RECV_TEXT, recv());
    EXPECT_STREQ("AT+OK", (const char *)ctx->pRxBuffer);
    EXPECT_EQ(RECV_NOTHING, recv());
    EXPECT_TRUE(link.rx.empty());
    ctx->isUcLogEnabled = 0;
    link.pushText("Lboot ok\r\n");
    EXPECT_EQ(RECV_NOTHING, recv());
    EXPECT_EQ(0u, count("\tuC log:boot ok"));
}

TEST_F(ReceptionTest, ForwardedResponseIsUnwrapped)
{
    Bytes inner = response(0x31, 0, {7});
    link.push(testsupport::encodeDecoded(response(0x09, 0, inner)));
    EXPECT_EQ(RECV_PACKET, recv());
    EXPECT_EQ(inner, Bytes(ctx->pRxBuffer, ctx->pRxBuffer + ctx->usRxLength));
}

TEST_F(ReceptionTest, ResendIsBoundedAndCanBeForbidden)
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
    EXPECT_EQ("ERR: Maximum number of retries reached", link.logs.back());

    SetUp();
    ctx->canResend = 0;
    link.pushText("AT+ERROR\r\n");
    EXPECT_EQ(RECV_FATAL, recv());
    EXPECT_EQ("ERR: Can't resend last packet", link.logs.back());
    EXPECT_EQ(0u, resends());
}

} // namespace
