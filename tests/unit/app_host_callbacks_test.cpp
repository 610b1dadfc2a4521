// The front end in this process: terminal output of log and progress lines,
// the port lock, and the host callbacks over a real pseudo-terminal (gathered
// output, read-ahead input, a port that vanishes and comes back).

#include <gtest/gtest.h>

#include <serial.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/front_end.h"
#include "app/host_callbacks.h"
#include "app/port_lock.h"
#include "app/terminal.h"
#include "tests/support/pty_peer.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using testsupport::HeldLock;
using testsupport::lockedElsewhere;
using testsupport::PtyPeer;

namespace
{

const std::string kRed = "\x1b[1;31m", kGreen = "\x1b[1;32m", kReset = "\x1b[0m";

// Runs before any other test of this file prints a log line: the first progress line carries an empty
// message.
TEST(AppTerminal, ProgressRewritesTheLineOfTheLastMessageAndColoursStayInTheTable)
{
    // A receive dump can reach 500 characters; anything longer must not overrun the copy progress repeats.
    const std::string longMsg(2000, 'x');
    CaptureStdout();
    cbProgress(5, nullptr);
    cbLog("Flashing HOST", nullptr);
    cbProgress(42, nullptr);
    cbProgress(100, nullptr);
    cbLog("Done", nullptr);
    cbPrint("report line", nullptr);
    cbProgress(7, nullptr);
    cbLog(longMsg.c_str(), nullptr);
    cbProgress(1, nullptr);
    for (uint8_t colour = APP_COLOR_RESET; colour <= APP_COLOR_WHITE + 1; ++colour)
        logSetColor(colour);
    EXPECT_EQ(GetCapturedStdout(),
              "\r[   5% ] \n[   5% ] Flashing HOST\r[  42% ] Flashing HOST\r[ 100% ] Flashing "
              "HOST\n[ 100% ] Done\nreport line\r[   7% ] report line\n[   7% ] " +
                  longMsg + "\r[   1% ] " + std::string(UPDATER_LOG_RECV_MAX, 'x') + kReset + kGreen +
                  "\x1b[1;33m" + kRed + "\x1b[1;37m");
}

size_t openDescriptors()
{
    return size_t(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

TEST(AppPortLock, HeldOnAnyDescriptorAndNeverLeaked)
{
    testsupport::TempDir dir;
    PtyPeer peer(dir.file("tty"));
    const size_t before = openDescriptors();
    EXPECT_EQ(portLockAcquire("/dev/null"), PORT_NOT_TTY);
    EXPECT_EQ(portLockHeld(), 0);
    EXPECT_EQ(openDescriptors(), before) << "the descriptor of a port that is no terminal was kept";

    // The lowest free descriptor may be 0 when standard input is closed.
    const int savedStdin = dup(STDIN_FILENO);
    close(STDIN_FILENO);
    EXPECT_EQ(portLockAcquire(peer.link.c_str()), PORT_OK);
    EXPECT_EQ(portLockHeld(), 1);
    EXPECT_TRUE(lockedElsewhere(peer.link));
    portLockRelease();
    EXPECT_EQ(portLockHeld(), 0);
    EXPECT_FALSE(lockedElsewhere(peer.link));
    dup2(savedStdin, STDIN_FILENO);
    close(savedStdin);

    // Without a port the CONFIG procedure fails at once.
    CaptureStdout();
    EXPECT_EQ(appConfigMode(), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
}

class AppPort : public ::testing::Test
{
  public:
    void SetUp() override
    {
        ASSERT_TRUE(peer->ok());
        ASSERT_EQ(hostSerialCreate(link.c_str()), 1);
    }
    void TearDown() override
    {
        hostSetReopenPause(nullptr);
        hostSerialDestroy();
    }
    static void writeText(const std::string &text)
    {
        for (char c : text)
            cbSerialWrite(uint8_t(c), nullptr);
    }
    // Reads up to count bytes, with a few read time-outs to spare.
    static std::string readUpTo(size_t count)
    {
        std::string got;
        uint8_t byte = 0;
        for (int tries = 0; tries < 40 && got.size() < count; ++tries)
        {
            if (cbSerialRead(&byte, nullptr) == 1)
                got.push_back(char(byte));
        }
        return got;
    }

    testsupport::TempDir dir;
    const std::string link = dir.file("port");
    std::unique_ptr<PtyPeer> peer = std::make_unique<PtyPeer>(link);
};

TEST_F(AppPort, BytesBaudAndReadAheadInputReachTheirEnds)
{
    writeText("AT+BOOT?\r\n");
    cbGetTime(nullptr);
    ASSERT_TRUE(peer->waitFor(10, 2000));
    EXPECT_EQ(peer->received, "AT+BOOT?\r\n");
    cbChangeBaud(921600, nullptr);
    EXPECT_EQ(peer->baud(), 921600u);
    cbChangeBaud(115200, nullptr);
    EXPECT_EQ(peer->baud(), 115200u);

    // Bytes waiting on the port are read ahead and handed out one per call...
    peer->send("AT+OK\r\nAT+BOOT=1\r\n");
    EXPECT_EQ(readUpTo(18), "AT+OK\r\nAT+BOOT=1\r\n");
    uint8_t byte = 0;
    EXPECT_EQ(cbSerialRead(&byte, nullptr), 0) << "an empty line";
    // ...and dropped with the port's pending input at a baud change.
    peer->send("XYZ");
    EXPECT_EQ(readUpTo(1), "X");
    cbChangeBaud(HOST_BAUD_DEFAULT, nullptr);
    EXPECT_EQ(cbSerialRead(&byte, nullptr), 0);
    peer->send("T");
    EXPECT_EQ(readUpTo(1), "T");

    // More than a buffer goes out whole and in order.
    std::string data;
    for (int i = 0; i < 10000; ++i)
        data.push_back(char('a' + i % 23));
    writeText(data);
    hostSerialFlushOutput();
    ASSERT_TRUE(peer->waitFor(10 + data.size(), 5000)) << peer->received.size();
    EXPECT_EQ(peer->received.substr(10), data);
}

// Written bytes are gathered, and go out together at each moment the engine
// could start to depend on them: a read, a close, a clock read, the end of the run.
TEST_F(AppPort, GatheredBytesGoOutBeforeTheEngineCanWait)
{
    for (auto trigger :
         {+[]
          {
              uint8_t byte = 0;
              cbSerialRead(&byte, nullptr);
          },
          +[] { cbSerialClose(nullptr); }, +[] { cbGetTime(nullptr); }, +[] { hostSerialDestroy(); }})
    {
        peer->received.clear();
        writeText("AT+LOCK=1\r\n");
        peer->serve(100);
        EXPECT_EQ(peer->received, "") << "written before any flush";
        trigger();
        ASSERT_TRUE(peer->waitFor(11, 2000)) << peer->received;
        EXPECT_EQ(peer->received, "AT+LOCK=1\r\n");
        // After the flush the link is as before, and a single next byte goes out as well.
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
        ASSERT_TRUE(peer->waitFor(12, 2000));
    }
}

// At each pause of the reconnection: a new pty appears behind the link at
// pause `comeBackAt`, held by another program from `lockAt` to `unlockAt`.
struct Reconnect
{
    const char *name;
    bool duringRead;
    int comeBackAt, lockAt, unlockAt;
    int pauses; // until the port is open again
    AppPort *test = nullptr;
    std::unique_ptr<HeldLock> other = nullptr;
    int seen = 0;
} *s_pPlan = nullptr;

TEST_F(AppPort, LostPortIsReopenedUnderItsLockAndReported)
{
    Reconnect cases[] = {
        {"read, back after three pauses", true, 3, 0, 0, 3},
        {"write, back after one pause", false, 1, 0, 0, 1},
        // A port that comes back in another program's hands is not taken from it.
        {"read, back but in use", true, 2, 2, 5, 5},
    };
    for (Reconnect &c : cases)
    {
        SCOPED_TRACE(c.name);
        c.test = this;
        s_pPlan = &c;
        hostSetReopenPause(
            [](uint32_t)
            {
                Reconnect &p = *s_pPlan;
                ++p.seen;
                if (p.seen == p.comeBackAt)
                    p.test->peer = std::make_unique<PtyPeer>(p.test->link);
                if (p.seen == p.lockAt)
                    p.other = std::make_unique<HeldLock>(p.test->link);
                if (p.seen == p.unlockAt)
                    p.other.reset();
            });
        peer->vanish();
        CaptureStdout();
        testing::internal::CaptureStderr();
        uint8_t byte = 0;
        if (c.duringRead)
        {
            EXPECT_EQ(cbSerialRead(&byte, nullptr), 0);
        }
        else
        {
            // The gathered byte meets the lost port when the engine next reads the clock.
            cbSerialWrite('B', nullptr);
            cbGetTime(nullptr);
        }
        const std::string err = testing::internal::GetCapturedStderr(), out = GetCapturedStdout();
        EXPECT_EQ(c.seen, c.pauses);
        EXPECT_EQ(err.find("Ctrl-C stops the run"), err.rfind("Ctrl-C stops the run"))
            << "said more than once";
        EXPECT_NE(err.find("Ctrl-C stops the run"), std::string::npos) << err;
        const std::string lost = kRed + "\nConnection lost (", suffix = "), reconnecting..." + kReset;
        EXPECT_EQ(out.rfind(lost, 0), 0u) << out;
        EXPECT_GT(out.find(suffix), lost.size()) << "the reason is missing: " << out;
        EXPECT_EQ(out.substr(out.find(suffix) + suffix.size()), kGreen + "\nReconnected" + kReset);
        EXPECT_TRUE(lockedElsewhere(link)) << "the lock was not taken again";

        // Nothing waits on the new port; the byte in flight was lost, the next one goes out.
        CaptureStdout();
        EXPECT_EQ(cbSerialRead(&byte, nullptr), 0);
        EXPECT_EQ(GetCapturedStdout(), "");
        cbSerialWrite('C', nullptr);
        hostSerialFlushOutput();
        ASSERT_TRUE(peer->waitFor(1, 2000));
        EXPECT_EQ(peer->received, "C");
    }
    hostSerialDestroy();
    EXPECT_FALSE(lockedElsewhere(link));
}

} // namespace
