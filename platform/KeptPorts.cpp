#include "platform/KeptPorts.h"

#include <algorithm>
#include <utility>
#include <vector>

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

// The handle the channel holds: every call goes to the device; destroying it
// hands the device back to its keeper instead of closing it.
class KeptPort final : public CommPort {
public:
    KeptPort(std::unique_ptr<CommPort> port, std::weak_ptr<KeepingPortOpener::State> keeper, std::string key)
        : port_(std::move(port)), keeper_(std::move(keeper)), key_(std::move(key))
    {
    }
    ~KeptPort() override
    {
        const std::shared_ptr<KeepingPortOpener::State> keeper = keeper_.lock();
        if (!keeper) return;
        keeper->Release();
        keeper->held = std::move(port_);
        keeper->heldKey = key_;
        keeper->heldClock = Platform().clock;
        keeper->heldSince = keeper->heldClock->NowMicros();
    }

    bool SetTimeouts(const CommTimeouts& t) override { return port_->SetTimeouts(t); }
    bool SetupQueues(uint32_t in, uint32_t out) override { return port_->SetupQueues(in, out); }
    bool GetState(LineSettings& s) override { return port_->GetState(s); }
    bool SetState(const LineSettings& s) override { return port_->SetState(s); }
    bool Escape(uint32_t function) override { return port_->Escape(function); }
    bool SetBreak() override { return port_->SetBreak(); }
    bool ClearBreak() override { return port_->ClearBreak(); }
    bool GetModemStatus(uint32_t& status) override { return port_->GetModemStatus(status); }
    bool Purge(uint32_t flags) override { return port_->Purge(flags); }
    bool Read(uint8_t* buffer, uint32_t count, uint32_t& got) override { return port_->Read(buffer, count, got); }
    bool Write(const uint8_t* buffer, uint32_t count, uint32_t& written) override
    {
        return port_->Write(buffer, count, written);
    }

private:
    std::unique_ptr<CommPort> port_;
    std::weak_ptr<KeepingPortOpener::State> keeper_;
    std::string key_;
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
        LineSettings probe;
        if (s.held->GetState(probe)) {
            std::unique_ptr<CommPort> port = std::move(s.held);
            s.Release();
            return std::make_unique<KeptPort>(std::move(port), state_, key);
        }
    }
    s.Release();
    std::unique_ptr<CommPort> port = s.base->Open(deviceName);
    if (!port) return nullptr;
    return std::make_unique<KeptPort>(std::move(port), state_, key);
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
