#pragma once
// The USB reader and the Torvik loader card in its slot, as seen from the
// serial line, behind the ordinary port interface.
//
// SimulatedReader is the device: reader state, card slot, card memory and
// loader. It lives as long as its owner wants (across any number of opens).
// SimulatorPort is one open handle on it; SimulatorOpener opens handles by
// COM device name. Nothing runs in the background: the reader works out from
// the clock what has happened on the line by the time of each call, and a
// read that must wait sleeps on the clock (a virtual clock jumps) until the
// next byte arrives or the read timeout passes.
//
// What the wire carries:
// - Every byte takes its line time (start bit, data bits, parity bit if any,
//   stop bits) at the settings in force when it was written; bytes written
//   in one go leave back to back. Writes return at once. Every byte sent is
//   echoed to the host when it has been sent, ahead of any answer. Answers
//   start a turnaround after the last byte of the frame and take their own
//   line time.
// - A new reader starts at 9600 8N1 with RTS and DTR high. Bytes whose time
//   on the line ends while a break is held are lost.
// - Carrier detect (kMsRlsdOn) is set while the slot is empty.
// - A break held 1.1 s or more makes the reader enter setup mode; it answers
//   0x06 50 ms after the break ends (breakanswer=). In setup mode, at 9600 8N1 only:
//   "2A 41" -> 01 00 10 06; "2A 42 xx" -> 06 (xx recorded as setting byte);
//   "2A 43" -> 06 and the reader works in the recorded mode (15 and no change
//   when no setting byte was given since setup mode began).
// - Set up in Phoenix mode (setting bit 7 clear) with a clock code of 1-3,
//   the reader passes bytes to and from the card. In SmartMouse mode, or with
//   clock code 0, the card is not reached.
// - RTS high holds the card in reset; dropping RTS releases it and it sends
//   its answer-to-reset 20 ms later (atrdelay=, atrgap=) at the base settings (5728 baud at clock
//   code 1 or 2, 9600 at code 3; 8 data bits, no parity, 2 stop bits). A host
//   line at other settings receives the bytes corrupted (speed within a
//   factor of 2) or nothing.
// - After a reset, "01 02 EA" at the base settings starts the loader, which
//   takes frames at 8 data bits, mark parity, 2 stop bits at a speed inside
//   its window; bytes in any other format are not understood and abandon the
//   frame in hand, as does a pause of more than two byte times inside a frame.
//   Block write FF 00 13 A2 A1 A0 <16 data> AA -> FF 00 C0. Block read
//   FE 00 03 A2 A1 A0 AA -> FE 13 A2 A1 A0 <16 data> AA (22 bytes).
//   Malformed frames (wrong fixed bytes, address not a multiple of 16 or
//   above 0x3FFF0) get no answer. A reset (RTS raised), removal of the card
//   or a new setup ends the loader.
// - Closing a handle changes no line level except a break still held, which
//   ends; the card and the loader carry on. Bytes still queued for sending go
//   out (and are acted on), but nothing coming back for one handle - echo or
//   answer - ever reaches a later one: a new handle starts with an empty
//   input queue, as a reopened port does.
// - With openlines=1 every open raises RTS and DTR (as a serial driver does),
//   so the card is reset unless RTS was high already; and an open comes only
//   after the bytes written through the previous handle have left the line,
//   as a driver's close waits for them.
// - With latency=MS the bytes for the host pass through a USB adapter that
//   holds them until its latency timer, which fires every MS ms, fires or 62
//   bytes (one packet) have gathered.

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/CommPort.h"
#include "simulator/SimOptions.h"

namespace sim {

constexpr uint32_t kCardMemorySize = 0x40000;

// Line format of one byte on the wire.
struct LineFormat {
    uint32_t baud = 9600;
    uint8_t dataBits = 8;
    uint8_t parity = kNoParity;
    uint8_t stopBits = kOneStopBit;

    static LineFormat Of(const LineSettings& s) { return {s.BaudRate, s.ByteSize, s.Parity, s.StopBits}; }
    // Nanoseconds one byte occupies on the line: 1 start bit, the data bits,
    // 1 parity bit unless parity is none, and 1, 1.5 or 2 stop bits.
    int64_t ByteNanos() const;
    // Same data bits, parity and stop bits, and a speed within 2 % of `other`.
    bool Matches(const LineFormat& other) const;
};

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

enum class CardState {
    Absent,  // slot empty
    Idle,    // in the slot, not running: held in reset, or not reached
    Ready,   // answered its reset, waiting for the loader start command
    Loader,  // loader running, taking block frames
};

class SimulatedReader : public std::enable_shared_from_this<SimulatedReader> {
public:
    explicit SimulatedReader(Clock& clock, SimOptions options = {});
    SimulatedReader(const SimulatedReader&) = delete;
    SimulatedReader& operator=(const SimulatedReader&) = delete;

    // Opens a handle (the reader must be owned by a shared_ptr). Null when the
    // port has vanished or a handle is already open.
    std::unique_ptr<CommPort> OpenHandle();
    bool HandleOpen() const { return handleOpen_; }

    // Fault switches and knobs. Fault switches, atr, window, turnaround,
    // breakjunk and the slot scripts' delays take effect from the next time
    // they are consulted; card, setup and seed are read at construction,
    // vanish at the first open, port by SimulatorOpener.
    SimOptions& Options() { return options_; }
    Clock& GetClock() { return clock_; }

    // The slot. Both act at the current time; a removal ends whatever the
    // card was sending.
    bool CardPresent() const { return card_ != CardState::Absent; }
    void InsertCard();
    void RemoveCard();
    CardState Card() const { return card_; }
    // The port disappears: calls on open handles fail from now on, opens fail.
    void Vanish() { vanished_ = true; }
    bool Vanished() const { return vanished_; }

    // Reader state.
    bool InSetupMode() const { return setupMode_; }
    // True once "2A 43" has been accepted (or setup= given), until the next
    // setup mode.
    bool SetUp() const { return working_; }
    // The setting byte last recorded by "2A 42 xx" (or setup=).
    std::optional<uint8_t> SettingByte() const { return settingByte_; }
    bool Rts() const { return rts_; }
    bool Dtr() const { return dtr_; }
    bool BreakHeld() const { return breakHeld_; }

    // Card memory, 0x40000 bytes, 0xFF when erased.
    const std::vector<uint8_t>& Memory() const { return memory_; }

    // Observation for tests.
    const std::vector<WriteRecord>& Writes() const { return writes_; }
    const std::vector<LineEvent>& LineHistory() const { return lineHistory_; }
    // Block write frames the loader understood (stored), whatever happened
    // to their acknowledgement; block read frames it answered.
    int BlockWrites() const { return blockWrites_; }
    int BlockReads() const { return blockReads_; }
    // Stops recording host writes (the production reader lives for the whole
    // program and need not keep them); counters are kept either way.
    void SetRecording(bool on) { recording_ = on; }

    // The speed window of the loader in force (knob, else by clock code).
    std::pair<uint32_t, uint32_t> LoaderWindow() const;
    // The card's base settings at the current clock code.
    LineFormat BaseFormat() const;

private:
    friend class SimulatorPort;

    enum class Source : uint8_t { Echo, Reader, Card };
    struct RxByte {
        int64_t at;  // arrival at the host, µs
        uint8_t value;
        Source source;
    };
    struct TxByte {
        int64_t start;  // µs
        int64_t end;
        uint8_t value;
        LineFormat format;
        uint64_t handle;  // the handle that wrote it
    };

    static constexpr int64_t kNever = INT64_MAX;

    // Processes everything that happens on the line up to time t.
    void Advance(int64_t t);
    int64_t NextEventTime() const;
    void ProcessNextEvent();
    // Processes events until a byte arrives at or before `limit`; returns its
    // arrival time, or kNever when none arrives by then. Stops at a vanish.
    int64_t NextArrival(int64_t limit);
    // Moves arrived bytes (at <= now) to the caller, up to count; enforces
    // the input queue size first.
    uint32_t Take(uint8_t* buffer, uint32_t count, int64_t now);

    // Host side, called by the handle.
    void HandleClosed();
    void HostWrite(int64_t now, const uint8_t* bytes, uint32_t count);
    void HostSetState(int64_t now, const LineSettings& s);
    void SetRtsLevel(int64_t now, bool level);
    // When a byte that reaches the adapter at wireAt reaches the host.
    int64_t AdapterDelay(int64_t wireAt);
    void SetDtrLevel(int64_t now, bool level);
    void HostSetBreak(int64_t now);
    void HostClearBreak(int64_t now);
    void PurgeRx(int64_t now);
    void PurgeTx(int64_t now);
    uint32_t ModemStatus(int64_t now);

    // Reader side.
    void ByteReceived(const TxByte& sent);
    void SetupByte(const TxByte& b);
    void CardByte(const TxByte& b);
    void LoaderFrame(const TxByte& last);
    void EnterSetupMode(int64_t now);
    void ReleaseReset(int64_t now);
    void InsertAt(int64_t t);
    // With follow=1: a program that keeps looking at the slot makes the person
    // take the card out or put one in.
    void FollowPrompt(int64_t now);
    void RemoveAt(int64_t t);
    bool CardReachable() const;
    // Queues reader or card bytes towards the host, starting no earlier than
    // `from` (µs) and after whatever the reader is still sending, each taking
    // its line time at `sent`. The host's current settings decide whether they
    // arrive intact, corrupted or not at all; only `handle` can receive them.
    void Send(int64_t from, const uint8_t* bytes, size_t n, const LineFormat& sent, Source source,
              uint64_t handle);
    void Deliver(int64_t at, uint8_t value, Source source, uint64_t handle);
    // Send for an answer: applies the split= knob, and puts `gapMicros`
    // between its bytes.
    void SendAnswer(int64_t from, const uint8_t* bytes, size_t n, const LineFormat& sent, Source source,
                    uint64_t handle, int64_t gapMicros = 0);
    // Start of an answer `ms` after `end` (µs), or a turnaround after it when
    // ms is -1.
    int64_t AnswerFrom(int64_t end, int64_t ms) const;
    // Drops card bytes not yet arrived (reset, removal).
    void CancelCardBytes(int64_t now);
    bool Chance(double p);
    uint64_t NextRandom();
    uint8_t FlipRandomBit(uint8_t v);

    Clock& clock_;
    SimOptions options_;
    uint64_t rng_;

    // Host side of the port.
    bool handleOpen_ = false;
    uint64_t handleId_ = 0;  // counts opens; names the handle open now
    bool vanished_ = false;
    int64_t vanishAt_ = kNever;
    bool everOpened_ = false;
    LineSettings settings_{};  // the driver's settings, kept across opens
    uint32_t inQueue_ = 8192;
    int64_t lastNow_ = 0;      // latest time any call has seen
    int64_t lastEventAt_ = 0;  // latest event processed

    // The wire.
    std::deque<TxByte> tx_;
    int64_t txFreeNs_ = 0;
    std::deque<RxByte> rx_;
    int64_t rxFreeNs_ = 0;
    // The adapter's packet being gathered (latency=MS).
    int packetCount_ = 0;
    int64_t packetDue_ = 0;
    int64_t lastByteEnd_ = 0;  // end of the last byte the reader received, µs

    // Control lines.
    bool rts_ = true;
    bool dtr_ = true;
    bool breakHeld_ = false;
    int64_t breakStart_ = 0;
    uint64_t breakHandle_ = 0;
    int64_t junkAt_ = kNever;

    // Reader.
    bool setupMode_ = false;
    bool working_ = false;
    std::optional<uint8_t> settingByte_;
    bool settingGiven_ = false;  // a setting byte arrived in this setup mode
    std::vector<uint8_t> setupFrame_;

    // Slot scripts.
    int64_t removeAt_ = kNever;
    int64_t insertAt_ = kNever;
    bool removeArmed_ = false;
    bool insertArmed_ = false;
    // The person who follows the prompts: the card in the slot has been there
    // since the start or has been released from reset since it was put in,
    // so a look at the slot means the program wants it out.
    bool cardUsed_ = true;
    bool lookedPresent_ = false;  // the slot as the program last saw it
    int64_t firstLookAt_ = -1;    // the first look at that state, µs

    // Card.
    CardState card_ = CardState::Idle;
    std::vector<uint8_t> memory_;
    std::vector<uint8_t> frame_;  // loader start command or loader frame in hand

    // Observation.
    bool recording_ = true;
    std::vector<WriteRecord> writes_;
    std::vector<LineEvent> lineHistory_;
    int blockWrites_ = 0;
    int blockReads_ = 0;
};

// One open handle on a SimulatedReader. Every call first brings the reader
// up to the current time. All calls fail once the port has vanished.
// Read honours the timeouts: all zero, or interval kMaxDword with the others
// 0, returns at once with what has arrived; interval and multiplier kMaxDword
// with constant c returns at once with what has arrived, else waits for the
// first byte up to c ms (then returns it and whatever else has arrived by
// then), else returns 0 bytes; other combinations follow the Win32 rules
// (total = multiplier x count + constant, interval between bytes).
class SimulatorPort final : public CommPort {
public:
    explicit SimulatorPort(std::shared_ptr<SimulatedReader> reader);
    ~SimulatorPort() override;

    bool SetTimeouts(const CommTimeouts& timeouts) override;
    bool SetupQueues(uint32_t inQueue, uint32_t outQueue) override;
    bool GetState(LineSettings& settings) override;
    bool SetState(const LineSettings& settings) override;
    bool Escape(uint32_t function) override;
    bool SetBreak() override;
    bool ClearBreak() override;
    bool GetModemStatus(uint32_t& status) override;
    bool Purge(uint32_t flags) override;
    bool Read(uint8_t* buffer, uint32_t count, uint32_t& bytesRead) override;
    bool Write(const uint8_t* buffer, uint32_t count, uint32_t& bytesWritten) override;
    // Sleeps until the bytes written have left the line; the latency= option.
    bool WaitUntilSent() override;
    std::optional<uint32_t> LatencyTimerMs() override;

private:
    // Brings the reader to the current time; false when the port has vanished.
    bool Enter(int64_t& now);

    std::shared_ptr<SimulatedReader> reader_;
    CommTimeouts timeouts_{};
};

// Opens the simulated reader by COM device name (".\COMn", "\\.\COMn"). Only
// port options.port exists; the device is exclusive, as CreateFileA with
// share mode 0.
class SimulatorOpener final : public CommPortOpener {
public:
    explicit SimulatorOpener(Clock& clock, SimOptions options = {});
    std::unique_ptr<CommPort> Open(const std::string& deviceName) override;
    // Successful opens so far.
    int OpenCount() const { return openCount_; }
    SimulatedReader& Reader() { return *reader_; }

private:
    std::shared_ptr<SimulatedReader> reader_;
    int openCount_ = 0;
};

}  // namespace sim
