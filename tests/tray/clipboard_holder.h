// The handshake between the clipboard tests and clipboard_holder.exe.
#pragma once

inline constexpr wchar_t kClipboardHeldEvent[] = L"Local\\NoctaraTestClipboardHeld";
inline constexpr wchar_t kClipboardReleaseEvent[] = L"Local\\NoctaraTestClipboardRelease";
