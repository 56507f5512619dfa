#include "shell/shortcut.h"

#include "app/scoped_handle.h"
#include "shell/autostart.h"

#include <objbase.h>
#include <objidl.h>
#include <propkey.h>
#include <shlobj.h>
#include <shobjidl.h>

namespace {

// A string the shell allocated.
using ShellString = ScopedHandle<PWSTR, CoTaskMemFree>;

// The folder of a full path; a drive's root keeps its backslash, since "C:"
// alone names that drive's current folder.
std::wstring FolderOf(const std::wstring& path)
{
    const size_t cut = path.find_last_of(L'\\');
    if (cut == std::wstring::npos) {
        return std::wstring();
    }
    return path.substr(0, cut > 0 && path[cut - 1] == L':' ? cut + 1 : cut);
}

}  // namespace

std::wstring ShortcutFolderBelow(const std::wstring& roamingFolder)
{
    std::wstring folder = roamingFolder;
    if (folder.empty() || folder.back() != L'\\') {
        folder += L'\\';
    }
    return folder + kShortcutSubPath;
}

std::wstring GetStartMenuShortcutPath()
{
    std::wstring roaming;
    {
        ShellString found;
        if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, found.Put())) &&
            found.Get() != nullptr) {
            roaming = found.Get();
        }
    }
    if (roaming.empty()) {
        return std::wstring();
    }
    const std::wstring folder = ShortcutFolderBelow(roaming);
    CreateDirectoryTree(folder);
    return folder + kShortcutFileName;
}

void CreateDirectoryTree(const std::wstring& path)
{
    std::wstring prefix;
    prefix.reserve(path.size());
    for (const wchar_t c : path) {
        prefix += c;
        if (c == L'\\') {
            CreateDirectoryW(prefix.c_str(), nullptr);
        }
    }
    CreateDirectoryW(path.c_str(), nullptr);
}

bool CreateStartMenuShortcut()
{
    const std::wstring shortcutPath = GetStartMenuShortcutPath();
    if (shortcutPath.empty()) {
        return false;
    }
    const std::wstring exePath = GetExecutablePath();
    if (exePath.empty()) {
        return false;
    }

    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.PutVoid())) ||
        link.Get() == nullptr) {
        return false;
    }
    link->SetPath(exePath.c_str());
    link->SetArguments(L"");
    link->SetDescription(kAppName);
    link->SetIconLocation(exePath.c_str(), 0);
    // Started from the Start menu as from its own folder, as Windows' own
    // shortcuts to a program do.
    link->SetWorkingDirectory(FolderOf(exePath).c_str());

    {
        ComPtr<IPropertyStore> store;
        if (SUCCEEDED(link->QueryInterface(IID_IPropertyStore, store.PutVoid())) && store.Get() != nullptr) {
            // The value borrows the constant: nothing to free afterwards.
            PROPVARIANT id;
            PropVariantInit(&id);
            id.vt = VT_LPWSTR;
            id.pwszVal = const_cast<wchar_t*>(kAppUserModelId);
            store->SetValue(PKEY_AppUserModel_ID, id);
            store->Commit();
        }
    }

    ComPtr<IPersistFile> file;
    HRESULT status = link->QueryInterface(IID_IPersistFile, file.PutVoid());
    if (SUCCEEDED(status) && file.Get() != nullptr) {
        status = file->Save(shortcutPath.c_str(), TRUE);
    }
    return SUCCEEDED(status);
}
