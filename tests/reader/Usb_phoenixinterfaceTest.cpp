// Reader setup and the card-slot waits, on the simulated reader (and, for
// reply shapes the simulator never sends, on a scripted reader), all on the
// virtual clock: the exact setup commands, the blink cycles and their times,
// the messages and colours, and the port state each outcome leaves.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "reader/Usb_phoenixinterface.h"
#include "serial/ReaderLink.h"
#include "simulator/Simulator.h"
#include "support/RecordingWindow.h"
#include "support/ScriptedReader.h"

namespace {

constexpr int64_t kMs = 1000;
const std::string kWaitSetting = "Wait Setting Phoenix 3.58MHz.";

class Usb_phoenixinterfaceTest : public ::testing::Test {
protected:
    Usb_phoenixinterfaceTest() : status(clock) {}
    ~Usb_phoenixinterfaceTest() override { link.reset(); }

    // The simulated reader with the given knobs.
    sim::SimulatedReader& UseSimulator(const std::string& options)
    {
        opener = std::make_unique<sim::SimulatorOpener>(clock, sim::SimOptions::Parse(options));
        link.emplace(clock, *opener, opener->Failures());
        start = clock.PeekMicros();
        return opener->Reader();
    }
    ScriptedReaderDevice& UseScriptedReader()
    {
        scripted = std::make_unique<ScriptedReaderOpener>(clock);
        link.emplace(clock, *scripted);
        start = clock.PeekMicros();
        return scripted->device;
    }

    // Frames the host wrote, in order.
    std::vector<std::vector<uint8_t>> SentFrames() const
    {
        std::vector<std::vector<uint8_t>> frames;
        for (const sim::WriteRecord& w : opener->Reader().Writes()) frames.push_back(w.bytes);
        return frames;
    }
    int64_t MsSinceStart(int64_t micros) const { return (micros - start) / kMs; }

    bool Setup(const std::string& mode = "Phoenix", const std::string& clockText = "3.58",
               int32_t waitCount = 30, uint32_t port = 1)
    {
        return SetReaderMode(*link, mode, clockText, waitCount, port, ShownIn(status));
    }

    VirtualClock clock;
    RecordingStatus status;
    std::unique_ptr<sim::SimulatorOpener> opener;
    std::unique_ptr<ScriptedReaderOpener> scripted;
    std::optional<ReaderLink> link;
    int64_t start = 0;
};

TEST_F(Usb_phoenixinterfaceTest, SendsTheThreeCommandsWithTheSettingByte)
{
    struct Case {
        std::string mode, clock;
        uint8_t setting;
    };
    const std::vector<Case> cases = {
        {"Phoenix", "3.58", 0x01},    {"Phoenix", "3.68", 0x02},    {"Phoenix", "6.00", 0x03},
        {"Phoenix", "6", 0x00},       {"Phoenix", "3.580", 0x00},   {"SmartMouse", "3.58", 0x81},
        {"SmartMouse", "3.68", 0x82}, {"SmartMouse", "6.00", 0x83}, {"SmartMouse", "", 0x80},
        {"smartmouse", "6.00", 0x03},  // mode text is case-sensitive
    };
    for (const Case& c : cases) {
        status.texts.clear();
        sim::SimulatedReader& reader = UseSimulator("card=out");

        ASSERT_TRUE(Setup(c.mode, c.clock)) << c.mode << " " << c.clock;
        const std::vector<std::vector<uint8_t>> expected = {{0x2A, 0x41}, {0x2A, 0x42, c.setting}, {0x2A, 0x43}};
        EXPECT_EQ(SentFrames(), expected) << c.mode << " " << c.clock;
        EXPECT_EQ(reader.SettingByte(), c.setting);
        EXPECT_TRUE(reader.SetUp());
        for (const sim::WriteRecord& w : reader.Writes()) {
            EXPECT_EQ(w.settings.BaudRate, 9600u);
            EXPECT_EQ(w.settings.ByteSize, 8);
            EXPECT_EQ(w.settings.Parity, kNoParity);
            EXPECT_EQ(w.settings.StopBits, kOneStopBit);
        }
        EXPECT_EQ(status.TextSequence(), std::vector<std::string>{"Wait Setting " + c.mode + " " + c.clock + "MHz."});
        EXPECT_EQ(status.Color(), clBtnFace);
        EXPECT_FALSE(link->SerialChannel.IsOpen) << "a successful setup closes the port";
    }
}

TEST_F(Usb_phoenixinterfaceTest, EmptySlotGoesStraightToTheSetup)
{
    sim::SimulatedReader& reader = UseSimulator("card=out");
    ASSERT_TRUE(Setup());

    EXPECT_EQ(status.TextSequence(), std::vector<std::string>{kWaitSetting});
    EXPECT_EQ(status.ColorSequence(), std::vector<TColor>{clBtnFace});

    // The break starts at once and is held for the eleven waits and the
    // discarding read.
    std::vector<sim::LineEvent> breaks;
    for (const sim::LineEvent& e : reader.LineHistory())
        if (e.signal == sim::Signal::Break) breaks.push_back(e);
    ASSERT_EQ(breaks.size(), 2u);
    EXPECT_TRUE(breaks[0].level);
    EXPECT_LT(MsSinceStart(breaks[0].atMicros), 5);
    // Eleven waits of 100 ms, then a read step on the silent line of 250 ms.
    EXPECT_NEAR((breaks[1].atMicros - breaks[0].atMicros) / kMs, 1100 + 250, 3);
}

TEST_F(Usb_phoenixinterfaceTest, RemovalDuringTheThirdRedHalfSecond)
{
    UseSimulator("card=in,remove=2700");
    ASSERT_TRUE(Setup());

    EXPECT_EQ(status.TextSequence(), (std::vector<std::string>{"Please remove card from card slot.", kWaitSetting}));
    const std::vector<TColor> blinks = {clBtnFace, clYellow, clRed, clYellow, clRed, clYellow, clRed, clBtnFace};
    ASSERT_EQ(status.ColorSequence(), blinks);
    // Half a second per colour; the removal is seen at the test that ends
    // the third red half, 3 s in, and the setup goes on 500 ms later.
    for (size_t i = 1; i < status.colors.size(); ++i)
        EXPECT_NEAR(MsSinceStart(status.colors[i].micros), 500 * static_cast<int64_t>(i - 1), 2) << i;
    EXPECT_NEAR(MsSinceStart(status.texts[1].micros), 3500, 2);
}

TEST_F(Usb_phoenixinterfaceTest, CardLeftInTheSlotStopsTheSetup)
{
    struct Case {
        int32_t waitCount;
        TColor finalColor;
        int64_t takesMs;
    };
    for (const Case& c : {Case{0, clBtnFace, 0}, Case{-5, clBtnFace, 0}, Case{30, clRed, 30000}}) {
        status.colors.clear();
        status.texts.clear();
        sim::SimulatedReader& reader = UseSimulator("card=in");

        EXPECT_FALSE(Setup("Phoenix", "3.58", c.waitCount)) << c.waitCount;
        EXPECT_EQ(status.TextSequence(), std::vector<std::string>{"Please remove card from card slot."});
        EXPECT_EQ(status.Color(), c.finalColor) << c.waitCount;
        EXPECT_EQ(status.colors.size(), 1u + 2u * static_cast<size_t>(std::max(c.waitCount, 0)));
        EXPECT_NEAR(MsSinceStart(clock.PeekMicros()), c.takesMs, 5) << c.waitCount;
        EXPECT_TRUE(reader.Writes().empty());
        EXPECT_TRUE(link->SerialChannel.IsOpen) << "the caller closes the port";
    }
}

TEST_F(Usb_phoenixinterfaceTest, BytesDuringTheBreakBeyondFiveSpoilTheAnswer)
{
    // The discarding read takes five; a sixth is read where 0x06 must be.
    struct Case {
        int junk;
        bool accepted;
    };
    for (const Case& c : {Case{0, true}, Case{5, true}, Case{6, false}}) {
        status.texts.clear();
        UseSimulator("card=out,breakjunk=" + std::to_string(c.junk));
        EXPECT_EQ(Setup(), c.accepted) << c.junk;
        if (!c.accepted) {
            EXPECT_EQ(status.Text(), "Error setting Phoenix mode.");
            EXPECT_EQ(status.Color(), clRed);
            EXPECT_TRUE(SentFrames().empty()) << "nothing is sent after a refused break";
            EXPECT_TRUE(link->SerialChannel.IsOpen);
        }
    }
}

TEST_F(Usb_phoenixinterfaceTest, RepliesAreJudgedOnlyAtTheirTestedBytes)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> frame;
        std::vector<uint8_t> answer;
        bool accepted;
        bool echo = true;
    };
    const std::vector<Case> cases = {
        {"2A 41 answered 00 00 10 06", {0x2A, 0x41}, {0x00, 0x00, 0x10, 0x06}, true},
        {"2A 41 answered 00 00 00 00 10 06 without echo", {0x2A, 0x41}, {0x00, 0x00, 0x00, 0x00, 0x10, 0x06}, true,
         false},
        {"2A 41 reply of five bytes", {0x2A, 0x41}, {0x01, 0x10, 0x06}, false},
        {"2A 41 answer ending 10 07", {0x2A, 0x41}, {0x01, 0x00, 0x10, 0x07}, false},
        {"2A 41 answer ending 11 06", {0x2A, 0x41}, {0x01, 0x00, 0x11, 0x06}, false},
        {"2A 41 answer with bytes 3 and 4 changed", {0x2A, 0x41}, {0xFF, 0xFF, 0x10, 0x06}, true},
        {"break answered 15", {}, {0x15}, false},
        {"break answered 06 15: the 15 starts the next reply", {}, {0x06, 0x15}, false},
        {"break not answered", {}, {}, false},
        {"2A 42 01 answered 15", {0x2A, 0x42, 0x01}, {0x15}, false},
        {"2A 42 01 not answered", {0x2A, 0x42, 0x01}, {}, false},
        {"2A 43 not answered", {0x2A, 0x43}, {}, true},
        {"2A 43 answered oddly", {0x2A, 0x43}, {0x15, 0x15, 0x15}, true},
    };
    for (const Case& c : cases) {
        ScriptedReaderDevice& reader = UseScriptedReader();
        reader.echo = c.echo;
        if (!c.echo) {
            // Without the echo every answer must carry the reply's full length.
            reader.answers[{0x2A, 0x42, 0x01}] = {0x00, 0x00, 0x00, 0x06};
            reader.answers[{0x2A, 0x43}] = {};
        }
        if (c.frame.empty())
            reader.breakAnswer = c.answer;
        else
            reader.answers[c.frame] = c.answer;

        EXPECT_EQ(Setup(), c.accepted) << c.what;
        EXPECT_EQ(status.Text(), c.accepted ? kWaitSetting : "Error setting Phoenix mode.") << c.what;
        EXPECT_EQ(status.Color(), c.accepted ? clBtnFace : clRed) << c.what;
        EXPECT_EQ(link->SerialChannel.IsOpen, !c.accepted) << c.what;
    }
}

TEST_F(Usb_phoenixinterfaceTest, PortThatCannotBeOpened)
{
    RecordingStatus waitStatus(clock);
    for (uint32_t port : {0u, 2u}) {
        UseSimulator("card=out");
        EXPECT_FALSE(Setup("Phoenix", "3.58", 30, port)) << port;
        EXPECT_EQ(status.Text(), "Could not open comport!");
        EXPECT_EQ(status.Color(), clRed);
        EXPECT_FALSE(WaitForCard(*link, 30, port, ShownIn(waitStatus))) << port;
        EXPECT_EQ(waitStatus.Text(), "Could not open comport!");
        EXPECT_EQ(waitStatus.Color(), clRed);
        EXPECT_EQ(opener->OpenCount(), 0);
    }
}

TEST_F(Usb_phoenixinterfaceTest, WaitForCardWithACardAlreadyIn)
{
    sim::SimulatedReader& reader = UseSimulator("card=out,insert=0");
    ASSERT_TRUE(Setup());
    EXPECT_TRUE(reader.CardPresent()) << "the card went in once the setup saw the empty slot";
    const size_t textsBefore = status.texts.size();
    const int64_t before = clock.PeekMicros();

    ASSERT_TRUE(WaitForCard(*link, 30, 1, ShownIn(status)));
    EXPECT_EQ(status.texts.size(), textsBefore) << "the text is left as it was";
    EXPECT_EQ(status.Text(), kWaitSetting);
    EXPECT_EQ(status.colors.back().color, clBtnFace);
    EXPECT_NEAR((clock.PeekMicros() - before) / kMs, 500, 2);
    ASSERT_TRUE(link->SerialChannel.IsOpen);
    const LineSettings& s = link->SerialChannel.LineSettings_;
    EXPECT_EQ(s.BaudRate, 9600u);
    EXPECT_EQ(s.ByteSize, 8);
    EXPECT_EQ(s.Parity, kNoParity);
    EXPECT_EQ(s.StopBits, kOneStopBit);
}

TEST_F(Usb_phoenixinterfaceTest, WaitForCardInsertedDuringTheBlinking)
{
    UseSimulator("card=out,insert=1200");
    ASSERT_TRUE(WaitForCard(*link, 30, 1, ShownIn(status)));
    EXPECT_EQ(status.TextSequence(), std::vector<std::string>{"Please insert card in card slot."});
    EXPECT_EQ(status.ColorSequence(), (std::vector<TColor>{clBtnFace, clYellow, clRed, clYellow, clBtnFace}));
    // Seen at the test after the second yellow half, then 500 ms more.
    EXPECT_NEAR(MsSinceStart(status.colors.back().micros), 1500, 2);
    EXPECT_NEAR(MsSinceStart(clock.PeekMicros()), 2000, 2);
    EXPECT_TRUE(link->SerialChannel.IsOpen);
}

TEST_F(Usb_phoenixinterfaceTest, WaitForCardGivesUpAfterItsBlinkCycles)
{
    struct Case {
        int32_t waitCount;
        TColor finalColor;
    };
    for (const Case& c : {Case{30, clRed}, Case{0, clBtnFace}}) {
        status.colors.clear();
        UseSimulator("card=out");
        EXPECT_FALSE(WaitForCard(*link, c.waitCount, 1, ShownIn(status)));
        EXPECT_EQ(status.Text(), "Please insert card in card slot.");
        EXPECT_EQ(status.Color(), c.finalColor);
        ASSERT_EQ(status.colors.size(), 1u + 2u * static_cast<size_t>(c.waitCount));
        for (size_t i = 1; i < status.colors.size(); ++i) {
            EXPECT_EQ(status.colors[i].color, i % 2 == 1 ? clYellow : clRed) << i;
            EXPECT_NEAR(MsSinceStart(status.colors[i].micros), 500 * static_cast<int64_t>(i - 1), 2) << i;
        }
        EXPECT_NEAR(MsSinceStart(clock.PeekMicros()), 1000 * c.waitCount, 5);
        EXPECT_TRUE(link->SerialChannel.IsOpen) << "the caller closes the port";
    }
}

// Every setup wait just inside and just outside its time, with the time the
// whole setup takes. The reader's answers are timed from the end of what they
// answer; each Receive waits in read steps of up to 250 ms and stops after the
// first step that ends past its deadline.
TEST_F(Usb_phoenixinterfaceTest, SetupWaitsEndAtTheirTimes)
{
    struct Case {
        const char* options;
        bool accepted;
        int64_t takesMs;  // from the start to the return
    };
    // Break of 1100 ms, a silent discarding read step of 250 ms, 100 ms after
    // the break, then the three commands (about 14 ms of line time).
    const std::vector<Case> cases = {
        {"", true, 1464},
        // The 0x06 after the break: its single read step starts 100 ms after
        // the break ends and waits 250 ms.
        {"breakanswer=340", true, 1704},
        {"breakanswer=360", false, 1700},
        // Bytes sent while the break is held: five within the 100 ms read are
        // thrown away; the ones after it take the place of the 0x06. (The
        // split delays the rest of the "2A 41" answer by as much.)
        {"breakjunk=5,split=1:85", true, 1390},
        {"breakjunk=5,split=1:110", false, 1313},
        // "2A 41": six bytes within 500 ms.
        {"answer41=490", true, 1954},
        {"answer41=510", false, 1952},
        // "2A 42 01": four bytes within 500 ms.
        {"answer42=490", true, 1954},
        {"answer42=510", false, 1958},
        // "2A 43": three bytes within 250 ms, not examined; a later answer
        // only ends the wait at its deadline.
        {"answer43=200", true, 1664},
        {"answer43=300", true, 1711},
    };
    for (const Case& c : cases) {
        status.texts.clear();
        UseSimulator(std::string("card=out,") + c.options);
        EXPECT_EQ(Setup(), c.accepted) << c.options;
        EXPECT_EQ(status.Text(), c.accepted ? kWaitSetting : "Error setting Phoenix mode.") << c.options;
        EXPECT_NEAR(MsSinceStart(clock.PeekMicros()), c.takesMs, 2) << c.options;
    }
}

}  // namespace
