// Opening an address on Windows: the shell's default action for it.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

#include <cstdint>

#include "platform/Shell.h"

bool ShellOpen(const std::string& address)
{
    // No owner window, no verb (the default action: open for a web address),
    // no parameters, no working directory, shown normally. Values above 32
    // mean success.
    const HINSTANCE result = ShellExecuteA(nullptr, nullptr, address.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<intptr_t>(result) > 32;
}
