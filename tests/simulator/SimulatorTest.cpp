// The simulated reader and card on the wire: echo and line timing, read
// timeouts, the reader's setup protocol, the card's answer-to-reset, the
// loader's frames and speed window, the card slot, exclusivity and the fault
// switches. Driven through a raw handle on a virtual clock.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/CommPort.h"
#include "simulator/Simulator.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::SimOptions;

constexpr int64_t kMs = 1000;
constexpr CommTimeouts kChannelTimeouts{kMaxDword, kMaxDword, 250, 2, 500};
const Bytes kDefaultAtr = {0x3B, 0x54, 0x4C, 0x54, 0x52, 0x56, 0x4B, 0x01};
const Bytes kAck = {0xFF, 0x00, 0xC0};

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes WriteFrame(uint32_t address, const Bytes& data)
{
    Bytes f = {0xFF, 0x00, 0x13, uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address)};
    f.resize(f.size() + data.size() + 1, 0xAA);
    std::copy(data.begin(), data.end(), f.begin() + 6);
    return f;
}

Bytes ReadFrame(uint32_t address)
{
    return {0xFE, 0x00, 0x03, uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address), 0xAA};
}

Bytes Block(uint8_t first)
{
    Bytes b(16);
    for (size_t i = 0; i < 16; ++i) b[i] = static_cast<uint8_t>(first + i * 7);
    return b;
}

class SimulatorTest : public ::testing::Test {
protected:
    void Start(const std::string& options = "")
    {
        opener = std::make_unique<sim::SimulatorOpener>(clock, SimOptions::Parse(options));
        port = opener->Open(".\\COM1");
        ASSERT_TRUE(port);
        ASSERT_TRUE(port->SetTimeouts(kChannelTimeouts));
        Line(9600, 8, kNoParity, kOneStopBit);
    }
    sim::SimulatedReader& Reader() { return opener->Reader(); }

    void Line(uint32_t baud, uint8_t dataBits, uint8_t parity, uint8_t stopBits, bool rts = false)
    {
        LineSettings s;
        ASSERT_TRUE(port->GetState(s));
        s.BaudRate = baud;
        s.ByteSize = dataBits;
        s.Parity = parity;
        s.StopBits = stopBits;
        s.fRtsControl = rts ? kRtsControlEnable : kRtsControlDisable;
        s.fDtrControl = kDtrControlDisable;
        ASSERT_TRUE(port->SetState(s));
    }
    void Base() { Line(5728, 8, kNoParity, kTwoStopBits); }
    void Working(uint32_t baud) { Line(baud, 8, kMarkParity, kTwoStopBits); }

    void Send(const Bytes& bytes)
    {
        uint32_t written = 0;
        ASSERT_TRUE(port->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), written));
        ASSERT_EQ(written, bytes.size());
    }
    // Reads the way the channel does until n bytes have come or ms have passed.
    Bytes Receive(size_t n, int64_t ms)
    {
        const int64_t deadline = clock.NowMicros() + ms * kMs;
        Bytes out;
        while (out.size() < n) {
            uint8_t buffer[512];
            uint32_t got = 0;
            const size_t ask = std::min<size_t>(n - out.size(), sizeof buffer);
            EXPECT_TRUE(port->Read(buffer, static_cast<uint32_t>(ask), got));
            out.insert(out.end(), buffer, buffer + got);
            if (clock.PeekMicros() > deadline) break;
        }
        return out;
    }
    // Everything that arrives within ms.
    Bytes Collect(int64_t ms) { return Receive(100000, ms); }
    void Pause(int64_t ms) { clock.Advance(ms * kMs); }
    Bytes Exchange(const Bytes& frame, int64_t ms = 200)
    {
        Send(frame);
        return Collect(ms);
    }
    bool SlotEmpty()
    {
        uint32_t status = 0;
        EXPECT_TRUE(port->GetModemStatus(status));
        return (status & kMsRlsdOn) != 0;
    }

    // The reader's setup protocol at 9600 8N1 with the given setting byte.
    void SetUpReader(uint8_t setting = 0x01)
    {
        Line(9600, 8, kNoParity, kOneStopBit, true);
        ASSERT_TRUE(port->SetBreak());
        Pause(1150);
        ASSERT_TRUE(port->ClearBreak());
        ASSERT_EQ(Collect(100), Bytes{0x06});
        ASSERT_EQ(Exchange({0x2A, 0x42, setting}), (Bytes{0x2A, 0x42, setting, 0x06}));
        ASSERT_EQ(Exchange({0x2A, 0x43}), (Bytes{0x2A, 0x43, 0x06}));
    }
    // Resets the card at the base settings and returns what it answers.
    Bytes ResetCard()
    {
        EXPECT_TRUE(port->Escape(kEscSetRts));
        Pause(10);
        EXPECT_TRUE(port->Escape(kEscClrRts));
        return Collect(300);
    }
    void StartLoader(uint32_t baud = 34350)
    {
        Base();
        ASSERT_EQ(ResetCard(), kDefaultAtr);
        ASSERT_EQ(Exchange({0x01, 0x02, 0xEA}, 20), (Bytes{0x01, 0x02, 0xEA}));
        Working(baud);
    }

    VirtualClock clock;
    std::unique_ptr<sim::SimulatorOpener> opener;
    std::unique_ptr<CommPort> port;
};

// ------------------------------------------------------------ line and reads

TEST_F(SimulatorTest, EchoTakesTheLineTimeOfEachByteAndWritesQueueUp)
{
    Start("card=out");
    const int64_t t0 = clock.PeekMicros();
    Send({0x11, 0x22});
    Send({0x33});
    // The first read waits for the first byte only: 10 bits at 9600 baud.
    EXPECT_EQ(Receive(1, 100), Bytes{0x11});
    EXPECT_NEAR(clock.PeekMicros() - t0, 1042, 3);
    EXPECT_EQ(Receive(2, 100), (Bytes{0x22, 0x33}));
    EXPECT_NEAR(clock.PeekMicros() - t0, 3 * 1042, 5);

    const std::pair<sim::LineFormat, double> formats[] = {
        {{5728, 8, kNoParity, kTwoStopBits}, 11}, {{34350, 8, kMarkParity, kTwoStopBits}, 12},
        {{19200, 7, kEvenParity, kOneStopBit}, 10}, {{1200, 5, kNoParity, kOne5StopBits}, 7.5}};
    for (const auto& [format, bits] : formats)
        EXPECT_NEAR(format.ByteNanos(), bits * 1e9 / format.baud, 1.0) << format.baud;
}

TEST_F(SimulatorTest, AdapterLatencyHoldsBytesUntilItsTimerOrAFullPacket)
{
    Start("card=out,latency=16");
    clock.Advance(16'000 - clock.PeekMicros() % 16'000);  // a tick of the timer
    const int64_t t0 = clock.PeekMicros();
    Send({0x11, 0x22});
    // Both echoes (in after 1042 and 2084 µs) wait for the next tick.
    EXPECT_EQ(Receive(2, 100), (Bytes{0x11, 0x22}));
    EXPECT_NEAR(clock.PeekMicros() - t0, 16'000, 5);
    // With a timer longer than 62 bytes take, 70 bytes: the first 62 go as
    // one packet when the 62nd is in, the rest on the next tick.
    Start("card=out,latency=100");
    clock.Advance(100'000 - clock.PeekMicros() % 100'000);
    const int64_t t1 = clock.PeekMicros();
    Send(Bytes(70, 0x55));
    EXPECT_EQ(Receive(62, 200).size(), 62u);
    EXPECT_NEAR(clock.PeekMicros() - t1, 62 * 1042, 70);
    EXPECT_EQ(Receive(8, 200).size(), 8u);
    EXPECT_NEAR(clock.PeekMicros() - t1, 100'000, 70);
}

TEST_F(SimulatorTest, LoaderFrameTakesItsLineTimeAndAnswerFollowsTurnaround)
{
    Start("setup=01");
    StartLoader(34350);
    const int64_t t0 = clock.PeekMicros();
    const Bytes frame = WriteFrame(0x100, Block(1));
    Send(frame);
    ASSERT_EQ(Receive(23, 100), frame);
    const double frameMicros = 23 * 12 * 1e6 / 34350;  // 8036 µs
    EXPECT_NEAR(clock.PeekMicros() - t0, frameMicros, 3);
    ASSERT_EQ(Receive(3, 100), kAck);
    EXPECT_NEAR(clock.PeekMicros() - t0, frameMicros + 100 + 3 * 12 * 1e6 / 34350, 5);
}

TEST_F(SimulatorTest, ReadTimeouts)
{
    Start("card=out");
    uint8_t buffer[8];
    uint32_t got = 99;

    // Silent line: nothing, after the 250 ms constant.
    int64_t t0 = clock.PeekMicros();
    ASSERT_TRUE(port->Read(buffer, 8, got));
    EXPECT_EQ(got, 0u);
    EXPECT_NEAR(clock.PeekMicros() - t0, 250 * kMs, 3);

    // Waiting bytes come at once, up to the count.
    Send({1, 2, 3, 4, 5});
    Pause(20);
    t0 = clock.PeekMicros();
    ASSERT_TRUE(port->Read(buffer, 2, got));
    EXPECT_EQ(Bytes(buffer, buffer + got), (Bytes{1, 2}));
    ASSERT_TRUE(port->Read(buffer, 8, got));
    EXPECT_EQ(Bytes(buffer, buffer + got), (Bytes{3, 4, 5}));
    EXPECT_LT(clock.PeekMicros() - t0, 10);

    // All-zero timeouts never wait.
    ASSERT_TRUE(port->SetTimeouts({0, 0, 0, 0, 0}));
    Send({7, 8, 9});
    t0 = clock.PeekMicros();
    ASSERT_TRUE(port->Read(buffer, 8, got));
    EXPECT_EQ(got, 0u);
    EXPECT_LT(clock.PeekMicros() - t0, 10);

    // A plain total timeout waits for the whole count, or the total.
    ASSERT_TRUE(port->SetTimeouts({0, 0, 100, 0, 0}));
    ASSERT_TRUE(port->Read(buffer, 3, got));
    EXPECT_EQ(Bytes(buffer, buffer + got), (Bytes{7, 8, 9}));
    EXPECT_NEAR(clock.PeekMicros() - t0, 3 * 1042, 5);
    ASSERT_TRUE(port->Read(buffer, 3, got));
    EXPECT_EQ(got, 0u);
    EXPECT_NEAR(clock.PeekMicros() - t0, 3 * 1042 + 100 * kMs, 10);
}

TEST_F(SimulatorTest, PurgeAndTheInputQueueLimit)
{
    Start("card=out");
    Send({1, 2, 3, 4, 5});
    clock.Advance(2500);  // two echoes are in (1042 µs each), three still coming
    ASSERT_TRUE(port->Purge(kPurgeRxClear));
    EXPECT_EQ(Collect(50), (Bytes{3, 4, 5}));

    Line(1'000'000, 8, kNoParity, kOneStopBit);
    Send(Bytes(9000, 0x55));
    Pause(200);
    EXPECT_EQ(Collect(10).size(), 8192u);
}

TEST_F(SimulatorTest, CloseWaitsForTheOutputAndNothingReachesTheNextHandle)
{
    Start("setup=01");
    Base();
    ASSERT_EQ(ResetCard(), kDefaultAtr);
    // The loader start command is still going out when the handle closes:
    // the close returns when it has left the line (3 x 11 bits at 5728
    // baud), and the card has taken it whole.
    const int64_t t0 = clock.PeekMicros();
    Send({0x01, 0x02, 0xEA});
    port.reset();
    EXPECT_NEAR(clock.PeekMicros() - t0, 3 * 11 * 1e6 / 5728, 3);
    EXPECT_EQ(Reader().Card(), sim::CardState::Loader);

    // Its echo never reaches the next handle, nor does an answer on its way
    // when a handle closes.
    auto reopen = [this] {
        port = opener->Open(".\\COM1");
        ASSERT_TRUE(port);
        ASSERT_TRUE(port->SetTimeouts(kChannelTimeouts));
        Working(34350);
    };
    reopen();
    EXPECT_TRUE(Collect(50).empty());
    Send(ReadFrame(0x100));
    EXPECT_EQ(Receive(7, 50), ReadFrame(0x100));
    const int64_t t1 = clock.PeekMicros();
    port.reset();  // nothing queued: the close takes no time
    EXPECT_LT(clock.PeekMicros() - t1, 5);
    reopen();
    EXPECT_TRUE(Collect(50).empty());
    const Bytes frame = WriteFrame(0x30, Block(3));
    EXPECT_EQ(Exchange(frame), Concat(frame, kAck));

    // A drain waits as the close does, and keeps the handle.
    const int64_t t2 = clock.PeekMicros();
    Send(frame);
    ASSERT_TRUE(port->WaitUntilSent());
    EXPECT_NEAR(clock.PeekMicros() - t2, 23 * 12 * 1e6 / 34350, 3);
    EXPECT_EQ(Collect(50), Concat(frame, kAck));
}

TEST_F(SimulatorTest, SettingsChangeAppliesToTheBytesStillOnTheLine)
{
    // The loader start command written at the base settings and the speed
    // changed at once, as on a port that is not closed in between: the byte
    // going out is garbled, the two behind it go out at the working speed,
    // and the card, listening at the base settings, takes none of them.
    Start("setup=01");
    Base();
    ASSERT_EQ(ResetCard(), kDefaultAtr);
    const int64_t t0 = clock.PeekMicros();
    Send({0x01, 0x02, 0xEA});
    Working(34350);
    EXPECT_EQ(Receive(3, 20), (Bytes{0x01 ^ 0x5A, 0x02, 0xEA}));
    EXPECT_NEAR(clock.PeekMicros() - t0, 11 * 1e6 / 5728 + 2 * 12 * 1e6 / 34350, 3);
    EXPECT_EQ(Reader().Card(), sim::CardState::Ready);

    // Mid-frame at the working speed: a change to another speed inside the
    // window still cuts the frame, so no acknowledgement comes.
    Base();
    ASSERT_EQ(ResetCard(), kDefaultAtr);
    ASSERT_EQ(Exchange({0x01, 0x02, 0xEA}, 20), (Bytes{0x01, 0x02, 0xEA}));
    Working(34350);
    const Bytes frame = WriteFrame(0x100, Block(1));
    Send(frame);
    clock.Advance(2200);  // six bytes out (349 µs each), the seventh going
    Working(34200);
    const Bytes got = Collect(100);
    ASSERT_EQ(got.size(), frame.size());
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 6), Bytes(frame.begin(), frame.begin() + 6));
    EXPECT_EQ(got[6], frame[6] ^ 0x5A);
    EXPECT_EQ(Bytes(got.begin() + 7, got.end()), Bytes(frame.begin() + 7, frame.end()));
    EXPECT_EQ(Exchange(frame), Concat(frame, kAck));
    EXPECT_EQ(Reader().BlockWrites(), 1);

    // Coming in: the host's UART judges each byte while it arrives. Two
    // bytes of the answer-to-reset at the base settings, then 9600 baud: the
    // byte arriving and the ones after are wrong; back at the base settings
    // the byte arriving then is wrong, the last ones intact.
    Base();
    ASSERT_TRUE(port->Escape(kEscSetRts));
    ASSERT_TRUE(port->Escape(kEscClrRts));
    Bytes atr = Receive(2, 100);
    Line(9600, 8, kNoParity, kTwoStopBits);
    const Bytes middle = Receive(2, 100);
    atr.insert(atr.end(), middle.begin(), middle.end());
    Base();
    const Bytes rest = Collect(100);
    atr.insert(atr.end(), rest.begin(), rest.end());
    ASSERT_EQ(atr.size(), kDefaultAtr.size());
    for (size_t i = 0; i < atr.size(); ++i) EXPECT_EQ(atr[i] == kDefaultAtr[i], i < 2 || i > 4) << i;
}

// ----------------------------------------------------------- reader setup

TEST_F(SimulatorTest, OnlyALongBreakEntersSetupMode)
{
    Start("card=out");
    ASSERT_TRUE(port->SetBreak());
    Pause(1098);
    ASSERT_TRUE(port->ClearBreak());
    EXPECT_TRUE(Collect(400).empty());
    EXPECT_FALSE(Reader().InSetupMode());
    EXPECT_EQ(Exchange({0x2A, 0x41}), (Bytes{0x2A, 0x41}));  // echo only

    ASSERT_TRUE(port->SetBreak());
    Pause(1100);
    ASSERT_TRUE(port->ClearBreak());
    const int64_t released = clock.PeekMicros();
    EXPECT_EQ(Receive(1, 300), Bytes{0x06});
    EXPECT_NEAR(clock.PeekMicros() - released, 50 * kMs + 1042, 10);
    EXPECT_TRUE(Reader().InSetupMode());
}

TEST_F(SimulatorTest, JunkBytesComeWhileTheBreakIsHeld)
{
    Start("card=out,breakjunk=6");
    ASSERT_TRUE(port->SetBreak());
    Pause(1100);
    EXPECT_EQ(Receive(5, 100), Bytes(5, 0xA5));
    ASSERT_TRUE(port->ClearBreak());
    // The sixth junk byte is still queued ahead of the answer.
    EXPECT_EQ(Collect(200), (Bytes{0xA5, 0x06}));

    // A break released before the mark brings no junk.
    ASSERT_TRUE(port->SetBreak());
    Pause(1000);
    ASSERT_TRUE(port->ClearBreak());
    EXPECT_TRUE(Collect(500).empty());
}

TEST_F(SimulatorTest, SetupCommandsAreAnsweredAndTheSettingByteRecorded)
{
    Start("card=out");
    SetUpReader(0x83);
    EXPECT_TRUE(Reader().SetUp());
    EXPECT_FALSE(Reader().InSetupMode());
    EXPECT_EQ(Reader().SettingByte(), 0x83);

    ASSERT_TRUE(port->SetBreak());
    Pause(1200);
    ASSERT_TRUE(port->ClearBreak());
    ASSERT_EQ(Collect(100), Bytes{0x06});
    EXPECT_FALSE(Reader().SetUp());
    const Bytes version = Exchange({0x2A, 0x41});
    ASSERT_EQ(version.size(), 6u);
    EXPECT_EQ(Bytes(version.begin() + 4, version.end()), (Bytes{0x10, 0x06}));
    // "2A 43" before any setting byte is refused.
    EXPECT_EQ(Exchange({0x2A, 0x43}), (Bytes{0x2A, 0x43, 0x15}));
    EXPECT_FALSE(Reader().SetUp());
    // Only 9600 8N1 is understood.
    Line(9600, 8, kNoParity, kTwoStopBits);
    EXPECT_EQ(Exchange({0x2A, 0x42, 0x02}), (Bytes{0x2A, 0x42, 0x02}));
    EXPECT_EQ(Reader().SettingByte(), 0x83);
    Line(9600, 8, kNoParity, kOneStopBit);
    EXPECT_EQ(Exchange({0x2A, 0x42, 0x02}), (Bytes{0x2A, 0x42, 0x02, 0x06}));
    EXPECT_EQ(Reader().SettingByte(), 0x02);
}

TEST_F(SimulatorTest, BytesNobodyIsPromisedVaryOnlyWhenAsked)
{
    // The reader's unexamined setup replies and break junk, and the read
    // answer's bytes around the data: the usual ones by default, new ones in
    // every reply when asked. What a program is promised stays as it is.
    for (const bool varied : {false, true}) {
        port.reset();
        Start(varied ? "card=in,breakjunk=3,setupbytes=random,answerbytes=random" : "card=in,breakjunk=3");
        std::set<Bytes> junks, versions, finals, heads;
        for (int round = 0; round < 4; ++round) {
            Line(9600, 8, kNoParity, kOneStopBit, true);
            ASSERT_TRUE(port->SetBreak());
            Pause(1150);
            ASSERT_TRUE(port->ClearBreak());
            const Bytes junk = Collect(100);
            ASSERT_EQ(junk.size(), 4u);
            EXPECT_EQ(junk.back(), 0x06);
            junks.insert(Bytes(junk.begin(), junk.end() - 1));
            const Bytes version = Exchange({0x2A, 0x41});
            ASSERT_EQ(version.size(), 6u);
            EXPECT_EQ(Bytes(version.begin() + 4, version.end()), (Bytes{0x10, 0x06}));
            versions.insert(Bytes(version.begin() + 2, version.begin() + 4));
            EXPECT_EQ(Exchange({0x2A, 0x42, 0x01}), (Bytes{0x2A, 0x42, 0x01, 0x06}));
            const Bytes final = Exchange({0x2A, 0x43});
            ASSERT_EQ(final.size(), 3u);
            finals.insert(Bytes(final.begin() + 2, final.end()));
            EXPECT_TRUE(Reader().SetUp());

            StartLoader();
            const Bytes data = Block(uint8_t(round));
            ASSERT_EQ(Exchange(WriteFrame(0x120, data)), Concat(WriteFrame(0x120, data), kAck));
            const Bytes read = Exchange(ReadFrame(0x120));
            ASSERT_EQ(read.size(), 29u);
            EXPECT_EQ(Bytes(read.begin(), read.begin() + 7), ReadFrame(0x120));
            EXPECT_EQ(Bytes(read.begin() + 12, read.begin() + 28), data);
            Bytes head(read.begin() + 7, read.begin() + 12);
            head.push_back(read[28]);
            heads.insert(head);
        }
        if (varied) {
            EXPECT_EQ(junks.size(), 4u);
            EXPECT_GT(versions.size(), 1u);
            EXPECT_GT(finals.size(), 1u);
            EXPECT_EQ(heads.size(), 4u);
        } else {
            EXPECT_EQ(junks, std::set<Bytes>{Bytes(3, 0xA5)});
            EXPECT_EQ(versions, std::set<Bytes>{Bytes({0x01, 0x00})});
            EXPECT_EQ(finals, std::set<Bytes>{Bytes{0x06}});
            EXPECT_EQ(heads, std::set<Bytes>{Bytes({0xFE, 0x13, 0x00, 0x01, 0x20, 0xAA})});
        }
    }
}

// ----------------------------------------------------------- answer-to-reset

TEST_F(SimulatorTest, AnswerToResetIsIntactOnlyAtTheBaseSettings)
{
    Start();
    SetUpReader(0x01);
    enum Expect { Intact, Garbled, Nothing };
    const std::tuple<uint32_t, uint8_t, uint8_t, Expect> cases[] = {
        {5728, kNoParity, kTwoStopBits, Intact},   {5840, kNoParity, kTwoStopBits, Intact},  // +1.96 %
        {5610, kNoParity, kTwoStopBits, Garbled},  // -2.06 %
        {5728, kNoParity, kOneStopBit, Garbled},   {5728, kMarkParity, kTwoStopBits, Garbled},
        {9600, kNoParity, kTwoStopBits, Garbled},  {34350, kNoParity, kTwoStopBits, Nothing},
    };
    for (const auto& [baud, parity, stopBits, expect] : cases) {
        Line(baud, 8, parity, stopBits);
        const Bytes atr = ResetCard();
        if (expect == Intact) {
            EXPECT_EQ(atr, kDefaultAtr) << baud;
        } else if (expect == Nothing) {
            EXPECT_TRUE(atr.empty()) << baud;
        } else {
            ASSERT_EQ(atr.size(), kDefaultAtr.size()) << baud;
            for (size_t i = 0; i < atr.size(); ++i) EXPECT_NE(atr[i], kDefaultAtr[i]) << baud;
        }
    }
}

TEST_F(SimulatorTest, AnswerToResetStartsTwentyMillisecondsAfterRelease)
{
    Start("setup=01,atr=3B 54 4C 54 00");
    Base();
    ASSERT_TRUE(port->Escape(kEscSetRts));
    Pause(10);
    const int64_t released = clock.PeekMicros();
    ASSERT_TRUE(port->Escape(kEscClrRts));
    EXPECT_EQ(Receive(1, 100), Bytes{0x3B});
    EXPECT_NEAR(clock.PeekMicros() - released, 20 * kMs + 11 * 1e6 / 5728, 5);
    EXPECT_EQ(Collect(100), (Bytes{0x54, 0x4C, 0x54, 0x00}));
}

TEST_F(SimulatorTest, CardAnswersResetOnlyWhenReachable)
{
    const std::pair<std::string, bool> cases[] = {
        {"", false},                   // reader never set up
        {"setup=01,card=out", false},  // empty slot
        {"setup=81", false},           // SmartMouse mode
        {"setup=00", false},           // no card clock
        {"setup=01,atr=none", false},  {"setup=02", true},
        {"setup=03", true},            // base speed 9600 at 6.00 MHz
    };
    for (const auto& [options, answers] : cases) {
        port.reset();
        Start(options);
        Line(Reader().SettingByte() == 0x03 ? 9600 : 5728, 8, kNoParity, kTwoStopBits);
        EXPECT_EQ(ResetCard().empty(), !answers) << options;
    }

    // The answer-to-reset runs at the card clock / 625: whole only to a
    // port at that speed.
    const std::tuple<const char*, uint32_t, bool> speeds[] = {
        {"setup=01", 5728, true},
        {"setup=02", 5888, true},
        {"setup=02", 5728, false},
        {"setup=03", 9600, true},
    };
    for (const auto& [options, baud, whole] : speeds) {
        port.reset();
        Start(options);
        Line(baud, 8, kNoParity, kTwoStopBits);
        EXPECT_EQ(ResetCard() == kDefaultAtr, whole) << options << " at " << baud;
    }
}

TEST_F(SimulatorTest, ResetOrRemovalCutsTheAnswerToResetShort)
{
    Start("setup=01");
    Base();
    for (bool byRemoval : {false, true}) {
        ASSERT_TRUE(port->Escape(kEscSetRts));
        ASSERT_TRUE(port->Escape(kEscClrRts));
        EXPECT_EQ(Receive(2, 100), (Bytes{0x3B, 0x54}));
        if (byRemoval)
            Reader().RemoveCard();
        else
            ASSERT_TRUE(port->Escape(kEscSetRts));
        EXPECT_TRUE(Collect(100).empty()) << byRemoval;
    }
}

TEST_F(SimulatorTest, ControlLinesAndWritesAreRecorded)
{
    Start("setup=01");
    const size_t before = Reader().LineHistory().size();
    Line(5728, 8, kNoParity, kTwoStopBits, true);
    EXPECT_TRUE(Reader().Rts());
    EXPECT_FALSE(Reader().Dtr());
    Line(5728, 8, kNoParity, kTwoStopBits, false);  // released through the settings
    EXPECT_EQ(Collect(100), kDefaultAtr);
    const auto& history = Reader().LineHistory();
    ASSERT_EQ(history.size(), before + 2);
    EXPECT_EQ(history[before].signal, sim::Signal::Rts);
    EXPECT_TRUE(history[before].level);
    EXPECT_FALSE(history[before + 1].level);
    EXPECT_GT(history[before + 1].atMicros, history[before].atMicros);

    const int64_t t0 = clock.PeekMicros();
    Send({0x01, 0x02, 0xEA});
    const auto& writes = Reader().Writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].bytes, (Bytes{0x01, 0x02, 0xEA}));
    EXPECT_EQ(writes[0].settings.BaudRate, 5728u);
    EXPECT_EQ(writes[0].settings.StopBits, kTwoStopBits);
    EXPECT_NEAR(writes[0].atMicros, t0, 2);
}

// ------------------------------------------------------------------ loader

TEST_F(SimulatorTest, LoaderUnderstandsFramesOnlyInsideItsWindowAndFormat)
{
    Start("setup=01");
    StartLoader();
    const std::tuple<uint32_t, uint8_t, uint8_t, bool> cases[] = {
        {33900, kMarkParity, kTwoStopBits, false}, {34000, kMarkParity, kTwoStopBits, true},
        {34700, kMarkParity, kTwoStopBits, true},  {34800, kMarkParity, kTwoStopBits, false},
        {34350, kNoParity, kTwoStopBits, false},   {34350, kMarkParity, kOneStopBit, false},
        {34350, kSpaceParity, kTwoStopBits, false}, {34350, kMarkParity, kTwoStopBits, true},
    };
    for (const auto& [baud, parity, stopBits, answered] : cases) {
        Line(baud, 8, parity, stopBits);
        const Bytes frame = WriteFrame(0x20, Block(uint8_t(baud)));
        EXPECT_EQ(Exchange(frame), answered ? Concat(frame, kAck) : frame) << baud << " " << int(parity);
    }

    // The window follows the clock, unless the knob sets it.
    port.reset();
    Start("setup=02");
    EXPECT_EQ(Reader().LoaderWindow(), (std::pair<uint32_t, uint32_t>{34950, 35650}));
    port.reset();
    Start("setup=03");
    EXPECT_EQ(Reader().LoaderWindow(), (std::pair<uint32_t, uint32_t>{57000, 57900}));
    Reader().Options().windowLow = 30000;
    Reader().Options().windowHigh = 30100;
    EXPECT_EQ(Reader().LoaderWindow(), (std::pair<uint32_t, uint32_t>{30000, 30100}));
}

TEST_F(SimulatorTest, BlockWriteAndReadRoundTrip)
{
    Start("setup=01");
    StartLoader();
    const Bytes data = Block(0x30);
    const Bytes frame = WriteFrame(0x3FFF0, data);
    EXPECT_EQ(Exchange(frame), Concat(frame, kAck));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), Reader().Memory().begin() + 0x3FFF0));
    EXPECT_EQ(Reader().Memory()[0x3FFEF], 0xFF);

    const Bytes read = Exchange(ReadFrame(0x3FFF0));
    ASSERT_EQ(read.size(), 7u + 22u);
    EXPECT_EQ(Bytes(read.begin() + 12, read.begin() + 28), data);
    EXPECT_EQ(Bytes(read.begin() + 7, read.begin() + 12), (Bytes{0xFE, 0x13, 0x03, 0xFF, 0xF0}));
    const Bytes erased = Exchange(ReadFrame(0x10));
    ASSERT_EQ(erased.size(), 29u);
    EXPECT_EQ(Bytes(erased.begin() + 12, erased.begin() + 28), Bytes(16, 0xFF));
    EXPECT_EQ(Reader().BlockWrites(), 1);
    EXPECT_EQ(Reader().BlockReads(), 2);
}

TEST_F(SimulatorTest, MalformedFramesGetNoAnswerAndStoreNothing)
{
    Start("setup=01");
    StartLoader();
    const std::pair<size_t, uint8_t> changes[] = {{5, 0x08}, {3, 0x04}, {22, 0xAB}, {1, 0x01}, {2, 0x12}};
    for (const auto& [index, value] : changes) {
        Bytes f = WriteFrame(0x10, Block(1));
        f[index] = value;
        EXPECT_EQ(Exchange(f), f) << index;
    }
    Bytes read = ReadFrame(0x10);
    read[6] = 0x00;
    EXPECT_EQ(Exchange(read), read);
    EXPECT_EQ(Reader().Memory(), Bytes(sim::kCardMemorySize, 0xFF));
    EXPECT_EQ(Reader().BlockWrites(), 0);
    EXPECT_EQ(Reader().BlockReads(), 0);
    // The loader is still listening.
    const Bytes good = WriteFrame(0x10, Block(1));
    EXPECT_EQ(Exchange(good), Concat(good, kAck));
}

TEST_F(SimulatorTest, LoaderStartCommandCountsOnlyAtTheBaseSettings)
{
    Start("setup=01");
    Base();
    ASSERT_EQ(ResetCard(), kDefaultAtr);
    Line(9600, 8, kNoParity, kTwoStopBits);
    Exchange({0x01, 0x02, 0xEA}, 20);
    Working(34350);
    const Bytes frame = WriteFrame(0, Block(2));
    EXPECT_EQ(Exchange(frame), frame);
    EXPECT_EQ(Reader().Card(), sim::CardState::Ready);
}

TEST_F(SimulatorTest, ResetEndsTheLoaderButClosingTheHandleDoesNot)
{
    Start("setup=01");
    StartLoader();
    const Bytes frame = WriteFrame(0x30, Block(3));
    port.reset();
    port = opener->Open("\\\\.\\COM1");
    ASSERT_TRUE(port);
    ASSERT_TRUE(port->SetTimeouts(kChannelTimeouts));
    Working(34350);
    EXPECT_EQ(Exchange(frame), Concat(frame, kAck));

    ASSERT_TRUE(port->Escape(kEscSetRts));
    ASSERT_TRUE(port->Escape(kEscClrRts));
    Collect(300);  // the answer-to-reset, garbled at this speed
    EXPECT_EQ(Exchange(frame), frame);
    EXPECT_EQ(Reader().Card(), sim::CardState::Ready);
}

TEST_F(SimulatorTest, DriverThatRaisesTheLinesOnOpenResetsTheCard)
{
    Start("setup=01,openlines=1");
    Base();
    ASSERT_EQ(ResetCard(), kDefaultAtr);
    // The start command is still on the line when the handle closes: the
    // next open waits for it, then raises RTS, which ends the loader.
    Send({0x01, 0x02, 0xEA});
    port.reset();
    port = opener->Open(".\\COM1");
    ASSERT_TRUE(port);
    EXPECT_TRUE(Reader().Rts());
    ASSERT_TRUE(port->SetTimeouts(kChannelTimeouts));
    Working(34350);
    EXPECT_EQ(Reader().Card(), sim::CardState::Ready);
}

TEST_F(SimulatorTest, PauseInsideAFrameAbandonsIt)
{
    Start("setup=01");
    StartLoader();
    const Bytes frame = WriteFrame(0x40, Block(4));
    Send(Bytes(frame.begin(), frame.begin() + 10));
    Pause(5);
    Send(Bytes(frame.begin() + 10, frame.end()));
    EXPECT_EQ(Collect(100), frame);
    EXPECT_EQ(Exchange(frame), Concat(frame, kAck));
}

// -------------------------------------------------------------- card slot

TEST_F(SimulatorTest, SlotScriptRemovesAndInsertsTheCardOnce)
{
    Start("card=in,remove=1500,insert=2000");
    EXPECT_FALSE(SlotEmpty());  // arms the removal
    Pause(1499);
    EXPECT_FALSE(SlotEmpty());
    Pause(2);
    EXPECT_TRUE(SlotEmpty());  // arms the insertion
    Pause(1999);
    EXPECT_TRUE(SlotEmpty());
    Pause(2);
    EXPECT_FALSE(SlotEmpty());
    Reader().RemoveCard();
    Pause(10000);
    EXPECT_TRUE(SlotEmpty());
    Reader().InsertCard();
    EXPECT_FALSE(SlotEmpty());
}

TEST_F(SimulatorTest, PersonFollowsTheProgramsWaitsNotItsLooks)
{
    Start("setup=01");  // follow=1; the card has been in since the start
    // Looking is not waiting: modem-status reads every 10 ms (as a network
    // server makes them) while the port is at the base settings move nobody.
    Base();
    ASSERT_EQ(Collect(100), kDefaultAtr);
    for (int ms = 0; ms < 3000; ms += 10, Pause(10)) ASSERT_FALSE(SlotEmpty()) << ms;
    // At the reader's settings and quiet for 1.5 s: the card comes out.
    Line(9600, 8, kNoParity, kOneStopBit);
    for (int ms = 0; ms < 1490; ms += 10, Pause(10)) ASSERT_FALSE(SlotEmpty()) << ms;
    Pause(20);
    EXPECT_TRUE(SlotEmpty());
    // Still waiting 1.5 s after that: a new card goes in, and stays, for it
    // has not been used.
    Pause(1470);
    EXPECT_TRUE(SlotEmpty());
    Pause(40);
    EXPECT_FALSE(SlotEmpty());
    Pause(10000);
    EXPECT_FALSE(SlotEmpty());
    // Once reset it is used; a program that keeps acting on the line (a
    // write every second) is not waiting, one that stops is.
    Base();
    ASSERT_EQ(ResetCard(), kDefaultAtr);
    Line(9600, 8, kNoParity, kOneStopBit);
    for (int s = 0; s < 5; ++s) {
        Send({0x00});
        Pause(1000);
        ASSERT_FALSE(SlotEmpty()) << s;
    }
    Pause(520);
    EXPECT_TRUE(SlotEmpty());
    // A closed port waits for nothing.
    Pause(1000);
    port.reset();
    Pause(10000);
    EXPECT_TRUE(opener->Reader().Card() == sim::CardState::Absent);
}

TEST_F(SimulatorTest, CardMemoryFileCarriesTheCardFromOneReaderToTheNext)
{
    const std::string file = ::testing::TempDir() + "sim-card-memory.bin";
    std::remove(file.c_str());
    const std::string options = "setup=01,memory=" + file;
    Start(options);  // no file yet: a blank card
    EXPECT_EQ(Reader().Memory(), Bytes(sim::kCardMemorySize, 0xFF));
    StartLoader();
    ASSERT_EQ(Exchange(WriteFrame(0x3FFF0, Block(5))), Concat(WriteFrame(0x3FFF0, Block(5)), kAck));
    const Bytes card = Reader().Memory();
    port.reset();
    opener.reset();  // the reader goes: its card is written down

    std::ifstream in(file, std::ios::binary);
    const Bytes saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(saved == card);
    EXPECT_FALSE(std::ifstream(file + ".tmp").is_open());
    Start(options);
    EXPECT_TRUE(Reader().Memory() == card);

    // A file that cannot hold the card is refused when the reader is made,
    // not taken for a blank card.
    std::ofstream(file, std::ios::binary | std::ios::trunc) << "short";
    SimOptions o;
    o.memoryFile = file;
    EXPECT_THROW(sim::SimulatedReader(clock, o), std::runtime_error);
    std::remove(file.c_str());
}

// --------------------------------------------------- opening and vanishing

TEST_F(SimulatorTest, OpenIsExclusiveAndCounted)
{
    Start("card=out");
    EXPECT_EQ(opener->OpenCount(), 1);
    EXPECT_EQ(opener->Open(".\\COM1"), nullptr);  // in use
    EXPECT_EQ(opener->Open(".\\COM2"), nullptr);  // no such port
    EXPECT_EQ(opener->Open("COM1"), nullptr);
    port.reset();
    port = opener->Open("\\\\.\\COM1");
    EXPECT_NE(port, nullptr);
    EXPECT_EQ(opener->OpenCount(), 2);

    sim::SimulatorOpener twelve(clock, SimOptions::Parse("port=12"));
    EXPECT_EQ(twelve.Open(".\\COM1"), nullptr);
    EXPECT_NE(twelve.Open("\\\\.\\COM12"), nullptr);
    EXPECT_EQ(twelve.OpenCount(), 1);
}

TEST_F(SimulatorTest, VanishedPortFailsEveryCallAndEveryOpen)
{
    Start("card=out,vanish=500");
    Pause(499);
    uint32_t status = 0;
    EXPECT_TRUE(port->GetModemStatus(status));
    // A read blocked on a silent line ends when the port goes.
    uint8_t buffer[4];
    uint32_t n = 0;
    const int64_t t0 = clock.PeekMicros();
    EXPECT_FALSE(port->Read(buffer, 4, n));
    EXPECT_NEAR(clock.PeekMicros() - t0, 1 * kMs, 10);
    EXPECT_FALSE(port->Write(buffer, 4, n));
    EXPECT_FALSE(port->SetBreak());
    EXPECT_FALSE(port->GetModemStatus(status));
    port.reset();
    EXPECT_EQ(opener->Open(".\\COM1"), nullptr);
}

// ----------------------------------------------------------- fault switches

TEST_F(SimulatorTest, AnswerFaultSwitches)
{
    Start("setup=01");
    StartLoader();
    const Bytes frame = WriteFrame(0x60, Block(6));
    struct Case {
        std::function<void(SimOptions&)> set;
        Bytes reply;
    };
    const Case cases[] = {
        {[](SimOptions& o) { o.silent = true; }, {}},
        {[](SimOptions& o) { o.noEcho = true; }, kAck},
        {[](SimOptions& o) { o.ackLoss = 1.0; }, frame},
        {[](SimOptions& o) { o.ackWrong = 1.0; }, Concat(frame, {0xFF, 0x00, 0xC1})},
        {[](SimOptions&) {}, Concat(frame, kAck)},
    };
    for (const Case& c : cases) {
        SimOptions& o = Reader().Options();
        o.silent = o.noEcho = false;
        o.ackLoss = o.ackWrong = 0.0;
        c.set(o);
        EXPECT_EQ(Exchange(frame), c.reply);
    }
    // The block was stored every time, whatever became of the answer.
    EXPECT_EQ(Reader().BlockWrites(), 5);
    EXPECT_TRUE(std::equal(frame.begin() + 6, frame.begin() + 22, Reader().Memory().begin() + 0x60));
}

TEST_F(SimulatorTest, LostAcknowledgementsOfOneBlock)
{
    Start("setup=01,lose_ack_block=0x70:2");
    StartLoader();
    const Bytes frame = WriteFrame(0x70, Block(7));
    const Bytes other = WriteFrame(0x80, Block(8));
    EXPECT_EQ(Exchange(frame), frame);
    EXPECT_EQ(Exchange(other), Concat(other, kAck));
    EXPECT_EQ(Exchange(frame), frame);
    EXPECT_EQ(Exchange(frame), Concat(frame, kAck));
}

TEST_F(SimulatorTest, BadCellAndCorruptReadsShowInTheReadBack)
{
    Start("setup=01,badcell=0x95");
    StartLoader();
    const Bytes data = Block(9);
    Exchange(WriteFrame(0x90, data));
    Bytes read = Exchange(ReadFrame(0x90));
    ASSERT_EQ(read.size(), 29u);
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(read[12 + i] != data[i], i == 5) << i;

    // A corrupted read answer: one data byte, one bit.
    Reader().Options().readCorrupt = 1.0;
    const Bytes stored(Reader().Memory().begin() + 0x90, Reader().Memory().begin() + 0xA0);
    read = Exchange(ReadFrame(0x90));
    ASSERT_EQ(read.size(), 29u);
    int differing = 0;
    for (size_t i = 0; i < 16; ++i) {
        const uint8_t diff = read[12 + i] ^ stored[i];
        differing += diff != 0;
        EXPECT_EQ(diff & (diff - 1), 0) << "more than one bit flipped";
    }
    EXPECT_EQ(differing, 1);
}

TEST_F(SimulatorTest, CardMisreadsShowOnTheCardNotInTheEcho)
{
    // The card samples the shared line with its own clock: it takes a byte
    // one bit off now and then, while the reader's echo shows the byte as
    // sent. A misread data byte is stored; a misread address sends the
    // write to another block. Both are acknowledged as usual.
    Start("setup=01,cardnoise=0.02");
    StartLoader();
    int acknowledged = 0, flippedInPlace = 0, landedElsewhere = 0;
    for (uint32_t i = 0; i < 300; ++i) {
        const uint32_t address = 0x1000 + i * 16;
        const Bytes data = Block(uint8_t(i));
        const Bytes frame = WriteFrame(address, data);
        const Bytes reply = Exchange(frame, 20);
        ASSERT_GE(reply.size(), frame.size());
        ASSERT_EQ(Bytes(reply.begin(), reply.begin() + 23), frame) << i;
        if (reply.size() != 26) continue;
        ++acknowledged;
        EXPECT_EQ(Bytes(reply.begin() + 23, reply.end()), kAck);
        const Bytes stored(Reader().Memory().begin() + address, Reader().Memory().begin() + address + 16);
        if (stored == Bytes(16, 0xFF)) {
            ++landedElsewhere;
        } else if (stored != data) {
            for (size_t k = 0; k < 16; ++k) {
                const uint8_t diff = stored[k] ^ data[k];
                EXPECT_EQ(diff & (diff - 1), 0) << "more than one bit of a byte, block " << i;
            }
            ++flippedInPlace;
        }
    }
    EXPECT_GT(acknowledged, 200);
    EXPECT_GT(flippedInPlace, 0);
    EXPECT_GT(landedElsewhere, 0);
}

TEST_F(SimulatorTest, NoiseFlipsOneBitOfEveryByteAtCertainty)
{
    Start("card=out,noise=1");
    const Bytes sent = {0x00, 0xFF, 0x55, 0xAA};
    const Bytes echo = Exchange(sent);
    ASSERT_EQ(echo.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        const uint8_t diff = echo[i] ^ sent[i];
        EXPECT_NE(diff, 0);
        EXPECT_EQ(diff & (diff - 1), 0);
    }
}

TEST_F(SimulatorTest, BytesLostOrGainedOnTheWayToTheHostReachTheCardWhole)
{
    // The card takes every byte of a block write and stores the block; what
    // comes back (echo and acknowledgement) loses every byte, or gains a
    // byte before each.
    const Bytes data = Block(0x42);
    const Bytes frame = WriteFrame(0x120, data);
    Start("setup=01");
    StartLoader();
    Reader().Options().lostByte = 1;
    EXPECT_TRUE(Exchange(frame, 20).empty());
    EXPECT_EQ(Bytes(Reader().Memory().begin() + 0x120, Reader().Memory().begin() + 0x130), data);

    port.reset();
    Start("setup=01");
    StartLoader();
    Reader().Options().extraByte = 1;
    const Bytes reply = Exchange(frame, 20);
    ASSERT_EQ(reply.size(), 2 * (frame.size() + kAck.size()));
    Bytes kept;
    for (size_t i = 1; i < reply.size(); i += 2) kept.push_back(reply[i]);
    Bytes expected = frame;
    expected.insert(expected.end(), kAck.begin(), kAck.end());
    EXPECT_EQ(kept, expected);
    EXPECT_EQ(Bytes(Reader().Memory().begin() + 0x120, Reader().Memory().begin() + 0x130), data);
}

TEST_F(SimulatorTest, RandomFaultsRepeatForTheSameSeed)
{
    auto pattern = [this](const std::string& options) {
        port.reset();
        Start(options);
        StartLoader();
        std::string acks;
        for (uint32_t i = 0; i < 40; ++i) acks += Exchange(WriteFrame(i * 16, Block(uint8_t(i)))).size() == 26 ? '1' : '0';
        return acks;
    };
    const std::string a = pattern("setup=01,ackloss=0.5");
    EXPECT_EQ(pattern("setup=01,ackloss=0.5,seed=1"), a);
    EXPECT_NE(pattern("setup=01,ackloss=0.5,seed=2"), a);
    EXPECT_NE(a.find('0'), std::string::npos);
    EXPECT_NE(a.find('1'), std::string::npos);
}

}  // namespace
