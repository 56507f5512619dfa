// Keeping the system and the display awake: the controller the UI thread
// calls, and the worker thread that holds the execution state.
#pragma once

#include "app/app_state.h"

#include <chrono>
#include <cstdint>
#include <random>

// Switches keeping awake on or off. UI thread only; never blocks. True when
// the state asked for holds; false when no worker could start, keeping awake
// then stays off.
bool SetActive(bool on);

// Thread routine of one worker; `ticket` is what SetActive packed for it.
DWORD WINAPI WakeWorker(void* ticket);

namespace keep_awake_detail {

inline constexpr EXECUTION_STATE kHoldState = ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED;
inline constexpr EXECUTION_STATE kReleaseState = ES_CONTINUOUS;
inline constexpr int kMinWaitTicks = 35;
inline constexpr int kMaxWaitTicks = 59;

// Handed to a worker through the thread parameter, so nothing is allocated
// and the worker needs no shared slot that a quick off/on could overwrite.
struct WorkerTicket {
    std::uint32_t generation = 0;
    std::uint32_t seed = 0;
};
void* PackTicket(WorkerTicket ticket);
WorkerTicket UnpackTicket(void* packed);

using WaitDistribution = std::uniform_int_distribution<int>;
WaitDistribution MakeWaitDistribution();
INPUT ZeroMotionInput();

// True while this worker is the current one and keeping awake is on.
bool IsCurrentWorker(std::uint32_t generation);

// Sleeps one whole tick on the monotonic clock, sleeping again after an
// early wake-up.
void SleepFullTick(std::chrono::milliseconds tick);

// The worker's body; WakeWorker runs it with a one-second tick.
void RunWorker(WorkerTicket ticket, std::chrono::milliseconds tick);

}  // namespace keep_awake_detail
