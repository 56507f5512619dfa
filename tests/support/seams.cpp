#include "tests/support/seams.h"

#include "engine/keep_awake.h"

#include <winhttp.h>

#include <chrono>
#include <mutex>

// Declares the real import and installs the replacement for one function.
#define NOCTARA_SEAM(Ret, Name, Params)                      \
    static Ret WINAPI Seam_##Name Params;                    \
    extern "C" {                                             \
    extern Ret(WINAPI* __real___imp_##Name) Params;          \
    Ret(WINAPI* __wrap___imp_##Name) Params = Seam_##Name;   \
    }

NOCTARA_SEAM(EXECUTION_STATE, SetThreadExecutionState, (EXECUTION_STATE))
NOCTARA_SEAM(UINT, SendInput, (UINT, LPINPUT, int))
NOCTARA_SEAM(HANDLE, CreateThread, (LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD))
NOCTARA_SEAM(BOOL, Shell_NotifyIconW, (DWORD, PNOTIFYICONDATAW))
NOCTARA_SEAM(BOOL, TrackPopupMenu, (HMENU, UINT, int, int, int, HWND, const RECT*))
NOCTARA_SEAM(HINSTANCE, ShellExecuteW, (HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT))
NOCTARA_SEAM(HRESULT, SetCurrentProcessExplicitAppUserModelID, (PCWSTR))
NOCTARA_SEAM(HRESULT, CoCreateInstance, (REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*))
NOCTARA_SEAM(HRESULT, SHGetKnownFolderPath, (REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*))
NOCTARA_SEAM(HANDLE, SetClipboardData, (UINT, HANDLE))
NOCTARA_SEAM(LRESULT, DefWindowProcW, (HWND, UINT, WPARAM, LPARAM))
NOCTARA_SEAM(void, Sleep, (DWORD))
NOCTARA_SEAM(DWORD, GetModuleFileNameW, (HMODULE, LPWSTR, DWORD))
NOCTARA_SEAM(BOOL, CreateDirectoryW, (LPCWSTR, LPSECURITY_ATTRIBUTES))
NOCTARA_SEAM(HANDLE, CreateMutexW, (LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR))

namespace seams {
namespace {

std::mutex recordLock;
std::vector<ExecutionStateCall> executionStateCalls;
std::vector<InputCall> inputCalls;
std::vector<ThreadCall> threadCalls;
std::vector<NotifyCall> notifyCalls;
std::vector<TrackedMenu> trackedMenus;
std::vector<ShellExecuteCall> shellExecuteCalls;
std::vector<std::wstring> appUserModelIds;
std::vector<DefaultCall> defaultCalls;
std::vector<HttpEvent> httpEvents;
std::vector<EngineCall> engineCalls;
std::vector<CreateDirectoryCall> createDirectoryCalls;
std::vector<MutexCall> mutexCalls;
std::atomic<int> liveWorkers{0};
// Only worker threads log their Sleep calls; the tests' own polling would drown them.
thread_local bool onWorkerThread = false;

template <class T>
std::vector<T> Snapshot(const std::vector<T>& records)
{
    std::lock_guard<std::mutex> lock(recordLock);
    return records;
}

template <class T>
void Record(std::vector<T>& records, T record)
{
    std::lock_guard<std::mutex> lock(recordLock);
    records.push_back(std::move(record));
}

struct WorkerLaunch {
    void* ticket;
    int tickMs;
};

DWORD WINAPI CountedWorker(void* parameter)
{
    const WorkerLaunch launch = *static_cast<WorkerLaunch*>(parameter);
    delete static_cast<WorkerLaunch*>(parameter);
    onWorkerThread = true;
    keep_awake_detail::RunWorker(keep_awake_detail::UnpackTicket(launch.ticket),
                                 std::chrono::milliseconds(launch.tickMs));
    liveWorkers.fetch_sub(1);
    return 0;
}

}  // namespace

std::atomic<bool> forwardSendInput{false};
std::atomic<int> workerTickMs{0};
std::atomic<int> failCreateThread{0};
std::function<BOOL(DWORD, PNOTIFYICONDATAW)> shellNotifyIconHook;
std::function<HRESULT(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*)> coCreateInstanceHook;
std::function<HRESULT(REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR*)> knownFolderPathHook;
std::function<HANDLE(UINT, HANDLE)> setClipboardDataHook;
std::function<DWORD(HMODULE, LPWSTR, DWORD)> moduleFileNameHook;

std::vector<ExecutionStateCall> ExecutionStateCalls() { return Snapshot(executionStateCalls); }
std::vector<InputCall> InputCalls() { return Snapshot(inputCalls); }
std::vector<ThreadCall> ThreadCalls() { return Snapshot(threadCalls); }
std::vector<NotifyCall> NotifyCalls() { return Snapshot(notifyCalls); }
std::vector<TrackedMenu> TrackedMenus() { return Snapshot(trackedMenus); }
std::vector<ShellExecuteCall> ShellExecuteCalls() { return Snapshot(shellExecuteCalls); }
std::vector<std::wstring> AppUserModelIds() { return Snapshot(appUserModelIds); }
std::vector<DefaultCall> DefaultCalls() { return Snapshot(defaultCalls); }
std::vector<HttpEvent> HttpEvents() { return Snapshot(httpEvents); }
std::vector<EngineCall> EngineCalls() { return Snapshot(engineCalls); }
std::vector<CreateDirectoryCall> CreateDirectoryCalls() { return Snapshot(createDirectoryCalls); }
std::vector<MutexCall> MutexCalls() { return Snapshot(mutexCalls); }
int LiveWorkers() { return liveWorkers.load(); }

bool WaitForLiveWorkers(int n, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (liveWorkers.load() != n) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(1);
    }
    return true;
}

static std::vector<MenuItem> ReadMenu(HMENU menu)
{
    std::vector<MenuItem> items;
    const int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        wchar_t text[256] = {};
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = ARRAYSIZE(text);
        if (GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info)) {
            items.push_back(MenuItem{info.wID, info.fType, info.fState, text});
        }
    }
    return items;
}

BOOL RealShellNotifyIcon(DWORD message, PNOTIFYICONDATAW data) { return __real___imp_Shell_NotifyIconW(message, data); }
HRESULT RealCoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object)
{
    return __real___imp_CoCreateInstance(clsid, outer, context, iid, object);
}

void Reset()
{
    {
        std::lock_guard<std::mutex> lock(recordLock);
        executionStateCalls.clear();
        inputCalls.clear();
        threadCalls.clear();
        notifyCalls.clear();
        trackedMenus.clear();
        shellExecuteCalls.clear();
        appUserModelIds.clear();
        defaultCalls.clear();
        httpEvents.clear();
        engineCalls.clear();
        createDirectoryCalls.clear();
        mutexCalls.clear();
    }
    forwardSendInput = false;
    workerTickMs = 0;
    failCreateThread = 0;
    shellNotifyIconHook = nullptr;
    coCreateInstanceHook = nullptr;
    knownFolderPathHook = nullptr;
    setClipboardDataHook = nullptr;
    moduleFileNameHook = nullptr;
}

}  // namespace seams

using namespace seams;

static EXECUTION_STATE WINAPI Seam_SetThreadExecutionState(EXECUTION_STATE state)
{
    Record(executionStateCalls, ExecutionStateCall{GetCurrentThreadId(), state});
    Record(engineCalls, EngineCall{GetCurrentThreadId(), EngineCall::Kind::State, state});
    return __real___imp_SetThreadExecutionState(state);
}

static UINT WINAPI Seam_SendInput(UINT count, LPINPUT inputs, int size)
{
    Record(inputCalls, InputCall{GetCurrentThreadId(), count, count > 0 ? inputs[0] : INPUT{}, size});
    Record(engineCalls, EngineCall{GetCurrentThreadId(), EngineCall::Kind::Input, count});
    return forwardSendInput ? __real___imp_SendInput(count, inputs, size) : count;
}

static void WINAPI Seam_Sleep(DWORD milliseconds)
{
    if (onWorkerThread) {
        Record(engineCalls, EngineCall{GetCurrentThreadId(), EngineCall::Kind::Sleep, milliseconds});
    }
    __real___imp_Sleep(milliseconds);
}

static HANDLE WINAPI Seam_CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE routine,
                                       LPVOID parameter, DWORD flags, LPDWORD id)
{
    if (failCreateThread.load() > 0) {
        failCreateThread.fetch_sub(1);
        Record(threadCalls, ThreadCall{routine, parameter});
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE thread;
    if (routine == &WakeWorker) {
        // Every worker is counted from creation to return; fast ticks on request.
        const int tick = workerTickMs.load();
        auto* launch = new WorkerLaunch{parameter, tick > 0 ? tick : 1000};
        liveWorkers.fetch_add(1);
        thread = __real___imp_CreateThread(security, stack, CountedWorker, launch, flags, id);
        if (thread == nullptr) {
            liveWorkers.fetch_sub(1);
            delete launch;
        }
    } else {
        thread = __real___imp_CreateThread(security, stack, routine, parameter, flags, id);
    }
    Record(threadCalls, ThreadCall{routine, parameter});
    return thread;
}

static BOOL WINAPI Seam_Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data)
{
    Record(notifyCalls, NotifyCall{message, *data});
    return shellNotifyIconHook ? shellNotifyIconHook(message, data) : __real___imp_Shell_NotifyIconW(message, data);
}

static BOOL WINAPI Seam_TrackPopupMenu(HMENU menu, UINT, int, int, int, HWND, const RECT*)
{
    Record(trackedMenus, TrackedMenu{ReadMenu(menu)});
    return TRUE;
}

static HINSTANCE WINAPI Seam_ShellExecuteW(HWND, LPCWSTR verb, LPCWSTR file, LPCWSTR, LPCWSTR, INT show)
{
    Record(shellExecuteCalls, ShellExecuteCall{verb ? verb : L"", file ? file : L"", show});
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(33));
}

static HRESULT WINAPI Seam_SetCurrentProcessExplicitAppUserModelID(PCWSTR id)
{
    Record(appUserModelIds, std::wstring(id ? id : L""));
    return __real___imp_SetCurrentProcessExplicitAppUserModelID(id);
}

static HRESULT WINAPI Seam_CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                            LPVOID* object)
{
    return coCreateInstanceHook ? coCreateInstanceHook(clsid, outer, context, iid, object)
                                : __real___imp_CoCreateInstance(clsid, outer, context, iid, object);
}

static HRESULT WINAPI Seam_SHGetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, HANDLE token, PWSTR* path)
{
    return knownFolderPathHook ? knownFolderPathHook(id, flags, token, path)
                               : __real___imp_SHGetKnownFolderPath(id, flags, token, path);
}

// Callers compiled with shlobj.h reach it by its plain name (declared STDAPI,
// without dllimport).
extern "C" HRESULT WINAPI __wrap_SHGetKnownFolderPath(REFKNOWNFOLDERID id, DWORD flags, HANDLE token, PWSTR* path)
{
    return Seam_SHGetKnownFolderPath(id, flags, token, path);
}

static HANDLE WINAPI Seam_SetClipboardData(UINT format, HANDLE data)
{
    return setClipboardDataHook ? setClipboardDataHook(format, data) : __real___imp_SetClipboardData(format, data);
}

static DWORD WINAPI Seam_GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size)
{
    return moduleFileNameHook ? moduleFileNameHook(module, buffer, size)
                              : __real___imp_GetModuleFileNameW(module, buffer, size);
}

static LRESULT WINAPI Seam_DefWindowProcW(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Record(defaultCalls, DefaultCall{message, wParam});
    return __real___imp_DefWindowProcW(window, message, wParam, lParam);
}

static BOOL WINAPI Seam_CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
{
    const BOOL created = __real___imp_CreateDirectoryW(path, security);
    const DWORD error = GetLastError();
    Record(createDirectoryCalls, CreateDirectoryCall{path ? path : L""});
    SetLastError(error);
    return created;
}

static HANDLE WINAPI Seam_CreateMutexW(LPSECURITY_ATTRIBUTES security, BOOL owner, LPCWSTR name)
{
    HANDLE mutex = __real___imp_CreateMutexW(security, owner, name);
    // Unnamed mutexes are not recorded: the runtime may make them under the record's own lock.
    if (name != nullptr) {
        const DWORD error = GetLastError();
        Record(mutexCalls, MutexCall{name, mutex});
        SetLastError(error);  // the caller reads ERROR_ALREADY_EXISTS next
    }
    return mutex;
}

// WinHTTP functions are plain imports (no __imp_ pointer in the caller), so
// the link wraps the symbols themselves.
extern "C" {
HINTERNET WINAPI __real_WinHttpOpen(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD);
HINTERNET WINAPI __real_WinHttpConnect(HINTERNET, LPCWSTR, INTERNET_PORT, DWORD);
HINTERNET WINAPI __real_WinHttpOpenRequest(HINTERNET, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR*, DWORD);
BOOL WINAPI __real_WinHttpCloseHandle(HINTERNET);

HINTERNET WINAPI __wrap_WinHttpOpen(LPCWSTR agent, DWORD access, LPCWSTR proxy, LPCWSTR bypass, DWORD flags)
{
    HINTERNET handle = __real_WinHttpOpen(agent, access, proxy, bypass, flags);
    Record(httpEvents, HttpEvent{HttpEvent::Open, handle, 0, flags, agent ? agent : L""});
    return handle;
}

HINTERNET WINAPI __wrap_WinHttpConnect(HINTERNET session, LPCWSTR host, INTERNET_PORT port, DWORD reserved)
{
    HINTERNET handle = __real_WinHttpConnect(session, host, port, reserved);
    Record(httpEvents, HttpEvent{HttpEvent::Connect, handle, port, 0, host ? host : L""});
    return handle;
}

HINTERNET WINAPI __wrap_WinHttpOpenRequest(HINTERNET connection, LPCWSTR verb, LPCWSTR object, LPCWSTR version,
                                           LPCWSTR referrer, LPCWSTR* acceptTypes, DWORD flags)
{
    HINTERNET handle = __real_WinHttpOpenRequest(connection, verb, object, version, referrer, acceptTypes, flags);
    Record(httpEvents, HttpEvent{HttpEvent::OpenRequest, handle, 0, flags,
                                 std::wstring(verb ? verb : L"") + L" " + (object ? object : L"")});
    return handle;
}

BOOL WINAPI __wrap_WinHttpCloseHandle(HINTERNET handle)
{
    Record(httpEvents, HttpEvent{HttpEvent::Close, handle, 0, 0, L""});
    return __real_WinHttpCloseHandle(handle);
}
}
