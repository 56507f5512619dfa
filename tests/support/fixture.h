// The hidden window made in-process, a message pump, the test service, and
// what tests read back or send the way other programs do.
#pragma once

#include "app/app_state.h"

#include <functional>
#include <string>

namespace fixture {

inline constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
// Task Manager's startup switches for the Run values.
inline constexpr wchar_t kApprovedRunKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";

HWND ProgramWindow();
// An icon event as interface version 4 sends it.
void Tray(HWND window, WORD event);
// The program's window with two icons told apart, WM_CREATE run, the start-up timer killed.
HWND CreateHiddenWindow();
// The last balloon asked for, as "title: text (icon)"; empty if none.
std::wstring Balloon();
// Text units as they are, a NUL shown as ␀.
std::wstring Units(const wchar_t* units, size_t count);
// seams::sequence since the last call, each effect followed by "|".
std::wstring Sequence();
// A shell record as "vN 0xFLAGS ICON 'tip'", plus " TITLE: TEXT (N)" for a balloon; the fields the program never
// varies are checked here.
std::wstring Record(const NOTIFYICONDATAW& data);
// Every value under HKCU\`path` as " NAME=TYPE:DATA", strings with every unit, other data in hex; " missing"
// without the key.
std::wstring Values(const wchar_t* path);
// What other programs see: the clipboard's owner ("ours": the program's window) and formats, then the Values of
// the keys that start programs at logon.
std::wstring SharedState();
// Sets the key's access rules (SDDL), making the key if it is missing.
void SetKeyAccess(const wchar_t* path, const wchar_t* rules);
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 20000);
// The service's answer from now on: status, "whole", "short", "unsized" or "stall", body.
bool SetAnswer(int status, const std::string& how, const std::string& body);
std::string Offer(const std::string& version, const std::string& url);
// The service's requests since.
std::wstring ServiceLog();

}  // namespace fixture
