// The real Noctara.exe, driven from outside with the messages the shell and
// the menu send; effects are read where they land: the registry, the
// clipboard, the shortcut, the service's log, the exit codes.
#include "shell/autostart.h"
#include "tests/support/fixture.h"

#include <gtest/gtest.h>
#include <shlobj.h>

using namespace fixture;

namespace {

const std::wstring exe = NOCTARA_EXE;

HANDLE Start(const std::wstring& path = exe)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(process.hThread);
    return process.hProcess;
}

// The program's window; one copy runs at a time here.
HWND Window()
{
    HWND window = nullptr;
    PumpUntil([&] { return (window = FindWindowW(kWindowClassName, nullptr)) != nullptr; });
    return window;
}

DWORD ExitCode(HANDLE process)
{
    DWORD code = STILL_ACTIVE;
    WaitForSingleObject(process, 20000);
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}

// The autostart value, "-" when there is none.
std::wstring RunValue()
{
    wchar_t value[1024] = L"-";
    DWORD bytes = sizeof(value);
    RegGetValueW(HKEY_CURRENT_USER, kRunKeyPath, kAppName, RRF_RT_REG_SZ, nullptr, value, &bytes);
    return value;
}

std::wstring Clipboard()
{
    // With a window: Wine lets two windowless openers in at once.
    static const HWND owner = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, 0, 0, 0);
    std::wstring text;
    if (OpenClipboard(owner)) {
        HANDLE data = GetClipboardData(CF_UNICODETEXT);
        if (const auto* units = static_cast<const wchar_t*>(GlobalLock(data))) {
            text = units;
            GlobalUnlock(data);
        }
        CloseClipboard();
    }
    return text;
}

std::wstring ShortcutTarget()
{
    PWSTR roaming = nullptr;
    SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &roaming);
    const std::wstring path = roaming + std::wstring(L"\\Microsoft\\Windows\\Start Menu\\Programs\\Qorvex Labs\\"
                                                     L"Noctara.lnk");
    CoTaskMemFree(roaming);
    wchar_t target[MAX_PATH] = {};
    IShellLinkW* link = nullptr;
    IPersistFile* file = nullptr;
    CoInitialize(nullptr);
    CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, reinterpret_cast<void**>(&link));
    link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file));
    if (SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
        link->GetPath(target, MAX_PATH, nullptr, SLGP_RAWPATH);
    }
    file->Release();
    link->Release();
    return target;
}

}  // namespace

TEST(Journey, TheRealProgramFromStartToExit)
{
    ASSERT_TRUE(SetAnswer(200, "whole", Offer("1.2.2", "https://localhost/dl/Noctara.zip")));
    HANDLE process = Start();
    const HWND window = Window();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(GetAncestor(window, GA_PARENT), GetDesktopWindow()) << "a message-only window misses broadcasts";
    EXPECT_EQ(ExitCode(Start()), 0u) << "a second copy ends at once";
    EXPECT_EQ(FindWindowExW(nullptr, window, kWindowClassName, nullptr), nullptr);

    // One check per run: a GET that keeps no connection alive.
    ASSERT_TRUE(PumpUntil([] { return !ServiceLog().empty(); }));
    PumpUntil([] { return false; }, 1000);
    const std::wstring log = ServiceLog();
    EXPECT_TRUE(log.starts_with(L"GET /api/proxy?file=check_update.php HTTP/1.1\n")) << log;
    EXPECT_EQ(log.find(L"GET", 1), std::wstring::npos) << log;
    for (const wchar_t* header :
         {L"User-Agent: Noctara/1.2\n", L"Content-Type: application/json\n", L"Accept: application/json\n"}) {
        EXPECT_NE(log.find(header), std::wstring::npos) << header;
    }
    EXPECT_EQ(log.find(L"Keep-Alive"), std::wstring::npos) << log;

    EXPECT_EQ(ShortcutTarget(), exe);
    for (const std::wstring& value : {L"\"" + exe + L"\"", std::wstring(L"-")}) {
        PostMessageW(window, WM_COMMAND, CmdToggleAutostart, 0);
        EXPECT_TRUE(PumpUntil([&] { return RunValue() == value; })) << RunValue();
    }
    PostMessageW(window, WM_COMMAND, CmdCopyExePath, 0);
    EXPECT_TRUE(PumpUntil([] { return Clipboard() == exe; })) << Clipboard();

    PostMessageW(window, WM_COMMAND, CmdExit, 0);
    EXPECT_EQ(ExitCode(process), 0u);
    process = Start();
    PostMessageW(Window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(ExitCode(process), 0u);
}

// A winhttp.dll dropped beside the program, as any web page can drop one into
// Downloads. Wine is told to look beside the program first for that name, as
// Windows does for every library that is not a KnownDLL (in the registry: a
// child takes WINEDLLOVERRIDES from Wine's own environment, not from ours).
TEST(Journey, ALibraryPlantedBesideTheProgramNeverRunsInIt)
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = temp + std::wstring(L"Downloads\\");
    const std::wstring marker = folder + L"winhttp.dll.loaded";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(exe.c_str(), (folder + L"Noctara.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(PLANTED_WINHTTP, (folder + L"winhttp.dll").c_str(), FALSE));
    DeleteFileW(marker.c_str());
    // It records its loading: seen under another name, as this process is served Wine's own winhttp.dll.
    const std::wstring control = folder + L"control.dll";
    ASSERT_TRUE(CopyFileW(PLANTED_WINHTTP, control.c_str(), FALSE));
    FreeLibrary(LoadLibraryW(control.c_str()));
    ASSERT_NE(GetFileAttributesW((control + L".loaded").c_str()), INVALID_FILE_ATTRIBUTES);

    const wchar_t* overrides = L"Software\\Wine\\AppDefaults\\Noctara.exe\\DllOverrides";
    const DWORD bytes = sizeof(L"native,builtin");
    RegSetKeyValueW(HKEY_CURRENT_USER, overrides, L"winhttp", REG_SZ, L"native,builtin", bytes);
    ASSERT_TRUE(SetAnswer(200, "whole", Offer("1.2.2", "https://localhost/dl/Noctara.zip")));
    HANDLE process = Start(folder + L"Noctara.exe");
    EXPECT_TRUE(PumpUntil([] { return !ServiceLog().empty(); })) << "the check never reached the service";
    PostMessageW(Window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(ExitCode(process), 0u);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\Noctara.exe");
    EXPECT_EQ(GetFileAttributesW(marker.c_str()), INVALID_FILE_ATTRIBUTES) << "the planted winhttp.dll was loaded";
}
