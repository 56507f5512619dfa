// Link seams of the test executables. The product calls these Win32
// functions directly; the test link (-Wl,--wrap=__imp_NAME) routes each
// call through a replacement here that records it and, unless a test asks
// otherwise, forwards it to the real function.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace seams {

// ---- Called from any thread (the keep-awake worker): always recorded. ----
struct ExecutionStateCall {
    DWORD thread;
    EXECUTION_STATE state;
};
struct InputCall {
    DWORD thread;
    UINT count;
    INPUT input;
    int size;
};
std::vector<ExecutionStateCall> ExecutionStateCalls();
std::vector<InputCall> InputCalls();
// The same calls, and the Sleep calls of worker threads, in one log whose
// order holds across threads: a worker's schedule can be read back in ticks.
struct EngineCall {
    enum class Kind { State, Input, Sleep };
    DWORD thread;
    Kind kind;
    DWORD value;  // the execution state, the input count, or the milliseconds asked for
};
std::vector<EngineCall> EngineCalls();
// When false (the default) SendInput is recorded but not forwarded, so fast
// worker tests inject nothing into the session.
extern std::atomic<bool> forwardSendInput;

// CreateThread: threads whose routine is the keep-awake worker run it with
// `workerTickMs` ticks instead of one second when that is non-zero.
extern std::atomic<int> workerTickMs;
// The next N CreateThread calls fail with ERROR_NOT_ENOUGH_MEMORY.
extern std::atomic<int> failCreateThread;
struct ThreadCall {
    LPTHREAD_START_ROUTINE routine;
    void* parameter;
};
std::vector<ThreadCall> ThreadCalls();
// Workers started through the seam and not yet returned.
int LiveWorkers();
// Waits (polling, with a deadline) until LiveWorkers() == n.
bool WaitForLiveWorkers(int n, DWORD timeoutMs);

// ---- UI-thread functions: recorded; hooks replace the real call. ----
struct NotifyCall {
    DWORD message;
    NOTIFYICONDATAW data;
};
std::vector<NotifyCall> NotifyCalls();
extern std::function<BOOL(DWORD, PNOTIFYICONDATAW)> shellNotifyIconHook;

struct MenuItem {
    UINT id;
    UINT type;   // MFT_* of the item
    UINT state;  // MFS_* of the item
    std::wstring text;
};
struct TrackedMenu {
    std::vector<MenuItem> items;
};
// TrackPopupMenu is never forwarded (it would block until the menu closes):
// the seam reads the menu back and returns at once.
std::vector<TrackedMenu> TrackedMenus();

// ShellExecuteW is recorded and never forwarded.
struct ShellExecuteCall {
    std::wstring verb;
    std::wstring file;
    INT show;
};
std::vector<ShellExecuteCall> ShellExecuteCalls();

std::vector<std::wstring> AppUserModelIds();

// DefWindowProcW calls of every window (forwarded).
struct DefaultCall {
    UINT message;
    WPARAM wParam;
};
std::vector<DefaultCall> DefaultCalls();
extern std::function<HRESULT(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*)> coCreateInstanceHook;
extern std::function<HRESULT(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*)> knownFolderPathHook;
extern std::function<HANDLE(UINT, HANDLE)> setClipboardDataHook;
// Replaces GetModuleFileNameW (e.g. to report a path longer than MAX_PATH,
// which Wine cannot start a program from).
extern std::function<DWORD(HMODULE, LPWSTR, DWORD)> moduleFileNameHook;


// CreateDirectoryW calls (forwarded): the paths asked for, in order.
struct CreateDirectoryCall {
    std::wstring path;
};
std::vector<CreateDirectoryCall> CreateDirectoryCalls();

// Named CreateMutexW calls (forwarded), so that a test running wWinMain in
// its own process can close the single-instance mutex afterwards.
struct MutexCall {
    std::wstring name;
    HANDLE handle;
};
std::vector<MutexCall> MutexCalls();

// Forwarders to the real functions, for hooks that wrap them.
BOOL RealShellNotifyIcon(DWORD message, PNOTIFYICONDATAW data);
HRESULT RealCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object);

// WinHTTP (declared without dllimport, so wrapped by its plain name):
// handles opened and closed, with the connect port and the request flags.
// Always forwarded.
struct HttpEvent {
    enum Kind { Open, Connect, OpenRequest, Close } kind;
    void* handle;            // the handle returned or closed
    unsigned short port;     // Connect
    DWORD flags;             // OpenRequest
    std::wstring text;       // Connect: host; OpenRequest: verb and object
};
std::vector<HttpEvent> HttpEvents();

// Clears every record and hook. Call with no worker running.
void Reset();

}  // namespace seams
