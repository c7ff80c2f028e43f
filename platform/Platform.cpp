#include "platform/Platform.h"

#include <utility>

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
    if (services.processMessages) services.processMessages();
    if (services.abortRequested) throw RunAborted();
}

ScopedPlatform::ScopedPlatform(Clock& clock, CommPortOpener& ports, std::function<void()> processMessages)
    : saved_(Platform())
{
    PlatformServices& services = Platform();
    services.clock = &clock;
    services.ports = &ports;
    services.processMessages = std::move(processMessages);
    services.abortRequested = false;
}

ScopedPlatform::~ScopedPlatform() { Platform() = saved_; }
