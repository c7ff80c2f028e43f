#pragma once
// One reader and everything a run against it needs, in one object: the serial
// channel to it, the clock every wait and timeout runs on, the message pump
// that keeps the front end alive between the turns of a wait and carries a
// request to stop, the pumping delay, the opener of its ports (the port chain,
// devices/PortChain.h: watch -> kept device -> assignments -> devices) with
// that chain's kept device and line watch, and the record of why its ports
// failed (platform/PortFailure.h). Reader control (reader/) and card
// programming (programming/) take the link; a front end keeps one per reader
// (the window exactly one), and nothing of a run lives anywhere else, so that
// links on threads of their own run side by side.
//
// A link, its channel and the ports it opens belong to one thread at a time;
// only pump.RequestAbort may come from another thread.

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Clock.h"
#include "platform/CommPort.h"
#include "platform/KeptPorts.h"
#include "platform/LineTrace.h"
#include "platform/PortFailure.h"
#include "serial/MessagePump.h"
#include "serial/Scom.h"
#include "serial/Utils.h"

class PortChain;

// The parts a link is made of, for front ends that are handed them.
struct LinkSetup {
    Clock* clock = nullptr;
    CommPortOpener* ports = nullptr;
    // The kept device and the line watch in front of `ports`, when it has them.
    KeepingPortOpener* kept = nullptr;
    LineWatch* watch = nullptr;
    // The record the ports `ports` opens write to; null: one of the link's
    // own (which nothing but the link writes).
    std::shared_ptr<PortFailures> failures;
    // The pump's hooks (MessagePump).
    std::function<void()> processMessages;
    std::function<void(int64_t leftMicros)> waitForMessages;

    // The parts of `chain`: its clock, the chain itself as the opener, its
    // kept device, its watch and its failure record.
    static LinkSetup Of(PortChain& chain);
};

class ReaderLink {
    // Holds the failure record, which `failures` names.
    std::shared_ptr<PortFailures> failureRecord_;

public:
    // A link that opens its ports through `ports` and times everything on
    // `clock`; both must outlive it. Nothing is kept open across the
    // channel's reopens but what `ports` keeps itself, and nothing is traced.
    // `failures` is where those ports record why they failed (null: nowhere
    // the link knows of).
    ReaderLink(Clock& clock, CommPortOpener& ports, std::shared_ptr<PortFailures> failures = nullptr);
    // A link through `chain`, on the chain's clock: its kept device is closed
    // at the end of each run and when idle, its watch carries the trace.
    explicit ReaderLink(PortChain& chain);
    // Throws std::invalid_argument without a clock or an opener.
    explicit ReaderLink(const LinkSetup& setup);
    // Closes the channel.
    ~ReaderLink();
    ReaderLink(const ReaderLink&) = delete;
    ReaderLink& operator=(const ReaderLink&) = delete;

    Clock& clock;
    CommPortOpener& ports;
    // The kept device and the line watch of the chain; null without.
    KeepingPortOpener* const kept;
    LineWatch* const watch;
    // Why the ports opened through `ports` failed: the last open or setting
    // refused, and whether a device went away.
    PortFailures& failures;
    MessagePump pump;

    // One turn of a message-processing wait: closes the kept device once it
    // has been idle for its keep time, processes the pending window messages
    // (pump.processMessages), then throws RunAborted if the run has been
    // asked to stop. Blocks as long as the front end's processing does.
    void ProcessPendingMessages();
    // Sleeps on the clock until the next whole millisecond or deadlineMicros,
    // whichever is first, without processing messages. A virtual clock
    // jumps, so a wait built on it stays deterministic.
    void IdleUntil(int64_t deadlineMicros);
    // One pause between two turns of a message-processing wait:
    // pump.waitForMessages with the time left, or IdleUntil.
    void WaitForMessagesUntil(int64_t deadlineMicros);
    // Really closes the device the kept device holds, if any (the end of a
    // run); nothing without a kept device.
    void ReleaseKept();

    // The names the protocol uses. The channel and the delay wait on this
    // link's clock and pump.
    TSerialChannel SerialChannel;
    TPumpingDelay PumpingDelay;
};
