// Link seams (-Wl,--wrap=__imp_NAME): the program's calls of a few Win32
// functions come here, for what Wine cannot show.
#pragma once

#include "app/app_state.h"

#include <atomic>
#include <string>
#include <vector>

namespace seams {

// What a thread did: H hold, R release, I one zero-motion mouse input, t a worker's tick, ? anything else.
std::string Shape(DWORD thread);
// The threads that ran workers, in order.
std::vector<DWORD> Workers();
inline std::atomic<int> liveWorkers{0};
bool WaitForLiveWorkers(int count);
// For workers started from now on: their tick (0: the shipped one), how many fail to start, their seed (-1: drawn).
inline int workerTickMs = 1000;
inline int failedWorkers = 0;
inline long long workerSeed = -1;
// GetTickCount64's next reading is as ever, the one after it `ms` later.
void LeapClockAfterNextReading(ULONGLONG ms);
// WinHTTP's calls: "timeouts R C S Rc", "option N=V", "status N", "schemes", "credentials TARGET SCHEME none|given".
inline std::vector<std::wstring> httpSettings;

// UI thread only.
inline std::vector<std::uint32_t> workerSeeds;
// "id ms" per timer set on a window, "id off" per timer killed.
inline std::vector<std::wstring> timers;
struct Notification {
    DWORD message;
    NOTIFYICONDATAW data;
};
// Every Shell_NotifyIconW call; NIM_ADD is refused `refusedAdds` more times (-1: always).
inline std::vector<Notification> notifications;
inline int refusedAdds = 0;
// The last menu tracked: "text id|" per item (* checked, ~ grayed), "-|" per separator.
inline std::wstring lastMenu;
inline HMENU lastMenuHandle = nullptr;
// "verb file show" per ShellExecuteW call.
inline std::vector<std::wstring> opened;
// GetModuleFileNameW's path when set, cut to the buffer as Windows does.
inline std::wstring modulePath;
// The identity a shell link was last given, then " committed" when its store was; and the process's.
inline std::wstring shortcutIdentity;
inline std::wstring processIdentity;
// "caption: text (style)" per message box; none is shown.
inline std::vector<std::wstring> messageBoxes;
// "name action" per change of a message filter, plus " (other window)" when not on the program's window.
inline std::vector<std::wstring> messageFilters;

// Any thread: every effect others see, in order: "add", "version N", "modify", "balloon", "delete";
// "menu 0xFLAGS at X,Y" (plus " foreground" when its owner was) once a menu has closed; "post N" (plus
// " elsewhere" when not to the program's window); "set NAME UNITS" and "unset NAME" per registry value;
// "clipboard FORMAT UNITS" per block, its units as handed over.
inline std::vector<std::wstring> sequence;
// The next `refusedWrites` registry writes or deletions are denied.
inline int refusedWrites = 0;
// GlobalAlloc's blocks come filled with 0xAB; the next `failedAllocs` fail.
inline int failedAllocs = 0;
// Whether the shell shows the icon (NIM_ADD accepted, NIM_DELETE not yet).
inline bool iconShown = false;
// The next `failedSeeds` draws of a seed fail.
inline int failedSeeds = 0;
// The next `proxyChallenges` answers read as a proxy's 407, offering `proxySchemes` (WINHTTP_AUTH_SCHEME_*).
inline int proxyChallenges = 0;
inline DWORD proxySchemes = 0;

}  // namespace seams
