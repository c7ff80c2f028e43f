// The port layer on Windows: a COM device opened with CreateFileA and driven
// with the Win32 communications calls, one call per CommPort operation.
// Reads and writes are plain blocking ReadFile/WriteFile calls (no overlapped
// I/O) timed by the driver under the COMMTIMEOUTS set by SetTimeouts; for the
// channel's own timeouts the read sizes its requests itself (see Read).

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <optional>
#include <string>

#include "platform/PortFailure.h"
#include "platform/LocalPorts.h"

// Our names carry the Win32 values; the channel relies on them being equal.
static_assert(kMaxDword == MAXDWORD);
static_assert(kOneStopBit == ONESTOPBIT && kOne5StopBits == ONE5STOPBITS && kTwoStopBits == TWOSTOPBITS);
static_assert(kNoParity == NOPARITY && kOddParity == ODDPARITY && kEvenParity == EVENPARITY &&
              kMarkParity == MARKPARITY && kSpaceParity == SPACEPARITY);
static_assert(kDtrControlDisable == DTR_CONTROL_DISABLE && kDtrControlEnable == DTR_CONTROL_ENABLE &&
              kDtrControlHandshake == DTR_CONTROL_HANDSHAKE);
static_assert(kRtsControlDisable == RTS_CONTROL_DISABLE && kRtsControlEnable == RTS_CONTROL_ENABLE &&
              kRtsControlHandshake == RTS_CONTROL_HANDSHAKE && kRtsControlToggle == RTS_CONTROL_TOGGLE);
static_assert(kEscSetRts == SETRTS && kEscClrRts == CLRRTS && kEscSetDtr == SETDTR && kEscClrDtr == CLRDTR);
static_assert(kMsCtsOn == MS_CTS_ON && kMsDsrOn == MS_DSR_ON && kMsRingOn == MS_RING_ON && kMsRlsdOn == MS_RLSD_ON);
static_assert(kPurgeTxAbort == PURGE_TXABORT && kPurgeRxAbort == PURGE_RXABORT && kPurgeTxClear == PURGE_TXCLEAR &&
              kPurgeRxClear == PURGE_RXCLEAR);

namespace {

void ToLineSettings(const DCB& dcb, LineSettings& s)
{
    s.BaudRate = dcb.BaudRate;
    s.fBinary = dcb.fBinary != 0;
    s.fParity = dcb.fParity != 0;
    s.fOutxCtsFlow = dcb.fOutxCtsFlow != 0;
    s.fOutxDsrFlow = dcb.fOutxDsrFlow != 0;
    s.fDtrControl = static_cast<uint8_t>(dcb.fDtrControl);
    s.fDsrSensitivity = dcb.fDsrSensitivity != 0;
    s.fTXContinueOnXoff = dcb.fTXContinueOnXoff != 0;
    s.fOutX = dcb.fOutX != 0;
    s.fInX = dcb.fInX != 0;
    s.fErrorChar = dcb.fErrorChar != 0;
    s.fNull = dcb.fNull != 0;
    s.fRtsControl = static_cast<uint8_t>(dcb.fRtsControl);
    s.fAbortOnError = dcb.fAbortOnError != 0;
    s.XonLim = dcb.XonLim;
    s.XoffLim = dcb.XoffLim;
    s.ByteSize = dcb.ByteSize;
    s.Parity = dcb.Parity;
    s.StopBits = dcb.StopBits;
    s.XonChar = dcb.XonChar;
    s.XoffChar = dcb.XoffChar;
    s.ErrorChar = dcb.ErrorChar;
    s.EofChar = dcb.EofChar;
    s.EvtChar = dcb.EvtChar;
}

// Fields of the DCB that LineSettings does not carry (the reserved ones) keep
// what the driver reported.
void FromLineSettings(const LineSettings& s, DCB& dcb)
{
    dcb.BaudRate = s.BaudRate;
    dcb.fBinary = s.fBinary;
    dcb.fParity = s.fParity;
    dcb.fOutxCtsFlow = s.fOutxCtsFlow;
    dcb.fOutxDsrFlow = s.fOutxDsrFlow;
    dcb.fDtrControl = s.fDtrControl & 3u;
    dcb.fDsrSensitivity = s.fDsrSensitivity;
    dcb.fTXContinueOnXoff = s.fTXContinueOnXoff;
    dcb.fOutX = s.fOutX;
    dcb.fInX = s.fInX;
    dcb.fErrorChar = s.fErrorChar;
    dcb.fNull = s.fNull;
    dcb.fRtsControl = s.fRtsControl & 3u;
    dcb.fAbortOnError = s.fAbortOnError;
    dcb.XonLim = s.XonLim;
    dcb.XoffLim = s.XoffLim;
    dcb.ByteSize = s.ByteSize;
    dcb.Parity = s.Parity;
    dcb.StopBits = s.StopBits;
    dcb.XonChar = s.XonChar;
    dcb.XoffChar = s.XoffChar;
    dcb.ErrorChar = s.ErrorChar;
    dcb.EofChar = s.EofChar;
    dcb.EvtChar = s.EvtChar;
}

bool ReadDcb(HANDLE handle, DCB& dcb)
{
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    return GetCommState(handle, &dcb) != FALSE;
}

class Win32CommPort final : public CommPort {
public:
    Win32CommPort(HANDLE handle, std::shared_ptr<PortFailures> failures)
        : handle_(handle), failures_(std::move(failures))
    {
    }
    ~Win32CommPort() override { CloseHandle(handle_); }
    Win32CommPort(const Win32CommPort&) = delete;
    Win32CommPort& operator=(const Win32CommPort&) = delete;

    bool SetTimeouts(const CommTimeouts& t) override
    {
        COMMTIMEOUTS ct;
        ct.ReadIntervalTimeout = t.ReadIntervalTimeout;
        ct.ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
        ct.ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
        ct.WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
        ct.WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
        if (!SetCommTimeouts(handle_, &ct)) return false;
        firstByteReads_ = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
                          t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword;
        return true;
    }

    bool SetupQueues(uint32_t inQueue, uint32_t outQueue) override
    {
        return SetupComm(handle_, inQueue, outQueue) != FALSE;
    }

    bool GetState(LineSettings& settings) override
    {
        DCB dcb;
        if (!ReadDcb(handle_, dcb)) return false;
        ToLineSettings(dcb, settings);
        return true;
    }

    bool SetState(const LineSettings& settings) override
    {
        DCB dcb;
        if (!ReadDcb(handle_, dcb)) return false;
        FromLineSettings(settings, dcb);
        return SetCommState(handle_, &dcb) != FALSE;
    }

    bool Escape(uint32_t function) override { return EscapeCommFunction(handle_, function) != FALSE; }
    bool SetBreak() override { return SetCommBreak(handle_) != FALSE; }
    bool ClearBreak() override { return ClearCommBreak(handle_) != FALSE; }

    bool GetModemStatus(uint32_t& status) override
    {
        DWORD value = 0;
        if (!GetCommModemStatus(handle_, &value)) return false;
        status = value;
        return true;
    }

    bool Purge(uint32_t flags) override { return PurgeComm(handle_, flags) != FALSE; }

    bool Read(uint8_t* buffer, uint32_t count, uint32_t& bytesRead) override
    {
        bytesRead = 0;
        if (!firstByteReads_ || count == 0) return ReadOnce(buffer, count, bytesRead);

        // Interval and multiplier MAXDWORD with a constant c: return at once
        // with what is waiting, else with the first byte to arrive within c
        // ms. Not every driver honours this combination (Wine's serial driver
        // and some USB adapters wait for the whole count or the full c ms),
        // so the read asks for no more than the driver already holds, or for
        // a single byte when it holds none, and then collects whatever came
        // in behind that byte.
        const DWORD waiting = BytesWaiting();
        if (waiting == kUnknown) return ReadOnce(buffer, count, bytesRead);
        if (waiting > 0) return ReadOnce(buffer, waiting < count ? waiting : count, bytesRead);

        uint32_t first = 0;
        if (!ReadOnce(buffer, 1, first)) return false;
        bytesRead = first;
        if (first == 0 || count == 1) return true;
        const DWORD more = BytesWaiting();
        if (more == 0 || more == kUnknown) return true;
        // The byte in hand is delivered even if this read fails; a failing
        // device shows on the next read.
        uint32_t rest = 0;
        ReadOnce(buffer + 1, more < count - 1 ? more : count - 1, rest);
        bytesRead += rest;
        return true;
    }

    bool Write(const uint8_t* buffer, uint32_t count, uint32_t& bytesWritten) override
    {
        DWORD put = 0;
        const BOOL ok = WriteFile(handle_, buffer, count, &put, nullptr);
        bytesWritten = put;
        if (!ok) NoteFailure(GetLastError());
        return ok != FALSE;
    }

    // FlushFileBuffers on a COM handle returns once the driver has sent its
    // output queue.
    bool WaitUntilSent() override
    {
        if (FlushFileBuffers(handle_)) return true;
        NoteFailure(GetLastError());
        return false;
    }

    // The serial drivers do not tell an adapter's latency timer.
    std::optional<uint32_t> LatencyTimerMs() override { return std::nullopt; }

private:
    static constexpr DWORD kUnknown = MAXDWORD;

    bool ReadOnce(uint8_t* buffer, uint32_t count, uint32_t& bytesRead)
    {
        DWORD got = 0;
        const BOOL ok = ReadFile(handle_, buffer, count, &got, nullptr);
        bytesRead = got;
        if (!ok) NoteFailure(GetLastError());
        return ok != FALSE;
    }

    // The errors a COM port of a USB adapter answers with once it has been
    // unplugged.
    void NoteFailure(DWORD error)
    {
        if (failures_ == nullptr) return;
        if (error == ERROR_ACCESS_DENIED || error == ERROR_BAD_COMMAND || error == ERROR_DEVICE_NOT_CONNECTED ||
            error == ERROR_DEVICE_REMOVED || error == ERROR_GEN_FAILURE || error == ERROR_FILE_NOT_FOUND)
            failures_->RecordDeviceGone("the device went away (unplugged, or its driver failed)");
    }

    // Bytes the driver has received and not yet delivered; kUnknown when it
    // cannot tell.
    DWORD BytesWaiting()
    {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(handle_, &errors, &status)) return kUnknown;
        return status.cbInQue;
    }

    HANDLE handle_;
    std::shared_ptr<PortFailures> failures_;
    // The timeouts in force are the "first byte" combination (see Read).
    bool firstByteReads_ = false;
};

}  // namespace

std::unique_ptr<CommPort> OpenLocalSerialDevice(const std::string& path, const std::shared_ptr<PortFailures>& failures)
{
    const auto RecordOpenFailure = [&failures](const std::string& reason) {
        if (failures) failures->RecordOpenFailure(reason);
    };
    // Exclusive (share mode 0): a port another program holds cannot be opened.
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            RecordOpenFailure(path + ": no such device (is the reader plugged in?)");
        else if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            RecordOpenFailure(path + ": busy: another program is using it");
        else
            RecordOpenFailure(path + ": cannot be opened (system error " + std::to_string(error) + ")");
        return nullptr;
    }
    return std::make_unique<Win32CommPort>(handle, failures);
}
