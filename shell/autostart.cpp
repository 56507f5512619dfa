#include "shell/autostart.h"

#include "app/scoped_handle.h"

#include <vector>

namespace {

using RegKey = ScopedHandle<HKEY, RegCloseKey>;

// Long enough for any value the program writes itself; longer data is not
// a start-up command of ours.
constexpr DWORD kAutostartReadBytes = 4096;
// The longest path Windows can report, plus its terminator.
constexpr DWORD kLongestPathUnits = 32768;

// The startup switch's value, as Task Manager writes it: 12 bytes, the first
// 02 while enabled and 03 while disabled, then the time of the change. An odd
// first byte is what Windows reads as disabled; anything else leaves the Run
// value's answer.
bool IsSwitchedOff()
{
    DWORD size = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, kStartupApprovedKeyPath, kAppName, RRF_RT_REG_BINARY, nullptr, nullptr,
                     &size) != ERROR_SUCCESS ||
        size == 0) {
        return false;
    }
    std::vector<BYTE> data(size, 0);
    const LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, kStartupApprovedKeyPath, kAppName, RRF_RT_REG_BINARY,
                                        nullptr, data.data(), &size);
    return status == ERROR_SUCCESS && size > 0 && (data[0] & 1) != 0;
}

// Unless it is known to be missing: a key that cannot be read may hold one.
bool HasSwitchValue()
{
    return RegGetValueW(HKEY_CURRENT_USER, kStartupApprovedKeyPath, kAppName, RRF_RT_ANY, nullptr, nullptr, nullptr) !=
           ERROR_FILE_NOT_FOUND;
}

// The user has just asked for autostart, so whatever the switch says goes.
bool ClearSwitch()
{
    const LSTATUS status = RegDeleteKeyValueW(HKEY_CURRENT_USER, kStartupApprovedKeyPath, kAppName);
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
        return true;
    }
    // Refused: harmless only when there was nothing to remove.
    return !HasSwitchValue();
}

}  // namespace

bool IsAutostartEnabled()
{
    wchar_t data[kAutostartReadBytes / sizeof(wchar_t)] = {};
    DWORD type = 0;
    DWORD size = kAutostartReadBytes;
    RegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, KEY_READ, key.Put()) != ERROR_SUCCESS) {
        return false;
    }
    const LSTATUS status = RegQueryValueExW(key.Get(), kAppName, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    return status == ERROR_SUCCESS && type == REG_SZ && data[0] != L'\0' && !IsSwitchedOff();
}

bool SetAutostart(bool enable)
{
    RegKey key;
    // Opened, never created: a missing Run key is not ours to make.
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, KEY_SET_VALUE, key.Put()) != ERROR_SUCCESS) {
        return false;
    }
    if (enable) {
        const std::wstring path = GetExecutablePath();
        if (path.empty()) {
            return false;
        }
        const std::wstring command = L"\"" + path + L"\"";
        const DWORD bytes = static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t));
        // The Run value stays written when the switch cannot be cleared; the
        // menu then shows what the switch says, which is what Windows acts on.
        return RegSetValueExW(key.Get(), kAppName, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()), bytes) ==
                   ERROR_SUCCESS &&
               ClearSwitch();
    }
    const LSTATUS status = RegDeleteValueW(key.Get(), kAppName);
    // A value that is already gone is the state the user asked for.
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

std::wstring GetExecutablePath()
{
    std::vector<wchar_t> buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0) {
            return std::wstring();
        }
        if (length < size) {
            return std::wstring(buffer.data(), length);
        }
        // The system cut the path to fit: a cut path names another file.
        if (size >= kLongestPathUnits) {
            return std::wstring();
        }
        buffer.assign(size * 2 < kLongestPathUnits ? size * 2 : kLongestPathUnits, L'\0');
    }
}
