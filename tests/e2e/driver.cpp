// The end-to-end suite's hands and eyes inside the Wine session: finds
// Noctara's hidden window, posts messages to it, reads the open menu, the
// shell's tooltip and balloon windows and the clipboard, and times the UI
// thread's answer. Every command prints its findings on stdout, one JSON
// object a line, and exits 0 on success, 1 when what it looked for is absent.
//
//   e2e_driver window                       {"hwnd":..,"pid":..}
//   e2e_driver post MSG [WPARAM [LPARAM]]   MSG is a number or "TaskbarCreated"
//   e2e_driver menu                         the open popup menu, an object per item
//   e2e_driver tips                         every tooltip window of the desktop
//   e2e_driver getclip | setclip TEXT
//   e2e_driver ping COUNT                   WM_NULL round trips to the window, in ms
//   e2e_driver forget-icon                  the shell drops Noctara's tray icon
//   e2e_driver launch EXE                   starts EXE, times it until its window exists
// Before the command, "--class NAME" looks for another program's hidden
// window (the footprint benchmark's baseline) instead of Noctara's.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring windowClass = L"NoctaraTrayHiddenWindowClass";

std::string Utf8(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

std::wstring Wide(const char* text)
{
    const int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring out(static_cast<size_t>(size > 0 ? size - 1 : 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), size);
    return out;
}

std::string Json(const std::wstring& text)
{
    std::string out = "\"";
    for (const char c : Utf8(text)) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

void PrintLine(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string RectJson(const RECT& r)
{
    char text[96];
    std::snprintf(text, sizeof(text), "[%ld,%ld,%ld,%ld]", r.left, r.top, r.right, r.bottom);
    return text;
}

HWND NoctaraWindow()
{
    return FindWindowW(windowClass.c_str(), nullptr);
}

int CmdWindow()
{
    HWND window = NoctaraWindow();
    if (window == nullptr) {
        return 1;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    char line[96];
    std::snprintf(line, sizeof(line), "{\"hwnd\":%llu,\"pid\":%lu}",
                  static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)), pid);
    PrintLine(line);
    return 0;
}

UINT ParseMessage(const char* text)
{
    if (std::string(text) == "TaskbarCreated") {
        return RegisterWindowMessageW(L"TaskbarCreated");
    }
    return static_cast<UINT>(std::strtoul(text, nullptr, 0));
}

int CmdPost(int argc, char** argv)
{
    HWND window = NoctaraWindow();
    if (window == nullptr || argc < 1) {
        return 1;
    }
    const UINT message = ParseMessage(argv[0]);
    const WPARAM wParam = argc > 1 ? static_cast<WPARAM>(std::strtoull(argv[1], nullptr, 0)) : 0;
    const LPARAM lParam = argc > 2 ? static_cast<LPARAM>(std::strtoll(argv[2], nullptr, 0)) : 0;
    return PostMessageW(window, message, wParam, lParam) ? 0 : 1;
}

// Wine keeps menus per process: MN_GETHMENU from here gives a handle that
// only Noctara's process can read. So the menu probe DLL is loaded into that
// process once and asked over its pipe.
bool LoadMenuProbe(DWORD pid)
{
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dll(path, length);
    dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"e2e_menu_probe.dll";
    HANDLE process = OpenProcess(PROCESS_CREATE_THREAD | PROCESS_VM_OPERATION | PROCESS_VM_WRITE |
                                     PROCESS_QUERY_INFORMATION | SYNCHRONIZE,
                                 FALSE, pid);
    if (process == nullptr) {
        return false;
    }
    const SIZE_T bytes = (dll.size() + 1) * sizeof(wchar_t);
    void* remote = VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    bool loaded = false;
    if (remote != nullptr && WriteProcessMemory(process, remote, dll.c_str(), bytes, nullptr)) {
        // kernel32 sits at the same address in every process of the session.
        auto* loadLibrary = reinterpret_cast<LPTHREAD_START_ROUTINE>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW")));
        HANDLE thread = CreateRemoteThread(process, nullptr, 0, loadLibrary, remote, 0, nullptr);
        if (thread != nullptr) {
            DWORD module = 0;
            loaded = WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0 && GetExitCodeThread(thread, &module) &&
                     module != 0;
            CloseHandle(thread);
        }
    }
    CloseHandle(process);
    return loaded;
}

int CmdMenu()
{
    HWND window = NoctaraWindow();
    if (window == nullptr) {
        return 1;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    const std::wstring pipe = L"\\\\.\\pipe\\noctara-e2e-menu-" + std::to_wstring(pid);
    if (!WaitNamedPipeW(pipe.c_str(), 0) && GetLastError() == ERROR_FILE_NOT_FOUND) {
        if (!LoadMenuProbe(pid)) {
            std::fputs("e2e_driver: could not load the menu probe\n", stderr);
            return 2;
        }
    }
    std::string reply;
    static char buffer[65536];
    for (int attempt = 0; attempt < 100; ++attempt) {
        char request[] = "menu";
        DWORD got = 0;
        if (CallNamedPipeW(pipe.c_str(), request, sizeof(request), buffer, sizeof(buffer), &got, 2000)) {
            reply.assign(buffer, got);
            break;
        }
        Sleep(50);  // the probe is starting or between two requests
    }
    if (reply.empty() || reply[0] != '{') {
        return 1;  // no menu open
    }
    std::fputs(reply.c_str(), stdout);
    std::fflush(stdout);
    return 0;
}

int CmdTips()
{
    std::vector<HWND> tips;
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            wchar_t className[64] = {};
            GetClassNameW(window, className, ARRAYSIZE(className));
            if (std::wstring(className) == L"tooltips_class32") {
                reinterpret_cast<std::vector<HWND>*>(context)->push_back(window);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&tips));
    for (HWND tip : tips) {
        wchar_t text[512] = {};
        DWORD_PTR copied = 0;
        SendMessageTimeoutW(tip, WM_GETTEXT, ARRAYSIZE(text), reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                            2000, &copied);
        RECT rect{};
        GetWindowRect(tip, &rect);
        PrintLine(std::string("{\"visible\":") + (IsWindowVisible(tip) ? "true" : "false") +
                  ",\"rect\":" + RectJson(rect) + ",\"text\":" + Json(text) + "}");
    }
    return 0;
}

// Wine lets two OpenClipboard(NULL) callers in at once: own a window.
HWND ClipboardOwner()
{
    return CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
}

bool OpenClipboardPatiently(HWND owner)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (OpenClipboard(owner)) {
            return true;
        }
        Sleep(20);
    }
    return false;
}

int CmdGetClip()
{
    HWND owner = ClipboardOwner();
    if (!OpenClipboardPatiently(owner)) {
        return 2;
    }
    std::wstring text;
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
        if (const auto* units = static_cast<const wchar_t*>(GlobalLock(data))) {
            text = units;
            GlobalUnlock(data);
        }
    }
    CloseClipboard();
    PrintLine("{\"text\":" + Json(text) + "}");
    return 0;
}

int CmdSetClip(const char* utf8)
{
    const std::wstring text = Wide(utf8);
    HWND owner = ClipboardOwner();
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
    auto* units = static_cast<wchar_t*>(GlobalLock(block));
    std::copy(text.begin(), text.end(), units);
    units[text.size()] = L'\0';
    GlobalUnlock(block);
    if (!OpenClipboardPatiently(owner)) {
        return 2;
    }
    EmptyClipboard();
    const bool placed = SetClipboardData(CF_UNICODETEXT, block) != nullptr;
    CloseClipboard();
    // The clipboard's X side is served by the owner; stay a moment so the
    // text is taken over before this process ends.
    Sleep(200);
    return placed ? 0 : 1;
}

int CmdPing(int count)
{
    HWND window = NoctaraWindow();
    if (window == nullptr) {
        return 1;
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        LARGE_INTEGER start;
        LARGE_INTEGER end;
        DWORD_PTR result = 0;
        QueryPerformanceCounter(&start);
        const LRESULT answered = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result);
        QueryPerformanceCounter(&end);
        if (answered == 0) {
            times.push_back(5000.0);
        } else {
            times.push_back(1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) /
                            static_cast<double>(frequency.QuadPart));
        }
        Sleep(20);
    }
    std::sort(times.begin(), times.end());
    char line[160];
    std::snprintf(line, sizeof(line), "{\"count\":%d,\"median_ms\":%.3f,\"max_ms\":%.3f}", count,
                  times[times.size() / 2], times.back());
    PrintLine(line);
    return 0;
}

// What a restarted shell has lost: Wine 8 cannot restart the shell of a
// virtual desktop while programs remain on it, so the icon is removed on the
// shell's side instead, before the shell's "TaskbarCreated" is posted.
int CmdForgetIcon()
{
    HWND window = NoctaraWindow();
    if (window == nullptr) {
        return 1;
    }
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data);
    data.hWnd = window;
    data.uID = 1;
    return Shell_NotifyIconW(NIM_DELETE, &data) ? 0 : 1;
}

int CmdLaunch(const char* exe)
{
    std::wstring commandLine = L"\"" + Wide(exe) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return 1;
    }
    HWND window = nullptr;
    for (int i = 0; i < 30000 && window == nullptr; ++i) {
        window = NoctaraWindow();
        if (window == nullptr) {
            Sleep(1);
        }
    }
    QueryPerformanceCounter(&now);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (window == nullptr) {
        return 1;
    }
    char line[96];
    std::snprintf(line, sizeof(line), "{\"pid\":%lu,\"ms\":%.3f}", process.dwProcessId,
                  1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
    PrintLine(line);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs("usage: e2e_driver COMMAND [ARGS]\n", stderr);
        return 2;
    }
    if (std::string(argv[1]) == "--class" && argc > 3) {
        windowClass = Wide(argv[2]);
        argc -= 2;
        argv += 2;
    }
    const std::string command = argv[1];
    if (command == "window") {
        return CmdWindow();
    }
    if (command == "post") {
        return CmdPost(argc - 2, argv + 2);
    }
    if (command == "menu") {
        return CmdMenu();
    }
    if (command == "tips") {
        return CmdTips();
    }
    if (command == "getclip") {
        return CmdGetClip();
    }
    if (command == "setclip" && argc > 2) {
        return CmdSetClip(argv[2]);
    }
    if (command == "ping") {
        return CmdPing(argc > 2 ? std::atoi(argv[2]) : 20);
    }
    if (command == "launch" && argc > 2) {
        return CmdLaunch(argv[2]);
    }
    if (command == "forget-icon") {
        return CmdForgetIcon();
    }
    std::fprintf(stderr, "e2e_driver: unknown command %s\n", command.c_str());
    return 2;
}
