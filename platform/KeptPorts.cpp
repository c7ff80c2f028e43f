#include "platform/KeptPorts.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "platform/ForwardingPort.h"
#include "platform/LineTiming.h"
#include "platform/Platform.h"

struct KeepingPortOpener::State {
    CommPortOpener* base = nullptr;
    std::function<std::string(const std::string&)> keyOf;
    int64_t keepMicros = 0;
    std::string heldKey;
    std::unique_ptr<CommPort> held;
    Clock* heldClock = nullptr;
    int64_t heldSince = 0;

    void Release()
    {
        held.reset();
        heldKey.clear();
        heldClock = nullptr;
    }
};

namespace {

std::vector<std::weak_ptr<KeepingPortOpener::State>>& Keepers()
{
    static std::vector<std::weak_ptr<KeepingPortOpener::State>> keepers;
    return keepers;
}

// The latency timer a port that cannot tell its adapter's (a Windows port, a
// network reader) is taken to have: the common default of USB serial
// adapters.
constexpr uint32_t kUnknownLatencyMs = 16;

// Bytes that were on their way when the device was closed have arrived two
// character times after the close at the settings then in force, or later by
// as long as the adapter may hold them.
void LetStragglersArrive(CommPort& port, const LineSettings& inForce, int64_t closedAt)
{
    const uint32_t latencyMs = port.LatencyTimerMs().value_or(kUnknownLatencyMs);
    const int64_t settle = CharactersMicros(inForce, 2) + int64_t{latencyMs} * 1000;
    Platform().clock->SleepUntilMicros(closedAt + settle);
}

// The handle the channel holds: every call goes to the device; destroying it
// hands the device back to its keeper instead of closing it, once what was
// written through it has left the line.
class KeptPort final : public ForwardingPort {
public:
    KeptPort(std::unique_ptr<CommPort> port, std::weak_ptr<KeepingPortOpener::State> keeper, std::string key,
             const LineSettings& inForce)
        : ForwardingPort(std::move(port)), keeper_(std::move(keeper)), key_(std::move(key)), settings_(inForce)
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
        keeper->heldClock = Platform().clock;
        keeper->heldSince = keeper->heldClock->NowMicros();
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
        Clock& clock = *Platform().clock;
        const int64_t nowNs = clock.NowMicros() * 1000;
        if (sentClock_ != &clock || onWireUntilNs_ < nowNs) onWireUntilNs_ = nowNs;
        onWireUntilNs_ += int64_t{count} * CharacterNanos(settings_);
        sentClock_ = &clock;
    }

    // What a real close waits for: the transport's own drain, and the wire
    // time of what was written, for transports that cannot see their line.
    // Nothing to wait for when nothing was written under the clock in force.
    void LetOutputLeave()
    {
        if (sentClock_ == nullptr || sentClock_ != Platform().clock) return;
        Inner().WaitUntilSent();
        sentClock_->SleepUntilMicros((onWireUntilNs_ + 999) / 1000);
    }

    std::weak_ptr<KeepingPortOpener::State> keeper_;
    std::string key_;
    LineSettings settings_;
    Clock* sentClock_ = nullptr;  // the clock the last write was timed on
    int64_t onWireUntilNs_ = 0;   // when the last byte written leaves the line
};

void ForEachKeeper(const std::function<void(KeepingPortOpener::State&)>& action)
{
    auto& keepers = Keepers();
    keepers.erase(std::remove_if(keepers.begin(), keepers.end(), [](const auto& k) { return k.expired(); }),
                  keepers.end());
    for (const auto& weak : keepers)
        if (const auto keeper = weak.lock()) action(*keeper);
}

bool IdleTooLong(const KeepingPortOpener::State& s)
{
    if (!s.held) return false;
    // Held under another clock (other services were installed): stale.
    if (s.heldClock != Platform().clock) return true;
    return Platform().clock->NowMicros() - s.heldSince >= s.keepMicros;
}

}  // namespace

KeepingPortOpener::KeepingPortOpener(CommPortOpener& base, std::function<std::string(const std::string&)> keyOf,
                                     int64_t keepMs)
    : state_(std::make_shared<State>())
{
    state_->base = &base;
    state_->keyOf = keyOf ? std::move(keyOf) : [](const std::string& name) { return name; };
    state_->keepMicros = keepMs * 1000;
    Keepers().push_back(state_);
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
            LetStragglersArrive(*port, inForce, closedAt);
            port->Purge(kPurgeRxClear);
            return std::make_unique<KeptPort>(std::move(port), state_, key, inForce);
        }
    }
    s.Release();
    std::unique_ptr<CommPort> port = s.base->Open(deviceName);
    if (!port) return nullptr;
    LineSettings inForce;
    if (!port->GetState(inForce)) inForce = LineSettings{};
    return std::make_unique<KeptPort>(std::move(port), state_, key, inForce);
}

void KeepingPortOpener::Release() { state_->Release(); }

void KeepingPortOpener::ReleaseIfIdle()
{
    if (IdleTooLong(*state_)) state_->Release();
}

bool KeepingPortOpener::Holding() const { return state_->held != nullptr; }

void ReleaseKeptPorts()
{
    ForEachKeeper([](KeepingPortOpener::State& s) { s.Release(); });
}

void ReleaseIdleKeptPorts()
{
    ForEachKeeper([](KeepingPortOpener::State& s) {
        if (IdleTooLong(s)) s.Release();
    });
}
