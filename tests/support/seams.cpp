#include "tests/support/seams.h"

#include "engine/keep_awake.h"
#include "tests/support/fixture.h"

#include <objbase.h>
#include <objidl.h>
#include <propkey.h>
#include <shobjidl.h>
#include <winhttp.h>

#include <map>

// Declares the real function and puts the replacement in its place.
#define SEAM(Ret, Name, Params)                            \
    static Ret WINAPI Seam_##Name Params;                  \
    extern "C" {                                           \
    extern Ret(WINAPI* __real___imp_##Name) Params;        \
    Ret(WINAPI* __wrap___imp_##Name) Params = Seam_##Name; \
    }
#define BY_NAME(Ret, Name, Params)   \
    extern "C" {                     \
    Ret WINAPI __real_##Name Params; \
    Ret WINAPI __wrap_##Name Params; \
    }
#include "tests/support/seams.inc"

namespace seams {

namespace {

// Written by the workers' and the check's threads too.
SRWLOCK lock = SRWLOCK_INIT;

struct Guard {
    Guard() { AcquireSRWLockExclusive(&lock); }
    ~Guard() { ReleaseSRWLockExclusive(&lock); }
};

Calls log;
std::map<DWORD, Calls> steps;
std::vector<DWORD> workers;
thread_local int tickMs = 0;
int clockReadingsLeft = 0;
ULONGLONG clockLeap = 0;
ULONGLONG clockBase = 0;

std::wstring Text(const std::wstring& text)
{
    return text;
}

std::wstring Text(long long number)
{
    return std::to_wstring(number);
}

// A call as the log shows it: the function's name, then its arguments; empty ones left out.
template <typename... Words>
void Record(const Words&... words)
{
    std::wstring call;
    ((call += Text(words).empty() ? L"" : L" " + Text(words)), ...);
    const Guard guard;
    log.push_back(call.substr(1));
}

void Step(const std::wstring& step)
{
    const Guard guard;
    steps[GetCurrentThreadId()].push_back(step);
}

// The product's worker at the test's tick, or as shipped.
DWORD WINAPI TestWorker(void* ticket)
{
    tickMs = workerTickMs == 0 ? 1000 : workerTickMs;
    if (workerTickMs == 0) {
        WakeWorker(ticket);
    } else {
        keep_awake_detail::RunWorker(keep_awake_detail::UnpackTicket(ticket), std::chrono::milliseconds(tickMs));
    }
    liveWorkers--;
    return 0;
}

}  // namespace

Calls Log(const std::wstring& prefix)
{
    const Guard guard;
    Calls calls;
    std::copy_if(log.begin(), log.end(), std::back_inserter(calls),
                 [&](auto& call) { return call.starts_with(prefix); });
    return calls;
}

void ClearLog()
{
    const Guard guard;
    log.clear();
}

Calls Steps(DWORD thread)
{
    const Guard guard;
    Calls words;
    for (const std::wstring& step : steps[thread]) {
        if (step == L"tick" && !words.empty() && words.back().ends_with(L" ticks")) {
            words.back() = std::to_wstring(std::stoi(words.back()) + 1) + L" ticks";
        } else {
            words.push_back(step == L"tick" ? L"1 ticks" : step);
        }
    }
    return words;
}

std::vector<DWORD> Workers()
{
    const Guard guard;
    return workers;
}

bool WaitForLiveWorkers(int count)
{
    return fixture::PumpUntil([count] { return liveWorkers == count; }, 5000);
}

void LeapClockAfterNextReading(ULONGLONG ms)
{
    const Guard guard;
    clockReadingsLeft = 2;
    clockLeap = ms;
}

}  // namespace seams

using namespace seams;

static EXECUTION_STATE WINAPI Seam_SetThreadExecutionState(EXECUTION_STATE state)
{
    const bool hold = state == (ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED);
    Step(hold ? L"hold" : state == ES_CONTINUOUS ? L"release" : L"state " + Text(state));
    return __real___imp_SetThreadExecutionState(state);
}

static UINT WINAPI Seam_SendInput(UINT count, LPINPUT input, int size)
{
    const MOUSEINPUT& mouse = input->mi;
    const bool still = mouse.dwFlags == MOUSEEVENTF_MOVE && mouse.dx == 0 && mouse.dy == 0 && mouse.mouseData == 0 &&
                       mouse.time == 0 && mouse.dwExtraInfo == 0;
    Step(count == 1 && size == sizeof(INPUT) && input->type == INPUT_MOUSE && still ? L"input" : L"other input");
    return count;
}

// A tick, told apart from the short sleeps that finish one woken early.
static void WINAPI Seam_Sleep(DWORD milliseconds)
{
    if (tickMs > 0 && 2 * milliseconds > static_cast<DWORD>(tickMs)) {
        Step(milliseconds <= static_cast<DWORD>(tickMs) ? L"tick" : L"sleep " + Text(milliseconds));
    }
    __real___imp_Sleep(milliseconds);
}

static HANDLE WINAPI Seam_CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE routine,
                                       LPVOID parameter, DWORD flags, LPDWORD id)
{
    if (routine != &WakeWorker) {
        return __real___imp_CreateThread(security, stack, routine, parameter, flags, id);
    }
    if (failedWorkers > 0) {
        failedWorkers--;
        return nullptr;
    }
    keep_awake_detail::WorkerTicket ticket = keep_awake_detail::UnpackTicket(parameter);
    ticket.seed = workerSeed >= 0 ? static_cast<std::uint32_t>(workerSeed) : ticket.seed;
    workerSeeds.push_back(ticket.seed);
    liveWorkers++;
    DWORD worker = 0;
    HANDLE thread =
        __real___imp_CreateThread(security, stack, TestWorker, keep_awake_detail::PackTicket(ticket), flags, &worker);
    const Guard guard;
    workers.push_back(worker);
    return thread;
}

// As the shell answers: an icon it shows cannot be added again, nor one it does not show modified.
static BOOL WINAPI Seam_Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data)
{
    notifications.push_back(Notification{message, *data});
    const wchar_t* names[] = {L"NIM_ADD", L"NIM_MODIFY", L"NIM_DELETE", L"NIM_SETFOCUS", L"NIM_SETVERSION"};
    const bool balloon = message == NIM_MODIFY && (data->uFlags & NIF_INFO) != 0;
    const std::wstring version = message == NIM_SETVERSION ? Text(data->uVersion) : L"";
    Record(L"Shell_NotifyIconW", names[message], balloon ? L"NIF_INFO" : version);
    if (message == NIM_ADD && (iconShown || refusedAdds != 0)) {
        refusedAdds -= refusedAdds > 0 && !iconShown;
        return FALSE;
    }
    if (message == NIM_ADD || message == NIM_DELETE) {
        iconShown = message == NIM_ADD;
    }
    return message != NIM_MODIFY || iconShown;
}

static BOOL WINAPI Seam_TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int, HWND owner, const RECT*)
{
    lastMenu = menu;
    menuItems.clear();
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        wchar_t text[256] = {};
        GetMenuStringW(menu, i, text, ARRAYSIZE(text), MF_BYPOSITION);
        const UINT state = GetMenuState(menu, i, MF_BYPOSITION);
        std::wstring item = text + (L" " + Text(GetMenuItemID(menu, i)));
        item += std::wstring(state & MF_CHECKED ? L" checked" : L"") + (state & MF_GRAYED ? L" grayed" : L"");
        menuItems.push_back(state & MF_SEPARATOR ? L"-" : item);
    }
    wchar_t place[32] = {};
    swprintf(place, ARRAYSIZE(place), L"0x%02X at %d,%d", flags, x, y);
    Record(L"TrackPopupMenu", place, GetForegroundWindow() == owner ? L"foreground" : L"");
    return TRUE;
}

static HINSTANCE WINAPI Seam_ShellExecuteW(HWND, LPCWSTR verb, LPCWSTR file, LPCWSTR, LPCWSTR, INT show)
{
    Record(L"ShellExecuteW", verb, file, show);
    return reinterpret_cast<HINSTANCE>(INT_PTR{33});
}

static DWORD WINAPI Seam_GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size)
{
    if (modulePath.empty()) {
        return __real___imp_GetModuleFileNameW(module, buffer, size);
    }
    const size_t kept = modulePath.copy(buffer, size - 1);
    buffer[kept] = L'\0';
    return kept < modulePath.size() ? size : static_cast<DWORD>(kept);
}

// The identity a shell link's property store is given, then its commit; Wine would keep nothing of it.
static HRESULT STDMETHODCALLTYPE Seam_SetValue(IPropertyStore*, REFPROPERTYKEY key, REFPROPVARIANT value)
{
    if (IsEqualPropertyKey(key, PKEY_AppUserModel_ID)) {
        Record(L"IPropertyStore::SetValue", value.vt == VT_LPWSTR ? value.pwszVal : L"?");
    }
    return S_OK;
}

static HRESULT(STDMETHODCALLTYPE* realCommit)(IPropertyStore*) = nullptr;

static HRESULT STDMETHODCALLTYPE Seam_Commit(IPropertyStore* store)
{
    Record(L"IPropertyStore::Commit");
    return realCommit(store);
}

// Put in the method table that every shell link's property store shares.
static HRESULT WINAPI Seam_CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID* object)
{
    const HRESULT result = __real___imp_CoCreateInstance(clsid, outer, context, iid, object);
    IPropertyStore* store = nullptr;
    if (SUCCEEDED(result) && clsid == CLSID_ShellLink &&
        SUCCEEDED(static_cast<IUnknown*>(*object)->QueryInterface(IID_PPV_ARGS(&store)))) {
        // After IUnknown's three methods, GetCount, GetAt and GetValue; then SetValue and Commit.
        void** slots = *reinterpret_cast<void***>(store) + 6;
        DWORD protection = 0;
        VirtualProtect(slots, 2 * sizeof(*slots), PAGE_READWRITE, &protection);
        if (slots[1] != reinterpret_cast<void*>(Seam_Commit)) {
            realCommit = reinterpret_cast<decltype(realCommit)>(slots[1]);
        }
        slots[0] = reinterpret_cast<void*>(Seam_SetValue);
        slots[1] = reinterpret_cast<void*>(Seam_Commit);
        VirtualProtect(slots, 2 * sizeof(*slots), protection, &protection);
        store->Release();
    }
    return result;
}

// Timers on a window only: the tests' own thread timers are not the program's.
static UINT_PTR WINAPI Seam_SetTimer(HWND window, UINT_PTR id, UINT milliseconds, TIMERPROC procedure)
{
    if (window != nullptr) {
        Record(L"SetTimer", id, milliseconds);
    }
    return __real___imp_SetTimer(window, id, milliseconds, procedure);
}

static BOOL WINAPI Seam_KillTimer(HWND window, UINT_PTR id)
{
    if (window != nullptr) {
        Record(L"KillTimer", id);
    }
    return __real___imp_KillTimer(window, id);
}

static int WINAPI Seam_MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT style)
{
    Record(L"MessageBoxW", caption + (L": " + std::wstring(text)), style);
    return IDOK;
}

static HRESULT WINAPI Seam_SetCurrentProcessExplicitAppUserModelID(PCWSTR id)
{
    Record(L"SetCurrentProcessExplicitAppUserModelID", id);
    return __real___imp_SetCurrentProcessExplicitAppUserModelID(id);
}

// Registered messages share their numbers with clipboard formats, so the name is found there.
static BOOL WINAPI Seam_ChangeWindowMessageFilterEx(HWND window, UINT message, DWORD action, PCHANGEFILTERSTRUCT extra)
{
    wchar_t name[256] = L"?";
    GetClipboardFormatNameW(message, name, ARRAYSIZE(name));
    Record(L"ChangeWindowMessageFilterEx", name, action, window == AppState::mainWindow ? L"" : L"elsewhere");
    return __real___imp_ChangeWindowMessageFilterEx(window, message, action, extra);
}

static ULONGLONG WINAPI Seam_GetTickCount64()
{
    const Guard guard;
    if (clockReadingsLeft == 0) {
        return __real___imp_GetTickCount64();
    }
    if (clockReadingsLeft-- == 2) {
        clockBase = __real___imp_GetTickCount64();
        return clockBase;
    }
    return clockBase + clockLeap;
}

BOOL WINAPI __wrap_WinHttpSetTimeouts(HINTERNET handle, int resolve, int connect, int send, int receive)
{
    Record(L"WinHttpSetTimeouts", resolve, connect, send, receive);
    return __real_WinHttpSetTimeouts(handle, resolve, connect, send, receive);
}

BOOL WINAPI __wrap_WinHttpSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length)
{
    Record(L"WinHttpSetOption", option, length == sizeof(DWORD) ? *static_cast<const DWORD*>(buffer) : 0);
    return __real_WinHttpSetOption(handle, option, buffer, length);
}

// A proxy's 407 while proxyChallenges lasts, else the service's status; other headers as they came.
BOOL WINAPI __wrap_WinHttpQueryHeaders(HINTERNET request, DWORD level, LPCWSTR name, LPVOID buffer, LPDWORD length,
                                       LPDWORD index)
{
    const BOOL read = __real_WinHttpQueryHeaders(request, level, name, buffer, length, index);
    if (level == (WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER)) {
        auto* status = static_cast<DWORD*>(buffer);
        *status = proxyChallenges-- > 0 ? 407 : *status;
        Record(L"WinHttpQueryHeaders", *status);
    }
    return read;
}

BOOL WINAPI __wrap_WinHttpQueryAuthSchemes(HINTERNET, LPDWORD supported, LPDWORD first, LPDWORD target)
{
    Record(L"WinHttpQueryAuthSchemes");
    *supported = proxySchemes;
    *first = proxySchemes & (~proxySchemes + 1);
    *target = WINHTTP_AUTH_TARGET_PROXY;
    return TRUE;
}

// Kept from Wine, which would take them and never use them.
BOOL WINAPI __wrap_WinHttpSetCredentials(HINTERNET, DWORD target, DWORD scheme, LPCWSTR user, LPCWSTR password,
                                         LPVOID params)
{
    const bool none = user == nullptr && password == nullptr && params == nullptr;
    Record(L"WinHttpSetCredentials", target, scheme, none ? L"none" : L"given");
    return TRUE;
}

static errno_t WINAPI Seam_rand_s(unsigned int* value)
{
    if (failedSeeds > 0) {
        failedSeeds--;
        return EINVAL;
    }
    return __real___imp_rand_s(value);
}

static BOOL WINAPI Seam_PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    const std::wstring name = message == WM_NULL ? L"WM_NULL" : Text(message);
    Record(L"PostMessageW", name, window == AppState::mainWindow ? L"" : L"elsewhere");
    return __real___imp_PostMessageW(window, message, wParam, lParam);
}

static bool Refused()
{
    return refusedWrites > 0 && refusedWrites-- > 0;
}

// The data as handed over: the registry would mend a missing terminator itself.
static LSTATUS WINAPI Seam_RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                                          DWORD bytes)
{
    const std::wstring units = fixture::Units(reinterpret_cast<const wchar_t*>(data), bytes / sizeof(wchar_t));
    Record(L"RegSetValueExW", name, type == REG_SZ ? L"REG_SZ" : Text(type), units);
    return Refused() ? ERROR_ACCESS_DENIED : __real___imp_RegSetValueExW(key, name, reserved, type, data, bytes);
}

static LSTATUS WINAPI Seam_RegDeleteValueW(HKEY key, LPCWSTR name)
{
    Record(L"RegDeleteValueW", name);
    return Refused() ? ERROR_ACCESS_DENIED : __real___imp_RegDeleteValueW(key, name);
}

static HANDLE WINAPI Seam_SetClipboardData(UINT format, HANDLE data)
{
    std::wstring text;
    if (const auto* units = static_cast<const wchar_t*>(GlobalLock(data))) {
        text = fixture::Units(units, GlobalSize(data) / sizeof(wchar_t));
        GlobalUnlock(data);
    }
    Record(L"SetClipboardData", format == CF_UNICODETEXT ? L"CF_UNICODETEXT" : Text(format), text);
    return __real___imp_SetClipboardData(format, data);
}

// Blocks come filled with 0xAB, so a byte the program did not write shows.
static HGLOBAL WINAPI Seam_GlobalAlloc(UINT flags, SIZE_T bytes)
{
    if (failedAllocs > 0) {
        failedAllocs--;
        return nullptr;
    }
    const HGLOBAL block = __real___imp_GlobalAlloc(flags, bytes);
    void* memory = block != nullptr && (flags & GMEM_ZEROINIT) == 0 ? GlobalLock(block) : nullptr;
    if (memory != nullptr) {
        FillMemory(memory, bytes, 0xAB);
        GlobalUnlock(block);
    }
    return block;
}
