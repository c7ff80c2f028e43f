// The network port against an in-memory server on the virtual clock: what
// goes on the wire for each port call, the read timeouts, modem status,
// purge, and how refusals, silence and a dropped connection come out.

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "network/Rfc2217Port.h"

using namespace rfc2217;

namespace {

struct Command {
    uint8_t code;
    std::vector<uint8_t> value;
    bool operator==(const Command& o) const { return code == o.code && value == o.value; }
};

// What the server side does and what it has seen; shared with the stream the
// port owns.
struct Server {
    VirtualClock* clock = nullptr;
    bool agreeComPort = true;
    bool answerCommands = true;
    std::optional<uint32_t> actualBaud;  // answers every speed with this one
    std::optional<uint8_t> modemState = uint8_t{0x80};
    size_t chunk = 4096;  // most bytes handed over per receive

    bool closed = false;
    std::vector<std::pair<uint8_t, uint8_t>> negotiations;
    std::vector<Command> commands;
    std::vector<uint8_t> data;
    // Bytes for the client with the virtual time (µs) they arrive at.
    std::deque<std::pair<int64_t, uint8_t>> toClient;

    void Raw(const std::vector<uint8_t>& bytes, int64_t afterMicros = 0)
    {
        const int64_t at = clock->PeekMicros() + afterMicros;
        for (uint8_t b : bytes) toClient.emplace_back(at, b);
    }
    void Data(const std::vector<uint8_t>& bytes, int64_t afterMicros = 0)
    {
        std::vector<uint8_t> escaped;
        AppendEscaped(escaped, bytes.data(), bytes.size());
        Raw(escaped, afterMicros);
    }
    void Notify(uint8_t state) { Raw(ComPortCommand(kServerOffset + kNotifyModemState, {state})); }
    std::vector<Command> CommandsOf(uint8_t code) const
    {
        std::vector<Command> out;
        for (const Command& c : commands)
            if (c.code == code) out.push_back(c);
        return out;
    }
};

class Handler final : public TelnetDecoder::Sink {
public:
    explicit Handler(Server& s) : s_(s) {}
    void OnData(const uint8_t* d, size_t n) override { s_.data.insert(s_.data.end(), d, d + n); }
    void OnNegotiation(uint8_t command, uint8_t option) override
    {
        s_.negotiations.emplace_back(command, option);
        if (option == kOptComPort && command == kWill)
            s_.Raw(Negotiation(s_.agreeComPort ? kDo : kDont, option));
        else if (command == kWill)
            s_.Raw(Negotiation(kDo, option));
        else if (command == kDo)
            s_.Raw(Negotiation(kWill, option));
    }
    void OnSubnegotiation(uint8_t option, const std::vector<uint8_t>& body) override
    {
        if (option != kOptComPort || body.empty()) return;
        Command c{body[0], std::vector<uint8_t>(body.begin() + 1, body.end())};
        s_.commands.push_back(c);
        if (c.code == kNotifyModemState) {
            if (s_.modemState) s_.Notify(*s_.modemState);
            return;
        }
        if (c.code == kSetModemStateMask || !s_.answerCommands) return;
        std::vector<uint8_t> value = c.value;
        if (c.code == kSetBaudRate && s_.actualBaud) value = BaudRateValue(*s_.actualBaud);
        s_.Raw(ComPortCommand(static_cast<uint8_t>(kServerOffset + c.code), value));
    }

private:
    Server& s_;
};

class FakeStream final : public ByteStream {
public:
    explicit FakeStream(Server& s) : s_(s), handler_(s) {}
    bool Send(const uint8_t* data, size_t count, int32_t) override
    {
        if (s_.closed) return false;
        decoder_.Feed(data, count, handler_);
        return true;
    }
    int32_t Receive(uint8_t* buffer, size_t capacity, int32_t timeoutMs) override
    {
        const int64_t deadline = s_.clock->PeekMicros() + int64_t{timeoutMs} * 1000;
        if (s_.toClient.empty() || s_.toClient.front().first > deadline) {
            if (s_.closed) return -1;
            s_.clock->SleepUntilMicros(deadline);
            return 0;
        }
        s_.clock->SleepUntilMicros(s_.toClient.front().first);
        size_t n = 0;
        const int64_t now = s_.clock->PeekMicros();
        while (n < capacity && n < s_.chunk && !s_.toClient.empty() && s_.toClient.front().first <= now) {
            buffer[n++] = s_.toClient.front().second;
            s_.toClient.pop_front();
        }
        return static_cast<int32_t>(n);
    }

private:
    Server& s_;
    Handler handler_;
    TelnetDecoder decoder_;
};

class Rfc2217PortTest : public ::testing::Test {
protected:
    Rfc2217PortTest() { server_.clock = &clock_; }

    std::unique_ptr<Rfc2217Port> Start()
    {
        return Rfc2217Port::Start(std::make_unique<FakeStream>(server_), clock_, timing_);
    }
    // Started, with the channel's read timeouts.
    std::unique_ptr<Rfc2217Port> Ready()
    {
        auto port = Start();
        EXPECT_TRUE(port);
        if (port) {
            EXPECT_TRUE(port->SetTimeouts({kMaxDword, kMaxDword, 250, 2, 500}));
        }
        server_.commands.clear();
        return port;
    }
    int64_t ElapsedMs(int64_t sinceMicros) const { return (clock_.PeekMicros() - sinceMicros) / 1000; }

    VirtualClock clock_;
    Server server_;
    Rfc2217Timing timing_{};
};

LineSettings Format(uint32_t baud, uint8_t bits, uint8_t parity, uint8_t stop, uint8_t rts)
{
    LineSettings s;
    s.BaudRate = baud;
    s.ByteSize = bits;
    s.Parity = parity;
    s.StopBits = stop;
    s.fRtsControl = rts;
    s.fDtrControl = kDtrControlDisable;
    return s;
}

}  // namespace

TEST_F(Rfc2217PortTest, StartNegotiatesOptionsAndAsksForModemState)
{
    auto port = Start();
    ASSERT_TRUE(port);
    const std::vector<std::pair<uint8_t, uint8_t>> asked = {{kWill, kOptBinary},
                                                            {kDo, kOptBinary},
                                                            {kWill, kOptSuppressGoAhead},
                                                            {kDo, kOptSuppressGoAhead},
                                                            {kWill, kOptComPort}};
    EXPECT_EQ(server_.negotiations, asked);  // and no answers to the server's answers
    ASSERT_EQ(server_.commands.size(), 2u);
    EXPECT_EQ(server_.commands[0], (Command{kSetModemStateMask, {0xFF}}));
    EXPECT_EQ(server_.commands[1].code, kNotifyModemState);
}

TEST_F(Rfc2217PortTest, ServerThatRefusesOrIgnoresTheComPortOptionIsNoPort)
{
    server_.agreeComPort = false;
    EXPECT_FALSE(Start());

    struct Mute final : ByteStream {
        VirtualClock& c;
        explicit Mute(VirtualClock& clock) : c(clock) {}
        bool Send(const uint8_t*, size_t, int32_t) override { return true; }
        int32_t Receive(uint8_t*, size_t, int32_t t) override
        {
            c.Advance(int64_t{t} * 1000);
            return 0;
        }
    };
    const int64_t t0 = clock_.PeekMicros();
    EXPECT_FALSE(Rfc2217Port::Start(std::make_unique<Mute>(clock_), clock_, timing_));
    EXPECT_GE(ElapsedMs(t0), timing_.negotiateMs);
    EXPECT_LE(ElapsedMs(t0), timing_.negotiateMs + 100);
}

TEST_F(Rfc2217PortTest, LineFormatsGoOutInWireCodes)
{
    auto port = Ready();
    ASSERT_TRUE(port);
    struct Case {
        LineSettings settings;
        uint8_t parity, stop, rts;
    };
    const Case cases[] = {
        {Format(9600, 8, kNoParity, kOneStopBit, kRtsControlEnable), 1, 1, kControlRtsOn},
        {Format(5728, 8, kNoParity, kTwoStopBits, kRtsControlDisable), 1, 2, kControlRtsOff},
        {Format(34600, 8, kMarkParity, kTwoStopBits, kRtsControlDisable), 4, 2, kControlRtsOff},
        {Format(1200, 7, kEvenParity, kOne5StopBits, kRtsControlEnable), 3, 3, kControlRtsOn},
        {Format(300, 5, kSpaceParity, kOneStopBit, kRtsControlEnable), 5, 1, kControlRtsOn},
    };
    for (const Case& c : cases) {
        server_.commands.clear();
        ASSERT_TRUE(port->SetState(c.settings));
        const std::vector<Command> expected = {
            {kSetBaudRate, BaudRateValue(c.settings.BaudRate)}, {kSetDataSize, {c.settings.ByteSize}},
            {kSetParity, {c.parity}},  {kSetStopSize, {c.stop}},
            {kSetControl, {kControlNoFlow}}, {kSetControl, {kControlDtrOff}},
            {kSetControl, {c.rts}}};
        EXPECT_EQ(server_.commands, expected) << c.settings.BaudRate;
        LineSettings back;
        ASSERT_TRUE(port->GetState(back));
        EXPECT_EQ(back.BaudRate, c.settings.BaudRate);
        EXPECT_EQ(back.Parity, c.settings.Parity);
    }
}

TEST_F(Rfc2217PortTest, SettingsFailWhenRefusedUnansweredOrInvalid)
{
    auto port = Ready();
    ASSERT_TRUE(port);
    // The server runs the line at another speed than asked.
    server_.actualBaud = 9600;
    EXPECT_FALSE(port->SetState(Format(5728, 8, kNoParity, kTwoStopBits, kRtsControlEnable)));
    server_.actualBaud.reset();
    EXPECT_TRUE(port->SetState(Format(5728, 8, kNoParity, kTwoStopBits, kRtsControlEnable)));

    // A format the wire cannot carry is refused before anything goes out.
    server_.commands.clear();
    EXPECT_FALSE(port->SetState(Format(9600, 8, 9, kOneStopBit, kRtsControlEnable)));
    EXPECT_FALSE(port->SetState(Format(9600, 8, kNoParity, 7, kRtsControlEnable)));
    EXPECT_FALSE(port->SetState(Format(9600, 9, kNoParity, kOneStopBit, kRtsControlEnable)));
    EXPECT_TRUE(server_.commands.empty());

    // No answer: false after the reply limit, not later.
    server_.answerCommands = false;
    const int64_t t0 = clock_.PeekMicros();
    EXPECT_FALSE(port->SetState(Format(9600, 8, kNoParity, kOneStopBit, kRtsControlEnable)));
    EXPECT_GE(ElapsedMs(t0), timing_.replyMs);
    EXPECT_LE(ElapsedMs(t0), timing_.replyMs + 100);
    EXPECT_FALSE(port->SetBreak());
    // The port is still usable once the server answers again.
    server_.answerCommands = true;
    EXPECT_TRUE(port->SetBreak());
}

TEST_F(Rfc2217PortTest, ControlLinesAndBreak)
{
    auto port = Ready();
    ASSERT_TRUE(port);
    EXPECT_TRUE(port->Escape(kEscSetRts));
    EXPECT_TRUE(port->Escape(kEscClrRts));
    EXPECT_TRUE(port->Escape(kEscSetDtr));
    EXPECT_TRUE(port->Escape(kEscClrDtr));
    EXPECT_FALSE(port->Escape(99));
    EXPECT_TRUE(port->SetBreak());
    EXPECT_TRUE(port->ClearBreak());
    const std::vector<Command> expected = {{kSetControl, {kControlRtsOn}},  {kSetControl, {kControlRtsOff}},
                                           {kSetControl, {kControlDtrOn}},  {kSetControl, {kControlDtrOff}},
                                           {kSetControl, {kControlBreakOn}}, {kSetControl, {kControlBreakOff}}};
    EXPECT_EQ(server_.commands, expected);
}

TEST_F(Rfc2217PortTest, DataIsEscapedBothWays)
{
    auto port = Ready();
    ASSERT_TRUE(port);
    const std::vector<uint8_t> bytes = {0xFF, 0x00, 0xFF, 0xFF, 0xFA, 0xF0, 0x41};
    uint32_t written = 0;
    ASSERT_TRUE(port->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), written));
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(server_.data, bytes);

    // From the server one byte per receive, so every escape is split.
    server_.chunk = 1;
    server_.Data(bytes);
    std::vector<uint8_t> got(16);
    uint32_t n = 0;
    std::vector<uint8_t> all;
    for (int i = 0; i < 20 && all.size() < bytes.size(); ++i) {
        ASSERT_TRUE(port->Read(got.data(), 16, n));
        all.insert(all.end(), got.begin(), got.begin() + n);
    }
    EXPECT_EQ(all, bytes);
}

TEST_F(Rfc2217PortTest, ReadsKeepTheChannelsTimeouts)
{
    auto port = Ready();
    ASSERT_TRUE(port);
    uint8_t buf[8];
    uint32_t n = 0;

    // Waiting bytes come back at once, at most as many as asked.
    server_.Data({1, 2, 3, 4, 5});
    int64_t t0 = clock_.PeekMicros();
    ASSERT_TRUE(port->Read(buf, 3, n));
    EXPECT_EQ(n, 3u);
    EXPECT_LT(ElapsedMs(t0), 5);
    ASSERT_TRUE(port->Read(buf, 8, n));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(buf[1], 5);

    // Nothing waiting: the first byte ends the wait.
    server_.Data({9}, 120'000);
    t0 = clock_.PeekMicros();
    ASSERT_TRUE(port->Read(buf, 8, n));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(ElapsedMs(t0), 120);

    // Silence: 250 ms, then nothing.
    t0 = clock_.PeekMicros();
    ASSERT_TRUE(port->Read(buf, 8, n));
    EXPECT_EQ(n, 0u);
    EXPECT_GE(ElapsedMs(t0), 250);
    EXPECT_LE(ElapsedMs(t0), 260);

    // No-wait timeouts return at once even when bytes are on their way.
    ASSERT_TRUE(port->SetTimeouts({kMaxDword, 0, 0, 0, 0}));
    server_.Data({7}, 10'000);
    t0 = clock_.PeekMicros();
    ASSERT_TRUE(port->Read(buf, 8, n));
    EXPECT_EQ(n, 0u);
    EXPECT_LT(ElapsedMs(t0), 5);

    // Total timeout: waits for the whole count, or its limit.
    ASSERT_TRUE(port->SetTimeouts({0, 10, 100, 0, 0}));
    server_.Data({8}, 30'000);
    t0 = clock_.PeekMicros();
    ASSERT_TRUE(port->Read(buf, 3, n));
    EXPECT_EQ(n, 2u);  // the 7 and the 8
    EXPECT_GE(ElapsedMs(t0), 130);
    EXPECT_LE(ElapsedMs(t0), 140);
}

TEST_F(Rfc2217PortTest, ModemStatusFollowsNotifications)
{
    auto port = Ready();
    ASSERT_TRUE(port);
    uint32_t status = 0;
    ASSERT_TRUE(port->GetModemStatus(status));
    EXPECT_EQ(status, kMsRlsdOn);  // the slot is empty

    // A card goes in: carrier detect drops; the change flag is not a line.
    server_.Notify(0x08 | 0x10);
    ASSERT_TRUE(port->GetModemStatus(status));
    EXPECT_EQ(status, kMsCtsOn);

    // Notifications between data bytes do not disturb the data.
    server_.Data({1, 2});
    server_.Notify(0x88);
    server_.Data({3});
    uint8_t buf[8];
    uint32_t n = 0;
    ASSERT_TRUE(port->Read(buf, 8, n));
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + n), (std::vector<uint8_t>{1, 2, 3}));
    ASSERT_TRUE(port->GetModemStatus(status));
    EXPECT_EQ(status, kMsRlsdOn);
}

TEST_F(Rfc2217PortTest, ModemStatusUnreadableWithoutNotifications)
{
    server_.modemState.reset();
    auto port = Ready();
    ASSERT_TRUE(port);
    uint32_t status = 0;
    const int64_t t0 = clock_.PeekMicros();
    EXPECT_FALSE(port->GetModemStatus(status));
    EXPECT_LE(ElapsedMs(t0), timing_.replyMs + 100);
    // Waited once; later calls answer at once.
    const int64_t t1 = clock_.PeekMicros();
    EXPECT_FALSE(port->GetModemStatus(status));
    EXPECT_LT(ElapsedMs(t1), 5);
    server_.Notify(0x80);
    EXPECT_TRUE(port->GetModemStatus(status));
    EXPECT_EQ(status, kMsRlsdOn);
}

TEST_F(Rfc2217PortTest, PurgeDropsHeldAndInFlightBytes)
{
    auto port = Ready();
    ASSERT_TRUE(port);
    uint8_t buf[8];
    uint32_t n = 0;
    // Held by the port.
    server_.Data({1, 2});
    uint32_t status;
    ASSERT_TRUE(port->GetModemStatus(status));  // takes in what has arrived
    // In flight: sent by the server before it saw the purge.
    server_.Data({3, 4}, 1000);
    ASSERT_TRUE(port->Purge(kPurgeRxClear));
    EXPECT_EQ(server_.commands.back(), (Command{kPurgeData, {kPurgeReceive}}));
    // Sent after the server purged: kept.
    server_.Data({5});
    ASSERT_TRUE(port->Read(buf, 8, n));
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + n), std::vector<uint8_t>{5});

    ASSERT_TRUE(port->Purge(kPurgeTxClear | kPurgeRxClear));
    EXPECT_EQ(server_.commands.back(), (Command{kPurgeData, {kPurgeBoth}}));
    const size_t sent = server_.commands.size();
    ASSERT_TRUE(port->Purge(kPurgeRxAbort | kPurgeTxAbort));  // nothing to abort, nothing sent
    EXPECT_EQ(server_.commands.size(), sent);
}

TEST_F(Rfc2217PortTest, DroppedConnectionFailsEveryCall)
{
    auto port = Ready();
    ASSERT_TRUE(port);
    server_.Data({1});
    server_.closed = true;
    uint8_t buf[4];
    uint32_t n = 0;
    // The last byte before the drop may still come; then the drop is seen.
    bool ok = port->Read(buf, 4, n);
    if (ok) ok = port->Read(buf, 4, n);
    EXPECT_FALSE(ok);
    EXPECT_TRUE(port->Broken());
    uint32_t status = 0;
    LineSettings s;
    EXPECT_FALSE(port->GetModemStatus(status));
    EXPECT_FALSE(port->Write(buf, 1, n));
    EXPECT_FALSE(port->SetState(Format(9600, 8, 0, 0, 1)));
    EXPECT_FALSE(port->GetState(s));
    EXPECT_FALSE(port->SetTimeouts({}));
    EXPECT_FALSE(port->Purge(kPurgeRxClear));
    EXPECT_FALSE(port->SetBreak());
}

TEST(Rfc2217PortAddress, ParsesHostAndPort)
{
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        uint16_t port;
    };
    const Case cases[] = {
        {"rfc2217://127.0.0.1:7000", true, "127.0.0.1", 7000},
        {"rfc2217://reader-host:2217/", true, "reader-host", 2217},
        {"rfc2217://[::1]:65535", true, "::1", 65535},
        {"rfc2217://host:0", false, "", 0},
        {"rfc2217://host:65536", false, "", 0},
        {"rfc2217://host:", false, "", 0},
        {"rfc2217://:7000", false, "", 0},
        {"rfc2217://host", false, "", 0},
        {"rfc2217://::1:7000", false, "", 0},
        {"rfc2217://host:70a0", false, "", 0},
        {"RFC2217://host:7000", false, "", 0},
        {"/dev/ttyUSB0", false, "", 0},
    };
    for (const Case& c : cases) {
        const auto a = ParseRfc2217Address(c.text);
        EXPECT_EQ(a.has_value(), c.ok) << c.text;
        if (a && c.ok) {
            EXPECT_EQ(a->host, c.host);
            EXPECT_EQ(a->port, c.port);
        }
    }
    // A malformed name never reaches the network, and says what is wrong
    // with it.
    VirtualClock clock;
    EXPECT_EQ(OpenNetworkDevice("rfc2217://host", clock), nullptr);
    const std::pair<const char*, const char*> problems[] = {
        {"rfc2217://127.0.0.1:7000", ""},
        {"rfc2217://host:07000", ""},
        {"rfc2217://host", "rfc2217://host: no port (rfc2217://HOST:PORT)"},
        {"rfc2217://host:", "rfc2217://host:: no port (rfc2217://HOST:PORT)"},
        {"rfc2217://[::1]", "rfc2217://[::1]: no port (rfc2217://HOST:PORT)"},
        {"rfc2217://:7000", "rfc2217://:7000: no host (rfc2217://HOST:PORT)"},
        {"rfc2217://[]:7000", "rfc2217://[]:7000: no host (rfc2217://HOST:PORT)"},
        {"rfc2217://host:0", "rfc2217://host:0: the port must be 1 to 65535, not 0"},
        {"rfc2217://host:65536", "rfc2217://host:65536: the port must be 1 to 65535, not 65536"},
        {"rfc2217://host:1000000", "rfc2217://host:1000000: the port must be 1 to 65535, not 1000000"},
        {"rfc2217://host:70a0", "rfc2217://host:70a0: the port '70a0' is not a number"},
        {"rfc2217://::1:7000", "rfc2217://::1:7000: more than one ':' (an IPv6 host goes in brackets: "
                               "rfc2217://[::1]:PORT)"},
    };
    for (const auto& [text, problem] : problems) EXPECT_EQ(Rfc2217AddressProblem(text), problem) << text;
}
