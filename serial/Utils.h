#pragma once
// The message-pumping delay: a pause that keeps the window alive.

#include <cstdint>

class TPumpingDelay {
public:
    // Busy-waits ms milliseconds on Platform().clock, processing pending
    // window messages on every turn. The loop body runs at least once, so
    // Wait(0) processes messages once. May throw RunAborted (see Platform.h).
    void Wait(int32_t ms);
};

// Busy-waits until `ms` milliseconds have passed; `pumpEveryTurn` decides
// whether pending messages are processed on each turn. Shared by Wait and the
// channel's Delay.
void BusyWait(int32_t ms, bool pumpEveryTurn);

extern TPumpingDelay PumpingDelay;
