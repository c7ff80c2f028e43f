#include "platform/KeptPorts.h"

#include <optional>
#include <utility>

#include "platform/ForwardingPort.h"
#include "platform/LineTiming.h"

struct KeepingPortOpener::State {
    CommPortOpener* base = nullptr;
    Clock* clock = nullptr;
    std::function<std::string(const std::string&)> keyOf;
    int64_t keepMicros = 0;
    std::string heldKey;
    std::unique_ptr<CommPort> held;
    int64_t heldSince = 0;

    void Release()
    {
        held.reset();
        heldKey.clear();
    }
};

namespace {

// The latency timer a port that cannot tell its adapter's (a Windows port, a
// network reader) is taken to have: the common default of USB serial
// adapters.
constexpr uint32_t kUnknownLatencyMs = 16;

// Bytes that were on their way when the device was closed have arrived two
// character times after the close at the settings then in force, or later by
// as long as the adapter may hold them.
void LetStragglersArrive(Clock& clock, CommPort& port, const LineSettings& inForce, int64_t closedAt)
{
    const uint32_t latencyMs = port.LatencyTimerMs().value_or(kUnknownLatencyMs);
    const int64_t settle = CharactersMicros(inForce, 2) + int64_t{latencyMs} * 1000;
    clock.SleepUntilMicros(closedAt + settle);
}

// The handle the channel holds: every call goes to the device; destroying it
// hands the device back to its keeper instead of closing it, once what was
// written through it has left the line.
class KeptPort final : public ForwardingPort {
public:
    KeptPort(std::unique_ptr<CommPort> port, std::weak_ptr<KeepingPortOpener::State> keeper, Clock& clock,
             std::string key, const LineSettings& inForce)
        : ForwardingPort(std::move(port)),
          keeper_(std::move(keeper)),
          clock_(clock),
          key_(std::move(key)),
          settings_(inForce)
    {
    }
    ~KeptPort() override
    {
        const std::shared_ptr<KeepingPortOpener::State> keeper = keeper_.lock();
        if (!keeper) return;
        LetOutputLeave();
        keeper->Release();
        keeper->held = TakeInner();
        keeper->heldKey = key_;
        keeper->heldSince = clock_.NowMicros();
    }

    bool SetState(const LineSettings& s) override
    {
        const bool ok = Inner().SetState(s);
        // The settings the next bytes go out at; a refused change may have
        // been made in part.
        if (ok)
            settings_ = s;
        else
            Inner().GetState(settings_);
        return ok;
    }
    bool Write(const uint8_t* buffer, uint32_t count, uint32_t& written) override
    {
        const bool ok = Inner().Write(buffer, count, written);
        if (written > 0) HandedOver(written);
        return ok;
    }

private:
    // Bytes handed to the device go out back to back after those before
    // them, each taking its wire time at the settings in force.
    void HandedOver(uint32_t count)
    {
        const int64_t nowNs = clock_.NowMicros() * 1000;
        if (!sent_ || onWireUntilNs_ < nowNs) onWireUntilNs_ = nowNs;
        onWireUntilNs_ += int64_t{count} * CharacterNanos(settings_);
        sent_ = true;
    }

    // What a real close waits for: the transport's own drain, and the wire
    // time of what was written, for transports that cannot see their line.
    // Nothing to wait for when nothing was written through this handle.
    void LetOutputLeave()
    {
        if (!sent_) return;
        Inner().WaitUntilSent();
        clock_.SleepUntilMicros((onWireUntilNs_ + 999) / 1000);
    }

    std::weak_ptr<KeepingPortOpener::State> keeper_;
    Clock& clock_;
    std::string key_;
    LineSettings settings_;
    bool sent_ = false;          // whether anything was written through this handle
    int64_t onWireUntilNs_ = 0;  // when the last byte written leaves the line
};

bool IdleTooLong(const KeepingPortOpener::State& s)
{
    return s.held && s.clock->NowMicros() - s.heldSince >= s.keepMicros;
}

}  // namespace

KeepingPortOpener::KeepingPortOpener(CommPortOpener& base, Clock& clock,
                                     std::function<std::string(const std::string&)> keyOf, int64_t keepMs)
    : state_(std::make_shared<State>())
{
    state_->base = &base;
    state_->clock = &clock;
    state_->keyOf = keyOf ? std::move(keyOf) : [](const std::string& name) { return name; };
    state_->keepMicros = keepMs * 1000;
}

KeepingPortOpener::~KeepingPortOpener() { state_->Release(); }

std::unique_ptr<CommPort> KeepingPortOpener::Open(const std::string& deviceName)
{
    State& s = *state_;
    const std::string key = s.keyOf(deviceName);
    if (s.held && s.heldKey == key && !IdleTooLong(s)) {
        LineSettings inForce;
        if (s.held->GetState(inForce)) {
            std::unique_ptr<CommPort> port = std::move(s.held);
            const int64_t closedAt = s.heldSince;
            s.Release();
            // A reopened device starts with an empty input queue.
            LetStragglersArrive(*s.clock, *port, inForce, closedAt);
            port->Purge(kPurgeRxClear);
            return std::make_unique<KeptPort>(std::move(port), state_, *s.clock, key, inForce);
        }
    }
    s.Release();
    std::unique_ptr<CommPort> port = s.base->Open(deviceName);
    if (!port) return nullptr;
    LineSettings inForce;
    if (!port->GetState(inForce)) inForce = LineSettings{};
    return std::make_unique<KeptPort>(std::move(port), state_, *s.clock, key, inForce);
}

void KeepingPortOpener::Release() { state_->Release(); }

void KeepingPortOpener::ReleaseIfIdle()
{
    if (IdleTooLong(*state_)) state_->Release();
}

bool KeepingPortOpener::Holding() const { return state_->held != nullptr; }
