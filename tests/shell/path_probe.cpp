// Prints GetExecutablePath() for check_long_path.cmake.
#include "shell/autostart.h"

#include <cstdio>

int main()
{
    const std::wstring path = GetExecutablePath();
    std::printf("%ls", path.c_str());
    return path.empty() ? 1 : 0;
}
