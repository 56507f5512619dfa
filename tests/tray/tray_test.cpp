// The tray icon's records, retries and balloons, and the context menu, read at the link seam.
#include "tests/support/fixture.h"
#include "tests/support/seams.h"
#include "tray/tray_icon.h"

#include <gtest/gtest.h>

using namespace fixture;

// The shell's calls since, each with every field of its record.
static std::wstring ShellCalls()
{
    std::wstring calls;
    for (const auto& call : seams::notifications) {
        const wchar_t* names[] = {L"add", L"modify", L"delete", L"focus", L"version"};
        calls += names[call.message] + (L" " + Record(call.data)) + L"|";
    }
    seams::notifications.clear();
    return calls;
}

// A refused icon is tried again every 2 s, 30 times at most, or at once on "TaskbarCreated". An added icon asks
// for version 4 before anything else, and goes with its window.
TEST(TrayIcon, ARefusedIconIsTriedAgainUntilAddedOrThirtyMoreTimes)
{
    const std::wstring add = L"add v0 0x87 active 'Noctara'|";
    // After a refused add, the modify that would find an icon already there.
    const std::wstring refused = add + L"modify v0 0x87 active 'Noctara'|";
    const std::wstring tip = L"modify v4 0x87 active 'Noctara v1.2.2 (Ativo)'|";
    const std::wstring added = add + L"version v4 0x87 active 'Noctara'|" + tip;
    std::wstring refusedAll;
    for (int i = 0; i < 31; ++i) {
        refusedAll += refused;
    }
    const struct {
        int refusals;
        bool taskbarCreated;
        int ticks;
        std::wstring calls;
    } rows[] = {
        {1, false, 1, refused + added},
        {1, true, 0, refused + added + tip},
        {-1, false, 30, refusedAll},
    };
    for (const auto& row : rows) {
        seams::refusedAdds = row.refusals;
        seams::timers.clear();
        seams::notifications.clear();
        const HWND window = CreateHiddenWindow();
        EXPECT_EQ(seams::timers, std::vector<std::wstring>({L"2 2000", L"1 600", L"1 off"}));
        if (row.taskbarCreated) {
            SendMessageW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
        }
        for (int tick = 1; tick <= row.ticks; ++tick) {
            SendMessageW(window, WM_TIMER, 2, 0);
            EXPECT_EQ(seams::timers.back() == L"2 off", tick == row.ticks) << "retries end at tick " << tick;
        }
        EXPECT_EQ(ShellCalls(), row.calls);
        EXPECT_EQ(seams::timers.back(), L"2 off") << "else every tick adds the icon again";
        DestroyWindow(window);
        EXPECT_TRUE(ShellCalls().starts_with(L"delete ")) << "a ghost icon stays behind";
    }
}

// Cut to its field, always terminated, nothing written past the field.
TEST(TrayIcon, ATextIsCutToItsFieldAndTerminatedThere)
{
    const wchar_t ab = L'\xABAB';
    const struct {
        size_t capacity;
        std::wstring text;
        std::wstring field;
    } rows[] = {
        {4, L"abc", std::wstring(L"abc\0", 4) + ab},
        {4, L"abcd", std::wstring(L"abc\0", 4) + ab},
        {1, L"abcd", L'\0' + std::wstring(4, ab)},
        {0, L"abcd", std::wstring(5, ab)},
    };
    for (const auto& row : rows) {
        std::wstring field(5, ab);
        CopyTruncated(field.data(), row.capacity, row.text);
        EXPECT_EQ(field, row.field) << row.capacity << " " << row.text;
    }
}

// The longest texts, then short ones over them, each balloon followed by the record at rest.
TEST(TrayIcon, ABalloonCutsItsTitleTo63AndItsTextTo255CharactersAndEndsEachText)
{
    CreateHiddenWindow();
    ShellCalls();
    ShowBalloon(std::wstring(64, L'T'), std::wstring(256, L'x'), NIIF_WARNING, BalloonKind::Plain);
    ShowBalloon(L"Noctara", L"Pausado.", NIIF_INFO, BalloonKind::Plain);
    const std::wstring shown = L"modify v4 0x97 active 'Noctara v1.2.2 (Ativo)' ";
    const std::wstring rest = L"modify v4 0x87 active 'Noctara v1.2.2 (Ativo)'|";
    const std::wstring longest = std::wstring(63, L'T') + L": " + std::wstring(255, L'x') + L" (2)|";
    EXPECT_EQ(ShellCalls(), shown + longest + rest + shown + L"Noctara: Pausado. (1)|" + rest);
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
        for (const auto& [message, event] :
             {std::pair{WM_APP + 1, WM_RBUTTONUP}, {WM_APP + 1, WM_CONTEXTMENU}, {WM_CONTEXTMENU, 0}}) {
            Sequence();
            SendMessageW(window, message, 0, MAKELPARAM(event, 1));
            // A WM_NULL before the menu closes lets the next one vanish.
            EXPECT_EQ(Sequence(), L"menu 0x22 at 100,200 foreground|post 0|") << message << " " << event;
            EXPECT_EQ(seams::lastMenu, row.menu);
            EXPECT_FALSE(IsMenu(seams::lastMenuHandle)) << "the menu is left behind";
        }
    }
    // A left click, and a selection by mouse or keyboard, do nothing.
    for (const WORD event : {WORD{WM_LBUTTONUP}, WORD{0x400}, WORD{0x401}}) {
        Tray(window, event);
        EXPECT_EQ(Sequence(), L"") << event;
    }
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, L"Noctara");
}

// "TaskbarCreated" while the icon is shown (a change of display scale) adopts it, paused as it was, without retries.
TEST(TrayIcon, ABroadcastAdoptsTheIconThatIsThere)
{
    const HWND window = CreateHiddenWindow();
    SendMessageW(window, WM_COMMAND, 40001, 0);
    seams::timers.clear();
    Sequence();
    SendMessageW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    EXPECT_EQ(Sequence(), L"add|modify|version 4|modify|modify|") << "refused add, adopting modify, then as added";
    EXPECT_EQ(seams::timers, std::vector<std::wstring>{}) << "a retry timer for an icon that is there";
    // A retry tick, as a timer left from the broadcast would bring, then a balloon.
    SendMessageW(window, WM_TIMER, 2, 0);
    seams::modulePath = L"C:\\Programas\\Noctara.exe";
    SendMessageW(window, WM_COMMAND, 40005, 0);
    const std::wstring balloon = Record(seams::notifications.rbegin()[1].data);
    EXPECT_EQ(balloon, L"v4 0x97 paused 'Noctara v1.2.2 (Pausado)' Sucesso: Caminho copiado. (1)");
}
