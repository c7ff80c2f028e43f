#include "serial/ReaderLink.h"

#include <stdexcept>

#include "devices/PortChain.h"

namespace {

const LinkSetup& Checked(const LinkSetup& setup)
{
    if (setup.clock == nullptr || setup.ports == nullptr)
        throw std::invalid_argument("a reader link needs a clock and an opener of its ports");
    return setup;
}

}  // namespace

LinkSetup LinkSetup::Of(PortChain& chain)
{
    LinkSetup setup;
    setup.clock = &chain.GetClock();
    setup.ports = &chain;
    setup.kept = &chain.Kept();
    setup.watch = &chain.Watch();
    setup.failures = chain.Failures();
    return setup;
}

ReaderLink::ReaderLink(Clock& clock_, CommPortOpener& ports_, std::shared_ptr<PortFailures> failures_)
    : failureRecord_(failures_ ? std::move(failures_) : std::make_shared<PortFailures>()),
      clock(clock_),
      ports(ports_),
      kept(nullptr),
      watch(nullptr),
      failures(*failureRecord_),
      SerialChannel(*this),
      PumpingDelay(*this)
{
}

ReaderLink::ReaderLink(PortChain& chain) : ReaderLink(LinkSetup::Of(chain)) {}

ReaderLink::ReaderLink(const LinkSetup& setup)
    : failureRecord_(setup.failures ? setup.failures : std::make_shared<PortFailures>()),
      clock(*Checked(setup).clock),
      ports(*setup.ports),
      kept(setup.kept),
      watch(setup.watch),
      failures(*failureRecord_),
      SerialChannel(*this),
      PumpingDelay(*this)
{
    pump.processMessages = setup.processMessages;
    pump.waitForMessages = setup.waitForMessages;
}

ReaderLink::~ReaderLink() { SerialChannel.Close(); }

void ReaderLink::ProcessPendingMessages()
{
    if (kept != nullptr) kept->ReleaseIfIdle();
    if (pump.processMessages) pump.processMessages();
    if (pump.AbortRequested()) throw RunAborted();
}

void ReaderLink::IdleUntil(int64_t deadlineMicros)
{
    const int64_t now = clock.NowMicros();
    const int64_t nextMs = (now / 1000 + 1) * 1000;
    clock.SleepUntilMicros(deadlineMicros < nextMs ? deadlineMicros : nextMs);
}

void ReaderLink::WaitForMessagesUntil(int64_t deadlineMicros)
{
    if (pump.waitForMessages)
        pump.waitForMessages(deadlineMicros - clock.NowMicros());
    else
        IdleUntil(deadlineMicros);
}

void ReaderLink::ReleaseKept()
{
    if (kept != nullptr) kept->Release();
}
