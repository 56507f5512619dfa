// The Start-menu shortcut. Wine stores neither the link's identity property nor
// the process identity, so those are watched at the link seam in-process; the
// file itself is read back after runs of the real executable.
#include "shell/shortcut.h"

#include "app/startup.h"
#include "shell/autostart.h"
#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"

#include <shobjidl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

using namespace testing_support;

namespace {

using Log = std::vector<std::wstring>;
const std::wstring kSubPath = L"\\Microsoft\\Windows\\Start Menu\\Programs\\Qorvex Labs\\";
// PKEY_AppUserModel_ID written out, so that a wrong key in a header cannot pass.
const GUID kIdFormat = {0x9F4C2855, 0x9F79, 0x4B39, {0xA8, 0xD0, 0xE1, 0xD4, 0x2D, 0xE1, 0xD5, 0xF3}};

std::error_code ignored;
bool IsFolder(const std::wstring& path) { return std::filesystem::is_directory(path, ignored); }
void RemoveTree(const std::wstring& folder) { std::filesystem::remove_all(folder, ignored); }

// Keeps an existing file from being rewritten. Read-only alone does not stop
// root under Wine; holding the file open without sharing does.
struct Block {
    explicit Block(const std::wstring& file) : path(file) { SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY); }
    ~Block() { CloseHandle(held); SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL); }
    std::wstring path;
    HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
};

// A shell link as read back through IShellLinkW: "target|arguments|description|icon,index".
std::wstring ReadLink(const std::wstring& shortcut)
{
    IShellLinkW* link = nullptr;
    IPersistFile* file = nullptr;
    wchar_t target[1024] = {}, arguments[1024] = {}, description[1024] = {}, icon[1024] = {};
    int index = -1;
    EXPECT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                              reinterpret_cast<void**>(&link)));
    link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
    EXPECT_HRESULT_SUCCEEDED(file->Load(shortcut.c_str(), STGM_READ)) << shortcut;
    link->GetPath(target, 1024, nullptr, SLGP_RAWPATH);
    link->GetArguments(arguments, 1024);
    link->GetDescription(description, 1024);
    link->GetIconLocation(icon, 1024, &index);
    file->Release();
    link->Release();
    return std::wstring(target) + L"|" + arguments + L"|" + description + L"|" + icon + L"," + std::to_wstring(index);
}

std::wstring LinkTo(const std::wstring& exe) { return exe + L"||Noctara|" + exe + L",0"; }

// Stands in for the shell link: logs what the product does to it, forwards
// that to a real link, and counts references. The test owns the object, so a
// release too many shows as a count below 1 instead of freeing it.
#define NOT_USED(name, ...) \
    HRESULT STDMETHODCALLTYPE name(__VA_ARGS__) override { return calls.push_back(L"" #name), E_NOTIMPL; }
#define LOGGED(real, name, params, args, entry) \
    HRESULT STDMETHODCALLTYPE name params override { return calls.push_back(entry), real->name args; }
class RecordingLink final : public IShellLinkW, public IPropertyStore, public IPersistFile {
public:
    RecordingLink(bool offerStore = true, bool offerFile = true) : offerStore_(offerStore), offerFile_(offerFile)
    {
        seams::RealCoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                    reinterpret_cast<void**>(&link_));
        link_->QueryInterface(IID_IPropertyStore, reinterpret_cast<void**>(&store_));
        link_->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file_));
    }
    ~RecordingLink() { file_->Release(), store_->Release(), link_->Release(); }
    // What the product's CoCreateInstance receives.
    HRESULT Create(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, void** object)
    {
        EXPECT_TRUE(clsid == CLSID_ShellLink && outer == nullptr && context == CLSCTX_INPROC_SERVER);
        return QueryInterface(iid, object);
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        const bool store = iid == IID_IPropertyStore, file = iid == IID_IPersistFile;
        if (store || file) calls.push_back(store ? L"QueryInterface:IPropertyStore" : L"QueryInterface:IPersistFile");
        *object = iid == IID_IUnknown || iid == IID_IShellLinkW ? static_cast<IShellLinkW*>(this)
                  : store && offerStore_                        ? static_cast<IPropertyStore*>(this)
                  : file && offerFile_                          ? static_cast<void*>(static_cast<IPersistFile*>(this))
                                                                : nullptr;
        return *object != nullptr ? (AddRef(), S_OK) : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }

    LOGGED(link_, SetPath, (LPCWSTR text), (text), L"SetPath:" + std::wstring(text))
    LOGGED(link_, SetArguments, (LPCWSTR text), (text), L"SetArguments:" + std::wstring(text))
    LOGGED(link_, SetDescription, (LPCWSTR text), (text), L"SetDescription:" + std::wstring(text))
    LOGGED(link_, SetIconLocation, (LPCWSTR text, int i), (text, i), L"SetIconLocation:" + Text(text, i))
    LOGGED(store_, SetValue, (REFPROPERTYKEY key, REFPROPVARIANT value), (key, value), Identity(key, value))
    LOGGED(store_, Commit, (), (), L"Commit")
    LOGGED(file_, Save, (LPCOLESTR name, BOOL remember), (name, remember), L"Save:" + Text(name, remember))
    NOT_USED(GetPath, LPWSTR, int, WIN32_FIND_DATAW*, DWORD) NOT_USED(GetIDList, PIDLIST_ABSOLUTE*)
    NOT_USED(SetIDList, PCIDLIST_ABSOLUTE) NOT_USED(GetDescription, LPWSTR, int) NOT_USED(GetArguments, LPWSTR, int)
    NOT_USED(GetWorkingDirectory, LPWSTR, int) NOT_USED(SetWorkingDirectory, LPCWSTR) NOT_USED(GetHotkey, WORD*)
    NOT_USED(SetHotkey, WORD) NOT_USED(GetShowCmd, int*) NOT_USED(SetShowCmd, int) NOT_USED(Resolve, HWND, DWORD)
    NOT_USED(GetIconLocation, LPWSTR, int, int*) NOT_USED(SetRelativePath, LPCWSTR, DWORD)
    NOT_USED(GetCount, DWORD*) NOT_USED(GetAt, DWORD, PROPERTYKEY*) NOT_USED(GetValue, REFPROPERTYKEY, PROPVARIANT*)
    NOT_USED(GetClassID, CLSID*) NOT_USED(IsDirty) NOT_USED(Load, LPCOLESTR, DWORD) NOT_USED(SaveCompleted, LPCOLESTR)
    NOT_USED(GetCurFile, LPOLESTR*)

    Log calls;
    ULONG references = 1;  // the test's own

private:
    static std::wstring Text(LPCWSTR text, int number) { return text + (L"," + std::to_wstring(number)); }
    static std::wstring Identity(REFPROPERTYKEY key, REFPROPVARIANT value)
    {
        const bool isId = key.fmtid == kIdFormat && key.pid == 5;
        return std::wstring(isId ? L"SetValue:AppUserModel_ID" : L"SetValue:other") +
               (value.vt == VT_LPWSTR ? L":VT_LPWSTR:" + std::wstring(value.pwszVal) : L":another type");
    }

    bool offerStore_, offerFile_;
    IShellLinkW* link_ = nullptr;  // the real link and its other faces
    IPropertyStore* store_ = nullptr;
    IPersistFile* file_ = nullptr;
};

// In-process tests write below a scratch roaming folder, never the user's.
class InProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        RemoveTree(roaming_);
        CreateDirectoryW(roaming_.c_str(), nullptr);
        ServeRoaming(S_OK, roaming_.c_str());
    }
    void TearDown() override { seams::Reset(), RemoveTree(roaming_), CoUninitialize(); }
    // The folder lookup hands out `text` (a copy, as the shell does) and returns `result`.
    void ServeRoaming(HRESULT result, const wchar_t* text)
    {
        seams::knownFolderPathHook = [result, text, copy = std::wstring(text ? text : L"")](
                                         REFKNOWNFOLDERID id, DWORD flags, HANDLE token, PWSTR* path) {
            EXPECT_TRUE(id == FOLDERID_RoamingAppData && flags == 0 && token == nullptr);
            const size_t bytes = (copy.size() + 1) * sizeof(wchar_t);
            *path = text ? static_cast<PWSTR>(std::memcpy(CoTaskMemAlloc(bytes), copy.c_str(), bytes)) : nullptr;
            return result;
        };
    }
    std::wstring ShortcutPath() const { return roaming_ + kSubPath + L"Noctara.lnk"; }

    const std::wstring roaming_ = L"C:\\noctara-shortcut-" + std::to_wstring(GetCurrentProcessId());
};

// The real program writes below the user's roaming folder: each test starts
// without the shortcut folder, as on a first start, and removes it again.
class RealProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        PWSTR roaming = nullptr;
        ASSERT_HRESULT_SUCCEEDED(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &roaming));
        folder_ = roaming + kSubPath;
        CoTaskMemFree(roaming);
        RemoveTree(folder_);
        ASSERT_FALSE(IsFolder(folder_));
        RemoveTree(moved_);
        CreateDirectoryW(moved_.c_str(), nullptr);
        ASSERT_TRUE(CopyFileW(ProductExePath().c_str(), copy_.c_str(), FALSE));
    }
    void TearDown() override { RemoveTree(folder_), RemoveTree(moved_), CoUninitialize(); }
    // Start-up went on when the hidden window appears and the exit command ends the run.
    static void RunOnce(const std::wstring& exe)
    {
        HANDLE process = StartProduct(exe);
        ASSERT_NE(process, nullptr) << exe;
        const HWND window = WaitForProductWindow(GetProcessId(process), 20000);
        EXPECT_NE(window, nullptr) << "no window from " << exe;
        PostMessageW(window, WM_COMMAND, CmdExit, 0);
        const DWORD code = WaitForExit(process, 10000);
        if (code == STILL_ACTIVE) TerminateProcess(process, 99);
        CloseHandle(process);
        EXPECT_EQ(code, 0u);
    }
    std::wstring Shortcut() const { return folder_ + L"Noctara.lnk"; }

    std::wstring folder_;
    const std::wstring moved_ = L"C:\\noctara-moved-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring copy_ = moved_ + L"\\Noctara.exe";
};

}  // namespace

TEST_F(InProcess, ShortcutPathHasOneSeparatorWhateverTheRoamingFolderEndsWith)
{
    for (const std::wstring& given : {roaming_, roaming_ + L"\\"}) {
        ServeRoaming(S_OK, given.c_str());
        EXPECT_EQ(GetStartMenuShortcutPath(), ShortcutPath()) << "roaming folder " << given;
    }
}

// A forward slash is no separator: "x/y" is asked for as one step, which the
// system reads as x\y below an x that was never made.
TEST_F(InProcess, DirectoryTreeIsMadeAtEveryBackslashAndOnceMoreForTheWholePath)
{
    const std::wstring top = roaming_ + L"\\", drive = top.substr(0, 3);
    const struct { std::wstring path; Log asked; bool made; } cases[] = {
        {top + L"a\\b\\", {drive, top, top + L"a\\", top + L"a\\b\\", top + L"a\\b\\"}, true},
        {top + L"c\\d", {drive, top, top + L"c\\", top + L"c\\d"}, true},
        {top + L"x/y\\z", {drive, top, top + L"x/y\\", top + L"x/y\\z"}, false},
    };
    for (const auto& c : cases) {
        seams::Reset();
        CreateDirectoryTree(c.path);
        Log asked;
        for (const seams::CreateDirectoryCall& call : seams::CreateDirectoryCalls()) asked.push_back(call.path);
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(IsFolder(c.path), c.made) << c.path;
    }
}

TEST_F(InProcess, FailuresReturnFalseUnlessTheFileWasSavedAndReleaseEveryReference)
{
    const wchar_t* roaming = roaming_.c_str();
    const struct {
        const char* name;
        HRESULT lookup, create;  // create S_FALSE: success without an object
        const wchar_t* folder;
        bool store, file, blocked, result;
    } cases[] = {
        {"no roaming folder", E_FAIL, S_OK, nullptr, true, true, false, false},
        {"empty roaming folder", S_OK, S_OK, L"", true, true, false, false},
        {"failed lookup that hands out text", E_FAIL, S_OK, L"C:\\elsewhere", true, true, false, false},
        {"no link object", S_OK, REGDB_E_CLASSNOTREG, roaming, true, true, false, false},
        {"link created without an object", S_OK, S_FALSE, roaming, true, true, false, false},
        {"no property store: saved without identity", S_OK, S_OK, roaming, false, true, false, true},
        {"no persist-file interface", S_OK, S_OK, roaming, true, false, false, false},
        {"existing shortcut that cannot be rewritten", S_OK, S_OK, roaming, true, true, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        seams::Reset();
        ServeRoaming(c.lookup, c.folder);
        RecordingLink link(c.store, c.file);
        bool created = false;
        seams::coCreateInstanceHook = [&](REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, void** out) {
            created = true;
            *out = nullptr;
            return c.create == S_OK ? link.Create(clsid, outer, context, iid, out) : c.create;
        };
        ASSERT_TRUE(!c.blocked || CreateStartMenuShortcut());  // the existing shortcut
        Block block(c.blocked ? ShortcutPath() : L"");
        EXPECT_EQ(CreateStartMenuShortcut(), c.result);
        const bool hasFolder = c.folder == roaming;
        EXPECT_EQ(created, hasFolder);
        EXPECT_EQ(seams::CreateDirectoryCalls().empty(), !hasFolder);
        EXPECT_EQ(link.references, 1u);
    }
}

// wWinMain itself, ended from the seam once it adds its tray icon.
TEST_F(InProcess, StartupGivesProcessAndShortcutOneIdentityBeforeTheWindow)
{
    RecordingLink link;
    bool identityFirst = false;
    seams::coCreateInstanceHook = [&](REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, void** out) {
        if (clsid != CLSID_ShellLink) return seams::RealCoCreateInstance(clsid, outer, context, iid, out);
        identityFirst = seams::AppUserModelIds().size() == 1 && AppState::mainWindow == nullptr;
        return link.Create(clsid, outer, context, iid, out);
    };
    seams::shellNotifyIconHook = [](DWORD message, PNOTIFYICONDATAW data) {
        if (message == NIM_ADD) PostMessageW(data->hWnd, WM_COMMAND, CmdExit, 0);
        return TRUE;
    };
    const UINT_PTR deadline = SetTimer(nullptr, 0, 20000, [](HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(99); });
    EXPECT_EQ(wWinMain(GetModuleHandleW(nullptr), nullptr, const_cast<wchar_t*>(L""), SW_SHOWDEFAULT), kExitNormal);
    KillTimer(nullptr, deadline);
    // The guard's mutex lives as long as the process: later tests start the real program.
    for (const seams::MutexCall& call : seams::MutexCalls()) {
        if (call.name == kSingleInstanceMutexName) CloseHandle(call.handle);
    }

    EXPECT_EQ(seams::AppUserModelIds(), Log{L"Qorvex.NoctaraTray"});
    EXPECT_TRUE(identityFirst) << "the identity is set, and no window made, before the shortcut";
    const std::wstring exe = GetExecutablePath();
    EXPECT_EQ(link.calls, (Log{L"SetPath:" + exe, L"SetArguments:", L"SetDescription:Noctara",
                               L"SetIconLocation:" + exe + L",0", L"QueryInterface:IPropertyStore",
                               L"SetValue:AppUserModel_ID:VT_LPWSTR:Qorvex.NoctaraTray", L"Commit",
                               L"QueryInterface:IPersistFile", L"Save:" + ShortcutPath() + L",1"}));
    EXPECT_EQ(link.references, 1u);
    EXPECT_FALSE(seams::NotifyCalls().empty()) << "start-up reached the tray icon";
}

TEST_F(RealProgram, FirstStartCreatesTheFolderAndALinkToTheExecutable)
{
    RunOnce(ProductExePath());
    EXPECT_EQ(ReadLink(Shortcut()), LinkTo(ProductExePath()));
}

TEST_F(RealProgram, ShortcutFollowsTheExecutableWhenItMoves)
{
    RunOnce(ProductExePath());
    RunOnce(copy_);
    EXPECT_EQ(ReadLink(Shortcut()), LinkTo(copy_));
}

TEST_F(RealProgram, ShortcutThatCannotBeRewrittenIsKeptAndStartupGoesOn)
{
    RunOnce(ProductExePath());
    {
        Block block(Shortcut());
        RunOnce(copy_);
    }
    EXPECT_EQ(ReadLink(Shortcut()), LinkTo(ProductExePath()));
}
