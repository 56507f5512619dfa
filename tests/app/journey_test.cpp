// The real Noctara.exe as people run it: from Downloads, where a web page has
// dropped a winhttp.dll. Driven from outside with the messages the shell and
// the menu send; effects are read where they land: the shortcut, the
// service's log, the exit codes.
#include "tests/support/fixture.h"

#include <gtest/gtest.h>
#include <shlobj.h>

using namespace fixture;

namespace {

std::wstring Downloads()
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    return temp + std::wstring(L"Downloads\\");
}

const std::wstring folder = Downloads();
const std::wstring exe = folder + L"Noctara.exe";

// Every copy started here ends with this process at the latest: one that
// stays up fails its test instead of keeping ctest waiting.
HANDLE Start()
{
    static const HANDLE job = [] {
        const HANDLE created = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
        return created;
    }();
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    CreateProcessW(exe.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    AssignProcessToJobObject(job, process.hProcess);
    CloseHandle(process.hThread);
    return process.hProcess;
}

// The program's window once it is there; one copy runs at a time here.
HWND Window()
{
    HWND window = nullptr;
    PumpUntil([&] { return (window = ProgramWindow()) != nullptr; });
    return window;
}

// STILL_ACTIVE for a copy still running after 10 s, which is then ended.
DWORD ExitCode(HANDLE process)
{
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process, 10000) == WAIT_TIMEOUT) {
        TerminateProcess(process, STILL_ACTIVE);
    }
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}

// The shortcut's target.
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

TEST(Journey, TheRealProgramFromDownloadsToExit)
{
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(NOCTARA_EXE, exe.c_str(), FALSE));
    // The planted library leaves NAME.loaded beside itself; seen under another name, as Wine serves us its own.
    for (const wchar_t* name : {L"winhttp.dll", L"control.dll"}) {
        ASSERT_TRUE(CopyFileW(PLANTED_WINHTTP, (folder + name).c_str(), FALSE));
    }
    FreeLibrary(LoadLibraryW((folder + L"control.dll").c_str()));
    ASSERT_NE(GetFileAttributesW((folder + L"control.dll.loaded").c_str()), INVALID_FILE_ATTRIBUTES);
    // Beside Noctara.exe first, as Windows looks for a library that is not a KnownDLL. In the registry: a child
    // takes WINEDLLOVERRIDES from Wine's environment, not ours.
    const wchar_t* overrides = L"Software\\Wine\\AppDefaults\\Noctara.exe\\DllOverrides";
    RegSetKeyValueW(HKEY_CURRENT_USER, overrides, L"winhttp", REG_SZ, L"native,builtin", sizeof(L"native,builtin"));

    ASSERT_TRUE(SetAnswer(200, "whole", Offer("1.2.2", "https://localhost/dl/Noctara.zip")));
    HANDLE process = Start();
    const HWND window = Window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(GetAncestor(window, GA_PARENT), GetDesktopWindow()) << "a message-only window misses broadcasts";
    EXPECT_EQ(ExitCode(Start()), 0u) << "a second copy ends at once";

    // One check per run, by the system's WinHTTP: a GET that keeps no connection alive.
    const bool asked = PumpUntil([] { return !ServiceLog().empty(); });
    EXPECT_EQ(GetFileAttributesW((folder + L"winhttp.dll.loaded").c_str()), INVALID_FILE_ATTRIBUTES)
        << "the planted winhttp.dll ran inside Noctara";
    ASSERT_TRUE(asked) << "the check never reached the service";
    PumpUntil([] { return false; }, 1000);
    const std::wstring log = ServiceLog();
    EXPECT_TRUE(log.starts_with(L"GET /api/proxy?file=check_update.php HTTP/1.1\n")) << log;
    EXPECT_EQ(log.find(L"GET", 1), std::wstring::npos) << log;
    for (const wchar_t* header :
         {L"User-Agent: Noctara/1.2\n", L"Content-Type: application/json\n", L"Accept: application/json\n"}) {
        EXPECT_NE(log.find(header), std::wstring::npos) << header;
    }
    EXPECT_EQ(log.find(L"Keep-Alive"), std::wstring::npos) << log;
    EXPECT_NE(log.find(L"Cache-Control: no-cache\n"), std::wstring::npos) << "a cache may answer: " << log;

    // The real path, as the copy command and the Run value take it too.
    EXPECT_EQ(ShortcutTarget(), exe);

    PostMessageW(window, WM_COMMAND, 40006, 0);
    EXPECT_EQ(ExitCode(process), 0u);
    process = Start();
    PostMessageW(Window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(ExitCode(process), 0u);
}
