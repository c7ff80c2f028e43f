#include "platform/Clock.h"

#include <chrono>
#include <thread>

int64_t SteadyClock::NowMicros()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void SteadyClock::SleepUntilMicros(int64_t t)
{
    const int64_t now = NowMicros();
    if (t > now) std::this_thread::sleep_for(std::chrono::microseconds(t - now));
}
