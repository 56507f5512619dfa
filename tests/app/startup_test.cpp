// The real Noctara.exe, read back from another process.
#include "tests/support/app_fixture.h"

#include <gtest/gtest.h>

using namespace testing_support;

class RunningProduct : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(process_ = StartProduct(), nullptr);
        ASSERT_NE(window_ = WaitForProductWindow(GetProcessId(process_), 20000), nullptr);
    }
    void TearDown() override
    {
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_, 99);
        }
        CloseHandle(process_);
    }
    HANDLE process_ = nullptr;
    HWND window_ = nullptr;
};

TEST_F(RunningProduct, HiddenWindowAndSecondInstance)
{
    wchar_t title[16] = {};
    GetWindowTextW(window_, title, ARRAYSIZE(title));
    EXPECT_STREQ(title, L"Noctara");
    EXPECT_FALSE(IsWindowVisible(window_));
    EXPECT_EQ(GetAncestor(window_, GA_PARENT), GetDesktopWindow()) << "not message-only";

    HANDLE second = StartProduct();
    EXPECT_EQ(WaitForExit(second, 10000), 0u);
    CloseHandle(second);
    EXPECT_EQ(FindWindowExW(nullptr, window_, kWindowClassName, nullptr), nullptr);
    EXPECT_EQ(FindWindowExW(nullptr, nullptr, kWindowClassName, nullptr), window_);
}

TEST_F(RunningProduct, CopyLeavesThePathWithItsNulThenExitEndsWithZero)
{
    ASSERT_TRUE(OpenClipboard(nullptr) && EmptyClipboard() && CloseClipboard());
    PostMessageW(window_, WM_COMMAND, CmdCopyExePath, 0);
    // Polled without opening the clipboard, which would make the copy fail.
    EXPECT_TRUE(PumpUntil([] { return IsClipboardFormatAvailable(CF_UNICODETEXT) != FALSE; }, 10000));
    SIZE_T bytes = 0;
    const std::wstring text = ReadClipboardText(&bytes);
    EXPECT_EQ(Narrow(text), Narrow(ProductExePath()));
    EXPECT_GE(bytes, (text.size() + 1) * sizeof(wchar_t));
    PostMessageW(window_, WM_COMMAND, CmdExit, 0);
    EXPECT_EQ(WaitForExit(process_, 10000), 0u);
}

TEST_F(RunningProduct, CloseFromAnotherProcessEndsWithZero)
{
    PostMessageW(window_, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForExit(process_, 10000), 0u);
}
