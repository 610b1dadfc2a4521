// Random loss and corruption of response packets at the highest rate tried
// (one response in ten lost, one in ten of the rest corrupted), with a fixed
// seed: the run either completes with the device holding exactly the container
// or fails cleanly at the resend limit. The outcome and the fault counts are
// printed and recorded as test properties.

#include <gtest/gtest.h>

#include <string>

#include "tests/support/fault_run.h"

namespace
{

struct RandomCase
{
    const char *name;
    const char *rate;
    int seed;
};

class FaultsRandom : public ::testing::TestWithParam<RandomCase>
{
};

TEST_P(FaultsRandom, EachRunSucceedsExactlyOrFailsCleanly)
{
    testsupport::FaultRun run;
    std::string verdict = testsupport::runRandomFaults(GetParam().rate, GetParam().seed, &run);
    EXPECT_TRUE(verdict == "success" || verdict == "failure") << verdict << "\n" << run.describe();
    long long lost = run.summaryValue("faults.random_lost");
    long long corrupted = run.summaryValue("faults.random_corrupted");
    RecordProperty("outcome", verdict);
    RecordProperty("lost", std::to_string(lost));
    RecordProperty("corrupted", std::to_string(corrupted));
    // Every fault met is answered by exactly one resend.
    if (verdict == "success")
    {
        EXPECT_EQ(size_t(lost + corrupted), testsupport::countLines(run.updater.out, "Resending last packet"))
            << run.describe();
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultsRandom, ::testing::Values(RandomCase{"Rate10Seed1", "0.1", 1}),
                         [](const ::testing::TestParamInfo<RandomCase> &info)
                         { return std::string(info.param.name); });

} // namespace
