// Placeholder until the simulator lands.
#include "platform/SystemPorts.h"
std::unique_ptr<CommPort> OpenSimulatedDevice(uint32_t, const std::string&) { return nullptr; }
