// The worker's schedule: what it draws, how long a tick lasts, and what it
// sends when, read back in ticks from the seam's log.
#include "engine/keep_awake.h"
#include "tests/engine/engine_fixture.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>

using namespace engine_testing;
using namespace keep_awake_detail;

TEST(WaitDistribution, DrawsEveryWholeTickFrom35To59AndNever60)
{
    for (const std::uint32_t seed : {0u, 1u, 5489u, 0x9E3779B9u, 0xFFFFFFFFu}) {
        std::mt19937 engine(seed);
        WaitDistribution waits = MakeWaitDistribution();
        std::map<int, int> seen;
        for (int i = 0; i < 5000; ++i) {
            ++seen[waits(engine)];
        }
        EXPECT_EQ(seen.size(), 25u) << "seed " << seed;
        EXPECT_EQ(seen.begin()->first, 35) << "seed " << seed;
        EXPECT_EQ(seen.rbegin()->first, 59) << "seed " << seed;
    }
}

TEST(SleepFullTick, NeverReturnsBeforeTheWholeTickOnTheMonotonicClock)
{
    using Clock = std::chrono::steady_clock;
    for (const int ms : {1, 7, 20}) {
        for (int round = 0; round < 25; ++round) {
            const Clock::time_point start = Clock::now();
            SleepFullTick(std::chrono::milliseconds(ms));
            const Clock::duration slept = Clock::now() - start;
            ASSERT_GE(slept, std::chrono::milliseconds(ms)) << ms << " ms tick, round " << round;
        }
    }
}

TEST(WorkerTicket, TravelsWholeInTheThreadParameter)
{
    const WorkerTicket tickets[] = {{0, 0}, {1, 0xFFFFFFFFu}, {0xFFFFFFFFu, 0}, {0x89ABCDEFu, 0x01234567u}};
    for (const WorkerTicket& ticket : tickets) {
        const WorkerTicket back = UnpackTicket(PackTicket(ticket));
        EXPECT_EQ(back.generation, ticket.generation);
        EXPECT_EQ(back.seed, ticket.seed);
    }
}

TEST_F(Engine, FirstInputAtOnceThenOneAfterEachDrawnWait)
{
    constexpr int kTick = 10;
    seams::workerTickMs = kTick;
    SetActive(true);
    ASSERT_TRUE(WaitForLog([](const Log& log) { return CountInputs(log) >= 3; }, 20000));
    SetActive(false);
    ASSERT_TRUE(seams::WaitForLiveWorkers(0, 5000));

    const Log log = seams::EngineCalls();
    const auto workers = WorkerThreads(log, ui_);
    ASSERT_EQ(workers.size(), 1u);
    const std::string shape = Shape(log, workers[0], kTick);
    // Hold at start, the first input before any tick, hold after every
    // input, and the release as the worker's own last call.
    EXPECT_TRUE(std::regex_match(shape, std::regex("HIHt*(IHt*)+R"))) << shape;

    const auto seeds = CreatedSeeds();
    ASSERT_EQ(seeds.size(), 1u);
    const std::vector<int> waits = Waits(shape);
    ASSERT_GE(waits.size(), 2u);
    EXPECT_EQ(waits, DrawnWaits(seeds[0], waits.size())) << shape;
    for (const int ticks : waits) {
        EXPECT_TRUE(ticks >= 35 && ticks <= 59) << ticks;
    }

    const auto inputs = seams::InputCalls();
    ASSERT_EQ(inputs.size(), CountInputs(log));
    static_assert(sizeof(INPUT) == 40);
    for (const auto& call : inputs) {
        EXPECT_EQ(call.thread, workers[0]);
        EXPECT_EQ(call.count, 1u);
        EXPECT_EQ(call.size, 40);
        EXPECT_EQ(call.input.type, static_cast<DWORD>(INPUT_MOUSE));
        EXPECT_EQ(call.input.mi.dx, 0);
        EXPECT_EQ(call.input.mi.dy, 0);
        EXPECT_EQ(call.input.mi.mouseData, 0u);
        EXPECT_EQ(call.input.mi.dwFlags, static_cast<DWORD>(MOUSEEVENTF_MOVE));
        EXPECT_EQ(call.input.mi.time, 0u);
        EXPECT_EQ(call.input.mi.dwExtraInfo, 0u);
    }
}

TEST_F(Engine, OnWhileRunningKeepsTheWorkerAndItsSchedule)
{
    constexpr int kTick = 10;
    seams::workerTickMs = kTick;
    SetActive(true);
    ASSERT_TRUE(WaitForLog([](const Log& log) { return CountTicks(log, kTick) >= 2; }, 10000));
    for (int i = 0; i < 3; ++i) {
        SetActive(true);
    }
    EXPECT_TRUE(AppState::active);
    EXPECT_EQ(seams::ThreadCalls().size(), 1u);
    EXPECT_EQ(seams::LiveWorkers(), 1);
    ASSERT_TRUE(WaitForLog([](const Log& log) { return CountInputs(log) >= 2; }, 10000));
    SetActive(false);
    ASSERT_TRUE(seams::WaitForLiveWorkers(0, 5000));

    // The wait in progress ran its full draw: no input was added or moved.
    const Log log = seams::EngineCalls();
    const auto workers = WorkerThreads(log, ui_);
    ASSERT_EQ(workers.size(), 1u);
    const std::string shape = Shape(log, workers[0], kTick);
    const std::vector<int> waits = Waits(shape);
    ASSERT_FALSE(waits.empty()) << shape;
    EXPECT_EQ(waits, DrawnWaits(CreatedSeeds().at(0), waits.size())) << shape;
    EXPECT_EQ(Shape(log, ui_, kTick), "R");
}
