// The reply handling of reader setup, card reset, speed calibration and card
// programming, on replies changed by the fuzzer. The simulated reader and
// card do the talking; between them and the channel every reply (what comes
// back after a frame is written, after a break ends, after the card is
// released from reset) passes through one fuzz-chosen change: none, one byte
// replaced, bytes dropped, or bytes inserted. The whole Program sequence runs
// on the virtual clock.
//
// Nothing may crash or hang, and "Card successfully programmed." may be shown
// only when every block of the image was written by a frame whose reply, as
// the program received it, carried FF 00 C0 behind the 23 bytes of the echo
// (whose contents the program does not examine) - and, with verify, was read
// back by a frame whose reply carried the block at positions 12..27, and the
// card holds the image.
//
// Input: byte 0 (bit 0 verify, bits 1-2 image size), then one change per
// reply: kind byte (0 none, 1 replace: position, value; 2 drop: position,
// count; 3 insert: position, count 1-8, bytes). When the input runs out,
// replies pass unchanged.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/ForwardingPort.h"
#include "programming/ProgramData.h"
#include "programming/ProgramSequence.h"
#include "serial/ReaderLink.h"
#include "simulator/Simulator.h"
#include "support/RecordingWindow.h"

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    uint8_t Next() { return pos < size ? data[pos++] : 0; }
    bool Empty() const { return pos >= size; }
};

struct Reply {
    std::vector<uint8_t> frame;      // what the host wrote (empty: break end or reset release)
    std::vector<uint8_t> delivered;  // what the host received, as changed
};

class TamperingPort final : public ForwardingPort {
public:
    TamperingPort(std::unique_ptr<CommPort> inner, Input& input, std::vector<Reply>& replies)
        : ForwardingPort(std::move(inner)), input_(input), replies_(replies)
    {
        Boundary({});
    }

    bool Escape(uint32_t f) override
    {
        if (f == kEscClrRts) Boundary({});
        return Inner().Escape(f);
    }
    bool ClearBreak() override
    {
        Boundary({});
        return Inner().ClearBreak();
    }
    bool Purge(uint32_t flags) override
    {
        if (flags & kPurgeRxClear) out_.clear();
        return Inner().Purge(flags);
    }
    bool Write(const uint8_t* buffer, uint32_t count, uint32_t& written) override
    {
        Boundary(std::vector<uint8_t>(buffer, buffer + count));
        return Inner().Write(buffer, count, written);
    }
    bool Read(uint8_t* buffer, uint32_t count, uint32_t& bytesRead) override
    {
        bytesRead = 0;
        bool ok = true;
        if (out_.empty()) {
            std::vector<uint8_t> raw(count);
            uint32_t got = 0;
            ok = Inner().Read(raw.data(), count, got);
            for (uint32_t i = 0; i < got; ++i) Pass(raw[i]);
        }
        while (bytesRead < count && !out_.empty()) {
            buffer[bytesRead++] = out_.front();
            replies_.back().delivered.push_back(out_.front());
            out_.pop_front();
        }
        return ok;
    }

private:
    // A new reply begins: choose its change.
    void Boundary(std::vector<uint8_t> frame)
    {
        replies_.push_back({std::move(frame), {}});
        index_ = 0;
        kind_ = input_.Next() % 4;
        position_ = input_.Next();
        count_ = input_.Next();
        value_ = count_;
        inserted_.clear();
        if (kind_ == 3) {
            const size_t n = 1 + count_ % 8;
            for (size_t i = 0; i < n; ++i) inserted_.push_back(input_.Next());
            if (position_ == 0) out_.insert(out_.end(), inserted_.begin(), inserted_.end());
        }
    }

    // One byte of the device's reply on its way to the host.
    void Pass(uint8_t b)
    {
        const size_t i = index_++;
        if (kind_ == 3 && i == position_ && i != 0) out_.insert(out_.end(), inserted_.begin(), inserted_.end());
        if (kind_ == 2 && i >= position_ && i < size_t{position_} + count_) return;
        if (kind_ == 1 && i == position_) b = value_;
        out_.push_back(b);
    }

    Input& input_;
    std::vector<Reply>& replies_;
    std::deque<uint8_t> out_;
    size_t index_ = 0;
    uint8_t kind_ = 0;
    uint8_t position_ = 0;
    uint8_t count_ = 0;
    uint8_t value_ = 0;
    std::vector<uint8_t> inserted_;
};

class TamperingOpener final : public CommPortOpener {
public:
    TamperingOpener(CommPortOpener& inner, Input& input, std::vector<Reply>& replies)
        : inner_(inner), input_(input), replies_(replies)
    {
    }
    std::unique_ptr<CommPort> Open(const std::string& name) override
    {
        std::unique_ptr<CommPort> port = inner_.Open(name);
        if (!port) return nullptr;
        return std::make_unique<TamperingPort>(std::move(port), input_, replies_);
    }

private:
    CommPortOpener& inner_;
    Input& input_;
    std::vector<Reply>& replies_;
};

uint32_t AddressOf(const std::vector<uint8_t>& f) { return (uint32_t{f[3]} << 16) | (uint32_t{f[4]} << 8) | f[5]; }

// True when the block at `address` was written by a frame carrying `block`
// whose reply acknowledged it behind the echo's 23 bytes.
bool WrittenAndAcknowledged(const std::vector<Reply>& replies, uint32_t address, const uint8_t* block)
{
    for (const Reply& r : replies) {
        const std::vector<uint8_t>& f = r.frame;
        if (f.size() != 23 || f[0] != 0xFF || AddressOf(f) != address || !std::equal(block, block + 16, f.begin() + 6))
            continue;
        const std::vector<uint8_t>& d = r.delivered;
        if (d.size() >= 26 && d[23] == 0xFF && d[24] == 0x00 && d[25] == 0xC0)
            return true;
    }
    return false;
}

bool ReadBackRight(const std::vector<Reply>& replies, uint32_t address, const uint8_t* block)
{
    for (const Reply& r : replies) {
        const std::vector<uint8_t>& f = r.frame;
        if (f.size() != 7 || f[0] != 0xFE || AddressOf(f) != address) continue;
        if (r.delivered.size() >= 28 && std::equal(block, block + 16, r.delivered.begin() + 12)) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) return 0;
    const bool verify = (data[0] & 1) != 0;
    static const int32_t kSizes[] = {17, 32, 48, 100};
    const int32_t length = kSizes[(data[0] >> 1) & 3];
    Input input{data + 1, size - 1};

    VirtualClock clock;
    clock.SetPollStep(200);
    sim::SimulatorOpener simulator(clock, sim::SimOptions::Parse("card=out,insert=0"));
    std::vector<Reply> replies;
    TamperingOpener tampering(simulator, input, replies);
    ReaderLink link(clock, tampering, simulator.Failures());
    const TSerialChannel& SerialChannel = link.SerialChannel;

    std::vector<uint8_t> image(kCardImageSize, 0);
    for (int32_t i = 0; i < length; ++i) image[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 37 + 11);
    std::vector<uint8_t> buffer = image;
    TCardImage CardImage;
    CardImage.Data = buffer.data();
    CardImage.Length = length;
    RecordingWindow window(clock, 0, verify);
    const ProgramRunOutcome outcome = RunProgramSequence(link, window, CardImage);

    if (!outcome.error.empty() || outcome.aborted || SerialChannel.IsOpen) std::abort();
    if (outcome.programmed) {
        const int32_t padded = (length + 15) / 16 * 16;
        for (int32_t offset = 0; offset < padded; offset += 16) {
            const uint8_t* block = image.data() + offset;
            const uint32_t address = static_cast<uint32_t>(offset);
            if (!WrittenAndAcknowledged(replies, address, block)) std::abort();
            if (verify && !ReadBackRight(replies, address, block)) std::abort();
        }
        if (verify && !std::equal(image.begin(), image.begin() + padded, simulator.Reader().Memory().begin()))
            std::abort();
    }
    return 0;
}
