// Entry and context set-up: refused runs, log output and its limits, progress
// arithmetic, elapsed time and the verbose end-of-run line.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/updater.h"
#include "tests/support/sim_link.h"

using testsupport::SimLink;

namespace
{

TEST(UpdaterInit, MissingRequiredCallbackRefusesWithoutWriting)
{
    void (*clear[])(_tUpdaterCallbacks &) = {
        [](_tUpdaterCallbacks &c) { c.cbGetMs = nullptr; },
        [](_tUpdaterCallbacks &c) { c.cbWrite = nullptr; },
        [](_tUpdaterCallbacks &c) { c.cbRead = nullptr; },
        [](_tUpdaterCallbacks &c) { c.cbReopen = nullptr; },
        [](_tUpdaterCallbacks &c) { c.cbClose = nullptr; },
    };
    for (auto fn : clear)
    {
        SimLink link;
        _tUpdaterCallbacks cb = link.callbacks();
        fn(cb);
        EXPECT_EQ(0, updater(UPDATER_OP_UNLOCK, nullptr, 0, 1, 0, &cb, nullptr));
        EXPECT_EQ(std::vector<std::string>{"cbGetMs, cbWrite, cbRead, cbReopen, cbClose can't be NULL"},
                  link.logs);
        EXPECT_TRUE(link.tx.empty());
    }
}

TEST(UpdaterInit, RefusedOperations)
{
    struct Case
    {
        uint32_t op;
        const char *log;
    } cases[] = {
        {UPDATER_OP_NONE, "No op selected!\n"},
        {UPDATER_OP_UPDATE_CHANGED, "ERR: No AFF file given for the update"},
        {UPDATER_OP_UPDATE_ALL, "ERR: No AFF file given for the update"},
    };
    for (const Case &c : cases)
    {
        SimLink link;
        _tUpdaterCallbacks cb = link.callbacks();
        EXPECT_EQ(0, updater(c.op, nullptr, 0, 1, 0, &cb, nullptr));
        EXPECT_EQ(std::vector<std::string>{c.log}, link.logs);
        EXPECT_TRUE(link.tx.empty());
    }
}

TEST(UpdaterRun, MalformedCountIsLoggedOnlyWhenVerbose)
{
    for (uint8_t verbose : {0, 1})
    {
        SimLink link;
        _tUpdaterCallbacks cb = link.callbacks();
        EXPECT_EQ(1, updater(UPDATER_OP_UNLOCK, nullptr, 0, verbose, 0, &cb, nullptr));
        EXPECT_EQ(verbose ? "Malformed count: 0" : "Leaving BOOT mode...", link.logs.back());
        EXPECT_EQ("AT+LOCK=0\r\n", link.txText()); // straight to the unlock, no BOOT question
    }
}

TEST(UpdaterRun, AStateOutsideTheTableEndsTheRun)
{
    // 21 is no state; 34 and above are past the last.
    for (uint32_t state : {21u, 34u, 0xFFFFFFFFu})
    {
        SimLink link;
        _tUpdaterCallbacks cb = link.callbacks();
        auto ctx = std::make_unique<_tUpdater>();
        ASSERT_EQ(1, updaterInit(ctx.get(), UPDATER_OP_READ_VERSIONS, 0, 0, &cb));
        ctx->ulState = state;
        EXPECT_EQ(UPDATER_STEP_FAILED, updaterProcess(ctx.get())) << state;
        EXPECT_TRUE(link.tx.empty());
    }
}

class UpdaterOutput : public ::testing::Test
{
  protected:
    SimLink link;
    _tUpdaterCallbacks cb{};
    std::unique_ptr<_tUpdater> ctx = std::make_unique<_tUpdater>();
    void SetUp() override
    {
        cb = link.callbacks();
        ASSERT_EQ(1, updaterInit(ctx.get(), UPDATER_OP_LOCK, 1, 0, &cb));
    }
};

TEST_F(UpdaterOutput, LogLineIsCutAt199Characters)
{
    std::string longText(300, 'x');
    updaterLog(ctx.get(), "%s", longText.c_str());
    updaterLogVerbose(ctx.get(), "%s!", longText.c_str());
    ctx->isVerbose = 0;
    updaterLogVerbose(ctx.get(), "hidden");
    EXPECT_EQ((std::vector<std::string>{std::string(199, 'x'), std::string(199, 'x')}), link.logs);
}

TEST_F(UpdaterOutput, ReceiveDumpGrowsOneByteAtATimeAndStaysBounded)
{
    const uint8_t bytes[] = {0x01, 0xAB};
    updaterLogRecv(ctx.get(), bytes, 2);
    EXPECT_EQ((std::vector<std::string>{"Recv: 01 ", "Recv: 01 AB "}), link.logs);

    link.logs.clear();
    std::vector<uint8_t> many(400, 0xEE);
    updaterLogRecv(ctx.get(), many.data(), (uint32_t)many.size());
    ASSERT_EQ(400u, link.logs.size());
    EXPECT_LT(link.logs.back().size(), (size_t)UPDATER_LOG_RECV_MAX);
}

TEST_F(UpdaterOutput, ProgressArithmetic)
{
    ctx->ubComponentCount = 5;
    for (int i = 0; i < 5; i++)
        updaterComponentDone(ctx.get());
    EXPECT_EQ((std::vector<uint8_t>{20, 40, 60, 80, 100}), link.progress);

    link.progress.clear();
    ctx->ubComponentCount = 3;
    ctx->ubComponentsDone = 1;
    updaterComponentProgress(ctx.get(), 50);
    EXPECT_EQ(std::vector<uint8_t>{49}, link.progress);

    // Without components nothing is divided by zero.
    link.progress.clear();
    ctx->ubComponentCount = 0;
    ctx->ubComponentsDone = 0;
    updaterComponentProgress(ctx.get(), 50);
    updaterComponentDone(ctx.get());
    EXPECT_EQ((std::vector<uint8_t>{50, 100}), link.progress);
}

} // namespace
