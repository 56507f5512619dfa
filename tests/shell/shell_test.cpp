// The autostart value and Task Manager's switch as others may have written
// them and as the program writes them, read back raw; the executable's path as
// GetModuleFileNameW reports it; the Start-menu shortcut as the shell loads it.
#include "shell/autostart.h"
#include "shell/shortcut.h"
#include "tests/support/fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <propkey.h>
#include <propvarutil.h>
#include <sddl.h>
#include <shlobj.h>

#include <vector>

using fixture::kRunKey;
using fixture::RunValue;

namespace {

const wchar_t kSwitchKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";
// As Task Manager writes the switch: 02 and eleven zeros for on; 03, three zeros and the time of the change for off.
const std::vector<BYTE> kSwitchOn = {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const std::vector<BYTE> kSwitchOff = {3, 0, 0, 0, 0x51, 0x8B, 0x2D, 0x6F, 0x63, 0x6A, 0xDB, 0x01};

// Type 0 removes the value.
void SetSwitch(DWORD type, const std::vector<BYTE>& data)
{
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kSwitchKey, L"Noctara");
    if (type != 0) {
        RegSetKeyValueW(HKEY_CURRENT_USER, kSwitchKey, L"Noctara", type, data.data(), static_cast<DWORD>(data.size()));
    }
}

// The switch value read raw: "type T:" and every byte in hex; "-" when there is none.
std::wstring Switch()
{
    BYTE data[64] = {};
    DWORD type = 0;
    DWORD size = sizeof(data);
    if (RegGetValueW(HKEY_CURRENT_USER, kSwitchKey, L"Noctara", RRF_RT_ANY, &type, data, &size) != ERROR_SUCCESS) {
        return L"-";
    }
    std::wstring text = L"type " + std::to_wstring(type) + L":";
    for (DWORD i = 0; i < size; ++i) {
        wchar_t hex[4] = {};
        swprintf(hex, ARRAYSIZE(hex), L" %02X", data[i]);
        text += hex;
    }
    return text;
}

// The switch's key, changing its values allowed or refused to everyone.
void RefuseSwitchWrites(bool refuse)
{
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, kSwitchKey, 0, nullptr, 0, WRITE_DAC, nullptr, &key, nullptr);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const wchar_t* rules = refuse ? L"D:(D;;0x10002;;;WD)(A;;KA;;;WD)" : L"D:(A;;KA;;;WD)";
    ConvertStringSecurityDescriptorToSecurityDescriptorW(rules, SDDL_REVISION_1, &descriptor, nullptr);
    RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    RegCloseKey(key);
}

}  // namespace

TEST(Autostart, IsOnForANonEmptyRunStringOfAtMost4096BytesThatTheSwitchDoesNotMarkOff)
{
    const std::wstring command = L"\"C:\\Outro\\Noctara.exe\"";
    const struct {
        DWORD type;  // of the Run value; 0: none
        std::wstring data;
        DWORD switchType;  // 0: no switch value
        std::vector<BYTE> switchData;
        bool on;
    } rows[] = {
        {REG_SZ, command, 0, {}, true},
        {REG_SZ, L"", 0, {}, false},
        {REG_EXPAND_SZ, command, 0, {}, false},
        {REG_DWORD, L"\x1", 0, {}, false},
        {REG_SZ, std::wstring(2047, L'x'), 0, {}, true},   // 4096 bytes with the terminator
        {REG_SZ, std::wstring(2048, L'x'), 0, {}, false},  // 4098
        {REG_SZ, command, REG_BINARY, kSwitchOn, true},
        {REG_SZ, command, REG_BINARY, kSwitchOff, false},
        {REG_SZ, command, REG_BINARY, {1}, false},
        {REG_SZ, command, REG_BINARY, {}, true},
        {REG_SZ, command, REG_BINARY, {2, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23}, true},
        {REG_SZ, command, REG_BINARY, std::vector<BYTE>(5000, 7), false},
        {REG_SZ, command, REG_DWORD, {3, 0, 0, 0}, true},
        {0, L"", REG_BINARY, kSwitchOn, false},
    };
    for (const auto& row : rows) {
        const DWORD bytes = static_cast<DWORD>((row.data.size() + 1) * sizeof(wchar_t));
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, L"Noctara");
        if (row.type != 0) {
            RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, L"Noctara", row.type, row.data.c_str(), bytes);
        }
        SetSwitch(row.switchType, row.switchData);
        EXPECT_EQ(IsAutostartEnabled(), row.on) << row.type << " " << row.data.size() << " " << row.switchType;
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, kSwitchKey);
    EXPECT_FALSE(IsAutostartEnabled());
}

// Asked for, autostart must really happen: the switch goes, or the call fails, leaving the Run value written but
// the switch, and so the answer, as they were.
TEST(Autostart, IsWrittenAsTheQuotedPathAndClearsTheSwitchOrFailsWhenTheSwitchStays)
{
    seams::modulePath = L"C:\\Program Files\\Noctara 1.2\\Noctara.exe";
    const std::wstring written(L"type 1, 86 bytes: \"C:\\Program Files\\Noctara 1.2\\Noctara.exe\"\0", 61);
    const std::wstring off = L"type 3: 03 00 00 00 51 8B 2D 6F 63 6A DB 01";
    const struct {
        bool refused;
        DWORD switchType;
        const std::vector<BYTE>& switchData;
        bool succeeds;
    } rows[] = {
        {false, REG_BINARY, kSwitchOff, true},
        {false, REG_BINARY, kSwitchOn, true},
        {false, 0, {}, true},
        {true, 0, {}, true},
        {true, REG_BINARY, kSwitchOff, false},
    };
    RegDeleteTreeW(HKEY_CURRENT_USER, kSwitchKey);
    EXPECT_TRUE(SetAutostart(true)) << "no switch key at all";
    for (const auto& row : rows) {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, L"Noctara");
        RefuseSwitchWrites(false);
        SetSwitch(row.switchType, row.switchData);
        RefuseSwitchWrites(row.refused);
        EXPECT_EQ(SetAutostart(true), row.succeeds) << row.refused << " " << row.switchType;
        EXPECT_EQ(RunValue(), written);
        EXPECT_EQ(Switch(), row.succeeds ? L"-" : off);
        EXPECT_EQ(IsAutostartEnabled(), row.succeeds);
    }
    RefuseSwitchWrites(false);
    EXPECT_TRUE(SetAutostart(false));
    EXPECT_EQ(RunValue(), L"-");
    EXPECT_EQ(Switch(), off) << "turning it off leaves the switch to Windows";
    EXPECT_TRUE(SetAutostart(false)) << "a value already gone is what was asked for";
    RegDeleteTreeW(HKEY_CURRENT_USER, kSwitchKey);
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

namespace {

// Every field of the saved shortcut that the shell shows or uses, as the shell loads it.
std::wstring SavedShortcut()
{
    PWSTR roaming = nullptr;
    SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &roaming);
    const std::wstring path = roaming + std::wstring(L"\\Microsoft\\Windows\\Start Menu\\Programs\\Qorvex Labs\\"
                                                     L"Noctara.lnk");
    CoTaskMemFree(roaming);
    IShellLinkW* link = nullptr;
    CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&link));
    IPersistFile* file = nullptr;
    link->QueryInterface(IID_PPV_ARGS(&file));
    const HRESULT loaded = file->Load(path.c_str(), STGM_READ);
    file->Release();
    wchar_t target[MAX_PATH] = {};
    wchar_t arguments[MAX_PATH] = L"?";
    wchar_t folder[MAX_PATH] = {};
    wchar_t icon[MAX_PATH] = {};
    wchar_t description[MAX_PATH] = {};
    int index = -1;
    int show = -1;
    link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
    link->GetArguments(arguments, MAX_PATH);
    link->GetWorkingDirectory(folder, MAX_PATH);
    link->GetIconLocation(icon, MAX_PATH, &index);
    link->GetDescription(description, MAX_PATH);
    link->GetShowCmd(&show);
    // Wine keeps no property store in the file and answers E_NOTIMPL: then the identity the link was given.
    std::wstring identity = L"?";
    IPropertyStore* store = nullptr;
    link->QueryInterface(IID_PPV_ARGS(&store));
    PROPVARIANT value;
    PropVariantInit(&value);
    const HRESULT read = store->GetValue(PKEY_AppUserModel_ID, &value);
    if (SUCCEEDED(read) && value.vt == VT_LPWSTR) {
        identity = value.pwszVal;
    } else if (read == E_NOTIMPL) {
        identity = seams::shortcutIdentity;
    }
    PropVariantClear(&value);
    store->Release();
    link->Release();
    return std::wstring(loaded == S_OK ? L"" : L"not loaded ") + target + L" [" + arguments + L"] in " + folder +
           L", icon " + icon + L"," + std::to_wstring(index) + L", \"" + description + L"\", show " +
           std::to_wstring(show) + L", " + identity;
}

}  // namespace

TEST(Shortcut, TheSavedFileHoldsTheTargetItsFolderIconNameAndIdentity)
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const struct {
        const wchar_t* exe;
        const wchar_t* saved;
    } rows[] = {
        {L"C:\\Program Files\\Noctara 1.2\\Noctara.exe",
         L"C:\\Program Files\\Noctara 1.2\\Noctara.exe [] in C:\\Program Files\\Noctara 1.2, "
         L"icon C:\\Program Files\\Noctara 1.2\\Noctara.exe,0, \"Noctara\", show 1, Qorvex.NoctaraTray"},
        {L"C:\\Noctara.exe",
         L"C:\\Noctara.exe [] in C:\\, icon C:\\Noctara.exe,0, \"Noctara\", show 1, Qorvex.NoctaraTray"},
    };
    for (const auto& row : rows) {
        seams::modulePath = row.exe;
        seams::shortcutIdentity.clear();
        EXPECT_TRUE(CreateStartMenuShortcut());
        EXPECT_EQ(SavedShortcut(), row.saved);
    }
    CoUninitialize();
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
