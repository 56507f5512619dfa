// The tray icon's record, its retries, its balloons and the context menu,
// in-process; what the shell and the menu were given is read at the link seam.
#include "tests/support/fixture.h"
#include "tests/support/seams.h"
#include "tray/tray_icon.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace fixture;

// How often the shell was called with `message` (NIM_SETVERSION: for version 4).
static size_t Calls(DWORD message)
{
    const auto& calls = seams::notifications;
    return std::count_if(calls.begin(), calls.end(), [message](const auto& call) {
        return call.message == message && (message != NIM_SETVERSION || call.data.uVersion == 4);
    });
}

// A refused icon is tried again every 2 s, up to 30 times, or at once on the
// shell's "TaskbarCreated"; either way the retries end once it is in, and each
// added icon asks for version 4 and goes with its window.
TEST(TrayIcon, ARefusedIconIsTriedAgainUntilAddedOrThirtyMoreTimes)
{
    const struct {
        int refusals;
        bool taskbarCreated;
        int ticks;
        size_t adds;
        size_t versions;
    } rows[] = {{1, false, 1, 2, 1}, {1, true, 0, 2, 1}, {-1, false, 30, 31, 0}};
    for (const auto& row : rows) {
        seams::refusedAdds = row.refusals;
        seams::timers.clear();
        const size_t adds = Calls(NIM_ADD);
        const size_t versions = Calls(NIM_SETVERSION);
        const HWND window = CreateHiddenWindow();
        EXPECT_EQ(seams::timers, std::vector<std::wstring>({L"2 2000", L"1 600", L"1 off"}));
        if (row.taskbarCreated) {
            SendMessageW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
        }
        for (int tick = 1; tick <= row.ticks; ++tick) {
            SendMessageW(window, WM_TIMER, 2, 0);
            EXPECT_EQ(seams::timers.back() == L"2 off", tick == row.ticks) << "retries end at tick " << tick;
        }
        EXPECT_EQ(Calls(NIM_ADD), adds + row.adds);
        EXPECT_EQ(Calls(NIM_SETVERSION), versions + row.versions);
        EXPECT_EQ(seams::timers.back(), L"2 off") << "else every tick adds the icon again";
        DestroyWindow(window);
        EXPECT_EQ(seams::notifications.back().message, DWORD{NIM_DELETE}) << "a ghost icon stays behind";
    }
}

TEST(TrayIcon, ABalloonCutsItsTitleTo63AndItsTextTo255Characters)
{
    CreateHiddenWindow();
    ShowBalloon(std::wstring(64, L'T'), std::wstring(256, L'x'), NIIF_INFO, BalloonKind::Plain);
    // The call before the last, which puts the record back at rest.
    const NOTIFYICONDATAW& shown = seams::notifications.rbegin()[1].data;
    EXPECT_EQ(std::wstring(shown.szInfoTitle, 64), std::wstring(63, L'T') + L'\0');
    EXPECT_EQ(std::wstring(shown.szInfo, 256), std::wstring(255, L'x') + L'\0');
}

TEST(TrayMenu, OpensFromTheMouseAndTheKeyboardAndFollowsTheStateTheRunValueAndTheOffer)
{
    const HWND window = CreateHiddenWindow();
    SetCursorPos(100, 200);
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
            RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, L"Noctara", REG_SZ, row.runValue, bytes);
        }
        // The right button, and the menu key or Shift+F10 on the icon or on the window.
        const struct {
            UINT message;
            WORD event;
        } sources[] = {{WM_APP + 1, WM_RBUTTONUP}, {WM_APP + 1, WM_CONTEXTMENU}, {WM_CONTEXTMENU, 0}};
        for (const auto& source : sources) {
            seams::lastMenu.clear();
            seams::lastTracking.clear();
            SendMessageW(window, source.message, 0, MAKELPARAM(source.event, 1));
            EXPECT_EQ(seams::lastMenu, row.menu) << source.message << " " << source.event;
            EXPECT_EQ(seams::lastTracking, L"flags 0x22 at 100,200 foreground");
            EXPECT_FALSE(IsMenu(seams::lastMenuHandle)) << "the menu is left behind";
            MSG null{};
            EXPECT_TRUE(PeekMessageW(&null, window, WM_NULL, WM_NULL, PM_REMOVE)) << "the next click would be lost";
        }
        seams::lastMenu = L"none";
    }
    // A left click, and a selection by mouse or keyboard, open nothing.
    for (const WORD event : {WORD{WM_LBUTTONUP}, WORD{0x400}, WORD{0x401}}) {
        Tray(window, event);
        EXPECT_EQ(seams::lastMenu, L"none") << event;
    }
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, L"Noctara");
}
