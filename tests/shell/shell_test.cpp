// Autostart, the executable's path and the Start-menu shortcut.
#include "shell/autostart.h"
#include "shell/shortcut.h"
#include "tests/support/fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <shlobj.h>

#include <vector>

using namespace fixture;

namespace {

// The switch as Task Manager writes it: 02 and eleven zeros for on; 03, three zeros and the time of the change for off.
const std::vector<BYTE> kSwitchOn = {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const std::vector<BYTE> kSwitchOff = {3, 0, 0, 0, 0x51, 0x8B, 0x2D, 0x6F, 0x63, 0x6A, 0xDB, 0x01};
const Value kOffValue = {L"Noctara", REG_BINARY, kSwitchOff};
const std::wstring kCommand = L"\"C:\\Outro\\Noctara.exe\"";

// Type 0 removes the value.
void SetValue(const wchar_t* key, DWORD type, const void* data, size_t bytes)
{
    RegDeleteKeyValueW(HKEY_CURRENT_USER, key, L"Noctara");
    if (type != 0) {
        RegSetKeyValueW(HKEY_CURRENT_USER, key, L"Noctara", type, data, static_cast<DWORD>(bytes));
    }
}

void SetRunValue(DWORD type, const std::wstring& text)
{
    SetValue(kRunKey, type, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

// The switch's value, its changes allowed to everyone or refused.
void SetSwitch(bool switchedOff, bool refused)
{
    SetKeyAccess(kApprovedRunKey, L"D:(A;;KA;;;WD)");
    SetValue(kApprovedRunKey, switchedOff ? REG_BINARY : 0, kSwitchOff.data(), kSwitchOff.size());
    SetKeyAccess(kApprovedRunKey, refused ? L"D:(D;;0x10002;;;WD)(A;;KA;;;WD)" : L"D:(A;;KA;;;WD)");
}

}  // namespace

// Autostart is on only for a non-empty REG_SZ Run value of at most 4096 bytes.
TEST(Autostart, OnlyAPlainStringRunValueIsOn)
{
    RegDeleteTreeW(HKEY_CURRENT_USER, kApprovedRunKey);
    const struct {
        const char* name;
        DWORD type;  // 0: no value
        std::wstring data;
        bool on;
    } rows[] = {
        {"quoted path", REG_SZ, kCommand, true},
        {"no value", 0, kCommand, false},
        {"empty", REG_SZ, L"", false},
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, kCommand, false},
        {"4096 bytes with the terminator", REG_SZ, std::wstring(2047, L'x'), true},
        {"4098 bytes", REG_SZ, std::wstring(2048, L'x'), false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SetRunValue(row.type, row.data);
        EXPECT_EQ(IsAutostartEnabled(), row.on);
    }
}

// Task Manager's switch turns autostart off only with a binary value whose first byte is odd.
TEST(Autostart, OnlyAnOddFirstSwitchByteIsOff)
{
    SetRunValue(REG_SZ, kCommand);
    const struct {
        const char* name;
        DWORD type;  // 0: no switch value
        std::vector<BYTE> data;
        bool on;
    } rows[] = {
        {"no switch", 0, {}, true},
        {"on as Task Manager writes it", REG_BINARY, kSwitchOn, true},
        {"off as Task Manager writes it", REG_BINARY, kSwitchOff, false},
        {"one odd byte", REG_BINARY, {1}, false},
        {"empty", REG_BINARY, {}, true},
        {"even first byte, odd last", REG_BINARY, {2, 3}, true},
        {"5000 odd bytes", REG_BINARY, std::vector<BYTE>(5000, 7), false},
        {"REG_DWORD 3", REG_DWORD, {3, 0, 0, 0}, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SetValue(kApprovedRunKey, row.type, row.data.data(), row.data.size());
        EXPECT_EQ(IsAutostartEnabled(), row.on);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, kApprovedRunKey);
}

// Turning autostart on removes Task Manager's switch, or succeeds when there is none to remove.
TEST(Autostart, OnClearsTheSwitch)
{
    const struct {
        const char* name;
        bool switchedOff;
        bool refused;
    } rows[] = {
        {"switched off", true, false},
        {"no switch", false, false},
        {"no switch, changes refused", false, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SetRunValue(0, L"");
        SetSwitch(row.switchedOff, row.refused);
        EXPECT_TRUE(SetAutostart(true));
        EXPECT_TRUE(IsAutostartEnabled());
        EXPECT_EQ(Values(kApprovedRunKey), std::vector<Value>{}) << "the switch stays";
    }
    SetSwitch(false, false);
}

// Turning autostart on fails when the switch that marks it off cannot be removed; the Run value is written.
TEST(Autostart, OnFailsWhenTheSwitchStays)
{
    seams::modulePath = L"C:\\N.exe";
    SetRunValue(0, L"");
    SetSwitch(true, true);
    EXPECT_FALSE(SetAutostart(true)) << "the switch still marks it off";
    EXPECT_FALSE(IsAutostartEnabled());
    EXPECT_EQ(Values(kRunKey), std::vector<Value>{Sz(L"Noctara", L"\"C:\\N.exe\"")});
    EXPECT_EQ(Values(kApprovedRunKey), std::vector<Value>{kOffValue}) << "read back raw";
    SetSwitch(false, false);
}

// Turning autostart off removes any Run value and leaves the switch to Windows.
TEST(Autostart, OffLeavesTheSwitch)
{
    for (const DWORD type : {DWORD{REG_SZ}, DWORD{0}}) {
        SCOPED_TRACE(type == 0 ? "no Run value" : "a Run value");
        SetRunValue(type, kCommand);
        SetSwitch(true, false);
        EXPECT_TRUE(SetAutostart(false));
        EXPECT_EQ(Values(kRunKey), std::vector<Value>{});
        EXPECT_EQ(Values(kApprovedRunKey), std::vector<Value>{kOffValue});
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, kApprovedRunKey);
}

// The executable's path is whole at any length the system reports, and empty when cut.
TEST(ExecutablePath, WholeOrEmpty)
{
    const struct {
        const char* name;
        size_t length;
        bool whole;
    } rows[] = {
        {"MAX_PATH - 1", 259, true},
        {"MAX_PATH", 260, true},
        {"the longest path", 32767, true},
        {"cut", 32768, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        seams::modulePath = L"C:\\" + std::wstring(row.length - 3, L'p');
        EXPECT_EQ(GetExecutablePath(), row.whole ? seams::modulePath : L"");
    }
}

namespace {

// The saved shortcut's fields that the shell uses, as the shell loads them.
struct Link {
    wchar_t target[MAX_PATH] = {};
    wchar_t arguments[MAX_PATH] = L"?";
    wchar_t folder[MAX_PATH] = {};
    wchar_t icon[MAX_PATH] = {};
    int index = -1;
    wchar_t description[MAX_PATH] = {};
};

Link SavedShortcut()
{
    PWSTR roaming = nullptr;
    SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &roaming);
    const std::wstring path = roaming + std::wstring(L"\\Microsoft\\Windows\\Start Menu\\Programs\\Qorvex Labs\\"
                                                     L"Noctara.lnk");
    CoTaskMemFree(roaming);
    IShellLinkW* shellLink = nullptr;
    CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&shellLink));
    IPersistFile* file = nullptr;
    shellLink->QueryInterface(IID_PPV_ARGS(&file));
    file->Load(path.c_str(), STGM_READ);
    file->Release();
    Link link;
    shellLink->GetPath(link.target, MAX_PATH, nullptr, SLGP_RAWPATH);
    shellLink->GetArguments(link.arguments, MAX_PATH);
    shellLink->GetWorkingDirectory(link.folder, MAX_PATH);
    shellLink->GetIconLocation(link.icon, MAX_PATH, &link.index);
    shellLink->GetDescription(link.description, MAX_PATH);
    shellLink->Release();
    return link;
}

}  // namespace

// The saved shortcut starts the program from its own folder, without arguments, with its icon and name.
TEST(Shortcut, SavedFileReadsBack)
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const struct {
        const char* name;
        const wchar_t* exe;
        const wchar_t* folder;
    } rows[] = {{"in a folder", L"C:\\N 1\\N.exe", L"C:\\N 1"}, {"at a drive's root", L"C:\\N.exe", L"C:\\"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        seams::modulePath = row.exe;
        EXPECT_TRUE(CreateStartMenuShortcut());
        const Link link = SavedShortcut();
        EXPECT_STREQ(link.target, row.exe);
        EXPECT_STREQ(link.arguments, L"");
        EXPECT_STREQ(link.folder, row.folder) << "working folder";
        EXPECT_STREQ(link.icon, row.exe);
        EXPECT_EQ(link.index, 0) << "icon index";
        EXPECT_STREQ(link.description, L"Noctara");
    }
    CoUninitialize();
}

// The shortcut's folder is below the roaming folder, with one backslash between.
TEST(ShortcutFolder, BelowTheRoamingFolder)
{
    const std::wstring below = L"Microsoft\\Windows\\Start Menu\\Programs\\Qorvex Labs\\";
    EXPECT_EQ(ShortcutFolderBelow(L"C:\\R"), L"C:\\R\\" + below);
    EXPECT_EQ(ShortcutFolderBelow(L"C:\\R\\"), L"C:\\R\\" + below);
}

// Folders are made at every backslash, the last one too, and never at a forward slash.
TEST(ShortcutFolder, MadeAtBackslashesOnly)
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    // Named for this process: a folder left by an earlier run would hide a fault.
    const std::wstring base = temp + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryTree(base + L"\\x\\y");
    EXPECT_NE(GetFileAttributesW((base + L"\\x\\y").c_str()), INVALID_FILE_ATTRIBUTES) << "the last folder is missing";
    CreateDirectoryTree(base + L"\\a/b\\c\\");
    EXPECT_EQ(GetFileAttributesW((base + L"\\a").c_str()), INVALID_FILE_ATTRIBUTES) << "made at a forward slash";
}
