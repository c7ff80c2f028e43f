#pragma once
// A port layer between the channel and another opener (normally the simulated
// reader) that injects the faults the device has no switch for:
// - a reply byte changed on its way to the host (the reader answering a setup
//   command wrongly);
// - a block write frame whose address is garbled on its way to the card, so
//   the card stores the block at another address and acknowledges it, as a
//   flipped address bit on the line does; or a block read frame garbled so,
//   answered with the bytes stored at the other address. The reader echoes
//   the frame as it went to the card, unless the card alone misread it (the
//   echo then shows the frame as sent); bytes of what comes back after such
//   a frame can be lost on the way (a short echo).
// Everything else passes through unchanged.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/CommPort.h"
#include "platform/ForwardingPort.h"

class FaultyOpener final : public CommPortOpener {
public:
    // After a host write that starts with `after` (or, with `after` empty, the
    // end of a line break), the byte received at position `index` from then
    // on (echo included) arrives as `value`; the first `times` times
    // (negative: every time).
    struct ReplyFault {
        std::vector<uint8_t> after;
        size_t index = 0;
        uint8_t value = 0;
        int times = -1;
    };
    // Block writes (with `read`: block reads) meant for address `from` go to
    // `to` instead: the first one, and then every `every`-th one (1: each), at
    // most `limit` times (negative: without limit).
    // With `cardOnly` the card alone took the frame for `to`: the echo shows
    // the address as sent. `lostBytes` of what comes back after the frame
    // (its echo first) are lost on the way.
    struct Misdirect {
        uint32_t from = 0;
        uint32_t to = 0;
        int every = 1;
        int limit = 1;
        int seen = 0;
        int done = 0;
        bool read = false;
        bool cardOnly = false;
        int lostBytes = 0;
    };
    static Misdirect ReadMisdirect(uint32_t from, uint32_t to, int every = 1, int limit = 1)
    {
        Misdirect m{from, to, every, limit};
        m.read = true;
        return m;
    }
    static Misdirect CardMisread(uint32_t from, uint32_t to, int every = 1, int limit = 1)
    {
        Misdirect m{from, to, every, limit};
        m.cardOnly = true;
        return m;
    }
    static Misdirect ShortEcho(uint32_t from, uint32_t to, int lostBytes)
    {
        Misdirect m{from, to, 1, 1};
        m.lostBytes = lostBytes;
        return m;
    }

    explicit FaultyOpener(CommPortOpener& inner) : inner_(inner) {}

    std::vector<ReplyFault> replyFaults;
    std::vector<Misdirect> misdirects;
    // From this open on (counted from 1) the port cannot be opened, as after
    // the reader was unplugged between two operations; 0: never.
    int refuseOpensFrom = 0;
    int opens = 0;
    // What was injected so far.
    int repliesChanged = 0;
    int writesMisdirected = 0;
    int readsMisdirected = 0;

    std::unique_ptr<CommPort> Open(const std::string& deviceName) override;

private:
    CommPortOpener& inner_;
};

namespace faulty_detail {

class Port final : public ForwardingPort {
public:
    Port(std::unique_ptr<CommPort> inner, FaultyOpener& owner) : ForwardingPort(std::move(inner)), owner_(owner) {}

    bool ClearBreak() override
    {
        Arm({});
        return Inner().ClearBreak();
    }

    bool Read(uint8_t* buffer, uint32_t count, uint32_t& bytesRead) override
    {
        const bool ok = Inner().Read(buffer, count, bytesRead);
        const uint32_t lost = std::min(bytesRead, lose_);
        if (lost > 0) {
            std::copy(buffer + lost, buffer + bytesRead, buffer);
            bytesRead -= lost;
            lose_ -= lost;
        }
        // The address bytes of the echo as sent (positions 3 to 5).
        for (uint32_t i = 0; i < bytesRead && patched_ < 6; ++i, ++patched_)
            if (patched_ >= 3) buffer[i] = sentAddress_[patched_ - 3];
        for (Armed& a : armed_) {
            FaultyOpener::ReplyFault& f = owner_.replyFaults[a.fault];
            if (f.times != 0 && f.index >= a.received && f.index < a.received + bytesRead) {
                buffer[f.index - a.received] = f.value;
                ++owner_.repliesChanged;
                if (f.times > 0) --f.times;
            }
            a.received += bytesRead;
        }
        return ok;
    }

    bool Write(const uint8_t* buffer, uint32_t count, uint32_t& bytesWritten) override
    {
        std::vector<uint8_t> bytes(buffer, buffer + count);
        Arm(bytes);
        lose_ = 0;
        patched_ = 6;
        const bool write = count == 23 && bytes[0] == 0xFF && bytes[1] == 0x00 && bytes[2] == 0x13;
        const bool read = count == 7 && bytes[0] == 0xFE && bytes[1] == 0x00 && bytes[2] == 0x03;
        if (write || read) {
            const uint32_t address = (uint32_t{bytes[3]} << 16) | (uint32_t{bytes[4]} << 8) | bytes[5];
            for (FaultyOpener::Misdirect& m : owner_.misdirects) {
                if (m.from != address || m.read != read) continue;
                const bool due = m.seen++ % m.every == 0 && (m.limit < 0 || m.done < m.limit);
                if (!due) continue;
                ++m.done;
                ++(read ? owner_.readsMisdirected : owner_.writesMisdirected);
                lose_ = static_cast<uint32_t>(m.lostBytes);
                if (m.cardOnly) {
                    std::copy(bytes.begin() + 3, bytes.begin() + 6, sentAddress_);
                    patched_ = 0;
                }
                bytes[3] = static_cast<uint8_t>(m.to >> 16);
                bytes[4] = static_cast<uint8_t>(m.to >> 8);
                bytes[5] = static_cast<uint8_t>(m.to);
                break;
            }
        }
        return Inner().Write(bytes.data(), count, bytesWritten);
    }

private:
    struct Armed {
        size_t fault;
        size_t received;
    };

    // A new trigger replaces what the previous write armed.
    void Arm(const std::vector<uint8_t>& written)
    {
        armed_.clear();
        for (size_t i = 0; i < owner_.replyFaults.size(); ++i) {
            const std::vector<uint8_t>& after = owner_.replyFaults[i].after;
            const bool match = after.empty() ? written.empty()
                                             : written.size() >= after.size() &&
                                                   std::equal(after.begin(), after.end(), written.begin());
            if (match) armed_.push_back({i, 0});
        }
    }

    FaultyOpener& owner_;
    std::vector<Armed> armed_;
    // Bytes still to be lost of what comes back.
    uint32_t lose_ = 0;
    // A frame the card alone misread: its address as sent, and the bytes of
    // the echo received since (6: nothing more to restore).
    uint8_t sentAddress_[3] = {};
    int patched_ = 6;
};

}  // namespace faulty_detail

inline std::unique_ptr<CommPort> FaultyOpener::Open(const std::string& deviceName)
{
    if (refuseOpensFrom > 0 && ++opens >= refuseOpensFrom) return nullptr;
    std::unique_ptr<CommPort> port = inner_.Open(deviceName);
    if (!port) return nullptr;
    return std::make_unique<faulty_detail::Port>(std::move(port), *this);
}
