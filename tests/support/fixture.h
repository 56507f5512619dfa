// The hidden window made in-process, a message pump, the test service, and
// what tests read back or send the way other programs do.
#pragma once

#include "app/app_state.h"

#include <functional>
#include <string>

namespace fixture {

// The user's Run key, where the autostart value "Noctara" lives.
inline constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
// Where Task Manager keeps its startup switch for a Run value.
inline constexpr wchar_t kApprovedRunKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";

// The program's window as other programs find it: by its class and title.
HWND ProgramWindow();
// An event of the icon, in the form version 4 of the interface delivers it.
void Tray(HWND window, WORD event);

// Created as start-up creates the program's window, with two icons told apart;
// WM_CREATE runs the real handler. The start-up timer is killed.
HWND CreateHiddenWindow();

// The last balloon the shell was asked to show, as "title: text", with the
// icon when it is not the information one; empty if none.
std::wstring Balloon();

// Text units as they are, a NUL shown as ␀.
std::wstring Units(const wchar_t* units, size_t count);
// The effects recorded at the seams since the last call, each followed by "|".
std::wstring Sequence();
// A record the shell was given as "vN 0xFLAGS ICON 'tip'", plus " TITLE: TEXT (N)" for a balloon. The fields
// the program never varies (size, window, id, callback, state, item, balloon icon) are checked here.
std::wstring Record(const NOTIFYICONDATAW& data);
// All that other programs see: the clipboard's owner ("ours" is the program's window) and every format on it,
// then every value under the keys that start programs at logon, strings with every unit.
std::wstring SharedState();

// Dispatches this thread's messages until `done` or the deadline.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 20000);

// The service's answer from now on: status, "whole", "short", "unsized" or "stall", body.
bool SetAnswer(int status, const std::string& how, const std::string& body);
std::string Offer(const std::string& version, const std::string& url);
// The autostart value read raw: "type T, N bytes: " and every unit stored,
// the terminating NUL too; "-" when there is none.
std::wstring RunValue();
// The requests the service received since.
std::wstring ServiceLog();

}  // namespace fixture
