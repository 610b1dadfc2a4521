// The front end: the whole program run in a forked child (what it prints on standard output and error,
// its exit status, and what reaches the port, a scripted pty peer); in this process, terminal output,
// the port lock and the host callbacks over a pty.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <serial.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "aff/aff_container.h"
#include "app/front_end.h"
#include "app/host_callbacks.h"
#include "app/interrupt.h"
#include "app/port_lock.h"
#include "app/terminal.h"
#include "tests/support/aff_image.h"
#include "tests/support/pty_peer.h"

using namespace testsupport;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace
{

const std::string kRed = "\x1b[1;31m", kGreen = "\x1b[1;32m", kReset = "\x1b[0m";

const std::string kConfigCommand = "AT+CONFIG=1\r\n";
constexpr uint32_t kPart = 300; // more than one read chunk of the check, and not a multiple of it

std::string usage(const std::string &prog)
{
    std::string text =
        "Usage: " + prog +
        " PORT [options]\n\t-readver\tReads bootloader and module versions, leaving it in lock "
        "state\n\t-config\t\tPuts device in CONFIG mode\n\t-ub\t\tPuts device in BOOT mode\n"
        "\t-update PATH\tFlashes bootloader using .aff file, leaving it in lock state\n"
        "\t-lock 0|1\tOnly sets bootloader lock state\nAdditional options:\n"
        "\t-nf\tDon't update components if version code in AFF match with current\n"
        "\t-v\tVerbose output\nAlternative usage: " +
        prog + " -affver PATH\tReads from .aff file modules versions\n";
    const std::vector<serial::PortInfo> ports = serial::list_ports();
    text += "Available ports: " + std::to_string(ports.size()) + "\n";
    for (const serial::PortInfo &port : ports)
        text += "\t" + port.port + "\t(id: " + port.hardware_id + ", desc: " + port.description + ")\n";
    return text;
}

// Five blocks, two never sent (Wi-Fi RAM, a second device uC); version 3 follows each part with its CRC.
AffImage image(uint16_t format = 3)
{
    AffImage img;
    std::tie(img.formatVersion, img.productId, img.hardwareId) = std::tuple(format, 11u, 22u);
    const uint32_t types[] = {AFF_BLOCK_HOST_UC, AFF_BLOCK_ESP_RAM, AFF_BLOCK_DEVICE_UC, AFF_BLOCK_DEVICE_UC,
                              AFF_BLOCK_FPGA_NVCM1};
    const uint32_t parts[] = {3, 2, 4, 2, 2}, codes[] = {10700000, 0, 10203004, 0, 1};
    for (size_t i = 0; i < 5; ++i)
        img.blocks.push_back({types[i], affImagePattern(kPart * parts[i], uint8_t(types[i])), kPart, -1, 0,
                              AffImageVersion{codes[i], "Aug  9 2024"}});
    return img;
}
const std::vector<uint8_t> kGood = image().build();

// Offset of byte `byte` of part `part` of block `idx` (version 3); bytes from kPart on are its stored CRC.
size_t at(size_t idx, uint32_t part, uint32_t byte)
{
    return affImageBlockOffset(image(), idx) + AFF_BLOCK_HEADER_SIZE_V3 + part * (kPart + 4) + byte;
}

// The file with the bytes at flips changed and cut bytes cut off its end.
std::vector<uint8_t> flipped(const std::vector<size_t> &flips, size_t cut = 0, uint16_t format = 3)
{
    std::vector<uint8_t> bytes = image(format).build();
    for (size_t flip : flips)
        bytes[flip] ^= 0x10;
    bytes.resize(bytes.size() - cut);
    return bytes;
}

class AppRun : public ::testing::Test
{
  protected:
    // Replaces each {X} of text by what it stands for in the runs on `peer`.
    std::string expand(std::string text)
    {
        const std::string banner = "UPDATER  version: 10700000 (Aug  9 2024)\n";
        const std::vector<std::pair<std::string, std::string>> names = {
            {"{C}", banner + "Connected to port {P}\n"},
            {"{R}", banner +
                        "\n\nProduct/hardware ID :\nAFF: 11 / 22\nDev ID : 4294967295 (unknown)\n\tHOST: "
                        "1.7.0.0 (Aug  9 2024)"},
            {"{uC}", "\n\t  uC: 1.2.3.4 (Aug  9 2024)"},
            {"{N}", "\nPutting in CONFIG mode\nWrong response:"},
            {"{B}", banner},
            {"{F}", kRed + "\n\n=== ERRORS OCCURED! ===\n\n" + kReset},
            {"{S}", kGreen + "\nOperation completed successfully\n" + kReset},
            {"{U}", usage("updater")},
            {"{O}", "Couldn't open serial "},
            {"{X}", "updater: cannot open "},
            {"{P}", peer.link},
            {"{A}", dir.file("f.aff")},
            {"{D}", dir.path},
        };
        for (const auto &[name, value] : names)
            for (size_t at; (at = text.find(name)) != std::string::npos;)
                text.replace(at, name.size(), value);
        return text;
    }
    void write(const std::vector<uint8_t> &bytes)
    {
        std::ofstream(dir.file("f.aff"), std::ios::binary) << std::string(bytes.begin(), bytes.end());
    }
    TempDir dir;
    // The device on the port refuses each line but, when confirming, the check that follows a CONFIG
    // command at 921600.
    bool confirming = false, inConfig = false;
    std::string seen; // each line the device saw, a CONFIG command as the baud rate it came at
    PtyPeer peer{dir.file("tty"),
                 [this](const std::string &line, uint32_t baud) -> std::string
                 {
                     seen += " " + (line == kConfigCommand ? std::to_string(baud) : line);
                     inConfig = inConfig || (line == kConfigCommand && baud == 921600);
                     return confirming && inConfig && baud == 115200 ? "AT+OK\r\n" : "AT+ERROR\r\n";
                 }};
};

TEST_F(AppRun, OutcomeOfEachCommandLine)
{
    PtyPeer busy(dir.file("busy"));
    HeldLock first(busy.link);
    ASSERT_TRUE(peer.live && first.locked);
    const std::vector<uint8_t> none;
    const std::string blk = "AFF file damaged: block 2 header unreadable";
    const struct
    {
        std::vector<uint8_t> file; // at {A}
        std::string args;          // separated by single spaces
        int status;
        std::string out, err = ""; // err: the start of standard error
    } cases[] = {
        {none, "updater", 1, "{B}{U}"},
        {none, "./prog -affver", 1, "{B}" + usage("./prog")},
        // Options are read once the port is open.
        {none, "updater {D}/missing -bogus", 1, "{B}{O}{D}/missing\n{F}", "{X}{D}/missing: no such device"},
        {none, "updater {A} -readver", 1, "{B}{O}{A}\n{F}", "{X}{A}: not a terminal"},
        {none, "updater {D} -readver", 1, "{B}{O}{D}\n{F}", "{X}{D}: not a terminal"},
        // Refused to root as well.
        {none, "updater /sys/kernel/notes -readver", 1, "{B}{O}/sys/kernel/notes\n{F}",
         "{X}/sys/kernel/notes: permission denied (serial ports belong to the group dialout"},
        {none, "updater {D}/busy -readver", 1, "{B}{O}{D}/busy\n{F}", "{X}{D}/busy: in use"},
        {flipped({100}), "updater -affver {A}", 1, "{B}{F}"}, // inside the CRC-protected header fields
        // Blocks an update never sends are carried as they are: Wi-Fi RAM, a second of a type.
        {flipped({at(1, 0, 0), at(3, 1, 0)}), "updater -affver {A}", 0, "{R}{uC}{S}"},
        // The offline report lists what precedes the damage, names it, then fails.
        {flipped({}, 10), "updater -affver {A}", 1,
         "{R}{uC}\nAFF file damaged: block 4 data past the end of the file{F}"},
        {flipped({at(2, 0, 0) - 43}), "updater -affver {A}", 1, "{R}\n" + blk + "{F}"}, // its version code
        // The first damage in file order, the last byte of the last part (more than one read chunk).
        {flipped({at(4, 0, 5), at(2, 3, kPart - 1)}), "updater -affver {A}", 1,
         "{R}{uC}\nCRC Error on part 3\nAFF file damaged: block 2 (type 7, device uC) part 3 CRC "
         "mismatch{F}"},
        // A bad part is refused before the port is even tried; every other damage once it is open.
        {flipped({at(0, 2, kPart + 3)}), "updater {D}/missing -update {A} -nf -v",
         1, // the high half of a CRC
         "{B}CRC Error on part 2\nAFF file damaged: block 0 (type 8, host uC) part 2 CRC mismatch\n{F}"},
        // Version 2 has no part CRCs: the bytes changed are data.
        {flipped({affImageBlockOffset(image(2), 0) + 50}, 0, 2), "updater {D}/missing -update {A}", 1,
         "{B}{O}{D}/missing\n{F}"},
        {flipped({at(2, 0, 0) - 43}), "updater {P} -update {A} -nf", 1, "{C}" + blk + "\n{F}"},
        {none, "updater {P} -update {A}", 1, "{C}{F}"},
        // The version word: the check before the port is opened says nothing, the reader then does.
        {flipped({2}), "updater {P} -update {A}", 1,
         "{C}AFF file version not suported(File corrupted or newer version of updater needed).\n{F}"},
        {none, "updater {P} -update {D}/missing", 1, "{C}Couldn't open file: {D}/missing\n{F}"},
        {none, "updater {P} -v", 1, "{C}\n[   0% ] No op selected!\n{F}"},
        {none, "updater {P} -readver -ub -f -nf -v -lock 1 -lock 0 -x", 1,
         "{C}Unknown parameter: -x\n{U}{F}"},
        {none, "updater {P} -update", 1, "{C}Missing file path!\n{U}{F}"},
        {none, "updater {P} -lock", 1, "{C}Unknown lock arg: , expected 0 or 1\n{U}{F}"},
        // CONFIG mode ignores what follows, and tries each rate until the device confirms.
        {none, "updater {P} -config -update missing.aff", 0,
         "{C}Baud: 115200{N}AT+ERRO\nBaud: 921600\nPutting in CONFIG mode\n{S}"},
        {none, "updater {P} -config", 1,
         "{C}Baud: 115200{N}AT+ERRO\nBaud: 921600{N}AT+ERRO\nBaud: 3000000{N}AT+ERRO\n{F}"},
    };
    const std::regex space(" "), trial("Baud: (\\d+)");
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.args);
        const std::string line = expand(c.args), out = expand(c.out);
        const std::vector<std::string> args(std::sregex_token_iterator(line.begin(), line.end(), space, -1),
                                            {});
        write(c.file);
        confirming = c.status == 0;
        inConfig = false;
        seen = peer.partial = "";
        Child run(appMain, args);
        EXPECT_EQ(run.finish(&peer), c.status);
        EXPECT_EQ(run.out, out);
        EXPECT_EQ(run.err.rfind(expand(c.err), 0), 0u) << run.err;
        std::string tried; // each trial: three CONFIG commands at its rate, then one at 115200
        for (std::sregex_iterator it(out.begin(), out.end(), trial), end; it != end; ++it)
            tried += std::regex_replace(" X X X 115200", std::regex("X"), (*it)[1].str());
        EXPECT_EQ(seen + peer.partial, tried);
        EXPECT_EQ(peer.baud(), 115200u);
    }
}

// Ctrl-C ends a run on a silent device with the colour reset, a word on where
// the device may be, and status 130; until then the run holds the port's lock.
TEST_F(AppRun, CtrlCEndsTheRun)
{
    write(kGood);
    peer.script = nullptr; // a silent device
    for (auto [option, kind] : {std::tuple{"-readver", APP_RUN_DIALOGUE}, {"-update", APP_RUN_UPDATE}})
    {
        SCOPED_TRACE(option);
        peer.received.clear();
        std::vector<std::string> args = {"updater", peer.link, option};
        if (kind == APP_RUN_UPDATE)
            args.push_back(dir.file("f.aff"));
        Child run(appMain, args);
        ASSERT_TRUE(peer.waitFor(1, 20000)) << "the updater never wrote";
        EXPECT_TRUE(lockedElsewhere(peer.link));
        kill(run.pid, SIGINT); // as Ctrl-C on a terminal
        EXPECT_EQ(run.finish(&peer), APP_EXIT_INTERRUPTED);
        EXPECT_EQ(run.out.substr(run.out.size() - 4), kReset) << run.out;
        EXPECT_NE(run.err.find(appInterruptMessage(kind)), std::string::npos) << run.err;
    }
}

// ---- In this process ----

// The first test to log in this process: the first progress line carries an empty message.
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

TEST(AppPortLock, HeldOnAnyDescriptorAndNeverLeaked)
{
    TempDir dir;
    PtyPeer peer(dir.file("tty"));
    EXPECT_EQ(portLockAcquire("/dev/null"), PORT_NOT_TTY);
    EXPECT_EQ(portLockHeld(), 0) << "the descriptor of a port that is no terminal was kept";

    // The lowest free descriptor may be 0 when standard input is closed.
    const int savedStdin = dup(STDIN_FILENO);
    close(STDIN_FILENO);
    EXPECT_EQ(portLockAcquire(peer.link.c_str()), PORT_OK);
    EXPECT_TRUE(lockedElsewhere(peer.link));
    portLockRelease();
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
    void SetUp() override { ASSERT_EQ(hostSerialCreate(link.c_str()), 1); }
    void TearDown() override { hostSerialDestroy(); }
    static void writeText(const std::string &text)
    {
        for (char c : text)
            cbSerialWrite(uint8_t(c), nullptr);
    }
    static int readOne()
    {
        uint8_t byte = 0;
        return cbSerialRead(&byte, nullptr) == 1 ? byte : -1;
    }
    // Reads up to count bytes, with a few read time-outs to spare.
    static std::string readUpTo(size_t count)
    {
        std::string got;
        for (int tries = 0, c; tries < 40 && got.size() < count; ++tries)
            got += (c = readOne()) >= 0 ? std::string(1, char(c)) : "";
        return got;
    }

    TempDir dir;
    const std::string link = dir.file("port");
    std::unique_ptr<PtyPeer> peer = std::make_unique<PtyPeer>(link);
};

TEST_F(AppPort, BaudAndReadAheadInputReachTheirEnds)
{
    cbChangeBaud(921600, nullptr);
    EXPECT_EQ(peer->baud(), 921600u);

    // Bytes waiting on the port are read ahead and handed out one per call...
    peer->send("AT+OK\r\nAT+BOOT=1\r\n");
    EXPECT_EQ(readUpTo(18), "AT+OK\r\nAT+BOOT=1\r\n");
    EXPECT_EQ(readOne(), -1) << "an empty line";
    // ...and dropped with the port's pending input at a baud change.
    peer->send("XYZ");
    EXPECT_EQ(readUpTo(1), "X");
    cbChangeBaud(HOST_BAUD_DEFAULT, nullptr);
    EXPECT_EQ(readOne(), -1);
    peer->send("T");
    EXPECT_EQ(readUpTo(1), "T");

    // More than a buffer goes out whole and in order.
    const std::vector<uint8_t> bytes = affImagePattern(10000, 5);
    const std::string data(bytes.begin(), bytes.end());
    writeText(data);
    hostSerialFlushOutput();
    ASSERT_TRUE(peer->waitFor(data.size(), 5000)) << peer->received.size();
    EXPECT_EQ(peer->received, data);
}

// Standard output's descriptor into a pipe, for what has really been written and not
// what waits in stdout's buffer. The test's own report goes there too: check outside.
struct TerminalPipe
{
    TerminalPipe()
    {
        fflush(stdout);
        int ends[2];
        if (pipe(ends) != 0)
            abort();
        saved = dup(STDOUT_FILENO);
        dup2(ends[1], STDOUT_FILENO);
        close(ends[1]);
        readEnd = ends[0];
        fcntl(readEnd, F_SETFL, O_NONBLOCK);
    }
    ~TerminalPipe()
    {
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        close(readEnd);
    }
    std::string take()
    {
        std::string got;
        char chunk[256];
        for (ssize_t n; (n = read(readEnd, chunk, sizeof chunk)) > 0;)
            got.append(chunk, size_t(n));
        return got;
    }
    int saved, readEnd;
};

// Written bytes are gathered, and go out together at each moment the engine could start
// to depend on them: a read, a close, a clock read, the end of the run. A progress line
// drawn meanwhile reaches the terminal with them, or when a pause starts to sleep.
TEST_F(AppPort, GatheredBytesGoOutBeforeTheEngineCanWait)
{
    std::string busy, slept;
    {
        TerminalPipe terminal;
        hostSerialFlushOutput(); // the clock reads in a row start from none
        cbProgress(9, nullptr);
        for (int reads = 1; reads <= 16; ++reads)
            busy += (cbGetTime(nullptr), terminal.take());
        slept = (cbGetTime(nullptr), terminal.take());
    }
    EXPECT_EQ(busy, "") << "written before the pause sleeps";
    EXPECT_EQ(slept.substr(0, 9), "\r[   9% ]");
    for (auto trigger : {+[] { readOne(); }, +[] { cbSerialClose(nullptr); }, +[] { cbGetTime(nullptr); },
                         +[] { hostSerialDestroy(); }})
    {
        peer->received.clear();
        std::string sentEarly, before, after;
        {
            TerminalPipe terminal;
            cbProgress(42, nullptr);
            writeText("AT+LOCK=1\r\n");
            peer->serve(100);
            sentEarly = peer->received;
            before = terminal.take();
            trigger();
            after = terminal.take();
        }
        EXPECT_EQ(sentEarly, "") << "written before any flush";
        EXPECT_EQ(before, "");
        EXPECT_EQ(after.substr(0, 9), "\r[  42% ]");
        ASSERT_TRUE(peer->waitFor(11, 2000)) << peer->received;
        EXPECT_EQ(peer->received, "AT+LOCK=1\r\n");
        hostSerialDestroy();
        EXPECT_FALSE(lockedElsewhere(link)) << "the lock outlived the port";
        // On a port opened afresh, a single byte goes out as well.
        ASSERT_EQ(hostSerialCreate(link.c_str()), 1);
        writeText("X");
        hostSerialFlushOutput();
        ASSERT_TRUE(peer->waitFor(12, 2000));
    }
}

// The reconnection: at reopen pause `back` a new pty appears behind the link,
// held by another program until pause `unlock`.
struct ReconnectPlan
{
    AppPort *test;
    int back, unlock, seen;
    std::unique_ptr<HeldLock> other;
} s_plan;

TEST_F(AppPort, LostPortIsReopenedUnderItsLockAndReported)
{
    hostSetReopenPause(
        [](uint32_t)
        {
            if (++s_plan.seen == s_plan.back)
            {
                s_plan.test->peer = std::make_unique<PtyPeer>(s_plan.test->link);
                s_plan.other = std::make_unique<HeldLock>(s_plan.test->link);
            }
            if (s_plan.seen >= s_plan.unlock)
                s_plan.other.reset();
        });
    // The second comes back in another program's hands and is not taken from it.
    for (auto [duringRead, back, unlock] : {std::tuple{false, 1, 1}, {true, 2, 5}})
    {
        SCOPED_TRACE(back);
        s_plan = {this, back, unlock, 0, nullptr};
        peer->vanish();
        CaptureStdout();
        testing::internal::CaptureStderr();
        if (duringRead)
            readOne();
        cbSerialWrite('B', nullptr); // unless a read found the port lost, the clock read then does
        cbGetTime(nullptr);
        EXPECT_EQ(
            testing::internal::GetCapturedStderr(),
            "\nupdater: " + link +
                ": no such device (is the adapter plugged in, is the name right?); waiting for it to come "
                "back, Ctrl-C stops the run\n");
        EXPECT_EQ(std::regex_replace(GetCapturedStdout(), std::regex("\\(.+\\)"), "(reason)"),
                  kRed + "\nConnection lost (reason), reconnecting..." + kReset + kGreen + "\nReconnected" +
                      kReset);
        EXPECT_EQ(s_plan.seen, unlock);
        EXPECT_TRUE(lockedElsewhere(link)) << "the lock was not taken again";

        // Nothing waits on the new port; a byte in flight was lost, the next one goes out.
        CaptureStdout();
        EXPECT_EQ(readOne(), -1);
        EXPECT_EQ(GetCapturedStdout(), "");
        cbSerialWrite('C', nullptr);
        hostSerialFlushOutput();
        const std::string sent = duringRead ? "BC" : "C";
        ASSERT_TRUE(peer->waitFor(sent.size(), 2000));
        EXPECT_EQ(peer->received, sent);
    }
    hostSetReopenPause(nullptr);
}

} // namespace
