// The worker's schedule: what it draws, how long a tick lasts, what it sends when.
#include "tests/engine/engine_fixture.h"

#include <set>
#include <tuple>

using namespace engine_testing;
using namespace keep_awake_detail;

TEST(WaitDistribution, FixedSeedsDrawEveryWholeTickFrom35To59AndNever60)
{
    for (const std::uint32_t seed : {0u, 1u, 5489u, 0x9E3779B9u, 0xFFFFFFFFu}) {
        std::mt19937 engine(seed);
        WaitDistribution draw = MakeWaitDistribution();
        std::set<int> seen;
        for (int i = 0; i < 5000; ++i) {
            seen.insert(draw(engine));
        }
        EXPECT_EQ(std::make_tuple(seen.size(), *seen.begin(), *seen.rbegin()), std::make_tuple(size_t{25}, 35, 59))
            << "seed " << seed;
    }
}

TEST(SleepFullTick, NeverReturnsBeforeTheWholeTickOnTheMonotonicClock)
{
    using Clock = std::chrono::steady_clock;
    for (const int ms : {1, 7, 20}) {
        for (int round = 0; round < 25; ++round) {
            const Clock::time_point start = Clock::now();
            SleepFullTick(std::chrono::milliseconds(ms));
            ASSERT_GE(Clock::now() - start, std::chrono::milliseconds(ms)) << ms << " ms tick, round " << round;
        }
    }
}

// Also: switching on while running adds no thread and leaves the drawn schedule as it was.
TEST_F(Engine, FirstInputAtOnceThenOneAfterEachDrawnWait)
{
    constexpr int kTick = 10;
    seams::workerTickMs = kTick;
    SetActive(true);
    ASSERT_TRUE(PumpUntil([] { return Count('t', kTick) >= 2; }, 10000));
    for (int i = 0; i < 3; ++i) {
        SetActive(true);
    }
    ASSERT_EQ(seams::ThreadCalls().size(), 1u);
    EXPECT_EQ(seams::LiveWorkers(), 1);
    ASSERT_TRUE(PumpUntil([] { return Count('I', kTick) >= 3; }, 20000));
    SetActive(false);
    ASSERT_TRUE(seams::WaitForLiveWorkers(0, 5000));

    const Log log = seams::EngineCalls();
    const std::vector<DWORD> workers = Workers(log, ui_);
    ASSERT_EQ(workers.size(), 1u);
    EXPECT_EQ(Shape(log, ui_, kTick), "R");
    // Hold, the first input before any tick, a hold after each input, its own release last.
    const std::string shape = Shape(log, workers[0], kTick);
    EXPECT_TRUE(Matches(shape, "HIHt*(IHt*)+R")) << shape;
    std::mt19937 engine(UnpackTicket(seams::ThreadCalls()[0].parameter).seed);
    WaitDistribution draw = MakeWaitDistribution();
    for (size_t at = shape.find('I'), next; (next = shape.find('I', at + 1)) != std::string::npos; at = next) {
        const auto ticks = std::count(shape.begin() + at, shape.begin() + next, 't');
        EXPECT_TRUE(ticks >= 35 && ticks <= 59) << shape;
        EXPECT_EQ(ticks, draw(engine)) << shape;
    }

    const std::vector<seams::InputCall> inputs = seams::InputCalls();
    EXPECT_EQ(inputs.size(), static_cast<size_t>(std::count(shape.begin(), shape.end(), 'I')));
    for (const seams::InputCall& call : inputs) {
        const MOUSEINPUT& mi = call.input.mi;
        EXPECT_EQ(std::make_tuple(call.thread, call.count, call.size, call.input.type, mi.dx, mi.dy, mi.mouseData,
                                  mi.dwFlags, mi.time, mi.dwExtraInfo),
                  std::make_tuple(workers[0], 1u, 40, DWORD{INPUT_MOUSE}, 0L, 0L, DWORD{0}, DWORD{MOUSEEVENTF_MOVE},
                                  DWORD{0}, ULONG_PTR{0}));
    }
}
