// Holds the clipboard open from another process until the test releases it.
#include <windows.h>

int main()
{
    HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Local\\NoctaraTestClipboardHeld");
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, L"Local\\NoctaraTestClipboardRelease");
    // An owner window: Wine lets two windowless openers in at once.
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (held == nullptr || release == nullptr || !OpenClipboard(window)) {
        return 2;
    }
    SetEvent(held);
    return WaitForSingleObject(release, 60000) == WAIT_OBJECT_0 ? 0 : 3;
}
