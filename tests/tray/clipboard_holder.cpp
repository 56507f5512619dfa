// Holds the clipboard open from another process, as a clipboard manager
// might, until the test lets go.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "tests/tray/clipboard_holder.h"

int main()
{
    HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, kClipboardHeldEvent);
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, kClipboardReleaseEvent);
    if (held == nullptr || release == nullptr) {
        return 2;
    }
    // An owner window: Wine lets two windowless openers in at once.
    HWND window = CreateWindowExW(0, L"STATIC", L"holder", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (window == nullptr || !OpenClipboard(window)) {
        return 3;
    }
    SetEvent(held);
    const DWORD waited = WaitForSingleObject(release, 60000);
    CloseClipboard();
    DestroyWindow(window);
    return waited == WAIT_OBJECT_0 ? 0 : 4;
}
