// Start with Windows (one value under the user's Run key, unless Task Manager's
// startup switch turned it off) and the path of the running executable.
#pragma once

#include "app/app_state.h"

#include <string>

inline constexpr wchar_t kRunKeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
// Task Manager's Startup tab and Settings > Apps > Startup record their switch
// here, in a value named as the Run value, and leave the Run value alone.
inline constexpr wchar_t kStartupApprovedKeyPath[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";

// On when the Run value is, and the startup switch does not mark it disabled.
bool IsAutostartEnabled();
// True only when the value was really written or removed. Turning it on also
// clears the startup switch: false when a switch value is there and stays.
bool SetAutostart(bool enable);
// The full path of this executable, whatever its length; empty on failure.
std::wstring GetExecutablePath();
