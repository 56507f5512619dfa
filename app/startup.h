// Process entry: single-instance guard, COM and identity, the hidden window
// and the message loop.
#pragma once

#include "app/app_state.h"

// Exit codes of the process.
inline constexpr int kExitNormal = 0;
inline constexpr int kExitStartupFailed = 1;
// An exception escaped (the code of abort()).
inline constexpr int kExitTerminated = 3;
