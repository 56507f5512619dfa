#include "tray/tray_menu.h"

#include "shell/autostart.h"

#include <string>

HMENU BuildTrayMenu()
{
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, CmdToggleActive, AppState::active ? L"Pausar" : L"Retomar");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING | (IsAutostartEnabled() ? MF_CHECKED : 0), CmdToggleAutostart, L"Iniciar com Windows");
    if (AppState::updateAvailable) {
        const std::wstring download = L"★ Baixar Nova Versão (" + AppState::latestVersion + L")";
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, CmdDownloadUpdate, download.c_str());
    }
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, CmdCopyExePath, L"Copiar caminho do .exe");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    const std::wstring versionLine = std::wstring(L"Versão: ") + kAppVersion;
    AppendMenuW(menu, MF_STRING | MF_GRAYED, 0, versionLine.c_str());
    AppendMenuW(menu, MF_STRING, CmdExit, L"Sair");
    return menu;
}

void ShowTrayMenu(HWND window)
{
    HMENU menu = BuildTrayMenu();
    POINT point{};
    GetCursorPos(&point);
    // Without the foreground the menu would not close when the user clicks
    // elsewhere; the WM_NULL afterwards lets the next click reach it again.
    SetForegroundWindow(window);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON | TPM_BOTTOMALIGN, point.x, point.y, 0, window, nullptr);
    PostMessageW(window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}
