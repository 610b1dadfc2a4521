// The command line run from end to end in a child process: the texts it
// prints, its exit status, and what reaches the port (a scripted pty peer).

#include <gtest/gtest.h>

#include <serial.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <tuple>
#include <string>
#include <vector>

#include "aff/aff_container.h"
#include "app/front_end.h"
#include "tests/support/aff_image.h"
#include "tests/support/captured_run.h"
#include "tests/support/pty_peer.h"

using testsupport::CapturedRun;
using testsupport::PtyLine;
using testsupport::PtyPeer;
using testsupport::TempDir;

namespace
{

const std::string kBanner = "UPDATER  version: 10700000 (Aug  9 2024)\n";
const std::string kFailed = "\x1b[1;31m\n\n=== ERRORS OCCURED! ===\n\n\x1b[0m";
const std::string kSucceeded = "\x1b[1;32m\nOperation completed successfully\n\x1b[0m";
const std::string kConfigCommand = "AT+CONFIG=1\r\n";
constexpr int kRunTimeoutMs = 30000;

std::string usage(const std::string &prog)
{
    std::string text = "Usage: " + prog +
                       " PORT [options]\n"
                       "\t-readver\tReads bootloader and module versions, leaving it in lock state\n"
                       "\t-config\t\tPuts device in CONFIG mode\n"
                       "\t-ub\t\tPuts device in BOOT mode\n"
                       "\t-update PATH\tFlashes bootloader using .aff file, leaving it in lock state\n"
                       "\t-lock 0|1\tOnly sets bootloader lock state\n"
                       "Additional options:\n"
                       "\t-nf\tDon't update components if version code in AFF match with current\n"
                       "\t-v\tVerbose output\n"
                       "Alternative usage: " +
                       prog + " -affver PATH\tReads from .aff file modules versions\n";
    const std::vector<serial::PortInfo> ports = serial::list_ports();
    text += "Available ports: " + std::to_string(ports.size()) + "\n";
    for (const serial::PortInfo &port : ports)
        text += "\t" + port.port + "\t(id: " + port.hardware_id + ", desc: " + port.description + ")\n";
    return text;
}

CapturedRun runApp(std::vector<std::string> args)
{
    return testsupport::runCaptured(
        [&args]
        {
            std::vector<char *> argv;
            for (std::string &arg : args)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
            return appMain(static_cast<int>(args.size()), argv.data());
        },
        kRunTimeoutMs);
}

// A version-3 container of whole parts, each followed by its CRC.
testsupport::AffImage twoBlocks()
{
    testsupport::AffImage img;
    img.productId = 11;
    img.hardwareId = 22;
    for (auto [type, parts, code] :
         {std::tuple{AFF_BLOCK_HOST_UC, 2, 10700000}, {AFF_BLOCK_DEVICE_UC, 3, 10203004}})
    {
        testsupport::AffImageBlock b;
        b.type = type;
        b.data = testsupport::affImagePattern(64 * parts, uint8_t(type));
        b.partSize = 64;
        b.version = {uint32_t(code), "Aug  9 2024"};
        img.blocks.push_back(b);
    }
    return img;
}
const size_t kBlock1 = testsupport::affImageBlockOffset(twoBlocks(), 1);

std::string writeFile(const TempDir &dir, const std::string &name, const std::vector<uint8_t> &bytes)
{
    const std::string path = dir.file(name);
    std::ofstream(path, std::ios::binary) << std::string(bytes.begin(), bytes.end());
    return path;
}

// ---- Runs that never reach a port -------------------------------------------

TEST(AppCommandLine, TooFewArgumentsPrintUsageWithoutVerdict)
{
    const std::vector<std::vector<std::string>> cases = {
        {"updater"},
        {"updater", "/dev/null"},
        {"./prog", "-affver"},
    };
    for (const auto &args : cases)
    {
        SCOPED_TRACE(args.back());
        const CapturedRun run = runApp(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.output, kBanner + usage(args[0]));
    }
}

TEST(AppCommandLine, PortThatCannotOpenEndsTheRunBeforeOptionsAreRead)
{
    TempDir dir;
    const std::string missing = dir.file("no-such-tty");
    const std::vector<std::vector<std::string>> cases = {
        {"updater", missing, "-bogus"},
        // An empty name creates no port at all; it must not be taken for an open one.
        {"updater", "", "-readver"},
    };
    for (const auto &args : cases)
    {
        SCOPED_TRACE(args[1] + " " + args[2]);
        const CapturedRun run = runApp(args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.output, kBanner + "Couldn't open serial " + args[1] + "\n" + kFailed);
    }
}

TEST(AppAffVersions, UnreadableFilesFail)
{
    TempDir dir;
    const std::vector<uint8_t> good = twoBlocks().build();
    std::vector<uint8_t> badHeader = good;
    badHeader[90] ^= 0x01; // inside the CRC-protected header fields

    struct Case
    {
        const char *name;
        std::string path;
        std::string message;
    };
    const std::string missing = dir.file("missing.aff");
    const std::vector<Case> cases = {
        {"missing", missing, "Couldn't open file: " + missing + "\n"},
        {"empty", writeFile(dir, "empty.aff", {}), ""},
        {"damaged header", writeFile(dir, "bad.aff", badHeader), ""},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        const CapturedRun run = runApp({"updater", "-affver", c.path});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.output, kBanner + c.message + kFailed);
    }
}

TEST(AppAffVersions, ListsWhatItCanRead)
{
    TempDir dir;
    const std::vector<uint8_t> good = twoBlocks().build();
    std::vector<uint8_t> secondBroken = good;
    secondBroken[kBlock1 + 5] ^= 0x40; // block 1's size field: its header CRC fails

    const std::string identity = "\n\nProduct/hardware ID :\nAFF: 11 / 22\nDev ID : ";
    const std::string hostLine = "\n\tHOST: 1.7.0.0 (Aug  9 2024)";
    const std::string ucLine = "\n\t  uC: 1.2.3.4 (Aug  9 2024)";

    const CapturedRun whole = runApp({"updater", "-affver", writeFile(dir, "good.aff", good)});
    EXPECT_EQ(whole.status, 0);
    EXPECT_EQ(whole.output.rfind(kBanner + identity, 0), 0u) << whole.output;
    EXPECT_NE(whole.output.find(hostLine + ucLine + kSucceeded), std::string::npos) << whole.output;

    // The offline report keeps listing what precedes a damaged block, then fails.
    const CapturedRun partial = runApp({"updater", "-affver", writeFile(dir, "partial.aff", secondBroken)});
    EXPECT_EQ(partial.status, 1);
    EXPECT_NE(partial.output.find(hostLine + "\nAFF file damaged: block 1 header unreadable" + kFailed),
              std::string::npos)
        << partial.output;
    EXPECT_EQ(partial.output.find("uC:"), std::string::npos) << partial.output;
}

// ---- Runs on a scripted pty -------------------------------------------------

class AppPortRun : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_FALSE(dir.path().empty()); }

    void startPeer(PtyPeer::Script script = {})
    {
        peer.reset();
        peer = std::make_unique<PtyPeer>(dir.file("port"), std::move(script));
        ASSERT_TRUE(peer->ok());
    }

    CapturedRun runOnPort(std::vector<std::string> options)
    {
        options.insert(options.begin(), {"updater", peer->path()});
        return runApp(options);
    }

    std::string connected() const { return kBanner + "Connected to port " + peer->path() + "\n"; }

    TempDir dir;
    std::unique_ptr<PtyPeer> peer;
};

TEST_F(AppPortRun, ArgumentErrorsGiveTheirMessageUsageAndFailure)
{
    startPeer();
    struct Case
    {
        std::vector<std::string> options;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"-bogus"}, "Unknown parameter: -bogus\n"},
        {{"-update"}, "Missing file path!\n"},
        {{"-lock", "2"}, "Unknown lock arg: 2, expected 0 or 1\n"},
        {{"-v", "-lock", "-v"}, "Unknown lock arg: -v, expected 0 or 1\n"},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.message);
        const CapturedRun run = runOnPort(c.options);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.output, connected() + c.message + usage("updater") + kFailed);
    }
    EXPECT_EQ(peer->received(), "");
}

TEST_F(AppPortRun, NoOperationIsRefusedByTheEngine)
{
    startPeer();
    const CapturedRun run = runOnPort({"-v"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, connected() + "\n[   0% ] No op selected!\n" + kFailed);
    EXPECT_EQ(peer->received(), "");
}

TEST_F(AppPortRun, DamagedContainerFailsBeforeAnythingIsSent)
{
    startPeer();
    const std::vector<uint8_t> good = twoBlocks().build();
    std::vector<uint8_t> badBlockHeader = good;
    badBlockHeader[kBlock1 + 20] ^= 0x01; // block 1's version code
    const std::vector<uint8_t> cutData(good.begin(), good.end() - 10);
    std::vector<uint8_t> badHeader = good;
    badHeader[100] ^= 0x80;

    struct Case
    {
        const char *name;
        std::string path;
        std::string message;
    };
    const std::string missing = dir.file("missing.aff");
    const std::vector<Case> cases = {
        {"block header", writeFile(dir, "blk.aff", badBlockHeader),
         "AFF file damaged: block 1 header unreadable\n"},
        {"cut data", writeFile(dir, "cut.aff", cutData),
         "AFF file damaged: block 1 data past the end of the file\n"},
        {"file header", writeFile(dir, "hdr.aff", badHeader), ""},
        {"empty", writeFile(dir, "empty.aff", {}), ""},
        {"missing", missing, "Couldn't open file: " + missing + "\n"},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        const CapturedRun run = runOnPort({"-update", c.path, "-nf"});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.output, connected() + c.message + kFailed);
    }
    EXPECT_EQ(peer->received(), "");
}

// A device that switches to CONFIG mode only when the command reaches it at
// 921600 baud, and from then on confirms the command at 115200.
PtyPeer::Script deviceListeningAt921600()
{
    auto inConfig = std::make_shared<std::atomic<bool>>(false);
    return [inConfig](const std::string &line, uint32_t baud) -> std::string
    {
        if (line != kConfigCommand)
            return "";
        if (baud == 921600)
            *inConfig = true;
        return (baud == 115200 && *inConfig) ? "AT+OK\r\n" : "";
    };
}

TEST_F(AppPortRun, ConfigSucceedsAtTheSecondRateAndIgnoresLaterOptions)
{
    startPeer(deviceListeningAt921600());
    const CapturedRun run = runOnPort({"-config", "-update", "missing.aff"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, connected() +
                              "Baud: 115200\nPutting in CONFIG mode\nWrong response:\n"
                              "Baud: 921600\nPutting in CONFIG mode\n" +
                              kSucceeded);

    std::vector<std::string> seen;
    for (const PtyLine &line : peer->lines())
    {
        EXPECT_EQ(line.text, kConfigCommand);
        seen.push_back(std::to_string(line.baud));
    }
    const std::vector<std::string> expected = {"115200", "115200", "115200", "115200",
                                               "921600", "921600", "921600", "115200"};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(peer->currentBaud(), 115200u);
}

TEST_F(AppPortRun, ConfigFailsWhenNoRateIsConfirmed)
{
    struct Case
    {
        const char *name;
        PtyPeer::Script script;
        std::string reply; // what the program reads back each time
    };
    const std::vector<Case> cases = {
        {"silent", {}, ""},
        {"refusing", [](const std::string &, uint32_t) { return std::string("AT+ERROR\r\n"); }, "AT+ERRO"},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        startPeer(c.script);
        const CapturedRun run = runOnPort({"-config"});
        EXPECT_EQ(run.status, 1);
        std::string expected = connected();
        for (const char *baud : {"115200", "921600", "3000000"})
        {
            expected +=
                std::string("Baud: ") + baud + "\nPutting in CONFIG mode\nWrong response:" + c.reply + "\n";
        }
        EXPECT_EQ(run.output, expected + kFailed);
        EXPECT_EQ(peer->lines().size(), 12u);
        EXPECT_EQ(peer->currentBaud(), 115200u);
    }
}

} // namespace
