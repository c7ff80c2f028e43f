#pragma once
// The serial channel: a link's path to its reader. It owns the port,
// turns command text into bytes, collects replies into ReceiveBuffer until a
// byte count is reached or a timeout passes, drives RTS and break, reports the
// card-slot line, and resets the card.
//
// Every exchange has the same shape: SendCommandText (which first empties the
// receive buffer), Receive(expected count, timeout), then the caller reads
// ReceiveCount and ReceiveBuffer directly. The reader echoes every byte it is
// sent, so a reply starts with the echo of the frame.
//
// All waits run on the link's clock and sleep between their turns; message
// processing goes through the link's ProcessPendingMessages(), which may throw
// RunAborted when the run has been asked to stop (serial/ReaderLink.h).
//
// A device that goes away during a run (unplugged, its driver failed, the
// network connection lost) is not a card that does not answer: once the port
// has recorded it in the link's failure record (platform/PortFailure.h), the
// next read that fails
// throws ReaderGone instead of waiting out its time-out, and so does a line
// break that fails. The run ends within a read step of the loss.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/CommPort.h"

// Malformed command text: a pair that is not two hexadecimal digits. Raised
// before anything is emptied or written; the message names the bad pair.
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A command text that would need more than the transmit buffer's 8192 bytes.
// Raised before anything is emptied or written.
class ECommandTooLong : public std::length_error {
public:
    using std::length_error::length_error;
};

// The device went away during the run; what() is the port layer's reason
// ("the network reader went away (connection lost)").
class ReaderGone : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ReaderLink;

class TSerialChannel {
public:
    static constexpr int32_t kBufferSize = 8192;

    // The channel of `link`, which opens its ports and times its waits.
    explicit TSerialChannel(ReaderLink& link);
    TSerialChannel(const TSerialChannel&) = delete;
    TSerialChannel& operator=(const TSerialChannel&) = delete;

    // Bytes received since the last ClearReceiveBuffer, from index 0.
    uint8_t ReceiveBuffer[kBufferSize];
    // The bytes of the command text being sent.
    uint8_t TransmitBuffer[kBufferSize];
    // Number of valid bytes in ReceiveBuffer; only ClearReceiveBuffer sets it
    // back to 0.
    int32_t ReceiveCount = 0;
    // The port's line settings, filled from the driver and changed by Open.
    LineSettings LineSettings_{};
    // The open device; null when the device could not be opened or has been
    // closed (every call on it then fails).
    std::unique_ptr<CommPort> PortHandle;
    bool IsOpen = false;
    // The RTS level chosen last; every Open applies it. True at start-up.
    bool RtsEnabled = true;
    // When read steps next process window messages (ms); 0 at start-up.
    int64_t NextPumpTime = 0;

    // The device name of a port number: ".\COM3" below 10, "\\.\COM12" from
    // 10 on.
    static std::string DeviceName(uint32_t port);

    // Opens the device of `port` through the link's opener unless the channel
    // is open already, then sets
    // the read timeouts (at once with waiting bytes, else up to 250 ms for the
    // first one), queue sizes 8192/8192 and the line format; applies
    // RtsEnabled and holds DTR off. False when the device cannot be opened
    // (channel stays closed) or a setting is refused (channel stays open).
    // Neither empties ReceiveBuffer nor discards the driver's queues.
    bool Open(uint32_t port, uint32_t baud, uint8_t dataBits, uint8_t stopBits, uint8_t parity,
              uint8_t parityChecking);
    // Closes the device if open. Always true; a second Close makes no call.
    bool Close();
    // Converts command text ("01 02 EA"; blanks of code 0x20 or below between
    // pairs optional and ignored at the end, so a single character left over
    // behind the last pair is ignored too) into bytes, empties the receive
    // buffer and writes the bytes in one write. Always true; a failed write is
    // not reported. Throws EConvertError or ECommandTooLong before touching
    // anything.
    bool SendCommandText(const std::string& text);
    // Reads until ReceiveCount reaches n (true) or timeoutMs has passed
    // (false). Processes messages once at its start. The first read step asks
    // for n bytes whatever the buffer holds; the deadline is tested after
    // every step, so one step may run up to 250 ms past it. A read the port
    // fails at once (no device) is waited out like an empty one, up to 250 ms
    // or just past the deadline, so the loop never spins. A read that fails
    // after the device went away (DeviceGone) throws ReaderGone at once, with
    // what arrived before it left in the buffer. Never empties the buffer.
    bool Receive(int32_t n, int32_t timeoutMs);
    // ReceiveCount = 0 and all 8192 bytes zeroed. The driver's queue is left
    // alone.
    void ClearReceiveBuffer();
    // Raise / drop RTS and remember the level in RtsEnabled.
    void SetRts();
    void ClearRts();
    // Hold / end a line break; the system call's success. One that fails
    // after the device went away throws ReaderGone.
    bool SetBreak();
    bool ClearBreak();
    // True while the reader signals an empty card slot (carrier detect set).
    // When the modem status cannot be read the slot is reported empty: the
    // program never claims a card it cannot see. Never throws.
    bool CardSlotEmpty();
    // How the reader signals its slot in the modem status: empty while
    // carrier detect is set.
    static bool SlotEmptyIn(uint32_t modemStatus);
    // True when a device has gone away since the run began (BeginRun,
    // ResetState): unplugged, its driver failed, a dropped connection, as the
    // link's ports have recorded it (platform/PortFailure.h); a wait for the card
    // then has nothing to wait for. Holds across the channel's reopens, for a
    // kept device may come back broken.
    bool DeviceGone() const;
    // A run begins: devices that went away before it no longer count for
    // DeviceGone. Touches nothing else.
    void BeginRun();
    // Wait of ms milliseconds; processes messages on every turn only when
    // ms > 100 (and sleeps straight to the end otherwise).
    void Delay(int32_t ms);
    // Resets the card by an RTS pulse and returns its answer-to-reset as
    // command text (uppercase pairs, single blanks, no trailing blank; empty
    // when nothing came). resetPolarity 0 raises RTS for the reset, 1 drops
    // it, anything else leaves RTS alone; convertInverse 1 decodes the
    // inverse convention. Takes at least 0.68 s; leaves the buffer empty and
    // the channel open.
    std::string ResetCard(uint8_t resetPolarity, uint8_t convertInverse);

    // Decoding of the inverse convention of ISO/IEC 7816-3: bits reversed and
    // complemented. Its own inverse.
    static uint8_t InverseConvention(uint8_t b);

    // Back to the start-up state (closed, buffers zero, RTS level high,
    // NextPumpTime 0, BeginRun). For front ends that start a fresh session
    // and tests.
    void ResetState();

private:
    ReaderLink& link_;
    int32_t ReadStep(int32_t k);
    int64_t NowMs();
    // Throws ReaderGone when the device has gone away.
    void ThrowIfGone() const;
    // Whether the last read step's read failed (or had no port to read).
    bool readFailed_ = false;
    // The link's DeviceGoneReports() when the run began.
    uint64_t goneReportsAtRunStart_ = 0;
};

// Appends b to command text as two uppercase hexadecimal digits and a blank,
// the form every frame is built in ("01 02 EA ").
void AppendCommandByte(std::string& text, uint8_t b);
