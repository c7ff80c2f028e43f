#pragma once
// The time base of every wait, timeout and line timing in the program.
//
// Time is a count of microseconds on a monotonic scale with an arbitrary
// origin. The serial channel's rules work in whole milliseconds (NowMs) and a
// time is past a deadline only when it is strictly later.

#include <cstdint>

class Clock {
public:
    virtual ~Clock() = default;

    // Current time in microseconds; never goes backwards. Non-const because a
    // virtual clock moves a little every time it is read.
    virtual int64_t NowMicros() = 0;

    // Current time in whole milliseconds, on the same scale.
    int64_t NowMs() { return NowMicros() / 1000; }

    // Blocks until NowMicros() >= t. A real clock sleeps; a virtual clock
    // jumps. Returns at once when t is not in the future.
    virtual void SleepUntilMicros(int64_t t) = 0;
};

// The production clock: std::chrono::steady_clock. A monotonic clock, not the
// wall clock, so that setting the system time back during a wait cannot
// stretch the wait.
class SteadyClock final : public Clock {
public:
    int64_t NowMicros() override;
    void SleepUntilMicros(int64_t t) override;
};

// A deterministic clock for tests, benchmarks and the simulator. Every read
// advances it by a small poll step, so a loop that only polls the clock (the
// channel's busy waits) still reaches its deadline. Sleeping jumps straight to
// the wake-up time.
class VirtualClock final : public Clock {
public:
    // Starts well after zero: the channel treats time 0 as "never pumped".
    explicit VirtualClock(int64_t startMicros = 1'000'000'000, int64_t pollStepMicros = 1)
        : now_(startMicros), pollStep_(pollStepMicros) {}

    int64_t NowMicros() override
    {
        now_ += pollStep_;
        return now_;
    }
    void SleepUntilMicros(int64_t t) override
    {
        if (t > now_) now_ = t;
    }

    // Reads the time without moving it (for tests and recorders).
    int64_t PeekMicros() const { return now_; }
    int64_t PeekMs() const { return now_ / 1000; }
    void Advance(int64_t micros) { now_ += micros; }
    void SetPollStep(int64_t micros) { pollStep_ = micros; }

private:
    int64_t now_;
    int64_t pollStep_;
};
