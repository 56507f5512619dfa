// Benchmark of the product's worker at its one-second tick: time from
// SetActive(false) to the worker's exit at five points of a tick, and Sleep
// calls per second of other threads while on and paused (the link wraps Sleep).
#include "engine/keep_awake.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

static void WINAPI CountingSleep(DWORD milliseconds);
extern "C" {
extern void(WINAPI* __real___imp_Sleep)(DWORD);
void(WINAPI* __wrap___imp_Sleep)(DWORD) = CountingSleep;
}

namespace {

using Clock = std::chrono::steady_clock;

DWORD benchThread = 0;
std::atomic<DWORD> lastSleeper{0};
std::atomic<long long> otherSleeps{0};
std::atomic<Clock::rep> lastSleepAt{0};
std::atomic<long long> sleepsSeen{0};

bool WaitUntil(bool (*done)(), DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(1);
    }
    return true;
}

// This thread sleeps through the window in one piece, so other wake-ups are the
// worker's; the marker line lets the script sample the process meanwhile.
double SleepsPerSecond(const char* name, DWORD windowMs)
{
    std::printf("engine_bench: window %s %u ms\n", name, static_cast<unsigned>(windowMs));
    // Half a tick off the worker's phase, so the window holds whole ticks.
    Sleep(500);
    const long long before = otherSleeps.load();
    Sleep(windowMs);
    return (otherSleeps.load() - before) * 1000.0 / windowMs;
}

// Starts a worker and opens its thread; ends the benchmark on failure.
HANDLE StartWorker()
{
    lastSleeper = 0;
    SetActive(true);
    HANDLE worker = nullptr;
    if (!WaitUntil([] { return lastSleeper.load() != 0; }, 5000) ||
        (worker = OpenThread(SYNCHRONIZE, FALSE, lastSleeper.load())) == nullptr) {
        std::printf("engine_bench: no worker started\n");
        std::exit(1);
    }
    return worker;
}

}  // namespace

static void WINAPI CountingSleep(DWORD milliseconds)
{
    if (GetCurrentThreadId() != benchThread) {
        lastSleepAt = Clock::now().time_since_epoch().count();
        lastSleeper = GetCurrentThreadId();
        otherSleeps.fetch_add(1);
    }
    __real___imp_Sleep(milliseconds);
}

int main()
{
    benchThread = GetCurrentThreadId();
    std::setvbuf(stdout, nullptr, _IONBF, 0);

    std::vector<double> stops;
    for (int sample = 0; sample < 5; ++sample) {
        HANDLE worker = StartWorker();
        // Line up with the start of a tick, then switch off `phase` into it.
        sleepsSeen = otherSleeps.load();
        WaitUntil([] { return otherSleeps.load() > sleepsSeen.load(); }, 5000);
        const Clock::time_point tickStart{Clock::duration(lastSleepAt.load())};
        const auto phase = std::chrono::milliseconds(200 * sample);
        while (Clock::now() < tickStart + phase) {
            Sleep(1);
        }
        const Clock::time_point off = Clock::now();
        SetActive(false);
        const DWORD waited = WaitForSingleObject(worker, 5000);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - off).count();
        CloseHandle(worker);
        if (waited != WAIT_OBJECT_0) {
            std::printf("engine_bench: worker still running 5 s after switch-off\n");
            return 1;
        }
        std::printf("engine_bench: switch-off %3lld ms into a tick: worker ended after %7.1f ms\n",
                    static_cast<long long>(phase.count()), ms);
        stops.push_back(ms);
    }
    std::sort(stops.begin(), stops.end());

    constexpr DWORD kWindowMs = 10000;
    HANDLE worker = StartWorker();
    const double active = SleepsPerSecond("active", kWindowMs);
    SetActive(false);
    WaitForSingleObject(worker, 5000);
    CloseHandle(worker);
    const double paused = SleepsPerSecond("paused", kWindowMs);

    std::printf("engine_bench: stop latency, SetActive(false) to worker exit (goal <= 1100 ms): "
                "min %.1f ms, median %.1f ms, max %.1f ms over %zu samples\n",
                stops.front(), stops[stops.size() / 2], stops.back(), stops.size());
    std::printf("engine_bench: Sleep calls per second of threads other than the measuring one, over %u s "
                "(goal 1 active, 0 paused): active %.2f, paused %.2f\n",
                static_cast<unsigned>(kWindowMs / 1000), active, paused);
    return 0;
}
