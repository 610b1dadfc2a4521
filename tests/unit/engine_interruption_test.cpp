// One small full update interrupted at every request in turn, in two ways: the
// link is lost while the answer is on the wire, or the run is abandoned right
// after the device carried the request out (and the update is run again, as an
// operator would). Every interruption must end in a complete update with exact
// images, or in a clean failure after which a second run completes exactly;
// never in a success with other data and never in a hang.

#include <gtest/gtest.h>

#include <cstdio>
#include <numeric>

#include "tests/support/sim_link.h"
#include "tests/support/update_lines.h"

using namespace testsupport;

namespace
{

constexpr uint64_t kHangMs = 3600000; // an hour of virtual time without an end is a hang

const AffImage kSmall = shapedContainer({{AFF_BLOCK_HOST_UC, 512, 256, 10700001},
                                         {AFF_BLOCK_DEVICE_UC, 512, 256, 20005},
                                         {AFF_BLOCK_TI, 128, 128, 20005},
                                         {AFF_BLOCK_ESP_FLASH, 512, 256, 20005},
                                         {AFF_BLOCK_FPGA_NVCM0, 128, 64, 20005},
                                         {AFF_BLOCK_FPGA_NVCM1, 64, 64, 20005},
                                         {AFF_BLOCK_FPGA_USERCODE, 4, 4, 20005}},
                                        7);

uint64_t requestsHandled(const SimRig &rig)
{
    return std::accumulate(rig.stats.requests.begin(), rig.stats.requests.end(), uint64_t(0),
                           [](uint64_t n, const auto &entry) { return n + entry.second; });
}

enum class Way
{
    LinkLostDuringAnswer,
    AbandonedAfterRequest
};

struct Outcome
{
    unsigned recovered = 0, failedThenRecovered = 0;
};

// Interrupts the update at request n; returns 1 when the run itself completed, 2
// when it failed and a second run completed. Any other ending fails the test.
int interruptAt(Way way, uint64_t n, const Bytes &aff)
{
    SimRig rig;
    rig.aff = aff;
    bool isDone = false;
    rig.stopWhen = [&]
    {
        if (way == Way::AbandonedAfterRequest && !isDone && requestsHandled(rig) >= n)
            return isDone = true;
        return rig.link.nowMs > 1000000 + kHangMs;
    };
    rig.link.onDeviceOutput = [&](const Bytes &wire)
    {
        // Half the answer reached the host when the link went.
        if (way == Way::LinkLostDuringAnswer && !isDone && rig.stats.responses == n && wire.size() > 2)
        {
            isDone = true;
            Bytes half(wire.begin(), wire.begin() + wire.size() / 2);
            rig.link.dropLink(1500);
            rig.link.push(half);
        }
    };
    uint8_t first = rig.run(UPDATER_OP_UPDATE_ALL);
    EXPECT_LT(rig.link.nowMs, 1000000 + kHangMs) << "request " << n << ": the run hung";
    std::string report;
    if (way == Way::LinkLostDuringAnswer)
    {
        EXPECT_EQ(1u, rig.link.outages) << "request " << n;
    }
    if (first == 1 && !isDone)
    {
        ADD_FAILURE() << "request " << n << " was never reached";
    }
    if (first == 1 && way == Way::LinkLostDuringAnswer)
    {
        EXPECT_EQ(0, rig.verify(&report)) << "request " << n << ": success with other data\n" << report;
        return 1;
    }
    // A new updater process on the same device.
    rig.stopWhen = [&] { return rig.link.nowMs > 1000000 + 2 * kHangMs; };
    rig.link.close();
    EXPECT_EQ(1, rig.run(UPDATER_OP_UPDATE_ALL)) << "request " << n << ": the second run failed";
    EXPECT_EQ(0, rig.verify(&report)) << "request " << n << ": the second run left other data\n" << report;
    return first == 1 ? 1 : 2;
}

TEST(Interruption, EveryRequestRecoversInTheRunOrOnASecondRun)
{
    const Bytes aff = kSmall.build();
    SimRig clean;
    clean.aff = aff;
    ASSERT_EQ(1, clean.run(UPDATER_OP_UPDATE_ALL));
    const uint64_t total = requestsHandled(clean);
    ASSERT_GT(total, 30u);
    for (Way way : {Way::LinkLostDuringAnswer, Way::AbandonedAfterRequest})
    {
        Outcome outcome;
        for (uint64_t n = 1; n <= total; n++)
        {
            int result = interruptAt(way, n, aff);
            outcome.recovered += result == 1 ? 1 : 0;
            outcome.failedThenRecovered += result == 2 ? 1 : 0;
        }
        EXPECT_EQ(total, outcome.recovered + outcome.failedThenRecovered);
        std::printf("%s: %u of %u recovered in the run, %u failed cleanly and recovered on a second run\n",
                    way == Way::LinkLostDuringAnswer ? "link lost during the answer"
                                                     : "abandoned after the request",
                    outcome.recovered, static_cast<unsigned>(total), outcome.failedThenRecovered);
    }
}

} // namespace
