// A hidden window of the program's class with stand-in icons, the tray
// calls observed at the link seam (and forwarded to Wine's shell).
#pragma once

#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>

#include <vector>

class TrayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testing_support::ResetAppState();
        seams::Reset();
        seams::workerTickMs = 5;
        // Distinct system icons stand in for resources 101 and 102.
        AppState::iconActive = LoadIconW(nullptr, IDI_APPLICATION);
        AppState::iconPaused = LoadIconW(nullptr, IDI_WARNING);
        window_ = testing_support::CreateHiddenWindow();
        ASSERT_NE(window_, nullptr);
        KillTimer(window_, kStartupTimerId);  // no check thread during these tests
        seams::Reset();
        seams::workerTickMs = 5;
    }

    void TearDown() override
    {
        testing_support::StopWorkers();
        seams::Reset();
        if (window_ != nullptr) {
            DestroyWindow(window_);  // WM_DESTROY removes the icon
        }
        MSG quit;
        while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
        seams::Reset();
    }

    static std::vector<seams::NotifyCall> CallsOf(DWORD message)
    {
        std::vector<seams::NotifyCall> calls;
        for (const auto& call : seams::NotifyCalls()) {
            if (call.message == message) {
                calls.push_back(call);
            }
        }
        return calls;
    }

    // The calls that showed a balloon.
    static std::vector<seams::NotifyCall> Balloons()
    {
        std::vector<seams::NotifyCall> shown;
        for (const auto& call : CallsOf(NIM_MODIFY)) {
            if (call.data.uFlags & NIF_INFO) {
                shown.push_back(call);
            }
        }
        return shown;
    }

    void Command(WORD id) { SendMessageW(window_, WM_COMMAND, id, 0); }

    HWND window_ = nullptr;
};
