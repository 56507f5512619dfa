// The autostart value as others may have written it and as the program writes
// it, read back raw; the executable's path as GetModuleFileNameW reports it.
#include "shell/autostart.h"
#include "shell/shortcut.h"
#include "tests/support/fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>

using fixture::kRunKey;
using fixture::RunValue;

TEST(Autostart, OnlyANonEmptyStringValueOfAtMost4096BytesIsOn)
{
    const std::wstring command = L"\"C:\\Outro\\Noctara.exe\"";
    const struct {
        DWORD type;
        std::wstring data;
        bool on;
    } rows[] = {
        {REG_SZ, command, true},
        {REG_SZ, L"", false},
        {REG_EXPAND_SZ, command, false},
        {REG_DWORD, L"\x1", false},
        {REG_SZ, std::wstring(2047, L'x'), true},   // 4096 bytes with the terminator
        {REG_SZ, std::wstring(2048, L'x'), false},  // 4098
    };
    for (const auto& row : rows) {
        const DWORD bytes = static_cast<DWORD>((row.data.size() + 1) * sizeof(wchar_t));
        RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, L"Noctara", row.type, row.data.c_str(), bytes);
        EXPECT_EQ(IsAutostartEnabled(), row.on) << row.type << " " << row.data.size();
    }
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, L"Noctara");
    EXPECT_FALSE(IsAutostartEnabled());
}

TEST(Autostart, IsWrittenAsTheQuotedPathWithItsTerminatorAndRemoved)
{
    seams::modulePath = L"C:\\Program Files\\Noctara 1.2\\Noctara.exe";
    EXPECT_TRUE(SetAutostart(true));
    const std::wstring stored(L"\"C:\\Program Files\\Noctara 1.2\\Noctara.exe\"\0", 43);
    EXPECT_EQ(RunValue(), L"type 1, 86 bytes: " + stored);
    EXPECT_TRUE(IsAutostartEnabled());
    EXPECT_TRUE(SetAutostart(false));
    EXPECT_EQ(RunValue(), L"-");
    EXPECT_TRUE(SetAutostart(false)) << "a value already gone is what was asked for";
}

TEST(ExecutablePath, IsWholeAtAnyLengthTheSystemReportsAndEmptyWhenCut)
{
    const struct {
        size_t length;
        bool whole;
    } rows[] = {{259, true}, {260, true}, {32767, true}, {32768, false}};
    for (const auto& row : rows) {
        seams::modulePath = L"C:\\" + std::wstring(row.length - 3, L'p');
        EXPECT_EQ(GetExecutablePath(), row.whole ? seams::modulePath : L"") << row.length;
    }
}

TEST(ShortcutFolder, IsBelowTheRoamingFolderWithOneBackslashAndMadeOnlyAtBackslashes)
{
    const std::wstring below = L"Microsoft\\Windows\\Start Menu\\Programs\\Qorvex Labs\\";
    EXPECT_EQ(ShortcutFolderBelow(L"C:\\R"), L"C:\\R\\" + below);
    EXPECT_EQ(ShortcutFolderBelow(L"C:\\R\\"), L"C:\\R\\" + below);
    EXPECT_EQ(ShortcutFolderBelow(L"C:\\R/"), L"C:\\R/\\" + below);

    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring base = temp + std::wstring(L"tree") + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryTree(base + L"\\x\\y\\z");
    EXPECT_NE(GetFileAttributesW((base + L"\\x\\y\\z").c_str()), INVALID_FILE_ATTRIBUTES) << "the last one too";
    CreateDirectoryTree(base + L"\\a/b\\c\\");
    EXPECT_EQ(GetFileAttributesW((base + L"\\a").c_str()), INVALID_FILE_ATTRIBUTES) << "made at a forward slash";
}
