#include "app/app_state.h"

namespace AppState {
// Registered during static initialisation so the window procedure can match
// the shell's broadcast from its very first message.
const UINT taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
HICON iconActive = nullptr;
HICON iconPaused = nullptr;
HWND mainWindow = nullptr;

bool active = true;
bool activityChosen = false;
std::atomic<bool> workerRunning{false};
std::atomic<std::uint32_t> workerGeneration{0};

NOTIFYICONDATAW trayData{};
BalloonKind lastBalloonKind = BalloonKind::Plain;
int trayRetriesLeft = 0;

bool checkStarted = false;
CheckResult checkResult;
std::atomic<bool> checkResultReady{false};
bool updateAvailable = false;
std::wstring latestVersion;
std::wstring downloadUrl;
}  // namespace AppState
