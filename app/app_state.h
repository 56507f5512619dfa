// The one process-wide state record and the constants every subsystem shares.
#pragma once

#include "app/version.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cstdint>
#include <string>

inline constexpr wchar_t kAppName[] = L"Noctara";
inline constexpr wchar_t kAppVersion[] = NOCTARA_VERSION;
inline constexpr wchar_t kAppUserModelId[] = L"Qorvex.NoctaraTray";
inline constexpr wchar_t kSingleInstanceMutexName[] = L"Local\\NoctaraTray_SingleInstance";
inline constexpr wchar_t kWindowClassName[] = L"NoctaraTrayHiddenWindowClass";

inline constexpr UINT kTrayCallbackMessage = WM_APP + 1;
inline constexpr UINT kCheckResultMessage = WM_APP + 2;
inline constexpr UINT kTrayIconId = 1;
inline constexpr UINT_PTR kStartupTimerId = 1;
inline constexpr UINT kStartupTimerMs = 600;
// Brings the icon back when the shell refused it (for instance at logon,
// before the notification area exists).
inline constexpr UINT_PTR kTrayRetryTimerId = 2;
inline constexpr UINT kTrayRetryTimerMs = 2000;
inline constexpr int kTrayRetryLimit = 30;

inline constexpr int kIconActiveId = 101;
inline constexpr int kIconPausedId = 102;

enum Command : WORD {
    CmdToggleActive = 40001,
    CmdToggleAutostart = 40002,
    CmdCopyExePath = 40005,
    CmdExit = 40006,
    CmdDownloadUpdate = 40010,
};

enum class BalloonKind : std::uint32_t { Plain = 0, Update = 2 };

struct CheckResult {
    bool showBalloon = false;
    std::wstring balloonText;
    std::uint32_t balloonInfoFlags = NIIF_INFO;
    BalloonKind balloonKind = BalloonKind::Plain;
    bool updateAvailable = false;
    std::wstring downloadUrl;
    std::wstring latestVersion;
};

namespace AppState {
extern const UINT taskbarCreatedMessage;
extern HICON iconActive;
extern HICON iconPaused;
extern HWND mainWindow;

extern bool active;
// Set once the user pauses or resumes: the start-up check's result then
// leaves keeping awake as the user chose it.
extern bool activityChosen;
extern std::atomic<bool> workerRunning;
// Each worker started by SetActive(true) gets the next number; a worker whose
// number is no longer current has been superseded and ends at its next check.
extern std::atomic<std::uint32_t> workerGeneration;

extern NOTIFYICONDATAW trayData;
extern BalloonKind lastBalloonKind;
extern int trayRetriesLeft;

// The one check of the run has been started.
extern bool checkStarted;
extern CheckResult checkResult;
// Raised by the check thread once checkResult is stored; taken by the one
// handler that applies it.
extern std::atomic<bool> checkResultReady;
extern bool updateAvailable;
extern std::wstring latestVersion;
extern std::wstring downloadUrl;
}  // namespace AppState
