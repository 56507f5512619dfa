#include "app/startup.h"

#include "app/scoped_handle.h"
#include "app/window_proc.h"
#include "shell/shortcut.h"
#include "tray/tray_icon.h"

#include <commctrl.h>
#include <objbase.h>
#include <shobjidl.h>

// The notification area draws at the small-icon size of the display (16 px
// at 100 %, 20 at 125 %, 24 at 150 %); each icon holds an image drawn at
// every such size, so the shell never resamples a larger one.
static HICON LoadTrayIcon(HINSTANCE instance, int id)
{
    const int width = GetSystemMetrics(SM_CXSMICON);
    const int height = GetSystemMetrics(SM_CYSMICON);
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_ICON, width, height, 0));
}

// The large size, for the window class (Alt+Tab and the like).
static HICON LoadLargeIcon(HINSTANCE instance, int id)
{
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
}

int RunTrayApplication(HINSTANCE instance)
{
    // Before anything that loads a library by name (COM, the shell, the
    // common controls, the delay-loaded WinHTTP): from the system folder
    // only, never from the folder the program was started from, which is
    // often Downloads.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

    // Never closed: the mutex marks this session's copy for the whole run.
    HANDLE mutex = CreateMutexW(nullptr, TRUE, kSingleInstanceMutexName);
    if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        return kExitNormal;
    }

    const ScopedCom com(COINIT_APARTMENTTHREADED);
    // Before any window, so the shell attributes everything to this identity.
    SetCurrentProcessExplicitAppUserModelID(kAppUserModelId);
    CreateStartMenuShortcut();

    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);

    AppState::iconActive = LoadTrayIcon(instance, kIconActiveId);
    AppState::iconPaused = LoadTrayIcon(instance, kIconPausedId);
    if (AppState::iconActive == nullptr) {
        MessageBoxW(nullptr, L"Erro fatal: Ícone não carregado.", L"Erro", MB_OK | MB_ICONERROR);
        return kExitStartupFailed;
    }

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = 0;
    windowClass.lpfnWndProc = TrayWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadLargeIcon(instance, kIconActiveId);
    windowClass.hIconSm = AppState::iconActive;
    windowClass.lpszClassName = kWindowClassName;
    RegisterClassExW(&windowClass);

    // A top-level window that is never shown: unlike a message-only window it
    // receives the shell's broadcasts such as "TaskbarCreated".
    AppState::mainWindow = CreateWindowExW(0, kWindowClassName, kAppName, WS_OVERLAPPEDWINDOW, 0, 0, 0, 0, nullptr,
                                           nullptr, instance, nullptr);
    if (AppState::mainWindow == nullptr) {
        return kExitStartupFailed;
    }
    // Started elevated, the window would not hear Explorer's broadcast from a
    // normal process, and the icon would not come back after a restart.
    if (AppState::taskbarCreatedMessage != 0) {
        ChangeWindowMessageFilterEx(AppState::mainWindow, AppState::taskbarCreatedMessage, MSGFLT_ALLOW, nullptr);
    }
    RefreshTray();

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return kExitNormal;
}
