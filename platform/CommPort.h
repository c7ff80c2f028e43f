#pragma once
// The port layer: one open serial device, in the shape of the Win32 serial
// calls the channel is written against. Every transport (POSIX terminal,
// Win32 COM port, RFC 2217 network port, the built-in simulator) is one
// implementation of CommPort, and the channel never knows which one it has.
//
// The constants below carry the Win32 values under names of our own, so this
// header never collides with <windows.h>.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// Read/write timeouts, fields in Win32 COMMTIMEOUTS order.
struct CommTimeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

// Line settings, the fields of a Win32 DCB that matter to a serial line.
struct LineSettings {
    uint32_t BaudRate = 9600;
    bool fBinary = true;
    bool fParity = false;
    bool fOutxCtsFlow = false;
    bool fOutxDsrFlow = false;
    uint8_t fDtrControl = 0;  // kDtrControl*
    bool fDsrSensitivity = false;
    bool fTXContinueOnXoff = false;
    bool fOutX = false;
    bool fInX = false;
    bool fErrorChar = false;
    bool fNull = false;
    uint8_t fRtsControl = 0;  // kRtsControl*
    bool fAbortOnError = false;
    uint16_t XonLim = 2048;
    uint16_t XoffLim = 512;
    uint8_t ByteSize = 8;
    uint8_t Parity = 0;    // kNoParity ...
    uint8_t StopBits = 0;  // kOneStopBit ...
    char XonChar = 0x11;
    char XoffChar = 0x13;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
};

// Stop-bit codes.
constexpr uint8_t kOneStopBit = 0;
constexpr uint8_t kOne5StopBits = 1;
constexpr uint8_t kTwoStopBits = 2;
// Parity codes.
constexpr uint8_t kNoParity = 0;
constexpr uint8_t kOddParity = 1;
constexpr uint8_t kEvenParity = 2;
constexpr uint8_t kMarkParity = 3;
constexpr uint8_t kSpaceParity = 4;
// DTR and RTS control modes.
constexpr uint8_t kDtrControlDisable = 0;
constexpr uint8_t kDtrControlEnable = 1;
constexpr uint8_t kDtrControlHandshake = 2;
constexpr uint8_t kRtsControlDisable = 0;
constexpr uint8_t kRtsControlEnable = 1;
constexpr uint8_t kRtsControlHandshake = 2;
constexpr uint8_t kRtsControlToggle = 3;
// Escape functions.
constexpr uint32_t kEscSetRts = 3;
constexpr uint32_t kEscClrRts = 4;
constexpr uint32_t kEscSetDtr = 5;
constexpr uint32_t kEscClrDtr = 6;
// Modem status bits.
constexpr uint32_t kMsCtsOn = 0x10;
constexpr uint32_t kMsDsrOn = 0x20;
constexpr uint32_t kMsRingOn = 0x40;
constexpr uint32_t kMsRlsdOn = 0x80;  // carrier detect: the reader's slot is empty
// Purge flags.
constexpr uint32_t kPurgeTxAbort = 0x0001;
constexpr uint32_t kPurgeRxAbort = 0x0002;
constexpr uint32_t kPurgeTxClear = 0x0004;
constexpr uint32_t kPurgeRxClear = 0x0008;

// One open serial device: the handle. Destroying it closes the device.
// All calls return true on success, like their Win32 counterparts; a device
// that has gone away answers every call with false.
class CommPort {
public:
    virtual ~CommPort() = default;

    virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;
    // Driver queue sizes in bytes.
    virtual bool SetupQueues(uint32_t inQueue, uint32_t outQueue) = 0;
    // Reads the current line settings (GetCommState).
    virtual bool GetState(LineSettings& settings) = 0;
    // Applies line settings (SetCommState); fRtsControl and fDtrControl set
    // the RTS and DTR levels.
    virtual bool SetState(const LineSettings& settings) = 0;
    // kEscSetRts, kEscClrRts, kEscSetDtr, kEscClrDtr.
    virtual bool Escape(uint32_t function) = 0;
    virtual bool SetBreak() = 0;
    virtual bool ClearBreak() = 0;
    // kMs* bits of the modem status lines.
    virtual bool GetModemStatus(uint32_t& status) = 0;
    // kPurge* flags; kPurgeRxClear discards what has been received and not
    // yet read.
    virtual bool Purge(uint32_t flags) = 0;
    // Reads at most `count` bytes into `buffer`, honouring the timeouts in
    // force. With the channel's timeouts (interval and multiplier kMaxDword,
    // constant c): returns at once with what is waiting; when nothing is
    // waiting, returns as soon as one byte arrives, or after c ms with none.
    virtual bool Read(uint8_t* buffer, uint32_t count, uint32_t& bytesRead) = 0;
    // Writes `count` bytes; may return before they have left the line.
    virtual bool Write(const uint8_t* buffer, uint32_t count, uint32_t& bytesWritten) = 0;
    // Blocks until every byte handed to Write has left the line, as far as
    // the transport can see (tcdrain, FlushFileBuffers), so that a change of
    // line settings made afterwards cannot reach them. Reads nothing,
    // discards nothing and moves no control line. Blocks for as long as the
    // queued bytes take on the wire (the driver may bound it); false when the
    // device fails. A transport that cannot see the far end's line (a network
    // reader) returns once every byte has been handed on; the caller then
    // waits out the bytes' wire time itself (platform/LineTiming.h).
    virtual bool WaitUntilSent() = 0;
    // The adapter's latency timer in milliseconds: the longest a USB serial
    // adapter holds bytes it has received before passing them to the host.
    // std::nullopt when it is not known (most transports cannot tell); 0 for
    // an adapter that passes every byte on at once. Changes nothing.
    virtual std::optional<uint32_t> LatencyTimerMs() = 0;
};

// Opens devices by their Win32 device name (".\COM3", "\\.\COM12"), as
// CreateFileA would: exclusive, read and write, existing devices only.
class CommPortOpener {
public:
    virtual ~CommPortOpener() = default;
    // Returns the open device, or nullptr when it cannot be opened (no such
    // device, or in use).
    virtual std::unique_ptr<CommPort> Open(const std::string& deviceName) = 0;
};
