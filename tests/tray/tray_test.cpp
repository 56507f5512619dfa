// Tray record, balloons, icon retries, menu and clipboard: calls observed at
// the link seam and forwarded to Wine's shell.
#include "app/window_proc.h"
#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"
#include "tray/tray_icon.h"
#include "tray/tray_menu.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

const wchar_t kPausedTip[] = L"Noctara v1.2.2 (Pausado)";
const wchar_t kCopyFailed[] = L"Não foi possível copiar o caminho.";

// Every position differs from its neighbours, so a cut in the wrong place shows.
std::wstring Pattern(size_t length)
{
    std::wstring text;
    for (size_t i = 0; i < length; ++i) {
        text.push_back(static_cast<wchar_t>(L'a' + i % 26));
    }
    return text;
}

size_t Count(DWORD message)
{
    const auto calls = seams::NotifyCalls();
    return std::count_if(calls.begin(), calls.end(), [&](const auto& c) { return c.message == message; });
}

size_t RetryTimerKills(HWND window)
{
    const auto calls = seams::KillTimerCalls();
    return std::count_if(calls.begin(), calls.end(),
                         [&](const auto& c) { return c.window == window && c.id == kTrayRetryTimerId; });
}

void ExpectRecordBasics(const NOTIFYICONDATAW& data, HWND window)
{
    EXPECT_EQ(data.cbSize, 976u);
    EXPECT_EQ(data.hWnd, window);
    EXPECT_EQ(data.uID, 1u);
    EXPECT_EQ(data.uCallbackMessage, 0x8001u);
    EXPECT_EQ(data.dwState | data.dwStateMask, 0u);
    EXPECT_EQ(data.guidItem, GUID{}) << "identified by window and id";
}

void ExpectOnlyBalloon(const wchar_t* title, const wchar_t* text, DWORD flags)
{
    std::vector<NOTIFYICONDATAW> shown;
    for (const auto& call : seams::NotifyCalls()) {
        if (call.data.uFlags & NIF_INFO) {
            shown.push_back(call.data);
        }
    }
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_STREQ(shown[0].szInfoTitle, title);
    EXPECT_STREQ(shown[0].szInfo, text);
    EXPECT_EQ(shown[0].dwInfoFlags, flags);
    EXPECT_EQ(AppState::lastBalloonKind, BalloonKind::Plain);
}

std::wstring OwnPath()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

void PutOnClipboard(HWND window, const std::wstring& text)
{
    ASSERT_TRUE(PumpUntil([&] { return OpenClipboard(window) != FALSE; }, 2000));
    EmptyClipboard();
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
    wcscpy(static_cast<wchar_t*>(GlobalLock(block)), text.c_str());
    GlobalUnlock(block);
    EXPECT_NE(seams::RealSetClipboardData(CF_UNICODETEXT, block), nullptr);
    CloseClipboard();
}

// Each menu entry as "text id [checked] [grayed]", "-" for a separator.
std::vector<std::wstring> Entries(const std::vector<seams::MenuItem>& items)
{
    std::vector<std::wstring> entries;
    for (const auto& item : items) {
        entries.push_back((item.type & MFT_SEPARATOR) ? L"-"
                                                      : item.text + L" " + std::to_wstring(item.id) +
                                                            (item.state & MFS_CHECKED ? L" checked" : L"") +
                                                            (item.state & MFS_GRAYED ? L" grayed" : L""));
    }
    return entries;
}

}  // namespace

class Tray : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetAppState();
        seams::Reset();
        AppState::iconActive = LoadIconW(nullptr, IDI_APPLICATION);  // stand-ins for resources 101 and 102
        AppState::iconPaused = LoadIconW(nullptr, IDI_WARNING);
    }
    void TearDown() override
    {
        seams::Reset();
        if (window_ != nullptr) {
            DestroyWindow(window_);  // removes the icon
        }
    }

    // The program's window; WM_CREATE adds the icon. No check thread.
    void Open()
    {
        window_ = CreateHiddenWindow();
        ASSERT_NE(window_, nullptr);
        KillTimer(window_, kStartupTimerId);
    }

    // NIM_ADD refused `count` times (always when negative); the rest reaches Wine's shell.
    void RefuseAdds(int count)
    {
        refusals_ = count;
        seams::shellNotifyIconHook = [this](DWORD message, PNOTIFYICONDATAW data) -> BOOL {
            if (message == NIM_ADD && refusals_ != 0) {
                refusals_ -= refusals_ > 0;
                return FALSE;
            }
            const BOOL result = seams::RealShellNotifyIcon(message, data);
            added_ += message == NIM_ADD && result;
            return result;
        };
    }

    void Command(WORD id) { SendMessageW(window_, WM_COMMAND, id, 0); }

    HWND window_ = nullptr;
    int refusals_ = 0;
    int added_ = 0;
};

TEST_F(Tray, AddWhilePausedEndsOnThePausedPictureAndTip)
{
    RefuseAdds(0);
    AppState::active = false;
    AppState::trayData.szInfo[0] = L'X';  // leftovers of an earlier run are cleared
    Open();
    EXPECT_EQ(added_, 1) << "Wine's shell accepts the icon";

    const auto calls = seams::NotifyCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(calls[1].message, static_cast<DWORD>(NIM_SETVERSION));
    EXPECT_EQ(calls[2].message, static_cast<DWORD>(NIM_MODIFY));
    for (const auto& call : calls) {
        ExpectRecordBasics(call.data, window_);
        EXPECT_EQ(call.data.uFlags, 0x87u);
        EXPECT_STREQ(call.data.szInfo, L"");
    }
    EXPECT_STREQ(calls[0].data.szTip, L"Noctara");
    EXPECT_EQ(calls[1].data.uVersion, 4u);
    EXPECT_EQ(calls[2].data.hIcon, AppState::iconPaused);
    EXPECT_STREQ(calls[2].data.szTip, kPausedTip);
}

TEST_F(Tray, BalloonIsShownByOneCallCutToFitAndNeverAgain)
{
    Open();
    AppState::active = false;
    struct Case {
        size_t title, text;
        BalloonKind kind;
    };
    for (const Case c : {Case{6, 14, BalloonKind::Update}, Case{63, 255, BalloonKind::Plain},
                         Case{64, 256, BalloonKind::Update}, Case{500, 5000, BalloonKind::Plain}}) {
        SCOPED_TRACE(testing::Message() << c.title << "/" << c.text);
        seams::Reset();
        // A longer earlier balloon must not show through.
        std::fill(std::begin(AppState::trayData.szInfoTitle), std::end(AppState::trayData.szInfoTitle), L'#');
        std::fill(std::begin(AppState::trayData.szInfo), std::end(AppState::trayData.szInfo), L'#');
        ShowBalloon(Pattern(c.title), Pattern(c.text), NIIF_WARNING, c.kind);
        EXPECT_EQ(AppState::lastBalloonKind, c.kind);
        RefreshTray();

        const auto calls = seams::NotifyCalls();
        ASSERT_EQ(calls.size(), 3u);
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i].message, static_cast<DWORD>(NIM_MODIFY));
            EXPECT_EQ(calls[i].data.uFlags, i == 0 ? 0x97u : 0x87u) << "call " << i;
            ExpectRecordBasics(calls[i].data, window_);
        }
        const NOTIFYICONDATAW& shown = calls[0].data;
        EXPECT_EQ(std::wstring(shown.szInfoTitle), Pattern(std::min<size_t>(c.title, 63)));
        EXPECT_EQ(std::wstring(shown.szInfo), Pattern(std::min<size_t>(c.text, 255)));
        EXPECT_EQ(shown.dwInfoFlags, static_cast<DWORD>(NIIF_WARNING));
        EXPECT_EQ(shown.hBalloonIcon, nullptr);
        EXPECT_EQ(shown.hIcon, AppState::iconPaused);
    }
}

TEST_F(Tray, IconRefusedAtCreationIsAddedByTheRetryTimer)
{
    AppState::active = false;
    RefuseAdds(1);
    Open();
    ASSERT_EQ(seams::NotifyCalls().size(), 1u) << "no version or refresh after a refused add";

    ASSERT_TRUE(PumpUntil([&] { return added_ == 1; }, 10000));
    EXPECT_EQ(Count(NIM_ADD), 2u);
    const auto last = seams::NotifyCalls().back();
    EXPECT_EQ(last.message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(last.data.hIcon, AppState::iconPaused);
    EXPECT_STREQ(last.data.szTip, kPausedTip);
    // The timer went with the success.
    EXPECT_EQ(RetryTimerKills(window_), 1u);
    EXPECT_FALSE(KillTimer(window_, kTrayRetryTimerId));
}

TEST_F(Tray, RetriesStopAfterThirtyRefusals)
{
    RefuseAdds(-1);
    Open();
    for (int tick = 1; tick <= 30; ++tick) {  // the 2-second ticks, delivered at once
        SendMessageW(window_, WM_TIMER, kTrayRetryTimerId, 0);
        ASSERT_EQ(RetryTimerKills(window_), tick == 30 ? 1u : 0u) << "tick " << tick;
    }
    EXPECT_EQ(Count(NIM_ADD), 31u) << "one at creation, thirty retries";
    EXPECT_TRUE(seams::KillTimerCalls().back().result) << "the armed timer was the one killed";
    EXPECT_EQ(Count(NIM_SETVERSION), 0u);
    EXPECT_TRUE(seams::ThreadCalls().empty()) << "a retry tick is not the start-up tick";
}

TEST_F(Tray, TaskbarCreatedDuringRetriesAddsTheCurrentIconAndEndsThem)
{
    RefuseAdds(1);
    Open();
    AppState::active = false;
    ShowBalloon(L"Noctara", L"x", NIIF_INFO, BalloonKind::Plain);  // must not come back with the icon
    const size_t before = seams::NotifyCalls().size();

    SendMessageW(window_, AppState::taskbarCreatedMessage, 0, 0);
    EXPECT_EQ(added_, 1) << "Wine's shell took the icon";
    const auto calls = seams::NotifyCalls();
    ASSERT_GE(calls.size(), before + 3);
    EXPECT_EQ(calls[before].message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(calls[before + 1].data.uVersion, 4u);
    for (size_t i = before + 2; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].message, static_cast<DWORD>(NIM_MODIFY));
        EXPECT_EQ(calls[i].data.uFlags, 0x87u);
    }
    EXPECT_EQ(calls.back().data.hIcon, AppState::iconPaused);
    EXPECT_STREQ(calls.back().data.szTip, kPausedTip);
    // Else every later tick would NIM_ADD an icon that exists, for a minute.
    EXPECT_EQ(RetryTimerKills(window_), 1u);
    EXPECT_FALSE(KillTimer(window_, kTrayRetryTimerId));
}

TEST_F(Tray, MenuFollowsTheStateAndTheRunValueAtEveryOpening)
{
    RunKeyGuard runKey;
    Open();
    const std::wstring autostart = L"Iniciar com Windows 40002", copy = L"Copiar caminho do .exe 40005",
                       version = L"Versão: 1.2.2 0 grayed", exit = L"Sair 40006";
    struct Case {
        bool active, autostart, update;
        const wchar_t* latest;
        std::vector<std::wstring> expected;
    };
    const Case cases[] = {
        {true, false, false, L"", {L"Pausar 40001", L"-", autostart, L"-", copy, L"-", version, exit}},
        // The Run value changed outside the program; the version only shows with the flag.
        {false, true, false, L"9.9.9",
         {L"Retomar 40001", L"-", autostart + L" checked", L"-", copy, L"-", version, exit}},
        {true, true, true, L"1.3.0",
         {L"Pausar 40001", L"-", autostart + L" checked", L"-", L"\u2605 Baixar Nova Versão (1.3.0) 40010", L"-",
          copy, L"-", version, exit}},
        {false, false, true, L"",
         {L"Retomar 40001", L"-", autostart, L"-", L"\u2605 Baixar Nova Versão () 40010", L"-", copy, L"-", version,
          exit}},
    };
    SetCursorPos(321, 234);
    POINT pointer{};
    ASSERT_TRUE(GetCursorPos(&pointer));
    MSG null;
    while (PeekMessageW(&null, window_, WM_NULL, WM_NULL, PM_REMOVE)) {
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "active " << c.active << ", autostart " << c.autostart << ", update "
                                        << c.update);
        AppState::active = c.active;
        AppState::updateAvailable = c.update;
        AppState::latestVersion = c.latest;
        ASSERT_TRUE(c.autostart ? WriteRunValue(REG_SZ, L"\"C:\\Outro\\Noctara.exe\"") : DeleteRunValue());
        seams::Reset();

        ShowTrayMenu(window_);
        const auto menus = seams::TrackedMenus();
        ASSERT_EQ(menus.size(), 1u);
        const auto entries = Entries(menus[0].items);
        EXPECT_EQ(entries, c.expected);
        for (size_t i = 0; i < entries.size(); ++i) {
            EXPECT_FALSE(entries[i] == L"-" && (i == 0 || i + 1 == entries.size() || entries[i - 1] == L"-")) << i;
        }
        EXPECT_EQ(menus[0].flags, 0x22u);
        EXPECT_EQ(menus[0].x, pointer.x);
        EXPECT_EQ(menus[0].y, pointer.y);
        EXPECT_FALSE(IsMenu(menus[0].menu)) << "destroyed after it closed";
        EXPECT_TRUE(PeekMessageW(&null, window_, WM_NULL, WM_NULL, PM_REMOVE)) << "WM_NULL posted";
        EXPECT_EQ(GetForegroundWindow(), window_);
    }
}

TEST_F(Tray, HeldClipboardGivesWarningAndKeepsItsContentThenThePathIsCopied)
{
    Open();
    PutOnClipboard(window_, L"conteúdo anterior");
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, L"Local\\NoctaraTestClipboardHeld");
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, L"Local\\NoctaraTestClipboardRelease");
    std::wstring holder = OwnPath();
    holder.replace(holder.find_last_of(L'\\') + 1, std::wstring::npos, L"clipboard_holder.exe");
    HANDLE process = StartProduct(holder);
    ASSERT_NE(process, nullptr);
    ASSERT_EQ(WaitForSingleObject(held, 20000), WAIT_OBJECT_0) << "the holder opened the clipboard";

    Command(CmdCopyExePath);
    ExpectOnlyBalloon(L"Noctara", kCopyFailed, NIIF_WARNING);
    SetEvent(release);
    EXPECT_EQ(WaitForExit(process, 20000), 0u);
    EXPECT_FALSE(CopyTextToClipboard(window_, L"")) << "an empty path places nothing either";
    EXPECT_EQ(ReadClipboardText(), L"conteúdo anterior");

    seams::Reset();
    Command(CmdCopyExePath);
    ExpectOnlyBalloon(L"Sucesso", L"Caminho copiado.", NIIF_INFO);
    SIZE_T bytes = 0;
    EXPECT_EQ(ReadClipboardText(&bytes), OwnPath());
    EXPECT_EQ(bytes, (OwnPath().size() + 1) * sizeof(wchar_t));
    for (HANDLE handle : {process, release, held}) {
        CloseHandle(handle);
    }
}

TEST_F(Tray, RefusedHandOverGivesWarningAndFreesTheBlock)
{
    Open();
    HANDLE offered = nullptr;
    seams::setClipboardDataHook = [&](UINT format, HANDLE data) -> HANDLE {
        EXPECT_EQ(format, static_cast<UINT>(CF_UNICODETEXT));
        offered = data;
        return nullptr;
    };
    Command(CmdCopyExePath);
    ASSERT_NE(offered, nullptr);
    ExpectOnlyBalloon(L"Noctara", kCopyFailed, NIIF_WARNING);
    EXPECT_EQ(GlobalFlags(offered), static_cast<UINT>(GMEM_INVALID_HANDLE)) << "the refused block was freed";
}
