// Helpers shared by the tests: a fresh AppState, the hidden window created
// in-process, message pumping with deadlines, and the product's executable.
#pragma once

#include "app/app_state.h"

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// Restores every AppState field to its start value. No worker may be running.
void ResetAppState();

// Stops keeping awake and waits until every worker has returned.
void StopWorkers();

// Registers the window class (once) and creates the hidden window as the
// program does, so WM_CREATE runs the real handler.
HWND CreateHiddenWindow();

// Ends a test that used CreateHiddenWindow: no worker, no window, no quit
// message left behind, no seam records.
void DestroyHiddenWindow(HWND window);

// Dispatches this thread's messages until `done` or the deadline.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);
// Dispatches this thread's messages for a fixed time (for asserting absence).
void PumpFor(DWORD milliseconds);

// Windows path of the built Noctara.exe.
std::wstring ProductExePath();

// Runs the product executable; returns the process handle (caller closes).
HANDLE StartProduct(const std::wstring& exePath = ProductExePath());
// Waits for the product's hidden window in process `pid`.
HWND WaitForProductWindow(DWORD pid, DWORD timeoutMs);
// Exit code after the process ended within the deadline; STILL_ACTIVE if not.
DWORD WaitForExit(HANDLE process, DWORD timeoutMs);

// Reads CF_UNICODETEXT from the clipboard (empty when absent); `bytes`
// receives the size of the clipboard block.
std::wstring ReadClipboardText(SIZE_T* bytes = nullptr);

// UTF-8 for gtest messages.
std::string Narrow(const std::wstring& text);

// Saves every value of the user's Run key on construction and puts the key
// back as it was on destruction (recreating it if a test deleted it).
class RunKeyGuard {
public:
    RunKeyGuard();
    ~RunKeyGuard();
    RunKeyGuard(const RunKeyGuard&) = delete;
    RunKeyGuard& operator=(const RunKeyGuard&) = delete;

    // Removes the Run key itself (it has no subkeys in a fresh prefix).
    bool DeleteRunKey();

private:
    struct Value {
        std::wstring name;
        DWORD type;
        std::vector<BYTE> data;
    };
    bool existed_ = false;
    std::vector<Value> values_;
};

// The autostart value as stored: false when absent.
bool ReadRunValue(DWORD* type, std::vector<BYTE>* data);
// Writes the autostart value directly, as another program would.
bool WriteRunValue(DWORD type, const void* data, DWORD bytes);
bool WriteRunValue(DWORD type, const std::wstring& text);
bool DeleteRunValue();

}  // namespace testing_support
