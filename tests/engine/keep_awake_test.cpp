// The keep-awake engine, read back as what each thread did (seams::Steps).
#include "engine/keep_awake.h"
#include "tests/support/fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using fixture::PumpUntil;
using seams::Calls;

namespace {

// How many of `step` the last of `count` started workers has taken.
size_t Taken(size_t count, const std::wstring& step)
{
    const std::vector<DWORD> workers = seams::Workers();
    if (workers.size() != count) {
        return 0;
    }
    const Calls steps = seams::Steps(workers.back());
    return std::count(steps.begin(), steps.end(), step);
}

// A worker at 4 ms ticks, seeded so that its first two waits are the bounds, switched off after its third input.
Calls SeededRun()
{
    seams::workerSeed = 362;
    seams::workerTickMs = 4;
    SetActive(true);
    EXPECT_TRUE(PumpUntil([] { return Taken(1, L"input") >= 3; })) << "the worker sent too few inputs";
    SetActive(false);
    EXPECT_TRUE(seams::WaitForLiveWorkers(0)) << "the worker never ended";
    return seams::Steps(seams::Workers()[0]);
}

// All the ticks a thread took.
int Ticks(DWORD thread)
{
    int ticks = 0;
    for (const std::wstring& step : seams::Steps(thread)) {
        ticks += step.ends_with(L" ticks") ? std::stoi(step) : 0;
    }
    return ticks;
}

}  // namespace

// The waits between inputs are 35 to 59 ticks: the seed's first two are the bounds.
TEST(KeepAwake, WaitsOf35To59Ticks)
{
    const Calls steps = SeededRun();
    ASSERT_GE(steps.size(), 8u);
    EXPECT_EQ(steps[3], L"35 ticks");
    EXPECT_EQ(steps[6], L"59 ticks");
}

// A worker holds the system and the display awake, renews the hold with each still input, and releases it.
TEST(KeepAwake, WorkerHoldsAndSendsStillInput)
{
    const Calls steps = SeededRun();
    ASSERT_GE(steps.size(), 9u);
    EXPECT_EQ(Calls(steps.begin(), steps.begin() + 3), (Calls{L"hold", L"input", L"hold"}));
    for (size_t i = 3; i + 3 < steps.size(); i += 3) {
        EXPECT_EQ(Calls(steps.begin() + i + 1, steps.begin() + i + 3), (Calls{L"input", L"hold"})) << "after " << i;
    }
    EXPECT_EQ(steps.back(), L"release");
}

// As shipped, a worker's tick is one second.
TEST(KeepAwake, ShippedTickIsOneSecond)
{
    seams::workerTickMs = 0;
    SetActive(true);
    ASSERT_TRUE(PumpUntil([] { return Taken(1, L"1 ticks") == 1; })) << "the worker never ticked";
    SetActive(false);
    ASSERT_TRUE(seams::WaitForLiveWorkers(0)) << "the worker never ended";
    const Calls steps = {L"hold", L"input", L"hold", L"1 ticks", L"release"};
    EXPECT_EQ(seams::Steps(seams::Workers()[0]), steps) << "a sleep longer than the tick is not a tick";
}

// A worker that cannot start leaves nothing flagged, and the next switch starts one.
TEST(KeepAwake, FailedStartLeavesNothingFlagged)
{
    seams::workerTickMs = 300;
    seams::failedWorkers = 1;
    SetActive(true);
    EXPECT_FALSE(AppState::workerRunning.load()) << "flagged without a worker";
    SetActive(true);
    EXPECT_TRUE(AppState::workerRunning.load()) << "the next switch started nothing";
    EXPECT_EQ(seams::Workers().size(), 1u);
}

// Off and on mid-tick: the first worker ends, and the second, switched off, ends within the tick; each releases.
TEST(KeepAwake, WorkerEndsWithinATick)
{
    seams::workerTickMs = 300;
    SetActive(true);
    ASSERT_TRUE(PumpUntil([] { return Taken(1, L"1 ticks") == 1; })) << "the first worker never ticked";
    SetActive(false);
    SetActive(true);
    ASSERT_TRUE(PumpUntil([] { return Taken(2, L"1 ticks") == 1; })) << "the second worker never ticked";
    ASSERT_TRUE(PumpUntil([] { return seams::liveWorkers == 1; }, 1000)) << seams::liveWorkers << " workers live";
    const DWORD worker = seams::Workers()[1];
    const int before = Ticks(worker);
    SetActive(false);
    ASSERT_TRUE(seams::WaitForLiveWorkers(0)) << "the worker never ended";
    EXPECT_LE(Ticks(worker) - before, 1) << "ticks after the switch";
    EXPECT_EQ(seams::Steps(worker).back(), L"release") << "the worker's own release, last";
    EXPECT_EQ(seams::Steps(seams::Workers()[0]).back(), L"release") << "the first worker's own release";
}

// Workers' seeds are far apart: a constant, a counter or the clock would replay one schedule.
TEST(KeepAwake, SeedsFarApart)
{
    seams::workerTickMs = 2;
    for (int i = 0; i < 16; ++i) {
        SetActive(i % 2 == 0);
    }
    const std::vector<std::uint32_t>& seeds = seams::workerSeeds;
    ASSERT_EQ(seeds.size(), 8u);
    EXPECT_EQ(std::set<std::uint32_t>(seeds.begin(), seeds.end()).size(), 8u) << "seeds repeat";
    const auto [lowest, highest] = std::minmax_element(seeds.begin(), seeds.end());
    EXPECT_GT(*highest - *lowest, 1u << 24) << "seeds close together";
    SetActive(false);
    seams::WaitForLiveWorkers(0);
}

// Switching off withdraws the calling thread's request too.
TEST(KeepAwake, SwitchOffReleasesHere)
{
    SetActive(false);
    EXPECT_EQ(seams::Steps(GetCurrentThreadId()), Calls{L"release"});
}
