#pragma once
// Win32 device names of COM ports (".\COM3", "\\.\COM12") and their numbers.

#include <cstdint>
#include <optional>
#include <string>

// The port number of ".\COMn" or "\\.\COMn"; nothing for other names.
std::optional<uint32_t> PortNumberFromDeviceName(const std::string& deviceName);
