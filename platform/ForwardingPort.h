#pragma once
// A port in front of another one: every call goes to the port behind it, and
// its answer comes back, unchanged. The layers that watch or change a few of
// the calls (the kept device, the line watch, the test and benchmark layers)
// derive from it and override only those; each keeps the contract of
// CommPort for the rest without a line of its own.

#include <memory>
#include <optional>
#include <utility>

#include "platform/CommPort.h"

class ForwardingPort : public CommPort {
public:
    explicit ForwardingPort(std::unique_ptr<CommPort> inner) : inner_(std::move(inner)) {}

    bool SetTimeouts(const CommTimeouts& timeouts) override { return inner_->SetTimeouts(timeouts); }
    bool SetupQueues(uint32_t inQueue, uint32_t outQueue) override { return inner_->SetupQueues(inQueue, outQueue); }
    bool GetState(LineSettings& settings) override { return inner_->GetState(settings); }
    bool SetState(const LineSettings& settings) override { return inner_->SetState(settings); }
    bool Escape(uint32_t function) override { return inner_->Escape(function); }
    bool SetBreak() override { return inner_->SetBreak(); }
    bool ClearBreak() override { return inner_->ClearBreak(); }
    bool GetModemStatus(uint32_t& status) override { return inner_->GetModemStatus(status); }
    bool Purge(uint32_t flags) override { return inner_->Purge(flags); }
    bool Read(uint8_t* buffer, uint32_t count, uint32_t& bytesRead) override
    {
        return inner_->Read(buffer, count, bytesRead);
    }
    bool Write(const uint8_t* buffer, uint32_t count, uint32_t& bytesWritten) override
    {
        return inner_->Write(buffer, count, bytesWritten);
    }
    bool WaitUntilSent() override { return inner_->WaitUntilSent(); }
    std::optional<uint32_t> LatencyTimerMs() override { return inner_->LatencyTimerMs(); }

protected:
    // The port behind this one.
    CommPort& Inner() { return *inner_; }
    // Takes the port behind this one away (a layer that hands it on when it
    // is destroyed); every call forwarded afterwards would fail, so only a
    // destructor does this.
    std::unique_ptr<CommPort> TakeInner() { return std::move(inner_); }

private:
    std::unique_ptr<CommPort> inner_;
};
