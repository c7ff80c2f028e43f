#include "network/Rfc2217Codec.h"

#include <algorithm>
#include <utility>

namespace rfc2217 {

std::optional<uint8_t> ParityToWire(uint8_t parity)
{
    if (parity > 4) return std::nullopt;
    return static_cast<uint8_t>(parity + 1);
}

std::optional<uint8_t> ParityFromWire(uint8_t wire)
{
    if (wire < 1 || wire > 5) return std::nullopt;
    return static_cast<uint8_t>(wire - 1);
}

std::optional<uint8_t> StopBitsToWire(uint8_t stopBits)
{
    switch (stopBits) {
    case 0: return uint8_t{1};  // one
    case 1: return uint8_t{3};  // one and a half
    case 2: return uint8_t{2};  // two
    default: return std::nullopt;
    }
}

std::optional<uint8_t> StopBitsFromWire(uint8_t wire)
{
    switch (wire) {
    case 1: return uint8_t{0};
    case 2: return uint8_t{2};
    case 3: return uint8_t{1};
    default: return std::nullopt;
    }
}

void AppendEscaped(std::vector<uint8_t>& out, const uint8_t* data, size_t count)
{
    out.reserve(out.size() + count);
    for (size_t i = 0; i < count; ++i) {
        out.push_back(data[i]);
        if (data[i] == kIac) out.push_back(kIac);
    }
}

std::vector<uint8_t> Negotiation(uint8_t command, uint8_t option) { return {kIac, command, option}; }

std::vector<uint8_t> ComPortCommand(uint8_t code, const std::vector<uint8_t>& value)
{
    std::vector<uint8_t> out{kIac, kSb, kOptComPort};
    AppendEscaped(out, &code, 1);
    AppendEscaped(out, value.data(), value.size());
    out.push_back(kIac);
    out.push_back(kSe);
    return out;
}

std::vector<uint8_t> BaudRateValue(uint32_t baud)
{
    return {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16), static_cast<uint8_t>(baud >> 8),
            static_cast<uint8_t>(baud)};
}

std::optional<uint32_t> BaudRateFromValue(const std::vector<uint8_t>& value)
{
    if (value.size() != 4) return std::nullopt;
    return (uint32_t{value[0]} << 24) | (uint32_t{value[1]} << 16) | (uint32_t{value[2]} << 8) | value[3];
}

void TelnetDecoder::Feed(const uint8_t* data, size_t count, Sink& sink)
{
    size_t runStart = 0;  // start of the pending run of plain data bytes
    auto flush = [&](size_t end) {
        if (state_ == State::Data && end > runStart) sink.OnData(data + runStart, end - runStart);
    };
    auto subAppend = [&](uint8_t b) {
        if (subBody_.size() < kMaxSubnegotiation)
            subBody_.push_back(b);
        else
            subOverflow_ = true;
    };

    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = data[i];
        switch (state_) {
        case State::Data:
            if (b == kIac) {
                flush(i);
                state_ = State::Iac;
            }
            break;
        case State::Iac:
            if (b == kIac) {
                sink.OnData(&b, 1);  // a doubled IAC is one data byte
                state_ = State::Data;
            } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
                command_ = b;
                state_ = State::Negotiate;
            } else if (b == kSb) {
                subBody_.clear();
                subOverflow_ = false;
                state_ = State::SubOption;
            } else {
                state_ = State::Data;  // NOP, GA, a stray SE ...: nothing to do
            }
            if (state_ == State::Data) runStart = i + 1;
            break;
        case State::Negotiate:
            sink.OnNegotiation(command_, b);
            state_ = State::Data;
            runStart = i + 1;
            break;
        case State::SubOption:
            subOption_ = b;
            state_ = b == kIac ? State::SubIac : State::SubBody;
            break;
        case State::SubBody:
            if (b == kIac)
                state_ = State::SubIac;
            else
                subAppend(b);
            break;
        case State::SubIac:
            if (b == kIac) {
                subAppend(b);
                state_ = State::SubBody;
            } else if (b == kSe) {
                if (!subOverflow_) sink.OnSubnegotiation(subOption_, subBody_);
                subBody_.clear();
                state_ = State::Data;
                runStart = i + 1;
            } else {
                // A malformed subnegotiation: drop it and take the byte as
                // the command that ended it.
                subBody_.clear();
                state_ = State::Iac;
                --i;
            }
            break;
        }
    }
    flush(count);
}

OptionNegotiator::OptionNegotiator(std::vector<uint8_t> local, std::vector<uint8_t> remote)
    : localSupported_(std::move(local)), remoteSupported_(std::move(remote))
{
}

bool OptionNegotiator::Supported(const std::vector<uint8_t>& list, uint8_t option) const
{
    return std::find(list.begin(), list.end(), option) != list.end();
}

std::vector<uint8_t> OptionNegotiator::RequestLocal(uint8_t option)
{
    State& s = local_[option];
    if (s == State::Yes || s == State::WantYes) return {};
    s = State::WantYes;
    return Negotiation(kWill, option);
}

std::vector<uint8_t> OptionNegotiator::RequestRemote(uint8_t option)
{
    State& s = remote_[option];
    if (s == State::Yes || s == State::WantYes) return {};
    s = State::WantYes;
    return Negotiation(kDo, option);
}

std::vector<uint8_t> OptionNegotiator::Receive(uint8_t command, uint8_t option)
{
    // WILL/WONT speak about the peer's side, DO/DONT about ours.
    const bool aboutPeer = command == kWill || command == kWont;
    const bool positive = command == kWill || command == kDo;
    State& s = aboutPeer ? remote_[option] : local_[option];
    const bool supported = Supported(aboutPeer ? remoteSupported_ : localSupported_, option);
    const uint8_t yes = aboutPeer ? kDo : kWill;
    const uint8_t no = aboutPeer ? kDont : kWont;

    if (positive) {
        if (s == State::Yes) return {};
        if (s == State::WantYes) {
            s = State::Yes;  // the answer to our request
            return {};
        }
        if (supported) {
            s = State::Yes;
            return Negotiation(yes, option);
        }
        return Negotiation(no, option);
    }
    if (s == State::Yes) {
        s = State::No;
        return Negotiation(no, option);
    }
    if (s == State::WantYes) s = State::Refused;
    return {};
}

bool OptionNegotiator::Pending() const
{
    for (int i = 0; i < 256; ++i)
        if (local_[i] == State::WantYes || remote_[i] == State::WantYes) return true;
    return false;
}

}  // namespace rfc2217
