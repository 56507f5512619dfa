// The journeys' hands and eyes inside Wine: one command a run, findings as JSON
// lines on stdout, exit 1 when what it looked for is absent.
//   [--class NAME] window | post MSG|TaskbarCreated [WPARAM] | menu | tips | clip [TEXT]
//                  | forget-icon | ping COUNT | launch EXE
// Built again as e2e_menu_probe.dll (E2E_MENU_PROBE): Wine keeps menus per
// process, so the open menu is read inside Noctara and asked for over a pipe.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string Json(const wchar_t* text)  // control characters become spaces
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
    std::string out = "\"";
    for (const char c : utf8.substr(0, utf8.find('\0'))) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
    return out + "\"";
}

std::wstring PipeName(DWORD pid)
{
    return L"\\\\.\\pipe\\noctara-e2e-menu-" + std::to_wstring(pid);
}

#ifdef E2E_MENU_PROBE
std::string DescribeOpenMenu()  // an object per item, or "none"
{
    std::string reply;
    for (HWND window = nullptr; (window = FindWindowExW(nullptr, window, L"#32768", nullptr)) != nullptr;) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid != GetCurrentProcessId() || !IsWindowVisible(window)) {
            continue;
        }
        HMENU menu = reinterpret_cast<HMENU>(SendMessageW(window, 0x01E1, 0, 0));  // MN_GETHMENU
        for (int i = 0; i < GetMenuItemCount(menu); ++i) {
            wchar_t text[256] = {};
            MENUITEMINFOW info{};
            info.cbSize = sizeof(info);
            info.fMask = MIIM_STATE | MIIM_STRING;
            info.dwTypeData = text;
            info.cch = ARRAYSIZE(text);
            RECT r{};
            if (!GetMenuItemInfoW(menu, i, TRUE, &info) ||
                !(GetMenuItemRect(nullptr, menu, i, &r) || GetMenuItemRect(window, menu, i, &r))) {
                return "none\n";
            }
            char line[160];
            std::snprintf(line, sizeof(line), "{\"checked\":%s,\"grayed\":%s,\"rect\":[%ld,%ld,%ld,%ld],\"text\":",
                          (info.fState & MFS_CHECKED) ? "true" : "false", (info.fState & MFS_GRAYED) ? "true" : "false",
                          r.left, r.top, r.right, r.bottom);
            reply += line + Json(text) + "}\n";
        }
        break;
    }
    return reply.empty() ? "none\n" : reply;
}

DWORD WINAPI Serve(void*)
{
    const std::wstring name = PipeName(GetCurrentProcessId());
    for (;;) {
        HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                                       1, 65536, 512, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            return 1;
        }
        if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            char request[16];
            DWORD count = 0;
            ReadFile(pipe, request, sizeof(request), &count, nullptr);
            const std::string reply = DescribeOpenMenu();
            WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &count, nullptr);
            FlushFileBuffers(pipe);
            DisconnectNamedPipe(pipe);
        }
        CloseHandle(pipe);
    }
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        CloseHandle(CreateThread(nullptr, 0, Serve, nullptr, 0, nullptr));
    }
    return TRUE;
}
#else
std::wstring Wide(const char* text)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), size);
    return out.substr(0, out.find(L'\0'));
}

LONGLONG Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double MsSince(LONGLONG start)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(Now() - start) / static_cast<double>(frequency.QuadPart);
}

int Menu(DWORD pid)
{
    const std::wstring pipe = PipeName(pid);
    if (!WaitNamedPipeW(pipe.c_str(), 0) && GetLastError() == ERROR_FILE_NOT_FOUND) {
        // LoadLibraryW as a thread of Noctara's: kernel32 sits at one address in every process.
        wchar_t exe[MAX_PATH];
        std::wstring dll(exe, GetModuleFileNameW(nullptr, exe, MAX_PATH));
        dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"e2e_menu_probe.dll";
        const SIZE_T bytes = (dll.size() + 1) * sizeof(wchar_t);
        HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
        void* remote = VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        auto* load = reinterpret_cast<LPTHREAD_START_ROUTINE>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
        HANDLE thread = WriteProcessMemory(process, remote, dll.c_str(), bytes, nullptr)
                            ? CreateRemoteThread(process, nullptr, 0, load, remote, 0, nullptr)
                            : nullptr;
        DWORD module = 0;
        if (thread == nullptr || WaitForSingleObject(thread, 10000) != WAIT_OBJECT_0 ||
            !GetExitCodeThread(thread, &module) || module == 0) {
            std::fputs("e2e_driver: could not load the menu probe\n", stderr);
            return 2;
        }
    }
    static char reply[65536];
    char request[] = "menu";
    DWORD got = 0;
    for (int i = 0; i < 100 && !CallNamedPipeW(pipe.c_str(), request, sizeof(request), reply, sizeof(reply) - 1,
                                                &got, 2000);
         ++i) {
        Sleep(50);  // the probe is starting or busy
    }
    reply[got] = '\0';
    return got == 0 || reply[0] != '{' ? 1 : (std::fputs(reply, stdout), 0);
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    std::wstring windowClass = L"NoctaraTrayHiddenWindowClass";
    if (args.size() > 2 && args[0] == "--class") {  // the footprint benchmark's baseline
        windowClass = Wide(args[1].c_str());
        args.erase(args.begin(), args.begin() + 2);
    }
    args.resize(std::max<size_t>(args.size(), 3));
    const std::string& command = args[0];
    HWND window = FindWindowW(windowClass.c_str(), nullptr);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (command == "tips") {  // the visible tooltips and balloons of the desktop
        EnumWindows(
            [](HWND tip, LPARAM) -> BOOL {
                wchar_t text[512] = {};
                GetClassNameW(tip, text, ARRAYSIZE(text));
                DWORD_PTR copied = 0;
                if (IsWindowVisible(tip) && std::wstring(text) == L"tooltips_class32" &&
                    SendMessageTimeoutW(tip, WM_GETTEXT, ARRAYSIZE(text), reinterpret_cast<LPARAM>(text),
                                        SMTO_ABORTIFHUNG, 2000, &copied)) {
                    std::printf("{\"text\":%s}\n", Json(text).c_str());
                }
                return TRUE;
            },
            0);
        return 0;
    }
    if (command == "clip") {  // reads the clipboard, or with TEXT sets it
        // Wine lets two OpenClipboard(NULL) callers in at once: own a window.
        HWND owner = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        bool open = false;
        for (int i = 0; i < 50 && !(open = OpenClipboard(owner)); ++i) {
            Sleep(20);
        }
        if (!open) {
            return 2;
        }
        if (!args[1].empty()) {
            const std::wstring text = Wide(args[1].c_str());
            HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
            std::copy_n(text.c_str(), text.size() + 1, static_cast<wchar_t*>(GlobalLock(block)));
            GlobalUnlock(block);
            EmptyClipboard();
            const bool placed = SetClipboardData(CF_UNICODETEXT, block) != nullptr;
            CloseClipboard();
            return placed ? 0 : 1;
        }
        HANDLE data = GetClipboardData(CF_UNICODETEXT);
        const auto* text = data != nullptr ? static_cast<const wchar_t*>(GlobalLock(data)) : nullptr;
        std::printf("{\"text\":%s}\n", Json(text != nullptr ? text : L"").c_str());
        CloseClipboard();
        return 0;
    }
    if (command == "launch") {  // starts EXE and times it until its window exists
        std::wstring line = L"\"" + Wide(args[1].c_str()) + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        const LONGLONG start = Now();
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
            return 1;
        }
        while ((window = FindWindowW(windowClass.c_str(), nullptr)) == nullptr && MsSince(start) < 30000) {
            Sleep(1);
        }
        const double ms = MsSince(start);
        return window == nullptr ? 1 : (std::printf("{\"pid\":%lu,\"ms\":%.3f}\n", process.dwProcessId, ms), 0);
    }
    if (window == nullptr) {
        return 1;
    }
    if (command == "window") {
        std::printf("{\"hwnd\":%llu,\"pid\":%lu}\n", reinterpret_cast<unsigned long long>(window), pid);
        return 0;
    }
    if (command == "post") {
        const UINT message = args[1] == "TaskbarCreated" ? RegisterWindowMessageW(L"TaskbarCreated")
                                                         : static_cast<UINT>(std::strtoul(args[1].c_str(), nullptr, 0));
        return PostMessageW(window, message, std::strtoull(args[2].c_str(), nullptr, 0), 0) ? 0 : 1;
    }
    if (command == "forget-icon") {  // what a restarted shell has lost
        NOTIFYICONDATAW data{};
        data.cbSize = sizeof(data);
        data.hWnd = window;
        data.uID = 1;
        return Shell_NotifyIconW(NIM_DELETE, &data) ? 0 : 1;
    }
    if (command == "ping") {  // WM_NULL round trips to the window
        std::vector<double> times;
        for (int i = 0; i < std::atoi(args[1].c_str()); ++i) {
            const LONGLONG start = Now();
            DWORD_PTR result = 0;
            times.push_back(SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result) ? MsSince(start)
                                                                                                  : 5000.0);
            Sleep(20);
        }
        std::sort(times.begin(), times.end());
        std::printf("{\"count\":%d,\"median_ms\":%.3f,\"max_ms\":%.3f}\n", static_cast<int>(times.size()),
                    times[times.size() / 2], times.back());
        return 0;
    }
    if (command == "menu") {
        return Menu(pid);
    }
    std::fprintf(stderr, "e2e_driver: unknown command %s\n", command.c_str());
    return 2;
}
#endif
