#ifndef TESTS_E2E_FAULTS_RANDOM_CASE_H
#define TESTS_E2E_FAULTS_RANDOM_CASE_H

// The random-fault run shared by the random-fault test programs (split in two so
// that ctest runs the long ones side by side): random loss and corruption of
// response packets with a fixed seed, and a run that either completes with the
// device holding exactly the container or fails cleanly at the resend limit.

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

} // namespace

#endif
