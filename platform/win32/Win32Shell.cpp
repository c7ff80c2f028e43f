// Opening an address on Windows: the shell's default action for it.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

#include <cstdint>

#include "platform/Shell.h"
#include "platform/win32/Utf16.h"

bool ShellOpen(const std::string& address)
{
    // No owner window, no verb (the default action: open for a web address),
    // no parameters, no working directory, shown normally; the address goes
    // as UTF-16. Values above 32 mean success.
    const HINSTANCE result = ShellExecuteW(nullptr, nullptr, Utf16(address).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<intptr_t>(result) > 32;
}
