#include "shell/shortcut.h"

#include "app/startup.h"
#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"

#include <shobjidl.h>
#include <gtest/gtest.h>

#include <filesystem>

using namespace testing_support;
using Log = std::vector<std::wstring>;

namespace {
const std::wstring kSubPath = L"\\Microsoft\\Windows\\Start Menu\\Programs\\Qorvex Labs\\";
// PKEY_AppUserModel_ID written out, so that a wrong key in a header cannot pass.
const GUID kIdFormat = {0x9F4C2855, 0x9F79, 0x4B39, {0xA8, 0xD0, 0xE1, 0xD4, 0x2D, 0xE1, 0xD5, 0xF3}};

// Read-only alone does not stop root under Wine; holding the file open without sharing does.
struct Block {
    explicit Block(const std::wstring& file) : path(file) { SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY); }
    ~Block() { CloseHandle(held), SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL); }
    std::wstring path;
    HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
};

// "target|description|icon,index" as loaded back through IShellLinkW and IPersistFile.
std::wstring ReadLink(const std::wstring& shortcut)
{
    IShellLinkW* link = nullptr;
    IPersistFile* file = nullptr;
    wchar_t target[1024] = {}, description[1024] = {}, icon[1024] = {};
    int index = -1;
    CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, reinterpret_cast<void**>(&link));
    link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
    EXPECT_HRESULT_SUCCEEDED(file->Load(shortcut.c_str(), STGM_READ));
    link->GetPath(target, 1024, nullptr, SLGP_RAWPATH), link->GetDescription(description, 1024);
    link->GetIconLocation(icon, 1024, &index), file->Release(), link->Release();
    return std::wstring(target) + L"|" + description + L"|" + icon + L"," + std::to_wstring(index);
}

// Stands in for the shell link: logs identity, Commit and Save, and counts references.
#define UNUSED(name, ...) HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { return S_OK; }
struct RecordingLink final : IShellLinkW, IPropertyStore, IPersistFile {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        *out = iid == IID_IPropertyStore ? static_cast<IPropertyStore*>(this)
               : iid == IID_IPersistFile ? static_cast<void*>(static_cast<IPersistFile*>(this))
               : iid == IID_IUnknown || iid == IID_IShellLinkW ? static_cast<IShellLinkW*>(this) : nullptr;
        return *out ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY key, REFPROPVARIANT value) override
    {
        const bool id = key.fmtid == kIdFormat && key.pid == 5 && value.vt == VT_LPWSTR;
        return calls.push_back(id ? L"SetValue:" + std::wstring(value.pwszVal) : L"SetValue:other"), S_OK;
    }
    HRESULT STDMETHODCALLTYPE Commit() override { return calls.push_back(L"Commit"), S_OK; }
    HRESULT STDMETHODCALLTYPE Save(LPCOLESTR name, BOOL) override { return calls.push_back(L"Save:" + std::wstring(name)), S_OK; }
    UNUSED(GetPath, LPWSTR, int, WIN32_FIND_DATAW*, DWORD) UNUSED(GetIDList, PIDLIST_ABSOLUTE*) UNUSED(SetIDList, PCIDLIST_ABSOLUTE)
    UNUSED(GetDescription, LPWSTR, int) UNUSED(SetDescription, LPCWSTR) UNUSED(GetWorkingDirectory, LPWSTR, int)
    UNUSED(SetWorkingDirectory, LPCWSTR) UNUSED(GetArguments, LPWSTR, int) UNUSED(SetArguments, LPCWSTR) UNUSED(GetHotkey, WORD*)
    UNUSED(SetHotkey, WORD) UNUSED(GetShowCmd, int*) UNUSED(SetShowCmd, int) UNUSED(GetIconLocation, LPWSTR, int, int*)
    UNUSED(SetIconLocation, LPCWSTR, int) UNUSED(SetRelativePath, LPCWSTR, DWORD) UNUSED(Resolve, HWND, DWORD) UNUSED(SetPath, LPCWSTR)
    UNUSED(GetCount, DWORD*) UNUSED(GetAt, DWORD, PROPERTYKEY*) UNUSED(GetValue, REFPROPERTYKEY, PROPVARIANT*) UNUSED(IsDirty)
    UNUSED(GetClassID, CLSID*) UNUSED(Load, LPCOLESTR, DWORD) UNUSED(SaveCompleted, LPCOLESTR) UNUSED(GetCurFile, LPOLESTR*)
    Log calls;
    ULONG references = 1;  // the test's own
};
}  // namespace

// Each test starts without the shortcut folder, as on a first start, and removes it again.
class Shortcut : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        PWSTR roaming = nullptr;
        ASSERT_HRESULT_SUCCEEDED(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &roaming));
        link_ = (folder_ = roaming + kSubPath) + L"Noctara.lnk";
        CoTaskMemFree(roaming), TearDown(), CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ASSERT_FALSE(std::filesystem::exists(folder_));
        CreateDirectoryW(scratch_.c_str(), nullptr);
    }
    void TearDown() override
    {
        std::error_code ignored;
        seams::Reset(), std::filesystem::remove_all(folder_, ignored), std::filesystem::remove_all(scratch_, ignored);
        CoUninitialize();
    }
    // Start-up went on when the window appears and the exit command ends the run.
    static void RunOnce(const std::wstring& exe)
    {
        HANDLE process = StartProduct(exe);
        const HWND window = WaitForProductWindow(GetProcessId(process), 20000);
        EXPECT_TRUE(window && PostMessageW(window, WM_COMMAND, CmdExit, 0)) << "no window from " << Narrow(exe);
        const DWORD code = WaitForExit(process, 10000);
        TerminateProcess(process, 99), CloseHandle(process);  // no-op once it has exited
        EXPECT_EQ(code, 0u);
    }
    std::wstring folder_, link_;
    const std::wstring scratch_ = L"C:\\noctara-shortcut-" + std::to_wstring(GetCurrentProcessId());
};

TEST_F(Shortcut, PathsSeparateOnlyAtBackslashes)
{
    EXPECT_EQ(ShortcutFolderBelow(L"C:\\r\\"), L"C:\\r" + kSubPath) << "doubled separator";
    EXPECT_EQ(ShortcutFolderBelow(L"C:\\r"), L"C:\\r" + kSubPath);
    const std::wstring top = scratch_ + L"\\";
    seams::Reset(), CreateDirectoryTree(top + L"x/y\\z");
    Log asked;
    for (const seams::CreateDirectoryCall& call : seams::CreateDirectoryCalls()) asked.push_back(call.path);
    EXPECT_EQ(asked, (Log{L"C:\\", top, top + L"x/y\\", top + L"x/y\\z"}));
}

TEST_F(Shortcut, FailuresReturnFalse)
{
    seams::knownFolderPathHook = [](REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR* path) { return *path = nullptr, E_FAIL; };
    EXPECT_FALSE(CreateStartMenuShortcut()) << "no roaming folder";
    seams::knownFolderPathHook = nullptr;
    ASSERT_TRUE(CreateStartMenuShortcut());
    { Block block(link_); EXPECT_FALSE(CreateStartMenuShortcut()) << "existing shortcut that cannot be rewritten"; }
    seams::coCreateInstanceHook = [](REFCLSID, LPUNKNOWN, DWORD, REFIID, void** out) { return *out = nullptr, REGDB_E_CLASSNOTREG; };
    EXPECT_FALSE(CreateStartMenuShortcut()) << "no link object";
}

// wWinMain itself, ended from the seam once it adds its tray icon.
TEST_F(Shortcut, StartupGivesProcessAndShortcutOneIdentity)
{
    RecordingLink link;
    seams::coCreateInstanceHook = [&](REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, void** out) {
        return clsid == CLSID_ShellLink ? link.QueryInterface(iid, out) : seams::RealCoCreateInstance(clsid, outer, context, iid, out);
    };
    seams::shellNotifyIconHook = [](DWORD message, PNOTIFYICONDATAW data) {
        return message == NIM_ADD && PostMessageW(data->hWnd, WM_COMMAND, CmdExit, 0), TRUE;
    };
    const UINT_PTR deadline = SetTimer(nullptr, 0, 20000, [](HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(99); });
    EXPECT_EQ(wWinMain(GetModuleHandleW(nullptr), nullptr, const_cast<wchar_t*>(L""), SW_SHOWDEFAULT), kExitNormal);
    KillTimer(nullptr, deadline);
    // The guard's mutex lives as long as the process: the next test starts the real program.
    for (const seams::MutexCall& call : seams::MutexCalls())
        if (call.name == kSingleInstanceMutexName) CloseHandle(call.handle);
    EXPECT_EQ(seams::AppUserModelIds(), Log{L"Qorvex.NoctaraTray"});
    EXPECT_EQ(link.calls, (Log{L"SetValue:Qorvex.NoctaraTray", L"Commit", L"Save:" + link_}));
    EXPECT_EQ(link.references, 1u) << "every reference released";
}

TEST_F(Shortcut, RealProgramLinksItselfFollowsAMoveAndStartsWhenItCannotRewrite)
{
    const std::wstring exe = ProductExePath(), moved = scratch_ + L"\\Noctara.exe";
    ASSERT_TRUE(CopyFileW(exe.c_str(), moved.c_str(), FALSE));
    RunOnce(exe);
    EXPECT_EQ(ReadLink(link_), exe + L"|Noctara|" + exe + L",0") << "first start";
    RunOnce(moved);
    EXPECT_EQ(ReadLink(link_), moved + L"|Noctara|" + moved + L",0") << "moved";
    { Block block(link_); RunOnce(exe); }
    EXPECT_EQ(ReadLink(link_), moved + L"|Noctara|" + moved + L",0") << "kept when it cannot be rewritten";
}
