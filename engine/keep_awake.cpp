// rand_s is only declared with this defined.
#define _CRT_RAND_S  // NOLINT(bugprone-reserved-identifier)
#include <cstdlib>

#include "engine/keep_awake.h"

namespace keep_awake_detail {

static_assert(sizeof(void*) >= sizeof(std::uint64_t), "the ticket travels in the thread parameter");

void* PackTicket(WorkerTicket ticket)
{
    const std::uint64_t bits = (std::uint64_t{ticket.generation} << 32) | ticket.seed;
    // A value, not an address: the worker only unpacks it, never dereferences it.
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(bits));  // NOLINT(performance-no-int-to-ptr)
}

WorkerTicket UnpackTicket(void* packed)
{
    const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(packed));
    return WorkerTicket{static_cast<std::uint32_t>(bits >> 32), static_cast<std::uint32_t>(bits)};
}

WaitDistribution MakeWaitDistribution()
{
    return WaitDistribution(kMinWaitTicks, kMaxWaitTicks);
}

INPUT ZeroMotionInput()
{
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = 0;
    input.mi.dy = 0;
    input.mi.mouseData = 0;
    input.mi.dwFlags = MOUSEEVENTF_MOVE;
    input.mi.time = 0;
    input.mi.dwExtraInfo = 0;
    return input;
}

bool IsCurrentWorker(std::uint32_t generation)
{
    return AppState::workerRunning.load() && AppState::workerGeneration.load() == generation;
}

void SleepFullTick(std::chrono::milliseconds tick)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point until = Clock::now() + tick;
    for (Clock::time_point now = Clock::now(); now < until; now = Clock::now()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
        Sleep(static_cast<DWORD>(left.count()));
    }
}

void RunWorker(WorkerTicket ticket, std::chrono::milliseconds tick)
{
    std::mt19937 engine(ticket.seed);
    WaitDistribution waitTicks = MakeWaitDistribution();
    INPUT input = ZeroMotionInput();

    SetThreadExecutionState(kHoldState);
    while (IsCurrentWorker(ticket.generation)) {
        SendInput(1, &input, sizeof(INPUT));
        SetThreadExecutionState(kHoldState);
        const int n = waitTicks(engine);
        for (int i = 0; i < n && IsCurrentWorker(ticket.generation); ++i) {
            SleepFullTick(tick);
        }
    }
    // The request belongs to this thread, so only this thread can withdraw it.
    SetThreadExecutionState(kReleaseState);
}

// The seed is drawn here, on the UI thread, so that a failing source is seen
// before the running flag is raised. rand_s takes its bytes from the system's
// generator (RtlGenRandom) and reports a failure as a code, not an exception.
static bool DrawSeed(std::uint32_t& seed)
{
    seed = 0;
    unsigned int value = 0;
    if (rand_s(&value) != 0) {
        return false;
    }
    seed = value;
    return true;
}

}  // namespace keep_awake_detail

using namespace keep_awake_detail;

DWORD WINAPI WakeWorker(void* ticket)
{
    RunWorker(UnpackTicket(ticket), std::chrono::seconds(1));
    return 0;
}

bool SetActive(bool on)
{
    if (!on) {
        AppState::active = false;
        AppState::workerRunning.store(false);
        SetThreadExecutionState(kReleaseState);
        return true;
    }

    if (AppState::workerRunning.load()) {
        AppState::active = true;
        return true;
    }
    // Without a worker nothing keeps the computer awake: the state stays
    // paused, so the icon, tooltip and menu do not claim otherwise.
    AppState::active = false;
    WorkerTicket ticket;
    if (!DrawSeed(ticket.seed)) {
        return false;  // the next SetActive(true) tries again
    }
    // A new generation first: a worker still winding down from a quick
    // off/on sees it and ends instead of running beside the new one.
    ticket.generation = AppState::workerGeneration.load() + 1;
    AppState::workerGeneration.store(ticket.generation);
    AppState::workerRunning.store(true);

    HANDLE thread = CreateThread(nullptr, 0, WakeWorker, PackTicket(ticket), 0, nullptr);
    if (thread == nullptr) {
        AppState::workerRunning.store(false);
        return false;
    }
    CloseHandle(thread);
    AppState::active = true;
    return true;
}
