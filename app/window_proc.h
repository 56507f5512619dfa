// The hidden window's procedure: every tray event, menu command, timer tick
// and background result becomes an action here, on the UI thread.
#pragma once

#include "app/app_state.h"

#include <string>

LRESULT CALLBACK TrayWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Puts `text` on the clipboard as Unicode text; false when nothing was placed.
bool CopyTextToClipboard(HWND window, const std::wstring& text);
