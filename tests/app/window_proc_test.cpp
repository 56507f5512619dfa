// The window procedure in-process; the shell read at the seam, the clipboard and registry as others read them.
#include "engine/keep_awake.h"
#include "tests/support/fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>

using namespace fixture;
using seams::Calls;

namespace {

constexpr WPARAM kCmdToggle = 40001;
constexpr WPARAM kCmdAutostart = 40002;
constexpr WPARAM kCmdCopy = 40005;
constexpr WPARAM kCmdExit = 40006;
const std::wstring kActiveTip = L"Noctara v1.2.2 (Ativo)";
const std::wstring kPausedTip = L"Noctara v1.2.2 (Pausado)";
const std::wstring kBalloon = L"Shell_NotifyIconW NIM_MODIFY NIF_INFO";
const std::wstring kAtRest = L"Shell_NotifyIconW NIM_MODIFY";
const std::wstring kRunWrite = L"RegSetValueExW Noctara REG_SZ \"C:\\Programas\\Noctara.exe\"␀";
const Value kRunValue = Sz(L"Noctara", L"\"C:\\Programas\\Noctara.exe\"");

// The program's window, at C:\Programas\Noctara.exe; the Run key writable, with the program's value or without;
// another program's rich and plain text on the clipboard. Nothing recorded yet.
HWND Prepare(bool runValue = false)
{
    const HWND window = CreateHiddenWindow();
    seams::modulePath = L"C:\\Programas\\Noctara.exe";
    SetKeyAccess(kRunKey, L"D:(A;;KA;;;WD)");
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, L"Noctara");
    if (runValue) {
        const std::vector<BYTE>& data = kRunValue.data;
        RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, L"Noctara", REG_SZ, data.data(), static_cast<DWORD>(data.size()));
    }
    OpenClipboard(OtherWindow());
    EmptyClipboard();
    for (const UINT format : {RegisterClipboardFormatW(L"Rich Text Format"), UINT{CF_UNICODETEXT}}) {
        const HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, sizeof(L"antes"));
        memcpy(GlobalLock(block), L"antes", sizeof(L"antes"));
        GlobalUnlock(block);
        SetClipboardData(format, block);
    }
    CloseClipboard();
    seams::ClearLog();
    seams::notifications.clear();
    return window;
}

}  // namespace

// A double-click on the icon pauses, and the balloon and tooltip say so, in that order.
TEST(Dispatch, DoubleClickPauses)
{
    Tray(Prepare(), WM_LBUTTONDBLCLK);
    EXPECT_EQ(seams::Log(), (Calls{kAtRest, kBalloon, kAtRest}));
    const std::wstring text = L"Pausado. O dispositivo pode dormir.";
    EXPECT_EQ(LastBalloon(), (Shown{4, 0x97, L"paused", kPausedTip, L"Noctara", text, 1}));
}

// The toggle resumes a pause, and the balloon and tooltip say so, in that order.
TEST(Dispatch, ToggleResumes)
{
    const HWND window = Prepare();
    AppState::active = false;
    SendMessageW(window, WM_COMMAND, kCmdToggle, 0);
    EXPECT_EQ(seams::Log(), (Calls{kAtRest, kBalloon, kAtRest}));
    const std::wstring text = L"Ativo! O dispositivo não irá dormir.";
    EXPECT_EQ(LastBalloon(), (Shown{4, 0x97, L"active", kActiveTip, L"Noctara", text, 1}));
}

// The autostart item writes the quoted path to the Run value, or removes the value, then says so.
TEST(Dispatch, AutostartSwitchesTheRunValue)
{
    const struct {
        const char* name;
        bool runValue;
        std::wstring call;
        std::wstring text;
    } rows[] = {
        {"on", false, kRunWrite, L"Iniciará com o Windows."},
        {"off", true, L"RegDeleteValueW Noctara", L"Removido da inicialização com o Windows."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SendMessageW(Prepare(row.runValue), WM_COMMAND, kCmdAutostart, 0);
        EXPECT_EQ(seams::Log(), (Calls{row.call, kBalloon, kAtRest})) << "the registry first, then the balloon";
        EXPECT_EQ(LastBalloon(), (Shown{4, 0x97, L"active", kActiveTip, L"Configuração", row.text, 1}));
        EXPECT_EQ(Values(kRunKey), row.runValue ? std::vector<Value>{} : std::vector<Value>{kRunValue});
    }
}

// An autostart switch that fails says so in a warning, and the Run key stays as it was.
TEST(Dispatch, AutostartFailureOnlyWarns)
{
    const struct {
        const char* name;
        bool runValue;
        const wchar_t* keyRules;  // null: no Run key
        int refusedWrites;
        Calls calls;
    } rows[] = {
        {"read-only key, turning off", true, L"D:(A;;KRWD;;;WD)", 0, {kBalloon, kAtRest}},
        {"removal refused", true, L"D:(A;;KA;;;WD)", 1, {L"RegDeleteValueW Noctara", kBalloon, kAtRest}},
        {"no Run key, turning on", false, nullptr, 0, {kBalloon, kAtRest}},
        {"write refused", false, L"D:(A;;KA;;;WD)", 1, {kRunWrite, kBalloon, kAtRest}},
    };
    const std::wstring text = L"Não foi possível alterar a inicialização com o Windows.";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const HWND window = Prepare(row.runValue);
        if (row.keyRules == nullptr) {
            RegDeleteKeyW(HKEY_CURRENT_USER, kRunKey);
        } else {
            SetKeyAccess(kRunKey, row.keyRules);
        }
        seams::refusedWrites = row.refusedWrites;
        SendMessageW(window, WM_COMMAND, kCmdAutostart, 0);
        EXPECT_EQ(seams::Log(), row.calls);
        EXPECT_EQ(LastBalloon(), (Shown{4, 0x97, L"active", kActiveTip, L"Configuração", text, 2}));
        EXPECT_EQ(KeyExists(kRunKey), row.keyRules != nullptr) << "the Run key was made";
        EXPECT_EQ(Values(kRunKey), row.runValue ? std::vector<Value>{kRunValue} : std::vector<Value>{});
    }
}

// Copy puts the path on the clipboard, terminated, as its only content; then says so.
TEST(Dispatch, CopyPutsThePathOnTheClipboard)
{
    SendMessageW(Prepare(), WM_COMMAND, kCmdCopy, 0);
    const std::wstring placed = L"SetClipboardData CF_UNICODETEXT C:\\Programas\\Noctara.exe␀";
    EXPECT_EQ(seams::Log(), (Calls{placed, kBalloon, kAtRest})) << "the block to its NUL, no unit more";
    EXPECT_EQ(LastBalloon(), (Shown{4, 0x97, L"active", kActiveTip, L"Sucesso", L"Caminho copiado.", 1}));
    const Clipboard clipboard = ReadClipboard();
    EXPECT_EQ(clipboard.owner, L"ours");
    const std::vector<UINT> plainText = {CF_UNICODETEXT, CF_LOCALE, CF_TEXT, CF_OEMTEXT};
    EXPECT_EQ(clipboard.formats, plainText) << "the other program's rich text stays";
}

// A copy that fails says so in a warning and leaves the other program's copy on the clipboard.
TEST(Dispatch, CopyFailureOnlyWarns)
{
    const std::vector<UINT> theirs = {RegisterClipboardFormatW(L"Rich Text Format"), CF_UNICODETEXT, CF_LOCALE, CF_TEXT,
                                      CF_OEMTEXT};
    for (const std::string row : {"clipboard held", "no path", "no memory"}) {
        SCOPED_TRACE(row);
        const HWND window = Prepare();
        if (row == "clipboard held") {
            OpenClipboard(OtherWindow());
        }
        if (row == "no path") {
            seams::modulePath = L"C:\\" + std::wstring(32766, L'p');
        }
        seams::failedAllocs = row == "no memory" ? 1 : 0;
        SendMessageW(window, WM_COMMAND, kCmdCopy, 0);
        CloseClipboard();
        EXPECT_EQ(seams::Log(), (Calls{kBalloon, kAtRest}));
        const std::wstring text = L"Não foi possível copiar o caminho.";
        EXPECT_EQ(LastBalloon(), (Shown{4, 0x97, L"active", kActiveTip, L"Noctara", text, 2}));
        EXPECT_EQ(ReadClipboard().owner, L"other");
        EXPECT_EQ(ReadClipboard().formats, theirs);
    }
}

// Exit removes the icon, leaving no ghost in the notification area, and withdraws this thread's keep-awake request.
TEST(Dispatch, ExitRemovesTheIconAndTheHold)
{
    SendMessageW(Prepare(), WM_COMMAND, kCmdExit, 0);
    EXPECT_EQ(seams::Log(), Calls{L"Shell_NotifyIconW NIM_DELETE"});
    EXPECT_EQ(seams::Steps(GetCurrentThreadId()), Calls{L"release"});
}

// Another program's timer or result message starts and applies nothing; the one check is applied once.
TEST(Dispatch, StrayTimersAndResultsChangeNothing)
{
    constexpr UINT kCheckResult = WM_APP + 2;
    const HWND window = Prepare();
    ASSERT_TRUE(SetAnswer(200, "whole", Offer("1.3.0", "https://localhost/dl/N.zip")));
    seams::ClearLog();
    SendMessageW(window, WM_TIMER, 7, 0);
    SendMessageW(window, kCheckResult, 0, 0);
    EXPECT_EQ(seams::Log(), Calls{}) << "a stray timer or result acted on";
    SendMessageW(window, WM_TIMER, 1, 0);
    SendMessageW(window, kCheckResult, 0, 0);
    EXPECT_TRUE(seams::Workers().empty()) << "a result applied before the check stored it";
    ASSERT_TRUE(PumpUntil([] { return !LastBalloon().text.empty(); }));
    SendMessageW(window, WM_TIMER, 1, 0);
    SendMessageW(window, WM_TIMER, 7, 0);
    SendMessageW(window, kCheckResult, 0, 0);
    PumpUntil([] { return false; }, 1500);
    const std::wstring log = ServiceLog();
    EXPECT_EQ(log.rfind(L"GET "), 0u) << "not one check: " << log;
    EXPECT_EQ(seams::Log(kBalloon).size(), 1u) << "the result applied again";
    EXPECT_EQ(seams::Workers().size(), 1u);
}

// A resume whose worker cannot start (no thread, or no seed) stays paused and warns instead of "Ativo!".
TEST(Dispatch, ResumeThatCannotStartStaysPausedAndWarns)
{
    const HWND window = Prepare();
    const std::wstring text = L"Não foi possível manter o dispositivo acordado.";
    for (int* failures : {&seams::failedWorkers, &seams::failedSeeds}) {
        SCOPED_TRACE(failures == &seams::failedWorkers ? "no thread" : "no seed");
        SetActive(false);
        *failures = 1;
        SendMessageW(window, WM_COMMAND, kCmdToggle, 0);
        EXPECT_EQ(LastBalloon(), (Shown{4, 0x97, L"paused", kPausedTip, L"Noctara", text, 2})) << "NIIF_WARNING";
        EXPECT_FALSE(AppState::active) << "keeping awake reported on";
        EXPECT_TRUE(seams::Workers().empty());
    }
}
