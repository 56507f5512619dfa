// Link seams (-Wl,--wrap=__imp_NAME): the product's calls of a few Win32
// functions come here, for what Wine cannot show; none reaches the session.
#pragma once

#include "app/app_state.h"

#include <string>
#include <vector>

namespace seams {

// What a thread did: H held and R released the execution state, I sent one
// zero-motion mouse input (? anything else), t slept a worker's tick.
std::string Shape(DWORD thread);
// The threads that ran workers, in order (an ended thread's id can come back).
std::vector<DWORD> Workers();
int LiveWorkers();
bool WaitForLiveWorkers(int count);
// The tick of workers started from now on, how many of them fail to start,
// and the seed they draw their waits from (-1: the one SetActive drew).
extern int workerTickMs;
extern int failedWorkers;
extern long long workerSeed;

// UI thread only: the routine of every thread started,
extern std::vector<LPTHREAD_START_ROUTINE> threadRoutines;
// every Shell_NotifyIconW call (NIM_ADD refused `refusedAdds` more times, -1 always),
struct Notification {
    DWORD message;
    NOTIFYICONDATAW data;
};
extern std::vector<Notification> notifications;
extern int refusedAdds;
// the last menu shown as "text id|" per item (* checked, ~ grayed), "-|" per separator,
extern std::wstring lastMenu;
// every ShellExecuteW call as "verb file show",
extern std::vector<std::wstring> opened;
// GetModuleFileNameW's path when set, cut to the buffer as Windows does,
extern std::wstring modulePath;
// and the application identity a shell link was last given.
extern std::wstring shortcutIdentity;

}  // namespace seams
