// The line watch: what it counts of the frames it is told to tell apart and
// of every byte, and the trace it writes, one line per call on the port,
// with the reader's echo and its answer told apart.

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/LineTrace.h"
#include "support/FakePort.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Send(CommPort& port, const Bytes& bytes)
{
    uint32_t written = 0;
    ASSERT_TRUE(port.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), written));
}

// Block frames by their first byte (FF write, FE read, the address in the
// second), 01 the start frame.
LineFrame Classify(const uint8_t* b, uint32_t)
{
    using Kind = LineFrame::Kind;
    if (b[0] == 0x01) return {Kind::Start, -1};
    if (b[0] == 0xFF || b[0] == 0xFE) return {b[0] == 0xFF ? Kind::BlockWrite : Kind::BlockRead, b[1]};
    return {};
}

TEST(LineTrace, CountsTheFramesItIsToldAndEveryByte)
{
    VirtualClock clock;
    FakeOpener fake(clock);
    LineWatch watch(fake, clock, nullptr);
    auto port = watch.Open(".\\COM1");
    ASSERT_NE(port, nullptr);
    Send(*port, {0xFF, 0x10});
    EXPECT_EQ(watch.Counts().writeFrames, 0) << "no frames told apart without a classifier";
    watch.SetFrameClassifier(Classify);
    const struct {
        Bytes frame;
        int64_t writes, reads, lastWrite;
    } rows[] = {
        {{0xFF, 0x20}, 1, 0, 0x20}, {{0xFE, 0x20}, 1, 1, 0x20}, {{0xFF, 0x30}, 2, 1, 0x30},
        {{0x2A, 0x41}, 2, 1, 0x30}, {{0x01}, 0, 0, -1},         {{0xFF, 0x40}, 1, 0, 0x40},
    };
    for (const auto& row : rows) {
        Send(*port, row.frame);
        EXPECT_EQ(watch.Counts().writeFrames, row.writes) << int{row.frame[0]};
        EXPECT_EQ(watch.Counts().readFrames, row.reads) << int{row.frame[0]};
        EXPECT_EQ(watch.Counts().lastWriteAddress, row.lastWrite) << int{row.frame[0]};
    }
    // The working speed is that of the last mark-parity setting.
    LineSettings s{};
    for (const auto& [baud, parity] : {std::pair{34350u, kMarkParity}, std::pair{9600u, kNoParity}}) {
        s.BaudRate = baud;
        s.Parity = parity;
        ASSERT_TRUE(port->SetState(s));
    }
    fake.device.Arrive({1, 2, 3});
    uint8_t buffer[8];
    uint32_t got = 0;
    ASSERT_TRUE(port->Read(buffer, sizeof buffer, got));
    EXPECT_EQ(watch.Counts().workingBaud, 34350u);
    EXPECT_EQ(watch.Counts().bytesSent, 13);
    EXPECT_EQ(watch.Counts().bytesReceived, 3);
}

// The bytes read between two other events are one run, stamped with the
// time of its first byte: the echo of the last frame first ("echo" when it
// equals the frame, its bytes when not, "N of M" while it is not whole), the
// answer after it; a frame or answer equal to the one before is "tx again",
// "rx same".
TEST(LineTrace, TracesEachCallWithTheEchoAndTheAnswerApart)
{
    VirtualClock clock(1'000'000'000, 0);
    FakeOpener fake(clock);
    std::ostringstream trace;
    {
        LineWatch watch(fake, clock, &trace);
        auto port = watch.Open(".\\COM1");
        ASSERT_NE(port, nullptr);
        const auto exchange = [&](const Bytes& sent, const Bytes& back) {
            clock.Advance(10'000);
            if (!sent.empty()) Send(*port, sent);
            clock.Advance(5'000);
            fake.device.Arrive(back);
            uint8_t buffer[16];
            uint32_t got = 0;
            ASSERT_TRUE(port->Read(buffer, sizeof buffer, got));
        };
        exchange({0x2A, 0x41}, {0x2A, 0x41, 0x01, 0x00, 0x10, 0x06});
        exchange({0x2A, 0x41}, {0x2A, 0x41, 0x01, 0x00, 0x10, 0x06});
        exchange({0x2A, 0x42, 0x01}, {0x2A, 0x42, 0x03, 0x06});
        exchange({0x01, 0x02, 0xEA}, {0x01, 0x02});
        watch.Note("status Please insert card in card slot.");
        exchange({}, {0xEA, 0x55});
    }
    EXPECT_EQ(trace.str(),
              "   0.000 open .\\COM1\n"
              "   0.010 tx 2A 41\n"
              "   0.015 echo\n"
              "   0.015 rx 01 00 10 06\n"
              "   0.025 tx again\n"
              "   0.030 echo\n"
              "   0.030 rx same\n"
              "   0.040 tx 2A 42 01\n"
              "   0.045 echo 2A 42 03 (differs)\n"
              "   0.045 rx 06\n"
              "   0.055 tx 01 02 EA\n"
              "   0.060 echo (2 of 3)\n"
              "   0.060 status Please insert card in card slot.\n"
              "   0.075 echo\n"
              "   0.075 rx 55\n"
              "   0.075 close\n");
}

}  // namespace
