// The Win32 port layer on real COM devices. The device-name cases need no
// device; the rest need a port whose far end echoes every byte (see
// Win32TestSupport.h), and are skipped without one.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "devices/PortChain.h"
#include "devices/SystemPorts.h"
#include "serial/ReaderLink.h"
#include "support/Win32TestSupport.h"

using win32test::EchoPort;
using win32test::TickMs;
using win32test::UnderWine;

namespace {

// The channel's own timeouts: at once with waiting bytes, else up to 250 ms
// for the first one.
constexpr CommTimeouts kChannelTimeouts{kMaxDword, kMaxDword, 250, 2, 500};

std::string LowName(uint32_t port) { return ".\\COM" + std::to_string(port); }

void SetEnv(const std::string& name, const std::string& value) { _putenv_s(name.c_str(), value.c_str()); }

TEST(Win32CommPortDeviceNames, PortNamesReachTheSystemUnchanged)
{
    // Both forms of the device name pass through resolution untouched unless
    // the port is redirected, so CreateFileA sees the name the channel built.
    SetEnv("TORVIK_COM3", "");
    SetEnv("TORVIK_COM12", "");
    EXPECT_EQ(ResolveDeviceName(".\\COM3"), ".\\COM3");
    EXPECT_EQ(ResolveDeviceName("\\\\.\\COM12"), "\\\\.\\COM12");
    EXPECT_EQ(ResolveDeviceName(".\\COM0"), "");

    SetEnv("TORVIK_COM3", "\\\\.\\COM7");
    EXPECT_EQ(ResolveDeviceName(".\\COM3"), "\\\\.\\COM7");
    SetEnv("TORVIK_COM3", "");
}

TEST(Win32CommPortDeviceNames, RedirectedPortOpensTheSimulatedReader)
{
    SetEnv("TORVIK_COM7", "sim");
    SteadyClock clock;
    SystemPorts ports(clock);
    auto port = ports.Open(".\\COM7");
    SetEnv("TORVIK_COM7", "");
    ASSERT_NE(port, nullptr);
    uint32_t status = 0;
    EXPECT_TRUE(port->GetModemStatus(status));
}

TEST(Win32CommPortDeviceNames, MissingDevicesFailCleanly)
{
    for (const char* name : {".\\COM250", "\\\\.\\COM251", "\\\\.\\COM4294967295", "", "C:\\no\\such\\device"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(OpenLocalSerialDevice(name), nullptr);
    }
    SteadyClock clock;
    SystemPorts ports(clock);
    EXPECT_EQ(ports.Open(".\\COM250"), nullptr);
    EXPECT_EQ(ports.Open("\\\\.\\COM250"), nullptr);
    EXPECT_EQ(ports.Open(".\\COM0"), nullptr);
}

TEST(Win32CommPortDeviceNames, ChannelOpenFailsAndStaysClosedWithoutDevice)
{
    SystemChain system;
    ReaderLink link(system.chain);
    TSerialChannel& channel = link.SerialChannel;
    EXPECT_FALSE(channel.Open(250, 9600, 8, kOneStopBit, kNoParity, 0));
    EXPECT_FALSE(channel.IsOpen);
    EXPECT_TRUE(channel.Close());
}

// A port layer on the echo port, configured as the channel does it.
class Win32CommPortEcho : public ::testing::Test {
protected:
    void SetUp() override
    {
        port_ = EchoPort(true);
        if (port_ == 0) GTEST_SKIP() << "no echo port below COM10 (TORVIK_TEST_ECHO_PORTS)";
        device_ = OpenLocalSerialDevice(LowName(port_));
        ASSERT_NE(device_, nullptr) << LowName(port_);
        ASSERT_TRUE(device_->SetTimeouts(kChannelTimeouts));
        ASSERT_TRUE(device_->SetupQueues(8192, 8192));
        LineSettings s;
        ASSERT_TRUE(device_->GetState(s));
        s.BaudRate = 9600;
        s.ByteSize = 8;
        s.Parity = kNoParity;
        s.StopBits = kOneStopBit;
        s.fDtrControl = kDtrControlDisable;
        s.fRtsControl = kRtsControlEnable;
        ASSERT_TRUE(device_->SetState(s));
        Drain();
    }

    // Empties what the far end may still be sending back.
    void Drain()
    {
        uint8_t buffer[256];
        uint32_t got = 0;
        do {
            ASSERT_TRUE(device_->Read(buffer, sizeof buffer, got));
        } while (got > 0);
    }

    void Send(const std::string& bytes)
    {
        uint32_t written = 0;
        ASSERT_TRUE(device_->Write(reinterpret_cast<const uint8_t*>(bytes.data()),
                                   static_cast<uint32_t>(bytes.size()), written));
        ASSERT_EQ(written, bytes.size());
    }

    uint32_t port_ = 0;
    std::unique_ptr<CommPort> device_;
};

TEST_F(Win32CommPortEcho, ReadReturnsAtOnceWithWaitingBytes)
{
    Send("\x01\x02\xEA\x04");
    Sleep(150);  // the echo is in the driver's queue by now

    uint8_t buffer[64] = {};
    uint32_t got = 0;
    const uint64_t start = TickMs();
    ASSERT_TRUE(device_->Read(buffer, sizeof buffer, got));
    const uint64_t took = TickMs() - start;

    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), "\x01\x02\xEA\x04");
    // Well short of the 250 ms the read would wait on a silent line.
    EXPECT_LT(took, 200u);
}

TEST_F(Win32CommPortEcho, ReadOnASilentLineGivesUpAfterTheReadTimeout)
{
    uint8_t buffer[64];
    uint32_t got = 99;
    const uint64_t start = TickMs();
    ASSERT_TRUE(device_->Read(buffer, sizeof buffer, got));
    const uint64_t took = TickMs() - start;

    EXPECT_EQ(got, 0u);
    EXPECT_GE(took, 200u);
    EXPECT_LT(took, 2000u);
}

TEST_F(Win32CommPortEcho, ReadReturnsWhenTheFirstByteArrives)
{
    // Asks for more than will ever come: the read must not wait for the
    // count, only for the first byte.
    Send("\x55\xAA");
    uint8_t buffer[64] = {};
    uint32_t got = 0;
    const uint64_t start = TickMs();
    ASSERT_TRUE(device_->Read(buffer, sizeof buffer, got));
    const uint64_t took = TickMs() - start;

    ASSERT_GE(got, 1u);
    EXPECT_EQ(buffer[0], 0x55);
    EXPECT_LT(took, 200u);
}

TEST_F(Win32CommPortEcho, ReadNeverExceedsTheCountAskedFor)
{
    Send("ABCDEFGH");
    Sleep(150);
    uint8_t buffer[8] = {};
    uint32_t got = 0;
    ASSERT_TRUE(device_->Read(buffer, 3, got));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), "ABC");
    ASSERT_TRUE(device_->Read(buffer, 8, got));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), "DEFGH");
}

TEST_F(Win32CommPortEcho, PurgeDiscardsWhatTheDriverHolds)
{
    Send("\x3B\x02\x14");
    Sleep(150);
    ASSERT_TRUE(device_->Purge(kPurgeRxClear));
    uint8_t buffer[16];
    uint32_t got = 99;
    ASSERT_TRUE(device_->Read(buffer, sizeof buffer, got));
    EXPECT_EQ(got, 0u);

    // Bytes arriving after the purge are delivered as usual.
    Send("\x3B");
    Sleep(150);
    ASSERT_TRUE(device_->Read(buffer, sizeof buffer, got));
    EXPECT_EQ(got, 1u);
}

TEST_F(Win32CommPortEcho, LineFormatsOfTheChannelAreAppliedAndReportedBack)
{
    struct Format {
        uint32_t baud;
        uint8_t stopBits;
        uint8_t parity;
    };
    // Reader setup, then the base settings at the two card clocks.
    for (const Format f : {Format{9600, kOneStopBit, kNoParity}, Format{9600, kTwoStopBits, kNoParity},
                           Format{19200, kTwoStopBits, kNoParity}}) {
        SCOPED_TRACE(f.baud);
        LineSettings s;
        ASSERT_TRUE(device_->GetState(s));
        const char xon = s.XonChar;
        s.BaudRate = f.baud;
        s.StopBits = f.stopBits;
        s.Parity = f.parity;
        s.ByteSize = 8;
        ASSERT_TRUE(device_->SetState(s));

        LineSettings back;
        ASSERT_TRUE(device_->GetState(back));
        EXPECT_EQ(back.BaudRate, f.baud);
        EXPECT_EQ(back.StopBits, f.stopBits);
        EXPECT_EQ(back.Parity, f.parity);
        EXPECT_EQ(back.ByteSize, 8);
        EXPECT_EQ(back.XonChar, xon);  // untouched fields keep the driver's values
    }
}

TEST_F(Win32CommPortEcho, ControlAndModemLines)
{
    const bool rts = device_->Escape(kEscSetRts) && device_->Escape(kEscClrRts);
    uint32_t status = 0;
    const bool modem = device_->GetModemStatus(status);
    if (UnderWine() && (!rts || !modem))
        GTEST_SKIP() << "Wine cannot drive RTS or read the modem lines of a pseudo-terminal";
    EXPECT_TRUE(rts);
    EXPECT_TRUE(modem);
}

// The serial channel itself on the echo ports: the device names of both
// forms reach the system and a whole exchange works.
class Win32CommPortEchoChannel : public ::testing::Test {
protected:
    void TearDown() override { channel_.Close(); }
    SystemChain system_;
    ReaderLink link_{system_.chain};
    TSerialChannel& channel_ = link_.SerialChannel;
};

TEST_F(Win32CommPortEchoChannel, ExchangeOnBothDeviceNameForms)
{
    TSerialChannel& channel = channel_;
    bool any = false;
    for (const bool low : {true, false}) {
        const uint32_t port = EchoPort(low);
        if (port == 0) continue;
        any = true;
        SCOPED_TRACE(TSerialChannel::DeviceName(port));
        channel.Close();
        ASSERT_TRUE(channel.Open(port, 9600, 8, kOneStopBit, kNoParity, 0));
        EXPECT_TRUE(channel.IsOpen);
        EXPECT_EQ(channel.LineSettings_.BaudRate, 9600u);

        channel.SendCommandText("01 02 EA");
        const uint64_t start = TickMs();
        EXPECT_TRUE(channel.Receive(3, 2000));
        EXPECT_LT(TickMs() - start, 1000u);
        ASSERT_EQ(channel.ReceiveCount, 3);
        EXPECT_EQ(channel.ReceiveBuffer[0], 0x01);
        EXPECT_EQ(channel.ReceiveBuffer[1], 0x02);
        EXPECT_EQ(channel.ReceiveBuffer[2], 0xEA);

        // Reconfiguring the open channel keeps its handle.
        CommPort* handle = channel.PortHandle.get();
        ASSERT_TRUE(channel.Open(port, 9600, 8, kTwoStopBits, kNoParity, 0));
        EXPECT_EQ(channel.PortHandle.get(), handle);
        EXPECT_EQ(channel.LineSettings_.StopBits, kTwoStopBits);
    }
    if (!any) GTEST_SKIP() << "no echo port (TORVIK_TEST_ECHO_PORTS)";
}

TEST_F(Win32CommPortEchoChannel, ShortTimeoutOnASilentLineStillTakesOneReadStep)
{
    const uint32_t port = EchoPort(true);
    if (port == 0) GTEST_SKIP() << "no echo port below COM10 (TORVIK_TEST_ECHO_PORTS)";
    TSerialChannel& channel = channel_;
    ASSERT_TRUE(channel.Open(port, 9600, 8, kOneStopBit, kNoParity, 0));
    channel.ClearReceiveBuffer();
    const uint64_t start = TickMs();
    EXPECT_FALSE(channel.Receive(100, 20));
    const uint64_t took = TickMs() - start;
    EXPECT_EQ(channel.ReceiveCount, 0);
    EXPECT_GE(took, 200u);
    EXPECT_LT(took, 2000u);
}

}  // namespace
