// The front end: the whole program run in a forked child (what it prints on
// standard output and error, its exit status, and what reaches the port, a
// scripted pty peer); in this process, terminal output, the port lock, the host
// callbacks over a pty, and the whole-container check an update makes first.

#include <gtest/gtest.h>

#include <serial.h>

#include <filesystem>
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

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using testsupport::Child;
using testsupport::HeldLock;
using testsupport::lockedElsewhere;
using testsupport::PtyPeer;
using testsupport::TempDir;

namespace
{

const std::string kRed = "\x1b[1;31m", kGreen = "\x1b[1;32m", kReset = "\x1b[0m";
const std::string kFailed = kRed + "\n\n=== ERRORS OCCURED! ===\n\n" + kReset;
const std::string kSucceeded = kGreen + "\nOperation completed successfully\n" + kReset;

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

// Host uC (3 parts), Wi-Fi RAM (2, never sent), device uC (4), a second device uC block (2, never sent),
// NVCM1 (2); in a version-3 file each part is followed by its CRC.
testsupport::AffImage image(uint16_t format = 3)
{
    testsupport::AffImage img;
    img.formatVersion = format;
    img.productId = 11;
    img.hardwareId = 22;
    for (auto [type, parts, code] : {std::tuple{AFF_BLOCK_HOST_UC, 3, 10700000},
                                     {AFF_BLOCK_ESP_RAM, 2, 0},
                                     {AFF_BLOCK_DEVICE_UC, 4, 10203004},
                                     {AFF_BLOCK_DEVICE_UC, 2, 0},
                                     {AFF_BLOCK_FPGA_NVCM1, 2, 1}})
    {
        img.blocks.emplace_back();
        img.blocks.back().type = type;
        img.blocks.back().data = testsupport::affImagePattern(kPart * parts, uint8_t(type));
        img.blocks.back().partSize = kPart;
        img.blocks.back().version = {uint32_t(code), "Aug  9 2024"};
    }
    return img;
}
const std::vector<uint8_t> kGood = image().build();

// Offset of byte `byte` of part `part` of block `idx` (version 3); bytes from kPart on are its stored CRC.
size_t at(size_t idx, uint32_t part, uint32_t byte)
{
    return testsupport::affImageBlockOffset(image(), idx) + AFF_BLOCK_HEADER_SIZE_V3 + part * (kPart + 4) +
           byte;
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
    void write(const std::string &name, const std::vector<uint8_t> &bytes)
    {
        std::ofstream(dir.file(name), std::ios::binary) << std::string(bytes.begin(), bytes.end());
    }
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
            {"{F}", kFailed},
            {"{S}", kSucceeded},
            {"{U}", usage("updater")},
            {"{O}", "Couldn't open serial "},
            {"{X}", "updater: cannot open "},
            {"{P}", peer.link},
            {"{D}", dir.path},
        };
        for (const auto &[name, value] : names)
        {
            for (size_t at; (at = text.find(name)) != std::string::npos;)
                text.replace(at, name.size(), value);
        }
        return text;
    }
    TempDir dir;
    int mode = 0; // how the device on the port answers: 0 silent, 1 refusing, 2 CONFIG at 921600 only
    bool inConfig = false;
    PtyPeer peer{dir.file("tty"),
                 [this](const std::string &line, uint32_t baud) -> std::string
                 {
                     inConfig = inConfig || (line == kConfigCommand && baud == 921600);
                     if (mode == 1)
                         return "AT+ERROR\r\n";
                     return mode == 2 && inConfig && baud == 115200 ? "AT+OK\r\n" : "";
                 }};
};

TEST_F(AppRun, OutcomeOfEachCommandLine)
{
    PtyPeer busy(dir.file("busy"));
    HeldLock first(busy.link);
    ASSERT_TRUE(peer.ok() && first.locked);
    write("plain", {});
    write("good.aff", kGood);
    write("cut.aff", flipped({}, 10));
    write("empty.aff", {});
    write("hdr.aff", flipped({100}));              // inside the CRC-protected header fields
    write("blk.aff", flipped({at(2, 0, 0) - 43})); // block 2's version code
    write("p1.aff", flipped({at(2, 1, 7)}));
    write("p4.aff", flipped({at(4, 1, 7)}));
    write("p0.aff", flipped({at(0, 0, 7)}));
    const std::string tried = " 115200 115200 115200 115200 921600 921600 921600 115200";
    const std::string lost = "AFF file damaged: block 4 data past the end of the file";
    const std::string p1 =
        "CRC Error on part 1\nAFF file damaged: block 2 (type 7, device uC) part 1 CRC mismatch";
    const struct
    {
        std::string args; // separated by single spaces
        int status;
        std::string out, err = ""; // err: the start of standard error
        int mode = 0;
        std::string tried = ""; // the baud rate of each CONFIG command the device saw
    } cases[] = {
        {"updater", 1, "{B}{U}"},
        {"updater /dev/null", 1, "{B}{U}"},
        {"./prog -affver", 1, "{B}" + usage("./prog")},
        {"updater {D}/missing -bogus", 1, "{B}{O}{D}/missing\n{F}", "{X}{D}/missing: no such device"},
        // An empty name creates no port at all; it must not be taken for an open one.
        {"updater  -readver", 1, "{B}{O}\n{F}", "{X}: no such device"},
        {"updater {D}/plain -readver", 1, "{B}{O}{D}/plain\n{F}", "{X}{D}/plain: not a terminal"},
        {"updater {D} -readver", 1, "{B}{O}{D}\n{F}", "{X}{D}: not a terminal"},
        // Refused to root as well.
        {"updater /sys/kernel/notes -readver", 1, "{B}{O}/sys/kernel/notes\n{F}",
         "{X}/sys/kernel/notes: permission denied (serial ports belong to the group dialout"},
        {"updater {D}/busy -readver", 1, "{B}{O}{D}/busy\n{F}", "{X}{D}/busy: in use"},
        {"updater -affver {D}/missing", 1, "{B}Couldn't open file: {D}/missing\n{F}"},
        {"updater -affver {D}/empty.aff", 1, "{B}{F}"},
        {"updater -affver {D}/hdr.aff", 1, "{B}{F}"},
        {"updater -affver {D}/good.aff", 0, "{R}{uC}{S}"},
        // The offline report lists what precedes the damage, names it, then fails.
        {"updater -affver {D}/cut.aff", 1, "{R}{uC}\n" + lost + "{F}"},
        {"updater -affver {D}/blk.aff", 1, "{R}\nAFF file damaged: block 2 header unreadable{F}"},
        {"updater -affver {D}/p1.aff", 1, "{R}{uC}\n" + p1 + "{F}"},
        // A bad part is refused before the port is even tried.
        {"updater {P} -update {D}/p4.aff", 1,
         "{B}CRC Error on part 1\nAFF file damaged: block 4 (type 5, FPGA NVCM1) part 1 CRC mismatch\n{F}"},
        {"updater {P} -update {D}/p0.aff -nf -v", 1,
         "{B}CRC Error on part 0\nAFF file damaged: block 0 (type 8, host uC) part 0 CRC mismatch\n{F}"},
        {"updater {D}/missing -update {D}/p1.aff", 1, "{B}" + p1 + "\n{F}"},
        // Every other damage is found once the port is open, before anything is sent.
        {"updater {P} -update {D}/blk.aff -nf", 1, "{C}AFF file damaged: block 2 header unreadable\n{F}"},
        {"updater {P} -update {D}/cut.aff", 1, "{C}" + lost + "\n{F}"},
        {"updater {P} -update {D}/hdr.aff", 1, "{C}{F}"},
        {"updater {P} -update {D}/empty.aff", 1, "{C}{F}"},
        {"updater {P} -update {D}/missing", 1, "{C}Couldn't open file: {D}/missing\n{F}"},
        {"updater {P} -v", 1, "{C}\n[   0% ] No op selected!\n{F}"},
        {"updater {P} -bogus", 1, "{C}Unknown parameter: -bogus\n{U}{F}"},
        {"updater {P} -readver -ub -f -nf -v -lock 1 -lock 0 -x", 1, "{C}Unknown parameter: -x\n{U}{F}"},
        {"updater {P} -update", 1, "{C}Missing file path!\n{U}{F}"},
        {"updater {P} -lock 2", 1, "{C}Unknown lock arg: 2, expected 0 or 1\n{U}{F}"},
        {"updater {P} -lock", 1, "{C}Unknown lock arg: , expected 0 or 1\n{U}{F}"},
        // CONFIG mode ignores what follows, and tries each rate until the device confirms.
        {"updater {P} -config -update missing.aff", 0,
         "{C}Baud: 115200{N}\nBaud: 921600\nPutting in CONFIG mode\n{S}", "", 2, tried},
        {"updater {P} -config", 1, "{C}Baud: 115200{N}\nBaud: 921600{N}\nBaud: 3000000{N}\n{F}", "", 0,
         tried + " 3000000 3000000 3000000 115200"},
        {"updater {P} -config", 1,
         "{C}Baud: 115200{N}AT+ERRO\nBaud: 921600{N}AT+ERRO\nBaud: 3000000{N}AT+ERRO\n{F}", "", 1,
         tried + " 3000000 3000000 3000000 115200"},
    };
    const std::regex space(" ");
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.args);
        const std::string line = expand(c.args);
        const std::vector<std::string> args(std::sregex_token_iterator(line.begin(), line.end(), space, -1),
                                            {});
        mode = c.mode;
        inConfig = false;
        peer.received.clear();
        peer.lines.clear();
        Child run(appMain, args);
        EXPECT_EQ(run.finish(&peer), c.status);
        EXPECT_EQ(run.out, expand(c.out));
        EXPECT_EQ(run.err.rfind(expand(c.err), 0), 0u) << run.err;
        std::string seen;
        for (const auto &[line, baud] : peer.lines)
            seen += " " + (line == kConfigCommand ? std::to_string(baud) : line);
        EXPECT_EQ(seen, c.tried);
        EXPECT_EQ(peer.received.size(), peer.lines.size() * kConfigCommand.size());
        EXPECT_EQ(peer.baud(), 115200u);
    }
}

// A first updater talks to a silent device; a second one on the same port is
// refused at once and leaves the first alone; Ctrl-C then ends the first with
// the colour reset, a word on where the device may be, and status 130.
TEST_F(AppRun, SecondUpdaterIsRefusedAndCtrlCEndsTheFirst)
{
    write("fw.aff", kGood);
    for (auto [option, kind] : {std::tuple{"-readver", APP_RUN_DIALOGUE}, {"-update", APP_RUN_UPDATE}})
    {
        SCOPED_TRACE(option);
        peer.received.clear();
        std::vector<std::string> args = {"updater", peer.link, option};
        if (kind == APP_RUN_UPDATE)
            args.push_back(dir.file("fw.aff"));
        Child first(appMain, args);
        ASSERT_TRUE(peer.waitFor(1, 20000)) << "the first updater never wrote";
        EXPECT_TRUE(lockedElsewhere(peer.link));

        Child second(appMain, {"updater", peer.link, "-readver"});
        EXPECT_EQ(second.finish(), 1);
        EXPECT_EQ(second.out, expand("{B}{O}{P}\n{F}"));
        EXPECT_NE(second.err.find(": in use"), std::string::npos) << second.err;
        EXPECT_EQ(peer.baud(), 115200u);

        first.interrupt();
        EXPECT_EQ(first.finish(&peer), APP_EXIT_INTERRUPTED);
        EXPECT_EQ(first.out.substr(first.out.size() - 4), "\x1b[0m") << first.out;
        EXPECT_NE(first.err.find(appInterruptMessage(kind)), std::string::npos) << first.err;
        EXPECT_FALSE(lockedElsewhere(peer.link)) << "the lock outlived the run";
    }
}

// ---- In this process ----

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
    EXPECT_EQ(readOne(), -1) << "an empty line";
    // ...and dropped with the port's pending input at a baud change.
    peer->send("XYZ");
    EXPECT_EQ(readUpTo(1), "X");
    cbChangeBaud(HOST_BAUD_DEFAULT, nullptr);
    EXPECT_EQ(readOne(), -1);
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
    for (auto trigger : {+[] { readOne(); }, +[] { cbSerialClose(nullptr); }, +[] { cbGetTime(nullptr); },
                         +[] { hostSerialDestroy(); }})
    {
        peer->received.clear();
        writeText("AT+LOCK=1\r\n");
        peer->serve(100);
        EXPECT_EQ(peer->received, "") << "written before any flush";
        trigger();
        ASSERT_TRUE(peer->waitFor(11, 2000)) << peer->received;
        EXPECT_EQ(peer->received, "AT+LOCK=1\r\n");
        // On a port opened afresh, a single byte goes out as well.
        hostSerialDestroy();
        ASSERT_EQ(hostSerialCreate(link.c_str()), 1);
        writeText("X");
        hostSerialFlushOutput();
        ASSERT_TRUE(peer->waitFor(12, 2000));
    }
}

// At each pause of the reconnection: a new pty appears behind the link at
// pause `comeBackAt`, held by another program from `lockAt` to `unlockAt`.
struct Reconnect
{
    bool duringRead;
    int comeBackAt, lockAt, unlockAt, pauses; // pauses: until the port is open again
    AppPort *test = nullptr;
    std::unique_ptr<HeldLock> other = nullptr;
    int seen = 0;
} *s_pPlan = nullptr;

TEST_F(AppPort, LostPortIsReopenedUnderItsLockAndReported)
{
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
    // The last comes back in another program's hands and is not taken from it.
    Reconnect cases[] = {{true, 3, 0, 0, 3}, {false, 1, 0, 0, 1}, {true, 2, 2, 5, 5}};
    for (Reconnect &c : cases)
    {
        SCOPED_TRACE(c.pauses);
        c.test = this;
        s_pPlan = &c;
        peer->vanish();
        CaptureStdout();
        testing::internal::CaptureStderr();
        if (c.duringRead)
        {
            EXPECT_EQ(readOne(), -1);
        }
        else
        {
            // The gathered byte meets the lost port when the engine next reads the clock.
            cbSerialWrite('B', nullptr);
            cbGetTime(nullptr);
        }
        EXPECT_EQ(
            testing::internal::GetCapturedStderr(),
            "\nupdater: " + link +
                ": no such device (is the adapter plugged in, is the name right?); waiting for it to come "
                "back, Ctrl-C stops the run\n");
        EXPECT_EQ(std::regex_replace(GetCapturedStdout(), std::regex("\\(.+\\)"), "(reason)"),
                  kRed + "\nConnection lost (reason), reconnecting..." + kReset + kGreen + "\nReconnected" +
                      kReset);
        EXPECT_EQ(c.seen, c.pauses);
        EXPECT_TRUE(lockedElsewhere(link)) << "the lock was not taken again";

        // Nothing waits on the new port; the byte in flight was lost, the next one goes out.
        CaptureStdout();
        EXPECT_EQ(readOne(), -1);
        EXPECT_EQ(GetCapturedStdout(), "");
        cbSerialWrite('C', nullptr);
        hostSerialFlushOutput();
        ASSERT_TRUE(peer->waitFor(1, 2000));
        EXPECT_EQ(peer->received, "C");
    }
    hostSerialDestroy();
    EXPECT_FALSE(lockedElsewhere(link));
}

// ---- The whole-container check ----

TEST(AffCheckContainer, FindsTheFirstDamageInFileOrder)
{
    using Verdict = std::tuple<int, int, uint32_t, uint32_t>; // result, block, its type, part
    const uint32_t all = AFF_STREAMED_TYPES, host = AFF_BLOCK_HOST_UC, uc = AFF_BLOCK_DEVICE_UC;
    const uint32_t nvcm = AFF_BLOCK_FPGA_NVCM1, bad = AFF_CHECK_BAD_PART_CRC, ok = AFF_CHECK_OK;
    const struct
    {
        std::vector<size_t> flips; // bytes changed
        size_t cut;                // bytes cut off the end
        uint32_t types;            // the blocks whose parts are checked
        Verdict verdict;
        uint16_t format = 3;
    } cases[] = {
        {{}, 0, all, {ok, 0, 0, 0}},
        {{at(0, 0, 0)}, 0, all, {bad, 0, host, 0}},
        {{at(2, 3, kPart - 1)}, 0, all, {bad, 2, uc, 3}},   // the last byte of a part
        {{at(4, 1, kPart)}, 0, all, {bad, 4, nvcm, 1}},     // a stored CRC
        {{at(0, 2, kPart + 3)}, 0, all, {bad, 0, host, 2}}, // its high half
        {{at(4, 0, 5), at(2, 1, 5)}, 0, all, {bad, 2, uc, 1}},
        // Blocks an update never sends are carried as they are: Wi-Fi RAM, a second of a type, a type not
        // asked.
        {{at(1, 0, 0)}, 0, all, {ok, 0, 0, 0}},
        {{at(3, 1, 0)}, 0, all, {ok, 0, 0, 0}},
        {{at(0, 0, 0)}, 0, AFF_TYPE_BIT(uc), {ok, 0, 0, 0}},
        {{at(2, 0, 0) - 43}, 0, all, {AFF_CHECK_BAD_BLOCK_HEADER, 2, 0, 0}},
        {{}, 1, all, {AFF_CHECK_BLOCK_OUTSIDE_FILE, 4, nvcm, 0}},
        // The version word; the check reports it in its own words, not the reader's message.
        {{2}, 0, all, {AFF_CHECK_BAD_HEADER, 0, 0, 0}},
        // Version 2 has no part CRCs: the bytes changed are data.
        {{testsupport::affImageBlockOffset(image(2), 0) + 50}, 0, all, {ok, 0, 0, 0}, 2},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(&c - cases);
        std::vector<uint8_t> file = flipped(c.flips, c.cut, c.format);
        affSetMemFile(file.data(), uint32_t(file.size()));
        _tAffCheckResult r;
        CaptureStdout();
        const int result = affCheckContainer(readAffFromMem, uint32_t(file.size()), c.types, &r);
        EXPECT_EQ(GetCapturedStdout(), "");
        EXPECT_EQ(Verdict(result, r.ubBlockIdx, r.ulBlockType, r.ulPartIdx), c.verdict);
        EXPECT_EQ(r.ubResult, result);
        affSetMemFile(nullptr, 0);
    }
}

} // namespace
