// Start with Windows (one value under the user's Run key) and the path of the
// running executable.
#pragma once

#include "app/app_state.h"

#include <string>

inline constexpr wchar_t kRunKeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

bool IsAutostartEnabled();
// True only when the value was really written or removed.
bool SetAutostart(bool enable);
// The full path of this executable, whatever its length; empty on failure.
std::wstring GetExecutablePath();
