// The context menu of the tray icon, built afresh from the current state at
// every opening.
#pragma once

#include "app/app_state.h"

// Shows the menu at the pointer and returns when it has closed; the chosen
// item reaches `window` as WM_COMMAND.
void ShowTrayMenu(HWND window);

// Builds the menu without showing it (the caller destroys it).
HMENU BuildTrayMenu();
