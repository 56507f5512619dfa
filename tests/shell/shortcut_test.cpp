// The Start-menu shortcut: where it is written, what it holds, that the
// process and the shortcut carry one identity, and that no COM reference is
// left behind on any path. Wine stores neither the link's property store nor
// the process identity, so those are watched at the link seam in-process;
// the file itself is read back from the real executable's runs.
#include "shell/shortcut.h"

#include "app/startup.h"
#include "shell/autostart.h"
#include "tests/support/app_fixture.h"
#include "tests/support/seams.h"

#include <objbase.h>
#include <objidl.h>
#include <propkey.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace testing_support;

namespace {

const std::wstring kSubPath = L"Microsoft\\Windows\\Start Menu\\Programs\\Qorvex Labs\\";
// PKEY_AppUserModel_ID, written out so that a wrong key in a header cannot pass.
const GUID kIdFormat = {0x9F4C2855, 0x9F79, 0x4B39, {0xA8, 0xD0, 0xE1, 0xD4, 0x2D, 0xE1, 0xD5, 0xF3}};
const DWORD kIdProperty = 5;

// ---- files and folders ----

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
bool IsFolder(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The program's hidden window if this process has one.
HWND OwnProductWindow()
{
    for (HWND window = FindWindowExW(nullptr, nullptr, kWindowClassName, nullptr); window != nullptr;
         window = FindWindowExW(nullptr, window, kWindowClassName, nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == GetCurrentProcessId()) {
            return window;
        }
    }
    return nullptr;
}

void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring path = folder + L"\\" + name;
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(path);
            } else {
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

std::optional<std::string> ReadBytes(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::string bytes(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    const BOOL ok = ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    if (!ok || read != bytes.size()) {
        return std::nullopt;
    }
    return bytes;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

// A folder of its own under C:\, removed with everything in it.
class ScratchFolder {
public:
    explicit ScratchFolder(const wchar_t* name)
        : path_(L"C:\\noctara-shortcut-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name)
    {
        RemoveTree(path_);
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~ScratchFolder() { RemoveTree(path_); }
    const std::wstring& Path() const { return path_; }

private:
    std::wstring path_;
};

std::wstring RoamingFolder()
{
    PWSTR found = nullptr;
    std::wstring roaming;
    if (SUCCEEDED(seams::RealKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &found)) && found != nullptr) {
        roaming = found;
    }
    CoTaskMemFree(found);
    return roaming;
}

// Keeps an existing file from being rewritten for the length of a scope.
class RewriteBlock {
public:
    enum class Way { ReadOnly, HeldOpenUnshared };
    RewriteBlock(const std::wstring& path, Way way) : path_(path), way_(way)
    {
        if (way_ == Way::ReadOnly) {
            applied_ = SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_READONLY) != FALSE;
        } else {
            held_ = CreateFileW(path_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            applied_ = held_ != INVALID_HANDLE_VALUE;
        }
    }
    ~RewriteBlock()
    {
        if (held_ != INVALID_HANDLE_VALUE) {
            CloseHandle(held_);
        }
        SetFileAttributesW(path_.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    RewriteBlock(const RewriteBlock&) = delete;
    RewriteBlock& operator=(const RewriteBlock&) = delete;
    bool Applied() const { return applied_; }
    const char* Name() const { return way_ == Way::ReadOnly ? "read-only attribute" : "held open without sharing"; }

private:
    std::wstring path_;
    Way way_;
    HANDLE held_ = INVALID_HANDLE_VALUE;
    bool applied_ = false;
};

// Wine keeps the read-only attribute as Unix permissions, which do not stop
// root: that way is only tried where a probe shows it refuses a rewrite.
std::vector<RewriteBlock::Way> BlockingWays()
{
    std::vector<RewriteBlock::Way> ways = {RewriteBlock::Way::HeldOpenUnshared};
    ScratchFolder probe(L"probe");
    const std::wstring file = probe.Path() + L"\\probe";
    if (WriteBytes(file, "x")) {
        RewriteBlock block(file, RewriteBlock::Way::ReadOnly);
        HANDLE rewrite = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (rewrite == INVALID_HANDLE_VALUE) {
            ways.push_back(RewriteBlock::Way::ReadOnly);
        } else {
            CloseHandle(rewrite);
            std::printf("note: read-only files can be rewritten here (root under Wine); that way is not tried\n");
        }
    }
    return ways;
}

// ---- reading a shortcut back through the system's own link object ----

struct LinkContent {
    std::wstring target;
    std::wstring arguments;
    std::wstring description;
    std::wstring iconPath;
    int iconIndex = -1;
};

std::optional<LinkContent> ReadShortcut(const std::wstring& path)
{
    IShellLinkW* link = nullptr;
    if (FAILED(seams::RealCoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                           reinterpret_cast<void**>(&link)))) {
        return std::nullopt;
    }
    std::optional<LinkContent> content;
    IPersistFile* file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        if (SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
            wchar_t text[MAX_PATH * 2] = {};
            LinkContent read;
            link->GetPath(text, ARRAYSIZE(text), nullptr, SLGP_RAWPATH);
            read.target = text;
            text[0] = L'\0';
            link->GetArguments(text, ARRAYSIZE(text));
            read.arguments = text;
            text[0] = L'\0';
            link->GetDescription(text, ARRAYSIZE(text));
            read.description = text;
            text[0] = L'\0';
            link->GetIconLocation(text, ARRAYSIZE(text), &read.iconIndex);
            read.iconPath = text;
            content = read;
        }
        file->Release();
    }
    link->Release();
    return content;
}

void ExpectTargets(const std::wstring& shortcut, const std::wstring& exe)
{
    const std::optional<LinkContent> link = ReadShortcut(shortcut);
    ASSERT_TRUE(link.has_value()) << "cannot load " << Narrow(shortcut);
    EXPECT_EQ(Narrow(link->target), Narrow(exe));
    EXPECT_EQ(Narrow(link->iconPath), Narrow(exe));
    EXPECT_EQ(link->iconIndex, 0);
    EXPECT_EQ(Narrow(link->arguments), "");
    EXPECT_EQ(Narrow(link->description), "Noctara");
}

// ---- a shell link that records what is done to it ----

std::wstring Describe(REFPROPERTYKEY key)
{
    wchar_t format[40] = {};
    StringFromGUID2(key.fmtid, format, ARRAYSIZE(format));
    return std::wstring(format) + L"/" + std::to_wstring(key.pid);
}

// Wraps the real link object, forwarding every call and logging the ones
// that change it. The test owns the object; the reference count is only
// counted, so a product that releases too often shows as a negative balance
// instead of freeing the object under the test.
class RecordingLink final : public IShellLinkW, public IPropertyStore, public IPersistFile {
public:
    struct Options {
        bool offerPropertyStore = true;
        bool offerPersistFile = true;
        std::optional<HRESULT> saveResult;  // returned instead of saving
    };

    explicit RecordingLink(Options options) : options_(options)
    {
        seams::RealCoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                    reinterpret_cast<void**>(&link_));
        if (link_ != nullptr) {
            link_->QueryInterface(IID_IPropertyStore, reinterpret_cast<void**>(&store_));
            link_->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file_));
        }
    }
    ~RecordingLink()
    {
        for (IUnknown* held : {static_cast<IUnknown*>(file_), static_cast<IUnknown*>(store_),
                               static_cast<IUnknown*>(link_)}) {
            if (held != nullptr) {
                held->Release();
            }
        }
    }
    bool Ready() const { return link_ != nullptr && store_ != nullptr && file_ != nullptr; }
    // References handed out and not given back (the test's own is not counted).
    long Outstanding() const { return references_ - 1; }
    const std::vector<std::wstring>& Calls() const { return calls_; }

    // Hands the link out as CoCreateInstance would.
    HRESULT Create(REFIID iid, void** object)
    {
        *object = nullptr;
        if (iid != IID_IShellLinkW) {
            return E_NOINTERFACE;
        }
        AddRef();
        *object = static_cast<IShellLinkW*>(this);
        return S_OK;
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        *object = nullptr;
        if (iid == IID_IUnknown || iid == IID_IShellLinkW) {
            *object = static_cast<IShellLinkW*>(this);
        } else if (iid == IID_IPropertyStore) {
            calls_.push_back(L"QueryInterface IPropertyStore");
            if (options_.offerPropertyStore) {
                *object = static_cast<IPropertyStore*>(this);
            }
        } else if (iid == IID_IPersistFile) {
            calls_.push_back(L"QueryInterface IPersistFile");
            if (options_.offerPersistFile) {
                *object = static_cast<IPersistFile*>(this);
            }
        }
        if (*object == nullptr) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references_); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--references_); }

    // IShellLinkW: the setters are logged, the getters only forwarded.
    HRESULT STDMETHODCALLTYPE GetPath(LPWSTR file, int size, WIN32_FIND_DATAW* data, DWORD flags) override
    {
        return link_->GetPath(file, size, data, flags);
    }
    HRESULT STDMETHODCALLTYPE GetIDList(PIDLIST_ABSOLUTE* list) override { return link_->GetIDList(list); }
    HRESULT STDMETHODCALLTYPE SetIDList(PCIDLIST_ABSOLUTE list) override
    {
        calls_.push_back(L"SetIDList");
        return link_->SetIDList(list);
    }
    HRESULT STDMETHODCALLTYPE GetDescription(LPWSTR text, int size) override
    {
        return link_->GetDescription(text, size);
    }
    HRESULT STDMETHODCALLTYPE SetDescription(LPCWSTR text) override
    {
        calls_.push_back(L"SetDescription " + Text(text));
        return link_->SetDescription(text);
    }
    HRESULT STDMETHODCALLTYPE GetWorkingDirectory(LPWSTR text, int size) override
    {
        return link_->GetWorkingDirectory(text, size);
    }
    HRESULT STDMETHODCALLTYPE SetWorkingDirectory(LPCWSTR text) override
    {
        calls_.push_back(L"SetWorkingDirectory " + Text(text));
        return link_->SetWorkingDirectory(text);
    }
    HRESULT STDMETHODCALLTYPE GetArguments(LPWSTR text, int size) override { return link_->GetArguments(text, size); }
    HRESULT STDMETHODCALLTYPE SetArguments(LPCWSTR text) override
    {
        calls_.push_back(L"SetArguments " + Text(text));
        return link_->SetArguments(text);
    }
    HRESULT STDMETHODCALLTYPE GetHotkey(WORD* key) override { return link_->GetHotkey(key); }
    HRESULT STDMETHODCALLTYPE SetHotkey(WORD key) override
    {
        calls_.push_back(L"SetHotkey");
        return link_->SetHotkey(key);
    }
    HRESULT STDMETHODCALLTYPE GetShowCmd(int* show) override { return link_->GetShowCmd(show); }
    HRESULT STDMETHODCALLTYPE SetShowCmd(int show) override
    {
        calls_.push_back(L"SetShowCmd");
        return link_->SetShowCmd(show);
    }
    HRESULT STDMETHODCALLTYPE GetIconLocation(LPWSTR text, int size, int* index) override
    {
        return link_->GetIconLocation(text, size, index);
    }
    HRESULT STDMETHODCALLTYPE SetIconLocation(LPCWSTR text, int index) override
    {
        calls_.push_back(L"SetIconLocation " + Text(text) + L"," + std::to_wstring(index));
        return link_->SetIconLocation(text, index);
    }
    HRESULT STDMETHODCALLTYPE SetRelativePath(LPCWSTR text, DWORD reserved) override
    {
        calls_.push_back(L"SetRelativePath " + Text(text));
        return link_->SetRelativePath(text, reserved);
    }
    HRESULT STDMETHODCALLTYPE Resolve(HWND window, DWORD flags) override
    {
        calls_.push_back(L"Resolve");
        return link_->Resolve(window, flags);
    }
    HRESULT STDMETHODCALLTYPE SetPath(LPCWSTR text) override
    {
        calls_.push_back(L"SetPath " + Text(text));
        return link_->SetPath(text);
    }

    // IPropertyStore
    HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override { return store_->GetCount(count); }
    HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* key) override { return store_->GetAt(index, key); }
    HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override
    {
        return store_->GetValue(key, value);
    }
    HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY key, REFPROPVARIANT value) override
    {
        std::wstring call = L"SetValue " + Describe(key) + L" vt=" + std::to_wstring(value.vt);
        if (value.vt == VT_LPWSTR) {
            call += L" " + Text(value.pwszVal);
        }
        calls_.push_back(call);
        return store_->SetValue(key, value);
    }
    HRESULT STDMETHODCALLTYPE Commit() override
    {
        calls_.push_back(L"Commit");
        return store_->Commit();
    }

    // IPersistFile
    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override { return file_->GetClassID(clsid); }
    HRESULT STDMETHODCALLTYPE IsDirty() override { return file_->IsDirty(); }
    HRESULT STDMETHODCALLTYPE Load(LPCOLESTR name, DWORD mode) override
    {
        calls_.push_back(L"Load " + Text(name));
        return file_->Load(name, mode);
    }
    HRESULT STDMETHODCALLTYPE Save(LPCOLESTR name, BOOL remember) override
    {
        calls_.push_back(L"Save " + Text(name) + L" remember=" + std::to_wstring(remember));
        return options_.saveResult ? *options_.saveResult : file_->Save(name, remember);
    }
    HRESULT STDMETHODCALLTYPE SaveCompleted(LPCOLESTR name) override { return file_->SaveCompleted(name); }
    HRESULT STDMETHODCALLTYPE GetCurFile(LPOLESTR* name) override { return file_->GetCurFile(name); }

private:
    static std::wstring Text(LPCWSTR text) { return text != nullptr ? text : L"(null)"; }

    Options options_;
    IShellLinkW* link_ = nullptr;
    IPropertyStore* store_ = nullptr;
    IPersistFile* file_ = nullptr;
    long references_ = 1;
    std::vector<std::wstring> calls_;
};

HRESULT HandOutFolder(const std::wstring& folder, PWSTR* path)
{
    const size_t bytes = (folder.size() + 1) * sizeof(wchar_t);
    *path = static_cast<PWSTR>(CoTaskMemAlloc(bytes));
    memcpy(*path, folder.c_str(), bytes);
    return S_OK;
}

// In-process tests write below a scratch roaming folder, never the user's.
class InProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        seams::Reset();
        seams::knownFolderPathHook = [this](REFKNOWNFOLDERID id, DWORD flags, HANDLE token, PWSTR* path) {
            EXPECT_TRUE(id == FOLDERID_RoamingAppData);
            EXPECT_EQ(flags, 0u);
            EXPECT_EQ(token, nullptr);
            return HandOutFolder(roamingText_, path);
        };
    }
    void TearDown() override
    {
        seams::Reset();
        CoUninitialize();
    }
    std::wstring ShortcutFolder() const { return roaming_.Path() + L"\\" + kSubPath; }
    std::wstring ShortcutPath() const { return ShortcutFolder() + L"Noctara.lnk"; }
    // Routes the product's CoCreateInstance to `link`, checking its arguments.
    void HandOut(RecordingLink& link)
    {
        seams::coCreateInstanceHook = [&link](REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid,
                                              void** object) {
            EXPECT_TRUE(clsid == CLSID_ShellLink);
            EXPECT_EQ(outer, nullptr);
            EXPECT_EQ(context, static_cast<DWORD>(CLSCTX_INPROC_SERVER));
            return link.Create(iid, object);
        };
    }

    ScratchFolder roaming_{L"roaming"};
    std::wstring roamingText_ = roaming_.Path();  // what the folder lookup hands out
};

std::vector<std::string> Narrowed(const std::vector<std::wstring>& calls)
{
    std::vector<std::string> out;
    for (const std::wstring& call : calls) {
        out.push_back(Narrow(call));
    }
    return out;
}

}  // namespace

// ---- the path and its folders ----

TEST(ShortcutFolder, OneSeparatorWhateverTheRoamingFolderEndsWith)
{
    const std::string expected = "C:\\x\\Microsoft\\Windows\\Start Menu\\Programs\\Qorvex Labs\\";
    EXPECT_EQ(Narrow(ShortcutFolderBelow(L"C:\\x")), expected);
    EXPECT_EQ(Narrow(ShortcutFolderBelow(L"C:\\x\\")), expected);
}

TEST_F(InProcess, ShortcutPathIsBuiltBelowTheRoamingFolderAndItsFolderCreated)
{
    for (const std::wstring ending : {L"", L"\\"}) {
        SCOPED_TRACE(Narrow(L"roaming folder ending in '" + ending + L"'"));
        RemoveTree(roaming_.Path() + L"\\Microsoft");
        roamingText_ = roaming_.Path() + ending;
        EXPECT_EQ(Narrow(GetStartMenuShortcutPath()), Narrow(ShortcutPath()));
        EXPECT_TRUE(IsFolder(ShortcutFolder()));
    }
}

TEST_F(InProcess, NoRoamingFolderGivesNoPathNoFolderAndNoShortcut)
{
    struct Case {
        const char* name;
        HRESULT result;
        const wchar_t* text;  // handed out even on failure, as some shells do
    };
    for (const Case& c : {Case{"lookup fails", E_FAIL, nullptr}, Case{"lookup gives an empty path", S_OK, L""},
                          Case{"lookup fails yet hands out text", E_FAIL, L"C:\\elsewhere"}}) {
        SCOPED_TRACE(c.name);
        seams::Reset();
        seams::knownFolderPathHook = [&](REFKNOWNFOLDERID, DWORD, HANDLE, PWSTR* path) {
            *path = nullptr;
            if (c.text != nullptr) {
                HandOutFolder(c.text, path);
            }
            return c.result;
        };
        bool created = false;
        seams::coCreateInstanceHook = [&](REFCLSID, LPUNKNOWN, DWORD, REFIID, void** object) {
            created = true;
            *object = nullptr;
            return E_FAIL;
        };
        EXPECT_EQ(GetStartMenuShortcutPath(), L"");
        EXPECT_FALSE(CreateStartMenuShortcut());
        EXPECT_FALSE(created);
        EXPECT_TRUE(seams::CreateDirectoryCalls().empty());
    }
}

TEST_F(InProcess, DirectoryTreeIsCreatedAtEveryBackslashAndOnceMoreForTheWholePath)
{
    const std::wstring base = roaming_.Path();
    struct Case {
        std::wstring path;
        std::vector<std::wstring> expectedCalls;
        std::vector<std::wstring> existAfter;
        std::vector<std::wstring> absentAfter;
    };
    const std::wstring drive = base.substr(0, 3);
    const std::wstring top = base + L"\\";
    const Case cases[] = {
        // Ending in a backslash, as the shortcut folder does: the last call repeats.
        {base + L"\\a\\b\\",
         {drive, top, top + L"a\\", top + L"a\\b\\", top + L"a\\b\\"},
         {base + L"\\a", base + L"\\a\\b"},
         {}},
        {base + L"\\c\\d",
         {drive, top, top + L"c\\", top + L"c\\d"},
         {base + L"\\c", base + L"\\c\\d"},
         {}},
        // A forward slash is no separator here, so "x/y" is asked for as one
        // step; the system reads it as x\y, whose parent x was never made.
        {base + L"\\x/y\\z",
         {drive, top, top + L"x/y\\", top + L"x/y\\z"},
         {},
         {base + L"\\x", base + L"\\x\\y", base + L"\\x\\y\\z"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.path));
        seams::Reset();
        CreateDirectoryTree(c.path);
        std::vector<std::wstring> paths;
        for (const seams::CreateDirectoryCall& call : seams::CreateDirectoryCalls()) {
            paths.push_back(call.path);
            EXPECT_FALSE(call.hasSecurity);
        }
        EXPECT_EQ(Narrowed(paths), Narrowed(c.expectedCalls));
        for (const std::wstring& folder : c.existAfter) {
            EXPECT_TRUE(Exists(folder)) << Narrow(folder);
        }
        for (const std::wstring& folder : c.absentAfter) {
            EXPECT_FALSE(Exists(folder)) << Narrow(folder);
        }
    }
}

// ---- what is written into the link, and that every reference comes back ----

TEST_F(InProcess, LinkGetsTargetIconDescriptionAndIdentityCommittedBeforeSave)
{
    RecordingLink link({});
    ASSERT_TRUE(link.Ready());
    HandOut(link);

    EXPECT_TRUE(CreateStartMenuShortcut());

    const std::wstring exe = GetExecutablePath();
    const std::vector<std::wstring> expected = {
        L"SetPath " + exe,
        L"SetArguments ",
        L"SetDescription Noctara",
        L"SetIconLocation " + exe + L",0",
        L"QueryInterface IPropertyStore",
        L"SetValue " + Describe(PROPERTYKEY{kIdFormat, kIdProperty}) + L" vt=31 Qorvex.NoctaraTray",
        L"Commit",
        L"QueryInterface IPersistFile",
        L"Save " + ShortcutPath() + L" remember=1",
    };
    EXPECT_EQ(Narrowed(link.Calls()), Narrowed(expected));
    EXPECT_EQ(link.Outstanding(), 0);
    ExpectTargets(ShortcutPath(), exe);
}

TEST_F(InProcess, FailuresReturnFalseUnlessTheFileWasSavedAndLeakNothing)
{
    struct Case {
        const char* name;
        HRESULT createResult;  // S_OK: hand out the recording link
        bool handOutNull;
        RecordingLink::Options options;
        bool expectedResult;
        bool identitySet;
    };
    const Case cases[] = {
        {"link object cannot be created", REGDB_E_CLASSNOTREG, false, {}, false, false},
        {"creation succeeds without an object", S_OK, true, {}, false, false},
        {"no property store", S_OK, false, {false, true, std::nullopt}, true, false},
        {"no persist-file interface", S_OK, false, {true, false, std::nullopt}, false, true},
        {"save refused", S_OK, false, {true, true, E_ACCESSDENIED}, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(ShortcutPath().c_str());
        RecordingLink link(c.options);
        ASSERT_TRUE(link.Ready());
        seams::coCreateInstanceHook = [&](REFCLSID, LPUNKNOWN, DWORD, REFIID iid, void** object) {
            *object = nullptr;
            if (FAILED(c.createResult) || c.handOutNull) {
                return c.createResult;
            }
            return link.Create(iid, object);
        };

        EXPECT_EQ(CreateStartMenuShortcut(), c.expectedResult);
        EXPECT_EQ(Exists(ShortcutPath()), c.expectedResult);
        bool identitySet = false;
        for (const std::wstring& call : link.Calls()) {
            identitySet = identitySet || call.rfind(L"SetValue", 0) == 0;
        }
        EXPECT_EQ(identitySet, c.identitySet);
        EXPECT_EQ(link.Outstanding(), 0);
    }
}

TEST_F(InProcess, ShortcutThatCannotBeRewrittenIsLeftAsItWasAndReportedAsFailure)
{
    ASSERT_TRUE(CreateStartMenuShortcut());
    const std::optional<std::string> before = ReadBytes(ShortcutPath());
    ASSERT_TRUE(before.has_value());

    for (const RewriteBlock::Way way : BlockingWays()) {
        RewriteBlock block(ShortcutPath(), way);
        SCOPED_TRACE(block.Name());
        ASSERT_TRUE(block.Applied());
        RecordingLink link({});
        ASSERT_TRUE(link.Ready());
        HandOut(link);
        EXPECT_FALSE(CreateStartMenuShortcut());
        EXPECT_EQ(link.Outstanding(), 0);
    }
    EXPECT_EQ(ReadBytes(ShortcutPath()), before);
}

// ---- the start-up sequence, run in this process ----

// wWinMain itself, with its shortcut below a scratch folder, ended by the
// exit command once its window exists. The process identity and the link's
// property receive the same text, and both come before the window.
TEST_F(InProcess, StartupGivesProcessAndShortcutOneIdentityBeforeTheWindow)
{
    RecordingLink link({});
    ASSERT_TRUE(link.Ready());
    size_t identitiesAtLink = 0;
    bool windowAtLink = true;
    size_t trayCallsAtLink = 1;
    seams::coCreateInstanceHook = [&](REFCLSID clsid, LPUNKNOWN, DWORD, REFIID iid, void** object) {
        if (clsid != CLSID_ShellLink) {
            return seams::RealCoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, object);
        }
        identitiesAtLink = seams::AppUserModelIds().size();
        windowAtLink = OwnProductWindow() != nullptr;
        trayCallsAtLink = seams::NotifyCalls().size();
        return link.Create(iid, object);
    };

    const DWORD uiThread = GetCurrentThreadId();
    std::thread ender([uiThread] {
        HWND window = nullptr;
        const ULONGLONG deadline = GetTickCount64() + 20000;
        while (window == nullptr && GetTickCount64() < deadline) {
            window = OwnProductWindow();
            Sleep(10);
        }
        if (window != nullptr) {
            PostMessageW(window, WM_COMMAND, CmdExit, 0);
        } else {
            PostThreadMessageW(uiThread, WM_QUIT, 0, 0);
        }
    });
    const int exitCode = wWinMain(GetModuleHandleW(nullptr), nullptr, const_cast<wchar_t*>(L""), SW_SHOWDEFAULT);
    ender.join();
    // The guard's mutex is meant to live as long as the process: close it so
    // that the session holds no copy of the program any more.
    for (const seams::MutexCall& call : seams::MutexCalls()) {
        if (call.name == kSingleInstanceMutexName && call.handle != nullptr) {
            CloseHandle(call.handle);
        }
    }
    if (AppState::mainWindow != nullptr) {
        DestroyWindow(AppState::mainWindow);
    }

    EXPECT_EQ(exitCode, kExitNormal);
    ASSERT_EQ(seams::AppUserModelIds().size(), 1u);
    EXPECT_EQ(Narrow(seams::AppUserModelIds()[0]), "Qorvex.NoctaraTray");
    EXPECT_EQ(identitiesAtLink, 1u) << "the identity must be set before the shortcut is written";
    EXPECT_FALSE(windowAtLink) << "the shortcut comes before the window";
    EXPECT_EQ(trayCallsAtLink, 0u);

    const std::wstring sameIdentity = L"SetValue " + Describe(PROPERTYKEY{kIdFormat, kIdProperty}) + L" vt=31 " +
                                      seams::AppUserModelIds()[0];
    std::vector<std::string> calls = Narrowed(link.Calls());
    const auto at = [&](const std::wstring& call) { return std::find(calls.begin(), calls.end(), Narrow(call)); };
    EXPECT_NE(at(sameIdentity), calls.end());
    EXPECT_LT(at(sameIdentity), at(L"Commit"));
    EXPECT_LT(at(L"Commit"), at(L"Save " + ShortcutPath() + L" remember=1"));
    EXPECT_NE(at(L"Save " + ShortcutPath() + L" remember=1"), calls.end());
    EXPECT_EQ(link.Outstanding(), 0);
}

// ---- the real executable, read back from this process ----

namespace {

// Keeps the user's shortcut folder as it was found: the real program writes
// there, and the tests move it about.
class RealProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        const std::wstring roaming = RoamingFolder();
        ASSERT_FALSE(roaming.empty());
        folder_ = ShortcutFolderBelow(roaming);
        shortcut_ = folder_ + L"Noctara.lnk";
        folderExisted_ = Exists(folder_);
        saved_ = ReadBytes(shortcut_);
    }
    void TearDown() override
    {
        SetFileAttributesW(shortcut_.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!folderExisted_) {
            RemoveTree(folder_.substr(0, folder_.size() - 1));
        } else if (saved_) {
            WriteBytes(shortcut_, *saved_);
        } else {
            DeleteFileW(shortcut_.c_str());
        }
        CoUninitialize();
    }

    std::wstring folder_;
    std::wstring shortcut_;
    bool folderExisted_ = false;
    std::optional<std::string> saved_;
};

// Starts the program, waits for its window, checks that it answers, ends it
// with the exit command and expects exit code 0.
void RunOnce(const std::wstring& exe)
{
    HANDLE process = StartProduct(exe);
    ASSERT_NE(process, nullptr) << "could not start " << Narrow(exe);
    HWND window = WaitForProductWindow(GetProcessId(process), 20000);
    if (window == nullptr) {
        TerminateProcess(process, 99);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
        FAIL() << "the hidden window never appeared";
    }
    DWORD_PTR answer = 0;
    EXPECT_NE(SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 10000, &answer), 0);
    PostMessageW(window, WM_COMMAND, CmdExit, 0);
    const DWORD code = WaitForExit(process, 10000);
    if (code == STILL_ACTIVE) {
        TerminateProcess(process, 99);
        WaitForSingleObject(process, 5000);
    }
    CloseHandle(process);
    EXPECT_EQ(code, 0u);
}

}  // namespace

TEST_F(RealProgram, FirstStartCreatesTheFolderAndALinkToTheExecutable)
{
    RemoveTree(folder_.substr(0, folder_.size() - 1));
    ASSERT_FALSE(Exists(folder_));

    ASSERT_NO_FATAL_FAILURE(RunOnce(ProductExePath()));

    EXPECT_TRUE(IsFolder(folder_));
    ASSERT_TRUE(Exists(shortcut_));
    ExpectTargets(shortcut_, ProductExePath());
}

TEST_F(RealProgram, ShortcutFollowsTheExecutableWhenItMoves)
{
    ScratchFolder moved(L"moved");
    const std::wstring copy = moved.Path() + L"\\Noctara.exe";
    ASSERT_TRUE(CopyFileW(ProductExePath().c_str(), copy.c_str(), FALSE));

    ASSERT_NO_FATAL_FAILURE(RunOnce(copy));
    ExpectTargets(shortcut_, copy);

    ASSERT_NO_FATAL_FAILURE(RunOnce(ProductExePath()));
    ExpectTargets(shortcut_, ProductExePath());
}

TEST_F(RealProgram, ShortcutThatCannotBeRewrittenIsKeptAndStartupGoesOn)
{
    CreateDirectoryTree(folder_);
    // Not a link at all: any rewrite would show.
    const std::string marker = "left alone";
    ASSERT_TRUE(WriteBytes(shortcut_, marker));

    for (const RewriteBlock::Way way : BlockingWays()) {
        RewriteBlock block(shortcut_, way);
        SCOPED_TRACE(block.Name());
        ASSERT_TRUE(block.Applied());
        // RunOnce sees the window appear and answer, so start-up went on.
        ASSERT_NO_FATAL_FAILURE(RunOnce(ProductExePath()));
    }
    EXPECT_EQ(ReadBytes(shortcut_), std::optional<std::string>(marker));
}
