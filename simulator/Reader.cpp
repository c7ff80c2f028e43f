#include "simulator/Reader.h"

namespace sim {

namespace {

constexpr int64_t kSetupBreakMicros = 1'100'000;  // shortest break that enters setup mode
constexpr int64_t kJunkAfterMarkMicros = 2'000;   // junk starts this long after the 1.1 s mark
constexpr uint8_t kJunkByte = 0xA5;

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;

// The card at each clock the reader makes (clock codes 1-3): its reset and
// loader start run at the clock / 625, and its loader's window moves with
// the clock.
struct AtClock {
    uint32_t baseBaud;
    uint32_t windowLow;
    uint32_t windowHigh;
};
constexpr AtClock kAtClock[] = {
    {5728, 34000, 34700},  // 3.58 MHz
    {5888, 34950, 35650},  // 3.68 MHz: the window at 3.58 scaled by 3.68 / 3.58, to 50 baud
    {9600, 57000, 57900},  // 6.00 MHz
};

// Without a clock code (not set up, or code 0, when the card is not reached)
// as at 3.58 MHz.
const AtClock& CardAtClock(const std::optional<uint8_t>& settingByte)
{
    const int code = settingByte ? *settingByte & 0x03 : 0;
    return kAtClock[code == 0 ? 0 : code - 1];
}

}  // namespace

Reader::Reader(SimOptions& options, Random& random, Wire& wire, Card& card)
    : options_(options), random_(random), wire_(wire), card_(card)
{
    if (options_.setupByte >= 0) {
        settingByte_ = static_cast<uint8_t>(options_.setupByte);
        working_ = true;
    }
}

bool Reader::CardReachable() const
{
    return working_ && settingByte_ && (*settingByte_ & 0x80) == 0 && (*settingByte_ & 0x03) != 0;
}

LineFormat Reader::BaseFormat() const { return {CardAtClock(settingByte_).baseBaud, 8, kNoParity, kTwoStopBits}; }

std::pair<uint32_t, uint32_t> Reader::LoaderWindow() const
{
    if (options_.windowLow != 0) return {options_.windowLow, options_.windowHigh};
    const AtClock& card = CardAtClock(settingByte_);
    return {card.windowLow, card.windowHigh};
}

uint8_t Reader::Unpromised(uint8_t fixed) { return options_.randomSetupBytes ? random_.Byte() : fixed; }

void Reader::ByteReceived(const HostByte& sent)
{
    // A line held in break carries nothing.
    if (breakHeld_) return;
    HostByte b = sent;
    if (random_.Chance(options_.noise)) b.value = random_.FlipBit(b.value);
    if (!options_.noEcho) wire_.Echo(b, b.value);

    // A pause inside a frame abandons it.
    if (b.start - lastByteEnd_ > 2 * (b.end - b.start)) {
        setupFrame_.clear();
        card_.AbandonFrame();
    }
    lastByteEnd_ = b.end;

    if (setupMode_) {
        SetupByte(b);
    } else if (CardReachable() && card_.Present()) {
        const Card::Reply reply = card_.Receive(b, BaseFormat(), LoaderWindow());
        if (!reply.bytes.empty())
            wire_.SendAnswer(reply.from, reply.bytes.data(), reply.bytes.size(), reply.format, Source::Card,
                             b.handle);
    }
}

void Reader::BreakOn(int64_t now, uint64_t handle)
{
    if (breakHeld_) return;
    breakHeld_ = true;
    breakStart_ = now;
    breakHandle_ = handle;
    junkAt_ = now + kSetupBreakMicros + kJunkAfterMarkMicros;
}

void Reader::BreakOff(int64_t now, uint64_t handle)
{
    if (!breakHeld_) return;
    breakHeld_ = false;
    junkAt_ = kNever;
    if (now - breakStart_ < kSetupBreakMicros) return;
    EnterSetupMode(now);
    const uint8_t ack = kAck;
    wire_.SendAnswer(now + MsToMicros(static_cast<uint64_t>(options_.breakAnswerMs)), &ack, 1, kReaderSetupFormat,
                     Source::Reader, handle);
}

void Reader::SendJunk(int64_t at)
{
    junkAt_ = kNever;
    if (!breakHeld_ || options_.breakJunk <= 0) return;
    std::vector<uint8_t> junk(static_cast<size_t>(options_.breakJunk), kJunkByte);
    for (uint8_t& j : junk) j = Unpromised(j);
    wire_.SendAnswer(at, junk.data(), junk.size(), kReaderSetupFormat, Source::Reader, breakHandle_);
}

void Reader::ResetLine(int64_t now, bool high, uint64_t handle)
{
    if (high) {
        // Held in reset: whatever the card was doing ends.
        card_.HoldInReset();
        wire_.CancelCardBytes(now);
        return;
    }
    if (!card_.Present() || !CardReachable()) return;
    const std::vector<uint8_t> atr = card_.Release();
    wire_.SendAnswer(now + MsToMicros(static_cast<uint64_t>(options_.atrDelayMs)), atr.data(), atr.size(),
                     BaseFormat(), Source::Card, handle, MsToMicros(static_cast<uint64_t>(options_.atrGapMs)));
}

void Reader::EnterSetupMode(int64_t now)
{
    setupMode_ = true;
    working_ = false;
    settingGiven_ = false;
    setupFrame_.clear();
    card_.LoseClock();
    wire_.CancelCardBytes(now);
}

void Reader::SetupByte(const HostByte& b)
{
    if (!b.UnderstoodAt(kReaderSetupFormat)) {
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
        const uint8_t version[4] = {Unpromised(0x01), Unpromised(0x00), 0x10, kAck};
        wire_.SendAnswer(AnswerStart(options_, b.end, options_.answer41Ms), version, 4, kReaderSetupFormat,
                         Source::Reader, b.handle);
        break;
    }
    case 0x42: {
        if (f.size() < 3) return;
        settingByte_ = f[2];
        settingGiven_ = true;
        const uint8_t ack = kAck;
        wire_.SendAnswer(AnswerStart(options_, b.end, options_.answer42Ms), &ack, 1, kReaderSetupFormat,
                         Source::Reader, b.handle);
        break;
    }
    case 0x43: {
        const uint8_t answer = Unpromised(settingGiven_ ? kAck : kNak);
        wire_.SendAnswer(AnswerStart(options_, b.end, options_.answer43Ms), &answer, 1, kReaderSetupFormat,
                         Source::Reader, b.handle);
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

}  // namespace sim
