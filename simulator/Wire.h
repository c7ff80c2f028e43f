#pragma once
// The serial line between the host's port and the reader, both ways: line
// timing, the port's transmit and input queues, and the USB adapter between
// the line and the host.
//
// Host to reader. A write puts its bytes in the port's transmit queue and
// returns at once. The port's UART sends them back to back, each taking its
// line time (start bit, data bits, parity bit if any, stop bits) at the line
// settings in force while it is on the wire. A change of speed or format
// while bytes are queued applies to every byte not yet started; the byte
// going out at that moment is garbled (its first bits at one setting, the
// rest at the other), and no receiver understands it.
//
// Reader to host. The echo of each host byte arrives when that byte has
// left the line. Bytes the reader or the card send take their line time at
// their own format, one after another on the reader's side of the line. The
// host's UART judges each byte by the host settings in force while that
// byte is on the wire:
//   - same data bits, parity and stop bits and a speed within 2 %: intact;
//   - otherwise a speed within a factor of 2: a wrong byte;
//   - further off: no byte at all.
// A settings change while a byte is arriving garbles it.
// Only the handle a byte was meant for can receive it; the input queue holds
// SetInputQueue() bytes and what arrives beyond them is lost.
//
// With lostbyte=P a byte for the host is lost on the way (the host's UART
// never frames it: an echo comes back short), with extrabyte=P the host's
// UART frames a random byte more just before it (a glitch on the line: what
// follows comes one position late).
//
// With latency=MS the bytes for the host pass through a USB adapter that
// holds them until its latency timer, which fires every MS ms, fires next,
// or until 62 bytes (one USB packet) have gathered.
//
// The wire keeps no clock: every call names the time it acts at, in µs on
// the simulator's clock, and the caller hands the wire's happenings over in
// time order (NextHostByteEnd, PopHostByte) before it acts at a later time.

#include <cstddef>
#include <cstdint>
#include <deque>

#include "platform/CommPort.h"
#include "simulator/Random.h"
#include "simulator/SimOptions.h"

namespace sim {

constexpr int64_t kNever = INT64_MAX;

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
    bool operator==(const LineFormat& o) const
    {
        return baud == o.baud && dataBits == o.dataBits && parity == o.parity && stopBits == o.stopBits;
    }
    bool operator!=(const LineFormat& o) const { return !(*this == o); }
};

// Where a byte for the host comes from.
enum class Source : uint8_t { Echo, Reader, Card };

// A host byte as it reached the reader's end of the line.
struct HostByte {
    int64_t start;      // µs
    int64_t end;        // µs
    uint8_t value;
    LineFormat format;  // the host's settings while it was on the wire
    bool garbled;       // the settings changed while it was on the wire
    uint64_t handle;    // the handle that wrote it

    // Whether a receiver listening at `f` takes it as the byte sent.
    bool UnderstoodAt(const LineFormat& f) const { return !garbled && format.Matches(f); }
};

// Microseconds, rounded up, from nanoseconds.
inline int64_t CeilMicros(int64_t ns) { return (ns + 999) / 1000; }
// Microseconds from a count of milliseconds, saturating far beyond any run.
int64_t MsToMicros(uint64_t ms);
// Start of an answer `ms` milliseconds after `end` (µs), or the turnaround
// after it when ms is -1.
int64_t AnswerStart(const SimOptions& options, int64_t end, int64_t ms);

class Wire {
public:
    // Reads options' noise, lostbyte, extrabyte, silent, latency and split
    // knobs each time they apply; draws noise from `random`.
    Wire(const SimOptions& options, Random& random);

    // ------------------------------------------------------ the host's port
    const LineSettings& HostSettings() const { return settings_; }
    LineFormat HostFormat() const { return LineFormat::Of(settings_); }
    // New settings from `now` on. A change of format re-times the queued
    // bytes and garbles the one going out; bytes arriving are judged anew.
    void SetHostSettings(int64_t now, const LineSettings& settings);
    void SetInputQueue(uint32_t bytes) { inQueue_ = bytes; }
    // The handle that receives from now on (0: none, the port is closed).
    // Empties the input queue: nothing meant for one handle reaches another.
    void Connect(uint64_t handle);

    // -------------------------------------------------- host to the reader
    // Queues `count` bytes written by `handle` at `now`.
    void Write(int64_t now, const uint8_t* bytes, uint32_t count, uint64_t handle);
    // When the next queued byte has reached the reader (µs), kNever when none
    // is queued.
    int64_t NextHostByteEnd() const;
    // Takes that byte off the wire; only after NextHostByteEnd() has come.
    HostByte PopHostByte();
    // When every byte queued so far has left the line: `now` when none is
    // queued. What a drain (tcdrain, FlushFileBuffers) waits for.
    int64_t OutputDoneAt(int64_t now) const;
    bool OutputQueued() const { return !tx_.empty(); }
    // Drops the queued bytes not yet started; the one going out finishes.
    void PurgeOutput(int64_t now);
    // Drops every queued byte (the port is gone).
    void DropOutput();

    // ------------------------------------------------- reader to the host
    // The reader's echo of `b` (already sent), with the value the line
    // carried: arrives at b.end.
    void Echo(const HostByte& b, uint8_t value);
    // Sends an answer from the reader's side, starting no earlier than
    // `from` (µs) and after whatever that side is still sending, each byte
    // taking its line time at `sent`, for `handle` only. Applies split= and
    // puts `gapMicros` between the bytes.
    void SendAnswer(int64_t from, const uint8_t* bytes, size_t n, const LineFormat& sent, Source source,
                    uint64_t handle, int64_t gapMicros = 0);
    // Drops the card's bytes still on their way at `now` (reset, removal).
    void CancelCardBytes(int64_t now);
    // When the next byte the host will receive arrives, if the host settings
    // stay as they are; kNever when none is on its way.
    int64_t NextArrival() const;
    // Moves up to `count` bytes that have arrived by `now` into `buffer`.
    uint32_t Take(uint8_t* buffer, uint32_t count, int64_t now);
    // Discards what has arrived by `now`; bytes still on their way stay.
    void PurgeInput(int64_t now);

private:
    enum class Verdict : uint8_t { Intact, Wrong, Lost };
    struct TxEntry {
        int64_t startNs;
        int64_t endNs;
        uint8_t value;
        LineFormat format;
        bool garbled;
        uint64_t handle;
    };
    struct RxEntry {
        int64_t at;  // arrival at the host, µs
        int64_t wireStartNs;
        int64_t wireEndNs;
        uint8_t value;  // as sent (noise included)
        LineFormat sent;
        Source source;
        Verdict verdict;  // by the host settings while on the wire
    };

    static Verdict Judge(const LineFormat& sent, const LineFormat& host);
    void Send(int64_t from, const uint8_t* bytes, size_t n, const LineFormat& sent, Source source, uint64_t handle);
    void Deliver(int64_t startNs, int64_t endNs, uint8_t value, const LineFormat& sent, Source source,
                 uint64_t handle, bool garbled);
    // Puts a byte for the host in arrival order (behind those arriving at
    // the same time).
    void Enqueue(const RxEntry& r);
    // When a byte that has reached the adapter at wireAt reaches the host.
    int64_t AdapterDelay(int64_t wireAt);

    const SimOptions& options_;
    Random& random_;
    LineSettings settings_{};  // the driver's settings, kept across opens
    uint32_t inQueue_ = 8192;
    uint64_t receiver_ = 0;

    std::deque<TxEntry> tx_;
    int64_t txFreeNs_ = 0;  // when the host's UART is free
    std::deque<RxEntry> rx_;
    int64_t rxFreeNs_ = 0;  // when the reader's side is free to send
    // The adapter's packet being gathered (latency=MS).
    int packetCount_ = 0;
    int64_t packetDue_ = 0;
};

}  // namespace sim
