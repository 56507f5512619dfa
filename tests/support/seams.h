// Link seams (-Wl,--wrap=__imp_NAME): the program's calls of a few Win32
// functions come here, for what Wine cannot show.
#pragma once

#include "app/app_state.h"

#include <string>
#include <vector>

namespace seams {

// What a thread did: H held and R released the execution state, I sent one
// zero-motion mouse input, t slept a worker's tick (more than half of it), ?
// anything else.
std::string Shape(DWORD thread);
// The threads that ran workers, in order (an ended thread's id can come back).
std::vector<DWORD> Workers();
int LiveWorkers();
bool WaitForLiveWorkers(int count);
// The tick of workers started from now on (0: the product's own), how many of
// them fail to start, and the seed they draw their waits from (-1: the one
// SetActive drew).
extern int workerTickMs;
extern int failedWorkers;
extern long long workerSeed;

// GetTickCount64's next reading is as ever, the one after it `ms` later.
void LeapClockAfterNextReading(ULONGLONG ms);
// Written by whichever thread asks the service: the WinHTTP time-outs and
// options set, as "timeouts R C S Rc" and "option N=V".
extern std::vector<std::wstring> httpSettings;

// UI thread only: the seed of every worker started,
extern std::vector<std::uint32_t> workerSeeds;
// every timer set on a window, as "id ms", or killed, as "id off",
extern std::vector<std::wstring> timers;
// every Shell_NotifyIconW call (NIM_ADD refused `refusedAdds` more times, -1 always),
struct Notification {
    DWORD message;
    NOTIFYICONDATAW data;
};
extern std::vector<Notification> notifications;
extern int refusedAdds;
// the last menu shown as "text id|" per item (* checked, ~ grayed), "-|" per separator,
// and how it was tracked, as "flags 0xNN at X,Y" plus " foreground" when its owner was;
extern std::wstring lastMenu;
extern std::wstring lastTracking;
extern HMENU lastMenuHandle;
// every ShellExecuteW call as "verb file show",
extern std::vector<std::wstring> opened;
// GetModuleFileNameW's path when set, cut to the buffer as Windows does,
extern std::wstring modulePath;
// the application identity a shell link was last given, and the process's,
extern std::wstring shortcutIdentity;
extern std::wstring processIdentity;
// every message box, as "caption: text (style)"; none is shown;
extern std::vector<std::wstring> messageBoxes;
// and every change of a window's message filter, as "message action", the message by its registered name,
// "(other window)" added when it was not the program's window.
extern std::vector<std::wstring> messageFilters;

// Any thread: every effect that others see, in the order made: the shell's "add", "version N", "modify",
// "balloon" and "delete"; "menu" once a menu has been tracked and closed; "post N" for a message posted;
// "set NAME TEXT" (a string's units, else "?") and "unset NAME" for a registry value; "clipboard N TEXT" for a block
// placed in format N, with every unit of it as fixture::Units shows them (the clipboard may mend a block as it takes
// it).
extern std::vector<std::wstring> sequence;
// The next `refusedWrites` registry writes or deletions fail as a read-only key's would.
extern int refusedWrites;
// Blocks from GlobalAlloc come filled with 0xAB, never zero as fresh memory often is; `failedAllocs` more fail.
extern int failedAllocs;

}  // namespace seams
