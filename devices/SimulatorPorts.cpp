// The "sim" devices of the port layer: one simulated reader per port number,
// alive for the whole program, so the card and the reader's state survive
// the many closes and reopens of a programming run. A card memory file
// (memory=FILE) is written back when the program ends.

#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

#include "platform/Platform.h"
#include "platform/PortFailure.h"
#include "devices/SystemPorts.h"
#include "simulator/Simulator.h"

std::unique_ptr<CommPort> OpenSimulatedDevice(uint32_t portNumber, const std::string& options)
{
    static std::map<uint32_t, std::shared_ptr<sim::SimulatedReader>> readers;
    static std::set<std::string> reported;

    auto it = readers.find(portNumber);
    if (it == readers.end()) {
        std::shared_ptr<sim::SimulatedReader> reader;
        try {
            sim::SimOptions parsed = sim::SimOptions::Parse(options);
            parsed.port = portNumber;
            reader = std::make_shared<sim::SimulatedReader>(SystemClock(), std::move(parsed));
        } catch (const std::exception& e) {
            // Bad options, or a memory file that cannot serve.
            if (reported.insert(options).second)
                std::cerr << "Simulated reader on port " << portNumber << ": " << e.what() << '\n';
            RecordOpenFailure("sim:" + options + ": " + e.what());
            return nullptr;
        }
        reader->SetRecording(false);
        it = readers.emplace(portNumber, std::move(reader)).first;
    }
    std::unique_ptr<CommPort> port = it->second->OpenHandle();
    if (!port)
        RecordOpenFailure(it->second->Vanished() ? "sim: no such device (the simulated port has vanished)"
                                                 : "sim: busy: the simulated port is open already");
    return port;
}
