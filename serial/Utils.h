#pragma once
// The message-pumping delay: a pause that keeps the window alive.

#include <cstdint>

class ReaderLink;

class TPumpingDelay {
public:
    // The delay of `link`, on its clock and pump.
    explicit TPumpingDelay(ReaderLink& link) : link_(link) {}

    // Waits ms milliseconds on the link's clock, processing pending window
    // messages on every turn. The loop body runs at least once, so Wait(0)
    // processes messages once. Between turns it sleeps until the next message
    // or millisecond (ReaderLink::WaitForMessagesUntil). May throw RunAborted
    // (serial/MessagePump.h).
    void Wait(int32_t ms);

private:
    ReaderLink& link_;
};

// Waits until the link's clock's millisecond reaches start + ms;
// `pumpEveryTurn` decides whether pending messages are processed on each
// turn. Without them it sleeps straight to the end. Shared by Wait and the
// channel's Delay.
void BusyWait(ReaderLink& link, int32_t ms, bool pumpEveryTurn);
