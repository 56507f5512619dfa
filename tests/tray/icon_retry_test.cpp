// A refused NIM_ADD is retried from timer 2; "TaskbarCreated" re-adds at once.
#include "tray/tray_icon.h"
#include "tests/tray/tray_fixture.h"

#include <algorithm>

using namespace testing_support;

namespace {

size_t CountOf(DWORD message)
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

}  // namespace

class IconRetry : public TrayTest {
protected:
    void SetUp() override
    {
        // The window is created by the test, once the shell's answers are set.
        ResetAppState();
        seams::Reset();
        AppState::iconActive = LoadIconW(nullptr, IDI_APPLICATION);
        AppState::iconPaused = LoadIconW(nullptr, IDI_WARNING);
    }

    // NIM_ADD fails `failures` times (always when negative), the rest is real.
    void RefuseAdds(int failures)
    {
        refusals_ = failures;
        successfulAdds_ = 0;
        seams::shellNotifyIconHook = [this](DWORD message, PNOTIFYICONDATAW data) -> BOOL {
            if (message == NIM_ADD && refusals_ != 0) {
                if (refusals_ > 0) {
                    --refusals_;
                }
                return FALSE;
            }
            BOOL result = seams::RealShellNotifyIcon(message, data);
            if (message == NIM_ADD && result) {
                ++successfulAdds_;
            }
            return result;
        };
    }

    void CreateWindowRefused()
    {
        window_ = CreateHiddenWindow();
        ASSERT_NE(window_, nullptr);
        KillTimer(window_, kStartupTimerId);
        ASSERT_EQ(CountOf(NIM_ADD), 1u);
    }

    int refusals_ = 0;
    int successfulAdds_ = 0;
};

TEST_F(IconRetry, IconRefusedAtCreationIsAddedByTheRetryTimer)
{
    AppState::active = false;
    RefuseAdds(1);
    CreateWindowRefused();
    EXPECT_EQ(CountOf(NIM_SETVERSION), 0u);

    ASSERT_TRUE(PumpUntil([&] { return successfulAdds_ == 1; }, 10000));
    EXPECT_EQ(CountOf(NIM_ADD), 2u);
    const auto last = seams::NotifyCalls().back();
    EXPECT_EQ(last.message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(last.data.hIcon, AppState::iconPaused);
    EXPECT_STREQ(last.data.szTip, L"Noctara v1.2.2 (Pausado)");

    // The timer went with the success: killing it again finds nothing.
    ASSERT_EQ(RetryTimerKills(window_), 1u);
    EXPECT_TRUE(seams::KillTimerCalls().back().result);
    EXPECT_FALSE(KillTimer(window_, kTrayRetryTimerId));
}

TEST_F(IconRetry, RetriesStopAfterThirtyRefusals)
{
    RefuseAdds(-1);
    CreateWindowRefused();
    // Thirty ticks of the 2-second timer, delivered at once.
    for (int tick = 1; tick <= 30; ++tick) {
        SendMessageW(window_, WM_TIMER, kTrayRetryTimerId, 0);
        ASSERT_EQ(RetryTimerKills(window_), tick == 30 ? 1u : 0u) << "tick " << tick;
    }
    EXPECT_EQ(CountOf(NIM_ADD), 31u) << "one at creation, thirty retries";
    EXPECT_TRUE(seams::KillTimerCalls().back().result) << "the armed timer was the one killed";
    EXPECT_FALSE(KillTimer(window_, kTrayRetryTimerId));
    EXPECT_EQ(CountOf(NIM_SETVERSION), 0u);
    EXPECT_TRUE(seams::ThreadCalls().empty()) << "a retry tick is not the start-up tick";
}

TEST_F(IconRetry, TaskbarCreatedDuringRetriesAddsTheIconAndEndsThem)
{
    RefuseAdds(1);
    CreateWindowRefused();
    AppState::active = false;

    SendMessageW(window_, AppState::taskbarCreatedMessage, 0, 0);
    EXPECT_EQ(successfulAdds_, 1);
    EXPECT_STREQ(AppState::trayData.szTip, L"Noctara v1.2.2 (Pausado)");
    // Otherwise every later tick would NIM_ADD an icon that exists, resetting
    // the record each time, for a minute.
    EXPECT_EQ(RetryTimerKills(window_), 1u);
    EXPECT_FALSE(KillTimer(window_, kTrayRetryTimerId));
}

TEST_F(IconRetry, TaskbarCreatedRestoresTheCurrentPictureAndTip)
{
    RefuseAdds(0);
    window_ = CreateHiddenWindow();
    ASSERT_NE(window_, nullptr);
    KillTimer(window_, kStartupTimerId);
    SendMessageW(window_, WM_COMMAND, CmdToggleActive, 0);  // paused, with its balloon
    // The shell restarted: it has forgotten the icon.
    Shell_NotifyIconW(NIM_DELETE, &AppState::trayData);
    seams::Reset();
    RefuseAdds(0);

    SendMessageW(window_, AppState::taskbarCreatedMessage, 0, 0);
    EXPECT_EQ(successfulAdds_, 1) << "Wine's shell took the icon back";
    const auto calls = seams::NotifyCalls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[0].message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(calls[1].message, static_cast<DWORD>(NIM_SETVERSION));
    EXPECT_EQ(calls[1].data.uVersion, 4u);
    for (size_t i = 2; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].message, static_cast<DWORD>(NIM_MODIFY));
        EXPECT_EQ(calls[i].data.uFlags, 0x87u) << "the old balloon is not shown again";
    }
    EXPECT_EQ(calls.back().data.hIcon, AppState::iconPaused);
    EXPECT_STREQ(calls.back().data.szTip, L"Noctara v1.2.2 (Pausado)");
}
