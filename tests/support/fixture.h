// The window in-process, a message pump, the test service, and what tests read back as other programs do.
#pragma once

#include "app/app_state.h"

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace fixture {

inline constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
// Task Manager's startup switches for the Run values.
inline constexpr wchar_t kApprovedRunKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";

HWND ProgramWindow();
// An icon event as interface version 4 sends it.
void Tray(HWND window, WORD event);
// The program's window procedure on a window of the test's own class, with two stock icons; the start-up timer
// killed, so no check starts.
HWND CreateHiddenWindow();
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 20000);
// Text units as they are, a NUL shown as ␀.
std::wstring Units(const wchar_t* units, size_t count);

// A record the shell got, by the fields the program varies; Read checks the others. A text without a NUL in its
// field is "<unterminated>"; the balloon's fields are read only with NIF_INFO.
struct Shown {
    UINT version = 0;
    UINT flags = 0;
    std::wstring icon;  // "active", "paused" or "other"
    std::wstring tip;
    std::wstring title;
    std::wstring text;
    DWORD infoFlags = 0;
    bool operator==(const Shown&) const = default;
};
void PrintTo(const Shown& shown, std::ostream* out);
Shown Read(const NOTIFYICONDATAW& data);
// Every record since the seam's list was last cleared, then clears it.
std::vector<Shown> Records();
// The last record with NIF_INFO; all empty if none.
Shown LastBalloon();

// A registry value as stored under HKCU.
struct Value {
    std::wstring name;
    DWORD type = 0;
    std::vector<BYTE> data;
    bool operator==(const Value&) const = default;
};
void PrintTo(const Value& value, std::ostream* out);
// A REG_SZ value, its terminator included.
Value Sz(const std::wstring& name, const std::wstring& text);
std::vector<Value> Values(const wchar_t* key);
bool KeyExists(const wchar_t* key);
// Sets the key's access rules (SDDL), making the key if it is missing.
void SetKeyAccess(const wchar_t* key, const wchar_t* rules);

// A message-only window standing for another program.
HWND OtherWindow();

// The clipboard as another program sees it.
struct Clipboard {
    std::wstring owner;  // "ours" (the program's window), "other" or "none"
    std::vector<UINT> formats;
};
Clipboard ReadClipboard();

// The service's answer from now on: status, "whole", "short", "unsized" or "stall", body.
bool SetAnswer(int status, const std::string& how, const std::string& body);
std::string Offer(const std::string& version, const std::string& url);
// The service's requests since its answer was set.
std::wstring ServiceLog();

}  // namespace fixture
