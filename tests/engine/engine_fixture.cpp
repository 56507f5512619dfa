#include "tests/engine/engine_fixture.h"

#include "engine/keep_awake.h"
#include "tests/support/app_fixture.h"

#include <algorithm>

namespace engine_testing {

using Kind = seams::EngineCall::Kind;

static bool IsTick(const seams::EngineCall& call, int tickMs)
{
    return call.kind == Kind::Sleep && 2 * static_cast<long long>(call.value) > tickMs;
}

std::string Shape(const Log& log, DWORD thread, int tickMs, size_t from)
{
    std::string shape;
    for (size_t i = from; i < log.size(); ++i) {
        const auto& call = log[i];
        if (call.thread != thread) {
            continue;
        }
        switch (call.kind) {
        case Kind::State:
            shape += call.value == 0x80000003u ? 'H' : call.value == 0x80000000u ? 'R' : '?';
            break;
        case Kind::Input:
            shape += call.value == 1 ? 'I' : '?';
            break;
        case Kind::Sleep:
            if (IsTick(call, tickMs)) {
                shape += 't';
            }
            break;
        }
    }
    return shape;
}

std::vector<DWORD> WorkerThreads(const Log& log, DWORD ui)
{
    std::vector<DWORD> threads;
    for (const auto& call : log) {
        if (call.thread != ui && std::find(threads.begin(), threads.end(), call.thread) == threads.end()) {
            threads.push_back(call.thread);
        }
    }
    return threads;
}

std::vector<int> Waits(const std::string& shape)
{
    std::vector<int> waits;
    size_t input = shape.find('I');
    while (input != std::string::npos) {
        const size_t next = shape.find('I', input + 1);
        if (next == std::string::npos) {
            break;
        }
        waits.push_back(static_cast<int>(std::count(shape.begin() + input, shape.begin() + next, 't')));
        input = next;
    }
    return waits;
}

std::vector<int> DrawnWaits(std::uint32_t seed, size_t count)
{
    std::mt19937 engine(seed);
    keep_awake_detail::WaitDistribution distribution = keep_awake_detail::MakeWaitDistribution();
    std::vector<int> waits;
    while (waits.size() < count) {
        waits.push_back(distribution(engine));
    }
    return waits;
}

std::vector<std::uint32_t> CreatedSeeds()
{
    std::vector<std::uint32_t> seeds;
    for (const auto& call : seams::ThreadCalls()) {
        if (call.routine == &WakeWorker && call.created) {
            seeds.push_back(keep_awake_detail::UnpackTicket(call.parameter).seed);
        }
    }
    return seeds;
}

size_t CountInputs(const Log& log)
{
    return std::count_if(log.begin(), log.end(), [](const auto& call) { return call.kind == Kind::Input; });
}

size_t CountTicks(const Log& log, int tickMs)
{
    return std::count_if(log.begin(), log.end(), [&](const auto& call) { return IsTick(call, tickMs); });
}

bool WaitForLog(const std::function<bool(const Log&)>& done, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!done(seams::EngineCalls())) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(1);
    }
    return true;
}

void Engine::SetUp()
{
    testing_support::ResetAppState();
    seams::Reset();
    ui_ = GetCurrentThreadId();
}

void Engine::TearDown()
{
    testing_support::StopWorkers();
    EXPECT_EQ(seams::LiveWorkers(), 0) << "a worker outlived the test";
    seams::Reset();
}

}  // namespace engine_testing
