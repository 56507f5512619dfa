// The notification-area icon, its tooltip and its balloons, all through the
// one record AppState::trayData.
#pragma once

#include "app/app_state.h"

#include <string>

inline constexpr UINT kTrayFlagsAtRest = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;  // 0x87
inline constexpr UINT kTrayFlagsBalloon = kTrayFlagsAtRest | NIF_INFO;                    // 0x97

// Adds the icon, or adopts it when the shell has it already; either way the
// record is then at version 4 and shows the current state.
bool AddTrayIcon(HWND window);
void RefreshTray();
void ShowBalloon(const std::wstring& title, const std::wstring& text, DWORD infoFlags, BalloonKind kind);

// A refused NIM_ADD is tried again from a timer, a bounded number of times,
// so the icon does not stay away until the next Explorer restart.
void ScheduleTrayIconRetry(HWND window);
void RetryTrayIcon(HWND window);
// Ends a pending retry: the icon is there, and another NIM_ADD would reset
// the record and fail.
void CancelTrayIconRetry(HWND window);

// Copies as much of `text` as fits into a fixed field, always terminated.
void CopyTruncated(wchar_t* field, size_t capacity, const std::wstring& text);
