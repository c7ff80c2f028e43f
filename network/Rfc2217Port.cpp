#include "network/Rfc2217Port.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "platform/PortFailure.h"

using namespace rfc2217;

namespace {

// The longest single wait on the stream, so that a deadline on the program's
// clock is looked at often enough.
constexpr int32_t kPumpSliceMs = 50;
// Writes with no write timeout in force still end after this long.
constexpr int64_t kDefaultWriteMs = 5000;

int32_t Slice(int64_t left) { return static_cast<int32_t>(std::clamp<int64_t>(left, 0, kPumpSliceMs)); }

}  // namespace

// Receives what the decoder takes out of the stream.
class Rfc2217Port::Handler final : public TelnetDecoder::Sink {
public:
    explicit Handler(Rfc2217Port& port) : port_(port) {}

    void OnData(const uint8_t* data, size_t count) override
    {
        if (port_.purgesInFlight_ > 0) return;  // sent before the server purged
        const size_t room = port_.receiveLimit_ > port_.received_.size()
                                ? port_.receiveLimit_ - port_.received_.size()
                                : 0;
        // Beyond the queue's room bytes are lost, as in an overrun driver.
        port_.received_.insert(port_.received_.end(), data, data + std::min(count, room));
    }

    void OnNegotiation(uint8_t command, uint8_t option) override
    {
        const std::vector<uint8_t> answer = port_.options_.Receive(command, option);
        if (!answer.empty()) port_.SendRaw(answer);
    }

    void OnSubnegotiation(uint8_t option, const std::vector<uint8_t>& body) override
    {
        if (option != kOptComPort || body.empty()) return;
        const uint8_t code = body[0];
        const std::vector<uint8_t> value(body.begin() + 1, body.end());
        switch (code) {
        case kServerOffset + kNotifyModemState:
            if (!value.empty()) port_.modemState_ = static_cast<uint8_t>(value[0] & kModemLineBits);
            return;
        case kServerOffset + kFlowControlSuspend:
            port_.flowSuspended_ = true;
            return;
        case kServerOffset + kFlowControlResume:
            port_.flowSuspended_ = false;
            return;
        default:
            break;
        }
        // A confirmation: match it with the oldest command of that code.
        auto& awaited = port_.awaited_;
        const auto it = std::find_if(awaited.begin(), awaited.end(), [&](const Awaited& a) { return a.code == code; });
        if (it == awaited.end()) return;  // unasked, or late after a timeout
        if (it->check && it->value != value) port_.refused_ = true;
        if (code == kServerOffset + kPurgeData && !it->value.empty() &&
            (it->value[0] == kPurgeReceive || it->value[0] == kPurgeBoth) && port_.purgesInFlight_ > 0)
            --port_.purgesInFlight_;
        awaited.erase(it);
    }

private:
    Rfc2217Port& port_;
};

namespace {

// Splits "rfc2217://HOST:PORT" into its address, or says what is wrong.
std::optional<NetworkAddress> SplitAddress(const std::string& resolved, std::string& problem)
{
    constexpr std::string_view kScheme = "rfc2217://";
    const std::string kForm = " (rfc2217://HOST:PORT)";
    if (resolved.compare(0, kScheme.size(), kScheme.data(), kScheme.size()) != 0) {
        problem = "not a network reader address" + kForm;
        return std::nullopt;
    }
    std::string rest = resolved.substr(kScheme.size());
    if (!rest.empty() && rest.back() == '/') rest.pop_back();

    std::string host;
    std::string portText;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos) {
            problem = "an IPv6 host without its closing ']'" + kForm;
            return std::nullopt;
        }
        if (close + 1 >= rest.size() || rest[close + 1] != ':') {
            problem = "no port" + kForm;
            return std::nullopt;
        }
        host = rest.substr(1, close - 1);
        portText = rest.substr(close + 2);
    } else {
        const auto colon = rest.find(':');
        if (colon == std::string::npos) {
            problem = "no port" + kForm;
            return std::nullopt;
        }
        if (rest.find(':', colon + 1) != std::string::npos) {
            problem = "more than one ':' (an IPv6 host goes in brackets: rfc2217://[::1]:PORT)";
            return std::nullopt;
        }
        host = rest.substr(0, colon);
        portText = rest.substr(colon + 1);
    }
    if (host.empty()) {
        problem = "no host" + kForm;
        return std::nullopt;
    }
    if (portText.empty()) {
        problem = "no port" + kForm;
        return std::nullopt;
    }
    if (portText.find_first_not_of("0123456789") != std::string::npos) {
        problem = "the port '" + portText + "' is not a number";
        return std::nullopt;
    }
    // Leading zeros aside, more than five digits is out of range anyway.
    const size_t significant = portText.size() - std::min(portText.find_first_not_of('0'), portText.size());
    uint32_t port = 0;
    if (significant <= 5)
        for (char c : portText) port = port * 10 + static_cast<uint32_t>(c - '0');
    if (significant > 5 || port < 1 || port > 65535) {
        problem = "the port must be 1 to 65535, not " + portText;
        return std::nullopt;
    }
    return NetworkAddress{host, static_cast<uint16_t>(port)};
}

}  // namespace

std::optional<NetworkAddress> ParseRfc2217Address(const std::string& resolved)
{
    std::string problem;
    return SplitAddress(resolved, problem);
}

std::string Rfc2217AddressProblem(const std::string& resolved)
{
    std::string problem;
    if (SplitAddress(resolved, problem)) return {};
    return resolved + ": " + problem;
}

Rfc2217Port::Rfc2217Port(std::unique_ptr<ByteStream> stream, Clock& clock, const Rfc2217Timing& timing,
                         std::shared_ptr<PortFailures> failures)
    : stream_(std::move(stream)),
      clock_(clock),
      timing_(timing),
      failures_(std::move(failures)),
      options_({kOptBinary, kOptSuppressGoAhead, kOptComPort}, {kOptBinary, kOptSuppressGoAhead, kOptComPort})
{
}

std::unique_ptr<Rfc2217Port> Rfc2217Port::Start(std::unique_ptr<ByteStream> stream, Clock& clock,
                                                const Rfc2217Timing& timing, std::shared_ptr<PortFailures> failures)
{
    if (!stream) return nullptr;
    std::unique_ptr<Rfc2217Port> port(new Rfc2217Port(std::move(stream), clock, timing, std::move(failures)));
    OptionNegotiator& o = port->options_;

    // An eight-bit path both ways, no go-aheads, and the Com Port option.
    std::vector<uint8_t> hello;
    for (const std::vector<uint8_t>& part :
         {o.RequestLocal(kOptBinary), o.RequestRemote(kOptBinary), o.RequestLocal(kOptSuppressGoAhead),
          o.RequestRemote(kOptSuppressGoAhead), o.RequestLocal(kOptComPort)})
        hello.insert(hello.end(), part.begin(), part.end());
    if (!port->SendRaw(hello)) return nullptr;

    // Servers agree to the option from either side; wait for all answers, or
    // at least that one.
    auto agreed = [&] {
        return o.Local(kOptComPort) == OptionNegotiator::State::Yes ||
               o.Remote(kOptComPort) == OptionNegotiator::State::Yes;
    };
    const int64_t deadline = port->NowMs() + timing.negotiateMs;
    while (!(agreed() && !o.Pending())) {
        const int64_t left = deadline - port->NowMs();
        if (left <= 0) break;
        if (!port->Pump(Slice(left))) return nullptr;
    }
    if (!agreed()) return nullptr;

    // Every modem line change is to be reported; ask for the present state.
    std::vector<uint8_t> notify = ComPortCommand(kSetModemStateMask, {0xFF});
    const std::vector<uint8_t> poll = ComPortCommand(kNotifyModemState, {});
    notify.insert(notify.end(), poll.begin(), poll.end());
    if (!port->SendRaw(notify)) return nullptr;
    port->started_ = true;
    return port;
}

void Rfc2217Port::Fail()
{
    if (started_ && !broken_ && failures_) failures_->RecordDeviceGone("the network reader went away (connection lost)");
    broken_ = true;
    awaited_.clear();
    received_.clear();
}

bool Rfc2217Port::SendRaw(const std::vector<uint8_t>& bytes)
{
    if (broken_) return false;
    if (bytes.empty()) return true;
    if (!stream_->Send(bytes.data(), bytes.size(), static_cast<int32_t>(kDefaultWriteMs))) {
        Fail();
        return false;
    }
    return true;
}

bool Rfc2217Port::Pump(int32_t waitMs)
{
    if (broken_) return false;
    uint8_t chunk[4096];
    const int32_t n = stream_->Receive(chunk, sizeof chunk, waitMs);
    if (n < 0) {
        Fail();
        return false;
    }
    if (n > 0) {
        Handler handler(*this);
        decoder_.Feed(chunk, static_cast<size_t>(n), handler);
    }
    return !broken_;
}

bool Rfc2217Port::Drain()
{
    // Bounded, so that a server that never stops sending cannot hold us.
    for (int round = 0; round < 64; ++round) {
        if (broken_) return false;
        uint8_t chunk[4096];
        const int32_t n = stream_->Receive(chunk, sizeof chunk, 0);
        if (n < 0) {
            Fail();
            return false;
        }
        if (n == 0) break;
        Handler handler(*this);
        decoder_.Feed(chunk, static_cast<size_t>(n), handler);
    }
    return !broken_;
}

bool Rfc2217Port::SendCommand(uint8_t code, const std::vector<uint8_t>& value, bool check)
{
    awaited_.push_back({static_cast<uint8_t>(code + kServerOffset), value, check});
    return SendRaw(ComPortCommand(code, value));
}

bool Rfc2217Port::AwaitReplies()
{
    const int64_t deadline = NowMs() + timing_.replyMs;
    while (!awaited_.empty()) {
        if (broken_) return false;
        const int64_t left = deadline - NowMs();
        if (left <= 0) {
            // Give up on them; late answers are ignored.
            awaited_.clear();
            purgesInFlight_ = 0;
            refused_ = false;
            return false;
        }
        if (!Pump(Slice(left))) return false;
    }
    const bool ok = !refused_;
    refused_ = false;
    return ok && !broken_;
}

bool Rfc2217Port::Control(uint8_t value)
{
    if (broken_) return false;
    SendCommand(kSetControl, {value});
    return AwaitReplies();
}

bool Rfc2217Port::SetTimeouts(const CommTimeouts& timeouts)
{
    if (broken_) return false;
    timeouts_ = timeouts;
    return true;
}

bool Rfc2217Port::SetupQueues(uint32_t inQueue, uint32_t)
{
    if (broken_) return false;
    if (inQueue > 0) receiveLimit_ = inQueue;
    return true;
}

bool Rfc2217Port::GetState(LineSettings& settings)
{
    if (broken_) return false;
    settings = settings_;
    return true;
}

bool Rfc2217Port::SetState(const LineSettings& s)
{
    if (broken_) return false;
    const std::optional<uint8_t> parity = ParityToWire(s.Parity);
    const std::optional<uint8_t> stop = StopBitsToWire(s.StopBits);
    if (!parity || !stop || s.ByteSize < 5 || s.ByteSize > 8 || s.BaudRate == 0) return false;

    // Speed and format first, then flow control and the control lines; all
    // sent at once and confirmed before anything else goes out.
    SendCommand(kSetBaudRate, BaudRateValue(s.BaudRate));
    SendCommand(kSetDataSize, {s.ByteSize});
    SendCommand(kSetParity, {*parity});
    SendCommand(kSetStopSize, {*stop});
    uint8_t flow = kControlNoFlow;
    if (s.fOutxCtsFlow || s.fRtsControl == kRtsControlHandshake)
        flow = kControlHardwareFlow;
    else if (s.fOutX || s.fInX)
        flow = kControlXonXoffFlow;
    SendCommand(kSetControl, {flow});
    SendCommand(kSetControl, {s.fDtrControl == kDtrControlDisable ? kControlDtrOff : kControlDtrOn});
    if (s.fRtsControl != kRtsControlHandshake)
        SendCommand(kSetControl, {s.fRtsControl == kRtsControlEnable ? kControlRtsOn : kControlRtsOff});
    if (!AwaitReplies()) return false;
    settings_ = s;
    return true;
}

bool Rfc2217Port::Escape(uint32_t function)
{
    switch (function) {
    case kEscSetRts: return Control(kControlRtsOn);
    case kEscClrRts: return Control(kControlRtsOff);
    case kEscSetDtr: return Control(kControlDtrOn);
    case kEscClrDtr: return Control(kControlDtrOff);
    default: return false;
    }
}

bool Rfc2217Port::SetBreak() { return Control(kControlBreakOn); }

bool Rfc2217Port::ClearBreak() { return Control(kControlBreakOff); }

bool Rfc2217Port::GetModemStatus(uint32_t& status)
{
    if (!Drain()) return false;
    if (!modemState_ && !modemWaited_) {
        // The first notification is on its way after the start; wait for it
        // once. A server that never sends one leaves the status unreadable.
        modemWaited_ = true;
        const int64_t deadline = NowMs() + timing_.replyMs;
        while (!modemState_) {
            const int64_t left = deadline - NowMs();
            if (left <= 0) break;
            if (!Pump(Slice(left))) return false;
        }
    }
    if (!modemState_) return false;
    status = *modemState_;
    return true;
}

bool Rfc2217Port::Purge(uint32_t flags)
{
    if (!Drain()) return false;
    const bool rx = (flags & kPurgeRxClear) != 0;
    const bool tx = (flags & kPurgeTxClear) != 0;
    if (rx) received_.clear();
    if (!rx && !tx) return true;  // nothing is ever pending on our side to abort
    if (rx) ++purgesInFlight_;
    SendCommand(kPurgeData, {rx && tx ? kPurgeBoth : rx ? kPurgeReceive : kPurgeTransmit});
    return AwaitReplies();
}

bool Rfc2217Port::Read(uint8_t* buffer, uint32_t count, uint32_t& bytesRead)
{
    bytesRead = 0;
    if (!Drain()) return false;
    auto take = [&] {
        const size_t n = std::min<size_t>(count - bytesRead, received_.size());
        std::copy_n(received_.begin(), n, buffer + bytesRead);
        received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(n));
        bytesRead += static_cast<uint32_t>(n);
        return n;
    };
    if (count == 0) return true;

    const CommTimeouts& t = timeouts_;
    const int64_t start = NowMs();
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) {
        take();  // what is waiting, no wait at all
        return true;
    }
    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword) {
        // What is waiting at once; else the first bytes to arrive within the
        // constant.
        const int64_t deadline = start + t.ReadTotalTimeoutConstant;
        while (received_.empty()) {
            const int64_t left = deadline - NowMs();
            if (left <= 0) break;
            if (!Pump(Slice(left))) return false;
        }
        take();
        return true;
    }

    // The general rule: up to `count` bytes within the total timeout, and no
    // longer gap between two bytes than the interval timeout (0: none).
    const bool hasTotal = t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0;
    const int64_t total = int64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
    const bool hasInterval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword;
    int64_t lastByte = start;
    for (;;) {
        if (take() > 0) lastByte = NowMs();
        if (bytesRead == count) return true;
        const int64_t now = NowMs();
        int64_t left = kPumpSliceMs;
        if (hasTotal) left = std::min(left, start + total - now);
        if (hasInterval && bytesRead > 0) left = std::min<int64_t>(left, lastByte + t.ReadIntervalTimeout - now);
        if (left <= 0) return true;
        if (!Pump(Slice(left))) return false;
    }
}

bool Rfc2217Port::Write(const uint8_t* buffer, uint32_t count, uint32_t& bytesWritten)
{
    bytesWritten = 0;
    if (!Drain()) return false;
    int64_t limit = int64_t{timeouts_.WriteTotalTimeoutMultiplier} * count + timeouts_.WriteTotalTimeoutConstant;
    if (limit == 0) limit = kDefaultWriteMs;
    const int64_t deadline = NowMs() + limit;
    while (flowSuspended_) {
        // The server has asked us to hold back; the bytes wait, at most as
        // long as the write may take.
        const int64_t left = deadline - NowMs();
        if (left <= 0) return true;
        if (!Pump(Slice(left))) return false;
    }
    if (count == 0) return true;
    std::vector<uint8_t> escaped;
    AppendEscaped(escaped, buffer, count);
    const int64_t left = std::max<int64_t>(deadline - NowMs(), 1);
    if (!stream_->Send(escaped.data(), escaped.size(), static_cast<int32_t>(std::min<int64_t>(left, 0x7FFFFFFF)))) {
        Fail();
        return false;
    }
    bytesWritten = count;
    return true;
}

bool Rfc2217Port::WaitUntilSent()
{
    // Every Write has handed its bytes to the connection before returning;
    // what the server's line does with them cannot be asked.
    return !broken_;
}

std::unique_ptr<CommPort> OpenNetworkDevice(const std::string& resolved, Clock& clock,
                                            const std::shared_ptr<PortFailures>& failures, const Rfc2217Timing& timing)
{
    const auto RecordOpenFailure = [&failures](const std::string& reason) {
        if (failures) failures->RecordOpenFailure(reason);
    };
    std::string problem;
    const std::optional<NetworkAddress> address = SplitAddress(resolved, problem);
    if (!address) {
        RecordOpenFailure(resolved + ": " + problem);
        return nullptr;
    }
    std::unique_ptr<TcpSocket> socket = TcpSocket::Connect(address->host, address->port, timing.connectMs);
    if (!socket) {
        RecordOpenFailure(resolved + ": host unreachable, or no reader server on that port");
        return nullptr;
    }
    std::unique_ptr<CommPort> port = Rfc2217Port::Start(std::move(socket), clock, timing, failures);
    if (!port) RecordOpenFailure(resolved + ": the server did not answer as a serial port server (RFC 2217)");
    return port;
}
