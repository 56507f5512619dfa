// The journeys' hands and eyes inside Wine, one command a run: [--class NAME] tips | clip | window | launch EXE
// | post MSG|TaskbarCreated [WPARAM] | forget-icon | ping COUNT | menu. JSON lines out; exit 1 when absent.
#include <windows.h>
#include <shellapi.h>

#include <chrono>
#include <cstdio>
#include <string>

static std::string Json(const wchar_t* text)
{
    std::string utf8(WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr), '\0'), out = "\"";
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), static_cast<int>(utf8.size()), nullptr, nullptr);
    for (const char c : utf8.substr(0, utf8.size() - 1))
        out += c == '"' || c == '\\' ? std::string{'\\', c} : std::string(1, (c & 0xE0) == 0 ? ' ' : c);
    return out + "\"";
}

#ifdef E2E_MENU_PROBE
// Wine keeps menus per process: loaded into Noctara, this writes its open menu to a file and declines to stay.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    std::string out;
    for (HWND window = nullptr; reason == DLL_PROCESS_ATTACH && (window = FindWindowExW(nullptr, window, L"#32768", nullptr));) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        HMENU menu = reinterpret_cast<HMENU>(SendMessageW(window, 0x01E1, 0, 0));  // MN_GETHMENU
        for (int i = 0; pid == GetCurrentProcessId() && IsWindowVisible(window) && i < GetMenuItemCount(menu); ++i) {
            wchar_t text[256] = {};
            RECT r{};
            GetMenuStringW(menu, i, text, 256, MF_BYPOSITION);
            if (!GetMenuItemRect(nullptr, menu, i, &r) && !GetMenuItemRect(window, menu, i, &r)) {
                out.clear();  // not laid out yet
                break;
            }
            char line[128];
            std::snprintf(line, sizeof(line), "{\"checked\":%d,\"rect\":[%ld,%ld,%ld,%ld],\"text\":",
                          (GetMenuState(menu, i, MF_BYPOSITION) & MF_CHECKED) != 0, r.left, r.top, r.right, r.bottom);
            out += line + Json(text) + "}\n";
        }
    }
    if (FILE* file = reason == DLL_PROCESS_ATTACH ? std::fopen("C:\\e2e-menu.txt", "wb") : nullptr)
        std::fputs(out.c_str(), file), std::fclose(file);
    return reason != DLL_PROCESS_ATTACH;
}
#else
int main(int argc, char** argv)
{
    const bool other = argc > 3 && std::string(argv[1]) == "--class";  // the footprint benchmark's baseline
    const std::string windowClass = other ? argv[2] : "NoctaraTrayHiddenWindowClass", command = argc > 1 ? argv[1 + 2 * other] : "";
    const std::string arg = argc > 2 + 2 * other ? argv[2 + 2 * other] : "", arg2 = argc > 3 + 2 * other ? argv[3 + 2 * other] : "0";
    auto now = [] { return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count(); };
    wchar_t text[512] = {};
    DWORD_PTR result = 0;
    for (HWND tip = nullptr; command == "tips" && (tip = FindWindowExW(nullptr, tip, L"tooltips_class32", nullptr));)
        if (IsWindowVisible(tip) && SendMessageTimeoutW(tip, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, &result))
            std::printf("{\"text\":%s}\n", Json(text).c_str());
    if (command == "clip") {  // Wine lets two OpenClipboard(NULL) callers in at once: own a window
        HWND owner = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        for (int i = 0; i < 50 && !OpenClipboard(owner); ++i)
            Sleep(20);
        HANDLE data = GetClipboardData(CF_UNICODETEXT);
        const auto* clip = data != nullptr ? static_cast<const wchar_t*>(GlobalLock(data)) : nullptr;
        std::printf("{\"text\":%s}\n", Json(clip != nullptr ? clip : L"").c_str());
        return CloseClipboard() ? 0 : 1;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    const double start = now();
    std::string line = "\"" + arg + "\"";
    if (command == "tips" || (command == "launch" && !CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)))
        return command == "tips" ? 0 : 1;
    HWND window = FindWindowA(windowClass.c_str(), nullptr);
    while (command == "launch" && window == nullptr && now() - start < 30000)  // times EXE until its window exists
        Sleep(1), window = FindWindowA(windowClass.c_str(), nullptr);
    DWORD pid = 0;
    if (!GetWindowThreadProcessId(window, &pid))
        return 1;
    if (command == "window" || command == "launch")
        return std::printf("{\"hwnd\":%llu,\"pid\":%lu,\"ms\":%.3f}\n", reinterpret_cast<unsigned long long>(window), pid, now() - start), 0;
    if (command == "post")
        return !PostMessageW(window, arg == "TaskbarCreated" ? RegisterWindowMessageW(L"TaskbarCreated") : std::stoul(arg, nullptr, 0), std::stoull(arg2, nullptr, 0), 0);
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof(data), data.hWnd = window, data.uID = 1;
    if (command == "forget-icon")  // what a restarted shell has lost
        return !Shell_NotifyIconW(NIM_DELETE, &data);
    double slowest = 0;
    for (int i = 0; command == "ping" && i < std::stoi(arg); ++i, Sleep(20)) {  // the slowest WM_NULL round trip
        const double sent = now();
        const double took = SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result) ? now() - sent : 5000.0;
        slowest = took > slowest ? took : slowest;
    }
    if (command == "ping")
        return std::printf("{\"max_ms\":%.3f}\n", slowest), 0;
    // menu: LoadLibraryA of the probe as a thread of Noctara's; kernel32 sits at one address in every process.
    char exe[MAX_PATH];
    std::string dll(exe, GetModuleFileNameA(nullptr, exe, MAX_PATH));
    dll = dll.substr(0, dll.find_last_of("\\/") + 1) + "e2e_menu_probe.dll";
    HANDLE target = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    void* remote = VirtualAllocEx(target, nullptr, dll.size() + 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    auto load = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "LoadLibraryA")));
    HANDLE thread = command == "menu" && WriteProcessMemory(target, remote, dll.c_str(), dll.size() + 1, nullptr)
                        ? CreateRemoteThread(target, nullptr, 0, load, remote, 0, nullptr)
                        : nullptr;
    return thread != nullptr && WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0 ? 0 : 2;
}
#endif
