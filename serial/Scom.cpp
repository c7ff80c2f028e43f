#include "serial/Scom.h"

#include <algorithm>
#include <cstring>

#include "platform/PortFailure.h"
#include "serial/ReaderLink.h"
#include "serial/Utils.h"

namespace {

// Read timeouts: a read returns at once with what is waiting, or waits up to
// 250 ms for the first byte. Writes may take 2 ms a byte plus 500 ms.
constexpr CommTimeouts kChannelTimeouts{kMaxDword, kMaxDword, 250, 2, 500};
constexpr uint32_t kQueueSize = 8192;
constexpr int64_t kPumpIntervalMs = 10'000;

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Digit table of the inverse convention: the complement of n's four bits in
// reverse order.
constexpr uint8_t kInverseNibble[16] = {0xF, 0x7, 0xB, 0x3, 0xD, 0x5, 0x9, 0x1,
                                        0xE, 0x6, 0xA, 0x2, 0xC, 0x4, 0x8, 0x0};

}  // namespace

void AppendCommandByte(std::string& text, uint8_t b)
{
    static const char kHexDigits[] = "0123456789ABCDEF";
    text += kHexDigits[b >> 4];
    text += kHexDigits[b & 0x0F];
    text += ' ';
}

TSerialChannel::TSerialChannel(ReaderLink& link)
    : link_(link), goneReportsAtRunStart_(link.failures.DeviceGoneReports())
{
    std::memset(ReceiveBuffer, 0, sizeof ReceiveBuffer);
    std::memset(TransmitBuffer, 0, sizeof TransmitBuffer);
}

int64_t TSerialChannel::NowMs() { return link_.clock.NowMs(); }

std::string TSerialChannel::DeviceName(uint32_t port)
{
    return (port < 10 ? ".\\COM" : "\\\\.\\COM") + std::to_string(port);
}

bool TSerialChannel::Open(uint32_t port, uint32_t baud, uint8_t dataBits, uint8_t stopBits, uint8_t parity,
                          uint8_t parityChecking)
{
    // 1-4: the device, unless the channel already holds it.
    const std::string name = DeviceName(port);
    if (!IsOpen) PortHandle = link_.ports.Open(name);
    if (!PortHandle) return false;
    IsOpen = true;

    // 5-7: timeouts, queue sizes, the driver's current settings.
    if (!PortHandle->SetTimeouts(kChannelTimeouts)) return false;
    if (!PortHandle->SetupQueues(kQueueSize, kQueueSize)) return false;
    if (!PortHandle->GetState(LineSettings_)) return false;

    // 8: the line format; no flow control, DTR held off, RTS as chosen last.
    LineSettings& s = LineSettings_;
    s.BaudRate = baud;
    s.fBinary = true;
    s.fParity = (parityChecking & 1) != 0;
    s.fOutxCtsFlow = false;
    s.fOutxDsrFlow = false;
    s.fDtrControl = kDtrControlDisable;
    s.fDsrSensitivity = false;
    s.fTXContinueOnXoff = true;
    s.fOutX = false;
    s.fInX = false;
    s.fErrorChar = false;
    s.fNull = false;
    s.fRtsControl = RtsEnabled ? kRtsControlEnable : kRtsControlDisable;
    s.fAbortOnError = false;
    s.XonLim = 512;
    s.XoffLim = 512;
    s.ByteSize = dataBits;
    s.Parity = parity;
    s.StopBits = stopBits;

    // 9-10.
    if (!PortHandle->SetState(s)) return false;
    IsOpen = true;
    return true;
}

bool TSerialChannel::Close()
{
    if (IsOpen) PortHandle.reset();
    IsOpen = false;
    return true;
}

bool TSerialChannel::SendCommandText(const std::string& text)
{
    // Parse the whole text first: a bad pair or an oversized frame is refused
    // before the receive buffer is touched or anything is written.
    int32_t count = 0;
    std::string::size_type pos = 0;
    std::string::size_type end = text.size();
    while (end - pos >= 2) {
        const char hi = text[pos];
        const char lo = text[pos + 1];
        pos += 2;
        // The rest is trimmed at both ends, so a single character left over
        // behind trailing blanks ("01 0 ") is ignored, not taken as a pair.
        while (pos < end && IsBlank(text[pos])) ++pos;
        while (end > pos && IsBlank(text[end - 1])) --end;
        const int h = HexValue(hi);
        const int l = HexValue(lo);
        if (h < 0 || l < 0)
            throw EConvertError("'0x" + std::string{hi, lo} + "' is not a valid integer value");
        if (count == kBufferSize)
            throw ECommandTooLong("Command text of more than " + std::to_string(kBufferSize) +
                                  " bytes cannot be sent");
        TransmitBuffer[count++] = static_cast<uint8_t>(h * 16 + l);
    }
    // A single character left over is ignored.

    ClearReceiveBuffer();
    uint32_t written = 0;
    if (PortHandle) PortHandle->Write(TransmitBuffer, static_cast<uint32_t>(count), written);
    return true;
}

int32_t TSerialChannel::ReadStep(int32_t k)
{
    // Never beyond the buffer's room.
    const int32_t room = kBufferSize - ReceiveCount;
    const int32_t ask = std::min(k, room);
    readFailed_ = false;
    if (ask > 0) {
        uint32_t got = 0;
        if (PortHandle && PortHandle->Read(ReceiveBuffer + ReceiveCount, static_cast<uint32_t>(ask), got))
            ReceiveCount += static_cast<int32_t>(std::min<uint32_t>(got, static_cast<uint32_t>(ask)));
        else
            readFailed_ = true;
    }
    const int64_t now = NowMs();
    if (now > NextPumpTime) {
        NextPumpTime = now + kPumpIntervalMs;
        link_.ProcessPendingMessages();
    }
    return ReceiveCount;
}

bool TSerialChannel::Receive(int32_t n, int32_t timeoutMs)
{
    const int64_t deadline = NowMs() + timeoutMs;
    link_.ProcessPendingMessages();
    int32_t got = 0;
    for (;;) {
        if (got >= n) return true;
        const int64_t stepStart = link_.clock.NowMicros();
        got = ReadStep(n - got);
        if (readFailed_) ThrowIfGone();
        if (NowMs() > deadline) return false;
        // A failed read (no device, or one that has gone away) returns at
        // once; wait out the read's 250 ms as an empty read would, but never
        // beyond the first millisecond past the deadline, so the Receive ends
        // when it would have ended anyway, without spinning.
        if (readFailed_)
            link_.clock.SleepUntilMicros(
                std::min<int64_t>(stepStart + kChannelTimeouts.ReadTotalTimeoutConstant * 1000, (deadline + 1) * 1000));
    }
}

void TSerialChannel::ClearReceiveBuffer()
{
    ReceiveCount = 0;
    std::memset(ReceiveBuffer, 0, sizeof ReceiveBuffer);
}

void TSerialChannel::SetRts()
{
    if (PortHandle) PortHandle->Escape(kEscSetRts);
    RtsEnabled = true;
}

void TSerialChannel::ClearRts()
{
    if (PortHandle) PortHandle->Escape(kEscClrRts);
    RtsEnabled = false;
}

bool TSerialChannel::SetBreak()
{
    const bool ok = PortHandle && PortHandle->SetBreak();
    if (!ok) ThrowIfGone();
    return ok;
}

bool TSerialChannel::ClearBreak()
{
    const bool ok = PortHandle && PortHandle->ClearBreak();
    if (!ok) ThrowIfGone();
    return ok;
}

bool TSerialChannel::CardSlotEmpty()
{
    uint32_t status = 0;
    if (!PortHandle || !PortHandle->GetModemStatus(status)) return true;
    return SlotEmptyIn(status);
}

bool TSerialChannel::SlotEmptyIn(uint32_t status)
{
    return (status & kMsRlsdOn) != 0;
}

bool TSerialChannel::DeviceGone() const { return link_.failures.DeviceGoneReports() != goneReportsAtRunStart_; }

void TSerialChannel::BeginRun() { goneReportsAtRunStart_ = link_.failures.DeviceGoneReports(); }

void TSerialChannel::ThrowIfGone() const
{
    if (!DeviceGone()) return;
    const std::string reason = link_.failures.DeviceGoneReason();
    throw ReaderGone(reason.empty() ? std::string("the device went away") : reason);
}

void TSerialChannel::Delay(int32_t ms) { BusyWait(link_, ms, ms > 100); }

uint8_t TSerialChannel::InverseConvention(uint8_t b)
{
    return static_cast<uint8_t>(kInverseNibble[b & 0x0F] * 16 + kInverseNibble[b >> 4]);
}

std::string TSerialChannel::ResetCard(uint8_t resetPolarity, uint8_t convertInverse)
{
    // 1-4: hold the card in reset, drop everything received so far.
    if (resetPolarity == 0) SetRts();
    if (resetPolarity == 1) ClearRts();
    ClearReceiveBuffer();
    Delay(80);
    if (PortHandle) PortHandle->Purge(kPurgeRxClear);

    // 5-7: release it and collect the answer-to-reset.
    if (resetPolarity == 0) ClearRts();
    if (resetPolarity == 1) SetRts();
    Delay(100);
    Receive(255, 500);

    // 8-9: as command text.
    if (convertInverse == 1)
        for (int32_t i = 0; i < ReceiveCount; ++i) ReceiveBuffer[i] = InverseConvention(ReceiveBuffer[i]);
    std::string text;
    text.reserve(static_cast<size_t>(ReceiveCount) * 3);
    for (int32_t i = 0; i < ReceiveCount; ++i) AppendCommandByte(text, ReceiveBuffer[i]);

    // 10-11.
    ClearReceiveBuffer();
    const auto first = std::find_if_not(text.begin(), text.end(), IsBlank);
    const auto last = std::find_if_not(text.rbegin(), text.rend(), IsBlank).base();
    return first < last ? std::string(first, last) : std::string();
}

void TSerialChannel::ResetState()
{
    Close();
    PortHandle.reset();
    ClearReceiveBuffer();
    std::memset(TransmitBuffer, 0, sizeof TransmitBuffer);
    LineSettings_ = LineSettings{};
    RtsEnabled = true;
    NextPumpTime = 0;
    BeginRun();
}
