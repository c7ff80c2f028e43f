// The kept device: what the channel's close and reopen of one device do
// through it (the close waits for the output, the reopen waits for the
// bytes on their way and drops them, no line moves), and when the device it
// holds is really closed.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/KeptPorts.h"
#include "serial/ReaderLink.h"
#include "support/FakePort.h"

#if defined(__linux__)
#include <cstdlib>

#include "devices/PortChain.h"
#include "devices/SystemPorts.h"
#include "platform/posix/PosixCommPort.h"
#include "support/FakeAdapter.h"
#endif

namespace {

class KeptPortsTest : public ::testing::Test {
protected:
    VirtualClock clock;
};

// A kept device's close and reopen lose what a real close and open lose, and
// only that. "01 02 EA" at 5728 baud, 8N2 takes 5.76 ms on the line (11 bits,
// 1.92 ms a byte); the close returns when it has left the line, whether the
// port's own drain sees that or not. Its echo arrives at the latest two
// character times after the close, or later by the adapter's latency timer
// (16 ms where the port cannot tell it): the reopen waits for it, drops it,
// and keeps what arrives afterwards.
TEST_F(KeptPortsTest, KeptDeviceReopensAsARealReopenWould)
{
    struct Case {
        const char* what;
        std::optional<uint32_t> latencyMs;
        int64_t drainMicros;    // how long the port's own drain blocks
        int64_t staleAfterUs;   // last echo byte, after the bytes left the line
    };
    const Case cases[] = {
        {"a drain that sees nothing (network reader)", std::nullopt, 0, 16'000 + 3700},
        {"a drain that waits for the line (Windows)", std::nullopt, 5700, 16'000 + 3700},
        {"latency timer 0 ms", 0u, 0, 3700},
        {"latency timer 16 ms", 16u, 0, 16'000 + 3700},
    };
    for (const Case& c : cases) {
        FakeOpener fake(clock);
        fake.device.latencyTimerMs = c.latencyMs;
        fake.device.drainMicros = c.drainMicros;
        KeepingPortOpener kept(fake, clock);
        ReaderLink keptLink(clock, kept);
        TSerialChannel& SerialChannel = keptLink.SerialChannel;
        const FakePortLog& log = fake.device.log;

        ASSERT_TRUE(SerialChannel.Open(1, 5728, 8, kTwoStopBits, kNoParity, 0)) << c.what;
        SerialChannel.ClearRts();
        const int64_t handedOver = clock.PeekMicros();
        SerialChannel.SendCommandText("01 02 EA");
        const int64_t leftLine = handedOver + 5761;
        fake.device.Arrive({0x01, 0x02}, handedOver + 1920 - clock.PeekMicros(), 1920);
        fake.device.Arrive({0xEA}, leftLine + c.staleAfterUs - clock.PeekMicros());
        SerialChannel.Close();
        EXPECT_GE(clock.PeekMicros(), leftLine) << c.what << ": the close returns once the bytes have left";
        EXPECT_LT(clock.PeekMicros(), leftLine + 200) << c.what;
        EXPECT_EQ(log.drains.size(), 1u) << c.what;

        // An answer that comes after the reopen is kept.
        fake.device.Arrive({0x55}, c.staleAfterUs + 1000);
        ASSERT_TRUE(SerialChannel.Open(1, 34350, 8, kTwoStopBits, kMarkParity, 0)) << c.what;
        EXPECT_EQ(log.purges, std::vector<uint32_t>{kPurgeRxClear}) << c.what;
        SerialChannel.Receive(2, 250);
        EXPECT_EQ(SerialChannel.ReceiveCount, 1) << c.what;
        EXPECT_EQ(SerialChannel.ReceiveBuffer[0], 0x55) << c.what;

        // One device, and no line moved for the reopen.
        EXPECT_EQ(log.opened.size(), 1u) << c.what;
        EXPECT_EQ(log.escapes, std::vector<uint32_t>{kEscClrRts}) << c.what;
        EXPECT_EQ(log.states.back().fRtsControl, kRtsControlDisable) << c.what;
        SerialChannel.Close();
    }
}

}  // namespace

#if defined(__linux__)
namespace {

// The kept device in the program's own port chain, over a POSIX port on a
// played adapter: the descriptor itself is kept.
class KeptPortsOnAdapter : public FakeAdapter {};

TEST_F(KeptPortsOnAdapter, TheChannelsReopenKeepsTheDescriptor)
{
    VirtualClock clock;
    SystemPorts devices(clock);
    devices.SetLocalOpener([](const std::string& path, const std::shared_ptr<PortFailures>& record) {
        return PosixCommPort::Open(path, FakeCalls(), record);
    });
    PortChain chain(devices, clock);
    ReaderLink link(chain);
    adapter.files[kTimer] = "16";
    TSerialChannel& channel = link.SerialChannel;
    setenv("TORVIK_COM5", kPath, 1);
    ASSERT_TRUE(channel.Open(5, 5728, 8, kTwoStopBits, kNoParity, 0));
    // Carrier detect is the empty slot.
    EXPECT_TRUE(channel.CardSlotEmpty());
    adapter.lines &= ~TIOCM_CD;
    EXPECT_FALSE(channel.CardSlotEmpty());
    channel.ClearRts();
    for (uint32_t speed : {34000u, 34350u, 34700u}) {
        channel.Close();
        adapter.lineCalls.clear();
        ASSERT_TRUE(channel.Open(5, speed, 8, kTwoStopBits, kMarkParity, 0)) << speed;
        EXPECT_EQ(adapter.speed, speed);
        // Only the levels the channel asks for; RTS never goes up.
        for (const auto& call : adapter.lineCalls) EXPECT_EQ(call.first, TIOCMBIC) << speed;
    }
    EXPECT_EQ(adapter.opens, 1);
    EXPECT_EQ(adapter.closes, 0);
    channel.Close();
    // Another device: the kept one is really closed first.
    setenv("TORVIK_COM6", "/dev/ttyFAKE1", 1);
    EXPECT_FALSE(channel.Open(6, 9600, 8, kOneStopBit, kNoParity, 0));
    EXPECT_EQ(adapter.closes, 1);
    EXPECT_EQ(adapter.files[kTimer], "16") << "the latency timer is put back at the final close";
    // Unused past the keep time: really closed at the next message turn.
    ASSERT_TRUE(channel.Open(5, 9600, 8, kOneStopBit, kNoParity, 0));
    channel.Close();
    clock.Advance(3'000'000);
    link.ProcessPendingMessages();
    EXPECT_EQ(adapter.closes, 2);
    unsetenv("TORVIK_COM5");
    unsetenv("TORVIK_COM6");
}

}  // namespace
#endif
