// The window procedure driven in-process through a real hidden window; the
// shell, the worker and the threads are observed at the link seam.
#include "app/window_proc.h"
#include "engine/keep_awake.h"
#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"
#include "update/update_check.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace testing_support;

namespace {

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetAppState();
        seams::Reset();
        seams::workerTickMs = 5;
        window_ = CreateHiddenWindow();
        ASSERT_NE(window_, nullptr);
        // Most tests must not race the start-up check; the timer test re-arms it.
        KillTimer(window_, kStartupTimerId);
    }
    void TearDown() override
    {
        DestroyHiddenWindow(window_);
    }
    LRESULT TrayEvent(WORD event) { return SendMessageW(window_, kTrayCallbackMessage, 0, MAKELPARAM(event, 1)); }
    std::vector<std::wstring> BalloonTexts() const
    {
        std::vector<std::wstring> texts;
        for (const auto& call : seams::NotifyCalls()) {
            if (call.message == NIM_MODIFY && (call.data.uFlags & NIF_INFO)) {
                texts.push_back(call.data.szInfo);
            }
        }
        return texts;
    }
    size_t DefaultCallsFor(UINT message) const
    {
        const auto calls = seams::DefaultCalls();
        return std::count_if(calls.begin(), calls.end(), [&](const auto& c) { return c.message == message; });
    }
    HWND window_ = nullptr;
};

}  // namespace

TEST_F(Dispatch, CommandOutsideTheTableReachesDefWindowProc)
{
    seams::Reset();
    EXPECT_EQ(SendMessageW(window_, WM_COMMAND, 40099, 0), 0);
    const auto calls = seams::DefaultCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].message, static_cast<UINT>(WM_COMMAND));
    EXPECT_EQ(calls[0].wParam, 40099u);

    // Known commands are handled, not passed on.
    SendMessageW(window_, WM_COMMAND, CmdDownloadUpdate, 0);
    EXPECT_EQ(DefaultCallsFor(WM_COMMAND), 1u);
}

TEST_F(Dispatch, DoubleClickTogglesLikeTheMenuCommandWithItsBalloon)
{
    EXPECT_EQ(TrayEvent(WM_LBUTTONDBLCLK), 0);
    EXPECT_FALSE(AppState::active);
    EXPECT_STREQ(AppState::trayData.szTip, L"Noctara v1.2.2 (Pausado)");

    EXPECT_EQ(TrayEvent(WM_LBUTTONDBLCLK), 0);
    EXPECT_TRUE(AppState::active);
    EXPECT_TRUE(seams::WaitForLiveWorkers(1, 5000));
    EXPECT_STREQ(AppState::trayData.szTip, L"Noctara v1.2.2 (Ativo)");

    EXPECT_EQ(BalloonTexts(), (std::vector<std::wstring>{L"Pausado. O dispositivo pode dormir.",
                                                         L"Ativo! O dispositivo não irá dormir."}));
    EXPECT_EQ(AppState::trayData.szInfoTitle, std::wstring(L"Noctara"));
}

TEST_F(Dispatch, TrayEventsOutsideTheTableDoNothing)
{
    seams::Reset();
    for (WORD event : {WORD(WM_MOUSEMOVE), WORD(WM_LBUTTONDOWN), WORD(WM_LBUTTONUP), WORD(NIN_SELECT),
                       WORD(NIN_BALLOONSHOW), WORD(NIN_BALLOONTIMEOUT), WORD(0xBEEF)}) {
        EXPECT_EQ(TrayEvent(event), 0);
    }
    EXPECT_TRUE(seams::NotifyCalls().empty());
    EXPECT_TRUE(seams::TrackedMenus().empty());
    EXPECT_TRUE(seams::ShellExecuteCalls().empty());
    EXPECT_EQ(DefaultCallsFor(kTrayCallbackMessage), 0u);
    EXPECT_TRUE(AppState::active);
}

TEST_F(Dispatch, RightClickAndContextMenuOpenTheMenu)
{
    TrayEvent(WM_RBUTTONUP);
    TrayEvent(WM_CONTEXTMENU);
    SendMessageW(window_, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(window_), 0);
    const auto menus = seams::TrackedMenus();
    ASSERT_EQ(menus.size(), 3u);
    for (const auto& menu : menus) {
        EXPECT_EQ(menu.owner, window_);
        EXPECT_EQ(menu.flags, static_cast<UINT>(TPM_RIGHTBUTTON | TPM_BOTTOMALIGN));
    }
}

TEST_F(Dispatch, StartupTimerStartsTheCheckThreadExactlyOnce)
{
    SetTimer(window_, kStartupTimerId, kStartupTimerMs, nullptr);
    auto checkThreads = [] {
        const auto calls = seams::ThreadCalls();
        return std::count_if(calls.begin(), calls.end(),
                             [](const auto& c) { return c.routine == &CheckThreadProc && c.created; });
    };
    ASSERT_TRUE(PumpUntil([&] { return checkThreads() == 1; }, 10000));
    // Its report arrives whatever the service said, and switches keeping awake on.
    ASSERT_TRUE(PumpUntil([] { return AppState::workerRunning.load(); }, 40000));
    PumpFor(3 * kStartupTimerMs);
    EXPECT_EQ(checkThreads(), 1);
}

TEST_F(Dispatch, CheckReportUndoesAnEarlierPauseWithoutToggleBalloon)
{
    TrayEvent(WM_LBUTTONDBLCLK);
    ASSERT_FALSE(AppState::active);
    seams::Reset();
    seams::workerTickMs = 5;

    EXPECT_EQ(SendMessageW(window_, kCheckResultMessage, 0, 0), 0);
    EXPECT_TRUE(AppState::active);
    EXPECT_TRUE(seams::WaitForLiveWorkers(1, 5000));
    EXPECT_STREQ(AppState::trayData.szTip, L"Noctara v1.2.2 (Ativo)");
    EXPECT_TRUE(BalloonTexts().empty());
}

TEST_F(Dispatch, TaskbarCreatedAddsTheIconAgainWithCurrentState)
{
    AppState::active = false;
    seams::Reset();
    EXPECT_EQ(SendMessageW(window_, AppState::taskbarCreatedMessage, 0, 0), 0);
    const auto calls = seams::NotifyCalls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls.front().message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(calls.back().message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_STREQ(calls.back().data.szTip, L"Noctara v1.2.2 (Pausado)");
}

TEST_F(Dispatch, ExitRemovesIconWithdrawsStateAndQuits)
{
    seams::Reset();
    EXPECT_EQ(SendMessageW(window_, WM_COMMAND, CmdExit, 0), 0);
    const auto notify = seams::NotifyCalls();
    ASSERT_EQ(notify.size(), 1u);
    EXPECT_EQ(notify[0].message, static_cast<DWORD>(NIM_DELETE));
    const auto states = seams::ExecutionStateCalls();
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0].state, static_cast<EXECUTION_STATE>(0x80000000));
    MSG quit;
    EXPECT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(quit.wParam, 0u);
    EXPECT_TRUE(IsWindow(window_)) << "the exit command does not destroy the window";
}
