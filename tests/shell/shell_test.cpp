// Autostart, the executable's path and the Start-menu shortcut.
#include "shell/autostart.h"
#include "shell/shortcut.h"
#include "tests/support/fixture.h"
#include "tests/support/seams.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <propkey.h>
#include <shlobj.h>

#include <vector>

using namespace fixture;

namespace {

// The switch as Task Manager writes it: 02 and eleven zeros for on; 03, three zeros and the time of the change for off.
const std::vector<BYTE> kSwitchOn = {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const std::vector<BYTE> kSwitchOff = {3, 0, 0, 0, 0x51, 0x8B, 0x2D, 0x6F, 0x63, 0x6A, 0xDB, 0x01};
const std::wstring kSwitchOffRead = L" Noctara=3:03000000518B2D6F636ADB01";

// Type 0 removes the value.
void SetValue(const wchar_t* key, DWORD type, const void* data, size_t bytes)
{
    RegDeleteKeyValueW(HKEY_CURRENT_USER, key, L"Noctara");
    if (type != 0) {
        RegSetKeyValueW(HKEY_CURRENT_USER, key, L"Noctara", type, data, static_cast<DWORD>(bytes));
    }
}

// Changing the switch's values allowed or refused to everyone.
const wchar_t* SwitchWrites(bool refused)
{
    return refused ? L"D:(D;;0x10002;;;WD)(A;;KA;;;WD)" : L"D:(A;;KA;;;WD)";
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
        {REG_SZ, std::wstring(2047, L'x'), 0, {}, true},   // 4096 bytes with the terminator
        {REG_SZ, std::wstring(2048, L'x'), 0, {}, false},  // 4098
        {REG_SZ, command, REG_BINARY, kSwitchOn, true},
        {REG_SZ, command, REG_BINARY, kSwitchOff, false},
        {REG_SZ, command, REG_BINARY, {1}, false},
        {REG_SZ, command, REG_BINARY, {}, true},
        {REG_SZ, command, REG_BINARY, {2, 3}, true},
        {REG_SZ, command, REG_BINARY, std::vector<BYTE>(5000, 7), false},
        {REG_SZ, command, REG_DWORD, {3, 0, 0, 0}, true},
    };
    for (const auto& row : rows) {
        SetValue(kRunKey, row.type, row.data.c_str(), (row.data.size() + 1) * sizeof(wchar_t));
        SetValue(kApprovedRunKey, row.switchType, row.switchData.data(), row.switchData.size());
        EXPECT_EQ(IsAutostartEnabled(), row.on) << &row - rows;
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, kApprovedRunKey);
}

// Asked for, autostart must really happen: the switch goes, or the call fails, the Run value written but the switch
// as it was.
TEST(Autostart, IsWrittenAsTheQuotedPathAndClearsTheSwitchOrFailsWhenTheSwitchStays)
{
    seams::modulePath = L"C:\\Program Files\\Noctara 1.2\\Noctara.exe";
    const std::wstring written = L" Noctara=1:\"C:\\Program Files\\Noctara 1.2\\Noctara.exe\"␀";
    const struct {
        bool refused;
        bool switchedOff;  // else no switch value
        bool succeeds;
    } rows[] = {{false, true, true}, {false, false, true}, {true, false, true}, {true, true, false}};
    for (const auto& row : rows) {
        SetValue(kRunKey, 0, nullptr, 0);
        SetKeyAccess(kApprovedRunKey, SwitchWrites(false));
        SetValue(kApprovedRunKey, row.switchedOff ? REG_BINARY : 0, kSwitchOff.data(), kSwitchOff.size());
        SetKeyAccess(kApprovedRunKey, SwitchWrites(row.refused));
        EXPECT_EQ(SetAutostart(true), row.succeeds) << &row - rows;
        EXPECT_EQ(Values(kRunKey), written);
        EXPECT_EQ(IsAutostartEnabled(), row.succeeds);
        EXPECT_EQ(Values(kApprovedRunKey), row.succeeds ? L"" : kSwitchOffRead);
    }
    SetKeyAccess(kApprovedRunKey, SwitchWrites(false));
    EXPECT_TRUE(SetAutostart(false));
    EXPECT_EQ(Values(kRunKey), L"");
    EXPECT_EQ(Values(kApprovedRunKey), kSwitchOffRead) << "turning it off leaves the switch to Windows";
    EXPECT_TRUE(SetAutostart(false)) << "a value already gone is what was asked for";
    RegDeleteTreeW(HKEY_CURRENT_USER, kApprovedRunKey);
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
    file->Load(path.c_str(), STGM_READ);
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
    // The identity as the shell reads it; Wine keeps none in the file (E_NOTIMPL), so then as the link was given it.
    std::wstring identity = L"?";
    IPropertyStore* store = nullptr;
    link->QueryInterface(IID_PPV_ARGS(&store));
    PROPVARIANT value;
    PropVariantInit(&value);
    const HRESULT read = store->GetValue(PKEY_AppUserModel_ID, &value);
    if (SUCCEEDED(read) && value.vt == VT_LPWSTR) {
        identity = value.pwszVal + std::wstring(L" committed");
    } else if (read == E_NOTIMPL) {
        identity = seams::shortcutIdentity;
    }
    PropVariantClear(&value);
    store->Release();
    link->Release();
    return target + (L" [" + std::wstring(arguments)) + L"] in " + folder + L", icon " + icon + L"," +
           std::to_wstring(index) + L", \"" + description + L"\", show " + std::to_wstring(show) + L", " + identity;
}

}  // namespace

TEST(Shortcut, TheSavedFileHoldsTheTargetItsFolderIconNameAndIdentity)
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const std::wstring id = L"Qorvex.NoctaraTray committed";
    const struct {
        const wchar_t* exe;
        std::wstring saved;
    } rows[] = {
        {L"C:\\N 1\\N.exe", L"C:\\N 1\\N.exe [] in C:\\N 1, icon C:\\N 1\\N.exe,0, \"Noctara\", show 1, " + id},
        {L"C:\\N.exe", L"C:\\N.exe [] in C:\\, icon C:\\N.exe,0, \"Noctara\", show 1, " + id},
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

    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring base = temp + std::wstring(L"tree");
    CreateDirectoryTree(base + L"\\x\\y\\z");
    EXPECT_NE(GetFileAttributesW((base + L"\\x\\y\\z").c_str()), INVALID_FILE_ATTRIBUTES) << "the last one too";
    CreateDirectoryTree(base + L"\\a/b\\c\\");
    EXPECT_EQ(GetFileAttributesW((base + L"\\a").c_str()), INVALID_FILE_ATTRIBUTES) << "made at a forward slash";
}
