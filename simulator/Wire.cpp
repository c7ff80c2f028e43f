#include "simulator/Wire.h"

#include <algorithm>

#include "platform/LineTiming.h"

namespace sim {

namespace {

constexpr uint8_t kGarbleMask = 0x5A;  // what a wrong line format does to a byte
constexpr int kPacketBytes = 62;       // one USB packet of the adapter

}  // namespace

int64_t MsToMicros(uint64_t ms)
{
    constexpr uint64_t kMax = static_cast<uint64_t>(INT64_MAX / 2000);
    return static_cast<int64_t>(std::min(ms, kMax)) * 1000;
}

int64_t AnswerStart(const SimOptions& options, int64_t end, int64_t ms)
{
    return end + (ms < 0 ? options.turnaroundMicros : MsToMicros(static_cast<uint64_t>(ms)));
}

// ---------------------------------------------------------------- LineFormat

int64_t LineFormat::ByteNanos() const { return CharacterNanos(baud, dataBits, parity, stopBits); }

bool LineFormat::Matches(const LineFormat& other) const
{
    if (dataBits != other.dataBits || parity != other.parity || stopBits != other.stopBits) return false;
    const int64_t diff = static_cast<int64_t>(baud) - static_cast<int64_t>(other.baud);
    return (diff < 0 ? -diff : diff) * 100 <= 2 * static_cast<int64_t>(other.baud);
}

// ---------------------------------------------------------------------- Wire

Wire::Wire(const SimOptions& options, Random& random) : options_(options), random_(random)
{
    // A fresh port holds RTS and DTR up until told otherwise.
    settings_.fRtsControl = kRtsControlEnable;
    settings_.fDtrControl = kDtrControlEnable;
}

Wire::Verdict Wire::Judge(const LineFormat& sent, const LineFormat& host)
{
    if (host.Matches(sent)) return Verdict::Intact;
    // At a speed off by less than a factor of two the host still frames
    // bytes, wrong ones; further off it frames nothing.
    const bool framed = host.baud <= 2ull * sent.baud && sent.baud <= 2ull * host.baud;
    return framed ? Verdict::Wrong : Verdict::Lost;
}

void Wire::SetHostSettings(int64_t now, const LineSettings& settings)
{
    const LineFormat before = HostFormat();
    settings_ = settings;
    const LineFormat after = HostFormat();
    if (after == before) return;
    const int64_t nowNs = now * 1000;

    // Outgoing: every byte still queued has not finished yet. The one that
    // started before now is cut across by the change; the rest follow back
    // to back at the new settings.
    int64_t next = -1;
    for (TxEntry& b : tx_) {
        if (b.startNs < nowNs) {
            b.garbled = true;
            continue;
        }
        if (next < 0) next = b.startNs;
        b.startNs = next;
        next += after.ByteNanos();
        b.endNs = next;
        b.format = after;
    }
    if (next >= 0) txFreeNs_ = next;

    // Incoming: bytes already in keep their verdict; a byte arriving now is
    // garbled; later ones are judged by the new settings.
    for (RxEntry& r : rx_) {
        if (r.wireEndNs <= nowNs) continue;
        r.verdict = r.wireStartNs < nowNs ? Verdict::Wrong : Judge(r.sent, after);
    }
}

void Wire::Connect(uint64_t handle)
{
    receiver_ = handle;
    rx_.clear();
}

// ------------------------------------------------------ host to the reader

void Wire::Write(int64_t now, const uint8_t* bytes, uint32_t count, uint64_t handle)
{
    const LineFormat f = HostFormat();
    const int64_t byteNs = f.ByteNanos();
    int64_t ns = std::max(now * 1000, txFreeNs_);
    for (uint32_t i = 0; i < count; ++i) {
        const int64_t start = ns;
        ns += byteNs;
        tx_.push_back({start, ns, bytes[i], f, false, handle});
    }
    txFreeNs_ = ns;
}

int64_t Wire::NextHostByteEnd() const { return tx_.empty() ? kNever : CeilMicros(tx_.front().endNs); }

HostByte Wire::PopHostByte()
{
    const TxEntry b = tx_.front();
    tx_.pop_front();
    return {CeilMicros(b.startNs), CeilMicros(b.endNs), b.value, b.format, b.garbled, b.handle};
}

int64_t Wire::OutputDoneAt(int64_t now) const
{
    return tx_.empty() ? now : std::max(now, CeilMicros(tx_.back().endNs));
}

void Wire::PurgeOutput(int64_t now)
{
    const int64_t nowNs = now * 1000;
    while (!tx_.empty() && tx_.back().startNs > nowNs) tx_.pop_back();
    txFreeNs_ = tx_.empty() ? std::min(txFreeNs_, nowNs) : tx_.back().endNs;
}

void Wire::DropOutput()
{
    tx_.clear();
    txFreeNs_ = 0;
}

// ------------------------------------------------------- reader to the host

void Wire::Echo(const HostByte& b, uint8_t value)
{
    // The echo is the host's own byte on the shared line: no time on the
    // reader's side, and garbled when the byte itself was.
    Deliver(b.start * 1000, b.end * 1000, value, b.format, Source::Echo, b.handle, b.garbled);
}

void Wire::SendAnswer(int64_t from, const uint8_t* bytes, size_t n, const LineFormat& sent, Source source,
                      uint64_t handle, int64_t gapMicros)
{
    // Pieces: one byte each with a gap, else at most two around the split.
    const size_t split = options_.splitAfter > 0 ? static_cast<size_t>(options_.splitAfter) : n;
    size_t i = 0;
    while (i < n) {
        const size_t end = gapMicros > 0 ? i + 1 : (i < split ? std::min(split, n) : n);
        if (i > 0) {
            int64_t pause = gapMicros;
            if (i == split) pause += MsToMicros(static_cast<uint64_t>(options_.splitPauseMs));
            from = CeilMicros(rxFreeNs_) + pause;
        }
        Send(from, bytes + i, end - i, sent, source, handle);
        i = end;
    }
}

void Wire::Send(int64_t from, const uint8_t* bytes, size_t n, const LineFormat& sent, Source source,
                uint64_t handle)
{
    const int64_t byteNs = sent.ByteNanos();
    int64_t ns = std::max(from * 1000, rxFreeNs_);
    for (size_t i = 0; i < n; ++i) {
        const int64_t start = ns;
        ns += byteNs;
        uint8_t v = bytes[i];
        if (random_.Chance(options_.noise)) v = random_.FlipBit(v);
        Deliver(start, ns, v, sent, source, handle, false);
    }
    rxFreeNs_ = ns;
}

void Wire::Deliver(int64_t startNs, int64_t endNs, uint8_t value, const LineFormat& sent, Source source,
                   uint64_t handle, bool garbled)
{
    // Only the handle a byte was meant for can receive it.
    if (handle != receiver_ || receiver_ == 0 || options_.silent) return;
    // lostbyte=: the host's UART misses the byte. extrabyte=: it frames one
    // more (a glitch on the line) just before it.
    if (random_.Chance(options_.lostByte)) return;
    const bool extra = random_.Chance(options_.extraByte);
    int64_t at = CeilMicros(endNs);
    if (options_.latencyMs > 0) at = AdapterDelay(at);
    const Verdict verdict = garbled ? Verdict::Wrong : Judge(sent, HostFormat());
    if (extra) Enqueue({at, startNs, endNs, random_.Byte(), sent, source, Verdict::Intact});
    Enqueue({at, startNs, endNs, value, sent, source, verdict});
}

void Wire::Enqueue(const RxEntry& r)
{
    if (rx_.empty() || rx_.back().at <= r.at) {
        rx_.push_back(r);
        return;
    }
    const auto pos =
        std::upper_bound(rx_.begin(), rx_.end(), r.at, [](int64_t t, const RxEntry& e) { return t < e.at; });
    rx_.insert(pos, r);
}

int64_t Wire::AdapterDelay(int64_t wireAt)
{
    // The adapter's latency timer fires every latencyMs; when it fires, the
    // adapter passes what it has gathered to the host as one USB packet. A
    // packet's worth gathered goes at once.
    const int64_t period = options_.latencyMs * 1000;
    const int64_t tick = (wireAt + period - 1) / period * period;
    if (tick != packetDue_) {
        packetDue_ = tick;
        packetCount_ = 0;
    }
    if (++packetCount_ < kPacketBytes) return packetDue_;
    for (auto it = rx_.rbegin(); it != rx_.rend() && it->at == packetDue_; ++it) it->at = wireAt;
    packetCount_ = 0;
    return wireAt;
}

void Wire::CancelCardBytes(int64_t now)
{
    // Bytes the card has finished sending are on their way to the host (in
    // the adapter, perhaps); the rest never go out.
    const int64_t nowNs = now * 1000;
    int64_t busyUntil = nowNs;
    for (auto it = rx_.begin(); it != rx_.end();) {
        if (it->source == Source::Card && it->wireEndNs > nowNs) {
            it = rx_.erase(it);
        } else {
            if (it->source != Source::Echo) busyUntil = std::max(busyUntil, it->wireEndNs);
            ++it;
        }
    }
    rxFreeNs_ = std::min(rxFreeNs_, busyUntil);
}

int64_t Wire::NextArrival() const
{
    for (const RxEntry& r : rx_)
        if (r.verdict != Verdict::Lost) return r.at;
    return kNever;
}

uint32_t Wire::Take(uint8_t* buffer, uint32_t count, int64_t now)
{
    // What has arrived by now; bytes the host could not frame are gone.
    size_t arrived = 0;
    for (auto it = rx_.begin(); it != rx_.end() && it->at <= now;) {
        if (it->verdict == Verdict::Lost) {
            it = rx_.erase(it);
            continue;
        }
        ++it;
        ++arrived;
    }
    // A full input queue loses what arrives next.
    if (arrived > inQueue_) {
        rx_.erase(rx_.begin() + static_cast<std::ptrdiff_t>(inQueue_),
                  rx_.begin() + static_cast<std::ptrdiff_t>(arrived));
        arrived = inQueue_;
    }
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(count, arrived));
    for (uint32_t i = 0; i < n; ++i) {
        const RxEntry& r = rx_.front();
        buffer[i] = r.verdict == Verdict::Wrong ? static_cast<uint8_t>(r.value ^ kGarbleMask) : r.value;
        rx_.pop_front();
    }
    return n;
}

void Wire::PurgeInput(int64_t now)
{
    while (!rx_.empty() && rx_.front().at <= now) rx_.pop_front();
}

}  // namespace sim
