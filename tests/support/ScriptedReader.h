#pragma once
// A reader double whose setup replies are scripted frame by frame, for the
// reply shapes the simulator never produces (short answers, odd bytes where
// only some are examined, silence after a command). It echoes what it is
// sent unless told not to, answers the end of a break, and delivers bytes at
// exact virtual times with the channel's read rule.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/CommPort.h"

struct ScriptedReaderDevice {
    explicit ScriptedReaderDevice(VirtualClock& c) : clock(c) {}

    VirtualClock& clock;
    bool cardIn = false;
    bool echo = true;
    // Sent 50 ms after a break ends.
    std::vector<uint8_t> breakAnswer = {0x06};
    // Answers behind the echo, by the frame written. Frames not listed get
    // the echo only.
    std::map<std::vector<uint8_t>, std::vector<uint8_t>> answers = {
        {{0x2A, 0x41}, {0x01, 0x00, 0x10, 0x06}},
        {{0x2A, 0x42, 0x01}, {0x06}},
        {{0x2A, 0x43}, {0x06}},
    };
    std::vector<std::vector<uint8_t>> writes;

    // (arrival µs, byte), in time order.
    std::deque<std::pair<int64_t, uint8_t>> incoming;

    void Queue(const std::vector<uint8_t>& bytes, int64_t fromMicros)
    {
        int64_t t = fromMicros;
        if (!incoming.empty() && incoming.back().first > t) t = incoming.back().first;
        for (uint8_t b : bytes) incoming.emplace_back(t += 1000, b);  // about 1 ms a byte at 9600
    }
};

class ScriptedReaderPort final : public CommPort {
public:
    explicit ScriptedReaderPort(ScriptedReaderDevice& d) : d_(d) {}

    bool SetTimeouts(const CommTimeouts& t) override
    {
        timeouts_ = t;
        return true;
    }
    bool SetupQueues(uint32_t, uint32_t) override { return true; }
    bool GetState(LineSettings& s) override
    {
        s = state_;
        return true;
    }
    bool SetState(const LineSettings& s) override
    {
        state_ = s;
        return true;
    }
    bool Escape(uint32_t) override { return true; }
    bool SetBreak() override { return true; }
    bool ClearBreak() override
    {
        d_.Queue(d_.breakAnswer, d_.clock.PeekMicros() + 49'000);
        return true;
    }
    bool GetModemStatus(uint32_t& status) override
    {
        status = d_.cardIn ? 0 : kMsRlsdOn;
        return true;
    }
    bool Purge(uint32_t) override { return true; }
    bool Read(uint8_t* buffer, uint32_t count, uint32_t& got) override
    {
        got = 0;
        const int64_t now = d_.clock.PeekMicros();
        if (d_.incoming.empty() || d_.incoming.front().first > now) {
            const int64_t limit = now + int64_t{timeouts_.ReadTotalTimeoutConstant} * 1000;
            const bool comes = !d_.incoming.empty() && d_.incoming.front().first <= limit;
            d_.clock.SleepUntilMicros(comes ? d_.incoming.front().first : limit);
        }
        const int64_t t = d_.clock.PeekMicros();
        while (got < count && !d_.incoming.empty() && d_.incoming.front().first <= t) {
            buffer[got++] = d_.incoming.front().second;
            d_.incoming.pop_front();
        }
        return true;
    }
    bool Write(const uint8_t* buffer, uint32_t count, uint32_t& written) override
    {
        std::vector<uint8_t> frame(buffer, buffer + count);
        d_.writes.push_back(frame);
        const int64_t now = d_.clock.PeekMicros();
        if (d_.echo) d_.Queue(frame, now);
        const auto answer = d_.answers.find(frame);
        if (answer != d_.answers.end()) d_.Queue(answer->second, now + 100);
        written = count;
        return true;
    }
    bool WaitUntilSent() override { return true; }
    std::optional<uint32_t> LatencyTimerMs() override { return std::nullopt; }

private:
    ScriptedReaderDevice& d_;
    CommTimeouts timeouts_{};
    LineSettings state_{};
};

// Port 1 only.
class ScriptedReaderOpener final : public CommPortOpener {
public:
    explicit ScriptedReaderOpener(VirtualClock& clock) : device(clock) {}
    std::unique_ptr<CommPort> Open(const std::string& name) override
    {
        if (name != ".\\COM1") return nullptr;
        return std::make_unique<ScriptedReaderPort>(device);
    }
    ScriptedReaderDevice device;
};
