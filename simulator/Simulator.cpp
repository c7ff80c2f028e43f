#include "simulator/Simulator.h"

#include <algorithm>

#include "platform/ComNames.h"
#include "platform/PortFailure.h"

namespace sim {

namespace {

// The reader's own protocol runs at 9600 8N1 only.
constexpr LineFormat kSetupFormat{9600, 8, kNoParity, kOneStopBit};

constexpr int64_t kSetupBreakMicros = 1'100'000;   // shortest break that enters setup mode
constexpr int64_t kJunkAfterMarkMicros = 2'000;    // junk starts this long after the 1.1 s mark
constexpr uint8_t kJunkByte = 0xA5;
constexpr uint8_t kGarbleMask = 0x5A;              // what a wrong line format does to a byte

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;

int64_t CeilMicros(int64_t ns) { return (ns + 999) / 1000; }

// Saturating microseconds from a count of milliseconds.
int64_t MsToMicros(uint64_t ms)
{
    constexpr uint64_t kMax = static_cast<uint64_t>(INT64_MAX / 2000);
    return static_cast<int64_t>(std::min(ms, kMax)) * 1000;
}

}  // namespace

// ---------------------------------------------------------------- LineFormat

int64_t LineFormat::ByteNanos() const
{
    // Bit counts in halves, for 1.5 stop bits.
    int64_t halves = 2 * (1 + static_cast<int64_t>(dataBits)) + (parity != kNoParity ? 2 : 0);
    halves += stopBits == kOneStopBit ? 2 : stopBits == kOne5StopBits ? 3 : 4;
    const int64_t b = baud == 0 ? 1 : static_cast<int64_t>(baud);
    return (halves * 1'000'000'000 + b) / (2 * b);
}

bool LineFormat::Matches(const LineFormat& other) const
{
    if (dataBits != other.dataBits || parity != other.parity || stopBits != other.stopBits) return false;
    const int64_t diff = static_cast<int64_t>(baud) - static_cast<int64_t>(other.baud);
    return (diff < 0 ? -diff : diff) * 100 <= 2 * static_cast<int64_t>(other.baud);
}

// ----------------------------------------------------------- SimulatedReader

SimulatedReader::SimulatedReader(Clock& clock, SimOptions options)
    : clock_(clock), options_(std::move(options)), rng_(options_.seed), memory_(kCardMemorySize, 0xFF)
{
    card_ = options_.cardIn ? CardState::Idle : CardState::Absent;
    if (options_.setupByte >= 0) {
        settingByte_ = static_cast<uint8_t>(options_.setupByte);
        working_ = true;
    }
    // A fresh port holds RTS and DTR up until told otherwise.
    settings_.fRtsControl = kRtsControlEnable;
    settings_.fDtrControl = kDtrControlEnable;
}

std::unique_ptr<CommPort> SimulatedReader::OpenHandle()
{
    int64_t now = clock_.NowMicros();
    if (options_.openLines && !handleOpen_ && CeilMicros(txFreeNs_) > now) {
        // A driver's close waits until what was written has left the line,
        // so the next open comes after it.
        clock_.SleepUntilMicros(CeilMicros(txFreeNs_));
        now = clock_.NowMicros();
    }
    // Everything up to now happens before this handle exists.
    Advance(now);
    if (vanished_ || handleOpen_) return nullptr;
    handleOpen_ = true;
    ++handleId_;
    rx_.clear();
    if (options_.openLines) {
        // The driver raises both lines on open (and the output written before
        // has gone out); the first SetState sets them as asked.
        SetRtsLevel(now, true);
        SetDtrLevel(now, true);
    }
    if (!everOpened_) {
        everOpened_ = true;
        if (options_.vanishMs >= 0) vanishAt_ = now + MsToMicros(static_cast<uint64_t>(options_.vanishMs));
    }
    return std::make_unique<SimulatorPort>(shared_from_this());
}

void SimulatedReader::HandleClosed()
{
    // Reads no clock: the handle may outlive the clock it was opened on.
    handleOpen_ = false;
    rx_.clear();
    if (breakHeld_) HostClearBreak(lastNow_);
}

std::pair<uint32_t, uint32_t> SimulatedReader::LoaderWindow() const
{
    if (options_.windowLow != 0) return {options_.windowLow, options_.windowHigh};
    if (settingByte_ && (*settingByte_ & 0x03) == 3) return {57000, 57900};
    return {34000, 34700};
}

LineFormat SimulatedReader::BaseFormat() const
{
    const bool fast = settingByte_ && (*settingByte_ & 0x03) == 3;
    return {fast ? 9600u : 5728u, 8, kNoParity, kTwoStopBits};
}

bool SimulatedReader::CardReachable() const
{
    return working_ && settingByte_ && (*settingByte_ & 0x80) == 0 && (*settingByte_ & 0x03) != 0;
}

void SimulatedReader::InsertCard()
{
    const int64_t now = clock_.NowMicros();
    Advance(now);
    InsertAt(now);
}

void SimulatedReader::RemoveCard()
{
    const int64_t now = clock_.NowMicros();
    Advance(now);
    RemoveAt(now);
}

void SimulatedReader::InsertAt(int64_t)
{
    // A card put in sits idle until the next release from reset.
    if (card_ == CardState::Absent) card_ = CardState::Idle;
}

void SimulatedReader::RemoveAt(int64_t t)
{
    if (card_ == CardState::Absent) return;
    card_ = CardState::Absent;
    frame_.clear();
    CancelCardBytes(t);
}

// ------------------------------------------------------------------ the wire

void SimulatedReader::Advance(int64_t t)
{
    if (t > lastNow_) lastNow_ = t;
    while (NextEventTime() <= t) ProcessNextEvent();
}

int64_t SimulatedReader::NextEventTime() const
{
    int64_t e = tx_.empty() ? kNever : tx_.front().end;
    e = std::min({e, junkAt_, removeAt_, insertAt_, vanishAt_});
    return e;
}

void SimulatedReader::ProcessNextEvent()
{
    const int64_t e = NextEventTime();
    if (e > lastEventAt_) lastEventAt_ = e;
    if (vanishAt_ == e) {
        vanishAt_ = kNever;
        vanished_ = true;
    } else if (removeAt_ == e) {
        removeAt_ = kNever;
        RemoveAt(e);
    } else if (insertAt_ == e) {
        insertAt_ = kNever;
        InsertAt(e);
    } else if (junkAt_ == e) {
        junkAt_ = kNever;
        if (breakHeld_ && options_.breakJunk > 0) {
            const std::vector<uint8_t> junk(static_cast<size_t>(options_.breakJunk), kJunkByte);
            SendAnswer(e, junk.data(), junk.size(), kSetupFormat, Source::Reader, breakHandle_);
        }
    } else {
        const TxByte b = tx_.front();
        tx_.pop_front();
        ByteReceived(b);
    }
}

int64_t SimulatedReader::NextArrival(int64_t limit)
{
    for (;;) {
        if (vanished_) return lastEventAt_;
        const int64_t ta = rx_.empty() ? kNever : rx_.front().at;
        const int64_t te = NextEventTime();
        if (ta <= te) return ta <= limit ? ta : kNever;
        if (te > limit) return kNever;
        ProcessNextEvent();
    }
}

uint32_t SimulatedReader::Take(uint8_t* buffer, uint32_t count, int64_t now)
{
    size_t arrived = 0;
    while (arrived < rx_.size() && rx_[arrived].at <= now) ++arrived;
    // A full input queue loses what arrives next.
    if (arrived > inQueue_) {
        rx_.erase(rx_.begin() + static_cast<std::ptrdiff_t>(inQueue_),
                  rx_.begin() + static_cast<std::ptrdiff_t>(arrived));
        arrived = inQueue_;
    }
    const uint32_t n = static_cast<uint32_t>(std::min<size_t>(count, arrived));
    for (uint32_t i = 0; i < n; ++i) {
        buffer[i] = rx_.front().value;
        rx_.pop_front();
    }
    return n;
}

int64_t SimulatedReader::AdapterDelay(int64_t wireAt)
{
    // The adapter's latency timer fires every latencyMs; when it fires, the
    // adapter passes what it has gathered to the host as one USB packet. A
    // packet's worth gathered goes at once.
    constexpr int kPacketBytes = 62;
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

void SimulatedReader::Deliver(int64_t at, uint8_t value, Source source, uint64_t handle)
{
    // Only the handle a byte was meant for can receive it.
    if (!handleOpen_ || handle != handleId_ || options_.silent) return;
    if (options_.latencyMs > 0) at = AdapterDelay(at);
    const RxByte b{at, value, source};
    if (rx_.empty() || rx_.back().at <= at) {
        rx_.push_back(b);
        return;
    }
    const auto pos = std::upper_bound(rx_.begin(), rx_.end(), at,
                                      [](int64_t t, const RxByte& r) { return t < r.at; });
    rx_.insert(pos, b);
}

void SimulatedReader::Send(int64_t from, const uint8_t* bytes, size_t n, const LineFormat& sent, Source source,
                           uint64_t handle)
{
    const LineFormat host = LineFormat::Of(settings_);
    const bool intact = host.Matches(sent);
    // At a speed off by less than a factor of two the host still sees bytes,
    // wrong ones; further off it sees nothing it can frame.
    const bool garbled = !intact && host.baud <= 2ull * sent.baud && sent.baud <= 2ull * host.baud;
    const int64_t byteNs = sent.ByteNanos();
    int64_t ns = std::max(from * 1000, rxFreeNs_);
    for (size_t i = 0; i < n; ++i) {
        ns += byteNs;
        uint8_t v = bytes[i];
        if (!intact) v ^= kGarbleMask;
        if (Chance(options_.noise)) v = FlipRandomBit(v);
        if (intact || garbled) Deliver(CeilMicros(ns), v, source, handle);
    }
    rxFreeNs_ = ns;
}

int64_t SimulatedReader::AnswerFrom(int64_t end, int64_t ms) const
{
    return end + (ms < 0 ? options_.turnaroundMicros : MsToMicros(static_cast<uint64_t>(ms)));
}

void SimulatedReader::SendAnswer(int64_t from, const uint8_t* bytes, size_t n, const LineFormat& sent, Source source,
                                 uint64_t handle, int64_t gapMicros)
{
    // Pieces: one byte each with a gap, else at most two around the split.
    const size_t split = options_.splitAfter > 0 ? static_cast<size_t>(options_.splitAfter) : n;
    size_t i = 0;
    while (i < n) {
        size_t end = gapMicros > 0 ? i + 1 : (i < split ? std::min(split, n) : n);
        if (i > 0) {
            int64_t pause = gapMicros;
            if (i == split) pause += MsToMicros(static_cast<uint64_t>(options_.splitPauseMs));
            from = CeilMicros(rxFreeNs_) + pause;
        }
        Send(from, bytes + i, end - i, sent, source, handle);
        i = end;
    }
}

void SimulatedReader::CancelCardBytes(int64_t now)
{
    int64_t busyUntil = now * 1000;
    for (auto it = rx_.begin(); it != rx_.end();) {
        if (it->source == Source::Card && it->at > now) {
            it = rx_.erase(it);
        } else {
            if (it->source != Source::Echo) busyUntil = std::max(busyUntil, it->at * 1000);
            ++it;
        }
    }
    rxFreeNs_ = std::min(rxFreeNs_, busyUntil);
}

bool SimulatedReader::Chance(double p)
{
    if (p <= 0.0) return false;
    if (p >= 1.0) return true;
    return static_cast<double>(NextRandom() >> 11) * 0x1.0p-53 < p;
}

uint64_t SimulatedReader::NextRandom()
{
    // splitmix64: small, fast and repeatable from the seed.
    rng_ += 0x9E3779B97F4A7C15ull;
    uint64_t z = rng_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint8_t SimulatedReader::FlipRandomBit(uint8_t v) { return static_cast<uint8_t>(v ^ (1u << (NextRandom() % 8))); }

// ----------------------------------------------------------------- host side

void SimulatedReader::HostWrite(int64_t now, const uint8_t* bytes, uint32_t count)
{
    if (recording_) writes_.push_back({now, std::vector<uint8_t>(bytes, bytes + count), settings_});
    const LineFormat f = LineFormat::Of(settings_);
    const int64_t byteNs = f.ByteNanos();
    int64_t ns = std::max(now * 1000, txFreeNs_);
    for (uint32_t i = 0; i < count; ++i) {
        const int64_t start = ns;
        ns += byteNs;
        tx_.push_back({CeilMicros(start), CeilMicros(ns), bytes[i], f, handleId_});
    }
    txFreeNs_ = ns;
}

void SimulatedReader::HostSetState(int64_t now, const LineSettings& s)
{
    settings_ = s;
    SetRtsLevel(now, s.fRtsControl == kRtsControlEnable || s.fRtsControl == kRtsControlHandshake);
    SetDtrLevel(now, s.fDtrControl == kDtrControlEnable || s.fDtrControl == kDtrControlHandshake);
}

void SimulatedReader::SetRtsLevel(int64_t now, bool level)
{
    if (level == rts_) return;
    rts_ = level;
    lineHistory_.push_back({now, Signal::Rts, level});
    if (level) {
        // Held in reset: whatever the card was doing ends.
        if (card_ != CardState::Absent) card_ = CardState::Idle;
        frame_.clear();
        CancelCardBytes(now);
    } else {
        ReleaseReset(now);
    }
}

void SimulatedReader::SetDtrLevel(int64_t now, bool level)
{
    if (level == dtr_) return;
    dtr_ = level;
    lineHistory_.push_back({now, Signal::Dtr, level});
}

void SimulatedReader::ReleaseReset(int64_t now)
{
    if (card_ == CardState::Absent || !CardReachable()) return;
    cardUsed_ = true;
    card_ = CardState::Ready;
    frame_.clear();
    const std::vector<uint8_t> atr = options_.atr;
    SendAnswer(now + MsToMicros(static_cast<uint64_t>(options_.atrDelayMs)), atr.data(), atr.size(), BaseFormat(),
               Source::Card, handleId_, MsToMicros(static_cast<uint64_t>(options_.atrGapMs)));
}

void SimulatedReader::HostSetBreak(int64_t now)
{
    if (breakHeld_) return;
    breakHeld_ = true;
    breakStart_ = now;
    breakHandle_ = handleId_;
    lineHistory_.push_back({now, Signal::Break, true});
    junkAt_ = now + kSetupBreakMicros + kJunkAfterMarkMicros;
}

void SimulatedReader::HostClearBreak(int64_t now)
{
    if (!breakHeld_) return;
    breakHeld_ = false;
    junkAt_ = kNever;
    lineHistory_.push_back({now, Signal::Break, false});
    if (now - breakStart_ < kSetupBreakMicros) return;
    EnterSetupMode(now);
    const uint8_t ack = kAck;
    SendAnswer(now + MsToMicros(static_cast<uint64_t>(options_.breakAnswerMs)), &ack, 1, kSetupFormat,
               Source::Reader, handleId_);
}

void SimulatedReader::PurgeRx(int64_t now)
{
    while (!rx_.empty() && rx_.front().at <= now) rx_.pop_front();
}

void SimulatedReader::PurgeTx(int64_t now)
{
    // The byte on the line finishes; the ones still waiting are dropped.
    while (!tx_.empty() && tx_.back().start > now) tx_.pop_back();
    txFreeNs_ = tx_.empty() ? std::min(txFreeNs_, now * 1000) : tx_.back().end * 1000;
}

uint32_t SimulatedReader::ModemStatus(int64_t now)
{
    if (options_.followPrompts) FollowPrompt(now);
    if (card_ != CardState::Absent) {
        if (!removeArmed_ && options_.removeMs >= 0) {
            removeArmed_ = true;
            removeAt_ = now + MsToMicros(static_cast<uint64_t>(options_.removeMs));
        }
        return 0;
    }
    if (!insertArmed_ && options_.insertMs >= 0) {
        insertArmed_ = true;
        insertAt_ = now + MsToMicros(static_cast<uint64_t>(options_.insertMs));
    }
    return kMsRlsdOn;
}

void SimulatedReader::FollowPrompt(int64_t now)
{
    // The program looks at the slot again and again while it waits (every
    // half second); a single look, or two in one go, is not a prompt. The
    // person acts half a second after a look that comes a while after the
    // first one at the same state, about a second after the prompt.
    constexpr int64_t kReactionMicros = 500'000;
    constexpr int64_t kWaitingMicros = 250'000;
    const bool present = card_ != CardState::Absent;
    if (present != lookedPresent_ || firstLookAt_ < 0) {
        lookedPresent_ = present;
        firstLookAt_ = now;
    }
    if (now - firstLookAt_ < kWaitingMicros) return;
    if (present) {
        insertAt_ = kNever;
        if (cardUsed_ && removeAt_ == kNever) removeAt_ = now + kReactionMicros;
        return;
    }
    removeAt_ = kNever;
    if (insertAt_ == kNever) {
        insertAt_ = now + kReactionMicros;
        cardUsed_ = false;
    }
}

// --------------------------------------------------------------- reader side

void SimulatedReader::ByteReceived(const TxByte& sent)
{
    // A line held in break carries nothing.
    if (breakHeld_) return;
    TxByte b = sent;
    if (Chance(options_.noise)) b.value = FlipRandomBit(b.value);
    if (!options_.noEcho) Deliver(b.end, b.value, Source::Echo, b.handle);

    // A pause inside a frame abandons it.
    if (b.start - lastByteEnd_ > 2 * (b.end - b.start)) {
        setupFrame_.clear();
        frame_.clear();
    }
    lastByteEnd_ = b.end;

    if (setupMode_)
        SetupByte(b);
    else if (CardReachable() && card_ != CardState::Absent)
        CardByte(b);
}

void SimulatedReader::EnterSetupMode(int64_t now)
{
    setupMode_ = true;
    working_ = false;
    settingGiven_ = false;
    setupFrame_.clear();
    // The card loses its clock while the reader is being set up.
    if (card_ != CardState::Absent) card_ = CardState::Idle;
    frame_.clear();
    CancelCardBytes(now);
}

void SimulatedReader::SetupByte(const TxByte& b)
{
    if (!b.format.Matches(kSetupFormat)) {
        setupFrame_.clear();
        return;
    }
    std::vector<uint8_t>& f = setupFrame_;
    f.push_back(b.value);
    if (f[0] != 0x2A) {
        f.clear();
        return;
    }
    if (f.size() < 2) return;

    switch (f[1]) {
    case 0x41: {
        static const uint8_t kVersion[4] = {0x01, 0x00, 0x10, kAck};
        SendAnswer(AnswerFrom(b.end, options_.answer41Ms), kVersion, 4, kSetupFormat, Source::Reader, b.handle);
        break;
    }
    case 0x42: {
        if (f.size() < 3) return;
        settingByte_ = f[2];
        settingGiven_ = true;
        const uint8_t ack = kAck;
        SendAnswer(AnswerFrom(b.end, options_.answer42Ms), &ack, 1, kSetupFormat, Source::Reader, b.handle);
        break;
    }
    case 0x43: {
        const uint8_t answer = settingGiven_ ? kAck : kNak;
        SendAnswer(AnswerFrom(b.end, options_.answer43Ms), &answer, 1, kSetupFormat, Source::Reader, b.handle);
        if (settingGiven_) {
            setupMode_ = false;
            working_ = true;
        }
        break;
    }
    default:
        // Not a command: start again, keeping a new 0x2A as a command start.
        f.erase(f.begin());
        if (f[0] != 0x2A) f.clear();
        return;
    }
    f.clear();
}

void SimulatedReader::CardByte(const TxByte& b)
{
    if (card_ == CardState::Ready) {
        if (!b.format.Matches(BaseFormat())) {
            frame_.clear();
            return;
        }
        frame_.push_back(b.value);
        if (frame_.size() > 3) frame_.erase(frame_.begin());
        if (frame_ == std::vector<uint8_t>{0x01, 0x02, 0xEA}) {
            card_ = CardState::Loader;
            frame_.clear();
        }
        return;
    }
    if (card_ != CardState::Loader) return;

    const auto [lo, hi] = LoaderWindow();
    const bool understood = b.format.dataBits == 8 && b.format.parity == kMarkParity &&
                            b.format.stopBits == kTwoStopBits && b.format.baud >= lo && b.format.baud <= hi;
    if (!understood) {
        frame_.clear();
        return;
    }
    if (frame_.empty() && b.value != 0xFF && b.value != 0xFE) return;  // waiting for a frame start
    frame_.push_back(b.value);
    const size_t need = frame_[0] == 0xFF ? 23 : 7;
    if (frame_.size() < need) return;
    LoaderFrame(b);
    frame_.clear();
}

void SimulatedReader::LoaderFrame(const TxByte& last)
{
    const std::vector<uint8_t>& f = frame_;
    const uint32_t address = (uint32_t{f[3]} << 16) | (uint32_t{f[4]} << 8) | f[5];
    if (f[1] != 0x00 || address % 16 != 0 || address > kCardMemorySize - 16) return;
    if (f[0] == 0xFF) {
        if (f[2] != 0x13 || f[22] != 0xAA) return;
        for (uint32_t i = 0; i < 16; ++i) {
            uint8_t v = f[6 + i];
            if (options_.badCell == static_cast<int64_t>(address + i)) v ^= 0x01;
            memory_[address + i] = v;
        }
        ++blockWrites_;
        if (options_.loseAckBlock == static_cast<int64_t>(address) && options_.loseAckCount > 0) {
            --options_.loseAckCount;
            return;
        }
        if (Chance(options_.ackLoss)) return;
        std::vector<uint8_t> ack = options_.ackBytes;
        if (Chance(options_.ackWrong) && ack.size() >= 3) ack[2] = 0xC1;
        SendAnswer(AnswerFrom(last.end, options_.ackDelayMs), ack.data(), ack.size(), last.format, Source::Card,
                   last.handle);
        return;
    }

    if (f[2] != 0x03 || f[6] != 0xAA) return;
    uint8_t answer[22];
    answer[0] = 0xFE;
    answer[1] = 0x13;
    answer[2] = f[3];
    answer[3] = f[4];
    answer[4] = f[5];
    std::copy_n(memory_.begin() + address, 16, answer + 5);
    answer[21] = 0xAA;
    if (Chance(options_.readCorrupt)) {
        const size_t i = 5 + NextRandom() % 16;
        answer[i] = FlipRandomBit(answer[i]);
    }
    ++blockReads_;
    SendAnswer(AnswerFrom(last.end, options_.readDelayMs), answer, sizeof answer, last.format, Source::Card,
               last.handle);
}

// ------------------------------------------------------------- SimulatorPort

SimulatorPort::SimulatorPort(std::shared_ptr<SimulatedReader> reader) : reader_(std::move(reader)) {}

SimulatorPort::~SimulatorPort() { reader_->HandleClosed(); }

bool SimulatorPort::Enter(int64_t& now)
{
    now = reader_->clock_.NowMicros();
    reader_->Advance(now);
    if (reader_->vanished_) RecordDeviceGone("the simulated reader's port vanished");
    return !reader_->vanished_;
}

bool SimulatorPort::SetTimeouts(const CommTimeouts& timeouts)
{
    int64_t now = 0;
    if (!Enter(now)) return false;
    timeouts_ = timeouts;
    return true;
}

bool SimulatorPort::SetupQueues(uint32_t inQueue, uint32_t)
{
    int64_t now = 0;
    if (!Enter(now)) return false;
    if (inQueue > 0) reader_->inQueue_ = inQueue;
    return true;
}

bool SimulatorPort::GetState(LineSettings& settings)
{
    int64_t now = 0;
    if (!Enter(now)) return false;
    settings = reader_->settings_;
    return true;
}

bool SimulatorPort::SetState(const LineSettings& settings)
{
    int64_t now = 0;
    if (!Enter(now)) return false;
    if (settings.BaudRate == 0 || settings.ByteSize < 5 || settings.ByteSize > 8 || settings.Parity > kSpaceParity ||
        settings.StopBits > kTwoStopBits)
        return false;
    reader_->HostSetState(now, settings);
    return true;
}

bool SimulatorPort::Escape(uint32_t function)
{
    int64_t now = 0;
    if (!Enter(now)) return false;
    switch (function) {
    case kEscSetRts: reader_->SetRtsLevel(now, true); return true;
    case kEscClrRts: reader_->SetRtsLevel(now, false); return true;
    case kEscSetDtr: reader_->SetDtrLevel(now, true); return true;
    case kEscClrDtr: reader_->SetDtrLevel(now, false); return true;
    default: return false;
    }
}

bool SimulatorPort::SetBreak()
{
    int64_t now = 0;
    if (!Enter(now)) return false;
    reader_->HostSetBreak(now);
    return true;
}

bool SimulatorPort::ClearBreak()
{
    int64_t now = 0;
    if (!Enter(now)) return false;
    reader_->HostClearBreak(now);
    return true;
}

bool SimulatorPort::GetModemStatus(uint32_t& status)
{
    int64_t now = 0;
    if (!Enter(now)) return false;
    status = reader_->ModemStatus(now);
    return true;
}

bool SimulatorPort::Purge(uint32_t flags)
{
    int64_t now = 0;
    if (!Enter(now)) return false;
    if (flags & (kPurgeRxClear | kPurgeRxAbort)) reader_->PurgeRx(now);
    if (flags & (kPurgeTxClear | kPurgeTxAbort)) reader_->PurgeTx(now);
    return true;
}

bool SimulatorPort::Write(const uint8_t* buffer, uint32_t count, uint32_t& bytesWritten)
{
    bytesWritten = 0;
    int64_t now = 0;
    if (!Enter(now)) return false;
    reader_->HostWrite(now, buffer, count);
    bytesWritten = count;
    return true;
}

bool SimulatorPort::WaitUntilSent()
{
    int64_t now = 0;
    if (!Enter(now)) return false;
    reader_->clock_.SleepUntilMicros(CeilMicros(reader_->txFreeNs_));
    return true;
}

std::optional<uint32_t> SimulatorPort::LatencyTimerMs() { return static_cast<uint32_t>(reader_->options_.latencyMs); }

bool SimulatorPort::Read(uint8_t* buffer, uint32_t count, uint32_t& bytesRead)
{
    bytesRead = 0;
    int64_t now = 0;
    if (!Enter(now)) return false;
    if (count == 0) return true;

    SimulatedReader& r = *reader_;
    Clock& clock = r.clock_;
    auto take = [&] { bytesRead += r.Take(buffer + bytesRead, count - bytesRead, now); };
    take();

    const CommTimeouts& t = timeouts_;
    const bool noTotal = t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    if (noTotal && (t.ReadIntervalTimeout == 0 || t.ReadIntervalTimeout == kMaxDword)) return true;
    if (bytesRead == count) return true;

    if (t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
        t.ReadTotalTimeoutConstant != kMaxDword) {
        // What is waiting, else the first byte to come within the constant.
        if (bytesRead > 0) return true;
        const int64_t deadline = now + MsToMicros(t.ReadTotalTimeoutConstant);
        const int64_t wake = r.NextArrival(deadline);
        clock.SleepUntilMicros(wake == SimulatedReader::kNever ? deadline : wake);
        if (!Enter(now)) return false;
        take();
        return true;
    }

    // Win32 rules: a total timeout of multiplier x count + constant, and an
    // interval timeout between bytes once the first has come.
    const uint64_t multiplier = t.ReadTotalTimeoutMultiplier == kMaxDword ? 0 : t.ReadTotalTimeoutMultiplier;
    const int64_t total = noTotal ? SimulatedReader::kNever
                                  : now + MsToMicros(multiplier * count + t.ReadTotalTimeoutConstant);
    const bool interval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword;
    int64_t lastArrival = now;
    while (bytesRead < count) {
        int64_t limit = total;
        if (interval && bytesRead > 0) limit = std::min(limit, lastArrival + MsToMicros(t.ReadIntervalTimeout));
        const int64_t wake = r.NextArrival(limit);
        if (wake == SimulatedReader::kNever) {
            // Nothing more comes in time. With no limit at all, nothing will
            // ever come: return once the last scheduled happening is over.
            clock.SleepUntilMicros(limit == SimulatedReader::kNever ? r.lastEventAt_ : limit);
            if (!Enter(now)) return false;
            take();
            return true;
        }
        clock.SleepUntilMicros(wake);
        if (!Enter(now)) return false;
        const uint32_t before = bytesRead;
        take();
        if (bytesRead > before) lastArrival = now;
    }
    return true;
}

// ----------------------------------------------------------- SimulatorOpener

SimulatorOpener::SimulatorOpener(Clock& clock, SimOptions options)
    : reader_(std::make_shared<SimulatedReader>(clock, std::move(options)))
{
}

std::unique_ptr<CommPort> SimulatorOpener::Open(const std::string& deviceName)
{
    const std::optional<uint32_t> port = PortNumberFromDeviceName(deviceName);
    if (!port || *port != reader_->Options().port) return nullptr;
    std::unique_ptr<CommPort> handle = reader_->OpenHandle();
    if (handle) ++openCount_;
    return handle;
}

}  // namespace sim
