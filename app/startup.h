// Start-up and the message loop: single-instance guard, COM and identity,
// the hidden window, then every message until the quit message.
#pragma once

#include "app/app_state.h"

// Exit codes of the process.
inline constexpr int kExitNormal = 0;
inline constexpr int kExitStartupFailed = 1;
// An exception escaped (the code of abort()).
inline constexpr int kExitTerminated = 3;

// The whole run of the program on the calling thread, which becomes the UI
// thread; `instance` is the module that holds the icons. Returns the exit code.
int RunTrayApplication(HINSTANCE instance);
