// The autostart value as others may have written it, the executable's path as
// GetModuleFileNameW reports it, and the shortcut's identity, read at the seams.
#include "shell/autostart.h"
#include "shell/shortcut.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>
#include <objbase.h>

TEST(Autostart, OnlyANonEmptyStringValueIsOn)
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
    };
    for (const auto& row : rows) {
        const DWORD bytes = static_cast<DWORD>((row.data.size() + 1) * sizeof(wchar_t));
        RegSetKeyValueW(HKEY_CURRENT_USER, kRunKeyPath, kAppName, row.type, row.data.c_str(), bytes);
        EXPECT_EQ(IsAutostartEnabled(), row.on) << row.type << " " << row.data;
    }
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKeyPath, kAppName);
    EXPECT_FALSE(IsAutostartEnabled());
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

TEST(StartMenuShortcut, CarriesTheApplicationIdentity)
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    EXPECT_TRUE(CreateStartMenuShortcut());
    EXPECT_EQ(seams::shortcutIdentity, kAppUserModelId) << "balloons lose their attribution";
    CoUninitialize();
}
