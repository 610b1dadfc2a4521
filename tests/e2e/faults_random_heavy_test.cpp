// Random loss and corruption of response packets at the highest rate tried
// (one response in ten lost, one in ten of the rest corrupted), with a fixed
// seed: the run either completes with the device holding exactly the container
// or fails cleanly at the resend limit. The outcome and the fault counts are
// printed and recorded as test properties.

#include "tests/e2e/faults_random_case.h"

namespace
{

INSTANTIATE_TEST_SUITE_P(Faults, FaultsRandom, ::testing::Values(RandomCase{"Rate10Seed1", "0.1", 1}),
                         [](const ::testing::TestParamInfo<RandomCase> &info)
                         { return std::string(info.param.name); });

} // namespace
