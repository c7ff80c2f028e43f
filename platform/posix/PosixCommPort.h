#pragma once
// The port layer over a POSIX terminal device: a USB serial adapter
// (/dev/ttyUSB0, /dev/ttyACM0, /dev/cu.usbserial-*) or a pseudo-terminal
// (/dev/pts/N) that bridges to a port elsewhere.
//
// The device is opened without blocking and without becoming the controlling
// terminal, taken for exclusive use (TIOCEXCL and an flock lock, so a second
// open of the same device fails as a COM port in use does), and put in raw
// mode: no echo, no line editing, no signals, no CR/LF translation, no
// software or hardware flow control, modem lines ignored for reception.
//
// Devices without modem lines. A pseudo-terminal has no RTS, DTR or carrier
// detect, and carries bytes rather than line frames: it keeps the speed and
// stop bits it is given but holds 8 data bits without parity whatever it is
// asked (Linux). So that the channel opens bridged ports in every line
// format, SetState ignores on such a device the RTS and DTR levels it cannot
// take and the data bits and parity it does not keep, and GetState reports
// those as last set. Escape reports RTS and DTR requests on it as failed, and
// GetModemStatus fails, which the channel reads as an empty card slot.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/CommPort.h"
#include "platform/PortFailure.h"
#include "platform/posix/SystemCalls.h"

class PosixCommPort final : public CommPort {
public:
    // Opens the terminal at `path` for exclusive use in raw mode, asking a
    // device with modem lines for low latency (see AskForLowLatency). Returns
    // nullptr when the path does not exist, is not a terminal, or the device
    // is in use, and records why in `failures` (may be null). Never blocks
    // (not even for a carrier). Every system call of the port, from the open
    // to the close, goes through `calls` (the system's own unless a test plays
    // an adapter; the table is copied). The port keeps `failures` and records
    // there what it refuses and when its device goes away.
    static std::unique_ptr<PosixCommPort> Open(const std::string& path,
                                               const PosixSystemCalls& calls = RealSystemCalls(),
                                               std::shared_ptr<PortFailures> failures = nullptr);

    // Closes the device and releases it for the next user.
    ~PosixCommPort() override;
    PosixCommPort(const PosixCommPort&) = delete;
    PosixCommPort& operator=(const PosixCommPort&) = delete;

    // Stores the timeouts for later reads and writes; never fails.
    bool SetTimeouts(const CommTimeouts& timeouts) override;
    // The terminal driver's queues are fixed; succeeds while the device is
    // still there.
    bool SetupQueues(uint32_t inQueue, uint32_t outQueue) override;
    // Speed, data bits, parity, stop bits and parity checking as the terminal
    // has them now; all other fields as last set by SetState (defaults before
    // that). A 5-bit line with two stop bits set reads as one and a half.
    // On a device without modem lines, data bits and parity as last set.
    bool GetState(LineSettings& settings) override;
    // Applies speed (any speed the system can make), data bits 5 to 8, parity
    // none/odd/even/mark/space (mark and space where the system has CMSPAR),
    // stop bits, parity checking (fParity: bytes with parity errors arrive
    // as 0; otherwise every byte arrives as received), and the RTS and DTR
    // levels of fRtsControl/fDtrControl (enable = high, disable = low).
    // One and a half stop bits are sent as two on 6- to 8-bit lines (a UART
    // makes one and a half only on 5-bit lines); two stop bits on a 5-bit line
    // cannot be made and are refused. Refused as well, before anything
    // changes: speed 0, other sizes or parity codes, flow control of any kind
    // (CTS/DSR, XON/XOFF, DTR or RTS handshake, RTS toggle). A refused speed
    // returns false with the other settings already applied, and so does a
    // format the driver did not take as asked (a driver without mark and
    // space parity, for one) or a speed the driver set more than 2 % away
    // from the one asked (read back after setting it). Each refusal by the
    // driver records its reason (platform/PortFailure.h).
    bool SetState(const LineSettings& settings) override;
    // kEscSetRts/kEscClrRts/kEscSetDtr/kEscClrDtr; false on a device without
    // modem lines and for other functions.
    bool Escape(uint32_t function) override;
    // A driver that cannot send a break (ENOTTY, EOPNOTSUPP, EPIPE) records
    // why (platform/PortFailure.h); a device that has gone, that it went.
    bool SetBreak() override;
    bool ClearBreak() override;
    // Carrier detect (kMsRlsdOn), CTS, DSR and ring. False on a device
    // without modem lines (a pseudo-terminal). False as well, recording that
    // the device went away, when the driver answers EIO or ENODEV (an
    // unplugged adapter).
    bool GetModemStatus(uint32_t& status) override;
    // kPurgeRxClear drops received bytes not yet read, kPurgeTxClear bytes
    // not yet sent; the abort flags have nothing to cancel (every read and
    // write completes before returning).
    bool Purge(uint32_t flags) override;
    // Reads by the stored timeouts, on the real clock:
    //  - interval and multiplier kMaxDword, constant c (the channel's read):
    //    returns at once with what is waiting, up to `count`; with nothing
    //    waiting, returns with what has arrived as soon as a byte comes, or
    //    after c ms with none (c = kMaxDword waits without limit, c = 0 not
    //    at all);
    //  - interval kMaxDword, multiplier and constant 0, or all three 0:
    //    returns at once with what is waiting (0 bytes is success);
    //  - otherwise reads until `count` bytes have come, the total time
    //    multiplier x count + constant has passed (no limit when both are 0)
    //    or, once a byte has come, no further byte has come for the interval
    //    (no limit when it is 0 or kMaxDword).
    // A timeout is success with the bytes read so far. Returns false when the
    // device fails or has hung up and nothing was read, and records that the
    // device went away; bytes read before such a failure are returned first,
    // and the next read fails.
    bool Read(uint8_t* buffer, uint32_t count, uint32_t& bytesRead) override;
    // Writes all bytes, waiting for room in the driver's queue for at most
    // the write timeouts (multiplier x count + constant ms; no limit when both
    // are 0). A timeout is success with the count written so far; a device
    // error or hang-up is failure. May return before the bytes have left the
    // line.
    bool Write(const uint8_t* buffer, uint32_t count, uint32_t& bytesWritten) override;
    // tcdrain, resumed when a signal interrupts it: returns when the driver
    // has sent its output queue (Linux drivers that can, such as ftdi_sio
    // and cp210x, also wait for the chip's transmit buffer). A device that
    // has gone records it and gives false.
    bool WaitUntilSent() override;
    // The adapter's latency timer as its driver shows it in sysfs
    // (latency_timer, which Open sets to 1 ms where it may); unknown on a
    // device without modem lines or without that attribute.
    std::optional<uint32_t> LatencyTimerMs() override;

    // The open descriptor (for tests and diagnostics).
    int Descriptor() const { return fd_; }

private:
    PosixCommPort(int fd, bool modemLines, const PosixSystemCalls& calls, std::shared_ptr<PortFailures> failures)
        : sys_(calls), failures_(std::move(failures)), fd_(fd), modemLines_(modemLines)
    {
    }

    // Records that the device went away; always false.
    bool ReportGone();
    // Records why a line setting was refused; always false.
    bool Refuse(const std::string& why);
    // Low latency on open (Linux: ASYNC_LOW_LATENCY and the adapter's sysfs
    // latency_timer set to 1 ms where writable); RestoreLatency puts back
    // what was there, at the final close.
    void AskForLowLatency();
    void RestoreLatency();

    PosixSystemCalls sys_;
    std::shared_ptr<PortFailures> failures_;
    int fd_;
    std::string path_;
    bool restoreLowLatency_ = false;
    std::string latencyTimerBefore_;  // empty: not changed
    // False for a device that answers no modem-line request (a
    // pseudo-terminal); see above.
    bool modemLines_;
    CommTimeouts timeouts_{};
    LineSettings settings_{};
};
