#include "platform/Platform.h"

#include <utility>

#include "platform/KeptPorts.h"

Clock& SystemClock()
{
    static SteadyClock clock;
    return clock;
}

PlatformServices& Platform()
{
    static PlatformServices services = [] {
        PlatformServices s;
        s.clock = &SystemClock();
        s.ports = &SystemPortOpener();
        return s;
    }();
    return services;
}

void ProcessPendingMessages()
{
    PlatformServices& services = Platform();
    ReleaseIdleKeptPorts();
    if (services.processMessages) services.processMessages();
    if (services.abortRequested) throw RunAborted();
}

void IdleUntil(int64_t deadlineMicros)
{
    Clock& clock = *Platform().clock;
    const int64_t now = clock.NowMicros();
    const int64_t nextMs = (now / 1000 + 1) * 1000;
    clock.SleepUntilMicros(deadlineMicros < nextMs ? deadlineMicros : nextMs);
}

void WaitForMessagesUntil(int64_t deadlineMicros)
{
    PlatformServices& services = Platform();
    if (services.waitForMessagesUntil)
        services.waitForMessagesUntil(deadlineMicros);
    else
        IdleUntil(deadlineMicros);
}

ScopedPlatform::ScopedPlatform(Clock& clock, CommPortOpener& ports, std::function<void()> processMessages)
    : saved_(Platform())
{
    ReleaseKeptPorts();
    PlatformServices& services = Platform();
    services.clock = &clock;
    services.ports = &ports;
    services.processMessages = std::move(processMessages);
    services.waitForMessagesUntil = nullptr;
    services.abortRequested = false;
}

ScopedPlatform::~ScopedPlatform()
{
    ReleaseKeptPorts();
    Platform() = saved_;
}
