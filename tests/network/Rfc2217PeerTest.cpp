// The network port against a reference RFC 2217 server (pyserial's, in front
// of a loop-back port; tests/network/rfc2217_peer.py) on 127.0.0.1: negotiation,
// every line setting as the server's port sees it, data with 0xFF bytes both
// ways, break and RTS, modem-state notifications, purge, and a server that
// goes away in the middle of a read.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/Subprocess.h"
#include "devices/PortChain.h"
#include "network/Rfc2217Port.h"
#include "platform/TcpSocket.h"
#include "serial/ReaderLink.h"

namespace {

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The reference server and its control connection.
class Peer {
public:
    bool Start()
    {
        if (!process_.Start({"/usr/bin/python3", TORVIK_NET_PEER})) return false;
        std::istringstream ports(process_.ReadLine(10'000));
        std::string word;
        ports >> word >> port_ >> controlPort_;
        if (word != "PORTS") return false;
        control_ = TcpSocket::Connect("127.0.0.1", controlPort_, 2000);
        return control_ != nullptr;
    }
    ~Peer()
    {
        if (control_) Ask("quit");
    }

    std::string Address() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }
    uint16_t Port() const { return port_; }

    // One command line, one answer line.
    std::string Ask(const std::string& line)
    {
        const std::string text = line + "\n";
        if (!control_->Send(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 2000)) return "<gone>";
        std::string answer;
        const int64_t deadline = NowMs() + 5000;
        while (answer.find('\n') == std::string::npos && NowMs() < deadline) {
            uint8_t buf[512];
            const int32_t n = control_->Receive(buf, sizeof buf, 100);
            if (n < 0) break;
            answer.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
        }
        return answer.substr(0, answer.find('\n'));
    }

    void Kill()
    {
        control_.reset();
        process_.Kill();
        process_.Wait(5000);
    }

private:
    Subprocess process_;
    std::unique_ptr<TcpSocket> control_;
    uint16_t port_ = 0;
    uint16_t controlPort_ = 0;
};

LineSettings Format(uint32_t baud, uint8_t bits, uint8_t parity, uint8_t stop, bool rts)
{
    LineSettings s;
    s.BaudRate = baud;
    s.ByteSize = bits;
    s.Parity = parity;
    s.StopBits = stop;
    s.fRtsControl = rts ? kRtsControlEnable : kRtsControlDisable;
    s.fDtrControl = kDtrControlDisable;
    return s;
}

class Rfc2217PeerTest : public ::testing::Test {
protected:
    SteadyClock clock_;
    void SetUp() override
    {
        ASSERT_TRUE(peer_.Start()) << "the reference server needs /usr/bin/python3 with pyserial (python3-serial)";
        port_ = OpenNetworkDevice(peer_.Address(), clock_);
        ASSERT_NE(port_, nullptr);
        ASSERT_TRUE(port_->SetTimeouts({kMaxDword, kMaxDword, 250, 2, 500}));
        peer_.Ask("events");  // forget what the open did
    }

    // Reads until `count` bytes came or `ms` passed.
    std::vector<uint8_t> ReadFor(size_t count, int ms)
    {
        std::vector<uint8_t> got;
        const int64_t deadline = NowMs() + ms;
        while (got.size() < count && NowMs() < deadline) {
            uint8_t buf[512];
            uint32_t n = 0;
            if (!port_->Read(buf, sizeof buf, n)) break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

    bool WriteAll(const std::vector<uint8_t>& bytes)
    {
        uint32_t n = 0;
        return port_->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), n) && n == bytes.size();
    }

    // Polls the modem status until (status & mask) == want or ms passed.
    bool ModemBecomes(uint32_t mask, uint32_t want, int ms)
    {
        const int64_t deadline = NowMs() + ms;
        do {
            uint32_t status = 0;
            if (port_->GetModemStatus(status) && (status & mask) == want) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (NowMs() < deadline);
        return false;
    }

    Peer peer_;
    std::unique_ptr<CommPort> port_;
};

}  // namespace

TEST_F(Rfc2217PeerTest, EverySettingReachesTheServersPort)
{
    struct Case {
        LineSettings settings;
        const char* state;
    };
    const Case cases[] = {
        {Format(9600, 8, kNoParity, kOneStopBit, true),
         "baud=9600 bytesize=8 parity=N stopbits=1 xonxoff=0 rtscts=0 rts=1 dtr=0 break=0"},
        {Format(5728, 8, kNoParity, kTwoStopBits, false),
         "baud=5728 bytesize=8 parity=N stopbits=2 xonxoff=0 rtscts=0 rts=0 dtr=0 break=0"},
        {Format(34600, 8, kMarkParity, kTwoStopBits, false),
         "baud=34600 bytesize=8 parity=M stopbits=2 xonxoff=0 rtscts=0 rts=0 dtr=0 break=0"},
        {Format(1200, 7, kEvenParity, kOne5StopBits, true),
         "baud=1200 bytesize=7 parity=E stopbits=1.5 xonxoff=0 rtscts=0 rts=1 dtr=0 break=0"},
        {Format(300, 5, kOddParity, kOneStopBit, true),
         "baud=300 bytesize=5 parity=O stopbits=1 xonxoff=0 rtscts=0 rts=1 dtr=0 break=0"},
        {Format(57600, 6, kSpaceParity, kTwoStopBits, true),
         "baud=57600 bytesize=6 parity=S stopbits=2 xonxoff=0 rtscts=0 rts=1 dtr=0 break=0"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(port_->SetState(c.settings)) << c.state;
        // Confirmed before SetState returned: the server's port has it now.
        EXPECT_EQ(peer_.Ask("state"), c.state);
    }
    // DTR on, then off again through the escape functions.
    ASSERT_TRUE(port_->Escape(kEscSetDtr));
    EXPECT_NE(peer_.Ask("state").find("dtr=1"), std::string::npos);
    ASSERT_TRUE(port_->Escape(kEscClrDtr));
    EXPECT_NE(peer_.Ask("state").find("dtr=0"), std::string::npos);
}

TEST_F(Rfc2217PeerTest, BytesComeBackIncludingIac)
{
    std::vector<uint8_t> all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<uint8_t>(i));
    all.insert(all.end(), {0xFF, 0xFF, 0xFF, 0xFA, 0xF0, 0xFF});
    ASSERT_TRUE(WriteAll(all));
    EXPECT_EQ(ReadFor(all.size(), 3000), all);

    // Bytes the server's side sends on its own, 0xFF among them.
    EXPECT_EQ(peer_.Ask("send FF00FF"), "ok");
    EXPECT_EQ(ReadFor(3, 3000), (std::vector<uint8_t>{0xFF, 0x00, 0xFF}));
}

TEST_F(Rfc2217PeerTest, BreakAndRtsReachTheServer)
{
    ASSERT_TRUE(port_->SetBreak());
    EXPECT_NE(peer_.Ask("state").find("break=1"), std::string::npos);
    ASSERT_TRUE(port_->ClearBreak());
    ASSERT_TRUE(port_->Escape(kEscSetRts));
    ASSERT_TRUE(port_->Escape(kEscClrRts));
    EXPECT_EQ(peer_.Ask("events"), "break 1,break 0,rts 1,rts 0");
    const std::string state = peer_.Ask("state");
    EXPECT_NE(state.find("rts=0"), std::string::npos) << state;
    EXPECT_NE(state.find("break=0"), std::string::npos) << state;
}

TEST_F(Rfc2217PeerTest, CarrierDetectFollowsTheServer)
{
    ASSERT_EQ(peer_.Ask("cd 1"), "ok");
    EXPECT_TRUE(ModemBecomes(kMsRlsdOn, kMsRlsdOn, 2000));
    ASSERT_EQ(peer_.Ask("cd 0"), "ok");
    EXPECT_TRUE(ModemBecomes(kMsRlsdOn, 0, 2000));
    ASSERT_EQ(peer_.Ask("cd 1"), "ok");
    EXPECT_TRUE(ModemBecomes(kMsRlsdOn, kMsRlsdOn, 2000));
}

TEST_F(Rfc2217PeerTest, PurgeDropsWhatIsQueuedOnBothSides)
{
    // Queued in the server's port.
    ASSERT_EQ(peer_.Ask("hold 1"), "ok");
    ASSERT_TRUE(WriteAll({1, 2, 3}));
    const int64_t deadline = NowMs() + 2000;
    while (peer_.Ask("queued") != "3" && NowMs() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(peer_.Ask("queued"), "3");
    ASSERT_TRUE(port_->Purge(kPurgeRxClear));
    EXPECT_EQ(peer_.Ask("queued"), "0");
    ASSERT_EQ(peer_.Ask("hold 0"), "ok");

    // Arrived at our side but not read yet.
    ASSERT_TRUE(WriteAll({4, 5, 6}));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(port_->Purge(kPurgeRxClear));
    ASSERT_TRUE(WriteAll({7}));
    EXPECT_EQ(ReadFor(2, 600), std::vector<uint8_t>{7});
}

TEST_F(Rfc2217PeerTest, ServerGoneMidReadFailsEveryCallWithoutHanging)
{
    ASSERT_TRUE(port_->SetTimeouts({0, 0, 5000, 0, 0}));  // a read that would wait 5 s
    std::thread dropper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        peer_.Ask("drop");
    });
    uint8_t buf[16];
    uint32_t n = 0;
    const int64_t t0 = NowMs();
    const bool ok = port_->Read(buf, sizeof buf, n);
    const int64_t took = NowMs() - t0;
    dropper.join();
    EXPECT_FALSE(ok);
    EXPECT_LT(took, 2000);
    uint32_t status = 0;
    EXPECT_FALSE(port_->GetModemStatus(status));
    EXPECT_FALSE(port_->Write(buf, 1, n));
    EXPECT_FALSE(port_->SetState(Format(9600, 8, 0, 0, true)));
    EXPECT_FALSE(port_->SetBreak());

    // The server still takes the next connection; a server that is gone
    // makes the open fail at once.
    EXPECT_NE(OpenNetworkDevice(peer_.Address(), clock_), nullptr);
    const std::string address = peer_.Address();
    port_.reset();
    peer_.Kill();
    const int64_t t1 = NowMs();
    EXPECT_EQ(OpenNetworkDevice(address, clock_), nullptr);
    EXPECT_LT(NowMs() - t1, 3500);
}

// The channel on a network reader named through TORVIK_COM<n>: the same calls
// the reader setup makes, over the network.
TEST_F(Rfc2217PeerTest, ChannelOpensANetworkReaderByPortNumber)
{
    port_.reset();
    ASSERT_EQ(setenv("TORVIK_COM7", peer_.Address().c_str(), 1), 0);
    SystemChain system;
    ReaderLink link(system.chain);
    TSerialChannel& SerialChannel = link.SerialChannel;
    ASSERT_TRUE(SerialChannel.Open(7, 9600, 8, kOneStopBit, kNoParity, 0));
    EXPECT_EQ(peer_.Ask("state"), "baud=9600 bytesize=8 parity=N stopbits=1 xonxoff=0 rtscts=0 rts=1 dtr=0 break=0");
    ASSERT_EQ(peer_.Ask("cd 0"), "ok");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(SerialChannel.CardSlotEmpty());
    SerialChannel.SendCommandText("2A 42 FF");
    SerialChannel.Receive(3, 1000);
    ASSERT_EQ(SerialChannel.ReceiveCount, 3);
    EXPECT_EQ(SerialChannel.ReceiveBuffer[2], 0xFF);
    // Reopening at the base settings reconfigures the same connection.
    ASSERT_TRUE(SerialChannel.Open(7, 5728, 8, kTwoStopBits, kNoParity, 0));
    EXPECT_EQ(peer_.Ask("state"), "baud=5728 bytesize=8 parity=N stopbits=2 xonxoff=0 rtscts=0 rts=1 dtr=0 break=0");
    SerialChannel.Close();
    unsetenv("TORVIK_COM7");

    // A reader that cannot be reached is a port that cannot be opened.
    ASSERT_EQ(setenv("TORVIK_COM7", "rfc2217://127.0.0.1:1", 1), 0);
    EXPECT_FALSE(SerialChannel.Open(7, 9600, 8, kOneStopBit, kNoParity, 0));
    EXPECT_FALSE(SerialChannel.IsOpen);
    unsetenv("TORVIK_COM7");
}
