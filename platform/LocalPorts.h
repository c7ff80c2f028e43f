#pragma once
// The serial device of this operating system behind a path: the POSIX port
// (platform/posix) or the Win32 COM port (platform/win32), one file each.

#include <memory>
#include <string>

#include "platform/CommPort.h"

// Opens the local serial device `path` (a terminal path, or a Win32 device
// name); nullptr, with the reason recorded (platform/PortFailure.h), when it
// cannot be opened.
std::unique_ptr<CommPort> OpenLocalSerialDevice(const std::string& path);
