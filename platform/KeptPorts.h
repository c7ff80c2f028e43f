#pragma once
// Keeping a device open across the channel's Close and Open.
//
// The channel closes and reopens the port between the steps of a run (after
// the loader start command, between calibration trials). On a real serial
// line each open makes the driver raise RTS and DTR until the first line
// setting, and RTS high holds the card in reset: a reopen can end the loader
// it has just started. A KeepingPortOpener therefore holds a closed port for
// a short time instead of closing it; an Open of the same device within that
// time gets the same open device back (the channel then applies its settings
// afresh), so no line moves. The device is really closed when another device
// is opened, when it has not been used for the keep time (ReleaseIfIdle, from
// every message-processing turn of the link that uses the keeper), on Release
// (the end of a run) and when the keeper goes.
//
// What a real close and open do besides moving the lines, the kept device
// does too, since the channel relies on it (the loader start command is sent
// at the base speed, then the port is reopened at the working speed and the
// command's echo must not come back):
//  - closing it returns only when the bytes written through it have left the
//    line: the transport's WaitUntilSent, and then at least the wire time of
//    every byte since it was handed to Write, at the line settings in force
//    then (a driver or server that applies a speed change at once would
//    otherwise send the tail of the last frame at the new speed);
//  - taking it back first lets the bytes still on their way arrive: two
//    character times at the settings in force, plus the adapter's latency
//    timer, 16 ms (the common default of USB serial adapters) where the port
//    cannot tell it, counted from the close; then it discards the input
//    queue (Purge with kPurgeRxClear), as a fresh open starts empty.
// Every wait sleeps on the keeper's clock. Nothing received after the device
// has been handed back is touched.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/CommPort.h"

class KeepingPortOpener final : public CommPortOpener {
public:
    // Keeps what `base` opens, timing its waits and the keep time on `clock`
    // (both must outlive it). `keyOf` names the device a device name stands
    // for (two names with the same key are one device); by default the name
    // itself.
    KeepingPortOpener(CommPortOpener& base, Clock& clock, std::function<std::string(const std::string&)> keyOf = {},
                      int64_t keepMs = 3000);
    // Closes the device it holds.
    ~KeepingPortOpener() override;
    KeepingPortOpener(const KeepingPortOpener&) = delete;
    KeepingPortOpener& operator=(const KeepingPortOpener&) = delete;

    // The held device when it is the one named and still answers (its line
    // settings can be read), its input queue emptied as set out above (may
    // sleep for two character times and the latency timer, 16 ms when the
    // port cannot tell it); else whatever
    // `base` opens, after really closing the held device. The handle
    // returned parks its device here when destroyed, once its output has
    // left the line (may sleep for as long as that takes).
    std::unique_ptr<CommPort> Open(const std::string& deviceName) override;
    // Really closes the held device, if any.
    void Release();
    // Really closes the held device when it has been held for the keep time.
    void ReleaseIfIdle();
    // Whether a closed device is being held.
    bool Holding() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};
