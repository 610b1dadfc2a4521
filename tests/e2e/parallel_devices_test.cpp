// A production line: four devices updated at the same time, each by its own
// updater process against its own emulator, on a two-core machine. Every run
// completes and every device holds exactly its own container.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fault_run.h"

namespace
{

constexpr size_t kDevices = 4;
// One update takes about 12 s, most of it prescribed pauses; four side by side
// must not take much longer than one, busy waits and all.
constexpr int kParallelBoundMs = 90000;

TEST(ParallelDevices, FourUpdatesSideBySideAllComplete)
{
    std::vector<testsupport::FaultRun> runs(kDevices);
    std::vector<std::thread> threads;
    auto start = std::chrono::steady_clock::now();
    for (size_t i = 0; i < kDevices; i++)
    {
        // Every device gets a container of its own shape, so that a mix-up
        // between the lines would show in the verification.
        threads.emplace_back(
            [i, &runs]
            {
                testsupport::FaultContainerShape shape;
                shape.hostParts += i;
                shape.deviceParts += 2 * i;
                shape.nvcm1Parts += i;
                testsupport::DevsimRunner dev;
                std::string aff = testsupport::writeFaultContainer(dev.dir(), shape);
                runs[i] = testsupport::runUpdate(dev, aff, {"--throttle"});
            });
    }
    for (std::thread &t : threads)
        t.join();
    int wallMs =
        int(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                .count());

    for (size_t i = 0; i < kDevices; i++)
    {
        EXPECT_TRUE(runs[i].succeededExactly()) << "device " << i << "\n" << runs[i].describe();
    }
    EXPECT_LT(wallMs, kParallelBoundMs);
    RecordProperty("wall_ms", std::to_string(wallMs));
    printf("four parallel updates: %d ms wall, longest run %d ms\n", wallMs,
           std::max({runs[0].elapsedMs, runs[1].elapsedMs, runs[2].elapsedMs, runs[3].elapsedMs}));
}

} // namespace
