#include "simulator/Simulator.h"

#include <algorithm>
#include <ostream>

#include "platform/ComNames.h"
#include "platform/PortFailure.h"

namespace sim {

namespace {

// How long the program must wait quietly at the slot before the person acts:
// a second to see that the program is waiting, half a second to act.
constexpr int64_t kPersonPatienceMicros = 1'500'000;

}  // namespace

// ----------------------------------------------------------- SimulatedReader

SimulatedReader::SimulatedReader(Clock& clock, SimOptions options)
    : clock_(clock),
      options_(std::move(options)),
      random_(options_.seed),
      card_(options_, random_),
      wire_(options_, random_),
      reader_(options_, random_, wire_, card_)
{
}

SimulatedReader::~SimulatedReader()
{
    std::string error;
    if (!card_.SaveMemory(error) && notes_ != nullptr) *notes_ << "simulated card memory: " << error << '\n';
}

std::unique_ptr<CommPort> SimulatedReader::OpenHandle(std::shared_ptr<PortFailures> failures)
{
    const int64_t now = clock_.NowMicros();
    // Everything up to now happens before this handle exists.
    Advance(now);
    if (vanished_ || handleOpen_) return nullptr;
    handleOpen_ = true;
    ++handleId_;
    wire_.Connect(handleId_);
    ProgramActs(now);
    if (options_.openLines) {
        // The driver raises both lines on open; the first SetState sets them
        // as asked.
        SetRtsLevel(now, true);
        SetDtrLevel(now, true);
    }
    if (!everOpened_) {
        everOpened_ = true;
        if (options_.vanishMs >= 0) vanishAt_ = now + MsToMicros(static_cast<uint64_t>(options_.vanishMs));
    }
    return std::make_unique<SimulatorPort>(shared_from_this(), std::move(failures));
}

void SimulatedReader::HandleClosed()
{
    // A driver's close waits until what was written has left the line. The
    // clock is read only then: with nothing queued, a close needs no time.
    if (wire_.OutputQueued()) {
        if (vanished_) {
            wire_.DropOutput();
        } else {
            clock_.SleepUntilMicros(wire_.OutputDoneAt(lastNow_));
            Advance(clock_.NowMicros());
        }
    }
    handleOpen_ = false;
    wire_.Connect(0);
    if (reader_.BreakHeld()) HostClearBreak(lastNow_);
    ProgramActs(lastNow_);
}

bool SimulatedReader::WaitUntilSent()
{
    int64_t now = clock_.NowMicros();
    Advance(now);
    while (!vanished_ && wire_.OutputQueued()) {
        clock_.SleepUntilMicros(wire_.OutputDoneAt(now));
        now = clock_.NowMicros();
        Advance(now);
    }
    return !vanished_;
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

void SimulatedReader::InsertAt(int64_t t)
{
    if (card_.Present()) return;
    card_.Insert();
    quietSince_ = std::max(quietSince_, t);
}

void SimulatedReader::RemoveAt(int64_t t)
{
    if (!card_.Present()) return;
    card_.Remove();
    wire_.CancelCardBytes(t);
    quietSince_ = std::max(quietSince_, t);
}

// ---------------------------------------------------------------- the events

void SimulatedReader::Advance(int64_t t)
{
    if (t > lastNow_) lastNow_ = t;
    for (int64_t e = NextEventTime(); e <= t; e = NextEventTime()) ProcessEvent(e);
}

int64_t SimulatedReader::NextEventTime() const
{
    // Called for every byte on the line: plain comparisons, most likely
    // first.
    int64_t e = wire_.NextHostByteEnd();
    const int64_t others[] = {reader_.JunkAt(), removeAt_, insertAt_, vanishAt_, PersonDue()};
    for (const int64_t o : others)
        if (o < e) e = o;
    return e;
}

void SimulatedReader::ProcessEvent(int64_t e)
{
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
    } else if (PersonDue() == e) {
        PersonActs(e);
    } else if (reader_.JunkAt() == e) {
        reader_.SendJunk(e);
    } else {
        reader_.ByteReceived(wire_.PopHostByte());
    }
}

int64_t SimulatedReader::NextArrival(int64_t limit)
{
    for (;;) {
        if (vanished_) return lastEventAt_;
        const int64_t ta = wire_.NextArrival();
        const int64_t te = NextEventTime();
        if (ta <= te) return ta <= limit ? ta : kNever;
        if (te > limit) return kNever;
        ProcessEvent(te);
    }
}

// ----------------------------------------------------------------- host side

void SimulatedReader::ProgramActs(int64_t now) { quietSince_ = std::max(quietSince_, now); }

void SimulatedReader::HostWrite(int64_t now, const uint8_t* bytes, uint32_t count)
{
    if (recording_) writes_.push_back({now, std::vector<uint8_t>(bytes, bytes + count), wire_.HostSettings()});
    wire_.Write(now, bytes, count, handleId_);
    ProgramActs(now);
}

void SimulatedReader::HostSetState(int64_t now, const LineSettings& s)
{
    wire_.SetHostSettings(now, s);
    SetRtsLevel(now, s.fRtsControl == kRtsControlEnable || s.fRtsControl == kRtsControlHandshake);
    SetDtrLevel(now, s.fDtrControl == kDtrControlEnable || s.fDtrControl == kDtrControlHandshake);
    ProgramActs(now);
}

void SimulatedReader::SetRtsLevel(int64_t now, bool level)
{
    ProgramActs(now);
    if (level == rts_) return;
    rts_ = level;
    lineHistory_.push_back({now, Signal::Rts, level});
    reader_.ResetLine(now, level, handleId_);
}

void SimulatedReader::SetDtrLevel(int64_t now, bool level)
{
    ProgramActs(now);
    if (level == dtr_) return;
    dtr_ = level;
    lineHistory_.push_back({now, Signal::Dtr, level});
}

void SimulatedReader::HostSetBreak(int64_t now)
{
    ProgramActs(now);
    if (reader_.BreakHeld()) return;
    lineHistory_.push_back({now, Signal::Break, true});
    reader_.BreakOn(now, handleId_);
}

void SimulatedReader::HostClearBreak(int64_t now)
{
    ProgramActs(now);
    if (!reader_.BreakHeld()) return;
    lineHistory_.push_back({now, Signal::Break, false});
    reader_.BreakOff(now, handleId_);
}

void SimulatedReader::HostPurge(int64_t now, uint32_t flags)
{
    ProgramActs(now);
    if (flags & (kPurgeRxClear | kPurgeRxAbort)) wire_.PurgeInput(now);
    if (flags & (kPurgeTxClear | kPurgeTxAbort)) wire_.PurgeOutput(now);
}

uint32_t SimulatedReader::ModemStatus(int64_t now)
{
    if (card_.Present()) {
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

// ---------------------------------------------------------------- the person

int64_t SimulatedReader::PersonDue() const
{
    if (!options_.followPrompts || quietSince_ == quietSeen_) return kNever;
    return quietSince_ + kPersonPatienceMicros;
}

void SimulatedReader::PersonActs(int64_t t)
{
    quietSeen_ = quietSince_;
    // Waiting at the slot: the port open at the reader's settings, nothing
    // going out, no break.
    const bool waiting = handleOpen_ && wire_.HostFormat().Matches(kReaderSetupFormat) && !wire_.OutputQueued() &&
                         !reader_.BreakHeld();
    if (!waiting) return;
    if (!card_.Present())
        InsertAt(t);
    else if (card_.Used())
        RemoveAt(t);
}

// ------------------------------------------------------------- SimulatorPort

SimulatorPort::SimulatorPort(std::shared_ptr<SimulatedReader> reader, std::shared_ptr<PortFailures> failures)
    : reader_(std::move(reader)), failures_(std::move(failures))
{
}

SimulatorPort::~SimulatorPort() { reader_->HandleClosed(); }

bool SimulatorPort::Enter(int64_t& now)
{
    now = reader_->clock_.NowMicros();
    reader_->Advance(now);
    if (reader_->vanished_ && failures_) failures_->RecordDeviceGone("the simulated reader's port vanished");
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
    if (inQueue > 0) reader_->wire_.SetInputQueue(inQueue);
    return true;
}

bool SimulatorPort::GetState(LineSettings& settings)
{
    int64_t now = 0;
    if (!Enter(now)) return false;
    settings = reader_->wire_.HostSettings();
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
    reader_->HostPurge(now, flags);
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
    return reader_->WaitUntilSent();
}

std::optional<uint32_t> SimulatorPort::LatencyTimerMs() { return static_cast<uint32_t>(reader_->Options().latencyMs); }

bool SimulatorPort::Read(uint8_t* buffer, uint32_t count, uint32_t& bytesRead)
{
    bytesRead = 0;
    int64_t now = 0;
    if (!Enter(now)) return false;
    if (count == 0) return true;

    SimulatedReader& r = *reader_;
    Clock& clock = r.clock_;
    auto take = [&] { bytesRead += r.wire_.Take(buffer + bytesRead, count - bytesRead, now); };
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
        clock.SleepUntilMicros(wake == kNever ? deadline : wake);
        if (!Enter(now)) return false;
        take();
        return true;
    }

    // Win32 rules: a total timeout of multiplier x count + constant, and an
    // interval timeout between bytes once the first has come.
    const uint64_t multiplier = t.ReadTotalTimeoutMultiplier == kMaxDword ? 0 : t.ReadTotalTimeoutMultiplier;
    const int64_t total = noTotal ? kNever : now + MsToMicros(multiplier * count + t.ReadTotalTimeoutConstant);
    const bool interval = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword;
    int64_t lastArrival = now;
    while (bytesRead < count) {
        int64_t limit = total;
        if (interval && bytesRead > 0) limit = std::min(limit, lastArrival + MsToMicros(t.ReadIntervalTimeout));
        const int64_t wake = r.NextArrival(limit);
        if (wake == kNever) {
            // Nothing more comes in time. With no limit at all, nothing will
            // ever come: return once the last scheduled happening is over.
            clock.SleepUntilMicros(limit == kNever ? r.lastEventAt_ : limit);
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
    std::unique_ptr<CommPort> handle = reader_->OpenHandle(failures_);
    if (handle) ++openCount_;
    return handle;
}

}  // namespace sim
