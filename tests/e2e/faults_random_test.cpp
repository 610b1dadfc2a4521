// Random loss and corruption of response packets with fixed seeds: every run
// either completes with the device holding exactly the container or fails
// cleanly at the resend limit. The outcome and the fault counts of each run
// are printed and recorded as test properties.

#include "tests/e2e/faults_random_case.h"

namespace
{

INSTANTIATE_TEST_SUITE_P(Faults, FaultsRandom,
                         ::testing::Values(RandomCase{"Rate2Seed1", "0.02", 1},
                                           RandomCase{"Rate2Seed2", "0.02", 2},
                                           RandomCase{"Rate5Seed1", "0.05", 1}),
                         [](const ::testing::TestParamInfo<RandomCase> &info)
                         { return std::string(info.param.name); });

} // namespace
