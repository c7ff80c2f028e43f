// The kept device: what the channel's close and reopen of one device do
// through it (the close waits for the output, the reopen waits for the
// bytes on their way and drops them, no line moves), and when the device it
// holds is really closed.

#include <gtest/gtest.h>

#include <functional>
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

// When the held device is really closed, and when it is handed back: a
// second name of the same device gets it; the keep time, Release, another
// device, the keeper going and a device that no longer answers close it.
TEST_F(KeptPortsTest, HeldDeviceIsClosedByItsRules)
{
    struct Row {
        const char* what;
        std::function<void(std::optional<KeepingPortOpener>&, FakeDevice&)> then;
        size_t opens;  // devices the base opened
        int closes;    // of them really closed
    };
    clock.SetPollStep(0);
    const Row rows[] = {
        {"opened again just within the keep time",
         [&](auto& kept, auto&) { clock.Advance(2'999'999), kept->ReleaseIfIdle(), kept->Open(".\\COM1"); }, 1, 0},
        {"opened by another name of the device", [](auto& kept, auto&) { kept->Open("COM1 again"); }, 1, 0},
        {"idle for the keep time", [&](auto& kept, auto&) { clock.Advance(3'000'000), kept->ReleaseIfIdle(); }, 1, 1},
        {"opened again after the keep time", [&](auto& kept, auto&) { clock.Advance(3'000'000), kept->Open(".\\COM1"); },
         2, 1},
        {"released at the end of a run", [](auto& kept, auto&) { kept->Release(); }, 1, 1},
        {"another device opened", [](auto& kept, auto&) { kept->Open(".\\COM2"); }, 2, 1},
        {"the keeper gone", [](auto& kept, auto&) { kept.reset(); }, 1, 1},
        {"no longer answering", [](auto& kept, FakeDevice& d) { d.failGetState = true, kept->Open(".\\COM1"); }, 2, 1},
    };
    for (const Row& row : rows) {
        FakeOpener fake(clock);
        std::optional<KeepingPortOpener> kept(std::in_place, fake, clock, [](const std::string& name) {
            return name == "COM1 again" ? std::string(".\\COM1") : name;
        });
        ASSERT_NE(kept->Open(".\\COM1"), nullptr) << row.what;
        EXPECT_TRUE(kept->Holding()) << row.what;
        row.then(kept, fake.device);
        EXPECT_EQ(fake.device.log.opened.size(), row.opens) << row.what;
        EXPECT_EQ(fake.device.log.closes, row.closes) << row.what;
    }
}

// The reopen waits, counted from the close, two character times at the
// settings in force and the adapter's latency timer (16 ms where the port
// cannot tell it), then empties the input queue. A handle that wrote nothing
// closes at once.
TEST_F(KeptPortsTest, ReopenWaitsForTheBytesOnTheirWayThenPurges)
{
    struct Row {
        const char* what;
        uint32_t baud;
        uint8_t stopBits;
        std::optional<uint32_t> latencyMs;
        int64_t reopenAfterUs;
        int64_t returnsAfterUs;  // since the close
    };
    clock.SetPollStep(0);
    const Row rows[] = {
        {"9600 8N1, latency timer 0", 9600, kOneStopBit, 0u, 0, 2084},
        {"9600 8N1, latency timer unknown", 9600, kOneStopBit, std::nullopt, 0, 2084 + 16'000},
        {"5728 8N2, latency timer 2 ms", 5728, kTwoStopBits, 2u, 0, 3841 + 2000},
        {"reopened 20 ms after the close", 9600, kOneStopBit, std::nullopt, 20'000, 20'000},
    };
    for (const Row& row : rows) {
        FakeOpener fake(clock);
        fake.device.latencyTimerMs = row.latencyMs;
        KeepingPortOpener kept(fake, clock);
        LineSettings s{};
        s.BaudRate = row.baud;
        s.ByteSize = 8;
        s.StopBits = row.stopBits;
        ASSERT_TRUE(kept.Open(".\\COM1")->SetState(s)) << row.what;
        const int64_t closedAt = clock.PeekMicros();
        EXPECT_TRUE(fake.device.log.drains.empty()) << row.what;
        clock.Advance(row.reopenAfterUs);
        EXPECT_NE(kept.Open(".\\COM1"), nullptr) << row.what;
        EXPECT_EQ(clock.PeekMicros() - closedAt, row.returnsAfterUs) << row.what;
        EXPECT_EQ(fake.device.log.purges, std::vector<uint32_t>{kPurgeRxClear}) << row.what;
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
