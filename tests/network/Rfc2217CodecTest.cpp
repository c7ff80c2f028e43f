// The Telnet / Com Port Control wire format: decoding in arbitrary pieces,
// escaping, and option negotiation without answer loops.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/CommPort.h"
#include "network/Rfc2217Codec.h"

using namespace rfc2217;

namespace {

// Records what the decoder reports, as text, so sequences compare easily.
struct Recorder final : TelnetDecoder::Sink {
    std::vector<uint8_t> data;
    std::vector<std::string> events;
    void OnData(const uint8_t* d, size_t n) override
    {
        data.insert(data.end(), d, d + n);
        for (size_t i = 0; i < n; ++i) events.push_back("D" + std::to_string(d[i]));
    }
    void OnNegotiation(uint8_t c, uint8_t o) override
    {
        events.push_back("N" + std::to_string(c) + "/" + std::to_string(o));
    }
    void OnSubnegotiation(uint8_t o, const std::vector<uint8_t>& body) override
    {
        std::string e = "S" + std::to_string(o) + ":";
        for (uint8_t b : body) e += std::to_string(b) + ",";
        events.push_back(e);
    }
};

std::vector<std::string> DecodeInPieces(const std::vector<uint8_t>& stream, size_t piece)
{
    TelnetDecoder decoder;
    Recorder r;
    for (size_t i = 0; i < stream.size(); i += piece)
        decoder.Feed(stream.data() + i, std::min(piece, stream.size() - i), r);
    return r.events;
}

}  // namespace

TEST(Rfc2217Codec, DecodesTheSameWhateverTheSplit)
{
    // Data with an escaped 0xFF, a negotiation, a NOP, a subnegotiation whose
    // value holds an escaped 0xFF, then more data.
    const std::vector<uint8_t> stream = {0x41, kIac, kIac, 0x42, kIac, kWill, kOptComPort, kIac, 241,
                                         0x43, kIac,  kSb,  kOptComPort, 101, 0x00, kIac, kIac, 0x10, 0x20,
                                         kIac, kSe,   0x44};
    const std::vector<std::string> expected = {"D65",   "D255", "D66", "N251/44", "D67",
                                               "S44:101,0,255,16,32,", "D68"};
    for (size_t piece = 1; piece <= stream.size(); ++piece)
        EXPECT_EQ(DecodeInPieces(stream, piece), expected) << "pieces of " << piece;
}

TEST(Rfc2217Codec, DropsOversizedAndMalformedSubnegotiations)
{
    std::vector<uint8_t> stream = {kIac, kSb, kOptComPort};
    stream.insert(stream.end(), TelnetDecoder::kMaxSubnegotiation + 10, 0x01);
    stream.insert(stream.end(), {kIac, kSe, 0x55});
    // A subnegotiation cut short by a negotiation: the negotiation counts.
    stream.insert(stream.end(), {kIac, kSb, kOptComPort, 107, 0x80, kIac, kDo, kOptBinary, 0x56});
    EXPECT_EQ(DecodeInPieces(stream, stream.size()), (std::vector<std::string>{"D85", "N253/0", "D86"}));
}

TEST(Rfc2217Codec, EscapesDataAndCommandValues)
{
    const uint8_t data[] = {0x00, 0xFF, 0xFE, 0xFF, 0xFF};
    std::vector<uint8_t> out;
    AppendEscaped(out, data, sizeof data);
    EXPECT_EQ(out, (std::vector<uint8_t>{0x00, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF}));

    // A baud rate whose bytes include 0xFF is escaped inside the command.
    EXPECT_EQ(ComPortCommand(kSetBaudRate, BaudRateValue(0x0001FFFF)),
              (std::vector<uint8_t>{kIac, kSb, kOptComPort, kSetBaudRate, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, kIac, kSe}));
    EXPECT_EQ(BaudRateFromValue(BaudRateValue(34567)), 34567u);
    EXPECT_FALSE(BaudRateFromValue({1, 2, 3}));
}

TEST(Rfc2217Codec, MapsLineFormatCodesBothWays)
{
    // Port layer parity 0 none .. 4 space; wire 1 none .. 5 space.
    for (uint8_t parity = 0; parity <= 4; ++parity) {
        ASSERT_TRUE(ParityToWire(parity));
        EXPECT_EQ(*ParityToWire(parity), parity + 1);
        EXPECT_EQ(ParityFromWire(*ParityToWire(parity)), parity);
    }
    EXPECT_EQ(ParityToWire(kMarkParity), 4);
    EXPECT_FALSE(ParityToWire(5));
    EXPECT_FALSE(ParityFromWire(0));
    // One, one and a half, two stop bits are 1, 3, 2 on the wire.
    EXPECT_EQ(StopBitsToWire(0), 1);
    EXPECT_EQ(StopBitsToWire(1), 3);
    EXPECT_EQ(StopBitsToWire(2), 2);
    EXPECT_FALSE(StopBitsToWire(3));
    for (uint8_t s = 0; s <= 2; ++s) EXPECT_EQ(StopBitsFromWire(*StopBitsToWire(s)), s);
    EXPECT_FALSE(StopBitsFromWire(0));
}

TEST(Rfc2217Codec, NegotiationAnswersOnlyStateChanges)
{
    OptionNegotiator n({kOptBinary, kOptComPort}, {kOptBinary});
    // Our own request, then its acceptance: no further answer.
    EXPECT_EQ(n.RequestLocal(kOptComPort), Negotiation(kWill, kOptComPort));
    EXPECT_TRUE(n.RequestLocal(kOptComPort).empty());
    EXPECT_TRUE(n.Pending());
    EXPECT_TRUE(n.Receive(kDo, kOptComPort).empty());
    EXPECT_EQ(n.Local(kOptComPort), OptionNegotiator::State::Yes);
    EXPECT_FALSE(n.Pending());
    EXPECT_TRUE(n.Receive(kDo, kOptComPort).empty());  // repeated: still quiet

    // The peer offers: supported options are agreed once, others refused.
    EXPECT_EQ(n.Receive(kWill, kOptBinary), Negotiation(kDo, kOptBinary));
    EXPECT_TRUE(n.Receive(kWill, kOptBinary).empty());
    EXPECT_EQ(n.Receive(kWill, kOptEcho), Negotiation(kDont, kOptEcho));
    EXPECT_EQ(n.Receive(kDo, kOptEcho), Negotiation(kWont, kOptEcho));
    EXPECT_EQ(n.Remote(kOptEcho), OptionNegotiator::State::No);

    // Switching an agreed option off is acknowledged once.
    EXPECT_EQ(n.Receive(kWont, kOptBinary), Negotiation(kDont, kOptBinary));
    EXPECT_TRUE(n.Receive(kWont, kOptBinary).empty());

    // A refused request is remembered as such and not answered.
    EXPECT_FALSE(n.RequestRemote(kOptBinary).empty());
    EXPECT_TRUE(n.Receive(kWont, kOptBinary).empty());
    EXPECT_EQ(n.Remote(kOptBinary), OptionNegotiator::State::Refused);
}
