// The Run value, the toggle command's balloons and the executable's path.
#include "shell/autostart.h"
#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

const std::wstring kExe = L"C:\\Program Files\\Noctara\\Noctara.exe";
const wchar_t kOn[] = L"Iniciará com o Windows.";
const wchar_t kWarning[] = L"Não foi possível alterar a inicialização com o Windows.";

// The stored value with its terminator; "-" when absent, "?" when not REG_SZ.
std::wstring Stored()
{
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!ReadRunValue(&type, &data)) {
        return L"-";
    }
    return type != REG_SZ ? L"?" : std::wstring(reinterpret_cast<wchar_t*>(data.data()), data.size() / 2);
}

// As it must be stored: 2 × (length + 3) bytes.
std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\"" + std::wstring(1, L'\0'); }
// Exactly `n` units.
std::wstring DeepPath(size_t n) { return L"C:\\Program Files\\" + std::wstring(n - 29, L'p') + L"\\Noctara.exe"; }

}  // namespace

class Autostart : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetAppState();
        seams::Reset();
        ASSERT_TRUE(DeleteRunValue());
        window_ = CreateHiddenWindow();
        ASSERT_NE(window_, nullptr);
        KillTimer(window_, kStartupTimerId);
    }
    void TearDown() override { DestroyWindow(window_); }

    // Runs the toggle command; returns the text of its one balloon.
    std::wstring Toggle(DWORD flags = NIIF_INFO)
    {
        const size_t before = seams::NotifyCalls().size();
        AppState::lastBalloonKind = BalloonKind::Update;
        SendMessageW(window_, WM_COMMAND, CmdToggleAutostart, 0);
        const auto calls = seams::NotifyCalls();
        EXPECT_EQ(std::count_if(calls.begin() + before, calls.end(), [](auto& c) { return c.data.uFlags & NIF_INFO; }),
                  1);
        EXPECT_STREQ(AppState::trayData.szInfoTitle, L"Configuração");
        EXPECT_EQ(AppState::trayData.dwInfoFlags, flags);
        EXPECT_EQ(AppState::lastBalloonKind, BalloonKind::Plain);
        return AppState::trayData.szInfo;
    }

    // GetModuleFileNameW reports `name` as the system does: cut to the buffer,
    // returning the buffer's size, when it does not fit; empty is a failure.
    void ReportModuleName(const std::wstring& name)
    {
        name_ = name;
        seams::moduleFileNameHook = [this](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
            const size_t kept = std::min<size_t>(name_.size(), size - 1);
            name_.copy(buffer, kept);
            buffer[kept] = L'\0';
            SetLastError(kept < name_.size() ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS);
            return kept < name_.size() ? size : static_cast<DWORD>(kept);
        };
    }

    RunKeyGuard runKey_;
    HWND window_ = nullptr;
    std::wstring name_;
};

TEST_F(Autostart, OnOnlyForANonEmptyRegSzOfAtMost4096Bytes)
{
    EXPECT_FALSE(IsAutostartEnabled()) << "no value";
    EXPECT_TRUE(SetAutostart(false)) << "removing a value that is not there is no failure";
    struct Case { const char* name; DWORD type; std::wstring text; bool on; };
    const Case cases[] = {
        {"empty REG_SZ", REG_SZ, L"", false},
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, L"\"C:\\Programas\\Noctara.exe\"", false},
        {"another program's path", REG_SZ, L"\"C:\\Outro Lugar\\Noctara.exe\" /x", true},
        {"4096 bytes", REG_SZ, std::wstring(2047, L'a'), true},
        {"4098 bytes", REG_SZ, std::wstring(2048, L'a'), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteRunValue(c.type, c.text));
        EXPECT_EQ(IsAutostartEnabled(), c.on);
    }
}

TEST_F(Autostart, RunValueAndClipboardGetTheWholePathQuotedOnce)
{
    for (const std::wstring& path : {kExe, DeepPath(300)}) {
        SCOPED_TRACE(path.size());
        ReportModuleName(path);
        for (int round = 0; round < 2; ++round) {  // writing again replaces, never appends
            EXPECT_TRUE(SetAutostart(true));
            EXPECT_EQ(Stored(), Quoted(path));
            EXPECT_TRUE(IsAutostartEnabled());
        }
        SendMessageW(window_, WM_COMMAND, CmdCopyExePath, 0);
        EXPECT_EQ(ReadClipboardText(), path);
        EXPECT_TRUE(SetAutostart(false));
        EXPECT_EQ(Stored(), L"-");
    }
}

TEST_F(Autostart, ToggleWordsItsBalloonFromThePreviousStateAndWritesRegSz)
{
    ReportModuleName(kExe);
    struct Case { const char* name; DWORD type; std::wstring text; const wchar_t* balloon; std::wstring after; };
    const Case cases[] = {
        {"empty REG_SZ", REG_SZ, L"", kOn, Quoted(kExe)},
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, L"\"" + kExe + L"\"", kOn, Quoted(kExe)},
        {"another path", REG_SZ, L"\"C:\\Outro\\Noctara.exe\"", L"Removido da inicialização com o Windows.", L"-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteRunValue(c.type, c.text));
        EXPECT_EQ(Toggle(), c.balloon);
        EXPECT_EQ(Stored(), c.after);
    }
}

TEST_F(Autostart, MissingRunKeyIsOffAndIsNeverCreated)
{
    ASSERT_TRUE(runKey_.DeleteRunKey());
    EXPECT_FALSE(IsAutostartEnabled());
    EXPECT_FALSE(SetAutostart(true));
    EXPECT_FALSE(SetAutostart(false));
    EXPECT_EQ(Toggle(NIIF_WARNING), kWarning);
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, KEY_READ, &key), ERROR_SUCCESS) << "created";
}

// Wine starts nothing deeper than MAX_PATH from inside (check_long_path.cmake
// does from outside), so the hook stands in for the longer names.
TEST_F(Autostart, PathIsWholeUpTo32767UnitsOrEmpty)
{
    for (const size_t length : {259, 260, 5000, 32767, 40000, 0}) {
        SCOPED_TRACE(length);
        const std::wstring path = length == 0 ? L"" : DeepPath(length);
        ReportModuleName(path);
        EXPECT_EQ(GetExecutablePath(), length <= 32767 ? path : L"") << "a cut path names another file";
    }
    // No path: the Run value is left alone and the toggle says so.
    EXPECT_FALSE(SetAutostart(true));
    EXPECT_EQ(Stored(), L"-");
    EXPECT_EQ(Toggle(NIIF_WARNING), kWarning);
}
