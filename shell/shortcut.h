// The Start-menu shortcut that carries the program's application identity,
// so the shell attributes the process and its balloons to a named entry.
#pragma once

#include "app/app_state.h"

#include <string>

inline constexpr wchar_t kShortcutSubPath[] = L"Microsoft\\Windows\\Start Menu\\Programs\\Qorvex Labs\\";
inline constexpr wchar_t kShortcutFileName[] = L"Noctara.lnk";

// The shortcut's full path (its folder created on the way), or empty when the
// roaming application-data folder cannot be had.
std::wstring GetStartMenuShortcutPath();
// Creates every directory along `path`; only backslashes separate.
void CreateDirectoryTree(const std::wstring& path);
// Writes or rewrites the shortcut; true when it was saved.
bool CreateStartMenuShortcut();

// The shortcut folder below a given roaming folder, without touching the disk.
std::wstring ShortcutFolderBelow(const std::wstring& roamingFolder);
