#pragma once
// The message-pumping delay: a pause that keeps the window alive.

#include <cstdint>

class TPumpingDelay {
public:
    // Waits ms milliseconds on Platform().clock, processing pending window
    // messages on every turn. The loop body runs at least once, so Wait(0)
    // processes messages once. Between turns it sleeps until the next message
    // or millisecond (WaitForMessagesUntil). May throw RunAborted (see
    // Platform.h).
    void Wait(int32_t ms);
};

// Waits until the clock's millisecond reaches start + ms;
// `pumpEveryTurn` decides whether pending messages are processed on each
// turn. Without them it sleeps straight to the end. Shared by Wait and the
// channel's Delay.
void BusyWait(int32_t ms, bool pumpEveryTurn);

extern TPumpingDelay PumpingDelay;
