#include "tray/tray_icon.h"

#ifdef _WIN64
static_assert(sizeof(NOTIFYICONDATAW) == 976, "the shell expects the full 64-bit record");
#endif

void CopyTruncated(wchar_t* field, size_t capacity, const std::wstring& text)
{
    if (capacity == 0) {
        return;
    }
    const size_t count = text.size() < capacity - 1 ? text.size() : capacity - 1;
    text.copy(field, count);
    field[count] = L'\0';
}

static HICON CurrentIcon()
{
    return AppState::active ? AppState::iconActive : AppState::iconPaused;
}

bool AddTrayIcon(HWND window)
{
    NOTIFYICONDATAW& data = AppState::trayData;
    data = NOTIFYICONDATAW{};
    data.hIcon = AppState::iconActive;  // the refresh below picks the right picture
    data.cbSize = sizeof(NOTIFYICONDATAW);
    data.hWnd = window;
    data.uID = kTrayIconId;
    data.uCallbackMessage = kTrayCallbackMessage;
    data.uFlags = kTrayFlagsAtRest;
    CopyTruncated(data.szTip, ARRAYSIZE(data.szTip), kAppName);

    // Refused when the icon is there already, as after a change of display
    // scale, which Explorer announces with "TaskbarCreated" too: a modify
    // that is accepted shows the icon exists, and it is adopted.
    if (!Shell_NotifyIconW(NIM_ADD, &data) && !Shell_NotifyIconW(NIM_MODIFY, &data)) {
        return false;
    }
    data.uVersion = NOTIFYICON_VERSION_4;
    Shell_NotifyIconW(NIM_SETVERSION, &data);
    RefreshTray();
    return true;
}

void RefreshTray()
{
    NOTIFYICONDATAW& data = AppState::trayData;
    const std::wstring tip =
        std::wstring(kAppName) + L" v" + kAppVersion + L" (" + (AppState::active ? L"Ativo" : L"Pausado") + L")";
    CopyTruncated(data.szTip, ARRAYSIZE(data.szTip), tip);
    data.hIcon = CurrentIcon();
    data.uFlags = kTrayFlagsAtRest;
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

void ShowBalloon(const std::wstring& title, const std::wstring& text, DWORD infoFlags, BalloonKind kind)
{
    NOTIFYICONDATAW& data = AppState::trayData;
    AppState::lastBalloonKind = kind;
    CopyTruncated(data.szInfoTitle, ARRAYSIZE(data.szInfoTitle), title);
    CopyTruncated(data.szInfo, ARRAYSIZE(data.szInfo), text);
    data.hIcon = CurrentIcon();
    data.dwInfoFlags = infoFlags;
    data.hBalloonIcon = nullptr;

    data.uFlags = kTrayFlagsBalloon;
    Shell_NotifyIconW(NIM_MODIFY, &data);
    // Without NIF_INFO later modifications leave the shown balloon alone.
    data.uFlags = kTrayFlagsAtRest;
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

void ScheduleTrayIconRetry(HWND window)
{
    AppState::trayRetriesLeft = kTrayRetryLimit;
    SetTimer(window, kTrayRetryTimerId, kTrayRetryTimerMs, nullptr);
}

void RetryTrayIcon(HWND window)
{
    const bool added = AddTrayIcon(window);
    if (added || --AppState::trayRetriesLeft <= 0) {
        AppState::trayRetriesLeft = 0;
        KillTimer(window, kTrayRetryTimerId);
    }
}

void CancelTrayIconRetry(HWND window)
{
    if (AppState::trayRetriesLeft > 0) {
        AppState::trayRetriesLeft = 0;
        KillTimer(window, kTrayRetryTimerId);
    }
}
