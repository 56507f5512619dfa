#include "app/window_proc.h"

#include "app/scoped_handle.h"
#include "engine/keep_awake.h"
#include "shell/autostart.h"
#include "tray/tray_icon.h"
#include "tray/tray_menu.h"
#include "update/update_check.h"

namespace {

// Global memory that is freed unless it was handed over to the clipboard.
using GlobalBlock = ScopedHandle<HGLOBAL, GlobalFree>;

void AddIconOrRetry(HWND window)
{
    if (AddTrayIcon(window)) {
        CancelTrayIconRetry(window);  // e.g. "TaskbarCreated" came before the retry succeeded
    } else {
        ScheduleTrayIconRetry(window);
    }
}

// Exit and window destruction end the run the same way.
void EndRun()
{
    Shell_NotifyIconW(NIM_DELETE, &AppState::trayData);
    SetThreadExecutionState(ES_CONTINUOUS);
    PostQuitMessage(0);
}

void ShowCouldNotKeepAwake()
{
    ShowBalloon(kAppName, L"Não foi possível manter o dispositivo acordado.", NIIF_WARNING, BalloonKind::Plain);
}

void OnToggleActive()
{
    AppState::activityChosen = true;
    const bool done = SetActive(!AppState::active);
    RefreshTray();
    if (!done) {
        ShowCouldNotKeepAwake();
        return;
    }
    ShowBalloon(kAppName,
                AppState::active ? L"Ativo! O dispositivo não irá dormir." : L"Pausado. O dispositivo pode dormir.",
                NIIF_INFO, BalloonKind::Plain);
}

void OnToggleAutostart()
{
    const bool wasOn = IsAutostartEnabled();
    if (!SetAutostart(!wasOn)) {
        ShowBalloon(L"Configuração", L"Não foi possível alterar a inicialização com o Windows.", NIIF_WARNING,
                    BalloonKind::Plain);
        return;
    }
    ShowBalloon(L"Configuração", wasOn ? L"Removido da inicialização com o Windows." : L"Iniciará com o Windows.",
                NIIF_INFO, BalloonKind::Plain);
}

void OnCopyExePath(HWND window)
{
    if (CopyTextToClipboard(window, GetExecutablePath())) {
        ShowBalloon(L"Sucesso", L"Caminho copiado.", NIIF_INFO, BalloonKind::Plain);
    } else {
        ShowBalloon(kAppName, L"Não foi possível copiar o caminho.", NIIF_WARNING, BalloonKind::Plain);
    }
}

LRESULT OnCommand(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (LOWORD(wParam)) {
    case CmdToggleActive:
        OnToggleActive();
        return 0;
    case CmdToggleAutostart:
        OnToggleAutostart();
        return 0;
    case CmdCopyExePath:
        OnCopyExePath(window);
        return 0;
    case CmdExit:
        EndRun();  // the window stays; the loop ends on the quit message
        return 0;
    case CmdDownloadUpdate:
        OpenDownloadUrl();
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

// One check per run: a second start-up tick, or another program's timer
// message, must not start a second thread writing the one result.
void OnStartupTimer(HWND window)
{
    KillTimer(window, kStartupTimerId);
    if (AppState::checkStarted) {
        return;
    }
    AppState::checkStarted = true;
    HANDLE thread = CreateThread(nullptr, 0, CheckThreadProc, nullptr, 0, nullptr);
    if (thread != nullptr) {
        CloseHandle(thread);
    }
}

void OnTimer(HWND window, WPARAM timerId)
{
    switch (timerId) {
    case kTrayRetryTimerId:
        RetryTrayIcon(window);
        break;
    case kStartupTimerId:
        OnStartupTimer(window);
        break;
    default:
        break;  // not ours
    }
}

void OnTrayEvent(HWND window, LPARAM lParam)
{
    switch (LOWORD(lParam)) {
    case WM_RBUTTONUP:
    case WM_CONTEXTMENU:
        ShowTrayMenu(window);
        break;
    case WM_LBUTTONDBLCLK:
        SendMessageW(window, WM_COMMAND, CmdToggleActive, 0);
        break;
    case NIN_BALLOONUSERCLICK:
        if (AppState::lastBalloonKind == BalloonKind::Update && !AppState::downloadUrl.empty()) {
            OpenDownloadUrl();
        }
        break;
    default:
        break;
    }
}

// Keeping awake begins with the result, unless the user chose meanwhile.
// Applied once, and only after the check thread has stored it: a message
// from elsewhere finds no ready mark to take.
void OnCheckResult()
{
    if (!AppState::checkResultReady.exchange(false)) {
        return;
    }
    const bool awake = AppState::activityChosen || SetActive(true);
    RefreshTray();
    ApplyCheckResult();
    if (!awake) {
        ShowCouldNotKeepAwake();  // last, so it is the balloon on screen
    }
}

}  // namespace

bool CopyTextToClipboard(HWND window, const std::wstring& text)
{
    if (text.empty()) {
        return false;
    }
    // Prepared before the clipboard is touched, so a failure leaves the
    // user's current clipboard content alone.
    const SIZE_T bytes = (text.size() + 1) * sizeof(wchar_t);
    GlobalBlock block(GlobalAlloc(GMEM_MOVEABLE, bytes));
    if (block.Get() == nullptr) {
        return false;
    }
    auto* units = static_cast<wchar_t*>(GlobalLock(block.Get()));
    if (units == nullptr) {
        return false;
    }
    text.copy(units, text.size());
    units[text.size()] = L'\0';
    GlobalUnlock(block.Get());

    if (!OpenClipboard(window)) {
        return false;
    }
    EmptyClipboard();
    const bool placed = SetClipboardData(CF_UNICODETEXT, block.Get()) != nullptr;
    if (placed) {
        block.Release();  // the clipboard owns it now
    }
    CloseClipboard();
    return placed;
}

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    // Tested first: its id is only known at run time. A failed registration
    // gives 0, which must not turn every WM_NULL into a re-add.
    if (AppState::taskbarCreatedMessage != 0 && message == AppState::taskbarCreatedMessage) {
        AddIconOrRetry(window);
        RefreshTray();
        return 0;
    }
    switch (message) {
    case WM_CREATE:
        AddIconOrRetry(window);
        SetTimer(window, kStartupTimerId, kStartupTimerMs, nullptr);
        return 0;
    case WM_DESTROY:
        EndRun();
        return 0;
    case WM_CONTEXTMENU:
        ShowTrayMenu(window);
        return 0;
    case WM_COMMAND:
        return OnCommand(window, message, wParam, lParam);
    case WM_TIMER:
        OnTimer(window, wParam);
        return 0;
    case kTrayCallbackMessage:
        OnTrayEvent(window, lParam);
        return 0;
    case kCheckResultMessage:
        OnCheckResult();
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}
