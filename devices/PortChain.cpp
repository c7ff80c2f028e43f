#include "devices/PortChain.h"

#include <cstdlib>
#include <fstream>
#include <utility>

#include "platform/Platform.h"

PortChain::PortChain(SystemPorts& devices, Clock& clock, std::ostream* trace)
    : devices_(devices),
      assignedPorts_(*this),
      // One device is the same resolved value opened for the same port
      // number (the simulated readers are per port number).
      kept_(assignedPorts_,
            [this](const std::string& deviceName) {
                return ResolvedValue(deviceName) + '|' +
                       std::to_string(PortNumberFromDeviceName(deviceName).value_or(0));
            }),
      watch_(kept_, clock, trace)
{
}

PortChain& PortChain::InForce()
{
    PortChain* installed = dynamic_cast<PortChain*>(Platform().ports);
    return installed != nullptr ? *installed : ProgramPortChain();
}

std::unique_ptr<PortChain> PortChain::ForRun(Clock& clock, std::ostream* trace)
{
    const PortChain& inForce = InForce();
    auto chain = std::make_unique<PortChain>(inForce.devices_, clock, trace);
    chain->assigned_ = inForce.assigned_;
    return chain;
}

void PortChain::Assign(uint32_t port, std::string resolved) { assigned_[port] = std::move(resolved); }

std::unique_ptr<CommPort> PortChain::Open(const std::string& deviceName) { return watch_.Open(deviceName); }

std::string PortChain::ResolvedValue(const std::string& deviceName) const
{
    const std::optional<uint32_t> port = PortNumberFromDeviceName(deviceName);
    if (port) {
        const auto it = assigned_.find(*port);
        if (it != assigned_.end()) return it->second;
    }
    return ResolveDeviceName(deviceName);
}

std::unique_ptr<CommPort> PortChain::Assigned::Open(const std::string& deviceName)
{
    const std::optional<uint32_t> port = PortNumberFromDeviceName(deviceName);
    if (port) {
        const auto it = chain_.assigned_.find(*port);
        if (it != chain_.assigned_.end()) return chain_.devices_.OpenResolved(it->second, *port);
    }
    return chain_.devices_.Open(deviceName);
}

PortChain& ProgramPortChain()
{
    static PortChain chain(ProgramDevices(), SystemClock());
    return chain;
}

CommPortOpener& SystemPortOpener() { return ProgramPortChain(); }

void InstallTraceFromEnvironment()
{
    const char* path = std::getenv("TORVIK_TRACE");
    if (path == nullptr || *path == '\0') return;
    static std::ofstream file(path, std::ios::out | std::ios::trunc);
    if (!file) return;
    file << std::unitbuf;
    ProgramPortChain().Watch().SetTrace(&file);
    ProgramPortChain().Watch().Header(TraceHeader("USB_TorvikLoader", {}));
}
