#include "tests/support/fixture.h"

#include "app/window_proc.h"
#include "update/request_client.h"
#include "update/service_config.h"

namespace fixture {

HWND CreateHiddenWindow(bool keepStartupTimer)
{
    AppState::iconActive = LoadIconW(nullptr, IDI_APPLICATION);
    AppState::iconPaused = LoadIconW(nullptr, IDI_WARNING);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = TrayWindowProc;
    windowClass.lpszClassName = kWindowClassName;
    RegisterClassExW(&windowClass);
    AppState::mainWindow = CreateWindowExW(0, kWindowClassName, kAppName, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr,
                                           nullptr, nullptr, nullptr);
    if (!keepStartupTimer) {
        KillTimer(AppState::mainWindow, kStartupTimerId);
    }
    return AppState::mainWindow;
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
