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
    // Blocks between two turns of a message-processing wait until a window
    // message is pending or the clock reaches deadlineMicros, whichever comes
    // first; may return earlier, and may process the messages that woke it.
    // Empty: IdleUntil (a sleep on the clock to the next millisecond).
    std::function<void(int64_t deadlineMicros)> waitForMessagesUntil;
};

// The services in force. Never null members after the first call: the
// defaults are the steady clock and the system's serial devices.
PlatformServices& Platform();

// Processes pending window messages through the installed hook, then throws
// RunAborted if an abort has been requested. Also closes devices kept open
// past their time (ReleaseIdleKeptPorts).
void ProcessPendingMessages();

// Sleeps on Platform().clock until the next whole millisecond or
// deadlineMicros, whichever is first, without processing messages. A virtual
// clock jumps, so a wait built on it stays deterministic.
void IdleUntil(int64_t deadlineMicros);

// One pause between two turns of a message-processing wait: the installed
// waitForMessagesUntil, or IdleUntil when none is installed.
void WaitForMessagesUntil(int64_t deadlineMicros);

// The program's port chain (devices/PortChain.h): the system's serial
// devices, kept open across reopens, watched; the default opener.
CommPortOpener& SystemPortOpener();
// The default clock.
Clock& SystemClock();

// Installs other services for the lifetime of the object and restores the
// previous ones afterwards. The message wait falls back to IdleUntil, which
// suits the clock being installed. Devices kept open are closed on both
// changes.
class ScopedPlatform {
public:
    ScopedPlatform(Clock& clock, CommPortOpener& ports, std::function<void()> processMessages = {});
    ~ScopedPlatform();
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;

private:
    PlatformServices saved_;
};
