#include "tests/support/fixture.h"

#include "app/window_proc.h"
#include "tests/support/seams.h"
#include "update/request_client.h"
#include "update/service_config.h"

#include <gtest/gtest.h>

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
    const auto& calls = seams::notifications;
    const auto found =
        std::find_if(calls.rbegin(), calls.rend(), [](const auto& call) { return call.data.uFlags & NIF_INFO; });
    if (found == calls.rend()) {
        return L"";
    }
    const NOTIFYICONDATAW& balloon = found->data;
    EXPECT_EQ(balloon.uFlags, 0x97u);
    const DWORD icon = balloon.dwInfoFlags;
    const std::wstring mark = icon == 1 ? L"" : icon == 2 ? L" (!)" : L" (icon " + std::to_wstring(icon) + L")";
    return balloon.szInfoTitle + (L": " + std::wstring(balloon.szInfo)) + mark;
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

std::wstring RunValue()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return L"no Run key";
    }
    std::wstring data(2048, L'\0');
    DWORD type = 0xdeadbeef;
    DWORD bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    const LSTATUS status =
        RegQueryValueExW(key, L"Noctara", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        return L"-";
    }
    data.resize(bytes / sizeof(wchar_t));
    return L"type " + std::to_wstring(type) + L", " + std::to_wstring(bytes) + L" bytes: " + data;
}

std::wstring ServiceLog()
{
    std::wstring log;
    SendJsonRequest(L"https://" NOCTARA_UPDATE_AUTHORITY L"/log", L"", log);
    return log;
}

}  // namespace fixture
