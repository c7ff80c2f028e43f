#pragma once
// Shared helpers of the Win32 layer tests.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace win32test {

// True when the program runs under Wine rather than on Windows.
inline bool UnderWine()
{
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// COM port numbers whose far end sends back every byte it receives, from
// TORVIK_TEST_ECHO_PORTS ("5 12"). tools/test-windows.sh provides them under
// Wine; on Windows a loopback plug or an echoing device does the same.
inline std::vector<uint32_t> EchoPorts()
{
    std::vector<uint32_t> ports;
    const char* value = std::getenv("TORVIK_TEST_ECHO_PORTS");
    if (value == nullptr) return ports;
    std::istringstream in(value);
    uint32_t port = 0;
    while (in >> port) ports.push_back(port);
    return ports;
}

// The first echo port below 10 (low = true) or from 10 on; 0 when none.
inline uint32_t EchoPort(bool low)
{
    for (uint32_t port : EchoPorts())
        if (port != 0 && (port < 10) == low) return port;
    return 0;
}

// Milliseconds on the system's monotonic tick.
inline uint64_t TickMs() { return GetTickCount64(); }

}  // namespace win32test
