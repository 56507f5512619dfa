// Switching on and off: how many workers live afterwards and what each did last.
#include "tests/engine/engine_fixture.h"

using namespace engine_testing;

TEST_F(Engine, OffStopsTheWorkerWithinATickAndRepeatedOffIsHarmless)
{
    constexpr int kTick = 50;
    seams::workerTickMs = kTick;
    SetActive(true);
    ASSERT_TRUE(PumpUntil([] { return Count('t', kTick) >= 2; }, 10000));
    const size_t off = seams::EngineCalls().size();
    SetActive(false);
    SetActive(false);  // while it stops
    ASSERT_TRUE(seams::WaitForLiveWorkers(0, 5000));
    SetActive(false);  // while paused
    EXPECT_FALSE(AppState::active);
    EXPECT_FALSE(AppState::workerRunning);
    EXPECT_EQ(seams::ThreadCalls().size(), 1u);

    const Log log = seams::EngineCalls();
    const std::vector<DWORD> workers = Workers(log, ui_);
    ASSERT_EQ(workers.size(), 1u);
    EXPECT_EQ(Shape(log, ui_, kTick), "RRR");
    // After the switch: the tick already begun or the input then due, then its own release.
    const std::string after = Shape(log, workers[0], kTick, off);
    EXPECT_TRUE(Matches(after, "(t|IH)?R")) << Shape(log, workers[0], kTick);
}

TEST_F(Engine, OffAndOnWithinATickLeaveExactlyOneWorker)
{
    seams::workerTickMs = 1000;  // so the old worker is surely mid-tick at the switch
    SetActive(true);
    ASSERT_TRUE(PumpUntil([] { return Count('t', 1000) >= 1; }, 10000));
    SetActive(false);
    SetActive(true);
    EXPECT_EQ(seams::LiveWorkers(), 2);
    ASSERT_TRUE(seams::WaitForLiveWorkers(1, 5000)) << seams::LiveWorkers() << " workers";
    ASSERT_TRUE(PumpUntil([] { return Count('I', 1000) >= 2; }, 5000));

    const Log log = seams::EngineCalls();
    const std::vector<DWORD> workers = Workers(log, ui_);
    ASSERT_EQ(workers.size(), 2u);
    // The old one sent nothing more and withdrew its state; the new one started at once.
    EXPECT_TRUE(Matches(Shape(log, workers[0], 1000), "HIHt+R")) << Shape(log, workers[0], 1000);
    EXPECT_TRUE(Matches(Shape(log, workers[1], 1000), "HIHt*")) << Shape(log, workers[1], 1000);
    EXPECT_TRUE(AppState::workerRunning);
    EXPECT_EQ(seams::LiveWorkers(), 1);
}

TEST_F(Engine, FailedThreadCreationLowersTheFlagAndTheNextOnRetries)
{
    seams::workerTickMs = 10;
    seams::failCreateThread = 1;
    SetActive(true);
    EXPECT_TRUE(AppState::active);
    EXPECT_FALSE(AppState::workerRunning);
    SetActive(true);
    const std::vector<seams::ThreadCall> threads = seams::ThreadCalls();
    ASSERT_EQ(threads.size(), 2u);
    EXPECT_FALSE(threads[0].created);
    EXPECT_TRUE(threads[1].created);
    EXPECT_TRUE(AppState::workerRunning);
    EXPECT_TRUE(seams::WaitForLiveWorkers(1, 5000));
}

class Stress : public Engine, public ::testing::WithParamInterface<bool> {};

TEST_P(Stress, ThousandAlternatingSwitchesLeaveOneWorkerWhenOnAndNoneWhenOff)
{
    constexpr int kTick = 2;
    seams::workerTickMs = kTick;
    const bool lastOn = GetParam();
    for (int i = 0; i < 1000; ++i) {
        SetActive((i % 2 == 1) == lastOn);
    }
    EXPECT_EQ(AppState::workerRunning.load(), lastOn);
    ASSERT_TRUE(seams::WaitForLiveWorkers(lastOn, 60000)) << seams::LiveWorkers() << " workers";
    const size_t ticks = Count('t', kTick);
    if (lastOn) {  // two ticks of the survivor later, still nobody beside it
        ASSERT_TRUE(PumpUntil([&] { return Count('t', kTick) >= ticks + 2; }, 5000));
    }
    EXPECT_EQ(seams::LiveWorkers(), lastOn ? 1 : 0);
    EXPECT_EQ(seams::ThreadCalls().size(), 500u);
    // 500 releases by the UI thread, one by each ended worker.
    EXPECT_EQ(Count('R', kTick), 1000u - lastOn);
}

INSTANTIATE_TEST_SUITE_P(LastCall, Stress, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "On" : "Off"; });
