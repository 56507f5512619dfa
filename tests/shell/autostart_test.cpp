#include "shell/autostart.h"
#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>

using namespace testing_support;

// The Run value with its terminator; "-" when absent, "?" when not REG_SZ.
static std::wstring Stored()
{
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!ReadRunValue(&type, &data)) return L"-";
    return type != REG_SZ ? L"?" : std::wstring(reinterpret_cast<wchar_t*>(data.data()), data.size() / 2);
}
// GetModuleFileNameW as the system does it: a name that does not fit is cut and the buffer's size returned.
static void ReportModuleName(const std::wstring& name)
{
    seams::moduleFileNameHook = [name](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
        const size_t kept = std::min<size_t>(name.size(), size - 1);
        buffer[name.copy(buffer, kept)] = L'\0';
        return kept < name.size() ? (SetLastError(ERROR_INSUFFICIENT_BUFFER), size) : static_cast<DWORD>(kept);
    };
}

class Autostart : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetAppState(), seams::Reset();
        ASSERT_TRUE(DeleteRunValue());
        ASSERT_NE(window_ = CreateHiddenWindow(), nullptr);
        KillTimer(window_, kStartupTimerId);
    }
    void TearDown() override { DestroyWindow(window_); }
    std::wstring Toggle(DWORD flags)
    {
        SendMessageW(window_, WM_COMMAND, CmdToggleAutostart, 0);
        EXPECT_EQ(AppState::trayData.dwInfoFlags, flags);
        return AppState::trayData.szInfo;
    }
    RunKeyGuard runKey_;
    HWND window_ = nullptr;
};

TEST_F(Autostart, OnOnlyForANonEmptyRegSzOfAtMost4096BytesAndOffWithoutTheRunKey)
{
    EXPECT_FALSE(IsAutostartEnabled()) << "no value";
    EXPECT_TRUE(SetAutostart(false)) << "removing a missing value is no failure";
    const struct { DWORD type; std::wstring text; bool on; } cases[] = {
        {REG_SZ, L"", false}, {REG_EXPAND_SZ, L"\"C:\\P\\Noctara.exe\"", false}, {REG_SZ, L"\"C:\\Outro\\N.exe\" /x", true},
        {REG_SZ, std::wstring(2047, L'a'), true}, {REG_SZ, std::wstring(2048, L'a'), false}};
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteRunValue(c.type, c.text));
        EXPECT_EQ(IsAutostartEnabled(), c.on) << Narrow(c.text.substr(0, 20)) << " of " << c.text.size();
    }
    ASSERT_TRUE(runKey_.DeleteRunKey());
    EXPECT_FALSE(IsAutostartEnabled());
    EXPECT_FALSE(SetAutostart(true));
    EXPECT_EQ(Toggle(NIIF_WARNING), L"Não foi possível alterar a inicialização com o Windows.");
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, KEY_READ, &key), ERROR_SUCCESS) << "created";
}

// Wine starts nothing deeper than MAX_PATH from inside; check_long_path.cmake does from outside.
TEST_F(Autostart, PathIsStoredOnceInQuotesAsRegSzWholeBeyondMaxPathOrNotAtAll)
{
    const std::wstring exe = L"C:\\Program Files\\" + std::wstring(5000, L'p') + L"\\Noctara.exe", quoted = L"\"" + exe + L"\"";
    ReportModuleName(exe);
    EXPECT_EQ(GetExecutablePath(), exe);
    ASSERT_TRUE(WriteRunValue(REG_EXPAND_SZ, quoted));
    EXPECT_EQ(Toggle(NIIF_INFO), L"Iniciará com o Windows.");
    EXPECT_EQ(Stored(), quoted + L'\0') << "REG_SZ of 2 × (length + 3) bytes";
    EXPECT_TRUE(SetAutostart(true));
    EXPECT_EQ(Stored(), quoted + L'\0') << "written again, not appended";
    EXPECT_TRUE(SetAutostart(false));
    ReportModuleName(L"C:\\" + std::wstring(40000, L'p'));
    EXPECT_EQ(GetExecutablePath(), L"") << "a cut path names another file";
    EXPECT_FALSE(SetAutostart(true));
    EXPECT_EQ(Stored(), L"-");
}
