// The host callbacks over a real pseudo-terminal: terminal output of log and
// progress lines, gathered output and read-ahead input, and a port that
// vanishes and comes back.

#include <gtest/gtest.h>
#include <serial.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "app/host_callbacks.h"
#include "tests/support/captured_run.h"
#include "tests/support/pty_peer.h"

using testsupport::PtyPeer;
using testsupport::StdoutCapture;
using testsupport::TempDir;

namespace
{

const std::string kRed = "\x1b[1;31m";
const std::string kGreen = "\x1b[1;32m";
const std::string kReset = "\x1b[0m";

// Runs before any other test of this file prints a log line: the progress
// line then carries an empty message.
TEST(AppTerminalOutput, ProgressRewritesTheLineOfTheLastMessage)
{
    StdoutCapture capture;
    cbProgress(5, nullptr);
    cbLog("Flashing HOST", nullptr);
    cbProgress(42, nullptr);
    cbProgress(100, nullptr);
    cbLog("Done", nullptr);
    cbPrint("report line", nullptr);
    cbProgress(7, nullptr);
    EXPECT_EQ(capture.text(), "\r[   5% ] "
                              "\n[   5% ] Flashing HOST"
                              "\r[  42% ] Flashing HOST"
                              "\r[ 100% ] Flashing HOST"
                              "\n[ 100% ] Done"
                              "\nreport line"
                              "\r[   7% ] report line");
}

TEST(AppTerminalOutput, OverlongMessageIsPrintedWholeAndRepeatedCut)
{
    // A receive dump can reach 500 characters; anything longer must not
    // overrun the stored copy that progress lines repeat.
    const std::string longMsg(2000, 'x');
    StdoutCapture capture;
    cbLog(longMsg.c_str(), nullptr);
    cbProgress(1, nullptr);
    const std::string out = capture.text();
    const std::string expectedLog = "\n[   7% ] " + longMsg;
    ASSERT_EQ(out.substr(0, expectedLog.size()), expectedLog);
    const std::string progress = out.substr(expectedLog.size());
    EXPECT_EQ(progress, "\r[   1% ] " + std::string(UPDATER_LOG_RECV_MAX, 'x'));
}

class AppPortTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir.path().empty());
        link = dir.file("port");
        peer = std::make_unique<PtyPeer>(link);
        ASSERT_TRUE(peer->ok());
        ASSERT_EQ(hostSerialCreate(link.c_str()), 1);
    }
    void TearDown() override
    {
        if (comeback.joinable())
        {
            comeback.join();
        }
        hostSerialDestroy();
    }

    // The port goes away now and a new pty appears behind the same link after delayMs.
    void dropPortFor(int delayMs)
    {
        peer->vanish();
        comeback = std::thread(
            [this, delayMs]
            {
                std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
                newPeer = std::make_unique<PtyPeer>(link);
            });
    }

    TempDir dir;
    std::string link;
    std::unique_ptr<PtyPeer> peer;
    std::unique_ptr<PtyPeer> newPeer;
    std::thread comeback;
};

void writeText(const std::string &text)
{
    for (char c : text)
    {
        cbSerialWrite(static_cast<uint8_t>(c), nullptr);
    }
}

TEST_F(AppPortTest, BytesAndBaudReachTheFarEnd)
{
    writeText("AT+BOOT?\r\n");
    cbGetTime(nullptr);
    ASSERT_TRUE(peer->waitForBytes(10, 2000));
    EXPECT_EQ(peer->received(), "AT+BOOT?\r\n");

    peer->send("AT+OK");
    uint8_t byte = 0;
    std::string got;
    for (int i = 0; i < 20 && got.size() < 5; ++i)
    {
        if (cbSerialRead(&byte, nullptr) == 1)
        {
            got.push_back(static_cast<char>(byte));
        }
    }
    EXPECT_EQ(got, "AT+OK");

    cbChangeBaud(921600, nullptr);
    EXPECT_EQ(peer->currentBaud(), 921600u);
    cbChangeBaud(115200, nullptr);
    EXPECT_EQ(peer->currentBaud(), 115200u);
}

// Written bytes are gathered, and go out together at each moment the engine
// could start to depend on them: a read, a close, a clock read. (A baud change
// writes them out too, but then discards the port's pending output, as it did
// for bytes written one by one.)
struct FlushCase
{
    const char *name;
    void (*trigger)();
};

class AppGatheredOutputTest : public AppPortTest, public ::testing::WithParamInterface<FlushCase>
{
};

TEST_P(AppGatheredOutputTest, GatheredBytesGoOutBeforeTheEngineCanWait)
{
    writeText("AT+LOCK=1\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(peer->received(), "") << "written before any flush";
    GetParam().trigger();
    ASSERT_TRUE(peer->waitForBytes(11, 2000)) << peer->received();
    EXPECT_EQ(peer->received(), "AT+LOCK=1\r\n");
    // After the flush the link is as before, and the next bytes go out as well.
    if (hostSerial() == nullptr)
    {
        ASSERT_EQ(hostSerialCreate(link.c_str()), 1);
    }
    else if (!hostSerial()->isOpen())
    {
        cbSerialReopen(nullptr);
    }
    writeText("X");
    hostSerialFlushOutput();
    ASSERT_TRUE(peer->waitForBytes(12, 2000));
}

INSTANTIATE_TEST_SUITE_P(Flush, AppGatheredOutputTest,
                         ::testing::Values(FlushCase{"Read",
                                                     []
                                                     {
                                                         uint8_t byte = 0;
                                                         cbSerialRead(&byte, nullptr);
                                                     }},
                                           FlushCase{"Close", [] { cbSerialClose(nullptr); }},
                                           FlushCase{"Clock", [] { cbGetTime(nullptr); }},
                                           FlushCase{"EndOfRun", [] { hostSerialDestroy(); }}),
                         [](const ::testing::TestParamInfo<FlushCase> &info) { return info.param.name; });

TEST_F(AppPortTest, MoreThanABufferGoesOutWholeAndInOrder)
{
    std::string data;
    for (int i = 0; i < 10000; ++i)
    {
        data.push_back(static_cast<char>('a' + i % 23));
    }
    writeText(data);
    hostSerialFlushOutput();
    ASSERT_TRUE(peer->waitForBytes(data.size(), 5000)) << peer->received().size();
    EXPECT_EQ(peer->received(), data);
}

// Bytes that wait on the port are read ahead and handed out one per call; what
// was read ahead is dropped with the port's pending input at a baud change.
TEST_F(AppPortTest, ReadAheadHandsOutBytesInOrderAndIsDiscardedWithPendingInput)
{
    auto readOne = []() -> int
    {
        uint8_t byte = 0;
        return cbSerialRead(&byte, nullptr) == 1 ? byte : -1;
    };
    auto readUpTo = [&](size_t count)
    {
        std::string got;
        for (int tries = 0; tries < 40 && got.size() < count; ++tries)
        {
            int c = readOne();
            if (c >= 0)
            {
                got.push_back(static_cast<char>(c));
            }
        }
        return got;
    };

    peer->send("AT+OK\r\nAT+BOOT=1\r\n");
    EXPECT_EQ(readUpTo(18), "AT+OK\r\nAT+BOOT=1\r\n");
    EXPECT_EQ(readOne(), -1) << "an empty line";

    // A baud change discards input: also what was read ahead of the engine.
    peer->send("XYZ");
    EXPECT_EQ(readUpTo(1), "X");
    cbChangeBaud(HOST_BAUD_DEFAULT, nullptr);
    EXPECT_EQ(readOne(), -1);
    peer->send("T");
    EXPECT_EQ(readUpTo(1), "T");
}

// The port vanishes under a write or a read and comes back on a new pty:
// the callback reports the loss in red and the return in green, and the
// link then works as before.
struct LossCase
{
    const char *name;
    bool duringRead;
};

class AppReconnectTest : public AppPortTest, public ::testing::WithParamInterface<LossCase>
{
};

TEST_P(AppReconnectTest, LostPortIsReopenedAndReported)
{
    cbSerialWrite('A', nullptr);
    hostSerialFlushOutput();
    ASSERT_TRUE(peer->waitForBytes(1, 2000));

    dropPortFor(300);
    std::string out;
    {
        StdoutCapture capture;
        if (GetParam().duringRead)
        {
            uint8_t byte = 0;
            EXPECT_EQ(cbSerialRead(&byte, nullptr), 0);
        }
        else
        {
            // The gathered byte meets the lost port when the engine next reads the clock.
            cbSerialWrite('B', nullptr);
            cbGetTime(nullptr);
        }
        out = capture.text();
    }
    comeback.join();
    ASSERT_TRUE(newPeer && newPeer->ok());

    const std::string lostPrefix = kRed + "\nConnection lost (";
    const std::string lostSuffix = "), reconnecting..." + kReset;
    const std::string back = kGreen + "\nReconnected" + kReset;
    ASSERT_EQ(out.compare(0, lostPrefix.size(), lostPrefix), 0) << out;
    const size_t suffixAt = out.find(lostSuffix);
    ASSERT_NE(suffixAt, std::string::npos) << out;
    EXPECT_GT(suffixAt, lostPrefix.size()) << "the reason is missing: " << out;
    EXPECT_EQ(out.substr(suffixAt + lostSuffix.size()), back);

    // Nothing waits on the new port: a read times out after the port's wait.
    uint8_t byte = 0;
    std::string quiet;
    {
        StdoutCapture capture;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(cbSerialRead(&byte, nullptr), 0);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(HOST_TIMEOUT_MS - 5));
        quiet = capture.text();
    }
    EXPECT_EQ(quiet, "");

    // The byte in flight was lost; the next one reaches the new far end.
    cbSerialWrite('C', nullptr);
    hostSerialFlushOutput();
    ASSERT_TRUE(newPeer->waitForBytes(1, 2000));
    EXPECT_EQ(newPeer->received(), "C");
}

INSTANTIATE_TEST_SUITE_P(Loss, AppReconnectTest,
                         ::testing::Values(LossCase{"DuringWrite", false}, LossCase{"DuringRead", true}),
                         [](const ::testing::TestParamInfo<LossCase> &info) { return info.param.name; });

} // namespace
