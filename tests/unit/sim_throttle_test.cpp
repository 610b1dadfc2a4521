// The emulator's throttle: wire time at an explicit rate, byte times below a
// microsecond, and bytes still on the wire when the host closes its port.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "protocol/commands.h"
#include "sim/sim_options.h"
#include "tests/support/devsim_runner.h"
#include "tests/unit/sim_test_link.h"

using namespace simtest;
using namespace devsim;
using testsupport::DevsimRunner;

namespace
{

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(SimThrottleOptions, RateImpliesThrottleAndMustBePositive)
{
    std::vector<const char *> args = {"--throttle-baud", "3000000", "/tmp/ttyDEV0"};
    SimConfig config;
    std::string error;
    ASSERT_EQ(parseOptions(static_cast<int>(args.size()), args.data(), &config, &error), ParseResult::Run);
    EXPECT_TRUE(config.faults.throttle);
    EXPECT_EQ(config.faults.throttleBaud, 3000000u);

    for (const char *bad : {"0", "fast", "-1", ""})
    {
        std::vector<const char *> badArgs = {"--throttle-baud", bad, "/tmp/ttyDEV0"};
        SimConfig unused;
        EXPECT_EQ(parseOptions(static_cast<int>(badArgs.size()), badArgs.data(), &unused, &error),
                  ParseResult::Error)
            << bad;
    }
}

// Milliseconds from writing `parts` part requests of partBytes each, back to back,
// until the last answer has arrived (the quiet time after it not counted).
long long timeParts(const std::vector<std::string> &args, int parts, size_t partBytes)
{
    DevsimRunner dev;
    EXPECT_TRUE(dev.start(args)) << dev.stderrText();
    PtyClient host;
    EXPECT_TRUE(host.open(dev.port()));
    EXPECT_EQ(host.exchange("AT+LOCK=1\r\n").text(), "AT+OK\n");
    Traffic begin = host.exchange(frame(UPDATER_CMD_UC_PROGRAM_BEGIN, u32(parts * partBytes)));
    EXPECT_EQ(begin.frames.size(), 1u);
    Bytes requests;
    for (int i = 0; i < parts; i++)
    {
        Bytes part =
            frame(UPDATER_CMD_UC_PROGRAM_DATA,
                  cat({u32(static_cast<uint32_t>(i)), Bytes(partBytes, static_cast<uint8_t>(0x11 + i))}));
        requests.insert(requests.end(), part.begin(), part.end());
    }
    const int quietMs = 100;
    auto start = Clock::now();
    host.write(requests);
    Traffic t = split(host.read(quietMs, 10000, 5000));
    long long ms = msSince(start) - quietMs;
    EXPECT_EQ(t.frames.size(), static_cast<size_t>(parts));
    return ms;
}

TEST(SimThrottle, ExplicitRateWinsOverThePortRate)
{
    // The port stays at 115200, where 8000 bytes take about 0.7 s.
    // At 38400 they take about 2.1 s; at 921600 under 0.1 s.
    EXPECT_GE(timeParts({"--boot", "--throttle-baud", "38400"}, 1, 8000), 2000);
    long long fast = timeParts({"--boot", "--throttle-baud", "921600"}, 1, 8000);
    EXPECT_GE(fast, 80);
    EXPECT_LT(fast, 650);
}

TEST(SimThrottle, ByteTimesBelowAMicrosecondStepAddUp)
{
    // At 6 Mbaud a byte takes 1.67 us: 64000 bytes need at least 106 ms, even
    // though a whole-microsecond byte time would let them through in 64 ms.
    EXPECT_GE(timeParts({"--boot", "--throttle-baud", "6000000"}, 4, 16000), 100);
}

TEST(SimThrottle, ClosingThePortStillDeliversWhatWasWritten)
{
    // The host writes the reboot command and closes its port, as the updater
    // does; at 9600 baud the 22 bytes take 23 ms, so the device has heard only
    // the start of the line when the port closes.
    DevsimRunner dev;
    ASSERT_TRUE(dev.start({"--throttle-baud", "9600"})) << dev.stderrText();
    PtyClient host;
    ASSERT_TRUE(host.open(dev.port()));
    ASSERT_TRUE(host.write(std::string("AT+REBOOT_BOOTLOADER\r\n")));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    host.close();
    std::this_thread::sleep_for(std::chrono::milliseconds(600)); // the restart takes 300 ms
    ASSERT_TRUE(host.open(dev.port()));
    EXPECT_EQ(host.exchange("AT+BOOT?\r\n").text(), "AT+BOOT=1\n");
    EXPECT_EQ(dev.stop(), 0);
    EXPECT_EQ(dev.summaryValue("text_commands.AT+REBOOT_BOOTLOADER"), 1);
}

} // namespace
