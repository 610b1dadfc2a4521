// A full update whose FPGA has no NVCM1 data: NVCM0 is written and verified, the
// NVCM1 phases are skipped, and the run still ends at 100 %.

#include <gtest/gtest.h>

#include "tests/support/devsim_runner.h"
#include "tests/support/e2e_container.h"
#include "tests/support/e2e_session.h"
#include "tests/support/e2e_terminal.h"

using namespace testsupport;

namespace
{

TEST(UpdateFpga, WithoutNvcm1Data)
{
    DevsimRunner dev;
    E2eContainerDef def = e2eFiveComponents();
    for (E2eBlock &b : def.blocks)
    {
        if (b.type == "nvcm1")
            b.size = 0; // an empty image: no pages
    }
    E2eContainer aff = e2eBuildContainer(dev.dir(), "fw", def);
    ASSERT_TRUE(aff.ok()) << aff.affpackOutput;
    ASSERT_TRUE(dev.start({"--container", aff.path})) << dev.stderrText();

    E2eUpdaterRun run = e2eRunUpdater(dev, {"-update", aff.path});
    EXPECT_EQ(0, run.result.exitCode) << e2eShow(run.result.out) << run.result.err;
    EXPECT_EQ(E2eVerdict::Success, run.terminal.verdict);
    EXPECT_TRUE(e2eSameLines(e2eFiveComponentsUpdateLines(), run.terminal.texts()));
    EXPECT_TRUE(e2eProgressRisesTo100(run.terminal));

    ASSERT_EQ(0, dev.stop());
    EXPECT_EQ(2, dev.summaryValue("requests.FPGA_PROGRAM_BEGIN")); // NVCM0 write and verify
    EXPECT_EQ(8, dev.summaryValue("requests.FPGA_PROGRAM_DATA"));
    EXPECT_EQ(1, dev.summaryValue("requests.FPGA_USERCODE"));
    EXPECT_EQ(1, dev.summaryValue("requests.FPGA_END"));
    E2eVerifyResult verify = e2eVerify(dev, aff.path);
    EXPECT_EQ(0, verify.exitCode) << verify.out;
    EXPECT_EQ("skipped", verify.status["NVCM1"]) << verify.out;
    for (const char *component : {"host uC", "device uC", "TI", "Wi-Fi", "NVCM0", "usercode"})
        EXPECT_EQ("match", verify.status[component]) << component << "\n" << verify.out;
}

} // namespace
