// The real Noctara.exe run from Downloads, where a web page has dropped a winhttp.dll; read: the service's log and
// a second copy's exit code.
#include "tests/support/fixture.h"

#include <gtest/gtest.h>

using namespace fixture;

namespace {

const std::wstring folder = [] {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    return temp + std::wstring(L"Downloads\\");
}();
const std::wstring exe = folder + L"Noctara.exe";

// Every copy ends with this process at the latest, not keeping ctest waiting.
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

// One copy runs at a time here.
HWND Window()
{
    HWND window = nullptr;
    PumpUntil([&] { return (window = ProgramWindow()) != nullptr; });
    return window;
}

// A copy still running after 10 s is ended.
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

// The program and a planted winhttp.dll in Downloads, the service offering nothing new; the first copy started,
// its window there.
HANDLE Launch()
{
    CreateDirectoryW(folder.c_str(), nullptr);
    EXPECT_TRUE(CopyFileW(NOCTARA_EXE, exe.c_str(), FALSE)) << "the program was not copied";
    EXPECT_TRUE(CopyFileW(PLANTED_WINHTTP, (folder + L"winhttp.dll").c_str(), FALSE)) << "nothing planted";
    // Beside Noctara.exe first, as Windows looks for a library that is not a KnownDLL; a child takes
    // WINEDLLOVERRIDES from Wine's environment, not ours.
    const wchar_t* overrides = L"Software\\Wine\\AppDefaults\\Noctara.exe\\DllOverrides";
    RegSetKeyValueW(HKEY_CURRENT_USER, overrides, L"winhttp", REG_SZ, L"native,builtin", sizeof(L"native,builtin"));
    EXPECT_TRUE(SetAnswer(200, "whole", Offer("1.2.2", "https://localhost/dl/Noctara.zip"))) << "no test service";
    const HANDLE process = Start();
    EXPECT_NE(Window(), nullptr) << "the program's window never came";
    return process;
}

}  // namespace

// A second copy ends at once with 0, leaving the first.
TEST(Journey, SecondCopyEndsAtOnce)
{
    const HANDLE first = Launch();
    EXPECT_EQ(ExitCode(Start()), 0u) << "the second copy's exit code, or 259 when it stayed";
    EXPECT_EQ(WaitForSingleObject(first, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the first copy ended";
}

// One GET per run, by the system's WinHTTP, with its headers, keeping no connection alive and bypassing caches.
TEST(Journey, OneRequestWithItsHeaders)
{
    Launch();
    EXPECT_TRUE(PumpUntil([] { return !ServiceLog().empty(); })) << "the check never reached the service";
    PumpUntil([] { return false; }, 1000);
    const std::wstring log = ServiceLog();
    EXPECT_TRUE(log.starts_with(L"GET /api/proxy?file=check_update.php HTTP/1.1\n")) << log;
    EXPECT_EQ(log.find(L"GET", 1), std::wstring::npos) << "a second request: " << log;
    EXPECT_EQ(log.find(L"Keep-Alive"), std::wstring::npos) << log;
    for (const wchar_t* header : {L"User-Agent: Noctara/1.2\n", L"Content-Type: application/json\n",
                                  L"Accept: application/json\n", L"Cache-Control: no-cache\n"}) {
        EXPECT_NE(log.find(header), std::wstring::npos) << "missing " << header << " in " << log;
    }
}
