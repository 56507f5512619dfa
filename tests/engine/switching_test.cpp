// Switching keeping awake on and off: how many workers live afterwards and
// what each did last, from the seam's exact worker count and ordered log.
#include "engine/keep_awake.h"
#include "tests/engine/engine_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

using namespace engine_testing;

TEST_F(Engine, OffStopsTheWorkerWithinATickAndItWithdrawsItsOwnState)
{
    constexpr int kTick = 50;
    seams::workerTickMs = kTick;
    SetActive(true);
    ASSERT_TRUE(WaitForLog([](const Log& log) { return CountTicks(log, kTick) >= 2; }, 10000));
    const size_t off = seams::EngineCalls().size();
    SetActive(false);
    SetActive(false);  // again while it is stopping: harmless
    EXPECT_FALSE(AppState::active);
    EXPECT_FALSE(AppState::workerRunning);
    ASSERT_TRUE(seams::WaitForLiveWorkers(0, 5000));

    const Log log = seams::EngineCalls();
    const auto workers = WorkerThreads(log, ui_);
    ASSERT_EQ(workers.size(), 1u);
    EXPECT_EQ(Shape(log, ui_, kTick), "RR");
    // After the switch: at most the one tick it began before it could see
    // the flag, then its own release. An input only if its wait had just ended.
    const std::string whole = Shape(log, workers[0], kTick);
    const std::string after = Shape(log, workers[0], kTick, off);
    const std::string before = whole.substr(0, whole.size() - after.size());
    const auto inputs = static_cast<size_t>(std::count(before.begin(), before.end(), 'I'));
    ASSERT_GE(inputs, 1u) << whole;
    const std::string lastWait = before.substr(before.rfind('I'));
    const bool waitOver = std::count(lastWait.begin(), lastWait.end(), 't') ==
                          DrawnWaits(CreatedSeeds().at(0), inputs).back();
    EXPECT_TRUE(after == "R" || after == "tR" || (waitOver && after == "IHR")) << before << " | after off: " << after;
}

TEST_F(Engine, OffWhilePausedOnlyWithdrawsTheUiThreadStateEachTime)
{
    for (int i = 0; i < 3; ++i) {
        SetActive(false);
    }
    EXPECT_FALSE(AppState::active);
    EXPECT_FALSE(AppState::workerRunning);
    EXPECT_TRUE(seams::ThreadCalls().empty());
    const Log log = seams::EngineCalls();
    EXPECT_EQ(log.size(), 3u);
    EXPECT_EQ(Shape(log, ui_, 1), "RRR");
}

TEST_F(Engine, OffAndOnWithinATickLeaveExactlyOneWorker)
{
    // Whole-second ticks: the old worker is surely mid-tick at the switch.
    seams::workerTickMs = 1000;
    SetActive(true);
    ASSERT_TRUE(WaitForLog([](const Log& log) { return CountTicks(log, 1000) >= 1; }, 10000));
    SetActive(false);
    SetActive(true);
    EXPECT_EQ(seams::LiveWorkers(), 2);
    ASSERT_EQ(CreatedSeeds().size(), 2u);

    ASSERT_TRUE(seams::WaitForLiveWorkers(1, 5000)) << seams::LiveWorkers() << " workers";
    ASSERT_TRUE(WaitForLog([](const Log& log) { return CountInputs(log) >= 2; }, 5000));
    EXPECT_TRUE(AppState::workerRunning);
    const Log log = seams::EngineCalls();
    const auto workers = WorkerThreads(log, ui_);
    ASSERT_EQ(workers.size(), 2u);
    // The superseded worker sent nothing more and withdrew its own state;
    // the new one sent its first input at once and runs on.
    const std::string old = Shape(log, workers[0], 1000);
    const std::string current = Shape(log, workers[1], 1000);
    EXPECT_TRUE(std::regex_match(old, std::regex("HIHt+R"))) << old;
    EXPECT_TRUE(std::regex_match(current, std::regex("HIHt*"))) << current;
    EXPECT_EQ(seams::LiveWorkers(), 1);
}

TEST_F(Engine, FailedThreadCreationLowersTheFlagAndTheNextOnRetries)
{
    seams::workerTickMs = 10;
    seams::failCreateThread = 1;
    SetActive(true);
    EXPECT_TRUE(AppState::active);
    EXPECT_FALSE(AppState::workerRunning);
    EXPECT_EQ(seams::LiveWorkers(), 0);

    SetActive(true);
    const auto threads = seams::ThreadCalls();
    ASSERT_EQ(threads.size(), 2u);
    EXPECT_FALSE(threads[0].created);
    EXPECT_TRUE(threads[1].created);
    EXPECT_TRUE(AppState::workerRunning);
    EXPECT_TRUE(seams::WaitForLiveWorkers(1, 5000));
    EXPECT_TRUE(WaitForLog([](const Log& log) { return CountInputs(log) >= 1; }, 5000));
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
    EXPECT_EQ(AppState::active, lastOn);
    EXPECT_EQ(AppState::workerRunning.load(), lastOn);
    const int expected = lastOn ? 1 : 0;
    ASSERT_TRUE(seams::WaitForLiveWorkers(expected, 60000)) << seams::LiveWorkers() << " workers";
    if (lastOn) {
        // Two ticks more of the survivor, and still nobody beside it.
        const size_t ticks = CountTicks(seams::EngineCalls(), kTick);
        ASSERT_TRUE(WaitForLog([&](const Log& log) { return CountTicks(log, kTick) >= ticks + 2; }, 5000));
        EXPECT_EQ(seams::LiveWorkers(), 1);
    }

    const auto threads = seams::ThreadCalls();
    EXPECT_EQ(threads.size(), 500u);
    EXPECT_TRUE(std::all_of(threads.begin(), threads.end(), [](const auto& t) { return t.created; }));
    // Each ended worker withdrew its state on its own thread as its last call
    // (thread ids may be reused, so count releases rather than threads).
    const Log log = seams::EngineCalls();
    size_t releases = 0;
    size_t stillHolding = 0;
    for (const DWORD worker : WorkerThreads(log, ui_)) {
        const std::string shape = Shape(log, worker, kTick);
        releases += std::count(shape.begin(), shape.end(), 'R');
        stillHolding += shape.back() != 'R';
    }
    EXPECT_EQ(releases, 500u - expected);
    EXPECT_EQ(stillHolding, static_cast<size_t>(expected));
}

INSTANTIATE_TEST_SUITE_P(LastCall, Stress, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "On" : "Off"; });
