// The Windows GUI entry point. It hands control to the portable main() so that the service
// sees the same argc/argv on every platform. MinGW links it with -municode (MSVC needs nothing).

#include "service/windowsentry.h"

#include <windows.h>

int main(int argc, char **argv);

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    // The portable main is an ordinary function here: the C runtime enters through wWinMain.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#endif
    return runMainWithCommandLine(GetCommandLineW(), &main);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}
