// The process's entry point. The command line and the show command are not
// used: the program takes no arguments and never shows a window.
#include "app/startup.h"

// Takes the place of libstdc++'s verbose terminate handler, whose demangler
// and printf (about 67 KiB) would only print where nobody can read it: an
// exception that escapes ends the process at once.
namespace __gnu_cxx {
void __verbose_terminate_handler()  // NOLINT(bugprone-reserved-identifier)
{
    TerminateProcess(GetCurrentProcess(), kExitTerminated);
}
}  // namespace __gnu_cxx

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int)
{
    return RunTrayApplication(instance);
}
