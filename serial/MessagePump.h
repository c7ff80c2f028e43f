#pragma once
// What the waits of a run do between their turns, and how a run is asked to
// stop: the front end's message processing (the window's events; a look at
// Ctrl-C and a closed pipe in torvik-loader), its way to sleep until the next
// message, and the request to stop. Each link (serial/ReaderLink.h) has one.

#include <atomic>
#include <cstdint>
#include <functional>
#include <stdexcept>

// Thrown out of a message-processing wait when the run in hand has been asked
// to stop (the program is closing, Ctrl-C). The run unwinds to its front end,
// which closes the port and finishes the close.
class RunAborted : public std::runtime_error {
public:
    RunAborted() : std::runtime_error("The run was stopped because the program is closing.") {}
};

class MessagePump {
public:
    MessagePump() = default;
    MessagePump(const MessagePump&) = delete;
    MessagePump& operator=(const MessagePump&) = delete;

    // Processes all pending window messages once; empty in programs without a
    // window. May ask for a stop (RequestAbort).
    std::function<void()> processMessages;
    // Blocks between two turns of a message-processing wait until a window
    // message is pending or `leftMicros` microseconds have passed on the
    // link's clock, whichever comes first; may return earlier, and may
    // process the messages that woke it. Empty: a sleep on the clock to the
    // next millisecond (ReaderLink::IdleUntil).
    std::function<void(int64_t leftMicros)> waitForMessages;

    // Asks the run in hand to stop at its next wait. Safe from any thread and
    // from a signal handler (a lock-free atomic flag).
    void RequestAbort() noexcept { abort_.store(true); }
    bool AbortRequested() const noexcept { return abort_.load(); }
    // Forgets a request; front ends do so when a run has ended.
    void ClearAbort() noexcept { abort_.store(false); }

private:
    std::atomic<bool> abort_{false};
};
