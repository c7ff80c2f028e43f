#pragma once
// The USB reader and the Torvik loader card in its slot, as seen from the
// serial line, behind the ordinary port interface.
//
// SimulatedReader is the whole device as a program meets it: the line
// (simulator/Wire.h), the reader (simulator/Reader.h) and the card
// (simulator/Card.h), plus the card slot, the person at the slot and the
// port's comings and goings. It lives as long as its owner wants (across any
// number of opens). SimulatorPort is one open handle on it; SimulatorOpener
// opens handles by COM device name. Nothing runs in the background: the
// device works out from the clock what has happened by the time of each
// call, and a call that must wait sleeps on the clock (a virtual clock
// jumps) until the next byte arrives, its timeout passes or the output has
// left the line. The clock must outlive the device and its handles.
//
// The port:
// - A new device starts at 9600 8N1 with RTS and DTR high; the driver's
//   line settings are kept across opens, as a serial driver keeps them.
// - An open starts with empty queues. Closing a handle blocks until the
//   bytes written through it have left the line (they are echoed and acted
//   on as ever), then drops whatever came back for it: nothing meant for one
//   handle, echo or answer, ever reaches a later one. A break still held
//   ends; no other line moves, and the card and its loader carry on.
// - With openlines=1 every open raises RTS and DTR (as a serial driver does
//   when it opens a line), so the card is reset unless RTS was high already.
// - Carrier detect (kMsRlsdOn) is set while the slot is empty.
//
// The slot and the person at it:
// - card=, remove= and insert= script the slot: a removal or insertion MS ms
//   after the first modem-status read that saw the card in, or the slot
//   empty.
// - With follow=1 a simulated person follows the program's prompts. The
//   person cannot see the program's looks at the slot (over a network port
//   the modem lines reach the program as notifications, and a server reading
//   them does not look on the program's behalf); the person sees what the
//   program does on the line. A program that wants the card out or in holds
//   the port open at the reader's setup settings (9600 8N1) and waits: no
//   byte written, no settings applied, no control line, break or purge, and
//   no handle opened or closed. When that quiet has lasted 1.5 s since the
//   last such act or the last change of the slot, the person takes out a
//   card that has been used (released from reset since it was put in, or in
//   the slot since the start), or puts a new card into an empty slot. The
//   program's other pauses at those settings (500 ms after a card was found,
//   up to a second between a removal and the setup break) are shorter, and
//   a card just put in has not been used.
//
// memory=FILE: the card's memory is loaded from FILE when the device is
// made and written back when it is destroyed, and whenever SaveMemory() is
// called (a server does so after each client).

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/CommPort.h"
#include "platform/PortFailure.h"
#include "simulator/Card.h"
#include "simulator/Random.h"
#include "simulator/Reader.h"
#include "simulator/SimOptions.h"
#include "simulator/Wire.h"

namespace sim {

// One WriteFile by the host.
struct WriteRecord {
    int64_t atMicros;
    std::vector<uint8_t> bytes;
    LineSettings settings;  // the line settings in force
};

enum class Signal { Rts, Dtr, Break };

// A change of a control line's level.
struct LineEvent {
    int64_t atMicros;
    Signal signal;
    bool level;
};

class SimulatedReader : public std::enable_shared_from_this<SimulatedReader> {
public:
    // Throws std::runtime_error when options.memoryFile exists but cannot
    // serve as the card's memory (see MemoryFileProblem).
    explicit SimulatedReader(Clock& clock, SimOptions options = {});
    // Writes the card's memory back to memory=FILE; says so to the notes
    // (SetNotes) when it cannot.
    ~SimulatedReader();
    SimulatedReader(const SimulatedReader&) = delete;
    SimulatedReader& operator=(const SimulatedReader&) = delete;

    // Opens a handle (the reader must be owned by a shared_ptr). Null when the
    // port has vanished or a handle is already open. The handle records in
    // `failures` (may be null) when it finds the port vanished.
    std::unique_ptr<CommPort> OpenHandle(std::shared_ptr<PortFailures> failures = nullptr);
    bool HandleOpen() const { return handleOpen_; }

    // Fault switches and knobs. Fault switches, atr, window, turnaround,
    // breakjunk and the slot scripts' delays take effect from the next time
    // they are consulted; card, setup, seed and memory are read at
    // construction, vanish at the first open, port by SimulatorOpener.
    SimOptions& Options() { return options_; }
    Clock& GetClock() { return clock_; }

    // The slot. Both act at the current time; a removal ends whatever the
    // card was sending.
    bool CardPresent() const { return card_.Present(); }
    void InsertCard();
    void RemoveCard();
    CardState Card() const { return card_.State(); }
    // The port disappears: calls on open handles fail from now on, opens fail.
    void Vanish() { vanished_ = true; }
    bool Vanished() const { return vanished_; }

    // Reader state.
    bool InSetupMode() const { return reader_.InSetupMode(); }
    // True once "2A 43" has been accepted (or setup= given), until the next
    // setup mode.
    bool SetUp() const { return reader_.SetUp(); }
    // The setting byte last recorded by "2A 42 xx" (or setup=).
    std::optional<uint8_t> SettingByte() const { return reader_.SettingByte(); }
    bool Rts() const { return rts_; }
    bool Dtr() const { return dtr_; }
    bool BreakHeld() const { return reader_.BreakHeld(); }

    // Card memory, 0x40000 bytes, 0xFF when erased.
    const std::vector<uint8_t>& Memory() const { return card_.Memory(); }
    // The card byte at `address` (below 0x40000) loses a bit (bit 0 flips),
    // as a worn cell does, with nothing on the line to show it.
    void DamageCard(uint32_t address) { card_.Damage(address); }
    // Writes the card's memory to memory=FILE now (true without one). False
    // with `error` set when it cannot; FILE is then as it was.
    bool SaveMemory(std::string& error) const { return card_.SaveMemory(error); }

    // Blocks until every byte written so far has left the line (what a
    // driver's drain waits for); returns at once when nothing is queued.
    // False when the port has vanished.
    bool WaitUntilSent();

    // Observation for tests.
    const std::vector<WriteRecord>& Writes() const { return writes_; }
    const std::vector<LineEvent>& LineHistory() const { return lineHistory_; }
    // Block write frames the loader understood (stored), whatever happened
    // to their acknowledgement; block read frames it answered.
    int BlockWrites() const { return card_.BlockWrites(); }
    int BlockReads() const { return card_.BlockReads(); }
    // Stops recording host writes (the production reader lives for the whole
    // program and need not keep them); counters are kept either way.
    void SetRecording(bool on) { recording_ = on; }
    // Where the reader says what it cannot do (a memory file it cannot write
    // back when it goes); null: nowhere.
    void SetNotes(std::ostream* notes) { notes_ = notes; }

    // The speed window of the loader in force (knob, else by clock code).
    std::pair<uint32_t, uint32_t> LoaderWindow() const { return reader_.LoaderWindow(); }
    // The card's base settings at the current clock code.
    LineFormat BaseFormat() const { return reader_.BaseFormat(); }

private:
    friend class SimulatorPort;

    // Processes everything that happens up to time t.
    void Advance(int64_t t);
    int64_t NextEventTime() const;
    // Processes the event due at `e`, which NextEventTime() has just given.
    void ProcessEvent(int64_t e);
    // Processes events until a byte arrives at or before `limit`; returns its
    // arrival time, or kNever when none arrives by then. Stops at a vanish.
    int64_t NextArrival(int64_t limit);

    // Host side, called by the handle at `now`.
    void HandleClosed();
    void HostWrite(int64_t now, const uint8_t* bytes, uint32_t count);
    void HostSetState(int64_t now, const LineSettings& s);
    void SetRtsLevel(int64_t now, bool level);
    void SetDtrLevel(int64_t now, bool level);
    void HostSetBreak(int64_t now);
    void HostClearBreak(int64_t now);
    void HostPurge(int64_t now, uint32_t flags);
    uint32_t ModemStatus(int64_t now);
    // Something the person can see the program do on the line.
    void ProgramActs(int64_t now);

    // The slot.
    void InsertAt(int64_t t);
    void RemoveAt(int64_t t);
    // When the person at the slot acts next (kNever: not until the program
    // does something), and the act.
    int64_t PersonDue() const;
    void PersonActs(int64_t t);

    Clock& clock_;
    SimOptions options_;
    Random random_;
    sim::Card card_;
    Wire wire_;
    Reader reader_;

    // The port.
    bool handleOpen_ = false;
    uint64_t handleId_ = 0;  // counts opens; names the handle open now
    bool vanished_ = false;
    int64_t vanishAt_ = kNever;
    bool everOpened_ = false;
    int64_t lastNow_ = 0;      // latest time any call has seen
    int64_t lastEventAt_ = 0;  // latest event processed
    bool rts_ = true;
    bool dtr_ = true;

    // Slot scripts.
    int64_t removeAt_ = kNever;
    int64_t insertAt_ = kNever;
    bool removeArmed_ = false;
    bool insertArmed_ = false;
    // The person: the start of the quiet being watched, and the quiet the
    // person has already acted on (or let pass).
    int64_t quietSince_ = 0;
    int64_t quietSeen_ = -1;

    // Observation.
    bool recording_ = true;
    std::ostream* notes_ = nullptr;
    std::vector<WriteRecord> writes_;
    std::vector<LineEvent> lineHistory_;
};

// One open handle on a SimulatedReader. Every call first brings the reader
// up to the current time. All calls fail once the port has vanished.
// Read honours the timeouts: all zero, or interval kMaxDword with the others
// 0, returns at once with what has arrived; interval and multiplier kMaxDword
// with constant c returns at once with what has arrived, else waits for the
// first byte up to c ms (then returns it and whatever else has arrived by
// then), else returns 0 bytes; other combinations follow the Win32 rules
// (total = multiplier x count + constant, interval between bytes).
// Destroying the handle closes it (see SimulatedReader: it waits for the
// output to leave the line).
class SimulatorPort final : public CommPort {
public:
    explicit SimulatorPort(std::shared_ptr<SimulatedReader> reader, std::shared_ptr<PortFailures> failures = nullptr);
    ~SimulatorPort() override;

    bool SetTimeouts(const CommTimeouts& timeouts) override;
    bool SetupQueues(uint32_t inQueue, uint32_t outQueue) override;
    bool GetState(LineSettings& settings) override;
    // A change of speed or format applies to the bytes still queued too.
    bool SetState(const LineSettings& settings) override;
    bool Escape(uint32_t function) override;
    bool SetBreak() override;
    bool ClearBreak() override;
    bool GetModemStatus(uint32_t& status) override;
    bool Purge(uint32_t flags) override;
    bool Read(uint8_t* buffer, uint32_t count, uint32_t& bytesRead) override;
    bool Write(const uint8_t* buffer, uint32_t count, uint32_t& bytesWritten) override;
    // Blocks until every byte written has left the line, as tcdrain does;
    // false when the port has vanished.
    bool WaitUntilSent() override;
    // The adapter's latency timer of the latency= option (0: none).
    std::optional<uint32_t> LatencyTimerMs() override;

private:
    // Brings the reader to the current time; false when the port has vanished.
    bool Enter(int64_t& now);

    std::shared_ptr<SimulatedReader> reader_;
    std::shared_ptr<PortFailures> failures_;
    CommTimeouts timeouts_{};
};

// Opens the simulated reader by COM device name (".\COMn", "\\.\COMn"). Only
// port options.port exists; the device is exclusive, as CreateFileA with
// share mode 0. Its handles record a vanished port in Failures().
class SimulatorOpener final : public CommPortOpener {
public:
    explicit SimulatorOpener(Clock& clock, SimOptions options = {});
    std::unique_ptr<CommPort> Open(const std::string& deviceName) override;
    // Successful opens so far.
    int OpenCount() const { return openCount_; }
    SimulatedReader& Reader() { return *reader_; }
    const std::shared_ptr<PortFailures>& Failures() const { return failures_; }

private:
    std::shared_ptr<SimulatedReader> reader_;
    std::shared_ptr<PortFailures> failures_ = std::make_shared<PortFailures>();
    int openCount_ = 0;
};

}  // namespace sim
