#include "devices/SystemPorts.h"

#include <cstdlib>

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

SystemPorts::SystemPorts(Clock& clock, std::ostream* notes) : clock_(clock), notes_(notes) {}

SystemPorts::~SystemPorts() = default;

std::unique_ptr<CommPort> SystemPorts::OpenResolved(const std::string& resolved, uint32_t portNumber)
{
    return OpenResolved(resolved, portNumber, failures_);
}

std::unique_ptr<CommPort> SystemPorts::OpenResolved(const std::string& resolved, uint32_t portNumber,
                                                    const std::shared_ptr<PortFailures>& failures)
{
    PortFailures& record = *failures;
    record.RecordOpenFailure({});
    std::unique_ptr<CommPort> port;
    if (resolved == "sim")
        port = OpenSimulated(portNumber, "", failures);
    else if (resolved.rfind("sim:", 0) == 0)
        port = OpenSimulated(portNumber, resolved.substr(4), failures);
    else if (resolved.rfind("rfc2217://", 0) == 0)
        port = OpenNetworkDevice(resolved, clock_, failures);
    else if (!resolved.empty())
        port = openLocal_ ? openLocal_(resolved, failures) : OpenLocalSerialDevice(resolved, failures);
    if (!port && record.LastOpenFailure().empty())
        record.RecordOpenFailure(resolved.empty() ? "no port is selected (port 0 names no device)"
                                                  : resolved + ": cannot be opened");
    return port;
}

std::unique_ptr<CommPort> SystemPorts::Open(const std::string& deviceName) { return Open(deviceName, failures_); }

std::unique_ptr<CommPort> SystemPorts::Open(const std::string& deviceName,
                                            const std::shared_ptr<PortFailures>& failures)
{
    const uint32_t port = PortNumberFromDeviceName(deviceName).value_or(0);
    const std::string resolved = ResolveDeviceName(deviceName);
    std::unique_ptr<CommPort> opened = OpenResolved(resolved, port, failures);
    if (!opened && port != 0)
        failures->RecordOpenFailure("Com" + std::to_string(port) + " is " + failures->LastOpenFailure());
    return opened;
}
