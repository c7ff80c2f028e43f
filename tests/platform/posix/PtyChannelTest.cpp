// The whole serial channel over a pseudo-terminal reached by its port number,
// as a bridged port is: TORVIK_COM<n> names the slave, the test plays the
// reader on the master side.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>

#include <chrono>
#include <memory>
#include <thread>

#include "devices/PortChain.h"
#include "platform/posix/TerminalSpeed.h"
#include "PtyPair.h"
#include "serial/ReaderLink.h"

namespace {

using std::chrono::steady_clock;

// Points TORVIK_COM<port> at a path for the lifetime of the object.
class PortMapping {
public:
    PortMapping(uint32_t port, const std::string& path) : name_("TORVIK_COM" + std::to_string(port))
    {
        setenv(name_.c_str(), path.c_str(), 1);
    }
    ~PortMapping() { unsetenv(name_.c_str()); }

private:
    std::string name_;
};

class PtyChannel : public testing::Test {
protected:
    PtyPair pty;
    SystemChain system;
    std::unique_ptr<ReaderLink> link = std::make_unique<ReaderLink>(system.chain);
    TSerialChannel* channel = &link->SerialChannel;

    std::vector<uint8_t> Received() const
    {
        return {channel->ReceiveBuffer, channel->ReceiveBuffer + channel->ReceiveCount};
    }
};

TEST_F(PtyChannel, ExchangesFramesWithTheFarEnd)
{
    PortMapping map(7, pty.SlavePath());
    ASSERT_TRUE(channel->Open(7, 9600, 8, kOneStopBit, kNoParity, 0));
    EXPECT_TRUE(channel->IsOpen);

    ASSERT_TRUE(channel->SendCommandText("01 02 EA"));
    EXPECT_EQ(pty.Collect(3, 2000), (std::vector<uint8_t>{0x01, 0x02, 0xEA}));

    // The reader echoes the frame and answers behind it, in two pieces.
    std::thread reader([this] {
        pty.Send({0x01, 0x02, 0xEA});
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty.Send({0x90, 0x00});
    });
    const bool complete = channel->Receive(5, 2000);
    reader.join();
    EXPECT_TRUE(complete);
    EXPECT_EQ(Received(), (std::vector<uint8_t>{0x01, 0x02, 0xEA, 0x90, 0x00}));

    // A pseudo-terminal reports no carrier: the slot counts as empty.
    EXPECT_TRUE(channel->CardSlotEmpty());
    EXPECT_TRUE(channel->Close());
}

TEST_F(PtyChannel, ReopeningAnOpenChannelChangesTheFormatOfTheSameDevice)
{
    PortMapping map(12, pty.SlavePath());  // "\\.\COM12"
    ASSERT_TRUE(channel->Open(12, 5728, 8, kTwoStopBits, kNoParity, 0));
    uint32_t baud = 0;
    ASSERT_TRUE(GetTerminalSpeed(pty.Master(), baud));
    EXPECT_EQ(baud, 5728u);

    // The working settings of the card loader: calibrated speed, mark parity.
    ASSERT_TRUE(channel->Open(12, 34350, 8, kTwoStopBits, kMarkParity, 0));
    ASSERT_TRUE(GetTerminalSpeed(pty.Master(), baud));
    EXPECT_EQ(baud, 34350u);
    termios t{};
    ASSERT_EQ(tcgetattr(pty.Master(), &t), 0);
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB), static_cast<tcflag_t>(PARODD | CMSPAR | CSTOPB));
    EXPECT_EQ(channel->LineSettings_.Parity, kMarkParity);

    // Still the one device, which nobody else can open meanwhile.
    ReaderLink otherLink(system.chain);
    TSerialChannel* other = &otherLink.SerialChannel;
    EXPECT_FALSE(other->Open(12, 9600, 8, kOneStopBit, kNoParity, 0));
    EXPECT_FALSE(other->IsOpen);

    channel->Close();
    EXPECT_TRUE(other->Open(12, 9600, 8, kOneStopBit, kNoParity, 0));
}

TEST_F(PtyChannel, ASilentLineEndsAReceiveAfterOneReadStep)
{
    PortMapping map(3, pty.SlavePath());
    ASSERT_TRUE(channel->Open(3, 9600, 8, kOneStopBit, kNoParity, 0));
    const auto start = steady_clock::now();
    EXPECT_FALSE(channel->Receive(100, 20));
    const double elapsed = MsSince(start);
    EXPECT_EQ(channel->ReceiveCount, 0);
    EXPECT_GE(elapsed, 240.0);
    EXPECT_LT(elapsed, 1500.0);
}

TEST_F(PtyChannel, ResetCardKeepsOnlyWhatComesAfterThePurge)
{
    PortMapping map(4, pty.SlavePath());
    ASSERT_TRUE(channel->Open(4, 5728, 8, kTwoStopBits, kNoParity, 0));
    // Noise on the line before the reset is discarded; the answer comes well
    // inside the half-second collection that starts 180 ms after the call.
    pty.Send({0xAA, 0xBB});
    std::thread card([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        pty.Send({0x3B, 0x02, 0x14});
    });
    const std::string answer = channel->ResetCard(0, 0);
    card.join();
    EXPECT_EQ(answer, "3B 02 14");
    EXPECT_EQ(channel->ReceiveCount, 0);
    EXPECT_FALSE(channel->RtsEnabled);
}

TEST_F(PtyChannel, PortsThatResolveToNothingUsableDoNotOpen)
{
    {
        PortMapping map(5, "/nonexistent/ttyUSB9");
        EXPECT_FALSE(channel->Open(5, 9600, 8, kOneStopBit, kNoParity, 0));
        EXPECT_FALSE(channel->IsOpen);
    }
    EXPECT_FALSE(channel->Open(0, 9600, 8, kOneStopBit, kNoParity, 0));
    EXPECT_FALSE(channel->IsOpen);
    // Nothing open: sending writes nothing and still succeeds, as the
    // callers expect.
    EXPECT_TRUE(channel->SendCommandText("2A 41"));
}

TEST_F(PtyChannel, AHangUpMidRunFailsTheReceiveWithoutHanging)
{
    PortMapping map(6, pty.SlavePath());
    ASSERT_TRUE(channel->Open(6, 9600, 8, kOneStopBit, kNoParity, 0));
    pty.CloseMaster();
    const auto start = steady_clock::now();
    EXPECT_THROW(channel->Receive(10, 300), ReaderGone);
    EXPECT_EQ(channel->ReceiveCount, 0);
    EXPECT_LT(MsSince(start), 2000.0);
    EXPECT_TRUE(channel->SendCommandText("01"));
    EXPECT_TRUE(channel->CardSlotEmpty());
}

}  // namespace
