#include "app/window_proc.h"
#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"
#include "tray/tray_icon.h"
#include "tray/tray_menu.h"

#include <gtest/gtest.h>

using namespace testing_support;

class Tray : public ::testing::Test {
protected:
    void SetUp() override { ResetAppState(), seams::Reset(), AppState::iconActive = LoadIconW(nullptr, IDI_APPLICATION), AppState::iconPaused = LoadIconW(nullptr, IDI_WARNING); }
    void TearDown() override { seams::Reset(), window_ && DestroyWindow(window_); }
    // WM_CREATE adds the icon; NIM_ADD is refused while refusals_ != 0 (always when negative), else reaches Wine.
    void Open(int refusals = 0)
    {
        refusals_ = refusals;
        seams::shellNotifyIconHook = [this](DWORD message, PNOTIFYICONDATAW data) -> BOOL {
            tries_ += message == NIM_ADD;
            if (message == NIM_ADD && refusals_ != 0) return refusals_ -= refusals_ > 0, FALSE;
            const BOOL ok = seams::RealShellNotifyIcon(message, data);
            return added_ += message == NIM_ADD && ok, ok;
        };
        ASSERT_NE(window_ = CreateHiddenWindow(), nullptr);
        KillTimer(window_, kStartupTimerId);
    }
    void ExpectPausedLast() { EXPECT_EQ(seams::NotifyCalls().back().data.hIcon, AppState::iconPaused); EXPECT_STREQ(seams::NotifyCalls().back().data.szTip, L"Noctara v1.2.2 (Pausado)"); }
    HWND window_ = nullptr; int refusals_ = 0, tries_ = 0, added_ = 0;
};

TEST_F(Tray, PausedAddThenBalloonShownOnceCutToFit)
{
    AppState::active = false;
    Open();
    EXPECT_EQ(added_, 1) << "Wine's shell accepts the icon";
    ExpectPausedLast();
    const std::wstring title(64, L'T'), text(256, L'x');
    std::fill(std::begin(AppState::trayData.szInfo), std::end(AppState::trayData.szInfo), L'#');  // must be terminated
    ShowBalloon(title, text, NIIF_WARNING, BalloonKind::Plain), RefreshTray();
    const auto c = seams::NotifyCalls();
    ASSERT_EQ(c.size(), 6u);
    for (size_t i = 0; i < 6; ++i)
        EXPECT_TRUE(c[i].message == (i == 0 ? NIM_ADD : i == 1 ? NIM_SETVERSION : NIM_MODIFY) && c[i].data.cbSize == 976 && c[i].data.hWnd == window_ && c[i].data.uID == 1 && c[i].data.uCallbackMessage == 0x8001 && c[i].data.uFlags == (i == 3 ? 0x97u : 0x87u)) << i;
    EXPECT_EQ(c[1].data.uVersion, 4u);
    EXPECT_EQ(c[3].data.szInfoTitle, title.substr(0, 63));
    EXPECT_EQ(c[3].data.szInfo, text.substr(0, 255));
}

TEST_F(Tray, RefusedIconIsAddedByTheRetryTimerOrTaskbarCreatedWhichEndsTheRetries)
{
    for (bool viaTaskbar : {false, true}) {
        Open(1);
        AppState::active = false;  // the re-added icon shows the current state
        if (viaTaskbar) SendMessageW(window_, AppState::taskbarCreatedMessage, 0, 0);
        ASSERT_TRUE(viaTaskbar ? added_ == 1 : PumpUntil([&] { return added_ == 1; }, 10000)) << viaTaskbar;
        ExpectPausedLast();
        EXPECT_FALSE(KillTimer(window_, kTrayRetryTimerId)) << "else every tick re-adds an existing icon";
        DestroyWindow(window_), added_ = 0, AppState::active = true;
    }
}

TEST_F(Tray, RetriesStopAfterThirtyTries)
{
    Open(-1);
    for (int tick = 0; tick < 30; ++tick) SendMessageW(window_, WM_TIMER, kTrayRetryTimerId, 0);
    EXPECT_EQ(tries_, 31);
    EXPECT_FALSE(KillTimer(window_, kTrayRetryTimerId));
}

TEST_F(Tray, MenuFollowsStateUpdateAndOutsideRunValue)
{
    RunKeyGuard runKey;
    Open();
    const std::wstring rest = L"-|Copiar caminho do .exe 40005|-|Versão: 1.2.2 0~|Sair 40006|";
    const struct { bool active, autostart, update; const wchar_t* latest; std::wstring expected; } rows[] = {{true, false, false, L"9.9.9", L"Pausar 40001|-|Iniciar com Windows 40002|" + rest},
        {false, true, true, L"", L"Retomar 40001|-|Iniciar com Windows 40002*|-|\u2605 Baixar Nova Versão () 40010|" + rest}};
    for (const auto& r : rows) {
        AppState::active = r.active, AppState::updateAvailable = r.update, AppState::latestVersion = r.latest;
        ASSERT_TRUE(r.autostart ? WriteRunValue(REG_SZ, L"\"C:\\Outro\\Noctara.exe\"") : DeleteRunValue());
        seams::Reset(), ShowTrayMenu(window_);
        const auto menus = seams::TrackedMenus();
        std::wstring got;
        for (const auto& i : menus.at(0).items)
            got += (i.type & MFT_SEPARATOR) ? L"-|" : i.text + L" " + std::to_wstring(i.id) + (i.state & MFS_CHECKED ? L"*" : L"") + (i.state & MFS_GRAYED ? L"~" : L"") + L"|";
        EXPECT_EQ(got, r.expected);
        EXPECT_TRUE(got[0] != L'-' && got.find(L"-|-|") == got.npos && !got.ends_with(L"-|")) << "separators";
    }
}

TEST_F(Tray, FailedCopiesWarnKeepTheClipboardAndFreeTheBlock)
{
    Open();
    const auto copyWarns = [&] { AppState::trayData.szInfo[0] = 0, SendMessageW(window_, WM_COMMAND, CmdCopyExePath, 0);
                                 return AppState::trayData.dwInfoFlags == NIIF_WARNING && std::wstring(AppState::trayData.szInfo) == L"Não foi possível copiar o caminho."; };
    ASSERT_TRUE(CopyTextToClipboard(window_, L"antes"));
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, L"Local\\NoctaraTestClipboardHeld"), release = CreateEventW(nullptr, TRUE, FALSE, L"Local\\NoctaraTestClipboardRelease");
    wchar_t holder[MAX_PATH] = {};
    wcscpy(wcsrchr((GetModuleFileNameW(nullptr, holder, MAX_PATH), holder), L'\\') + 1, L"clipboard_holder.exe");
    HANDLE process = StartProduct(holder);
    ASSERT_EQ(WaitForSingleObject(held, 20000), WAIT_OBJECT_0) << "the holder opened the clipboard";
    EXPECT_TRUE(copyWarns()) << "held by another process";
    SetEvent(release);
    EXPECT_EQ(WaitForExit(process, 20000), 0u);
    EXPECT_EQ(ReadClipboardText(), L"antes");
    HANDLE offered = nullptr;
    seams::setClipboardDataHook = [&](UINT, HANDLE data) -> HANDLE { return offered = data, nullptr; };
    EXPECT_TRUE(copyWarns()) << "SetClipboardData refused";
    EXPECT_TRUE(offered && GlobalFlags(offered) == GMEM_INVALID_HANDLE) << "the refused block was freed";
}
