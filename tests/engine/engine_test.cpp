#include "engine/keep_awake.h"
#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

using namespace keep_awake_detail;
using testing_support::PumpUntil;

static std::string Shape(DWORD thread, int tick) {  // per call of `thread` (0: any): H hold, R release, I input, t a tick (not a top-up)
    std::string s;
    for (const seams::EngineCall& c : seams::EngineCalls())
        if (thread == 0 || c.thread == thread)
            s += c.kind == seams::EngineCall::Kind::State ? (c.value == 0x80000003u ? "H" : c.value == 0x80000000u ? "R" : "?")
               : c.kind == seams::EngineCall::Kind::Input ? (c.value == 1 ? "I" : "?") : 2 * static_cast<int>(c.value) > tick ? "t" : "";
    return s;
}
static auto Count(char letter, int tick) { const std::string s = Shape(0, tick); return std::count(s.begin(), s.end(), letter); }
static std::vector<DWORD> Workers() {  // threads other than the calling (UI) one, by first call
    std::vector<DWORD> ids;
    for (const seams::EngineCall& c : seams::EngineCalls()) if (c.thread != GetCurrentThreadId() && std::find(ids.begin(), ids.end(), c.thread) == ids.end()) ids.push_back(c.thread);
    return ids;
}

struct Engine : ::testing::Test {
    void SetUp() override { testing_support::ResetAppState(); seams::Reset(); }
    void TearDown() override { testing_support::StopWorkers(); EXPECT_EQ(seams::LiveWorkers(), 0); seams::Reset(); }
};

TEST(Schedule, SeededWaitsCoverAll25From35To59NeverMoreAndSleepFullTickIsNeverEarly) {
    for (const std::uint32_t seed : {0u, 5489u, 0xFFFFFFFFu}) {
        std::mt19937 engine(seed); std::string seen(61, '.');  // seen[n] == 'x' once a wait of n ticks was drawn
        for (int i = 0; i < 5000; ++i) seen.at(MakeWaitDistribution()(engine)) = 'x';
        EXPECT_EQ(seen, std::string(35, '.') + std::string(25, 'x') + '.') << seed;
    }
    for (const int ms : {1, 2, 7, 15, 20, 1, 3, 7, 16, 20, 1, 2, 7, 15, 20}) {
        const auto start = std::chrono::steady_clock::now();
        SleepFullTick(std::chrono::milliseconds(ms));
        ASSERT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ms));
    }
}

TEST_F(Engine, FailedCreationLowersTheFlagThenFirstInputAtOnceAndOneAfterEachSeededWait) {
    seams::workerTickMs = 10, seams::failCreateThread = 1;
    SetActive(true);
    EXPECT_EQ(std::make_pair(AppState::active, AppState::workerRunning.load()), std::make_pair(true, false));
    SetActive(true);  // retries
    ASSERT_TRUE(PumpUntil([] { return Count('t', 10) >= 2; }, 10000));
    SetActive(true);  // while running: no thread, no input
    ASSERT_EQ(seams::ThreadCalls().size(), 2u);
    ASSERT_TRUE(PumpUntil([] { return Count('I', 10) >= 3; }, 20000));
    SetActive(false);
    ASSERT_TRUE(seams::WaitForLiveWorkers(0, 5000));
    const std::string shape = Shape(Workers().at(0), 10);
    EXPECT_TRUE(std::regex_match(shape, std::regex("HIHt*(IHt*)+R"))) << shape;
    std::mt19937 engine(UnpackTicket(seams::ThreadCalls()[1].parameter).seed);
    for (size_t at = shape.find('I'), next; (next = shape.find('I', at + 1)) != std::string::npos; at = next)
        EXPECT_EQ(std::count(shape.begin() + at, shape.begin() + next, 't'), MakeWaitDistribution()(engine)) << shape;
    for (const auto& [thread, count, in, size] : seams::InputCalls())
        EXPECT_EQ(std::make_tuple(thread, count, size, in.type, in.mi.dx, in.mi.dy, in.mi.mouseData, in.mi.dwFlags, in.mi.time, in.mi.dwExtraInfo),
                  std::make_tuple(Workers()[0], 1u, 40, DWORD{INPUT_MOUSE}, 0L, 0L, DWORD{0}, DWORD{MOUSEEVENTF_MOVE}, DWORD{0}, ULONG_PTR{0}));
}

TEST_F(Engine, OffOnWithinATickLeavesOneWorkerAndOffEndsItWithItsOwnReleaseWithinATick) {
    seams::workerTickMs = 500;  // the old worker is surely mid-tick at the switch
    SetActive(true);
    ASSERT_TRUE(PumpUntil([] { return Count('t', 500) >= 1; }, 10000));
    SetActive(false), SetActive(true);
    EXPECT_EQ(seams::LiveWorkers(), 2);
    ASSERT_TRUE(seams::WaitForLiveWorkers(1, 5000)) << seams::LiveWorkers();
    const std::string before = Shape(Workers().at(1), 500);
    SetActive(false);
    ASSERT_TRUE(seams::WaitForLiveWorkers(0, 5000));
    SetActive(false);  // while paused
    EXPECT_EQ(std::make_tuple(AppState::active, AppState::workerRunning.load(), seams::ThreadCalls().size(), Shape(GetCurrentThreadId(), 500)),
              std::make_tuple(false, false, size_t{2}, std::string("RRR")));
    EXPECT_TRUE(std::regex_match(Shape(Workers()[0], 500), std::regex("HIHt+R"))) << Shape(Workers()[0], 500);
    EXPECT_TRUE(std::regex_match(Shape(Workers()[1], 500).substr(before.size()), std::regex("(t|IH)?R"))) << before;  // at most the tick begun
}

TEST_F(Engine, ThousandAlternatingSwitchesLeaveOneWorkerWhenLastOnAndNoneWhenOff) {
    seams::workerTickMs = 2;
    for (const bool lastOn : {true, false}) {
        for (int i = 0; i < 1000; ++i) SetActive((i % 2 == 1) == lastOn);
        ASSERT_TRUE(seams::WaitForLiveWorkers(lastOn, 60000)) << seams::LiveWorkers();
        ASSERT_TRUE(!lastOn || PumpUntil([ticks = Count('t', 2)] { return Count('t', 2) >= ticks + 2; }, 5000));  // two ticks later
        EXPECT_EQ(std::make_pair(seams::LiveWorkers(), AppState::workerRunning.load()), std::make_pair(int{lastOn}, lastOn));
    }
}
