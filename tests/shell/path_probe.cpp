// Prints what GetExecutablePath() reports, as UTF-8, for a check that runs
// this program from a folder deeper than MAX_PATH.
#include "shell/autostart.h"

#include <string>

int main()
{
    const std::wstring path = GetExecutablePath();
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, path.c_str(), static_cast<int>(path.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path.c_str(), static_cast<int>(path.size()), bytes.data(), size, nullptr,
                        nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return path.empty() ? 1 : 0;
}
