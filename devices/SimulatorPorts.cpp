// The "sim" devices of the port layer: one simulated reader per port number,
// alive as long as the SystemPorts that made it, so the card and the reader's
// state survive the many closes and reopens of a programming run. A card
// memory file (memory=FILE) is written back when the reader goes: for the
// program's own devices, when the program ends.

#include <ostream>
#include <stdexcept>

#include "devices/SystemPorts.h"
#include "simulator/Simulator.h"

std::unique_ptr<CommPort> SystemPorts::OpenSimulated(uint32_t portNumber, const std::string& options)
{
    return OpenSimulated(portNumber, options, failures_);
}

std::unique_ptr<CommPort> SystemPorts::OpenSimulated(uint32_t portNumber, const std::string& options,
                                                     const std::shared_ptr<PortFailures>& failures)
{
    auto it = readers_.find(portNumber);
    if (it == readers_.end()) {
        std::shared_ptr<sim::SimulatedReader> reader;
        try {
            sim::SimOptions parsed = sim::SimOptions::Parse(options);
            parsed.port = portNumber;
            reader = std::make_shared<sim::SimulatedReader>(clock_, std::move(parsed));
        } catch (const std::exception& e) {
            // Bad options, or a memory file that cannot serve.
            if (reported_.insert(options).second && notes_ != nullptr)
                *notes_ << "Simulated reader on port " << portNumber << ": " << e.what() << '\n';
            failures->RecordOpenFailure("sim:" + options + ": " + e.what());
            return nullptr;
        }
        reader->SetRecording(recordWrites_);
        reader->SetNotes(notes_);
        it = readers_.emplace(portNumber, std::move(reader)).first;
    }
    std::unique_ptr<CommPort> port = it->second->OpenHandle(failures);
    if (!port)
        failures->RecordOpenFailure(it->second->Vanished() ? "sim: no such device (the simulated port has vanished)"
                                                           : "sim: busy: the simulated port is open already");
    return port;
}

sim::SimulatedReader* SystemPorts::SimulatedReaderOn(uint32_t portNumber) const
{
    const auto it = readers_.find(portNumber);
    return it == readers_.end() ? nullptr : it->second.get();
}
