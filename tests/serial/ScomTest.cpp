// The serial channel against a recording port double on a virtual clock:
// the calls it makes, the bytes it sends, and the timing of its waits.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "programming/LoaderFrames.h"
#include "programming/ProgramData.h"
#include "reader/Usb_phoenixinterface.h"
#include "serial/ReaderLink.h"
#include "support/FakePort.h"
#include "support/RecordingWindow.h"

namespace {

class ScomTest : public ::testing::Test {
protected:
    ScomTest() : opener(clock), link(clock, opener)
    {
        link.pump.processMessages = [this] { ++pumps; };
        SerialChannel.ResetState();
    }
    ~ScomTest() override { SerialChannel.ResetState(); }

    bool OpenBase(uint32_t port = 1) { return SerialChannel.Open(port, 5728, 8, kTwoStopBits, kNoParity, 0); }
    std::vector<uint8_t> LastWrite() const { return opener.device.log.writes.back(); }
    int64_t ElapsedMs(int64_t startMicros) const { return (clock.PeekMicros() - startMicros) / 1000; }

    VirtualClock clock;
    FakeOpener opener;
    ReaderLink link;
    TSerialChannel& SerialChannel = link.SerialChannel;
    TPumpingDelay& PumpingDelay = link.PumpingDelay;
    int pumps = 0;
};

TEST_F(ScomTest, DeviceNamesFollowTheComRule)
{
    const std::vector<std::pair<uint32_t, std::string>> cases = {
        {1, ".\\COM1"}, {9, ".\\COM9"}, {10, "\\\\.\\COM10"}, {16, "\\\\.\\COM16"}, {0, ".\\COM0"}};
    for (const auto& [port, name] : cases) EXPECT_EQ(TSerialChannel::DeviceName(port), name) << port;

    EXPECT_TRUE(SerialChannel.Open(10, 9600, 8, kOneStopBit, kNoParity, 0));
    SerialChannel.Close();
    EXPECT_FALSE(SerialChannel.Open(0, 9600, 8, kOneStopBit, kNoParity, 0));
    EXPECT_FALSE(SerialChannel.IsOpen);
    EXPECT_EQ(opener.device.log.opened, std::vector<std::string>{"\\\\.\\COM10"});
    EXPECT_EQ(opener.device.log.refused, std::vector<std::string>{".\\COM0"});
}

TEST_F(ScomTest, OpenAppliesTimeoutsQueuesAndLineFormat)
{
    opener.device.driverState.XonChar = 0x42;  // a driver value the channel must keep
    opener.device.driverState.fOutxCtsFlow = true;
    ASSERT_TRUE(SerialChannel.Open(3, 34350, 8, kTwoStopBits, kMarkParity, 0xFE));

    const FakePortLog& log = opener.device.log;
    ASSERT_EQ(log.timeouts.size(), 1u);
    const CommTimeouts& t = log.timeouts[0];
    EXPECT_EQ(t.ReadIntervalTimeout, kMaxDword);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, kMaxDword);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 250u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 2u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 500u);
    EXPECT_EQ(log.queues, (std::vector<std::pair<uint32_t, uint32_t>>{{8192, 8192}}));

    const LineSettings& s = log.states.back();
    EXPECT_EQ(s.BaudRate, 34350u);
    EXPECT_EQ(s.ByteSize, 8);
    EXPECT_EQ(s.StopBits, kTwoStopBits);
    EXPECT_EQ(s.Parity, kMarkParity);
    EXPECT_FALSE(s.fParity) << "only bit 0 of the parity-checking argument counts";
    EXPECT_TRUE(s.fBinary);
    EXPECT_FALSE(s.fOutxCtsFlow);
    EXPECT_FALSE(s.fOutX);
    EXPECT_FALSE(s.fInX);
    EXPECT_EQ(s.fDtrControl, kDtrControlDisable);
    EXPECT_EQ(s.fRtsControl, kRtsControlEnable) << "RTS is high until something drops it";
    EXPECT_EQ(s.XonLim, 512);
    EXPECT_EQ(s.XoffLim, 512);
    EXPECT_EQ(s.XonChar, 0x42);
}

// The three line formats as the reader setup, the card reset and the loader
// frames open them, each field of the settings handed to the port, from a
// driver that reported the opposite of every value the channel sets.
TEST_F(ScomTest, EachLineFormatSetsEveryField)
{
    LineSettings driver;
    driver.BaudRate = 110;
    driver.fBinary = false;
    driver.fParity = true;
    driver.fOutxCtsFlow = true;
    driver.fOutxDsrFlow = true;
    driver.fDtrControl = kDtrControlHandshake;
    driver.fDsrSensitivity = true;
    driver.fTXContinueOnXoff = false;
    driver.fOutX = true;
    driver.fInX = true;
    driver.fErrorChar = true;
    driver.fNull = true;
    driver.fRtsControl = kRtsControlHandshake;
    driver.fAbortOnError = true;
    driver.XonLim = 2048;
    driver.XoffLim = 2048;
    driver.ByteSize = 7;
    driver.Parity = kEvenParity;
    driver.StopBits = kOne5StopBits;
    driver.XonChar = 0x21;
    driver.XoffChar = 0x22;
    driver.ErrorChar = 0x23;
    driver.EofChar = 0x24;
    driver.EvtChar = 0x25;

    struct Case {
        const char* what;
        std::function<void()> open;
        uint32_t baud;
        uint8_t stopBits;
        uint8_t parity;
    };
    RecordingStatus status(clock);
    const std::vector<Case> cases = {
        {"reader setup", [&] { WaitForCard(link, 30, 1, ShownIn(status)); }, 9600, kOneStopBit, kNoParity},
        {"base settings", [this] { loader::OpenBaseSettings(link, 1, "3.58"); }, 5728, kTwoStopBits, kNoParity},
        {"working settings", [this] { loader::OpenWorkingSettings(link, 1, 34350); }, 34350, kTwoStopBits,
         kMarkParity},
    };
    for (const Case& c : cases) {
        SerialChannel.ResetState();
        opener.device.driverState = driver;
        opener.device.log.states.clear();
        c.open();
        ASSERT_EQ(opener.device.log.states.size(), 1u) << c.what;
        const LineSettings& s = opener.device.log.states[0];
        EXPECT_EQ(s.BaudRate, c.baud) << c.what;
        EXPECT_TRUE(s.fBinary) << c.what;
        EXPECT_FALSE(s.fParity) << c.what;
        EXPECT_FALSE(s.fOutxCtsFlow) << c.what;
        EXPECT_FALSE(s.fOutxDsrFlow) << c.what;
        EXPECT_EQ(s.fDtrControl, kDtrControlDisable) << c.what;
        EXPECT_FALSE(s.fDsrSensitivity) << c.what;
        EXPECT_TRUE(s.fTXContinueOnXoff) << c.what;
        EXPECT_FALSE(s.fOutX) << c.what;
        EXPECT_FALSE(s.fInX) << c.what;
        EXPECT_FALSE(s.fErrorChar) << c.what;
        EXPECT_FALSE(s.fNull) << c.what;
        EXPECT_EQ(s.fRtsControl, kRtsControlEnable) << c.what;
        EXPECT_FALSE(s.fAbortOnError) << c.what;
        EXPECT_EQ(s.XonLim, 512) << c.what;
        EXPECT_EQ(s.XoffLim, 512) << c.what;
        EXPECT_EQ(s.ByteSize, 8) << c.what;
        EXPECT_EQ(s.Parity, c.parity) << c.what;
        EXPECT_EQ(s.StopBits, c.stopBits) << c.what;
        // The special characters stay as the driver reported them.
        EXPECT_EQ(s.XonChar, 0x21) << c.what;
        EXPECT_EQ(s.XoffChar, 0x22) << c.what;
        EXPECT_EQ(s.ErrorChar, 0x23) << c.what;
        EXPECT_EQ(s.EofChar, 0x24) << c.what;
        EXPECT_EQ(s.EvtChar, 0x25) << c.what;
    }
}

TEST_F(ScomTest, ReopenKeepsTheHandleAndAppliesTheNewFormat)
{
    ASSERT_TRUE(OpenBase());
    ASSERT_TRUE(SerialChannel.Open(1, 34000, 8, kTwoStopBits, kMarkParity, 0));
    EXPECT_EQ(opener.device.log.opened.size(), 1u);
    EXPECT_EQ(opener.device.log.closes, 0);
    EXPECT_EQ(opener.device.log.states.back().BaudRate, 34000u);
    EXPECT_EQ(opener.device.log.states.back().Parity, kMarkParity);
}

TEST_F(ScomTest, RtsLevelSurvivesCloseAndOpenAndDtrStaysOff)
{
    ASSERT_TRUE(OpenBase());
    SerialChannel.ClearRts();
    SerialChannel.Close();
    ASSERT_TRUE(OpenBase());
    EXPECT_EQ(opener.device.log.states.back().fRtsControl, kRtsControlDisable);
    EXPECT_EQ(opener.device.log.states.back().fDtrControl, kDtrControlDisable);

    SerialChannel.SetRts();
    SerialChannel.Close();
    ASSERT_TRUE(OpenBase());
    EXPECT_EQ(opener.device.log.states.back().fRtsControl, kRtsControlEnable);
    EXPECT_EQ(opener.device.log.states.back().fDtrControl, kDtrControlDisable);
    EXPECT_EQ(opener.device.log.escapes, (std::vector<uint32_t>{kEscClrRts, kEscSetRts}));

    // The level is remembered even while no port is open.
    SerialChannel.Close();
    SerialChannel.ClearRts();
    EXPECT_FALSE(SerialChannel.RtsEnabled);
}

TEST_F(ScomTest, FailedSettingLeavesTheChannelOpenUntilClosed)
{
    opener.device.failSetState = true;
    EXPECT_FALSE(OpenBase());
    EXPECT_TRUE(SerialChannel.IsOpen);
    EXPECT_EQ(opener.device.log.closes, 0);
    SerialChannel.Close();
    EXPECT_EQ(opener.device.log.closes, 1);
}

TEST_F(ScomTest, CloseTwiceMakesOneSystemCall)
{
    ASSERT_TRUE(OpenBase());
    EXPECT_TRUE(SerialChannel.Close());
    EXPECT_TRUE(SerialChannel.Close());
    EXPECT_EQ(opener.device.log.closes, 1);
    EXPECT_FALSE(SerialChannel.IsOpen);
}

TEST_F(ScomTest, CommandTextVariantsGiveTheSameBytes)
{
    ASSERT_TRUE(OpenBase());
    const std::vector<uint8_t> loaderStart = {0x01, 0x02, 0xEA};
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> cases = {
        {"01 02 EA", loaderStart},
        {"0102EA", loaderStart},
        {"01  02 EA ", loaderStart},
        {"01\t02\r\nea", loaderStart},
        {"ea", {0xEA}},
        {"01 0", {0x01}},
        {"01 0 ", {0x01}},
        {"01 0\r\n", {0x01}},
        {"01 02 E ", {0x01, 0x02}},
        {"01 02 EA\t\n", loaderStart},
        {"", {}},
        {"7", {}},
    };
    for (const auto& [text, bytes] : cases) {
        SerialChannel.SendCommandText(text);
        EXPECT_EQ(LastWrite(), bytes) << '"' << text << '"';
    }
}

TEST_F(ScomTest, SendEmptiesTheReceiveBufferFirst)
{
    ASSERT_TRUE(OpenBase());
    opener.device.Arrive({0x11, 0x22});
    SerialChannel.Receive(2, 100);
    ASSERT_EQ(SerialChannel.ReceiveCount, 2);
    SerialChannel.SendCommandText("7");
    EXPECT_EQ(SerialChannel.ReceiveCount, 0);
    EXPECT_EQ(SerialChannel.ReceiveBuffer[0], 0);
    EXPECT_EQ(SerialChannel.ReceiveBuffer[1], 0);
}

TEST_F(ScomTest, MalformedTextIsRefusedBeforeAnythingChanges)
{
    ASSERT_TRUE(OpenBase());
    opener.device.Arrive({0x55});
    SerialChannel.Receive(1, 100);
    for (const std::string text : {" 01 02", "0 ", "01 0G", "0x12", "01 2 3"}) {
        try {
            SerialChannel.SendCommandText(text);
            ADD_FAILURE() << "accepted \"" << text << '"';
        } catch (const EConvertError& e) {
            EXPECT_NE(std::string(e.what()).find("is not a valid integer value"), std::string::npos);
        }
    }
    try {
        SerialChannel.SendCommandText("01 0G");
    } catch (const EConvertError& e) {
        EXPECT_NE(std::string(e.what()).find("0G"), std::string::npos) << "the message names the pair";
    }
    EXPECT_TRUE(opener.device.log.writes.empty());
    EXPECT_EQ(SerialChannel.ReceiveCount, 1);
    EXPECT_EQ(SerialChannel.ReceiveBuffer[0], 0x55);
}

TEST_F(ScomTest, CommandTextBeyondTheTransmitBufferIsRefused)
{
    ASSERT_TRUE(OpenBase());
    std::string fits;
    for (int i = 0; i < TSerialChannel::kBufferSize; ++i) fits += "A5";
    SerialChannel.SendCommandText(fits);
    EXPECT_EQ(LastWrite().size(), 8192u);
    EXPECT_THROW(SerialChannel.SendCommandText(fits + "01"), ECommandTooLong);
    EXPECT_EQ(opener.device.log.writes.size(), 1u);
}

TEST_F(ScomTest, ReceiveOfNothingReturnsAtOnceAfterOnePump)
{
    ASSERT_TRUE(OpenBase());
    const int64_t start = clock.PeekMicros();
    pumps = 0;
    EXPECT_TRUE(SerialChannel.Receive(0, 500));
    EXPECT_EQ(pumps, 1);
    EXPECT_TRUE(opener.device.log.readRequests.empty());
    EXPECT_EQ(ElapsedMs(start), 0);
}

TEST_F(ScomTest, ReceiveOnASilentLineEndsAfterOneReadStep)
{
    ASSERT_TRUE(OpenBase());
    const int64_t start = clock.PeekMicros();
    EXPECT_FALSE(SerialChannel.Receive(100, 20));
    EXPECT_EQ(ElapsedMs(start), 250);
    EXPECT_EQ(opener.device.log.readRequests, std::vector<uint32_t>{100});
}

TEST_F(ScomTest, ReceiveCollectsUntilTheCountAndAsksForWhatIsMissing)
{
    ASSERT_TRUE(OpenBase());
    opener.device.Arrive({1, 2, 3}, 1000);
    opener.device.Arrive({4, 5, 6}, 30'000);
    EXPECT_TRUE(SerialChannel.Receive(6, 500));
    EXPECT_EQ(SerialChannel.ReceiveCount, 6);
    EXPECT_EQ(opener.device.log.readRequests, (std::vector<uint32_t>{6, 3}));
    for (int i = 0; i < 6; ++i) EXPECT_EQ(SerialChannel.ReceiveBuffer[i], i + 1);
}

TEST_F(ScomTest, ReceiveOnAFullBufferStillMakesOneReadStep)
{
    ASSERT_TRUE(OpenBase());
    opener.device.Arrive({1, 2, 3});
    ASSERT_TRUE(SerialChannel.Receive(3, 100));
    opener.device.Arrive({4, 5});
    opener.device.log.readRequests.clear();
    EXPECT_TRUE(SerialChannel.Receive(3, 1500));
    EXPECT_EQ(SerialChannel.ReceiveCount, 5) << "the step appends what has arrived";
    EXPECT_EQ(opener.device.log.readRequests, std::vector<uint32_t>{3});

    // Nothing more arrives: the single step waits its 250 ms and still counts
    // as in time against a 1500 ms deadline.
    const int64_t start = clock.PeekMicros();
    EXPECT_TRUE(SerialChannel.Receive(3, 1500));
    EXPECT_EQ(ElapsedMs(start), 250);
}

TEST_F(ScomTest, StepThatEndsPastTheDeadlineIsLateEvenWithTheCount)
{
    ASSERT_TRUE(OpenBase());
    opener.device.Arrive({1}, 120'000);
    EXPECT_FALSE(SerialChannel.Receive(1, 100));
    EXPECT_EQ(SerialChannel.ReceiveCount, 1);
}

TEST_F(ScomTest, BytesHeldByTheDriverSurviveClearReceiveBuffer)
{
    ASSERT_TRUE(OpenBase());
    opener.device.Arrive({0xAB, 0xCD});
    SerialChannel.ClearReceiveBuffer();
    SerialChannel.Receive(2, 100);
    EXPECT_EQ(SerialChannel.ReceiveCount, 2);
    EXPECT_EQ(SerialChannel.ReceiveBuffer[0], 0xAB);
}

TEST_F(ScomTest, ReadStepsNeverAskBeyondTheBuffer)
{
    ASSERT_TRUE(OpenBase());
    opener.device.Arrive(std::vector<uint8_t>(8190, 0x77));
    SerialChannel.Receive(8190, 100);
    ASSERT_EQ(SerialChannel.ReceiveCount, 8190);
    opener.device.Arrive(std::vector<uint8_t>(10, 0x88));
    opener.device.log.readRequests.clear();
    EXPECT_FALSE(SerialChannel.Receive(8200, 100));
    EXPECT_EQ(SerialChannel.ReceiveCount, 8192);
    ASSERT_FALSE(opener.device.log.readRequests.empty());
    EXPECT_EQ(opener.device.log.readRequests.front(), 2u);
}

TEST_F(ScomTest, ReadStepsPumpMessagesAtMostEveryTenSeconds)
{
    ASSERT_TRUE(OpenBase());
    // A byte every 100 ms for 25 s: one Receive with 250 read steps.
    for (int i = 0; i < 250; ++i) opener.device.Arrive({0x01}, (i + 1) * 100'000);
    pumps = 0;
    EXPECT_TRUE(SerialChannel.Receive(250, 30'000));
    // One at the start, one on the first step (NextPumpTime starts at 0),
    // then one each time 10 s have passed.
    EXPECT_EQ(pumps, 4);
}

TEST_F(ScomTest, WaitsPumpMessagesByTheirRules)
{
    pumps = 0;
    PumpingDelay.Wait(0);
    EXPECT_EQ(pumps, 1);

    pumps = 0;
    SerialChannel.Delay(100);
    EXPECT_EQ(pumps, 0);

    pumps = 0;
    const int64_t start = clock.PeekMicros();
    SerialChannel.Delay(101);
    EXPECT_GT(pumps, 100) << "a longer delay pumps on every turn";
    EXPECT_GE(ElapsedMs(start), 101);
    EXPECT_LE(ElapsedMs(start), 102);

    pumps = 0;
    PumpingDelay.Wait(10);
    EXPECT_GT(pumps, 10);
}

TEST_F(ScomTest, CardSlotFollowsCarrierDetect)
{
    ASSERT_TRUE(OpenBase());
    opener.device.modemStatus = kMsRlsdOn | kMsCtsOn;
    EXPECT_TRUE(SerialChannel.CardSlotEmpty());
    opener.device.modemStatus = kMsCtsOn | kMsDsrOn;
    EXPECT_FALSE(SerialChannel.CardSlotEmpty());
    opener.device.modemStatusFails = true;
    EXPECT_TRUE(SerialChannel.CardSlotEmpty()) << "an unreadable status never claims a card";
}

TEST_F(ScomTest, OperationsOnAPortThatNeverOpenedFailQuietly)
{
    opener.available = false;
    EXPECT_FALSE(OpenBase());
    EXPECT_FALSE(SerialChannel.SetBreak());
    EXPECT_FALSE(SerialChannel.ClearBreak());
    EXPECT_TRUE(SerialChannel.SendCommandText("01 02"));
    const int64_t start = clock.PeekMicros();
    EXPECT_FALSE(SerialChannel.Receive(5, 300));
    EXPECT_GE(ElapsedMs(start), 300);
    EXPECT_EQ(SerialChannel.ReceiveCount, 0);
}

TEST_F(ScomTest, FailingReadsAreWaitedOutNotSpun)
{
    ASSERT_TRUE(OpenBase());
    opener.device.readFails = true;
    for (const int32_t timeout : {1000, 300, 20}) {
        opener.device.log.readRequests.clear();
        const int64_t start = clock.PeekMicros();
        EXPECT_FALSE(SerialChannel.Receive(5, timeout));
        // Ends in the first millisecond past the deadline, one read per
        // 250 ms as on a silent line, and one more past the deadline.
        EXPECT_GE(ElapsedMs(start), timeout) << timeout;
        EXPECT_LE(ElapsedMs(start), timeout + 1) << timeout;
        EXPECT_LE(opener.device.log.readRequests.size(), static_cast<size_t>(timeout / 250 + 2)) << timeout;
    }
}

TEST_F(ScomTest, BreakReportsTheSystemCall)
{
    ASSERT_TRUE(OpenBase());
    EXPECT_TRUE(SerialChannel.SetBreak());
    EXPECT_TRUE(SerialChannel.ClearBreak());
    opener.device.breakFails = true;
    EXPECT_FALSE(SerialChannel.SetBreak());
    EXPECT_EQ(opener.device.log.breaksSet, 2);
}

TEST(ScomInverseConvention, DecodesAndIsItsOwnInverse)
{
    EXPECT_EQ(TSerialChannel::InverseConvention(0x03), 0x3F);
    EXPECT_EQ(TSerialChannel::InverseConvention(0x3F), 0x03);
    EXPECT_EQ(TSerialChannel::InverseConvention(0x00), 0xFF);
    EXPECT_EQ(TSerialChannel::InverseConvention(0x3B), 0x23);
    for (int b = 0; b < 256; ++b) {
        const auto x = static_cast<uint8_t>(b);
        EXPECT_EQ(TSerialChannel::InverseConvention(TSerialChannel::InverseConvention(x)), x);
        uint8_t reversed = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (x & (1 << bit)) reversed |= static_cast<uint8_t>(0x80 >> bit);
        EXPECT_EQ(TSerialChannel::InverseConvention(x), static_cast<uint8_t>(~reversed));
    }
}

}  // namespace
