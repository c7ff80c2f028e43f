// The program's own serial channel against the simulated reader: the reader
// setup sequence, the card reset, a speed sweep across closes and reopens,
// and writing a whole card image block by block.

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "serial/ReaderLink.h"
#include "simulator/Simulator.h"

namespace {

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char pair[4];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X ", b);
        text += pair;
    }
    return text;
}

std::vector<uint8_t> WriteFrame(uint32_t address, const uint8_t* data)
{
    std::vector<uint8_t> f(23, 0);
    const uint8_t head[6] = {0xFF, 0x00, 0x13, uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
    std::copy(head, head + 6, f.begin());
    std::copy(data, data + 16, f.begin() + 6);
    f[22] = 0xAA;
    return f;
}

std::vector<uint8_t> ReadFrame(uint32_t address)
{
    return {0xFE, 0x00, 0x03, uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address), 0xAA};
}

const uint8_t kIdentification[16] = {'T', 'O', 'R', 'V', 'I', 'K', 'L', 'O',
                                     'A', 'D', 'E', 'R', 0x00, 0x01, 0x76, 0x74};

class SimulatorChannelTest : public ::testing::Test {
protected:
    explicit SimulatorChannelTest(const std::string& options = "card=out")
        : opener(clock, sim::SimOptions::Parse(options)), link(clock, opener)
    {
        SerialChannel.ResetState();
    }
    ~SimulatorChannelTest() override { SerialChannel.ResetState(); }

    uint8_t At(int i) const { return SerialChannel.ReceiveBuffer[i]; }
    bool AckAt23() const { return At(23) == 0xFF && At(24) == 0x00 && At(25) == 0xC0; }

    // One speed trial: reset, loader start, identification write and read.
    // Without closeBetween the working settings go onto the port still open
    // after the loader start command.
    bool Trial(uint32_t speed, bool closeBetween = true)
    {
        TSerialChannel& ch = SerialChannel;
        ch.Close();
        ch.Open(1, 5728, 8, kTwoStopBits, kNoParity, 0);
        ch.SetRts();
        PumpingDelay.Wait(10);
        ch.ClearRts();
        ch.ClearReceiveBuffer();
        ch.Receive(8, 250);
        ch.SendCommandText("01 02 EA");
        if (closeBetween) ch.Close();
        ch.Open(1, speed, 8, kTwoStopBits, kMarkParity, 0);
        ch.ClearReceiveBuffer();
        ch.SendCommandText(Hex(WriteFrame(0, kIdentification)));
        ch.Receive(26, 250);
        if (ch.ReceiveCount != 26) return false;
        ch.Receive(26, 1500);
        if (!AckAt23()) return false;
        ch.ClearReceiveBuffer();
        ch.SendCommandText(Hex(ReadFrame(0)));
        ch.Receive(29, 250);
        if (ch.ReceiveCount != 29) return false;
        for (int i = 0; i < 16; ++i)
            if (At(12 + i) != kIdentification[i]) return false;
        return true;
    }

    VirtualClock clock;
    sim::SimulatorOpener opener;
    ReaderLink link;
    TSerialChannel& SerialChannel = link.SerialChannel;
    TPumpingDelay& PumpingDelay = link.PumpingDelay;
};

TEST_F(SimulatorChannelTest, ReaderSetupSequenceIsAccepted)
{
    TSerialChannel& ch = SerialChannel;
    ASSERT_TRUE(ch.Open(1, 9600, 8, kOneStopBit, kNoParity, 0));
    EXPECT_TRUE(ch.CardSlotEmpty());

    ASSERT_TRUE(ch.SetBreak());
    ch.ClearReceiveBuffer();
    for (int i = 0; i < 11; ++i) PumpingDelay.Wait(100);
    ch.Receive(5, 100);
    ch.ClearReceiveBuffer();
    ASSERT_TRUE(ch.ClearBreak());
    PumpingDelay.Wait(100);
    ch.Receive(1, 200);
    EXPECT_EQ(At(0), 0x06);

    ch.SendCommandText("2A 41");
    ch.Receive(6, 500);
    EXPECT_EQ(ch.ReceiveCount, 6);
    EXPECT_EQ(At(0), 0x2A);
    EXPECT_EQ(At(4), 0x10);
    EXPECT_EQ(At(5), 0x06);

    ch.SendCommandText("2A 42 01");
    ch.Receive(4, 500);
    EXPECT_EQ(ch.ReceiveCount, 4);
    EXPECT_EQ(At(3), 0x06);

    ch.SendCommandText("2A 43");
    ch.Receive(3, 250);
    EXPECT_EQ(ch.ReceiveCount, 3);
    ch.Close();

    EXPECT_TRUE(opener.Reader().SetUp());
    EXPECT_EQ(opener.Reader().SettingByte(), 0x01);
    EXPECT_EQ(opener.OpenCount(), 1);
}

class SimulatorChannelCardTest : public SimulatorChannelTest {
protected:
    SimulatorChannelCardTest() : SimulatorChannelTest("setup=01") {}
};

TEST_F(SimulatorChannelCardTest, ResetCardReportsTheAnswerToReset)
{
    ASSERT_TRUE(SerialChannel.Open(1, 5728, 8, kTwoStopBits, kNoParity, 0));
    EXPECT_FALSE(SerialChannel.CardSlotEmpty());
    EXPECT_EQ(SerialChannel.ResetCard(0, 0), "3B 54 4C 54 52 56 4B 01");
    // A second reset answers again.
    EXPECT_EQ(SerialChannel.ResetCard(0, 0), "3B 54 4C 54 52 56 4B 01");
    opener.Reader().RemoveCard();
    EXPECT_TRUE(SerialChannel.CardSlotEmpty());
    EXPECT_EQ(SerialChannel.ResetCard(0, 0), "");
}

TEST_F(SimulatorChannelCardTest, SpeedSweepPassesExactlyInsideTheWindow)
{
    std::vector<uint32_t> passed;
    for (uint32_t speed = 33600; speed <= 35600; speed += 100)
        if (Trial(speed)) passed.push_back(speed);
    EXPECT_EQ(passed, (std::vector<uint32_t>{34000, 34100, 34200, 34300, 34400, 34500, 34600, 34700}));
    EXPECT_EQ(opener.OpenCount(), 2 * 21);
}

TEST_F(SimulatorChannelCardTest, LoaderStartsOnlyWhenTheCloseLetsTheCommandOut)
{
    // The Close waits until "01 02 EA" has left the line at the base speed.
    // Reconfiguring the still-open port instead changes the speed under the
    // command's tail, and the card never starts its loader.
    EXPECT_FALSE(Trial(34350, false));
    EXPECT_EQ(opener.Reader().Card(), sim::CardState::Ready);
    EXPECT_EQ(opener.Reader().BlockWrites(), 0);
    EXPECT_TRUE(Trial(34350, true));
    EXPECT_EQ(opener.Reader().BlockWrites(), 1);
}

TEST_F(SimulatorChannelCardTest, WholeCardImageIsWrittenAndReadBack)
{
    ASSERT_TRUE(Trial(34350));
    std::vector<uint8_t> image(sim::kCardMemorySize);
    uint32_t x = 12345;
    for (uint8_t& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    TSerialChannel& ch = SerialChannel;
    int failures = 0;
    for (uint32_t offset = 0; offset < image.size(); offset += 16) {
        ch.SendCommandText(Hex(WriteFrame(offset, &image[offset])));
        ch.Receive(26, 1500);
        if (!AckAt23()) ++failures;
        if ((offset / 16) % 32 == 31) {
            ch.SendCommandText(Hex(ReadFrame(offset)));
            ch.Receive(29, 500);
            for (int i = 0; i < 16; ++i)
                if (At(12 + i) != image[offset + i]) ++failures;
        }
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(opener.Reader().Memory(), image);
    EXPECT_EQ(opener.Reader().BlockWrites(), 1 + 16384);
}

}  // namespace
