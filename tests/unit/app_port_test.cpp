// The port as the operator meets it: why it cannot be opened, one updater per
// port, a port that vanishes and comes back, and Ctrl-C in the middle of a run.
// Real ptys; runs of the whole program happen in a forked child.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/front_end.h"
#include "app/host_callbacks.h"
#include "app/interrupt.h"
#include "aff/aff_container.h"
#include "tests/support/aff_image.h"
#include "tests/support/child_run.h"
#include "tests/support/pty_peer.h"

using testsupport::Child;
using testsupport::PtyPeer;
using testsupport::TempDir;

namespace
{

const std::string kBanner = "UPDATER  version: 10700000 (Aug  9 2024)\n";
const std::string kFailed = "\x1b[1;31m\n\n=== ERRORS OCCURED! ===\n\n\x1b[0m";
constexpr int kWaitMs = 20000;

// Holds an exclusive lock on a port as a first updater would.
struct HeldLock
{
    explicit HeldLock(const std::string &path) : fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        locked = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    }
    ~HeldLock()
    {
        if (fd >= 0)
            close(fd);
    }
    int fd;
    bool locked;
};

// 1 when someone else holds the lock on path.
bool lockedElsewhere(const std::string &path)
{
    HeldLock probe(path);
    return probe.fd >= 0 && !probe.locked && errno == EWOULDBLOCK;
}

TEST(AppPortOpen, FailureNamesTheReasonOnStandardError)
{
    TempDir dir;
    PtyPeer peer(dir.file("tty"));
    ASSERT_TRUE(peer.ok());
    const std::string file = dir.file("plain");
    fclose(fopen(file.c_str(), "w"));
    const std::string forbidden = dir.file("forbidden");
    fclose(fopen(forbidden.c_str(), "w"));
    chmod(forbidden.c_str(), 0);
    HeldLock first(peer.path());
    ASSERT_TRUE(first.locked);

    struct Case
    {
        std::string port;
        std::string reason;
        bool asNobody; // root may open anything: the run drops to an ordinary user
    };
    const std::vector<Case> cases = {
        {dir.file("missing"), "no such device", false},
        {file, "not a terminal", false},
        {dir.path(), "not a terminal", false},
        {forbidden, "permission denied (serial ports belong to the group dialout", true},
        {peer.path(), "in use", false},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.port);
        Child run(appMain, {"updater", c.port, "-readver"},
                  [&c]
                  {
                      if (c.asNobody && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
                          _exit(99);
                  });
        EXPECT_EQ(run.finish(), 1);
        EXPECT_EQ(run.out, kBanner + "Couldn't open serial " + c.port + "\n" + kFailed);
        EXPECT_EQ(run.err.rfind("updater: cannot open " + c.port + ": " + c.reason, 0), 0u) << run.err;
    }
    EXPECT_EQ(peer.received(), "");
}

// A first updater talks to a silent device; a second one on the same port is
// refused at once and leaves the first alone; Ctrl-C then ends the first with
// the colour reset, a word on where the device may be, and status 130.
TEST(AppPortOpen, SecondUpdaterIsRefusedAndCtrlCEndsTheFirst)
{
    TempDir dir;
    PtyPeer peer(dir.file("tty"));
    ASSERT_TRUE(peer.ok());
    struct Case
    {
        std::vector<std::string> options;
        uint8_t runKind;
    };
    testsupport::AffImage img;
    testsupport::AffImageBlock host;
    host.type = AFF_BLOCK_HOST_UC;
    host.data = testsupport::affImagePattern(256, 1);
    host.partSize = 128;
    img.blocks = {host};
    const std::string aff = dir.file("fw.aff");
    const std::vector<uint8_t> bytes = img.build();
    FILE *file = fopen(aff.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), file);
    fclose(file);
    const std::vector<Case> cases = {
        {{"-readver"}, APP_RUN_DIALOGUE},
        {{"-update", aff}, APP_RUN_UPDATE},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.options[0]);
        const size_t before = peer.received().size();
        std::vector<std::string> args = {"updater", peer.path()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        Child first(appMain, args);
        ASSERT_TRUE(peer.waitForBytes(before + 1, kWaitMs)) << "the first updater never wrote";
        EXPECT_TRUE(lockedElsewhere(peer.path()));

        Child second(appMain, {"updater", peer.path(), "-readver"});
        EXPECT_EQ(second.finish(), 1);
        EXPECT_EQ(second.out, kBanner + "Couldn't open serial " + peer.path() + "\n" + kFailed);
        EXPECT_NE(second.err.find(": in use"), std::string::npos) << second.err;
        EXPECT_EQ(peer.currentBaud(), 115200u);

        first.interrupt();
        EXPECT_EQ(first.finish(), APP_EXIT_INTERRUPTED);
        EXPECT_EQ(first.out.substr(first.out.size() - 4), "\x1b[0m") << first.out;
        EXPECT_NE(first.err.find(appInterruptMessage(c.runKind)), std::string::npos) << first.err;
        EXPECT_FALSE(lockedElsewhere(peer.path())) << "the lock outlived the run";
    }
}

// ---- The reconnection, in this process ---------------------------------------

// What happens at each pause of the reconnection: a new pty appears behind the
// link at pause `comeBackAt`, held by another program from `lockAt` to `unlockAt`.
struct ReconnectCase
{
    const char *name;
    int comeBackAt;
    int lockAt;
    int unlockAt;
    int pauses; // pauses until the port is open again
};

struct ReconnectScene
{
    ReconnectCase plan;
    std::string link;
    std::unique_ptr<PtyPeer> peer;
    std::unique_ptr<HeldLock> other;
    int pauses = 0;
};
ReconnectScene *s_pScene = nullptr;

void scenePause(uint32_t)
{
    ReconnectScene &s = *s_pScene;
    ++s.pauses;
    if (s.pauses == s.plan.comeBackAt)
        s.peer = std::make_unique<PtyPeer>(s.link);
    if (s.pauses == s.plan.lockAt)
        s.other = std::make_unique<HeldLock>(s.link);
    if (s.pauses == s.plan.unlockAt)
        s.other.reset();
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(AppReconnect, WaitsWithPausesSaysOnceHowToStopAndRetakesTheLock)
{
    const std::vector<ReconnectCase> cases = {
        {"back after three pauses", 3, 0, 0, 3},
        // A port that comes back in another program's hands is not taken from it.
        {"back but in use", 2, 2, 5, 5},
    };
    for (const ReconnectCase &c : cases)
    {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ReconnectScene scene{c, dir.file("tty"), std::make_unique<PtyPeer>(dir.file("tty")), nullptr};
        s_pScene = &scene;
        ASSERT_EQ(hostSerialCreate(scene.link.c_str()), 1);
        EXPECT_TRUE(lockedElsewhere(scene.link));
        hostSetReopenPause(scenePause);

        scene.peer->vanish();
        uint8_t byte = 0;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(cbSerialRead(&byte, nullptr), 0);
        const std::string err = testing::internal::GetCapturedStderr();
        testing::internal::GetCapturedStdout();

        EXPECT_EQ(scene.pauses, c.pauses);
        EXPECT_EQ(count(err, "Ctrl-C stops the run"), 1u) << err;
        EXPECT_TRUE(lockedElsewhere(scene.link)) << "the lock was not taken again";
        hostSetReopenPause(nullptr);
        hostSerialDestroy();
        EXPECT_FALSE(lockedElsewhere(scene.link));
        s_pScene = nullptr;
    }
}

} // namespace
