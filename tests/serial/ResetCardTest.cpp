// The card reset: the RTS pulse, which bytes make up the answer-to-reset, the
// text it is reported as, and what the channel is left with. Runs against the
// recording port double, whose bytes arrive at exact virtual times.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "serial/ReaderLink.h"
#include "support/FakePort.h"

namespace {

constexpr int64_t kMs = 1000;

class ResetCardTest : public ::testing::Test {
protected:
    ResetCardTest() : opener(clock), link(clock, opener)
    {
        link.pump.processMessages = [this] { pumpTimes.push_back(clock.PeekMicros()); };
        SerialChannel.ResetState();
        EXPECT_TRUE(SerialChannel.Open(1, 5728, 8, kTwoStopBits, kNoParity, 0));
        start = clock.PeekMicros();
    }
    ~ResetCardTest() override { SerialChannel.ResetState(); }

    // Bytes that reach the driver `ms` after the reset begins, 2 ms apart.
    void CardSends(const std::vector<uint8_t>& bytes, int64_t ms)
    {
        opener.device.Arrive(bytes, ms * kMs - (clock.PeekMicros() - start), 2 * kMs);
    }

    VirtualClock clock;
    FakeOpener opener;
    ReaderLink link;
    TSerialChannel& SerialChannel = link.SerialChannel;
    std::vector<int64_t> pumpTimes;
    int64_t start = 0;
};

TEST_F(ResetCardTest, AnswerIsReportedAsCommandText)
{
    struct Case {
        std::vector<uint8_t> answer;
        uint8_t convertInverse;
        std::string text;
    };
    const std::vector<Case> cases = {
        {{0x3B, 0x02, 0x14}, 0, "3B 02 14"},
        {{}, 0, ""},
        {{0x03, 0x3B}, 1, "3F 23"},    // inverse convention decoded
        {{0x03, 0x3B}, 0, "03 3B"},    // reported as received
        {{0x03, 0x00}, 2, "03 00"},    // only exactly 1 decodes
        {{0xAB, 0xCD, 0xEF}, 0, "AB CD EF"},
    };
    for (const Case& c : cases) {
        start = clock.PeekMicros();
        CardSends(c.answer, 200);
        EXPECT_EQ(SerialChannel.ResetCard(0, c.convertInverse), c.text) << c.text;
        EXPECT_EQ(SerialChannel.ReceiveCount, 0) << "the buffer is emptied before returning";
        EXPECT_EQ(SerialChannel.ReceiveBuffer[0], 0);
        EXPECT_TRUE(SerialChannel.IsOpen);
    }
}

TEST_F(ResetCardTest, OnlyBytesAfterThePurgeBelongToTheAnswer)
{
    // Left over from an earlier exchange, still in the buffer.
    SerialChannel.ReceiveBuffer[0] = 0x99;
    SerialChannel.ReceiveCount = 1;
    CardSends({0xE1, 0xE2}, 0);   // before the reset began, waiting in the driver
    CardSends({0xE3}, 60);        // while the card is held in reset
    CardSends({0x3B, 0x54}, 120); // during the 100 ms after the release
    CardSends({0x4C}, 400);       // during the final receive

    EXPECT_EQ(SerialChannel.ResetCard(0, 0), "3B 54 4C");
}

TEST_F(ResetCardTest, AnswerIsCutOffWhenTheReceiveEnds)
{
    CardSends({0x3B}, 300);
    CardSends({0x54}, 1200);  // long after the half-second receive
    EXPECT_EQ(SerialChannel.ResetCard(0, 0), "3B");
}

TEST_F(ResetCardTest, PulseTimingAndMessageProcessing)
{
    EXPECT_EQ(SerialChannel.ResetCard(0, 0), "");
    const int64_t took = clock.PeekMicros() - start;
    EXPECT_GE(took, 680 * kMs);
    EXPECT_LT(took, 1000 * kMs) << "a silent line ends in the read step after the deadline";

    // Nothing pumps messages before the final receive begins, 180 ms in.
    ASSERT_FALSE(pumpTimes.empty());
    EXPECT_GE(pumpTimes.front() - start, 180 * kMs);
    EXPECT_LT(pumpTimes.front() - start, 181 * kMs);
    EXPECT_EQ(opener.device.log.purges, std::vector<uint32_t>{kPurgeRxClear});
}

TEST_F(ResetCardTest, RtsLevelAfterTheResetByPolarity)
{
    struct Case {
        uint8_t polarity;
        bool rtsBefore;
        std::vector<uint32_t> escapes;
        bool rtsAfter;
    };
    const std::vector<Case> cases = {
        {0, false, {kEscSetRts, kEscClrRts}, false},
        {1, false, {kEscClrRts, kEscSetRts}, true},
        {2, true, {}, true},  // any other code leaves RTS alone
        {2, false, {}, false},
    };
    for (const Case& c : cases) {
        if (c.rtsBefore)
            SerialChannel.SetRts();
        else
            SerialChannel.ClearRts();
        opener.device.log.escapes.clear();
        opener.device.log.purges.clear();
        start = clock.PeekMicros();

        SerialChannel.ResetCard(c.polarity, 0);
        EXPECT_EQ(opener.device.log.escapes, c.escapes) << int(c.polarity);
        EXPECT_EQ(SerialChannel.RtsEnabled, c.rtsAfter) << int(c.polarity);
        EXPECT_EQ(opener.device.log.purges, std::vector<uint32_t>{kPurgeRxClear}) << int(c.polarity);
        EXPECT_GE(clock.PeekMicros() - start, 680 * kMs) << "same waits whatever the polarity";

        // The level survives closing and reopening the port.
        SerialChannel.Close();
        ASSERT_TRUE(SerialChannel.Open(1, 5728, 8, kTwoStopBits, kNoParity, 0));
        EXPECT_EQ(opener.device.log.states.back().fRtsControl,
                  c.rtsAfter ? kRtsControlEnable : kRtsControlDisable)
            << int(c.polarity);
    }
}

TEST_F(ResetCardTest, ClosedChannelGivesAnEmptyAnswer)
{
    SerialChannel.Close();
    CardSends({0x3B, 0x54}, 200);
    EXPECT_EQ(SerialChannel.ResetCard(0, 0), "");
    EXPECT_EQ(SerialChannel.ReceiveCount, 0);
}

// Which bytes make up the answer, by their arrival just either side of each
// limit: the purge 80 ms in, the collection of 255 bytes from 180 ms on with
// its 500 ms deadline. The collection waits in read steps of 250 ms; the step
// that ends exactly at the deadline is not yet past it, so a silent line is
// read until 930 ms.
TEST_F(ResetCardTest, AnswerBytesEitherSideOfEveryLimit)
{
    struct Case {
        const char* what;
        int64_t atMs;
        size_t bytes;
        size_t reported;
        int64_t takesMs;
    };
    const std::vector<Case> cases = {
        {"just before the purge", 79, 1, 0, 930},
        {"just after the purge", 81, 1, 1, 930},
        {"in the step that ends the collection", 925, 1, 1, 925},
        {"after the collection", 935, 1, 0, 930},
        {"255 bytes at once", 200, 255, 255, 200},
        {"256 bytes at once", 200, 256, 255, 200},
        {"254 bytes at once", 200, 254, 254, 700},
    };
    for (const Case& c : cases) {
        SerialChannel.ClearReceiveBuffer();
        opener.device.incoming.clear();
        start = clock.PeekMicros();
        opener.device.Arrive(std::vector<uint8_t>(c.bytes, 0x3B), c.atMs * kMs);
        const std::string text = SerialChannel.ResetCard(0, 0);
        EXPECT_EQ((text.size() + 1) / 3, c.reported) << c.what;
        EXPECT_NEAR((clock.PeekMicros() - start) / kMs, c.takesMs, 1) << c.what;
    }
}

}  // namespace
