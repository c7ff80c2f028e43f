#include "Rfc2217Session.h"

#include <optional>

using namespace rfc2217;

namespace {
constexpr int32_t kSendMs = 5000;
}

class Rfc2217Session::Handler final : public TelnetDecoder::Sink {
public:
    explicit Handler(Rfc2217Session& s) : s_(s) {}

    void OnData(const uint8_t* data, size_t count) override
    {
        uint32_t written = 0;
        if (!s_.port_.Write(data, static_cast<uint32_t>(count), written)) s_.failed_ = true;
    }
    void OnNegotiation(uint8_t command, uint8_t option) override
    {
        const std::vector<uint8_t> answer = s_.options_.Receive(command, option);
        if (!answer.empty()) s_.Send(answer);
        // A client that agrees to the Com Port option learns the line state.
        if (option == kOptComPort && (command == kWill || command == kDo)) s_.CheckModem(true);
    }
    void OnSubnegotiation(uint8_t option, const std::vector<uint8_t>& body) override
    {
        if (option != kOptComPort || body.empty()) return;
        s_.Command(body[0], std::vector<uint8_t>(body.begin() + 1, body.end()));
    }

private:
    Rfc2217Session& s_;
};

Rfc2217Session::Rfc2217Session(ByteStream& client, CommPort& port)
    : client_(client),
      port_(port),
      options_({kOptBinary, kOptSuppressGoAhead, kOptComPort}, {kOptBinary, kOptSuppressGoAhead, kOptComPort})
{
}

bool Rfc2217Session::Send(const std::vector<uint8_t>& bytes)
{
    if (failed_) return false;
    if (!bytes.empty() && !client_.Send(bytes.data(), bytes.size(), kSendMs)) failed_ = true;
    return !failed_;
}

void Rfc2217Session::Reply(uint8_t code, const std::vector<uint8_t>& value)
{
    Send(ComPortCommand(static_cast<uint8_t>(code + kServerOffset), value));
}

bool Rfc2217Session::Start()
{
    if (!port_.SetTimeouts({kMaxDword, 0, 0, 0, 0}) || !port_.GetState(settings_)) {
        failed_ = true;
        return false;
    }
    std::vector<uint8_t> hello;
    for (const std::vector<uint8_t>& part : {options_.RequestLocal(kOptBinary), options_.RequestRemote(kOptBinary),
                                             options_.RequestLocal(kOptSuppressGoAhead)})
        hello.insert(hello.end(), part.begin(), part.end());
    return Send(hello);
}

bool Rfc2217Session::ApplyState()
{
    if (!port_.SetState(settings_)) failed_ = true;
    return !failed_;
}

void Rfc2217Session::Command(uint8_t code, const std::vector<uint8_t>& value)
{
    const uint8_t v = value.empty() ? 0 : value[0];
    switch (code) {
    case kSetBaudRate: {
        const std::optional<uint32_t> baud = BaudRateFromValue(value);
        if (baud && *baud != 0) {
            settings_.BaudRate = *baud;
            ApplyState();
        }
        Reply(code, BaudRateValue(settings_.BaudRate));
        return;
    }
    case kSetDataSize:
        if (v >= 5 && v <= 8) {
            settings_.ByteSize = v;
            ApplyState();
        }
        Reply(code, {settings_.ByteSize});
        return;
    case kSetParity:
        if (const std::optional<uint8_t> parity = ParityFromWire(v)) {
            settings_.Parity = *parity;
            ApplyState();
        }
        Reply(code, {ParityToWire(settings_.Parity).value_or(0)});
        return;
    case kSetStopSize:
        if (const std::optional<uint8_t> stop = StopBitsFromWire(v)) {
            settings_.StopBits = *stop;
            ApplyState();
        }
        Reply(code, {StopBitsToWire(settings_.StopBits).value_or(0)});
        return;
    case kSetControl:
        switch (v) {
        case kControlNoFlow:
            settings_.fOutxCtsFlow = settings_.fOutX = settings_.fInX = false;
            if (settings_.fRtsControl == kRtsControlHandshake) settings_.fRtsControl = kRtsControlEnable;
            ApplyState();
            break;
        case kControlXonXoffFlow:
            settings_.fOutX = settings_.fInX = true;
            ApplyState();
            break;
        case kControlHardwareFlow:
            settings_.fOutxCtsFlow = true;
            settings_.fRtsControl = kRtsControlHandshake;
            ApplyState();
            break;
        case kControlBreakOn:
            if (!port_.SetBreak()) failed_ = true;
            break;
        case kControlBreakOff:
            if (!port_.ClearBreak()) failed_ = true;
            break;
        case kControlDtrOn:
        case kControlDtrOff:
            if (!port_.Escape(v == kControlDtrOn ? kEscSetDtr : kEscClrDtr)) failed_ = true;
            settings_.fDtrControl = v == kControlDtrOn ? kDtrControlEnable : kDtrControlDisable;
            break;
        case kControlRtsOn:
        case kControlRtsOff:
            if (!port_.Escape(v == kControlRtsOn ? kEscSetRts : kEscClrRts)) failed_ = true;
            settings_.fRtsControl = v == kControlRtsOn ? kRtsControlEnable : kRtsControlDisable;
            break;
        default:
            return;  // queries and inbound flow settings: not offered
        }
        Reply(code, {v});
        return;
    case kNotifyModemState:
        CheckModem(true);
        return;
    case kSetModemStateMask:
        modemMask_ = v;
        Reply(code, {v});
        return;
    case kSetLineStateMask:
        Reply(code, {v});
        return;
    case kPurgeData:
        if (v == kPurgeReceive || v == kPurgeTransmit || v == kPurgeBoth) {
            uint32_t flags = 0;
            if (v != kPurgeTransmit) flags |= kPurgeRxClear;
            if (v != kPurgeReceive) flags |= kPurgeTxClear;
            if (!port_.Purge(flags)) failed_ = true;
            Reply(code, {v});
        }
        return;
    default:
        return;
    }
}

bool Rfc2217Session::CheckModem(bool force)
{
    uint32_t status = 0;
    if (!port_.GetModemStatus(status)) {
        failed_ = true;
        return false;
    }
    const int lines = static_cast<int>(status & kModemLineBits);
    if (lines == lastModem_ && !force) return true;
    // The low four bits flag which lines changed since the last notification.
    const int changed = lastModem_ < 0 ? 0 : (lines ^ lastModem_) >> 4;
    lastModem_ = lines;
    const uint8_t state = static_cast<uint8_t>((lines | changed) & modemMask_);
    if (state != 0 || force) Reply(kNotifyModemState, {state});
    return !failed_;
}

bool Rfc2217Session::Turn(int32_t waitMs)
{
    if (failed_) return false;
    uint8_t chunk[4096];
    const int32_t n = client_.Receive(chunk, sizeof chunk, waitMs);
    if (n < 0) return false;
    if (n > 0) {
        Handler handler(*this);
        decoder_.Feed(chunk, static_cast<size_t>(n), handler);
    }
    // The port's bytes to the client.
    for (;;) {
        uint8_t buffer[1024];
        uint32_t got = 0;
        if (!port_.Read(buffer, sizeof buffer, got)) {
            failed_ = true;
            break;
        }
        if (got == 0) break;
        std::vector<uint8_t> escaped;
        AppendEscaped(escaped, buffer, got);
        if (!Send(escaped)) break;
    }
    if (!failed_) CheckModem(false);
    return !failed_;
}
