#include "cli/Utf8Text.h"

#include <cstdlib>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

#include "platform/win32/Utf16.h"
#endif

std::vector<std::string> Utf8Arguments(int argc, char** argv)
{
#ifdef _WIN32
    int count = 0;
    if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        std::vector<std::string> args;
        for (int i = 1; i < count; ++i) args.push_back(Utf8(wide[i]));
        LocalFree(wide);
        return args;
    }
    // Without the UTF-16 command line (out of memory) the ANSI one is all
    // there is.
#endif
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void UseUtf8Console()
{
#ifdef _WIN32
    // The code page belongs to the console, which outlives the program: the
    // one it had comes back at exit. 0: no console.
    static const UINT previous = GetConsoleOutputCP();
    if (previous != 0 && previous != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        std::atexit([] { SetConsoleOutputCP(previous); });
#endif
}
