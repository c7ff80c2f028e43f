#pragma once
// The serial device of this operating system behind a path: the POSIX port
// (platform/posix) or the Win32 COM port (platform/win32), one file each.

#include <memory>
#include <string>

#include "platform/CommPort.h"
#include "platform/PortFailure.h"

// Opens the local serial device `path` (a terminal path, or a Win32 device
// name); nullptr, with the reason recorded in `failures`, when it cannot be
// opened. The port records in `failures` (may be null) what it refuses and
// when its device goes away.
std::unique_ptr<CommPort> OpenLocalSerialDevice(const std::string& path,
                                                const std::shared_ptr<PortFailures>& failures = nullptr);
