// The real Noctara.exe, started as a user would start it, read back from
// another process: its window, its single-instance guard, its exit codes.
#include "tests/support/app_fixture.h"

#include <gtest/gtest.h>

using namespace testing_support;

namespace {

class RunningProduct : public ::testing::Test {
protected:
    void SetUp() override
    {
        process_ = StartProduct();
        ASSERT_NE(process_, nullptr) << "could not start " << Narrow(ProductExePath());
        window_ = WaitForProductWindow(GetProcessId(process_), 20000);
        ASSERT_NE(window_, nullptr) << "the hidden window never appeared";
    }
    void TearDown() override
    {
        if (process_ != nullptr) {
            if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
                TerminateProcess(process_, 99);
                WaitForSingleObject(process_, 5000);
            }
            CloseHandle(process_);
        }
    }
    HANDLE process_ = nullptr;
    HWND window_ = nullptr;
};

int CountProductWindows()
{
    int count = 0;
    for (HWND window = FindWindowExW(nullptr, nullptr, kWindowClassName, nullptr); window != nullptr;
         window = FindWindowExW(nullptr, window, kWindowClassName, nullptr)) {
        ++count;
    }
    return count;
}

}  // namespace

TEST_F(RunningProduct, HiddenWindowIsTopLevelInvisibleAndNamed)
{
    wchar_t title[64] = {};
    GetWindowTextW(window_, title, ARRAYSIZE(title));
    EXPECT_STREQ(title, L"Noctara");
    EXPECT_FALSE(IsWindowVisible(window_));
    // A message-only window would not hear the shell's broadcasts.
    EXPECT_EQ(GetAncestor(window_, GA_PARENT), GetDesktopWindow());
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(window_, GWL_STYLE)) & WS_OVERLAPPEDWINDOW,
              static_cast<DWORD>(WS_OVERLAPPEDWINDOW));
}

TEST_F(RunningProduct, SecondInstanceEndsAtOnceWithZeroAndNoWindow)
{
    HANDLE second = StartProduct();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(WaitForExit(second, 10000), 0u);
    CloseHandle(second);
    EXPECT_EQ(CountProductWindows(), 1);
    EXPECT_EQ(WaitForSingleObject(process_, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the first copy must carry on";
}

TEST_F(RunningProduct, ExitCommandEndsWithZero)
{
    PostMessageW(window_, WM_COMMAND, CmdExit, 0);
    EXPECT_EQ(WaitForExit(process_, 10000), 0u);
}

TEST_F(RunningProduct, CloseFromAnotherProcessEndsWithZero)
{
    PostMessageW(window_, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForExit(process_, 10000), 0u);
    EXPECT_FALSE(IsWindow(window_));
}

TEST_F(RunningProduct, CopyCommandLeavesUnquotedPathWithNulOnClipboard)
{
    // Something else on the clipboard first, so a stale value cannot pass.
    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    CloseClipboard();

    PostMessageW(window_, WM_COMMAND, CmdCopyExePath, 0);
    const std::wstring expected = ProductExePath();
    std::wstring text;
    SIZE_T bytes = 0;
    EXPECT_TRUE(PumpUntil(
        [&] {
            text = ReadClipboardText(&bytes);
            return !text.empty();
        },
        10000));
    EXPECT_EQ(Narrow(text), Narrow(expected));
    // The block holds the path and its terminating NUL, nothing more.
    EXPECT_GE(bytes, (expected.size() + 1) * sizeof(wchar_t));
    EXPECT_LT(bytes, (expected.size() + 1) * sizeof(wchar_t) + 16);
}

TEST(Startup, CommandLineArgumentsChangeNothing)
{
    const std::wstring exe = ProductExePath();
    std::wstring commandLine = L"\"" + exe + L"\" --help /quit";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &info));
    CloseHandle(info.hThread);
    HWND window = WaitForProductWindow(info.dwProcessId, 20000);
    EXPECT_NE(window, nullptr);
    PostMessageW(window, WM_COMMAND, CmdExit, 0);
    EXPECT_EQ(WaitForExit(info.hProcess, 10000), 0u);
    CloseHandle(info.hProcess);
}
