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
// A PortChain is itself the opener a reader link opens through
// (serial/ReaderLink.h). Each program builds its own (SystemChain) and hands
// it to its link; torvik-loader builds one per run over the same devices
// (ForRun), so that each run has its own counts and trace.

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
    // Opens through `devices`; `clock` times the kept device and stamps the
    // trace lines; `trace` may be null (the line is counted, not written
    // down). `devices` and `clock` must outlive the chain.
    PortChain(SystemPorts& devices, Clock& clock, std::ostream* trace = nullptr);
    PortChain(const PortChain&) = delete;
    PortChain& operator=(const PortChain&) = delete;

    // A chain for one run, writing `trace`: over the devices, on the clock
    // and with the assignments of this one.
    std::unique_ptr<PortChain> ForRun(std::ostream* trace) const;

    // From now on port `port` opens `resolved` (a path, "sim[:OPTIONS]" or
    // "rfc2217://HOST:PORT") whatever its name resolves to.
    void Assign(uint32_t port, std::string resolved);

    // Opens through the whole chain.
    std::unique_ptr<CommPort> Open(const std::string& deviceName) override;
    // What `deviceName` opens: its assignment, else its resolved value
    // (devices/SystemPorts.h); empty for a name that names no port.
    std::string ResolvedValue(const std::string& deviceName) const;

    Clock& GetClock() const { return clock_; }
    // Where the ports opened through the chain record why they failed; a
    // chain made by ForRun has a record of its own.
    const std::shared_ptr<PortFailures>& Failures() const { return failures_; }
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
    Clock& clock_;
    std::shared_ptr<PortFailures> failures_ = std::make_shared<PortFailures>();
    std::map<uint32_t, std::string> assigned_;
    Assigned assignedPorts_;
    KeepingPortOpener kept_;
    LineWatch watch_;
};

// A program's own chain: the system's devices on the steady clock, what a
// main builds and hands to its reader link. `notes` (may be null) is told
// what the simulated readers cannot do (devices/SystemPorts.h).
class SystemChain {
public:
    explicit SystemChain(std::ostream* notes = nullptr) : devices(clock, notes), chain(devices, clock) {}
    SystemChain(const SystemChain&) = delete;
    SystemChain& operator=(const SystemChain&) = delete;

    SteadyClock clock;
    SystemPorts devices;
    PortChain chain;
};

// Reads TORVIK_TRACE: when it names a file that can be written, `chain`
// writes its trace there from now on, under the header of `program`, and the
// stream is returned for the caller to keep as long as the chain lives (null
// without a trace). For the window.
std::unique_ptr<std::ostream> InstallTraceFromEnvironment(PortChain& chain, const std::string& program);
