// A winhttp.dll as somebody would plant it beside Noctara.exe: it exports the
// names the program takes from WinHTTP, fails every call, and leaves a file
// of its own name plus ".loaded" beside itself whenever a process loads it.
#include <windows.h>

#include <string>

extern "C" INT_PTR PlantedStub()
{
    return 0;
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(module, path, MAX_PATH);
        const std::wstring marker = path + std::wstring(L".loaded");
        CloseHandle(CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    }
    return TRUE;
}
