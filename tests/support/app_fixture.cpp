#include "tests/support/app_fixture.h"

#include "shell/autostart.h"

#include "app/window_proc.h"
#include "engine/keep_awake.h"
#include "tests/support/seams.h"

#include <vector>

namespace testing_support {

void ResetAppState()
{
    AppState::iconActive = nullptr;
    AppState::iconPaused = nullptr;
    AppState::mainWindow = nullptr;
    AppState::active = true;
    AppState::workerRunning = false;
    AppState::trayData = NOTIFYICONDATAW{};
    AppState::lastBalloonKind = BalloonKind::Plain;
    AppState::trayRetriesLeft = 0;
    AppState::checkResult = CheckResult{};
    AppState::updateAvailable = false;
    AppState::latestVersion.clear();
    AppState::downloadUrl.clear();
}

void StopWorkers()
{
    const bool wasActive = AppState::active;
    SetActive(false);
    seams::WaitForLiveWorkers(0, 5000);
    AppState::active = wasActive;
}

HWND CreateHiddenWindow()
{
    static const ATOM registered = [] {
        WNDCLASSEXW windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = TrayWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = kWindowClassName;
        return RegisterClassExW(&windowClass);
    }();
    (void)registered;
    AppState::mainWindow = CreateWindowExW(0, kWindowClassName, kAppName, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr,
                                           nullptr, GetModuleHandleW(nullptr), nullptr);
    return AppState::mainWindow;
}

void DestroyHiddenWindow(HWND window)
{
    StopWorkers();
    DestroyWindow(window);
    MSG quit;
    PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    seams::Reset();
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (done()) {
            return true;
        }
        if (GetTickCount64() >= deadline) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

void PumpFor(DWORD milliseconds)
{
    PumpUntil([] { return false; }, milliseconds);
}

// Wine maps the host's root to drive Z:.
static std::wstring WindowsPathOf(const std::wstring& unixPath)
{
    std::wstring path = L"Z:" + unixPath;
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

std::wstring ProductExePath()
{
    return WindowsPathOf(NOCTARA_PRODUCT_EXE_UNIX);
}

HANDLE StartProduct(const std::wstring& exePath)
{
    std::wstring commandLine = L"\"" + exePath + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(exePath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

HWND WaitForProductWindow(DWORD pid, DWORD timeoutMs)
{
    HWND found = nullptr;
    PumpUntil(
        [&] {
            for (HWND window = FindWindowExW(nullptr, nullptr, kWindowClassName, nullptr); window != nullptr;
                 window = FindWindowExW(nullptr, window, kWindowClassName, nullptr)) {
                DWORD owner = 0;
                GetWindowThreadProcessId(window, &owner);
                if (owner == pid) {
                    found = window;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

DWORD WaitForExit(HANDLE process, DWORD timeoutMs)
{
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process, &code);
    }
    return code;
}

std::wstring ReadClipboardText(SIZE_T* bytes)
{
    if (bytes != nullptr) {
        *bytes = 0;
    }
    std::wstring text;
    // Another process may hold the clipboard for a moment.
    if (!PumpUntil([] { return OpenClipboard(nullptr) != FALSE; }, 2000)) {
        return text;
    }
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (bytes != nullptr) {
            *bytes = GlobalSize(data);
        }
        if (const auto* units = static_cast<const wchar_t*>(GlobalLock(data))) {
            text = units;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    return text;
}

std::string Narrow(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                            nullptr);
    }
    return bytes;
}

RunKeyGuard::RunKeyGuard()
{
    HKEY key = nullptr;
    existed_ = RegOpenKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (!existed_) {
        return;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD nameUnits = ARRAYSIZE(name);
        DWORD type = 0;
        DWORD bytes = 0;
        if (RegEnumValueW(key, index, name, &nameUnits, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) {
            break;
        }
        Value value{name, type, std::vector<BYTE>(bytes)};
        DWORD size = bytes;
        if (RegQueryValueExW(key, name, nullptr, &value.type, value.data.data(), &size) == ERROR_SUCCESS) {
            value.data.resize(size);
            values_.push_back(std::move(value));
        }
    }
    RegCloseKey(key);
}

RunKeyGuard::~RunKeyGuard()
{
    if (!existed_) {
        RegDeleteKeyW(HKEY_CURRENT_USER, kRunKeyPath);
        return;
    }
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return;
    }
    // Values the test added go; the saved ones come back byte for byte.
    for (;;) {
        wchar_t name[16384];
        DWORD nameUnits = ARRAYSIZE(name);
        if (RegEnumValueW(key, 0, name, &nameUnits, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
            RegDeleteValueW(key, name) != ERROR_SUCCESS) {
            break;
        }
    }
    for (const Value& value : values_) {
        RegSetValueExW(key, value.name.c_str(), 0, value.type, value.data.data(),
                       static_cast<DWORD>(value.data.size()));
    }
    RegCloseKey(key);
}

bool RunKeyGuard::DeleteRunKey()
{
    return RegDeleteKeyW(HKEY_CURRENT_USER, kRunKeyPath) == ERROR_SUCCESS;
}

bool ReadRunValue(DWORD* type, std::vector<BYTE>* data)
{
    *type = 0;
    data->clear();
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    // The raw byte count as stored (RegGetValueW would fix up terminators).
    DWORD bytes = 0;
    bool found = RegQueryValueExW(key, kAppName, nullptr, type, nullptr, &bytes) == ERROR_SUCCESS;
    if (found) {
        data->resize(bytes);
        found = RegQueryValueExW(key, kAppName, nullptr, type, data->data(), &bytes) == ERROR_SUCCESS;
        data->resize(found ? bytes : 0);
    }
    RegCloseKey(key);
    return found;
}

bool WriteRunValue(DWORD type, const void* data, DWORD bytes)
{
    return RegSetKeyValueW(HKEY_CURRENT_USER, kRunKeyPath, kAppName, type, data, bytes) == ERROR_SUCCESS;
}

bool WriteRunValue(DWORD type, const std::wstring& text)
{
    return WriteRunValue(type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool DeleteRunValue()
{
    const LSTATUS status = RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKeyPath, kAppName);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

}  // namespace testing_support
