// The tray icon's record, its retries and the context menu, in-process; what
// the shell and the menu were given is read at the link seam.
#include "shell/autostart.h"
#include "tests/support/fixture.h"
#include "tests/support/seams.h"
#include "tray/tray_icon.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace fixture;

// How often the shell was called with `message` (NIM_SETVERSION: asking for version 4).
static size_t Calls(DWORD message)
{
    const auto& calls = seams::notifications;
    return std::count_if(calls.begin(), calls.end(), [message](const auto& call) {
        return call.message == message && (message != NIM_SETVERSION || call.data.uVersion == NOTIFYICON_VERSION_4);
    });
}

// The retry timer adds a refused icon, or "TaskbarCreated" does at once, and
// either way the retries end; one never accepted is tried 30 more times. Each
// added icon asks for version 4 (else the keyboard opens no menu) and goes with
// its window.
TEST(TrayIcon, ARefusedIconIsTriedAgainUntilAddedOrThirtyMoreTimes)
{
    const struct {
        int refusals;
        bool taskbarCreated;
        int ticks;
        DWORD waitMs;  // for the retry timer
        size_t adds;
        size_t versions;
    } rows[] = {{1, false, 0, 5000, 2, 1}, {1, true, 0, 0, 2, 1}, {-1, false, 30, 0, 31, 0}};
    for (const auto& row : rows) {
        seams::refusedAdds = row.refusals;
        const size_t adds = Calls(NIM_ADD);
        const size_t versions = Calls(NIM_SETVERSION);
        const HWND window = CreateHiddenWindow();
        if (row.taskbarCreated) {
            SendMessageW(window, AppState::taskbarCreatedMessage, 0, 0);
        }
        for (int tick = 0; tick < row.ticks; ++tick) {
            SendMessageW(window, WM_TIMER, kTrayRetryTimerId, 0);
        }
        EXPECT_TRUE(PumpUntil([&] { return Calls(NIM_ADD) == adds + row.adds; }, row.waitMs)) << Calls(NIM_ADD);
        EXPECT_EQ(Calls(NIM_SETVERSION), versions + row.versions);
        EXPECT_FALSE(KillTimer(window, kTrayRetryTimerId)) << "else every tick adds the icon again";
        DestroyWindow(window);
        EXPECT_EQ(seams::notifications.back().message, DWORD{NIM_DELETE}) << "a ghost icon stays behind";
    }
}

TEST(TrayMenu, FollowsTheStateTheRunValueAndTheOffer)
{
    const HWND window = CreateHiddenWindow();
    const std::wstring tail = L"-|Copiar caminho do .exe 40005|-|Versão: 1.2.2 0~|Sair 40006|";
    const struct {
        bool active;
        const wchar_t* runValue;  // written by somebody else; null: none
        bool offer;
        std::wstring menu;
    } rows[] = {
        {true, nullptr, false, L"Pausar 40001|-|Iniciar com Windows 40002|" + tail},
        {false, L"\"C:\\Outro\\Noctara.exe\"", true,
         L"Retomar 40001|-|Iniciar com Windows 40002*|-|★ Baixar Nova Versão (1.3.0) 40010|" + tail},
    };
    for (const auto& row : rows) {
        AppState::active = row.active;
        AppState::updateAvailable = row.offer;
        AppState::latestVersion = L"1.3.0";
        if (row.runValue != nullptr) {
            const DWORD bytes = static_cast<DWORD>((wcslen(row.runValue) + 1) * sizeof(wchar_t));
            RegSetKeyValueW(HKEY_CURRENT_USER, kRunKeyPath, kAppName, REG_SZ, row.runValue, bytes);
        }
        for (const WORD event : {WM_RBUTTONUP, WM_CONTEXTMENU}) {
            SendMessageW(window, kTrayCallbackMessage, 0, MAKELPARAM(event, kTrayIconId));
            EXPECT_EQ(seams::lastMenu, row.menu);
        }
    }
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKeyPath, kAppName);
}
