// Hands and eyes inside Wine for the footprint benchmark and the screenshots,
// one command a run; exit 1 when the window is absent or the command fails.
//   probe CLASS window                   {"hwnd":...,"pid":...} of a window of CLASS
//   probe CLASS launch EXE               starts EXE: {"pid":...,"ms":...} until a window of CLASS exists
//   probe CLASS post MSG [WPARAM [LPARAM]]
//   probe CLASS ping COUNT               {"max_ms":...}, the slowest WM_NULL round trip
//   probe CLASS visible                  the text of each visible window of CLASS, a line each
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr double kLaunchTimeoutMs = 30000;
constexpr UINT kPingTimeoutMs = 5000;

double NowMs()
{
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration<double, std::milli>(now).count();
}

ULONG_PTR Number(int argc, char** argv, int index)
{
    return index < argc ? std::strtoull(argv[index], nullptr, 0) : 0;
}

int Window(const char* windowClass)
{
    HWND window = FindWindowA(windowClass, nullptr);
    DWORD pid = 0;
    if (window == nullptr || GetWindowThreadProcessId(window, &pid) == 0) {
        return 1;
    }
    std::printf("{\"hwnd\":%llu,\"pid\":%lu}\n", static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)),
                pid);
    return 0;
}

// Timed from just before CreateProcess, so the figure holds the loader and
// everything the program does before its window, and none of the probe's start.
int Launch(const char* windowClass, const char* exe)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    std::string commandLine = std::string("\"") + exe + "\"";
    const double start = NowMs();
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return 1;
    }
    while (FindWindowA(windowClass, nullptr) == nullptr) {
        if (NowMs() - start > kLaunchTimeoutMs) {
            return 1;
        }
        Sleep(1);
    }
    const double elapsed = NowMs() - start;
    std::printf("{\"pid\":%lu,\"ms\":%.1f}\n", process.dwProcessId, elapsed);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

int Ping(HWND window, int count)
{
    double slowest = 0;
    for (int i = 0; i < count; ++i) {
        DWORD_PTR result = 0;
        const double sent = NowMs();
        double took = kPingTimeoutMs;
        if (SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, kPingTimeoutMs, &result) != 0) {
            took = NowMs() - sent;
        }
        if (took > slowest) {
            slowest = took;
        }
        Sleep(20);
    }
    std::printf("{\"max_ms\":%.2f}\n", slowest);
    return 0;
}

// Balloons and tooltips belong to the shell, menus to their program: their
// texts come across with WM_GETTEXT, as UTF-8 (printf would lose the accents).
int Visible(const char* windowClass)
{
    int shown = 0;
    HWND window = nullptr;
    while ((window = FindWindowExA(nullptr, window, windowClass, nullptr)) != nullptr) {
        if (!IsWindowVisible(window)) {
            continue;
        }
        wchar_t text[512] = {};
        DWORD_PTR result = 0;
        SendMessageTimeoutW(window, WM_GETTEXT, ARRAYSIZE(text), reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000,
                            &result);
        char utf8[1536] = {};
        WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), nullptr, nullptr);
        std::printf("%s\n", utf8);
        ++shown;
    }
    return shown > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: probe CLASS window|launch EXE|post MSG [WPARAM [LPARAM]]|ping COUNT|visible\n");
        return 2;
    }
    const char* windowClass = argv[1];
    const std::string command = argv[2];
    if (command == "window") {
        return Window(windowClass);
    }
    if (command == "launch" && argc > 3) {
        return Launch(windowClass, argv[3]);
    }
    if (command == "visible") {
        return Visible(windowClass);
    }
    HWND window = FindWindowA(windowClass, nullptr);
    if (window == nullptr) {
        return 1;
    }
    if (command == "post" && argc > 3) {
        const auto message = static_cast<UINT>(Number(argc, argv, 3));
        return PostMessageW(window, message, Number(argc, argv, 4), static_cast<LPARAM>(Number(argc, argv, 5))) ? 0 : 1;
    }
    if (command == "ping" && argc > 3) {
        return Ping(window, std::atoi(argv[3]));
    }
    return 2;
}
