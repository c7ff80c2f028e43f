// USB_TorvikLoader.exe: the window program on Windows.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <utility>

#include "app/win32/Win32MainWindow.h"
#include "platform/LineTrace.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int show)
{
    InstallTraceFromEnvironment();  // TORVIK_TRACE=FILE: the line traffic, for a misbehaving reader
    Win32WindowServices services = Win32WindowServices::Defaults();
    return RunWin32Application(show, std::move(services));
}
