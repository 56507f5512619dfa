// The least a notification-area program can be: a hidden window, one tray
// icon and a message loop, with Noctara's manifest and version block.
// Noctara's footprint is measured against it. It does not call
// InitCommonControlsEx: the manifest alone loads no comctl32 (the resident
// memory is the same with or without it), while loading comctl32 and calling
// it costs about 2.7 MB under Wine; that is Noctara's choice, which its own
// figure should show.
#include <windows.h>
#include <shellapi.h>

namespace {

constexpr UINT kCallbackMessage = WM_APP + 1;
NOTIFYICONDATAW trayData{};

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        Shell_NotifyIconW(NIM_DELETE, &trayData);
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"BaselineTrayHiddenWindowClass";
    RegisterClassExW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Baseline", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr,
                                  nullptr, instance, nullptr);
    if (window == nullptr) {
        return 1;
    }
    trayData.cbSize = sizeof(trayData);
    trayData.hWnd = window;
    trayData.uID = 1;
    trayData.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
    trayData.uCallbackMessage = kCallbackMessage;
    trayData.hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(101), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
    lstrcpynW(trayData.szTip, L"Baseline", ARRAYSIZE(trayData.szTip));
    Shell_NotifyIconW(NIM_ADD, &trayData);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
