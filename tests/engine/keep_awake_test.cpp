// The keep-awake engine, read back as what each thread did (seams::Shape).
#include "engine/keep_awake.h"
#include "tests/support/fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>

using fixture::PumpUntil;

// What the last of `count` started workers did, once it did `letter` `times`.
static bool Did(size_t count, char letter, long times)
{
    const std::vector<DWORD> workers = seams::Workers();
    if (workers.size() != count) {
        return false;
    }
    const std::string shape = seams::Shape(workers.back());
    return std::count(shape.begin(), shape.end(), letter) >= times;
}

TEST(KeepAwake, WorkerHoldsTheStateAndSendsZeroMotionInputAfterWaitsOf35To59Ticks)
{
    // A seed whose first two waits are the bounds.
    seams::workerSeed = 362;
    seams::workerTickMs = 4;
    SetActive(true);
    ASSERT_TRUE(PumpUntil([] { return Did(1, 'I', 3); }));
    SetActive(false);
    ASSERT_TRUE(seams::WaitForLiveWorkers(0));

    const std::string shape = seams::Shape(seams::Workers()[0]);
    EXPECT_TRUE(shape.starts_with("HIH" + std::string(35, 't') + "IH" + std::string(59, 't') + "IH")) << shape;
    EXPECT_TRUE(std::regex_match(shape, std::regex("HIH(t+IH)+t*R"))) << shape;

    seams::workerTickMs = 0;
    SetActive(true);
    ASSERT_TRUE(PumpUntil([] { return Did(2, 't', 1); }));
    SetActive(false);
    ASSERT_TRUE(seams::WaitForLiveWorkers(0));
    EXPECT_EQ(seams::Shape(seams::Workers()[1]), "HIHtR");
}

TEST(KeepAwake, SwitchesLeaveAtMostOneWorkerThatEndsWithinATickWithItsOwnRelease)
{
    seams::workerTickMs = 300;
    // One that cannot start leaves nothing flagged.
    seams::failedWorkers = 1;
    SetActive(true);
    EXPECT_FALSE(AppState::workerRunning.load());
    SetActive(true);
    ASSERT_TRUE(PumpUntil([] { return Did(1, 't', 1); }));
    // Off and on mid-tick: the first worker must not run beside the second.
    SetActive(false);
    SetActive(true);
    ASSERT_TRUE(PumpUntil([] { return Did(2, 't', 1) && seams::liveWorkers == 1; }));
    const DWORD worker = seams::Workers()[1];
    const std::string before = seams::Shape(worker);
    SetActive(false);
    ASSERT_TRUE(seams::WaitForLiveWorkers(0));

    // At most the tick under way, then the release by the worker itself.
    const std::string after = seams::Shape(worker).substr(before.size());
    EXPECT_TRUE(std::regex_match(after, std::regex("(t|IH)?R"))) << before << " then " << after;
    EXPECT_EQ(seams::Shape(seams::Workers()[0]).back(), 'R');
    EXPECT_EQ(seams::Shape(GetCurrentThreadId()), "RR");

    seams::workerTickMs = 2;
    for (const bool lastOn : {true, false}) {
        for (int i = 0; i < 1000; ++i) {
            SetActive((i % 2 == 1) == lastOn);
        }
        EXPECT_TRUE(seams::WaitForLiveWorkers(lastOn ? 1 : 0)) << seams::liveWorkers.load();
        EXPECT_EQ(AppState::workerRunning.load(), lastOn);
    }

    // Seeds far apart: a constant, a counter or the clock would replay one schedule.
    const std::vector<std::uint32_t>& seeds = seams::workerSeeds;
    ASSERT_GE(seeds.size(), 8u);
    const std::set<std::uint32_t> distinct(seeds.begin(), seeds.begin() + 8);
    EXPECT_EQ(distinct.size(), 8u);
    const auto [lowest, highest] = std::minmax_element(seeds.begin(), seeds.begin() + 8);
    EXPECT_GT(*highest - *lowest, 1u << 24);
}
