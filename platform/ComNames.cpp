#include "platform/ComNames.h"

std::optional<uint32_t> PortNumberFromDeviceName(const std::string& deviceName)
{
    std::string rest;
    if (deviceName.rfind("\\\\.\\COM", 0) == 0)
        rest = deviceName.substr(7);
    else if (deviceName.rfind(".\\COM", 0) == 0)
        rest = deviceName.substr(5);
    else
        return std::nullopt;
    if (rest.empty() || rest.size() > 10) return std::nullopt;
    uint64_t n = 0;
    for (char c : rest) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (n > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<uint32_t>(n);
}
