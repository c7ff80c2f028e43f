#include "serial/Utils.h"

#include "platform/Platform.h"

TPumpingDelay PumpingDelay;

void BusyWait(int32_t ms, bool pumpEveryTurn)
{
    Clock& clock = *Platform().clock;
    const int64_t deadline = clock.NowMs() + ms;
    // t starts at 0 so that the body runs at least once.
    int64_t t = 0;
    while (t < deadline) {
        t = clock.NowMs();
        if (pumpEveryTurn) ProcessPendingMessages();
    }
}

void TPumpingDelay::Wait(int32_t ms) { BusyWait(ms, true); }
