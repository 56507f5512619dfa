// Loaded into Noctara's process by e2e_driver: Wine keeps menus per process,
// so the open popup menu can only be read from inside its owner. Serves one
// request at a time on a named pipe: the reply lists the open menu's items
// (text, id, state, screen rectangle), one JSON object a line, or "none".
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string Utf8(const wchar_t* text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size > 0 ? size - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    return out;
}

std::string Json(const wchar_t* text)
{
    std::string out = "\"";
    for (const char c : Utf8(text)) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += (static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
    }
    return out + "\"";
}

std::string RectJson(const RECT& r)
{
    char text[96];
    std::snprintf(text, sizeof(text), "[%ld,%ld,%ld,%ld]", r.left, r.top, r.right, r.bottom);
    return text;
}

HWND OpenMenuWindow()
{
    HWND found = nullptr;
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            wchar_t className[32] = {};
            GetClassNameW(window, className, ARRAYSIZE(className));
            DWORD pid = 0;
            GetWindowThreadProcessId(window, &pid);
            if (std::wstring(className) == L"#32768" && IsWindowVisible(window) && pid == GetCurrentProcessId()) {
                *reinterpret_cast<HWND*>(context) = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

std::string DescribeOpenMenu()
{
    HWND menuWindow = OpenMenuWindow();
    if (menuWindow == nullptr) {
        return {};
    }
    constexpr UINT kGetMenuHandle = 0x01E1;  // MN_GETHMENU
    HMENU menu = reinterpret_cast<HMENU>(SendMessageW(menuWindow, kGetMenuHandle, 0, 0));
    const int count = menu != nullptr ? GetMenuItemCount(menu) : -1;
    RECT windowRect{};
    GetWindowRect(menuWindow, &windowRect);
    std::string reply = "{\"window\":" + RectJson(windowRect) + ",\"count\":" + std::to_string(count) + "}\n";
    for (int i = 0; i < count; ++i) {
        wchar_t text[256] = {};
        MENUITEMINFOW info{};
        info.cbSize = sizeof(info);
        info.fMask = MIIM_ID | MIIM_STATE | MIIM_FTYPE | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = ARRAYSIZE(text);
        if (!GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info)) {
            return {};
        }
        RECT itemRect{};
        if (!GetMenuItemRect(nullptr, menu, static_cast<UINT>(i), &itemRect)) {
            GetMenuItemRect(menuWindow, menu, static_cast<UINT>(i), &itemRect);
        }
        reply += "{\"index\":" + std::to_string(i) + ",\"id\":" + std::to_string(info.wID) +
                 ",\"text\":" + Json(text) + ",\"separator\":" + ((info.fType & MFT_SEPARATOR) ? "true" : "false") +
                 ",\"checked\":" + ((info.fState & MFS_CHECKED) ? "true" : "false") +
                 ",\"grayed\":" + ((info.fState & MFS_GRAYED) ? "true" : "false") + ",\"rect\":" + RectJson(itemRect) +
                 "}\n";
    }
    return reply;
}

DWORD WINAPI Serve(void*)
{
    wchar_t name[64];
    std::swprintf(name, 64, L"\\\\.\\pipe\\noctara-e2e-menu-%lu", GetCurrentProcessId());
    for (;;) {
        HANDLE pipe = CreateNamedPipeW(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 65536, 512, 0,
                                       nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            return 1;
        }
        if (ConnectNamedPipe(pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            char request[16];
            DWORD got = 0;
            ReadFile(pipe, request, sizeof(request), &got, nullptr);
            std::string reply = DescribeOpenMenu();
            if (reply.empty()) {
                reply = "none\n";
            }
            DWORD written = 0;
            WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr);
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
        HANDLE thread = CreateThread(nullptr, 0, Serve, nullptr, 0, nullptr);
        if (thread != nullptr) {
            CloseHandle(thread);
        }
    }
    return TRUE;
}
