// Holds the clipboard from another process until released; with an owner window, as Wine lets two windowless openers in.
#include <windows.h>

int main()
{
    if (!OpenClipboard(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr))) return 2;
    SetEvent(OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Local\\NoctaraTestClipboardHeld"));
    return WaitForSingleObject(OpenEventW(SYNCHRONIZE, FALSE, L"Local\\NoctaraTestClipboardRelease"), 60000);
}
