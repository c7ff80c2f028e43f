#pragma once
// What the operating system provides to the Qt-free core: the clock, the
// serial devices, and a hook that processes the window's pending messages.
//
// The program-wide objects (SerialChannel, PumpingDelay) reach these through
// Platform(). Production installs the steady clock, the system's serial
// devices and, in the window program, the toolkit's message processing. Tests
// install a virtual clock and the simulator with ScopedPlatform.

#include <functional>
#include <stdexcept>

#include "platform/Clock.h"
#include "platform/CommPort.h"

// Thrown out of a message-processing wait when the user has asked to close the
// program in the middle of a run. The run unwinds to its front end, which
// closes the port and finishes the close.
class RunAborted : public std::runtime_error {
public:
    RunAborted() : std::runtime_error("The run was stopped because the program is closing.") {}
};

struct PlatformServices {
    Clock* clock = nullptr;
    CommPortOpener* ports = nullptr;
    // Processes all pending window messages once; empty in programs without a
    // window.
    std::function<void()> processMessages;
    // Set by the front end (from inside processMessages) when the program must
    // stop the run in hand at its next wait.
    bool abortRequested = false;
};

// The services in force. Never null members after the first call: the
// defaults are the steady clock and the system's serial devices.
PlatformServices& Platform();

// Processes pending window messages through the installed hook, then throws
// RunAborted if an abort has been requested.
void ProcessPendingMessages();

// The system's serial devices (see platform/SystemPorts.h); the default opener.
CommPortOpener& SystemPortOpener();
// The default clock.
Clock& SystemClock();

// Installs other services for the lifetime of the object and restores the
// previous ones afterwards.
class ScopedPlatform {
public:
    ScopedPlatform(Clock& clock, CommPortOpener& ports, std::function<void()> processMessages = {});
    ~ScopedPlatform();
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;

private:
    PlatformServices saved_;
};
