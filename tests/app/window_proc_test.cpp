// The window procedure, driven in-process through the real hidden window;
// balloons, tooltip and icon are read at the seam.
#include "shell/autostart.h"
#include "tests/support/fixture.h"
#include "tests/support/seams.h"
#include "update/update_check.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace fixture;
using seams::notifications;

namespace {

LRESULT Tray(HWND window, WORD event)
{
    return SendMessageW(window, kTrayCallbackMessage, 0, MAKELPARAM(event, kTrayIconId));
}

// The last balloon as "title: text", with "(!)" for the warning icon; empty if none.
std::wstring Balloon()
{
    const auto found = std::find_if(notifications.rbegin(), notifications.rend(),
                                    [](const auto& call) { return call.data.uFlags & NIF_INFO; });
    if (found == notifications.rend()) {
        return L"";
    }
    const NOTIFYICONDATAW& balloon = found->data;
    EXPECT_EQ(balloon.uFlags, UINT{NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP | NIF_INFO});
    const std::wstring warning = balloon.dwInfoFlags == NIIF_WARNING ? L" (!)" : L"";
    return balloon.szInfoTitle + (L": " + std::wstring(balloon.szInfo)) + warning;
}

// The tooltip of the record at rest, with the icon it shows.
std::wstring Tip()
{
    const NOTIFYICONDATAW& rest = notifications.back().data;
    EXPECT_EQ(rest.uFlags, UINT{NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP});
    return rest.szTip + std::wstring(rest.hIcon == AppState::iconPaused ? L" [paused]" : L" [active]");
}

// Starts up against the service answering as given: one check, whose report starts keeping awake.
HWND StartUpAgainst(const std::string& how)
{
    seams::workerTickMs = 5;
    EXPECT_TRUE(SetAnswer(200, how, Offer("1.3.0", "https://localhost/dl/N.zip")));
    const HWND window = CreateHiddenWindow(true);
    EXPECT_FALSE(AppState::workerRunning.load());
    EXPECT_TRUE(PumpUntil([] { return AppState::workerRunning.load(); }));
    PumpUntil([] { return false; }, 3 * kStartupTimerMs);
    const auto& routines = seams::threadRoutines;
    EXPECT_EQ(std::count(routines.begin(), routines.end(), &CheckThreadProc), 1);
    EXPECT_EQ(Tip(), L"Noctara v1.2.2 (Ativo) [active]");
    return window;
}

}  // namespace

TEST(Dispatch, EachCommandIsConfirmedByItsBalloonAndTheTooltipFollows)
{
    const HWND window = CreateHiddenWindow();
    const std::wstring active = L"Noctara v1.2.2 (Ativo) [active]";
    const struct {
        WPARAM command;  // 0: a double-click on the icon
        bool failing;    // another window holds the clipboard, and the Run key is gone
        const wchar_t* balloon;
        std::wstring tip;
    } steps[] = {
        {0, false, L"Noctara: Pausado. O dispositivo pode dormir.", L"Noctara v1.2.2 (Pausado) [paused]"},
        {CmdToggleActive, false, L"Noctara: Ativo! O dispositivo não irá dormir.", active},
        {CmdToggleAutostart, false, L"Configuração: Iniciará com o Windows.", active},
        {CmdToggleAutostart, false, L"Configuração: Removido da inicialização com o Windows.", active},
        {CmdToggleAutostart, true, L"Configuração: Não foi possível alterar a inicialização com o Windows. (!)",
         active},
        {CmdCopyExePath, false, L"Sucesso: Caminho copiado.", active},
        {CmdCopyExePath, true, L"Noctara: Não foi possível copiar o caminho. (!)", active},
    };
    const HWND other = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, 0, 0, 0);
    for (const auto& step : steps) {
        if (step.failing) {
            OpenClipboard(other);
            RegDeleteKeyW(HKEY_CURRENT_USER, kRunKeyPath);
        }
        if (step.command == 0) {
            Tray(window, WM_LBUTTONDBLCLK);
        } else {
            SendMessageW(window, WM_COMMAND, step.command, 0);
        }
        if (step.failing) {
            CloseClipboard();
            HKEY key = nullptr;
            RegCreateKeyW(HKEY_CURRENT_USER, kRunKeyPath, &key);
            RegCloseKey(key);
        }
        EXPECT_EQ(Balloon(), step.balloon);
        EXPECT_EQ(Tip(), step.tip);
    }
    SendMessageW(window, WM_COMMAND, CmdExit, 0);
    EXPECT_EQ(notifications.back().message, DWORD{NIM_DELETE}) << "a ghost icon stays behind";
}

TEST(Dispatch, StartUpOffersANewerVersionWhichItsBalloonAndTheMenuOpenOnlyIfHttps)
{
    const HWND window = StartUpAgainst("whole");
    EXPECT_EQ(Balloon(), L"Noctara: Nova versão disponível! Clique para baixar.");
    Tray(window, NIN_BALLOONUSERCLICK);
    SendMessageW(window, WM_COMMAND, CmdDownloadUpdate, 0);
    // Neither a click on another balloon nor an address that is not https opens anything.
    SendMessageW(window, WM_COMMAND, CmdToggleActive, 0);
    Tray(window, NIN_BALLOONUSERCLICK);
    AppState::downloadUrl = L"http://localhost/dl/N.zip";
    SendMessageW(window, WM_COMMAND, CmdDownloadUpdate, 0);
    const std::wstring open = L"open https://localhost/dl/N.zip 1";
    EXPECT_EQ(seams::opened, std::vector<std::wstring>({open, open}));
}

TEST(Dispatch, StartUpAgainstAFailingServiceStillStartsKeepingAwake)
{
    StartUpAgainst("short");
    EXPECT_EQ(Balloon(), L"");
    EXPECT_FALSE(AppState::updateAvailable);
}
