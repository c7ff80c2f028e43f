// The receive path of network readers on arbitrary server bytes.
//
// 1. The Telnet decoder gives the same data, negotiations and
//    subnegotiations whether the bytes come in one piece or in chunks of any
//    size.
// 2. The network port, started on a stream that delivers the bytes in
//    fuzz-chosen chunks (optionally behind a server's usual agreement), then
//    driven through the calls the serial channel makes: nothing crashes or
//    hangs on the virtual clock, a read never returns more than it was asked
//    for, and once the connection has broken every call fails.
//
// Input: byte 0 flags (bit 0: server agreement first, bit 1: the stream ends
// closed instead of going quiet), byte 1 chunk-size seed, then server bytes.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/Clock.h"
#include "network/Rfc2217Codec.h"
#include "network/Rfc2217Port.h"

using namespace rfc2217;

namespace {

// Every event as tokens: data bytes one by one, so that differently split
// runs compare equal.
class Recorder final : public TelnetDecoder::Sink {
public:
    std::vector<int> tokens;
    void OnData(const uint8_t* data, size_t count) override { tokens.insert(tokens.end(), data, data + count); }
    void OnNegotiation(uint8_t command, uint8_t option) override
    {
        tokens.insert(tokens.end(), {-1, command, option});
    }
    void OnSubnegotiation(uint8_t option, const std::vector<uint8_t>& body) override
    {
        tokens.insert(tokens.end(), {-2, option, static_cast<int>(body.size())});
        tokens.insert(tokens.end(), body.begin(), body.end());
    }
};

size_t NextChunk(uint32_t& seed)
{
    seed = seed * 1103515245u + 12345u;
    return 1 + (seed >> 16) % 64;
}

class FuzzStream final : public ByteStream {
public:
    FuzzStream(VirtualClock& clock, std::vector<uint8_t> bytes, uint32_t seed, bool closeAtEnd)
        : clock_(clock), bytes_(std::move(bytes)), seed_(seed), closeAtEnd_(closeAtEnd)
    {
    }
    bool Send(const uint8_t*, size_t, int32_t) override { return !closed_; }
    int32_t Receive(uint8_t* buffer, size_t capacity, int32_t timeoutMs) override
    {
        if (pos_ >= bytes_.size()) {
            if (closeAtEnd_) {
                closed_ = true;
                return -1;
            }
            clock_.SleepUntilMicros(clock_.PeekMicros() + int64_t{std::max(timeoutMs, 0)} * 1000);
            return 0;
        }
        const size_t n = std::min({NextChunk(seed_), capacity, bytes_.size() - pos_});
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(pos_), n, buffer);
        pos_ += n;
        return static_cast<int32_t>(n);
    }

private:
    VirtualClock& clock_;
    std::vector<uint8_t> bytes_;
    size_t pos_ = 0;
    uint32_t seed_;
    bool closeAtEnd_;
    bool closed_ = false;
};

void CheckDecoderSplits(const uint8_t* data, size_t size, uint32_t seed)
{
    Recorder whole;
    TelnetDecoder a;
    a.Feed(data, size, whole);
    Recorder split;
    TelnetDecoder b;
    for (size_t pos = 0; pos < size;) {
        const size_t n = std::min(NextChunk(seed), size - pos);
        b.Feed(data + pos, n, split);
        pos += n;
    }
    if (whole.tokens != split.tokens) std::abort();
}

void DrivePort(std::unique_ptr<Rfc2217Port> port)
{
    auto mustFailOnceBroken = [&](bool result) {
        if (port->Broken() && result) std::abort();
    };
    const CommTimeouts timeouts{kMaxDword, kMaxDword, 250, 2, 500};
    mustFailOnceBroken(port->SetTimeouts(timeouts));
    LineSettings s;
    s.BaudRate = 34350;
    s.Parity = kMarkParity;
    s.StopBits = kTwoStopBits;
    mustFailOnceBroken(port->SetState(s));
    uint32_t status = 0;
    mustFailOnceBroken(port->GetModemStatus(status));
    uint8_t buffer[64];
    for (int i = 0; i < 4; ++i) {
        uint32_t got = 0;
        const bool ok = port->Read(buffer, sizeof buffer, got);
        if (got > sizeof buffer) std::abort();
        mustFailOnceBroken(ok);
        const uint8_t frame[] = {0xFF, 0x00, 0x13};
        uint32_t written = 0;
        mustFailOnceBroken(port->Write(frame, sizeof frame, written));
        mustFailOnceBroken(port->Purge(kPurgeRxClear));
        mustFailOnceBroken(port->Escape(i % 2 ? kEscSetRts : kEscClrRts));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) return 0;
    const uint8_t flags = data[0];
    const uint32_t seed = data[1];
    CheckDecoderSplits(data + 2, size - 2, seed);

    static VirtualClock clock;

    std::vector<uint8_t> server;
    if (flags & 1) {
        const uint8_t agreement[] = {kIac, kDo, kOptBinary, kIac, kWill, kOptBinary, kIac, kDo, kOptSuppressGoAhead,
                                     kIac, kWill, kOptSuppressGoAhead, kIac, kDo, kOptComPort};
        server.assign(std::begin(agreement), std::end(agreement));
    }
    server.insert(server.end(), data + 2, data + size);
    Rfc2217Timing timing;
    timing.negotiateMs = 500;
    timing.replyMs = 500;
    std::unique_ptr<Rfc2217Port> port =
        Rfc2217Port::Start(std::make_unique<FuzzStream>(clock, std::move(server), seed, (flags & 2) != 0), clock, timing);
    if (port) DrivePort(std::move(port));
    return 0;
}
