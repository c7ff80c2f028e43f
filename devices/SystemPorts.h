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
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <utility>

#include "platform/Clock.h"
#include "platform/ComNames.h"
#include "platform/CommPort.h"
#include "platform/LocalPorts.h"
#include "platform/PortFailure.h"

namespace sim {
class SimulatedReader;
}

// The resolved value for a device name, by the rules above; empty when the
// name names no port (port 0).
std::string ResolveDeviceName(const std::string& deviceName);

// The devices of this machine by their Win32 names. The simulated readers it
// opens ("sim" devices) belong to it: one per port number, made at the first
// open of that port and kept as long as this object lives, so the card and
// the reader's state survive the many closes and reopens of a run. They and
// the network readers run on the clock given (the steady clock in the
// programs, a virtual clock in tests).
class SystemPorts final : public CommPortOpener {
public:
    // `clock` must outlive the devices; `notes` (may be null) is told what
    // the simulated readers cannot do: options they do not take (once each)
    // and a memory file they cannot write back.
    explicit SystemPorts(Clock& clock, std::ostream* notes = nullptr);
    ~SystemPorts() override;
    SystemPorts(const SystemPorts&) = delete;
    SystemPorts& operator=(const SystemPorts&) = delete;

    // Opens what the name resolves to; on failure the LastOpenFailure() of
    // `failures` says "Com<n> is " and which device failed and why. The port
    // opened records in `failures` what it refuses and when its device goes
    // away (platform/PortFailure.h). Without `failures`, the record of these
    // devices themselves (Failures()).
    std::unique_ptr<CommPort> Open(const std::string& deviceName) override;
    std::unique_ptr<CommPort> Open(const std::string& deviceName, const std::shared_ptr<PortFailures>& failures);
    // Opens a resolved value (a path, "sim[:...]" or "rfc2217://...").
    // `portNumber` keys the simulated readers (0 when opened by path). On
    // failure LastOpenFailure() of `failures` says which device and why.
    std::unique_ptr<CommPort> OpenResolved(const std::string& resolved, uint32_t portNumber);
    std::unique_ptr<CommPort> OpenResolved(const std::string& resolved, uint32_t portNumber,
                                           const std::shared_ptr<PortFailures>& failures);
    // The simulated reader of `portNumber`, made with `options`
    // (simulator/SimOptions.h) at its first open; later opens get the same
    // reader whatever their options. Null when the options are bad (said
    // once to the notes) or the reader is open already or has vanished.
    std::unique_ptr<CommPort> OpenSimulated(uint32_t portNumber, const std::string& options);
    std::unique_ptr<CommPort> OpenSimulated(uint32_t portNumber, const std::string& options,
                                            const std::shared_ptr<PortFailures>& failures);
    // Where the opens without a record of their own record why they failed.
    const std::shared_ptr<PortFailures>& Failures() const { return failures_; }
    // The simulated reader of `portNumber`; null until a "sim" device has
    // been opened for that number.
    sim::SimulatedReader* SimulatedReaderOn(uint32_t portNumber) const;
    // Whether the simulated readers made from now on keep every host write
    // (sim::SimulatedReader::Writes()), for tests that look at the frames;
    // the program's own readers keep none.
    void RecordWrites(bool on) { recordWrites_ = on; }
    // How a local serial device path is opened from now on, recording in the
    // record given: by default OpenLocalSerialDevice (platform/LocalPorts.h);
    // tests that play an adapter open it with system calls of their own.
    using LocalOpener =
        std::function<std::unique_ptr<CommPort>(const std::string& path, const std::shared_ptr<PortFailures>&)>;
    void SetLocalOpener(LocalOpener open) { openLocal_ = std::move(open); }

private:
    Clock& clock_;
    std::ostream* notes_;
    std::shared_ptr<PortFailures> failures_ = std::make_shared<PortFailures>();
    LocalOpener openLocal_;
    bool recordWrites_ = false;
    std::map<uint32_t, std::shared_ptr<sim::SimulatedReader>> readers_;
    std::set<std::string> reported_;
};
