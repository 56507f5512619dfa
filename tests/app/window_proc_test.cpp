// The window procedure driven in-process through a real hidden window; the
// shell, the worker and the threads are observed at the link seam.
#include "app/window_proc.h"
#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"
#include "update/update_check.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace testing_support;

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetAppState();
        seams::Reset();
        seams::workerTickMs = 5;
        ASSERT_NE(window_ = CreateHiddenWindow(), nullptr);
        KillTimer(window_, kStartupTimerId);  // only the timer test races the check
    }
    void TearDown() override { DestroyHiddenWindow(window_); }
    LRESULT Tray(WORD event) { return SendMessageW(window_, kTrayCallbackMessage, 0, MAKELPARAM(event, 1)); }
    HWND window_ = nullptr;
};

TEST_F(Dispatch, CommandsTrayEventsAndTheDefaultProcedure)
{
    seams::Reset();
    EXPECT_EQ(SendMessageW(window_, WM_COMMAND, 40099, 0), 0);
    SendMessageW(window_, WM_COMMAND, CmdDownloadUpdate, 0);
    for (WORD event : {WORD(WM_MOUSEMOVE), WORD(WM_LBUTTONUP), WORD(NIN_SELECT), WORD(0xBEEF)}) {
        EXPECT_EQ(Tray(event), 0);
    }
    const auto calls = seams::DefaultCalls();
    ASSERT_EQ(calls.size(), 1u) << "only the unknown command reaches DefWindowProcW";
    EXPECT_EQ(calls[0].wParam, 40099u);
    EXPECT_TRUE(seams::NotifyCalls().empty() && seams::TrackedMenus().empty() && AppState::active);

    // The double-click is the pause/resume command, balloon and all.
    Tray(WM_LBUTTONDBLCLK);
    EXPECT_FALSE(AppState::active);
    EXPECT_STREQ(AppState::trayData.szInfo, L"Pausado. O dispositivo pode dormir.");
    Tray(WM_LBUTTONDBLCLK);
    EXPECT_TRUE(AppState::active && seams::WaitForLiveWorkers(1, 5000));
    EXPECT_STREQ(AppState::trayData.szInfo, L"Ativo! O dispositivo não irá dormir.");
    EXPECT_STREQ(AppState::trayData.szTip, L"Noctara v1.2.2 (Ativo)");
}

TEST_F(Dispatch, StartupTimerStartsTheCheckThreadOnceAndItsReportSwitchesOn)
{
    Tray(WM_LBUTTONDBLCLK);  // a pause before the report is undone by it
    SetTimer(window_, kStartupTimerId, kStartupTimerMs, nullptr);
    auto checks = [] {
        const auto calls = seams::ThreadCalls();
        return std::count_if(calls.begin(), calls.end(), [](const auto& c) { return c.routine == &CheckThreadProc; });
    };
    ASSERT_TRUE(PumpUntil([] { return AppState::workerRunning.load(); }, 40000));
    PumpFor(3 * kStartupTimerMs);
    EXPECT_EQ(checks(), 1);
    EXPECT_TRUE(AppState::active);
    EXPECT_STREQ(AppState::trayData.szTip, L"Noctara v1.2.2 (Ativo)");
}

TEST_F(Dispatch, ExitRemovesTheIconWithdrawsTheStateAndQuits)
{
    seams::Reset();
    SendMessageW(window_, WM_COMMAND, CmdExit, 0);
    const auto notify = seams::NotifyCalls();
    const auto states = seams::ExecutionStateCalls();
    ASSERT_TRUE(notify.size() == 1 && states.size() == 1);
    EXPECT_EQ(notify[0].message, static_cast<DWORD>(NIM_DELETE));
    EXPECT_EQ(states[0].state, 0x80000000u);
    MSG quit;
    EXPECT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) && quit.wParam == 0);
    EXPECT_TRUE(IsWindow(window_));
}
