// The tray icon's records, retries and balloons, and the context menu, read at the link seam.
#include "tests/support/fixture.h"
#include "tests/support/seams.h"
#include "tray/tray_icon.h"

#include <gtest/gtest.h>

using namespace fixture;
using seams::Calls;

namespace {

constexpr UINT kRetryTimer = 2;
const std::wstring kAdd = L"Shell_NotifyIconW NIM_ADD";
const Calls kAdded = {kAdd, L"Shell_NotifyIconW NIM_SETVERSION 4", L"Shell_NotifyIconW NIM_MODIFY"};
const Shown kAtRest = {4, 0x87, L"active", L"Noctara v1.2.2 (Ativo)"};

// The program's window, its first `refusals` icons refused (-1: all), nothing recorded after.
HWND RefusedWindow(int refusals)
{
    seams::refusedAdds = refusals;
    const HWND window = CreateHiddenWindow();
    seams::ClearLog();
    return window;
}

void RetryTick(HWND window)
{
    SendMessageW(window, WM_TIMER, kRetryTimer, 0);
}

Calls Plus(Calls calls, const Calls& more)
{
    calls.insert(calls.end(), more.begin(), more.end());
    return calls;
}

}  // namespace

// An added icon's records: the add, version 4 asked for, then the tooltip, every field as the shell needs it.
TEST(TrayIcon, AddedIconRecords)
{
    CreateHiddenWindow();
    const std::vector<Shown> records = {
        {0, 0x87, L"active", L"Noctara"},
        {4, 0x87, L"active", L"Noctara"},
        kAtRest,
    };
    EXPECT_EQ(Records(), records);
}

// A refused icon is first looked for with the same record, then tried again every 2 s until it is added.
TEST(TrayIcon, RefusedIconIsRetried)
{
    seams::refusedAdds = 1;
    const HWND window = CreateHiddenWindow();
    const Shown first = {0, 0x87, L"active", L"Noctara"};
    EXPECT_EQ(Records(), (std::vector<Shown>{first, first})) << "NIM_ADD, then NIM_MODIFY";
    EXPECT_EQ(seams::Log(L"SetTimer 2"), Calls{L"SetTimer 2 2000"});
    seams::ClearLog();
    RetryTick(window);
    EXPECT_EQ(seams::Log(), Plus(kAdded, {L"KillTimer 2"})) << "the retry timer must end with the add";
}

// "TaskbarCreated" adds a refused icon at once, without waiting for the retry timer, and ends the retries.
TEST(TrayIcon, TaskbarCreatedAddsAtOnce)
{
    const HWND window = RefusedWindow(1);
    SendMessageW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    const Calls added = Plus(kAdded, {L"KillTimer 2", L"Shell_NotifyIconW NIM_MODIFY"});
    EXPECT_EQ(seams::Log(), added);
}

// Retries of an icon always refused end at the thirtieth, not before.
TEST(TrayIcon, RetriesEndAfterThirty)
{
    const HWND window = RefusedWindow(-1);
    for (int tick = 1; tick <= 30; ++tick) {
        RetryTick(window);
        EXPECT_EQ(seams::Log(L"KillTimer").size(), tick == 30 ? 1u : 0u) << "the retries end at tick " << tick;
    }
    EXPECT_EQ(seams::Log(kAdd).size(), 30u) << "adds tried";
}

// "TaskbarCreated" while the icon is shown (a change of display scale) adopts it as it is, without retries.
TEST(TrayIcon, BroadcastAdoptsTheShownIcon)
{
    const HWND window = CreateHiddenWindow();
    SendMessageW(window, WM_COMMAND, 40001, 0);
    seams::ClearLog();
    SendMessageW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    const Calls adopted = {kAdd, L"Shell_NotifyIconW NIM_MODIFY", L"Shell_NotifyIconW NIM_SETVERSION 4",
                           L"Shell_NotifyIconW NIM_MODIFY", L"Shell_NotifyIconW NIM_MODIFY"};
    EXPECT_EQ(seams::Log(), adopted) << "a refused add, the modify that finds the icon, then as added; no timer";
    RetryTick(window);
    seams::modulePath = L"C:\\Programas\\Noctara.exe";
    SendMessageW(window, WM_COMMAND, 40005, 0);
    const Shown copied = {4, 0x97, L"paused", L"Noctara v1.2.2 (Pausado)", L"Sucesso", L"Caminho copiado.", 1};
    EXPECT_EQ(LastBalloon(), copied) << "the paused record kept after a stray retry tick";
}

// Destroying the window removes the icon, leaving no ghost in the notification area.
TEST(TrayIcon, DestroyingTheWindowRemovesTheIcon)
{
    const HWND window = CreateHiddenWindow();
    seams::ClearLog();
    DestroyWindow(window);
    EXPECT_EQ(seams::Log(L"Shell_NotifyIconW"), Calls{L"Shell_NotifyIconW NIM_DELETE"});
}

// A balloon's title is cut to 63 characters and its text to 255, each ended in its field; then the record at rest.
TEST(TrayIcon, BalloonTextsFitTheirFields)
{
    CreateHiddenWindow();
    seams::notifications.clear();
    ShowBalloon(std::wstring(64, L'T'), std::wstring(256, L'x'), NIIF_WARNING, BalloonKind::Plain);
    ShowBalloon(L"Noctara", L"Pausado.", NIIF_INFO, BalloonKind::Plain);
    const Shown longest = {4, 0x97, L"active", kAtRest.tip, std::wstring(63, L'T'), std::wstring(255, L'x'), 2};
    const Shown shorter = {4, 0x97, L"active", kAtRest.tip, L"Noctara", L"Pausado.", 1};
    EXPECT_EQ(Records(), (std::vector<Shown>{longest, kAtRest, shorter, kAtRest}));
}

// The menu opens at the cursor, its window in front, from the mouse and the keyboard; then WM_NULL, menu destroyed.
TEST(TrayMenu, OpensFromMouseAndKeyboard)
{
    const struct {
        const char* name;
        UINT message;
        WORD event;
    } rows[] = {
        {"right button on the icon", WM_APP + 1, WM_RBUTTONUP},
        {"menu key on the icon", WM_APP + 1, WM_CONTEXTMENU},
        {"menu key on the window", WM_CONTEXTMENU, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const HWND window = CreateHiddenWindow();
        SetCursorPos(100, 200);
        seams::ClearLog();
        SendMessageW(window, row.message, 0, MAKELPARAM(row.event, 1));
        const Calls calls = {L"TrackPopupMenu 0x22 at 100,200 foreground", L"PostMessageW WM_NULL"};
        EXPECT_EQ(seams::Log(), calls) << "TPM_RIGHTBUTTON | TPM_BOTTOMALIGN, then WM_NULL to the window";
        EXPECT_FALSE(IsMenu(seams::lastMenu)) << "the menu is left behind";
    }
}

// The menu follows the state, the Run value (whoever wrote it) and the offer.
TEST(TrayMenu, ItemsFollowTheState)
{
    const Calls tail = {L"-", L"Copiar caminho do .exe 40005", L"-", L"Versão: 1.2.2 0 grayed", L"Sair 40006"};
    const struct {
        const char* name;
        bool active;
        bool runValue;
        bool offer;
        Calls head;
    } rows[] = {
        {"active, no Run value, no offer", true, false, false, {L"Pausar 40001", L"-", L"Iniciar com Windows 40002"}},
        {"paused, a Run value, an offer",
         false,
         true,
         true,
         {L"Retomar 40001", L"-", L"Iniciar com Windows 40002 checked", L"-", L"★ Baixar Nova Versão (1.3.0) 40010"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        AppState::active = row.active;
        AppState::updateAvailable = row.offer;
        AppState::latestVersion = L"1.3.0";
        const wchar_t command[] = L"\"C:\\Outro\\Noctara.exe\"";
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, L"Noctara");
        if (row.runValue) {
            RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, L"Noctara", REG_SZ, command, sizeof(command));
        }
        Tray(CreateHiddenWindow(), WM_RBUTTONUP);
        EXPECT_EQ(seams::menuItems, Plus(row.head, tail));
    }
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, L"Noctara");
}

// A left click, and a selection by mouse or keyboard, open nothing.
TEST(TrayMenu, OtherClicksOpenNothing)
{
    const HWND window = CreateHiddenWindow();
    const struct {
        const char* name;
        WORD event;
    } rows[] = {{"left click", WM_LBUTTONUP}, {"NIN_SELECT", 0x400}, {"NIN_KEYSELECT", 0x401}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        seams::ClearLog();
        Tray(window, row.event);
        EXPECT_EQ(seams::Log(), Calls{});
    }
}
