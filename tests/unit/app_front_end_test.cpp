// The whole program run in a forked child: what it prints on standard output
// and error, its exit status, and what reaches the port (a scripted pty peer).

#include <gtest/gtest.h>

#include <serial.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "aff/aff_container.h"
#include "app/front_end.h"
#include "app/interrupt.h"
#include "tests/support/aff_image.h"
#include "tests/support/pty_peer.h"

using testsupport::Child;
using testsupport::HeldLock;
using testsupport::lockedElsewhere;
using testsupport::PtyPeer;
using testsupport::TempDir;

namespace
{

const std::string kBanner = "UPDATER  version: 10700000 (Aug  9 2024)\n";
const std::string kFailed = "\x1b[1;31m\n\n=== ERRORS OCCURED! ===\n\n\x1b[0m";
const std::string kSucceeded = "\x1b[1;32m\nOperation completed successfully\n\x1b[0m";
const std::string kConfigCommand = "AT+CONFIG=1\r\n";
constexpr uint32_t kPart = 64;

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

// Host uC (2 parts), device uC (3 parts), NVCM1 (4 parts), version 3, each part followed by its CRC.
testsupport::AffImage threeBlocks()
{
    testsupport::AffImage img;
    img.productId = 11;
    img.hardwareId = 22;
    for (auto [type, parts, code] : {std::tuple{AFF_BLOCK_HOST_UC, 2, 10700000},
                                     {AFF_BLOCK_DEVICE_UC, 3, 10203004},
                                     {AFF_BLOCK_FPGA_NVCM1, 4, 1}})
    {
        testsupport::AffImageBlock b;
        b.type = type;
        b.data = testsupport::affImagePattern(kPart * parts, uint8_t(type));
        b.partSize = kPart;
        b.version = {uint32_t(code), "Aug  9 2024"};
        img.blocks.push_back(b);
    }
    return img;
}
const std::vector<uint8_t> kGood = threeBlocks().build();

size_t blockAt(size_t idx)
{
    return testsupport::affImageBlockOffset(threeBlocks(), idx);
}
size_t partByte(size_t block, uint32_t part)
{
    return blockAt(block) + AFF_BLOCK_HEADER_SIZE_V3 + part * (kPart + AFF_PART_CRC_SIZE) + 7;
}
std::vector<uint8_t> flipped(size_t at)
{
    std::vector<uint8_t> bytes = kGood;
    bytes[at] ^= 0x04;
    return bytes;
}

class AppRun : public ::testing::Test
{
  protected:
    std::string write(const std::string &name, const std::vector<uint8_t> &bytes)
    {
        std::ofstream(dir.file(name), std::ios::binary) << std::string(bytes.begin(), bytes.end());
        return dir.file(name);
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
    const std::string port = peer.link, missing = dir.file("missing"), plain = write("plain", {});
    const std::string forbidden = write("forbidden", {}),
                      cut = write("cut.aff", {kGood.begin(), kGood.end() - 10});
    chmod(forbidden.c_str(), 0);
    const std::string connected = kBanner + "Connected to port " + port + "\n";
    const std::string report =
        kBanner + "\n\nProduct/hardware ID :\nAFF: 11 / 22\nDev ID : 4294967295 (unknown)";
    const std::string host = "\n\tHOST: 1.7.0.0 (Aug  9 2024)", uc = "\n\t  uC: 1.2.3.4 (Aug  9 2024)";
    const std::string config = "Putting in CONFIG mode\nWrong response:";
    const std::string tried = " 115200 115200 115200 115200 921600 921600 921600 115200";
    const std::string partCrc =
        "CRC Error on part 1\nAFF file damaged: block 1 (type 7, device uC) part 1 CRC mismatch";
    std::vector<uint8_t> badHeader = kGood, badBlock = kGood;
    badHeader[100] ^= 0x80;            // inside the CRC-protected header fields
    badBlock[blockAt(1) + 20] ^= 0x01; // block 1's version code
    struct Case
    {
        std::vector<std::string> args;
        int status;
        std::string out, err; // err: the start of standard error
        int mode = 0;
        std::string tried = ""; // the baud rate of each CONFIG command the device saw
        bool asNobody = false;  // root may open anything: the run drops to an ordinary user
    };
    const std::string openFailed = "Couldn't open serial ", cannot = "updater: cannot open ";
    const std::vector<Case> cases = {
        {{"updater"}, 1, kBanner + usage("updater"), ""},
        {{"updater", "/dev/null"}, 1, kBanner + usage("updater"), ""},
        {{"./prog", "-affver"}, 1, kBanner + usage("./prog"), ""},
        {{"updater", missing, "-bogus"},
         1,
         kBanner + openFailed + missing + "\n" + kFailed,
         cannot + missing + ": no such device"},
        // An empty name creates no port at all; it must not be taken for an open one.
        {{"updater", "", "-readver"}, 1, kBanner + openFailed + "\n" + kFailed, cannot + ": no such device"},
        {{"updater", plain, "-readver"},
         1,
         kBanner + openFailed + plain + "\n" + kFailed,
         cannot + plain + ": not a terminal"},
        {{"updater", dir.path, "-readver"},
         1,
         kBanner + openFailed + dir.path + "\n" + kFailed,
         cannot + dir.path + ": not a terminal"},
        {{"updater", forbidden, "-readver"},
         1,
         kBanner + openFailed + forbidden + "\n" + kFailed,
         cannot + forbidden + ": permission denied (serial ports belong to the group dialout",
         0,
         "",
         true},
        {{"updater", busy.link, "-readver"},
         1,
         kBanner + openFailed + busy.link + "\n" + kFailed,
         cannot + busy.link + ": in use"},
        {{"updater", "-affver", missing}, 1, kBanner + "Couldn't open file: " + missing + "\n" + kFailed, ""},
        {{"updater", "-affver", write("empty.aff", {})}, 1, kBanner + kFailed, ""},
        {{"updater", "-affver", write("hdr.aff", badHeader)}, 1, kBanner + kFailed, ""},
        {{"updater", "-affver", write("good.aff", kGood)}, 0, report + host + uc + kSucceeded, ""},
        // The offline report lists what precedes the damage, names it, then fails.
        {{"updater", "-affver", cut},
         1,
         report + host + uc + "\nAFF file damaged: block 2 data past the end of the file" + kFailed,
         ""},
        {{"updater", "-affver", write("blk.aff", badBlock)},
         1,
         report + host + "\nAFF file damaged: block 1 header unreadable" + kFailed,
         ""},
        {{"updater", "-affver", write("part.aff", flipped(partByte(1, 1)))},
         1,
         report + host + uc + "\n" + partCrc + kFailed,
         ""},
        // A bad part is refused before the port is even tried.
        {{"updater", port, "-update", write("p3.aff", flipped(partByte(2, 3)))},
         1,
         kBanner +
             "CRC Error on part 3\nAFF file damaged: block 2 (type 5, FPGA NVCM1) part 3 CRC mismatch\n" +
             kFailed,
         ""},
        {{"updater", port, "-update", write("p0.aff", flipped(partByte(0, 0))), "-nf", "-v"},
         1,
         kBanner + "CRC Error on part 0\nAFF file damaged: block 0 (type 8, host uC) part 0 CRC mismatch\n" +
             kFailed,
         ""},
        {{"updater", missing, "-update", dir.file("part.aff")}, 1, kBanner + partCrc + "\n" + kFailed, ""},
        // Every other damage is found once the port is open, before anything is sent.
        {{"updater", port, "-update", dir.file("blk.aff"), "-nf"},
         1,
         connected + "AFF file damaged: block 1 header unreadable\n" + kFailed,
         ""},
        {{"updater", port, "-update", cut},
         1,
         connected + "AFF file damaged: block 2 data past the end of the file\n" + kFailed,
         ""},
        {{"updater", port, "-update", dir.file("hdr.aff")}, 1, connected + kFailed, ""},
        {{"updater", port, "-update", dir.file("empty.aff")}, 1, connected + kFailed, ""},
        {{"updater", port, "-update", missing},
         1,
         connected + "Couldn't open file: " + missing + "\n" + kFailed,
         ""},
        {{"updater", port, "-v"}, 1, connected + "\n[   0% ] No op selected!\n" + kFailed, ""},
        {{"updater", port, "-bogus"},
         1,
         connected + "Unknown parameter: -bogus\n" + usage("updater") + kFailed,
         ""},
        {{"updater", port, "-readver", "-ub", "-f", "-nf", "-v", "-lock", "1", "-lock", "0", "-x"},
         1,
         connected + "Unknown parameter: -x\n" + usage("updater") + kFailed,
         ""},
        {{"updater", port, "-update"},
         1,
         connected + "Missing file path!\n" + usage("updater") + kFailed,
         ""},
        {{"updater", port, "-lock", "2"},
         1,
         connected + "Unknown lock arg: 2, expected 0 or 1\n" + usage("updater") + kFailed,
         ""},
        {{"updater", port, "-v", "-lock", "-v"},
         1,
         connected + "Unknown lock arg: -v, expected 0 or 1\n" + usage("updater") + kFailed,
         ""},
        {{"updater", port, "-lock"},
         1,
         connected + "Unknown lock arg: , expected 0 or 1\n" + usage("updater") + kFailed,
         ""},
        // CONFIG mode ignores what follows, and tries each rate until the device confirms.
        {{"updater", port, "-config", "-update", "missing.aff"},
         0,
         connected + "Baud: 115200\n" + config + "\nBaud: 921600\nPutting in CONFIG mode\n" + kSucceeded,
         "",
         2,
         tried},
        {{"updater", port, "-config"},
         1,
         connected + "Baud: 115200\n" + config + "\nBaud: 921600\n" + config + "\nBaud: 3000000\n" + config +
             "\n" + kFailed,
         "",
         0,
         tried + " 3000000 3000000 3000000 115200"},
        {{"updater", port, "-config"},
         1,
         connected + "Baud: 115200\n" + config + "AT+ERRO\nBaud: 921600\n" + config +
             "AT+ERRO\nBaud: 3000000\n" + config + "AT+ERRO\n" + kFailed,
         "",
         1,
         tried + " 3000000 3000000 3000000 115200"},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.args.size() > 2 ? c.args[1] + " " + c.args[2] : c.args.back());
        mode = c.mode;
        inConfig = false;
        peer.received.clear();
        peer.lines.clear();
        Child run(appMain, c.args,
                  [&c]
                  {
                      if (c.asNobody && (setgid(65534) != 0 || setuid(65534) != 0))
                          _exit(99);
                  });
        EXPECT_EQ(run.finish(&peer), c.status);
        EXPECT_EQ(run.out, c.out);
        EXPECT_EQ(run.err.rfind(c.err, 0), 0u) << run.err;
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
    const std::string aff = write("fw.aff", kGood);
    for (auto [option, kind] : {std::tuple{"-readver", APP_RUN_DIALOGUE}, {"-update", APP_RUN_UPDATE}})
    {
        SCOPED_TRACE(option);
        peer.received.clear();
        std::vector<std::string> args = {"updater", peer.link, option};
        if (kind == APP_RUN_UPDATE)
            args.push_back(aff);
        Child first(appMain, args);
        ASSERT_TRUE(peer.waitFor(1, 20000)) << "the first updater never wrote";
        EXPECT_TRUE(lockedElsewhere(peer.link));

        Child second(appMain, {"updater", peer.link, "-readver"});
        EXPECT_EQ(second.finish(), 1);
        EXPECT_EQ(second.out, kBanner + "Couldn't open serial " + peer.link + "\n" + kFailed);
        EXPECT_NE(second.err.find(": in use"), std::string::npos) << second.err;
        EXPECT_EQ(peer.baud(), 115200u);

        first.interrupt();
        EXPECT_EQ(first.finish(&peer), APP_EXIT_INTERRUPTED);
        EXPECT_EQ(first.out.substr(first.out.size() - 4), "\x1b[0m") << first.out;
        EXPECT_NE(first.err.find(appInterruptMessage(kind)), std::string::npos) << first.err;
        EXPECT_FALSE(lockedElsewhere(peer.link)) << "the lock outlived the run";
    }
}

} // namespace
