#pragma once
// How a Win32 device name becomes a device on this machine. This layer sits
// above the port layer (platform/) and the simulator (simulator/), which know
// nothing of each other.
//
// The channel names ports as Windows does (".\COM3", "\\.\COM12"). The port
// number n of such a name resolves to:
//   1. the value of the environment variable TORVIK_COM<n>, if set;
//   2. otherwise, on Windows, the COM device itself; elsewhere /dev/ttyUSB<n-1>.
// A resolved value of "sim" or "sim:OPTIONS" selects the built-in simulated
// reader (see simulator/SimOptions.h), "rfc2217://HOST:PORT" a network
// reader, anything else a local serial device path. Port 0 names no port.
// A name that is not of the COM form is taken as the resolved value itself.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/ComNames.h"
#include "platform/CommPort.h"
#include "platform/LocalPorts.h"

// The resolved value for a device name, by the rules above; empty when the
// name names no port (port 0).
std::string ResolveDeviceName(const std::string& deviceName);

// Opens a resolved value (a path, "sim[:...]" or "rfc2217://...").
// `portNumber` keys the simulated readers (0 when opened by path). On failure
// LastOpenFailure() (platform/PortFailure.h) says which device and why.
std::unique_ptr<CommPort> OpenResolvedDevice(const std::string& resolved, uint32_t portNumber);

class SystemPorts final : public CommPortOpener {
public:
    std::unique_ptr<CommPort> Open(const std::string& deviceName) override;
};

// The built-in simulated reader of `portNumber` (devices/SimulatorPorts.cpp).
std::unique_ptr<CommPort> OpenSimulatedDevice(uint32_t portNumber, const std::string& options);
