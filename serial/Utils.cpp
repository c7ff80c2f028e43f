#include "serial/Utils.h"

#include "serial/ReaderLink.h"

void BusyWait(ReaderLink& link, int32_t ms, bool pumpEveryTurn)
{
    Clock& clock = link.clock;
    const int64_t deadline = clock.NowMs() + ms;
    // Each turn reads the clock and, when asked, processes messages; the turn
    // runs at least once, so a wait of 0 ms still processes them once.
    for (;;) {
        const int64_t t = clock.NowMs();
        if (pumpEveryTurn) link.ProcessPendingMessages();
        if (t >= deadline) return;
        // Sleep instead of polling: a pumping wait wakes for the next message
        // or the next millisecond, so it still processes messages as often
        // as they can come; a wait that processes none sleeps to its end.
        if (pumpEveryTurn)
            link.WaitForMessagesUntil(deadline * 1000);
        else
            clock.SleepUntilMicros(deadline * 1000);
    }
}

void TPumpingDelay::Wait(int32_t ms) { BusyWait(link_, ms, true); }
