#include "devices/PortChain.h"

#include <cstdlib>
#include <fstream>
#include <utility>

PortChain::PortChain(SystemPorts& devices, Clock& clock, std::ostream* trace)
    : devices_(devices),
      clock_(clock),
      assignedPorts_(*this),
      // One device is the same resolved value opened for the same port
      // number (the simulated readers are per port number).
      kept_(assignedPorts_, clock,
            [this](const std::string& deviceName) {
                return ResolvedValue(deviceName) + '|' +
                       std::to_string(PortNumberFromDeviceName(deviceName).value_or(0));
            }),
      watch_(kept_, clock, trace)
{
}

std::unique_ptr<PortChain> PortChain::ForRun(std::ostream* trace) const
{
    auto chain = std::make_unique<PortChain>(devices_, clock_, trace);
    chain->assigned_ = assigned_;
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
        if (it != chain_.assigned_.end()) return chain_.devices_.OpenResolved(it->second, *port, chain_.failures_);
    }
    return chain_.devices_.Open(deviceName, chain_.failures_);
}

std::unique_ptr<std::ostream> InstallTraceFromEnvironment(PortChain& chain, const std::string& program)
{
    const char* path = std::getenv("TORVIK_TRACE");
    if (path == nullptr || *path == '\0') return nullptr;
    auto file = std::make_unique<std::ofstream>(path, std::ios::out | std::ios::trunc);
    if (!*file) return nullptr;
    *file << std::unitbuf;
    chain.Watch().SetTrace(file.get());
    chain.Watch().Header(TraceHeader(program, {}));
    return file;
}
