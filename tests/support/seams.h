// Link seams: the program's calls of the functions in seams.inc come here first, for what Wine cannot show.
#pragma once

#include "app/app_state.h"

#include <atomic>
#include <string>
#include <vector>

namespace seams {

using Calls = std::vector<std::wstring>;

// Every call another program would see, in order, as "NAME ARGUMENTS" ("PostMessageW WM_NULL"), a NUL shown as ␀,
// "elsewhere" when not on the program's window; those beginning with `prefix`.
Calls Log(const std::wstring& prefix = L"");
void ClearLog();

// Every record the shell got. The shell refuses NIM_ADD while it shows the icon, NIM_MODIFY while it does not, and
// NIM_ADD `refusedAdds` more times (-1: always).
struct Notification {
    DWORD message;
    NOTIFYICONDATAW data;
};
inline std::vector<Notification> notifications;
inline int refusedAdds = 0;
inline bool iconShown = false;
// The last menu tracked, an item per entry: "TEXT ID", plus " checked" or " grayed"; "-" for a separator.
inline Calls menuItems;
inline HMENU lastMenu = nullptr;

// What a thread did: "hold", "release", "input" (one zero-motion mouse input), "N ticks" in a row, or else.
Calls Steps(DWORD thread);
// The threads that ran workers, in order, their seeds, and how many still run.
std::vector<DWORD> Workers();
inline std::vector<std::uint32_t> workerSeeds;
inline std::atomic<int> liveWorkers{0};
bool WaitForLiveWorkers(int count);
// Workers started from now on: their tick (0: as shipped), how many fail to start, their seed (-1: drawn).
inline int workerTickMs = 1000;
inline int failedWorkers = 0;
inline long long workerSeed = -1;
// The next `failedSeeds` draws of a seed fail.
inline int failedSeeds = 0;

// GetTickCount64's next reading is as ever, the one after it `ms` later.
void LeapClockAfterNextReading(ULONGLONG ms);
// GetModuleFileNameW's path when set, cut to the buffer as Windows does.
inline std::wstring modulePath;
// The next `refusedWrites` registry writes or deletions are denied.
inline int refusedWrites = 0;
// GlobalAlloc's blocks come filled with 0xAB; the next `failedAllocs` fail.
inline int failedAllocs = 0;
// The next `proxyChallenges` statuses read as a proxy's 407, offering `proxySchemes` (WINHTTP_AUTH_SCHEME_*).
inline int proxyChallenges = 0;
inline DWORD proxySchemes = 0;

}  // namespace seams
