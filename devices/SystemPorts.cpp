#include "devices/SystemPorts.h"

#include <cstdlib>

#include "platform/KeptPorts.h"
#include "platform/Platform.h"
#include "platform/PortFailure.h"
#include "network/Rfc2217Port.h"

std::string ResolveDeviceName(const std::string& deviceName)
{
    const std::optional<uint32_t> port = PortNumberFromDeviceName(deviceName);
    if (!port) return deviceName;
    if (*port == 0) return {};
    const std::string variable = "TORVIK_COM" + std::to_string(*port);
    if (const char* value = std::getenv(variable.c_str()); value != nullptr && *value != '\0') return value;
#ifdef _WIN32
    return deviceName;
#else
    return "/dev/ttyUSB" + std::to_string(*port - 1);
#endif
}

namespace {

std::unique_ptr<CommPort> OpenByKind(const std::string& resolved, uint32_t portNumber)
{
    if (resolved.empty()) return nullptr;
    if (resolved == "sim") return OpenSimulatedDevice(portNumber, "");
    if (resolved.rfind("sim:", 0) == 0) return OpenSimulatedDevice(portNumber, resolved.substr(4));
    if (resolved.rfind("rfc2217://", 0) == 0) return OpenNetworkDevice(resolved);
    return OpenLocalSerialDevice(resolved);
}

}  // namespace

std::unique_ptr<CommPort> OpenResolvedDevice(const std::string& resolved, uint32_t portNumber)
{
    RecordOpenFailure({});
    std::unique_ptr<CommPort> port = OpenByKind(resolved, portNumber);
    if (!port && LastOpenFailure().empty())
        RecordOpenFailure(resolved.empty() ? "no port is selected (port 0 names no device)"
                                           : resolved + ": cannot be opened");
    return port;
}

std::unique_ptr<CommPort> SystemPorts::Open(const std::string& deviceName)
{
    const uint32_t port = PortNumberFromDeviceName(deviceName).value_or(0);
    const std::string resolved = ResolveDeviceName(deviceName);
    std::unique_ptr<CommPort> opened = OpenResolvedDevice(resolved, port);
    if (!opened && port != 0) RecordOpenFailure("Com" + std::to_string(port) + " is " + LastOpenFailure());
    return opened;
}

CommPortOpener& SystemPortOpener()
{
    static SystemPorts ports;
    // One device is the same resolved value opened for the same port number
    // (the simulated readers are per port number).
    static KeepingPortOpener kept(ports, [](const std::string& deviceName) {
        return ResolveDeviceName(deviceName) + '|' + std::to_string(PortNumberFromDeviceName(deviceName).value_or(0));
    });
    return kept;
}
