// USB_TorvikLoader.exe: the window program on Windows.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <memory>
#include <ostream>
#include <utility>

#include "app/win32/Win32MainWindow.h"
#include "devices/PortChain.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int show)
{
    // The system's devices on the steady clock, and TORVIK_TRACE=FILE: the
    // line traffic, for a misbehaving reader.
    SystemChain system;
    const std::unique_ptr<std::ostream> trace = InstallTraceFromEnvironment(system.chain, "USB_TorvikLoader");
    Win32WindowServices services = Win32WindowServices::Defaults();
    services.link = LinkSetup::Of(system.chain);
    return RunWin32Application(show, std::move(services));
}
