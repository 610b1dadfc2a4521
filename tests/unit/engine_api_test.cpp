// The engine's functions on their own: refused runs, a state outside the table, log
// output and its limits, progress arithmetic, the component functions' refusals, and
// the reception of one message (text replies, device log lines, response packets,
// forwarded responses, status words and the bounded resend of the last message).

#include <gtest/gtest.h>

#include <memory>

#include "common/le_bytes.h"
#include "components/block_stream.h"
#include "components/fpga_programmer.h"
#include "engine/reception.h"
#include "protocol/slip.h"
#include "protocol/slip_buffered.h"
#include "tests/support/sim_link.h"

using namespace testsupport;

namespace
{

const char kLastText[] = "AT+BOOT?\r\n";
using Lines = std::vector<std::string>;

Bytes response(uint8_t cmd, uint32_t status, const Bytes &extra = {})
{
    Bytes word(4);
    lePutU32(word.data(), status);
    return decodedFrame(SLIP_DIR_RESPONSE, cmd, cat({word, extra}));
}
Bytes withCrc(Bytes f, uint32_t crc)
{
    lePutU32(&f[5], crc);
    return f;
}
std::string crcLine(uint32_t computed, uint32_t stated)
{
    char line[80];
    snprintf(line, sizeof line, "response cheksum %08X, expected %08X\r\n", computed, stated);
    return line;
}

class EngineApi : public ::testing::Test
{
  protected:
    SimLink link;
    _tUpdaterCallbacks cb{};
    std::unique_ptr<_tUpdater> ctx = std::make_unique<_tUpdater>();

    // A context for op whose last message was kLastText, the link's record cleared.
    void init(uint32_t op = UPDATER_OP_READ_VERSIONS, uint8_t isVerbose = 1)
    {
        link = SimLink();
        cb = link.callbacks();
        ASSERT_EQ(1, updaterInit(ctx.get(), op, isVerbose, 1, &cb));
        serialBufferedWriteStr(kLastText);
        link.tx.clear();
    }
    void SetUp() override { init(); }
    size_t resends() const
    {
        std::string tx = link.txText();
        size_t n = 0;
        for (size_t p = tx.find(kLastText); p != std::string::npos; p = tx.find(kLastText, p + 1))
            n++;
        return n;
    }
};

TEST_F(EngineApi, RefusedRunsWriteNothing)
{
    const char *const kNull = "cbGetMs, cbWrite, cbRead, cbReopen, cbClose can't be NULL";
    const char *const kNoAff = "ERR: No AFF file given for the update";
    const struct
    {
        void (*clear)(_tUpdaterCallbacks &);
        uint32_t op;
        const char *log;
    } cases[] = {
        {[](_tUpdaterCallbacks &c) { c.cbGetMs = nullptr; }, UPDATER_OP_UNLOCK, kNull},
        {[](_tUpdaterCallbacks &c) { c.cbWrite = nullptr; }, UPDATER_OP_UNLOCK, kNull},
        {[](_tUpdaterCallbacks &c) { c.cbRead = nullptr; }, UPDATER_OP_UNLOCK, kNull},
        {[](_tUpdaterCallbacks &c) { c.cbReopen = nullptr; }, UPDATER_OP_UNLOCK, kNull},
        {[](_tUpdaterCallbacks &c) { c.cbClose = nullptr; }, UPDATER_OP_UNLOCK, kNull},
        {[](_tUpdaterCallbacks &) {}, UPDATER_OP_NONE, "No op selected!\n"},
        {[](_tUpdaterCallbacks &) {}, UPDATER_OP_UPDATE_CHANGED, kNoAff},
        {[](_tUpdaterCallbacks &) {}, UPDATER_OP_UPDATE_ALL, kNoAff},
    };
    for (const auto &c : cases)
    {
        init();
        c.clear(cb);
        EXPECT_EQ(0, updater(c.op, nullptr, 0, 1, 0, &cb, nullptr));
        EXPECT_EQ(Lines{c.log}, link.logs);
        EXPECT_TRUE(link.tx.empty());
    }
    // 21 is no state; 34 and above are past the last.
    for (uint32_t state : {21u, 34u, 0xFFFFFFFFu})
    {
        init();
        ctx->ulState = state;
        EXPECT_EQ(UPDATER_STEP_FAILED, updaterProcess(ctx.get())) << state;
        EXPECT_TRUE(link.tx.empty());
    }
}

// Without a container nothing is begun, and a block without whole parts sends no FPGA part.
TEST_F(EngineApi, ComponentsRefuseWhatTheyCannotSend)
{
    uint32_t parts = 77;
    EXPECT_EQ(0, updaterBlockProgramBegin(ctx.get(), AFF_BLOCK_HOST_UC, 0x30, &parts));
    EXPECT_EQ(77u, parts);
    EXPECT_EQ(0, updaterBlockProgramNext(ctx.get(), &parts, 0, 0x31, 0x32));
    EXPECT_EQ(0, updaterFpgaSendNextDataChunk(ctx.get()));
    EXPECT_TRUE(link.tx.empty());
}

TEST_F(EngineApi, LogOutputAndProgress)
{
    std::string longText(300, 'x');
    updaterLog(ctx.get(), "%s", longText.c_str());
    updaterLogVerbose(ctx.get(), "%s!", longText.c_str());
    const uint8_t bytes[] = {0x01, 0xAB};
    updaterLogRecv(ctx.get(), bytes, 2);
    ctx->isVerbose = 0;
    updaterLogVerbose(ctx.get(), "hidden");
    updaterLogRecv(ctx.get(), bytes, 2);
    EXPECT_EQ((Lines{std::string(199, 'x'), std::string(199, 'x'), "Recv: 01 ", "Recv: 01 AB "}), link.logs);
    // The receive dump gives one line per byte and stays bounded.
    link.logs.clear();
    ctx->isVerbose = 1;
    std::vector<uint8_t> many(400, 0xEE);
    updaterLogRecv(ctx.get(), many.data(), (uint32_t)many.size());
    ASSERT_EQ(400u, link.logs.size());
    EXPECT_LT(link.logs.back().size(), (size_t)UPDATER_LOG_RECV_MAX);

    ctx->ubComponentCount = 5;
    for (int i = 0; i < 5; i++)
        updaterComponentDone(ctx.get());
    ctx->ubComponentCount = 3;
    ctx->ubComponentsDone = 1;
    updaterComponentProgress(ctx.get(), 50);
    // Without components nothing is divided by zero.
    ctx->ubComponentCount = 0;
    ctx->ubComponentsDone = 0;
    updaterComponentProgress(ctx.get(), 50);
    updaterComponentDone(ctx.get());
    EXPECT_EQ((std::vector<uint8_t>{20, 40, 60, 80, 100, 49, 50, 100}), link.progress);
}

TEST_F(EngineApi, OneMessageEach)
{
    const Bytes good = response(0x31, 0, {1, 2});
    const uint32_t goodCrc = leGetU32(&good[5]);
    Bytes innerBadCrc = response(0x31, 0, {7}), shortOfLength = response(0x31, 0);
    innerBadCrc[5] ^= 0xFF;
    const uint32_t innerCrc = leGetU32(&innerBadCrc[5]);
    lePutU16(&shortOfLength[3], 150);
    auto text = [](const std::string &t) { return Bytes(t.begin(), t.end()); };
    const std::string kResend = "|Resending last packet", kMalformed = "Malformed SLIP packet" + kResend;
    const struct
    {
        const char *name;
        Bytes wire;
        uint32_t result;
        std::string logs; // every line logged, joined by '|'
        uint16_t malformed;
        size_t resends;
    } cases[] = {
        {"text reply", text("AT+OK\r\n"), RECV_TEXT, "< AT+OK", 0, 0},
        {"unfinished text", text("AT+BO"), RECV_NOTHING, "AT timeout: AT+BO", 0, 0},
        {"device log line", text("Lboot ok\r\n"), RECV_NOTHING, "\tuC log:boot ok", 0, 0},
        {"AT error", text("AT+ERROR\r\n"), RECV_NOTHING, "< AT+ERROR|uC error: AT+ERROR" + kResend, 0, 1},
        {"unfinished frame", {0xC0, 0x01, 0x31}, RECV_NOTHING, "SLIP Timeout" + kResend, 0, 1},
        {"status 0", encodeDecoded(response(0x31, 0)), RECV_PACKET, "", 0, 0},
        {"status 1", encodeDecoded(response(0x31, 1)), RECV_NOTHING,
         "Malformed SLIP request packet" + kResend, 1, 1},
        {"status 3", encodeDecoded(response(0x31, 3)), RECV_NOTHING,
         "Malformed SLIP request packet" + kResend, 1, 1},
        {"status 2", encodeDecoded(response(0x31, 2)), RECV_FATAL, "UB ERROR: 31 - 00000002", 0, 0},
        {"status 0x105", encodeDecoded(response(0x31, 0x105)), RECV_FATAL, "UB ERROR: 31 - 00000105", 0, 0},
        {"request direction ignored", slipFrame(SLIP_DIR_REQUEST, 0, {}), RECV_NOTHING, "", 0, 0},
        {"bad checksum", encodeDecoded(withCrc(good, goodCrc ^ 1)), RECV_NOTHING,
         crcLine(goodCrc, goodCrc ^ 1) + "|" + kMalformed, 1, 1},
        // The header claims 150 data bytes, 4 arrived: only the size line applies.
        {"short of its length (its checksum is right for what arrived)", encodeDecoded(shortOfLength),
         RECV_NOTHING, "response true packet size 14 != header's size 160\r\n|" + kMalformed, 1, 1},
        {"no status word", slipFrame(SLIP_DIR_RESPONSE, 0x31, {0, 0}), RECV_NOTHING, kMalformed, 1, 1},
        {"forwarded status only", encodeDecoded(response(0x09, 0)), RECV_PACKET, "", 0, 0},
        {"forwarded bad checksum", encodeDecoded(response(0x09, 0, innerBadCrc)), RECV_NOTHING,
         crcLine(innerCrc ^ 0xFF, innerCrc) + "|" + kMalformed, 1, 1},
        {"forwarded status 5", encodeDecoded(response(0x09, 0, response(0x31, 5))), RECV_FATAL,
         "UB ERROR: 31 - 00000005", 0, 0},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        init();
        link.push(c.wire);
        EXPECT_EQ(c.result, tryRecv(ctx.get()));
        std::string logs;
        for (const std::string &line : link.logs)
            logs += (logs.empty() ? "" : "|") + line;
        EXPECT_EQ(c.logs, logs);
        EXPECT_EQ(c.malformed, ctx->usMalformedCount);
        EXPECT_EQ(c.resends, resends());
    }
    // A wrong checksum is named with -v whatever the frame's data length.
    for (size_t n = 0; n <= 40; n++)
    {
        SCOPED_TRACE(n);
        init();
        Bytes f = decodedFrame(SLIP_DIR_RESPONSE, 0x31, Bytes(n, 0x5A));
        const uint32_t crc = leGetU32(&f[5]);
        link.push(encodeDecoded(withCrc(f, crc ^ 1)));
        EXPECT_EQ(RECV_NOTHING, tryRecv(ctx.get()));
        EXPECT_EQ(1u, link.countLog(crcLine(crc, crc ^ 1)));
    }
}

TEST_F(EngineApi, TextLinesAndTheRightToResend)
{
    // The line feed after a text reply is dropped by the next call; log lines need their switch.
    link.pushText("AT+OK\r\n");
    EXPECT_EQ(RECV_TEXT, tryRecv(ctx.get()));
    EXPECT_STREQ("AT+OK", (const char *)ctx->pRxBuffer);
    EXPECT_EQ(RECV_NOTHING, tryRecv(ctx.get()));
    EXPECT_TRUE(link.rx.empty());
    ctx->isUcLogEnabled = 0;
    link.pushText("Lboot ok\r\n");
    EXPECT_EQ(RECV_NOTHING, tryRecv(ctx.get()));
    EXPECT_EQ(0u, link.countLog("\tuC log:boot ok"));
    // Without the right to resend, an error ends the run.
    init();
    ctx->canResend = 0;
    link.pushText("AT+ERROR\r\n");
    EXPECT_EQ(RECV_FATAL, tryRecv(ctx.get()));
    EXPECT_EQ("ERR: Can't resend last packet", link.logs.back());
    EXPECT_EQ(0u, resends());
}

} // namespace
