// The POSIX port layer against real pseudo-terminal pairs.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/PortFailure.h"
#include "devices/SystemPorts.h"
#include "platform/posix/PosixCommPort.h"
#include "platform/posix/TerminalSpeed.h"
#include "PtyPair.h"

namespace {

using std::chrono::steady_clock;

// The channel's timeouts: at once with waiting bytes, else up to 250 ms for
// the first one.
constexpr CommTimeouts kChannelTimeouts{kMaxDword, kMaxDword, 250, 2, 500};

std::unique_ptr<PosixCommPort> OpenSlave(const PtyPair& pty, std::shared_ptr<PortFailures> failures = nullptr)
{
    auto port = PosixCommPort::Open(pty.SlavePath(), RealSystemCalls(), std::move(failures));
    if (port) port->SetTimeouts(kChannelTimeouts);
    return port;
}

LineSettings Format(uint32_t baud, uint8_t size, uint8_t parity, uint8_t stop, bool check = false)
{
    LineSettings s;
    s.BaudRate = baud;
    s.ByteSize = size;
    s.Parity = parity;
    s.StopBits = stop;
    s.fParity = check;
    s.fRtsControl = kRtsControlEnable;
    s.fDtrControl = kDtrControlDisable;
    return s;
}

std::vector<uint8_t> ReadOnce(CommPort& port, uint32_t count, bool* ok = nullptr)
{
    std::vector<uint8_t> buffer(count);
    uint32_t got = 0;
    const bool result = port.Read(buffer.data(), count, got);
    if (ok) *ok = result;
    buffer.resize(got);
    return buffer;
}

TEST(PosixCommPortOpen, RefusesWhatIsNotAnAvailableTerminal)
{
    const std::pair<const char*, const char*> cases[] = {
        {"", "no port is selected (port 0 names no device)"},
        {"/nonexistent/ttyUSB0", "/nonexistent/ttyUSB0: no such device (is the reader plugged in?)"},
        {"/dev/null", "/dev/null: not a serial device"},
        {"/tmp", "/tmp: Is a directory"},
    };
    VirtualClock clock;
    SystemPorts devices(clock);
    const auto failures = std::make_shared<PortFailures>();
    for (const auto& [path, reason] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ(PosixCommPort::Open(path), nullptr);
        EXPECT_EQ(devices.OpenResolved(path, 0, failures), nullptr);
        EXPECT_EQ(failures->LastOpenFailure(), reason);
    }
    // The hint names the group to join, but never root's.
    EXPECT_EQ(DescribeOpenError("/dev/ttyUSB0", EACCES, "dialout"),
              "/dev/ttyUSB0: permission denied; join the group that owns the device ('dialout') and log in again: "
              "sudo usermod -aG dialout $USER");
    EXPECT_EQ(DescribeOpenError("/dev/ttyS0", EACCES, "uucp"),
              "/dev/ttyS0: permission denied; join the group that owns the device ('uucp') and log in again: "
              "sudo usermod -aG uucp $USER");
    EXPECT_EQ(DescribeOpenError("/dev/ttyUSB0", EACCES, "root"),
              "/dev/ttyUSB0: permission denied; the device belongs to the group 'root', which users should not join: "
              "run the program as root, or have a udev rule give the device a group such as 'dialout'");
    // A folder on the way that may not be entered is no matter of groups
    // (root is let through anyway).
    if (geteuid() != 0) {
        const std::string folder = ::testing::TempDir() + "closed-dev";
        mkdir(folder.c_str(), 0700);
        close(creat((folder + "/ttyX").c_str(), 0600));
        chmod(folder.c_str(), 0600);
        EXPECT_EQ(PosixCommPort::Open(folder + "/ttyX", RealSystemCalls(), failures), nullptr);
        EXPECT_EQ(failures->LastOpenFailure(),
                  folder + "/ttyX: permission denied: a folder on the way to it may not be entered");
        chmod(folder.c_str(), 0700);
    }
}

TEST(PosixCommPortOpen, HoldsTheDeviceExclusivelyUntilClosed)
{
    PtyPair pty;
    auto first = PosixCommPort::Open(pty.SlavePath());
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(PosixCommPort::Open(pty.SlavePath()), nullptr);
    const auto failures = std::make_shared<PortFailures>();
    EXPECT_EQ(OpenLocalSerialDevice(pty.SlavePath(), failures), nullptr);
    EXPECT_EQ(failures->LastOpenFailure(), pty.SlavePath() + ": busy: another program is using it");
    first.reset();
    EXPECT_NE(PosixCommPort::Open(pty.SlavePath()), nullptr);
}

TEST(PosixCommPortOpen, PutsTheLineInRawMode)
{
    PtyPair pty;
    auto port = OpenSlave(pty);
    ASSERT_NE(port, nullptr);
    termios t{};
    ASSERT_EQ(tcgetattr(pty.Master(), &t), 0);  // a master reads the slave's settings
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);

    // Bytes that a cooked terminal would change or swallow pass untouched.
    const std::vector<uint8_t> bytes = {0x0D, 0x0A, 0x03, 0x11, 0x13, 0x7F, 0x04, 0xFF, 0x00};
    pty.Send(bytes);
    ASSERT_TRUE(WaitReadable(port->Descriptor(), 2000));
    EXPECT_EQ(ReadOnce(*port, 64), bytes);
    EXPECT_TRUE(pty.Collect(64, 50).empty()) << "nothing may be echoed";
    uint32_t written = 0;
    ASSERT_TRUE(port->Write(bytes.data(), static_cast<uint32_t>(bytes.size()), written));
    EXPECT_EQ(pty.Collect(bytes.size(), 2000), bytes);
}

struct FormatCase {
    LineSettings asked;
    uint8_t stopBitsRead;
    tcflag_t cflagBits;  // expected within CSIZE | PARENB | PARODD | CMSPAR | CSTOPB
};

TEST(PosixCommPortState, AppliesLineFormatsAndReadsThemBack)
{
    const FormatCase cases[] = {
        {Format(9600, 8, kNoParity, kOneStopBit), kOneStopBit, CS8},
        {Format(5728, 8, kNoParity, kTwoStopBits), kTwoStopBits, CS8 | CSTOPB},
        {Format(34350, 8, kMarkParity, kTwoStopBits), kTwoStopBits, CS8 | PARENB | PARODD | CMSPAR | CSTOPB},
        {Format(33600, 7, kSpaceParity, kOneStopBit), kOneStopBit, CS7 | PARENB | CMSPAR},
        {Format(35600, 6, kOddParity, kOneStopBit, true), kOneStopBit, CS6 | PARENB | PARODD},
        {Format(115200, 8, kEvenParity, kOneStopBit, true), kOneStopBit, CS8 | PARENB},
        {Format(1200, 5, kNoParity, kOne5StopBits), kOne5StopBits, CS5 | CSTOPB},
        // One and a half stop bits exist only on 5-bit lines; 8 bits get two.
        {Format(2400, 8, kNoParity, kOne5StopBits), kTwoStopBits, CS8 | CSTOPB},
    };
    PtyPair pty;
    auto port = OpenSlave(pty);
    ASSERT_NE(port, nullptr);
    for (const FormatCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.asked.BaudRate << " baud, " << int(c.asked.ByteSize) << " bits, parity "
                                        << int(c.asked.Parity) << ", stop code " << int(c.asked.StopBits));
        ASSERT_TRUE(port->SetState(c.asked));

        LineSettings read;
        read.BaudRate = 0;
        ASSERT_TRUE(port->GetState(read));
        EXPECT_EQ(read.BaudRate, c.asked.BaudRate);
        EXPECT_EQ(read.ByteSize, c.asked.ByteSize);
        EXPECT_EQ(read.Parity, c.asked.Parity);
        EXPECT_EQ(read.StopBits, c.stopBitsRead);
        EXPECT_EQ(read.fParity, c.asked.fParity);
        EXPECT_EQ(read.fRtsControl, c.asked.fRtsControl);

        // The terminal itself, seen from the other side of the pair. A
        // pseudo-terminal forces 8 bits without parity, but keeps the bits
        // that choose odd, mark or space, and the stop bits.
        constexpr tcflag_t kKept = PARODD | CMSPAR | CSTOPB;
        termios t{};
        ASSERT_EQ(tcgetattr(pty.Master(), &t), 0);
        EXPECT_EQ(t.c_cflag & kKept, c.cflagBits & kKept);
        EXPECT_EQ((t.c_iflag & INPCK) != 0, c.asked.fParity);
        EXPECT_EQ(t.c_iflag & (IGNPAR | PARMRK), 0u) << "bytes must arrive as received";
        uint32_t baud = 0;
        ASSERT_TRUE(GetTerminalSpeed(pty.Master(), baud));
        EXPECT_EQ(baud, c.asked.BaudRate);
    }
}

TEST(PosixCommPortState, RefusesWhatTheLineCannotDoAndLeavesItAsItWas)
{
    struct Bad {
        const char* what;
        void (*change)(LineSettings&);
    };
    const Bad bad[] = {
        {"speed 0 would hang the line up", [](LineSettings& s) { s.BaudRate = 0; }},
        {"9 data bits", [](LineSettings& s) { s.ByteSize = 9; }},
        {"4 data bits", [](LineSettings& s) { s.ByteSize = 4; }},
        {"parity code 5", [](LineSettings& s) { s.Parity = 5; }},
        {"stop code 3", [](LineSettings& s) { s.StopBits = 3; }},
        {"two stop bits on a 5-bit line", [](LineSettings& s) { s.ByteSize = 5; }},
        {"CTS flow control", [](LineSettings& s) { s.fOutxCtsFlow = true; }},
        {"XON/XOFF", [](LineSettings& s) { s.fInX = true; }},
        {"RTS handshake", [](LineSettings& s) { s.fRtsControl = kRtsControlHandshake; }},
        {"DTR handshake", [](LineSettings& s) { s.fDtrControl = kDtrControlHandshake; }},
    };
    PtyPair pty;
    auto port = OpenSlave(pty);
    ASSERT_NE(port, nullptr);
    const LineSettings good = Format(34350, 8, kMarkParity, kTwoStopBits);
    ASSERT_TRUE(port->SetState(good));
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.what);
        LineSettings asked = Format(9600, 8, kNoParity, kTwoStopBits);
        b.change(asked);
        EXPECT_FALSE(port->SetState(asked));
        LineSettings now;
        ASSERT_TRUE(port->GetState(now));
        EXPECT_EQ(now.BaudRate, good.BaudRate);
        EXPECT_EQ(now.ByteSize, good.ByteSize);
        EXPECT_EQ(now.Parity, good.Parity);
        EXPECT_EQ(now.StopBits, good.StopBits);
        EXPECT_FALSE(now.fOutxCtsFlow);
        EXPECT_FALSE(now.fInX);
    }
}

TEST(PosixCommPortRead, ReturnsAtOnceWithWhatIsWaitingUpToTheCount)
{
    PtyPair pty;
    auto port = OpenSlave(pty);
    ASSERT_NE(port, nullptr);
    pty.Send({1, 2, 3, 4, 5});
    ASSERT_TRUE(WaitReadable(port->Descriptor(), 2000));

    auto start = steady_clock::now();
    EXPECT_EQ(ReadOnce(*port, 3), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(ReadOnce(*port, 100), (std::vector<uint8_t>{4, 5}));
    EXPECT_LT(MsSince(start), 150.0);

    // A read of nothing does nothing, whatever the timeouts.
    start = steady_clock::now();
    EXPECT_TRUE(ReadOnce(*port, 0).empty());
    EXPECT_LT(MsSince(start), 150.0);
}

TEST(PosixCommPortRead, WaitsForTheFirstByteUpToTheConstant)
{
    PtyPair pty;
    auto port = OpenSlave(pty);
    ASSERT_NE(port, nullptr);

    // Silent line: nothing, after about 250 ms, and that is success.
    auto start = steady_clock::now();
    bool ok = false;
    EXPECT_TRUE(ReadOnce(*port, 10, &ok).empty());
    EXPECT_TRUE(ok);
    const double silent = MsSince(start);
    EXPECT_GE(silent, 240.0);
    EXPECT_LT(silent, 1500.0);

    // A byte that comes during the wait ends it.
    std::thread sender([&pty] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        pty.Send({0x3B, 0x02});
    });
    start = steady_clock::now();
    const auto got = ReadOnce(*port, 10, &ok);
    const double elapsed = MsSince(start);
    sender.join();
    EXPECT_TRUE(ok);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0], 0x3B);
    EXPECT_GE(elapsed, 40.0);
    EXPECT_LT(elapsed, 240.0);
}

TEST(PosixCommPortRead, ImmediateTimeoutsNeverWait)
{
    const CommTimeouts immediate[] = {{0, 0, 0, 0, 0}, {kMaxDword, 0, 0, 0, 0}, {kMaxDword, kMaxDword, 0, 0, 0}};
    PtyPair pty;
    auto port = PosixCommPort::Open(pty.SlavePath());
    ASSERT_NE(port, nullptr);
    for (const CommTimeouts& t : immediate) {
        SCOPED_TRACE(testing::Message() << t.ReadIntervalTimeout << "/" << t.ReadTotalTimeoutMultiplier);
        ASSERT_TRUE(port->SetTimeouts(t));
        const auto start = steady_clock::now();
        bool ok = false;
        EXPECT_TRUE(ReadOnce(*port, 10, &ok).empty());
        EXPECT_TRUE(ok);
        EXPECT_LT(MsSince(start), 100.0);
    }
}

TEST(PosixCommPortRead, GeneralTimeoutsLimitTheTotalAndTheGapBetweenBytes)
{
    PtyPair pty;
    auto port = PosixCommPort::Open(pty.SlavePath());
    ASSERT_NE(port, nullptr);

    // Total: 20 ms a byte plus 100 ms, so 10 bytes on a silent line take 300 ms.
    ASSERT_TRUE(port->SetTimeouts({0, 20, 100, 0, 0}));
    auto start = steady_clock::now();
    EXPECT_TRUE(ReadOnce(*port, 10).empty());
    double elapsed = MsSince(start);
    EXPECT_GE(elapsed, 290.0);
    EXPECT_LT(elapsed, 1500.0);

    // The total keeps collecting until the count is reached.
    std::thread sender([&pty] {
        pty.Send({1, 2});
        std::this_thread::sleep_for(std::chrono::milliseconds(80));
        pty.Send({3, 4});
    });
    EXPECT_EQ(ReadOnce(*port, 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    sender.join();

    // Interval: once bytes have come, a 60 ms gap ends the read long before
    // the 3 s total.
    ASSERT_TRUE(port->SetTimeouts({60, 0, 3000, 0, 0}));
    pty.Send({7, 8, 9});
    start = steady_clock::now();
    EXPECT_EQ(ReadOnce(*port, 10), (std::vector<uint8_t>{7, 8, 9}));
    elapsed = MsSince(start);
    EXPECT_GE(elapsed, 55.0);
    EXPECT_LT(elapsed, 1500.0);
}

TEST(PosixCommPortWrite, WritesEverythingAndReportsTheCount)
{
    PtyPair pty;
    auto port = OpenSlave(pty);
    ASSERT_NE(port, nullptr);

    // More than the pseudo-terminal holds at once, while the far end reads:
    // the partial writes are carried on until all is through.
    std::vector<uint8_t> block(200000);
    for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    std::vector<uint8_t> received;
    std::thread reader([&] { received = pty.Collect(block.size(), 10000); });
    ASSERT_TRUE(port->SetTimeouts({kMaxDword, kMaxDword, 250, 0, 0}));  // no write limit
    uint32_t written = 0;
    EXPECT_TRUE(port->Write(block.data(), static_cast<uint32_t>(block.size()), written));
    reader.join();
    EXPECT_EQ(written, block.size());
    EXPECT_EQ(received, block);
}

TEST(PosixCommPortWrite, GivesUpAfterTheWriteTimeoutWhenTheLineIsStuck)
{
    PtyPair pty;
    auto port = OpenSlave(pty);
    ASSERT_NE(port, nullptr);
    // Nobody reads the far end: the queue fills and stays full.
    ASSERT_TRUE(port->SetTimeouts({kMaxDword, kMaxDword, 250, 0, 200}));
    std::vector<uint8_t> block(4 * 1024 * 1024, 0x55);
    uint32_t written = 0;
    const auto start = steady_clock::now();
    EXPECT_TRUE(port->Write(block.data(), static_cast<uint32_t>(block.size()), written));
    const double elapsed = MsSince(start);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, block.size());
    EXPECT_GE(elapsed, 190.0);
    EXPECT_LT(elapsed, 2000.0);
}

TEST(PosixCommPortPurge, DropsWaitingInputOnly)
{
    PtyPair pty;
    auto port = OpenSlave(pty);
    ASSERT_NE(port, nullptr);
    pty.Send({0xAA, 0xBB, 0xCC});
    ASSERT_TRUE(WaitReadable(port->Descriptor(), 2000));
    ASSERT_TRUE(port->Purge(kPurgeRxClear));
    EXPECT_FALSE(WaitReadable(port->Descriptor(), 0));

    // What comes after the purge is delivered.
    pty.Send({0x3B});
    ASSERT_TRUE(WaitReadable(port->Descriptor(), 2000));
    EXPECT_EQ(ReadOnce(*port, 10), (std::vector<uint8_t>{0x3B}));

    EXPECT_TRUE(port->Purge(kPurgeTxClear | kPurgeTxAbort | kPurgeRxAbort));
    EXPECT_TRUE(port->Purge(0));
}

TEST(PosixCommPortModemLines, APseudoTerminalHasNoneAndSaysSo)
{
    PtyPair pty;
    auto port = OpenSlave(pty);
    ASSERT_NE(port, nullptr);
    for (uint32_t f : {kEscSetRts, kEscClrRts, kEscSetDtr, kEscClrDtr, 99u}) {
        SCOPED_TRACE(f);
        EXPECT_FALSE(port->Escape(f));
    }
    uint32_t status = 0x12345678;
    EXPECT_FALSE(port->GetModemStatus(status));

    // The line levels in the settings are not refused for it: both levels of
    // both lines leave the format applied.
    for (uint8_t rts : {kRtsControlEnable, kRtsControlDisable})
        for (uint8_t dtr : {kDtrControlEnable, kDtrControlDisable}) {
            LineSettings s = Format(5728, 8, kNoParity, kTwoStopBits);
            s.fRtsControl = rts;
            s.fDtrControl = dtr;
            EXPECT_TRUE(port->SetState(s)) << int(rts) << "/" << int(dtr);
        }
}

TEST(PosixCommPortHangUp, ReadsAndWritesFailWithoutHanging)
{
    PtyPair pty;
    const auto failures = std::make_shared<PortFailures>();
    auto port = OpenSlave(pty, failures);
    ASSERT_NE(port, nullptr);
    pty.CloseMaster();
    failures->Clear();

    for (int i = 0; i < 2; ++i) {
        const auto start = steady_clock::now();
        bool ok = true;
        EXPECT_TRUE(ReadOnce(*port, 16, &ok).empty());
        EXPECT_FALSE(ok);
        EXPECT_LT(MsSince(start), 200.0) << "a hung-up line must not wait out the timeout";
    }
    EXPECT_EQ(failures->DeviceGoneReason(), pty.SlavePath() + ": the device went away (unplugged, or its driver failed)");
    // Also when the read had to wait for the hang-up.
    PtyPair later;
    auto port2 = OpenSlave(later);
    ASSERT_NE(port2, nullptr);
    std::thread closer([&later] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        later.CloseMaster();
    });
    bool ok = true;
    auto start = steady_clock::now();
    ASSERT_TRUE(port2->SetTimeouts({kMaxDword, kMaxDword, 2000, 0, 0}));
    EXPECT_TRUE(ReadOnce(*port2, 16, &ok).empty());
    closer.join();
    EXPECT_FALSE(ok);
    EXPECT_LT(MsSince(start), 1500.0);

    const uint8_t byte = 0x01;
    uint32_t written = 99;
    EXPECT_FALSE(port->Write(&byte, 1, written));
    EXPECT_EQ(written, 0u);
}

}  // namespace
