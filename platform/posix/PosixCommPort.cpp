// Placeholder until the POSIX terminal backend lands.
#include "platform/SystemPorts.h"
std::unique_ptr<CommPort> OpenLocalSerialDevice(const std::string&) { return nullptr; }
