#include "tests/support/fixture.h"

#include "app/window_proc.h"
#include "tests/support/seams.h"
#include "update/request_client.h"
#include "update/service_config.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>

namespace fixture {

HWND CreateHiddenWindow()
{
    AppState::iconActive = LoadIconW(nullptr, IDI_APPLICATION);
    AppState::iconPaused = LoadIconW(nullptr, IDI_WARNING);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = TrayWindowProc;
    windowClass.lpszClassName = L"NoctaraTestWindow";
    RegisterClassExW(&windowClass);
    AppState::mainWindow = CreateWindowExW(0, windowClass.lpszClassName, L"Noctara", WS_OVERLAPPEDWINDOW, 0, 0, 0, 0,
                                           nullptr, nullptr, nullptr, nullptr);
    KillTimer(AppState::mainWindow, 1);
    return AppState::mainWindow;
}

HWND ProgramWindow()
{
    return FindWindowW(L"NoctaraTrayHiddenWindowClass", L"Noctara");
}

void Tray(HWND window, WORD event)
{
    SendMessageW(window, WM_APP + 1, 0, MAKELPARAM(event, 1));
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!done()) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    }
    return true;
}

std::wstring Units(const wchar_t* units, size_t count)
{
    std::wstring text(units, count);
    std::replace(text.begin(), text.end(), L'\0', L'\x2400');
    return text;
}

// Up to the first NUL, which must be inside the field.
template <size_t N>
static std::wstring Field(const wchar_t (&field)[N])
{
    const size_t length = wcsnlen(field, N);
    return length < N ? std::wstring(field, length) : L"<unterminated>";
}

void PrintTo(const Shown& shown, std::ostream* out)
{
    *out << "version " << shown.version << ", flags 0x" << std::hex << shown.flags << std::dec << ", icon "
         << testing::PrintToString(shown.icon) << ", tip " << testing::PrintToString(shown.tip) << ", title "
         << testing::PrintToString(shown.title) << ", text " << testing::PrintToString(shown.text) << ", info flags "
         << shown.infoFlags;
}

Shown Read(const NOTIFYICONDATAW& data)
{
    EXPECT_EQ(data.cbSize, 976u) << "the 64-bit record's size";
    EXPECT_EQ(data.hWnd, AppState::mainWindow) << "the program's window";
    EXPECT_EQ(data.uID, 1u) << "icon id";
    EXPECT_EQ(data.uCallbackMessage, 0x8001u) << "WM_APP + 1";
    EXPECT_EQ(data.dwState | data.dwStateMask, 0u) << "no state";
    EXPECT_EQ(data.guidItem, GUID{}) << "no GUID";
    EXPECT_EQ(data.hBalloonIcon, nullptr) << "no balloon icon";
    Shown shown{data.uVersion, data.uFlags, L"other", Field(data.szTip)};
    if (data.hIcon == AppState::iconActive) {
        shown.icon = L"active";
    }
    if (data.hIcon == AppState::iconPaused) {
        shown.icon = L"paused";
    }
    if ((data.uFlags & NIF_INFO) != 0) {
        shown.title = Field(data.szInfoTitle);
        shown.text = Field(data.szInfo);
        shown.infoFlags = data.dwInfoFlags;
    }
    return shown;
}

std::vector<Shown> Records()
{
    std::vector<Shown> records;
    for (const seams::Notification& call : seams::notifications) {
        records.push_back(Read(call.data));
    }
    seams::notifications.clear();
    return records;
}

Shown LastBalloon()
{
    for (auto call = seams::notifications.rbegin(); call != seams::notifications.rend(); ++call) {
        if ((call->data.uFlags & NIF_INFO) != 0) {
            return Read(call->data);
        }
    }
    return Shown{};
}

void PrintTo(const Value& value, std::ostream* out)
{
    *out << testing::PrintToString(value.name) << ", type " << value.type << ", " << value.data.size() << " bytes:";
    if (value.type == REG_SZ) {
        const auto* units = reinterpret_cast<const wchar_t*>(value.data.data());
        *out << " " << testing::PrintToString(Units(units, value.data.size() / sizeof(wchar_t)));
        return;
    }
    for (const BYTE byte : value.data) {
        *out << " " << std::hex << int{byte} << std::dec;
    }
}

Value Sz(const std::wstring& name, const std::wstring& text)
{
    const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return Value{name, REG_SZ, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t))};
}

std::vector<Value> Values(const wchar_t* key)
{
    std::vector<Value> values;
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &opened) != ERROR_SUCCESS) {
        return values;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256] = {};
        DWORD nameLength = ARRAYSIZE(name);
        DWORD type = 0;
        BYTE data[8192] = {};
        DWORD bytes = sizeof(data);
        if (RegEnumValueW(opened, i, name, &nameLength, nullptr, &type, data, &bytes) != ERROR_SUCCESS) {
            break;
        }
        values.push_back(Value{name, type, std::vector<BYTE>(data, data + bytes)});
    }
    RegCloseKey(opened);
    return values;
}

bool KeyExists(const wchar_t* key)
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &opened) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(opened);
    return true;
}

void SetKeyAccess(const wchar_t* key, const wchar_t* rules)
{
    HKEY opened = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, WRITE_DAC, nullptr, &opened, nullptr);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(rules, SDDL_REVISION_1, &descriptor, nullptr);
    EXPECT_EQ(RegSetKeySecurity(opened, DACL_SECURITY_INFORMATION, descriptor), ERROR_SUCCESS) << rules;
    LocalFree(descriptor);
    RegCloseKey(opened);
}

HWND OtherWindow()
{
    static const HWND other = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, 0, 0, 0);
    return other;
}

Clipboard ReadClipboard()
{
    const HWND owner = GetClipboardOwner();
    Clipboard clipboard{owner == nullptr ? L"none" : owner == AppState::mainWindow ? L"ours" : L"other"};
    // With a window: Wine lets two windowless openers in at once.
    EXPECT_TRUE(OpenClipboard(OtherWindow())) << "the clipboard is still held";
    for (UINT format = EnumClipboardFormats(0); format != 0; format = EnumClipboardFormats(format)) {
        clipboard.formats.push_back(format);
    }
    CloseClipboard();
    return clipboard;
}

bool SetAnswer(int status, const std::string& how, const std::string& body)
{
    // One character per byte: the service reads them back as Latin-1.
    std::wstring text = std::to_wstring(status) + L" " + std::wstring(how.begin(), how.end()) + L" ";
    for (const unsigned char byte : body) {
        text += static_cast<wchar_t>(byte);
    }
    std::wstring reply;
    return SendJsonRequest(L"https://" NOCTARA_UPDATE_AUTHORITY L"/answer", text, reply) && reply == L"ok";
}

std::string Offer(const std::string& version, const std::string& url)
{
    return R"({"latest_version":")" + version + R"(","download_url":")" + url + R"("})";
}

std::wstring ServiceLog()
{
    std::wstring log;
    SendJsonRequest(L"https://" NOCTARA_UPDATE_AUTHORITY L"/log", L"", log);
    return log;
}

}  // namespace fixture
