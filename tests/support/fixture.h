// The hidden window made in-process, a message pump, the test service, and
// what tests read back or send the way other programs do.
#pragma once

#include "app/app_state.h"

#include <functional>
#include <string>

namespace fixture {

// The user's Run key, where the autostart value "Noctara" lives.
inline constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

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
