// The reader link: a request to stop ends the wait in hand at its next turn,
// from the run's own pump or from another thread, and two links side by
// side keep what happens to their readers to themselves.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "devices/PortChain.h"
#include "reader/Usb_phoenixinterface.h"
#include "serial/ReaderLink.h"
#include "simulator/Simulator.h"
#include "support/FakePort.h"
#include "support/RecordingWindow.h"

namespace {

class ReaderLinkTest : public ::testing::Test {
protected:
    ReaderLinkTest() : opener(clock), link(clock, opener) {}

    int64_t ElapsedMs(int64_t startMicros) const { return (clock.PeekMicros() - startMicros) / 1000; }

    VirtualClock clock;
    FakeOpener opener;
    ReaderLink link;
    TPumpingDelay& PumpingDelay = link.PumpingDelay;
};

TEST_F(ReaderLinkTest, AbortRequestStopsAWaitAtItsNextPump)
{
    int turns = 0;
    link.pump.processMessages = [&] {
        if (++turns == 3) link.pump.RequestAbort();
    };
    const int64_t start = clock.PeekMicros();
    EXPECT_THROW(PumpingDelay.Wait(30'000), RunAborted);
    EXPECT_EQ(turns, 3);
    // The turns sleep to the next millisecond, no further.
    EXPECT_LE(ElapsedMs(start), 2);
    link.pump.ClearAbort();
}

// A request to stop from another thread (a signal's, a line controller's)
// ends a wait on the steady clock at its next turn.
TEST(ReaderLinkPump, AStopFromAnotherThreadEndsAWait)
{
    SystemChain system;
    ReaderLink link(system.chain);
    const auto start = std::chrono::steady_clock::now();
    std::thread stopper([&link] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        link.pump.RequestAbort();
    });
    EXPECT_THROW(link.PumpingDelay.Wait(10'000), RunAborted);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

// Two readers side by side, each with a link of its own over the same
// devices: a reader that goes away, or a run asked to stop, is its own link's
// business. The first reader vanishes during its card wait, and its run is
// asked to stop; the second, on the same clock, sets up and waits for its
// card as ever.
TEST(ReaderLinkSideBySide, EachKeepsWhatHappensToItsReader)
{
    VirtualClock clock;
    SystemPorts devices(clock);
    PortChain firstChain(devices, clock);
    PortChain secondChain(devices, clock);
    firstChain.Assign(1, "sim:card=out");
    secondChain.Assign(2, "sim:card=out,insert=5000");
    ReaderLink first(firstChain);
    ReaderLink second(secondChain);
    RecordingStatus firstStatus(clock);
    RecordingStatus secondStatus(clock);

    first.pump.processMessages = [&] { devices.SimulatedReaderOn(1)->Vanish(); };
    const int64_t start = clock.PeekMicros();
    EXPECT_FALSE(WaitForCard(first, 30, 1, ShownIn(firstStatus)));
    EXPECT_LT(clock.PeekMicros() - start, 2'000'000) << "the wait ends when the reader goes";
    EXPECT_TRUE(first.SerialChannel.DeviceGone());
    EXPECT_EQ(first.failures.DeviceGoneReason(), "the simulated reader's port vanished");
    first.pump.RequestAbort();

    EXPECT_TRUE(SetReaderMode(second, "Phoenix", "3.58", 30, 2, ShownIn(secondStatus)));
    EXPECT_TRUE(WaitForCard(second, 30, 2, ShownIn(secondStatus)));
    EXPECT_EQ(secondStatus.Text(), "Please insert card in card slot.") << "it waited for the card";
    EXPECT_FALSE(second.SerialChannel.DeviceGone());
    EXPECT_EQ(second.failures.DeviceGoneReason(), "");
}

}  // namespace
