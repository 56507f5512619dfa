// The autostart value under the user's Run key, the toggle command and its
// balloons, and the executable's path. The Run key is saved and restored
// around every test.
#include "shell/autostart.h"
#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace testing_support;

namespace {

std::wstring OwnPath()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring AsText(const std::vector<BYTE>& data)
{
    return std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
}

bool RunKeyExists()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// The quoted path with its terminator, exactly as it must be stored.
std::wstring StoredCommand(const std::wstring& path)
{
    return L"\"" + path + L"\"" + std::wstring(1, L'\0');
}

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
        seams::Reset();
    }
    void TearDown() override
    {
        StopWorkers();
        DestroyWindow(window_);
        MSG quit;
        while (PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
        seams::Reset();
    }

    // Runs the toggle command and returns the one balloon it showed.
    NOTIFYICONDATAW Toggle()
    {
        const size_t before = seams::NotifyCalls().size();
        AppState::lastBalloonKind = BalloonKind::Update;
        SendMessageW(window_, WM_COMMAND, CmdToggleAutostart, 0);
        const auto calls = seams::NotifyCalls();
        std::vector<NOTIFYICONDATAW> shown;
        for (size_t i = before; i < calls.size(); ++i) {
            if (calls[i].message == NIM_MODIFY && (calls[i].data.uFlags & NIF_INFO)) {
                shown.push_back(calls[i].data);
            }
        }
        EXPECT_EQ(shown.size(), 1u);
        EXPECT_EQ(AppState::lastBalloonKind, BalloonKind::Plain);
        return shown.empty() ? NOTIFYICONDATAW{} : shown.front();
    }

    RunKeyGuard runKey_;
    HWND window_ = nullptr;
};

TEST_F(Autostart, OnOnlyForANonEmptyRegSzValue)
{
    struct Case {
        const char* name;
        DWORD type;
        std::wstring text;  // written with its terminator
        bool on;
    };
    const Case cases[] = {
        {"empty REG_SZ", REG_SZ, L"", false},
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, L"\"C:\\Programas\\Noctara.exe\"", false},
        {"REG_MULTI_SZ", REG_MULTI_SZ, std::wstring(L"C:\\a.exe\0", 9), false},
        {"another program's path", REG_SZ, L"\"C:\\Outro Lugar\\Noctara.exe\" /x", true},
        {"any text", REG_SZ, L"x", true},
        {"4096 bytes with the terminator", REG_SZ, std::wstring(2047, L'a'), true},
        {"4098 bytes with the terminator", REG_SZ, std::wstring(2048, L'a'), false},
    };
    EXPECT_FALSE(IsAutostartEnabled()) << "no value";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(WriteRunValue(c.type, c.text));
        EXPECT_EQ(IsAutostartEnabled(), c.on);
    }
    ASSERT_TRUE(WriteRunValue(REG_SZ, nullptr, 0));
    EXPECT_FALSE(IsAutostartEnabled()) << "REG_SZ without any data";
    const DWORD number = 1;
    ASSERT_TRUE(WriteRunValue(REG_DWORD, &number, sizeof(number)));
    EXPECT_FALSE(IsAutostartEnabled()) << "REG_DWORD";
}

TEST_F(Autostart, SetWritesTheQuotedPathOnceAndDeletesIt)
{
    const std::wstring path = OwnPath();
    ASSERT_EQ(GetExecutablePath(), path);

    for (int round = 0; round < 2; ++round) {  // writing again replaces, never appends
        EXPECT_TRUE(SetAutostart(true));
        DWORD type = 0;
        std::vector<BYTE> data;
        ASSERT_TRUE(ReadRunValue(&type, &data));
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(data.size(), 2 * (path.size() + 3));
        EXPECT_EQ(AsText(data), StoredCommand(path));
        EXPECT_TRUE(IsAutostartEnabled());
    }

    EXPECT_TRUE(SetAutostart(false));
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_FALSE(ReadRunValue(&type, &data));
    EXPECT_FALSE(IsAutostartEnabled());
    EXPECT_TRUE(SetAutostart(false)) << "removing a value that is not there is what the user asked for";
}

TEST_F(Autostart, ToggleCommandWordsItsBalloonFromThePreviousState)
{
    const std::wstring own = L"\"" + OwnPath() + L"\"";
    struct Case {
        const char* name;
        bool present;
        DWORD type;
        std::wstring text;
        const wchar_t* balloon;
        bool presentAfter;
    };
    const Case cases[] = {
        {"no value", false, 0, L"", L"Iniciará com o Windows.", true},
        {"empty REG_SZ", true, REG_SZ, L"", L"Iniciará com o Windows.", true},
        {"REG_EXPAND_SZ", true, REG_EXPAND_SZ, own, L"Iniciará com o Windows.", true},
        {"another path", true, REG_SZ, L"\"C:\\Outro\\Noctara.exe\"", L"Removido da inicialização com o Windows.",
         false},
        {"our own path", true, REG_SZ, own, L"Removido da inicialização com o Windows.", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(c.present ? WriteRunValue(c.type, c.text) : DeleteRunValue());

        const NOTIFYICONDATAW balloon = Toggle();
        EXPECT_STREQ(balloon.szInfoTitle, L"Configuração");
        EXPECT_STREQ(balloon.szInfo, c.balloon);
        EXPECT_EQ(balloon.dwInfoFlags, static_cast<DWORD>(NIIF_INFO));

        DWORD type = 0;
        std::vector<BYTE> data;
        ASSERT_EQ(ReadRunValue(&type, &data), c.presentAfter);
        if (c.presentAfter) {
            EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
            EXPECT_EQ(AsText(data), StoredCommand(OwnPath()));
        }
    }
}

TEST_F(Autostart, MissingRunKeyIsOffAndIsNeverCreated)
{
    ASSERT_TRUE(runKey_.DeleteRunKey());
    ASSERT_FALSE(RunKeyExists());

    EXPECT_FALSE(IsAutostartEnabled());
    EXPECT_FALSE(SetAutostart(true));
    EXPECT_FALSE(SetAutostart(false));
    EXPECT_FALSE(RunKeyExists());

    const NOTIFYICONDATAW balloon = Toggle();
    EXPECT_STREQ(balloon.szInfoTitle, L"Configuração");
    EXPECT_STREQ(balloon.szInfo, L"Não foi possível alterar a inicialização com o Windows.");
    EXPECT_EQ(balloon.dwInfoFlags, static_cast<DWORD>(NIIF_WARNING));
    EXPECT_FALSE(RunKeyExists());
}

// Wine cannot start a program from a folder deeper than MAX_PATH from inside
// (check_long_path.cmake runs one from the Unix side), so here the module
// name is reported by a stand-in that behaves as the system does: it cuts
// the name to the buffer and returns the buffer size when it does not fit.
class LongModuleName : public Autostart {
protected:
    void Report(const std::wstring& name)
    {
        name_ = name;
        asked_.clear();
        seams::moduleFileNameHook = [this](HMODULE module, LPWSTR buffer, DWORD size) -> DWORD {
            EXPECT_EQ(module, nullptr);
            asked_.push_back(size);
            if (size > name_.size()) {
                name_.copy(buffer, name_.size());
                buffer[name_.size()] = L'\0';
                return static_cast<DWORD>(name_.size());
            }
            if (size > 0) {
                name_.copy(buffer, size - 1);
                buffer[size - 1] = L'\0';
            }
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return size;
        };
    }

    static std::wstring DeepPath(size_t length)
    {
        std::wstring path = L"C:\\Program Files\\Noctara";
        for (int n = 1; path.size() + 12 < length; ++n) {
            path += L"\\pasta " + std::to_wstring(n % 10);
        }
        path.resize(length - 12, L'x');
        return path + L"\\Noctara.exe";
    }

    std::wstring name_;
    std::vector<DWORD> asked_;
};

TEST_F(LongModuleName, WholePathWhateverItsLength)
{
    for (const size_t length : {size_t{259}, size_t{260}, size_t{300}, size_t{5000}, size_t{32767}}) {
        SCOPED_TRACE(length);
        const std::wstring path = DeepPath(length);
        ASSERT_EQ(path.size(), length);
        Report(path);
        EXPECT_EQ(GetExecutablePath(), path);
        EXPECT_EQ(asked_.front(), static_cast<DWORD>(MAX_PATH));
        EXPECT_LE(asked_.back(), 32768u);
    }
}

TEST_F(LongModuleName, FailureOrANameThatNeverFitsGivesNoPath)
{
    Report(std::wstring(40000, L'a'));
    EXPECT_EQ(GetExecutablePath(), L"") << "a cut path names another file";
    seams::moduleFileNameHook = [](HMODULE, LPWSTR buffer, DWORD size) -> DWORD {
        if (size > 0) {
            buffer[0] = L'\0';
        }
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    };
    EXPECT_EQ(GetExecutablePath(), L"");

    // No path: the Run value is left alone and the toggle says so.
    EXPECT_FALSE(SetAutostart(true));
    DWORD type = 0;
    std::vector<BYTE> data;
    EXPECT_FALSE(ReadRunValue(&type, &data));
    EXPECT_STREQ(Toggle().szInfo, L"Não foi possível alterar a inicialização com o Windows.");
}

TEST_F(LongModuleName, RunValueAndClipboardGetTheWholePath)
{
    const std::wstring path = DeepPath(300);
    Report(path);

    const NOTIFYICONDATAW balloon = Toggle();
    EXPECT_STREQ(balloon.szInfo, L"Iniciará com o Windows.");
    DWORD type = 0;
    std::vector<BYTE> data;
    ASSERT_TRUE(ReadRunValue(&type, &data));
    EXPECT_EQ(data.size(), 2 * (path.size() + 3));
    EXPECT_EQ(AsText(data), StoredCommand(path));

    SendMessageW(window_, WM_COMMAND, CmdCopyExePath, 0);
    EXPECT_EQ(ReadClipboardText(), path);
}
