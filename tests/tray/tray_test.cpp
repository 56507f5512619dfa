// The tray icon's record, its retries and the context menu, in-process; what
// the shell and the menu were given is read at the link seam.
#include "shell/autostart.h"
#include "tests/support/fixture.h"
#include "tests/support/seams.h"
#include "tray/tray_icon.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace fixture;
using namespace std::literals;

static size_t Adds()
{
    const auto& calls = seams::notifications;
    return std::count_if(calls.begin(), calls.end(), [](const auto& call) { return call.message == NIM_ADD; });
}

TEST(CopyTruncated, CutsToTheFieldAndAlwaysTerminates)
{
    const struct {
        std::wstring text;
        size_t capacity;
        std::wstring field;
    } rows[] = {
        {L"Noc", 4, L"Noc\0####"s},
        {L"Noctara", 4, L"Noc\0####"s},
        {L"", 4, L"\0#######"s},
        {L"Noctara", 0, L"########"s},
    };
    for (const auto& row : rows) {
        wchar_t field[] = L"########";
        CopyTruncated(field, row.capacity, row.text);
        EXPECT_EQ(std::wstring(field, 8), row.field) << row.text << " in " << row.capacity;
    }
}

// The retry timer adds a refused icon, or "TaskbarCreated" does, and either way
// the retries end; an icon never accepted is tried 30 more times.
TEST(TrayIcon, ARefusedIconIsTriedAgainUntilAddedOrThirtyMoreTimes)
{
    const struct {
        int refusals;
        bool taskbarCreated;
        int ticks;
        size_t adds;
    } rows[] = {{1, false, 0, 2}, {1, true, 0, 2}, {-1, false, 30, 31}};
    for (const auto& row : rows) {
        seams::refusedAdds = row.refusals;
        const size_t before = Adds();
        const HWND window = CreateHiddenWindow();
        if (row.taskbarCreated) {
            SendMessageW(window, AppState::taskbarCreatedMessage, 0, 0);
        }
        for (int tick = 0; tick < row.ticks; ++tick) {
            SendMessageW(window, WM_TIMER, kTrayRetryTimerId, 0);
        }
        EXPECT_TRUE(PumpUntil([&] { return Adds() == before + row.adds; }, 5000));
        EXPECT_FALSE(KillTimer(window, kTrayRetryTimerId)) << "else every tick adds the icon again";
        DestroyWindow(window);
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
