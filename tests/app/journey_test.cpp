// The real Noctara.exe, run from Downloads where a web page has dropped a winhttp.dll; read: the service's log.
#include "tests/support/fixture.h"

#include <gtest/gtest.h>

using namespace fixture;

// One GET per run, by the system's WinHTTP, with its headers, keeping no connection alive and bypassing caches.
TEST(Journey, OneRequestWithItsHeaders)
{
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = temp + std::wstring(L"Downloads\\");
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(NOCTARA_EXE, (folder + L"Noctara.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(PLANTED_WINHTTP, (folder + L"winhttp.dll").c_str(), FALSE));
    // Beside Noctara.exe first, as Windows looks for a library that is not a KnownDLL; a child takes
    // WINEDLLOVERRIDES from Wine's environment, not ours.
    const wchar_t* overrides = L"Software\\Wine\\AppDefaults\\Noctara.exe\\DllOverrides";
    RegSetKeyValueW(HKEY_CURRENT_USER, overrides, L"winhttp", REG_SZ, L"native,builtin", sizeof(L"native,builtin"));
    ASSERT_TRUE(SetAnswer(200, "whole", Offer("1.2.2", "https://localhost/dl/Noctara.zip"))) << "no test service";
    STARTUPINFOW startup{sizeof(startup)};
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW((folder + L"Noctara.exe").c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process));
    EXPECT_TRUE(PumpUntil([] { return !ServiceLog().empty(); })) << "the check never reached the service";
    PumpUntil([] { return false; }, 1000);
    // Gone before the next test starts, which would find its mutex.
    TerminateProcess(process.hProcess, 0);
    WaitForSingleObject(process.hProcess, 5000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    const std::wstring log = ServiceLog();
    EXPECT_TRUE(log.starts_with(L"GET /api/proxy?file=check_update.php HTTP/1.1\n")) << log;
    EXPECT_EQ(log.find(L"GET", 1), std::wstring::npos) << "a second request: " << log;
    EXPECT_EQ(log.find(L"Keep-Alive"), std::wstring::npos) << log;
    for (const wchar_t* header : {L"User-Agent: Noctara/1.2\n", L"Content-Type: application/json\n",
                                  L"Accept: application/json\n", L"Cache-Control: no-cache\n"}) {
        EXPECT_NE(log.find(header), std::wstring::npos) << "missing " << header << " in " << log;
    }
}
