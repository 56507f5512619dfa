#include "tests/support/seams.h"

#include "engine/keep_awake.h"
#include "tests/support/fixture.h"

#include <objbase.h>
#include <objidl.h>
#include <propkey.h>
#include <shobjidl.h>
#include <winhttp.h>

#include <map>

// Declares the real import and puts the replacement in its place.
#define SEAM(Ret, Name, Params)                            \
    static Ret WINAPI Seam_##Name Params;                  \
    extern "C" {                                           \
    extern Ret(WINAPI* __real___imp_##Name) Params;        \
    Ret(WINAPI* __wrap___imp_##Name) Params = Seam_##Name; \
    }

SEAM(EXECUTION_STATE, SetThreadExecutionState, (EXECUTION_STATE))
SEAM(UINT, SendInput, (UINT, LPINPUT, int))
SEAM(HANDLE, CreateThread, (LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD))
SEAM(void, Sleep, (DWORD))
SEAM(BOOL, Shell_NotifyIconW, (DWORD, PNOTIFYICONDATAW))
SEAM(BOOL, TrackPopupMenu, (HMENU, UINT, int, int, int, HWND, const RECT*))
SEAM(HINSTANCE, ShellExecuteW, (HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT))
SEAM(DWORD, GetModuleFileNameW, (HMODULE, LPWSTR, DWORD))
SEAM(HRESULT, CoCreateInstance, (REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID*))
SEAM(UINT_PTR, SetTimer, (HWND, UINT_PTR, UINT, TIMERPROC))
SEAM(BOOL, KillTimer, (HWND, UINT_PTR))
SEAM(int, MessageBoxW, (HWND, LPCWSTR, LPCWSTR, UINT))
SEAM(HRESULT, SetCurrentProcessExplicitAppUserModelID, (PCWSTR))
SEAM(ULONGLONG, GetTickCount64, ())
SEAM(BOOL, ChangeWindowMessageFilterEx, (HWND, UINT, DWORD, PCHANGEFILTERSTRUCT))
SEAM(BOOL, PostMessageW, (HWND, UINT, WPARAM, LPARAM))
SEAM(LSTATUS, RegSetValueExW, (HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD))
SEAM(LSTATUS, RegDeleteValueW, (HKEY, LPCWSTR))
SEAM(HANDLE, SetClipboardData, (UINT, HANDLE))
SEAM(HGLOBAL, GlobalAlloc, (UINT, SIZE_T))
SEAM(errno_t, rand_s, (unsigned int*))

// WinHTTP's header declares no imports, so its calls are wrapped by name (-Wl,--wrap=NAME).
extern "C" {
BOOL WINAPI __real_WinHttpSetTimeouts(HINTERNET, int, int, int, int);
BOOL WINAPI __real_WinHttpSetOption(HINTERNET, DWORD, LPVOID, DWORD);
BOOL WINAPI __real_WinHttpQueryHeaders(HINTERNET, DWORD, LPCWSTR, LPVOID, LPDWORD, LPDWORD);
}

namespace seams {

namespace {

// Written by the workers' threads too.
SRWLOCK lock = SRWLOCK_INIT;

struct Guard {
    Guard() { AcquireSRWLockExclusive(&lock); }
    ~Guard() { ReleaseSRWLockExclusive(&lock); }
};

std::map<DWORD, std::string> shapes;
std::vector<DWORD> workers;
thread_local int tickMs = 0;
int clockReadingsLeft = 0;
ULONGLONG clockLeap = 0;
ULONGLONG clockBase = 0;

void Record(const std::wstring& call)
{
    const Guard guard;
    sequence.push_back(call);
}

void Note(char what)
{
    const Guard guard;
    shapes[GetCurrentThreadId()] += what;
}

// The product's worker at the test's tick, or as shipped.
DWORD WINAPI TestWorker(void* ticket)
{
    if (workerTickMs == 0) {
        tickMs = 1000;
        WakeWorker(ticket);
    } else {
        tickMs = workerTickMs;
        keep_awake_detail::RunWorker(keep_awake_detail::UnpackTicket(ticket), std::chrono::milliseconds(tickMs));
    }
    liveWorkers--;
    return 0;
}

}  // namespace

std::string Shape(DWORD thread)
{
    const Guard guard;
    return shapes[thread];
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
    Note(hold ? 'H' : state == ES_CONTINUOUS ? 'R' : '?');
    return __real___imp_SetThreadExecutionState(state);
}

static UINT WINAPI Seam_SendInput(UINT count, LPINPUT input, int size)
{
    const MOUSEINPUT& mouse = input->mi;
    const bool still = mouse.dwFlags == MOUSEEVENTF_MOVE && mouse.dx == 0 && mouse.dy == 0 && mouse.mouseData == 0 &&
                       mouse.time == 0 && mouse.dwExtraInfo == 0;
    Note(count == 1 && size == sizeof(INPUT) && input->type == INPUT_MOUSE && still ? 'I' : '?');
    return count;
}

// A tick, told apart from the short sleeps that finish one woken early.
static void WINAPI Seam_Sleep(DWORD milliseconds)
{
    if (tickMs > 0 && 2 * milliseconds > static_cast<DWORD>(tickMs)) {
        Note(milliseconds <= static_cast<DWORD>(tickMs) ? 't' : '?');
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
    if (workerSeed >= 0) {
        keep_awake_detail::WorkerTicket ticket = keep_awake_detail::UnpackTicket(parameter);
        ticket.seed = static_cast<std::uint32_t>(workerSeed);
        parameter = keep_awake_detail::PackTicket(ticket);
    }
    liveWorkers++;
    DWORD worker = 0;
    HANDLE thread = __real___imp_CreateThread(security, stack, TestWorker, parameter, flags, &worker);
    workerSeeds.push_back(keep_awake_detail::UnpackTicket(parameter).seed);
    const Guard guard;
    workers.push_back(worker);
    return thread;
}

// As the shell answers: an icon it shows cannot be added again, nor one it does not show modified.
static BOOL WINAPI Seam_Shell_NotifyIconW(DWORD message, PNOTIFYICONDATAW data)
{
    notifications.push_back(Notification{message, *data});
    const wchar_t* names[] = {L"add", L"modify", L"delete", L"focus", L"version "};
    const bool balloon = message == NIM_MODIFY && (data->uFlags & NIF_INFO) != 0;
    const std::wstring version = message == NIM_SETVERSION ? std::to_wstring(data->uVersion) : L"";
    Record(balloon ? L"balloon" : names[message] + version);
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
    lastMenuHandle = menu;
    lastMenu.clear();
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        wchar_t text[256] = {};
        GetMenuStringW(menu, i, text, ARRAYSIZE(text), MF_BYPOSITION);
        const UINT state = GetMenuState(menu, i, MF_BYPOSITION);
        if (state & MF_SEPARATOR) {
            lastMenu += L"-|";
            continue;
        }
        lastMenu += text + (L" " + std::to_wstring(GetMenuItemID(menu, i)));
        lastMenu += std::wstring(state & MF_CHECKED ? L"*" : L"") + (state & MF_GRAYED ? L"~" : L"") + L"|";
    }
    wchar_t tracking[64] = {};
    swprintf(tracking, ARRAYSIZE(tracking), L"menu 0x%02X at %d,%d", flags, x, y);
    Record(tracking + std::wstring(GetForegroundWindow() == owner ? L" foreground" : L""));
    return TRUE;
}

static HINSTANCE WINAPI Seam_ShellExecuteW(HWND, LPCWSTR verb, LPCWSTR file, LPCWSTR, LPCWSTR, INT show)
{
    opened.push_back(std::wstring(verb) + L" " + file + L" " + std::to_wstring(show));
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

// The identity a shell link's property store is given, then " committed"; Wine would keep nothing of it.
static HRESULT STDMETHODCALLTYPE Seam_SetValue(IPropertyStore*, REFPROPERTYKEY key, REFPROPVARIANT value)
{
    if (IsEqualPropertyKey(key, PKEY_AppUserModel_ID)) {
        shortcutIdentity = value.vt == VT_LPWSTR ? value.pwszVal : L"?";
    }
    return S_OK;
}

static HRESULT(STDMETHODCALLTYPE* realCommit)(IPropertyStore*) = nullptr;

static HRESULT STDMETHODCALLTYPE Seam_Commit(IPropertyStore* store)
{
    shortcutIdentity += L" committed";
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

static UINT_PTR WINAPI Seam_SetTimer(HWND window, UINT_PTR id, UINT milliseconds, TIMERPROC procedure)
{
    if (window != nullptr) {
        timers.push_back(std::to_wstring(id) + L" " + std::to_wstring(milliseconds));
    }
    return __real___imp_SetTimer(window, id, milliseconds, procedure);
}

static BOOL WINAPI Seam_KillTimer(HWND window, UINT_PTR id)
{
    if (window != nullptr) {
        timers.push_back(std::to_wstring(id) + L" off");
    }
    return __real___imp_KillTimer(window, id);
}

static int WINAPI Seam_MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT style)
{
    messageBoxes.push_back(caption + (L": " + std::wstring(text)) + L" (" + std::to_wstring(style) + L")");
    return IDOK;
}

static HRESULT WINAPI Seam_SetCurrentProcessExplicitAppUserModelID(PCWSTR id)
{
    processIdentity = id;
    return __real___imp_SetCurrentProcessExplicitAppUserModelID(id);
}

// Registered messages share their numbers with clipboard formats, so the name is found there.
static BOOL WINAPI Seam_ChangeWindowMessageFilterEx(HWND window, UINT message, DWORD action, PCHANGEFILTERSTRUCT extra)
{
    wchar_t name[256] = L"?";
    GetClipboardFormatNameW(message, name, ARRAYSIZE(name));
    const wchar_t* other = window == AppState::mainWindow ? L"" : L" (other window)";
    messageFilters.push_back(name + (L" " + std::to_wstring(action)) + other);
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

extern "C" BOOL WINAPI __wrap_WinHttpSetTimeouts(HINTERNET handle, int resolve, int connect, int send, int receive)
{
    httpSettings.push_back(L"timeouts " + std::to_wstring(resolve) + L" " + std::to_wstring(connect) + L" " +
                           std::to_wstring(send) + L" " + std::to_wstring(receive));
    return __real_WinHttpSetTimeouts(handle, resolve, connect, send, receive);
}

extern "C" BOOL WINAPI __wrap_WinHttpSetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length)
{
    const DWORD value = length == sizeof(DWORD) ? *static_cast<const DWORD*>(buffer) : 0;
    httpSettings.push_back(L"option " + std::to_wstring(option) + L"=" + std::to_wstring(value));
    return __real_WinHttpSetOption(handle, option, buffer, length);
}

// A proxy's 407 while proxyChallenges lasts, else the service's status; other headers as they came.
extern "C" BOOL WINAPI __wrap_WinHttpQueryHeaders(HINTERNET request, DWORD level, LPCWSTR name, LPVOID buffer,
                                                  LPDWORD length, LPDWORD index)
{
    const BOOL read = __real_WinHttpQueryHeaders(request, level, name, buffer, length, index);
    if (level == (WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER)) {
        auto* status = static_cast<DWORD*>(buffer);
        *status = proxyChallenges-- > 0 ? 407 : *status;
        httpSettings.push_back(L"status " + std::to_wstring(*status));
    }
    return read;
}

extern "C" BOOL WINAPI __wrap_WinHttpQueryAuthSchemes(HINTERNET, LPDWORD supported, LPDWORD first, LPDWORD target)
{
    httpSettings.push_back(L"schemes");
    *supported = proxySchemes;
    *first = proxySchemes & (~proxySchemes + 1);
    *target = WINHTTP_AUTH_TARGET_PROXY;
    return TRUE;
}

// Kept from Wine, which would take them and never use them.
extern "C" BOOL WINAPI __wrap_WinHttpSetCredentials(HINTERNET, DWORD target, DWORD scheme, LPCWSTR user,
                                                    LPCWSTR password, LPVOID params)
{
    const wchar_t* given = user == nullptr && password == nullptr && params == nullptr ? L" none" : L" given";
    httpSettings.push_back(L"credentials " + std::to_wstring(target) + L" " + std::to_wstring(scheme) + given);
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
    Record(L"post " + std::to_wstring(message) + (window == AppState::mainWindow ? L"" : L" elsewhere"));
    return __real___imp_PostMessageW(window, message, wParam, lParam);
}

static bool Refused()
{
    return refusedWrites > 0 && refusedWrites-- > 0;
}

static LSTATUS WINAPI Seam_RegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE* data,
                                          DWORD bytes)
{
    // What the registry is handed: it would mend a missing terminator itself.
    const auto* units = reinterpret_cast<const wchar_t*>(data);
    const std::wstring text = type == REG_SZ ? fixture::Units(units, bytes / sizeof(wchar_t)) : L"?";
    Record(L"set " + std::wstring(name) + L" " + text);
    return Refused() ? ERROR_ACCESS_DENIED : __real___imp_RegSetValueExW(key, name, reserved, type, data, bytes);
}

static LSTATUS WINAPI Seam_RegDeleteValueW(HKEY key, LPCWSTR name)
{
    Record(L"unset " + std::wstring(name));
    return Refused() ? ERROR_ACCESS_DENIED : __real___imp_RegDeleteValueW(key, name);
}

static HANDLE WINAPI Seam_SetClipboardData(UINT format, HANDLE data)
{
    std::wstring text;
    if (const auto* units = static_cast<const wchar_t*>(GlobalLock(data))) {
        text = fixture::Units(units, GlobalSize(data) / sizeof(wchar_t));
        GlobalUnlock(data);
    }
    Record(L"clipboard " + std::to_wstring(format) + L" " + text);
    return __real___imp_SetClipboardData(format, data);
}

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
