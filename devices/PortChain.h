#pragma once
// The path from the serial channel to a device, as the window and
// torvik-loader compose it, and as tests build it on a virtual clock with
// simulated readers:
//
//   LineWatch          counts the loader's frames; writes the trace, if any
//   KeepingPortOpener  keeps the device open across the channel's reopens
//   assignments        ports this run opens as something else (--device)
//   SystemPorts        device names resolved; simulated readers
//
// A PortChain is itself the opener to install as Platform().ports. The
// program's own chain (ProgramPortChain) is the default one, on the steady
// clock; torvik-loader builds one per run with PortChain::ForRun so that each
// run has its own counts and trace.

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>

#include "devices/SystemPorts.h"
#include "platform/Clock.h"
#include "platform/CommPort.h"
#include "platform/KeptPorts.h"
#include "platform/LineTrace.h"

class PortChain final : public CommPortOpener {
public:
    // Opens through `devices`; `clock` stamps the trace lines; `trace` may be
    // null (the line is counted, not written down).
    PortChain(SystemPorts& devices, Clock& clock, std::ostream* trace = nullptr);
    PortChain(const PortChain&) = delete;
    PortChain& operator=(const PortChain&) = delete;

    // The chain installed as Platform().ports, or the program's chain when
    // the opener installed is not a chain.
    static PortChain& InForce();
    // A chain for one run on `clock`, writing `trace`: over the devices and
    // with the assignments of the chain in force.
    static std::unique_ptr<PortChain> ForRun(Clock& clock, std::ostream* trace);

    // From now on port `port` opens `resolved` (a path, "sim[:OPTIONS]" or
    // "rfc2217://HOST:PORT") whatever its name resolves to.
    void Assign(uint32_t port, std::string resolved);

    // Opens through the whole chain.
    std::unique_ptr<CommPort> Open(const std::string& deviceName) override;
    // What `deviceName` opens: its assignment, else its resolved value
    // (devices/SystemPorts.h); empty for a name that names no port.
    std::string ResolvedValue(const std::string& deviceName) const;

    LineWatch& Watch() { return watch_; }
    KeepingPortOpener& Kept() { return kept_; }
    SystemPorts& Devices() { return devices_; }

private:
    // Resolves a name, assignments first.
    class Assigned final : public CommPortOpener {
    public:
        explicit Assigned(PortChain& chain) : chain_(chain) {}
        std::unique_ptr<CommPort> Open(const std::string& deviceName) override;

    private:
        PortChain& chain_;
    };
    SystemPorts& devices_;
    std::map<uint32_t, std::string> assigned_;
    Assigned assignedPorts_;
    KeepingPortOpener kept_;
    LineWatch watch_;
};

// The program's chain: ProgramDevices() on the steady clock, no trace until
// InstallTraceFromEnvironment (platform/LineTrace.h) gives it one. What
// SystemPortOpener() (platform/Platform.h) returns.
PortChain& ProgramPortChain();
