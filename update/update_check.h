// The once-per-run question to the update service, asked on its own thread,
// and the offer of a newer version on the UI thread.
#pragma once

#include "app/app_state.h"

#include <string>

inline constexpr wchar_t kUpdateBalloonText[] = L"Nova versão disponível! Clique para baixar.";

// The service's texts are bounded: a longer version is not a version, and a
// longer address is no address the shell takes (nor one it handles safely).
inline constexpr size_t kMaxVersionLength = 64;
inline constexpr size_t kMaxDownloadUrlLength = 2048;

// Blocking; check thread only. True when the service names a version other
// than ours, of at most kMaxVersionLength characters and none of them a
// control character, and an address that IsOpenableDownloadUrl takes;
// `latestVersion` and `downloadUrl` are cleared at entry.
bool CheckForUpdate(std::wstring& latestVersion, std::wstring& downloadUrl);

// Thread routine: checks once, stores AppState::checkResult, raises
// AppState::checkResultReady and posts kCheckResultMessage to the main
// window, whatever the outcome.
DWORD WINAPI CheckThreadProc(LPVOID unused);

// UI thread: records a newer version and shows the balloon the result asks for.
void ApplyCheckResult();

// The download address comes from the network: only an absolute https
// address of at most kMaxDownloadUrlLength characters is handed to the shell.
bool IsOpenableDownloadUrl(const std::wstring& url);

// Opens AppState::downloadUrl with the shell when it passes the test above.
void OpenDownloadUrl();
