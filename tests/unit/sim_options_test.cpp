// The emulator's command line: values reach the settings they name.

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

#include "sim/sim_options.h"

using namespace devsim;

namespace
{

// Parses the words of a command line (no word holds a space).
ParseResult parse(const std::string &line, SimConfig *pConfig, std::string *pError)
{
    std::istringstream in(line);
    std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
    std::vector<const char *> args;
    for (const std::string &w : words)
        args.push_back(w.c_str());
    return parseOptions(static_cast<int>(args.size()), args.data(), pConfig, pError);
}

TEST(SimOptions, ValuesReachTheirSettings)
{
    SimConfig c;
    std::string error;
    ASSERT_EQ(
        parse("--state /s --container=/fw.aff --no-host --boot --app-baud 921600 --set-version wifi=0x10 "
              "--set-version fpga=10705 --lose-response 3 --lose-response 9 --corrupt-response 4 "
              "--status 5:0x42 --late-response 6:750 --at-error 2:AT+LOCK=1 --disconnect-at-part 7:2500 "
              "--silent-after 0 "
              "--random-faults 0.25 --seed 99 --throttle -v --summary /sum.json /tmp/ttyDEV0",
              &c, &error),
        ParseResult::Run)
        << error;
    EXPECT_EQ(c.linkPath, "/tmp/ttyDEV0");
    EXPECT_EQ(c.stateDir, "/s");
    EXPECT_EQ(c.containerPath, "/fw.aff");
    EXPECT_TRUE(c.noHost && c.startInBoot && c.verbose && c.faults.throttle);
    EXPECT_EQ(c.appBaud, 921600u);
    ASSERT_EQ(c.versions.size(), 2u);
    EXPECT_EQ(c.versions[0], std::make_pair(VersionSlot::Wifi, 16u));
    EXPECT_EQ(c.versions[1], std::make_pair(VersionSlot::Fpga, 10705u));
    EXPECT_EQ(c.faults.loseResponse, (std::vector<uint32_t>{3, 9}));
    EXPECT_EQ(c.faults.corruptResponse, (std::vector<uint32_t>{4}));
    ASSERT_EQ(c.faults.statusAnswer.size(), 1u);
    EXPECT_EQ(c.faults.statusAnswer[0], std::make_pair(5u, 0x42u));
    EXPECT_EQ(c.faults.lateAnswer, (std::vector<std::pair<uint32_t, uint32_t>>{{6, 750}}));
    EXPECT_EQ(c.faults.atErrorCount, 2u);
    EXPECT_EQ(c.faults.atErrorText, "AT+LOCK=1");
    EXPECT_EQ(c.faults.disconnectPart, 7u);
    EXPECT_EQ(c.faults.disconnectMs, 2500u);
    EXPECT_EQ(c.faults.silentAfter, 0u);
    EXPECT_DOUBLE_EQ(c.faults.randomRate, 0.25);
    EXPECT_EQ(c.faults.seed, 99u);
    EXPECT_EQ(c.summaryPath, "/sum.json");
}

TEST(SimOptions, NumbersMustBeWholeAndFit)
{
    const char *bad[] = {"", "-1", "+3", " 3", "3x", "0x", "4294967296", "1e3"};
    for (const char *text : bad)
    {
        uint32_t value = 0;
        EXPECT_FALSE(parseU32(text, &value)) << text;
    }
    uint32_t value = 0;
    EXPECT_TRUE(parseU32("4294967295", &value));
    EXPECT_EQ(value, 4294967295u);
    EXPECT_TRUE(parseU32("0xFFFF", &value));
    EXPECT_EQ(value, 0xFFFFu);

    SimConfig c;
    std::string error;
    EXPECT_EQ(parse("--at-error 2: /t", &c, &error), ParseResult::Error);
    EXPECT_EQ(parse("--disconnect-at-part 0:100 /t", &c, &error), ParseResult::Error);
    EXPECT_EQ(parse("--help --bogus", &c, &error), ParseResult::Help);
}

} // namespace
