#include "tests/support/fixture.h"

#include "app/window_proc.h"
#include "tests/support/seams.h"
#include "update/request_client.h"
#include "update/service_config.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>

namespace fixture {

HWND CreateHiddenWindow()
{
    AppState::iconActive = LoadIconW(nullptr, IDI_APPLICATION);
    AppState::iconPaused = LoadIconW(nullptr, IDI_WARNING);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = TrayWindowProc;
    windowClass.lpszClassName = L"NoctaraTestWindow";
    RegisterClassExW(&windowClass);
    AppState::mainWindow = CreateWindowExW(0, windowClass.lpszClassName, L"Noctara", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0,
                                           nullptr, nullptr, nullptr, nullptr);
    KillTimer(AppState::mainWindow, 1);
    return AppState::mainWindow;
}

HWND ProgramWindow()
{
    return FindWindowW(L"NoctaraTrayHiddenWindowClass", L"Noctara");
}

void Tray(HWND window, WORD event)
{
    SendMessageW(window, WM_APP + 1, 0, MAKELPARAM(event, 1));
}

std::wstring Balloon()
{
    for (auto call = seams::notifications.rbegin(); call != seams::notifications.rend(); ++call) {
        const NOTIFYICONDATAW& data = call->data;
        if ((data.uFlags & NIF_INFO) != 0) {
            return data.szInfoTitle + (L": " + std::wstring(data.szInfo)) + L" (" + std::to_wstring(data.dwInfoFlags) +
                   L")";
        }
    }
    return L"";
}

std::wstring Sequence()
{
    std::wstring calls;
    for (const std::wstring& call : seams::sequence) {
        calls += call + L"|";
    }
    seams::sequence.clear();
    return calls;
}

// Up to the first NUL, which must be inside the field.
template <size_t N>
std::wstring Field(const wchar_t (&field)[N])
{
    const size_t length = wcsnlen(field, N);
    return length < N ? std::wstring(field, length) : L"<unterminated>";
}

std::wstring Record(const NOTIFYICONDATAW& data)
{
    EXPECT_EQ(data.cbSize, 976u);
    EXPECT_EQ(data.hWnd, AppState::mainWindow);
    EXPECT_EQ(data.uID, 1u);
    EXPECT_EQ(data.uCallbackMessage, 0x8001u);
    EXPECT_EQ(data.dwState | data.dwStateMask, 0u);
    EXPECT_EQ(data.guidItem, GUID{});
    EXPECT_EQ(data.hBalloonIcon, nullptr);
    wchar_t head[32] = {};
    swprintf(head, ARRAYSIZE(head), L"v%u 0x%02X ", data.uVersion, data.uFlags);
    std::wstring text = head;
    text += data.hIcon == AppState::iconActive ? L"active" : data.hIcon == AppState::iconPaused ? L"paused" : L"other";
    text += L" '" + Field(data.szTip) + L"'";
    if ((data.uFlags & NIF_INFO) != 0) {
        text += L" " + Field(data.szInfoTitle) + L": " + Field(data.szInfo);
        text += L" (" + std::to_wstring(data.dwInfoFlags) + L")";
    }
    return text;
}

std::wstring Units(const wchar_t* units, size_t count)
{
    std::wstring text(units, count);
    std::replace(text.begin(), text.end(), L'\0', L'\x2400');
    return text;
}

std::wstring Values(const wchar_t* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return L" missing";
    }
    std::wstring text;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256] = {};
        DWORD nameLength = ARRAYSIZE(name);
        DWORD type = 0;
        BYTE data[8192] = {};
        DWORD bytes = sizeof(data);
        if (RegEnumValueW(key, i, name, &nameLength, nullptr, &type, data, &bytes) != ERROR_SUCCESS) {
            break;
        }
        text += L" " + std::wstring(name) + L"=" + std::to_wstring(type) + L":";
        if (type == REG_SZ) {
            text += Units(reinterpret_cast<const wchar_t*>(data), bytes / sizeof(wchar_t));
            continue;
        }
        // Other types byte by byte, as Task Manager's switches are.
        for (DWORD b = 0; b < bytes; ++b) {
            wchar_t hex[4] = {};
            swprintf(hex, ARRAYSIZE(hex), L"%02X", data[b]);
            text += hex;
        }
    }
    RegCloseKey(key);
    return text;
}

std::wstring SharedState()
{
    // With a window: Wine lets two windowless openers in at once.
    static const HWND reader = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, 0, 0, 0);
    const HWND owner = GetClipboardOwner();
    std::wstring text = L"clipboard ";
    text += owner == nullptr ? L"none" : owner == AppState::mainWindow ? L"ours" : L"other";
    if (!OpenClipboard(reader)) {
        return text + L" held";
    }
    for (UINT format = EnumClipboardFormats(0); format != 0; format = EnumClipboardFormats(format)) {
        wchar_t name[64] = {};
        if (GetClipboardFormatNameW(format, name, ARRAYSIZE(name)) == 0) {
            swprintf(name, ARRAYSIZE(name), L"%u", format);
        }
        text += L" " + std::wstring(name);
    }
    CloseClipboard();
    return text + L"; Run" + Values(kRunKey) + L"; Approved" + Values(kApprovedRunKey);
}

void SetKeyAccess(const wchar_t* path, const wchar_t* rules)
{
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, WRITE_DAC, nullptr, &key, nullptr);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(rules, SDDL_REVISION_1, &descriptor, nullptr);
    EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor), ERROR_SUCCESS);
    LocalFree(descriptor);
    RegCloseKey(key);
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    }
    return true;
}

bool SetAnswer(int status, const std::string& how, const std::string& body)
{
    // One character per byte: the service reads them back as Latin-1.
    std::wstring text = std::to_wstring(status) + L" " + std::wstring(how.begin(), how.end()) + L" ";
    for (const unsigned char byte : body) {
        text += static_cast<wchar_t>(byte);
    }
    std::wstring reply;
    return SendJsonRequest(L"https://" NOCTARA_UPDATE_AUTHORITY L"/answer", text, reply) && reply == L"ok";
}

std::string Offer(const std::string& version, const std::string& url)
{
    return R"({"latest_version":")" + version + R"(","download_url":")" + url + R"("})";
}

std::wstring ServiceLog()
{
    std::wstring log;
    SendJsonRequest(L"https://" NOCTARA_UPDATE_AUTHORITY L"/log", L"", log);
    return log;
}

}  // namespace fixture
