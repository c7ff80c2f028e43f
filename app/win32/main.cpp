// USB_TorvikLoader.exe: the window program on Windows.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <utility>

#include "app/win32/Win32MainWindow.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int show)
{
    Win32WindowServices services = Win32WindowServices::Defaults();
    return RunWin32Application(show, std::move(services));
}
