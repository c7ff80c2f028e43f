#pragma once
// A port double that records every call the channel makes and delivers
// scripted bytes at scripted virtual times. For channel tests that check the
// exact calls (timeouts, line settings, control lines); device behaviour is
// the simulator's business.

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/CommPort.h"

struct FakePortLog {
    std::vector<std::string> opened;  // device names, one per successful open
    std::vector<std::string> refused; // device names whose open failed
    int closes = 0;
    std::vector<CommTimeouts> timeouts;
    std::vector<std::pair<uint32_t, uint32_t>> queues;
    std::vector<LineSettings> states;
    std::vector<uint32_t> escapes;
    std::vector<std::vector<uint8_t>> writes;
    std::vector<uint32_t> readRequests;
    std::vector<uint32_t> purges;
    std::vector<int64_t> drains;  // times (µs) WaitUntilSent was called
    int breaksSet = 0;
    int breaksCleared = 0;
};

struct FakeDevice {
    VirtualClock* clock = nullptr;
    FakePortLog log;
    // Bytes still to arrive: (arrival time in µs, byte), in time order.
    std::deque<std::pair<int64_t, uint8_t>> incoming;
    uint32_t modemStatus = 0;
    bool modemStatusFails = false;
    bool failSetTimeouts = false;
    bool failGetState = false;
    bool failSetState = false;
    bool breakFails = false;
    // Every read fails at once, as on a device that has gone away.
    bool readFails = false;
    LineSettings driverState{};
    // What LatencyTimerMs answers, and how long WaitUntilSent blocks.
    std::optional<uint32_t> latencyTimerMs;
    int64_t drainMicros = 0;

    // Queues bytes that arrive `afterMicros` from now, one every `spacing` µs.
    void Arrive(const std::vector<uint8_t>& bytes, int64_t afterMicros = 0, int64_t spacing = 0)
    {
        int64_t t = clock->PeekMicros() + afterMicros;
        for (uint8_t b : bytes) {
            incoming.emplace_back(t, b);
            t += spacing;
        }
    }
};

class FakePort final : public CommPort {
public:
    explicit FakePort(FakeDevice& device) : d_(device) {}
    ~FakePort() override { ++d_.log.closes; }

    bool SetTimeouts(const CommTimeouts& t) override
    {
        d_.log.timeouts.push_back(t);
        timeouts_ = t;
        return !d_.failSetTimeouts;
    }
    bool SetupQueues(uint32_t in, uint32_t out) override
    {
        d_.log.queues.emplace_back(in, out);
        return true;
    }
    bool GetState(LineSettings& s) override
    {
        s = d_.driverState;
        return !d_.failGetState;
    }
    bool SetState(const LineSettings& s) override
    {
        d_.log.states.push_back(s);
        if (d_.failSetState) return false;
        d_.driverState = s;
        return true;
    }
    bool Escape(uint32_t f) override
    {
        d_.log.escapes.push_back(f);
        return true;
    }
    bool SetBreak() override
    {
        ++d_.log.breaksSet;
        return !d_.breakFails;
    }
    bool ClearBreak() override
    {
        ++d_.log.breaksCleared;
        return !d_.breakFails;
    }
    bool GetModemStatus(uint32_t& status) override
    {
        status = d_.modemStatus;
        return !d_.modemStatusFails;
    }
    bool Purge(uint32_t flags) override
    {
        d_.log.purges.push_back(flags);
        if (flags & kPurgeRxClear)
            while (!d_.incoming.empty() && d_.incoming.front().first <= d_.clock->PeekMicros())
                d_.incoming.pop_front();
        return true;
    }
    // The channel's read rule: what has arrived at once, else the first byte
    // to arrive within the constant timeout.
    bool Read(uint8_t* buffer, uint32_t count, uint32_t& got) override
    {
        d_.log.readRequests.push_back(count);
        got = 0;
        if (d_.readFails) return false;
        const int64_t now = d_.clock->PeekMicros();
        if (Arrived(now) == 0) {
            const int64_t limit = now + int64_t{timeouts_.ReadTotalTimeoutConstant} * 1000;
            if (!d_.incoming.empty() && d_.incoming.front().first <= limit)
                d_.clock->SleepUntilMicros(d_.incoming.front().first);
            else
                d_.clock->SleepUntilMicros(limit);
        }
        const int64_t t = d_.clock->PeekMicros();
        while (got < count && !d_.incoming.empty() && d_.incoming.front().first <= t) {
            buffer[got++] = d_.incoming.front().second;
            d_.incoming.pop_front();
        }
        return true;
    }
    bool Write(const uint8_t* buffer, uint32_t count, uint32_t& written) override
    {
        d_.log.writes.emplace_back(buffer, buffer + count);
        written = count;
        return true;
    }
    bool WaitUntilSent() override
    {
        d_.log.drains.push_back(d_.clock->PeekMicros());
        d_.clock->Advance(d_.drainMicros);
        return true;
    }
    std::optional<uint32_t> LatencyTimerMs() override { return d_.latencyTimerMs; }

private:
    size_t Arrived(int64_t now) const
    {
        size_t n = 0;
        for (const auto& a : d_.incoming) {
            if (a.first > now) break;
            ++n;
        }
        return n;
    }

    FakeDevice& d_;
    CommTimeouts timeouts_{};
};

class FakeOpener final : public CommPortOpener {
public:
    explicit FakeOpener(VirtualClock& clock) { device.clock = &clock; }

    std::unique_ptr<CommPort> Open(const std::string& name) override
    {
        if (!available || name == ".\\COM0") {
            device.log.refused.push_back(name);
            return nullptr;
        }
        device.log.opened.push_back(name);
        return std::make_unique<FakePort>(device);
    }

    FakeDevice device;
    bool available = true;
};
