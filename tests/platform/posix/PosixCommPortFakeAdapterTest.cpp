// The POSIX port over a played USB serial adapter: the system calls go to a
// fake driver (platform/posix/SystemCalls.h), so the tests reach what a
// pseudo-terminal cannot show: modem lines, break, a driver that rounds the
// speed or drops a format, interrupted and would-block calls, an unplug in
// the middle of a read, the low-latency requests, and the kept descriptor.

#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "devices/PortChain.h"
#include "platform/KeptPorts.h"
#include "platform/PortFailure.h"
#include "devices/SystemPorts.h"
#include "platform/posix/PosixCommPort.h"
#include "platform/posix/SystemCalls.h"
#include "reader/Usb_phoenixinterface.h"
#include "serial/ReaderLink.h"
#include "support/RecordingWindow.h"

namespace {

constexpr int kFd = 42;
const char kPath[] = "/dev/ttyFAKE0";
const char kTimer[] = "/sys/class/tty/ttyFAKE0/device/latency_timer";

// One step of what the driver has for read(): bytes, or an error number.
struct ReadStep {
    std::vector<uint8_t> bytes;
    int error = 0;
};

// The played adapter; the fake calls below work on it.
struct Adapter {
    int opens = 0;
    int closes = 0;
    int lines = 0;  // TIOCM_* bits in force
    std::vector<std::pair<unsigned long, int>> lineCalls;
    std::vector<unsigned long> breakCalls;
    termios term{};
    tcflag_t dropped = 0;  // control bits the driver will not keep
    uint32_t (*round)(uint32_t) = [](uint32_t b) { return b; };
    uint32_t speed = 9600;
    bool speedReadable = true;
    std::deque<ReadStep> reads;
    int serialFlags = 0;
    bool serialRefused = false;
    std::map<std::string, std::string> files;
    // Errors the driver answers: to TIOCSBRK, to TIOCMGET, and to tcdrain
    // (one per call, then success).
    int breakError = 0;
    int modemError = 0;
    std::deque<int> drainErrors;
    int drains = 0;
} adapter;

int FakeIoctl(int, unsigned long request, void* arg)
{
    switch (request) {
    case TIOCEXCL:
    case TIOCNXCL: return 0;
    case TIOCMGET:
        if (adapter.modemError != 0) {
            errno = adapter.modemError;
            return -1;
        }
        *static_cast<int*>(arg) = adapter.lines;
        return 0;
    case TIOCMBIS:
    case TIOCMBIC: {
        const int bits = *static_cast<int*>(arg);
        adapter.lineCalls.emplace_back(request, bits);
        adapter.lines = request == TIOCMBIS ? adapter.lines | bits : adapter.lines & ~bits;
        return 0;
    }
    case TIOCSBRK:
    case TIOCCBRK:
        adapter.breakCalls.push_back(request);
        if (request == TIOCSBRK && adapter.breakError != 0) {
            errno = adapter.breakError;
            return -1;
        }
        return 0;
    case TIOCGSERIAL: static_cast<serial_struct*>(arg)->flags = adapter.serialFlags; return 0;
    case TIOCSSERIAL:
        if (adapter.serialRefused) {
            errno = EPERM;
            return -1;
        }
        adapter.serialFlags = static_cast<serial_struct*>(arg)->flags;
        return 0;
    default: errno = ENOTTY; return -1;
    }
}

ssize_t FakeRead(int, void* buffer, size_t count)
{
    if (adapter.reads.empty()) {
        errno = EAGAIN;
        return -1;
    }
    ReadStep& step = adapter.reads.front();
    if (step.error != 0) {
        errno = step.error;
        if (step.error != EIO) adapter.reads.pop_front();  // an unplugged device stays gone
        return -1;
    }
    const size_t n = std::min(count, step.bytes.size());
    std::copy(step.bytes.begin(), step.bytes.begin() + static_cast<long>(n), static_cast<uint8_t*>(buffer));
    step.bytes.erase(step.bytes.begin(), step.bytes.begin() + static_cast<long>(n));
    if (step.bytes.empty()) adapter.reads.pop_front();
    return static_cast<ssize_t>(n);
}

int FakePoll(pollfd* fds, nfds_t, int)
{
    fds[0].revents = 0;
    if (fds[0].events & POLLOUT) fds[0].revents |= POLLOUT;
    if (!adapter.reads.empty()) {
        const ReadStep& step = adapter.reads.front();
        fds[0].revents |= step.error == EIO ? POLLHUP | POLLERR : POLLIN;
    }
    return fds[0].revents != 0 ? 1 : 0;
}

PosixSystemCalls FakeCalls()
{
    PosixSystemCalls c = RealSystemCalls();
    c.open = [](const char* path, int) {
        if (std::string(path) != kPath) {
            errno = ENOENT;
            return -1;
        }
        ++adapter.opens;
        return kFd;
    };
    c.close = [](int) {
        ++adapter.closes;
        return 0;
    };
    c.isatty = [](int) { return 1; };
    c.flock = [](int, int) { return 0; };
    c.ioctl = FakeIoctl;
    c.tcgetattr = [](int, termios* t) {
        *t = adapter.term;
        return 0;
    };
    c.tcsetattr = [](int, int, const termios* t) {
        adapter.term = *t;
        adapter.term.c_cflag &= ~adapter.dropped;
        return 0;
    };
    c.tcflush = [](int, int) { return 0; };
    c.tcdrain = [](int) {
        ++adapter.drains;
        if (adapter.drainErrors.empty()) return 0;
        errno = adapter.drainErrors.front();
        adapter.drainErrors.pop_front();
        return -1;
    };
    c.read = FakeRead;
    c.write = [](int, const void*, size_t count) { return static_cast<ssize_t>(count); };
    c.poll = FakePoll;
    c.setSpeed = [](int, uint32_t baud) {
        adapter.speed = adapter.round(baud);
        return true;
    };
    c.getSpeed = [](int, uint32_t& baud) {
        baud = adapter.speed;
        return adapter.speedReadable;
    };
    c.readText = [](const std::string& path, std::string& text) {
        const auto it = adapter.files.find(path);
        if (it == adapter.files.end()) return false;
        text = it->second;
        return true;
    };
    c.writeText = [](const std::string& path, const std::string& text) {
        if (adapter.files.count(path) == 0) return false;
        adapter.files[path] = text;
        return true;
    };
    return c;
}

class FakeAdapter : public ::testing::Test {
protected:
    FakeAdapter()
    {
        adapter = Adapter{};
        adapter.lines = TIOCM_CD;  // slot empty
    }

    // What the ports opened here record.
    std::string LastOpenFailure() const { return failures->LastOpenFailure(); }
    std::string DeviceGoneReason() const { return failures->DeviceGoneReason(); }
    void ClearPortFailures() { failures->Clear(); }

    const std::shared_ptr<PortFailures> failures = std::make_shared<PortFailures>();

    static LineSettings Format(uint32_t baud, uint8_t parity)
    {
        LineSettings s;
        s.BaudRate = baud;
        s.ByteSize = 8;
        s.Parity = parity;
        s.StopBits = kTwoStopBits;
        s.fRtsControl = kRtsControlDisable;
        s.fDtrControl = kDtrControlDisable;
        return s;
    }

};

TEST_F(FakeAdapter, ModemLinesAndBreakReachTheDriver)
{
    auto port = PosixCommPort::Open(kPath, FakeCalls(), failures);
    ASSERT_NE(port, nullptr);
    uint32_t status = 0;
    ASSERT_TRUE(port->GetModemStatus(status));
    EXPECT_EQ(status, kMsRlsdOn) << "carrier detect is the empty slot";
    adapter.lines = TIOCM_CTS;
    ASSERT_TRUE(port->GetModemStatus(status));
    EXPECT_EQ(status, kMsCtsOn);

    const std::vector<std::pair<uint32_t, std::pair<unsigned long, int>>> escapes = {
        {kEscSetRts, {TIOCMBIS, TIOCM_RTS}},
        {kEscClrRts, {TIOCMBIC, TIOCM_RTS}},
        {kEscSetDtr, {TIOCMBIS, TIOCM_DTR}},
        {kEscClrDtr, {TIOCMBIC, TIOCM_DTR}},
    };
    for (const auto& [function, call] : escapes) {
        adapter.lineCalls.clear();
        EXPECT_TRUE(port->Escape(function));
        ASSERT_EQ(adapter.lineCalls.size(), 1u) << function;
        EXPECT_EQ(adapter.lineCalls[0], call) << function;
    }
    // A line setting holds RTS as asked and DTR off.
    adapter.lineCalls.clear();
    LineSettings s = Format(5728, kNoParity);
    s.fRtsControl = kRtsControlEnable;
    ASSERT_TRUE(port->SetState(s));
    EXPECT_EQ(adapter.lineCalls, (std::vector<std::pair<unsigned long, int>>{{TIOCMBIS, TIOCM_RTS},
                                                                             {TIOCMBIC, TIOCM_DTR}}));
    EXPECT_TRUE(port->SetBreak());
    EXPECT_TRUE(port->ClearBreak());
    EXPECT_EQ(adapter.breakCalls, (std::vector<unsigned long>{TIOCSBRK, TIOCCBRK}));
}

TEST_F(FakeAdapter, SpeedAndFormatAreReadBackAfterSetting)
{
    struct Case {
        const char* label;
        uint32_t (*round)(uint32_t);
        tcflag_t dropped;
        bool readable;
        uint32_t baud;
        uint8_t parity;
        const char* reason;  // "" when taken
    };
    const Case cases[] = {
        {"exact", [](uint32_t b) { return b; }, 0, true, 34350, kMarkParity, ""},
        {"rounded within 2 %", [](uint32_t b) { return b - b / 60; }, 0, true, 5728, kNoParity, ""},
        {"rounded to a standard speed", [](uint32_t) { return 38400u; }, 0, true, 34350, kMarkParity,
         "/dev/ttyFAKE0: the driver set 38400 baud instead of 34350 (more than 2 % off)"},
        {"rounded 2.1 % low", [](uint32_t b) { return b - b / 47; }, 0, true, 5728, kNoParity,
         "/dev/ttyFAKE0: the driver set 5607 baud instead of 5728 (more than 2 % off)"},
        {"speed unreadable", [](uint32_t b) { return b; }, 0, false, 5728, kNoParity,
         "/dev/ttyFAKE0: the speed in force cannot be read back"},
        {"mark parity dropped", [](uint32_t b) { return b; }, CMSPAR, true, 34350, kMarkParity,
         "/dev/ttyFAKE0: the driver did not take the line format (data bits, parity, stop bits) as asked"},
        {"second stop bit dropped", [](uint32_t b) { return b; }, CSTOPB, true, 5728, kNoParity,
         "/dev/ttyFAKE0: the driver did not take the line format (data bits, parity, stop bits) as asked"},
    };
    for (const Case& c : cases) {
        adapter.round = c.round;
        adapter.dropped = c.dropped;
        adapter.speedReadable = c.readable;
        ClearPortFailures();
        auto port = PosixCommPort::Open(kPath, FakeCalls(), failures);
        ASSERT_NE(port, nullptr) << c.label;
        EXPECT_EQ(port->SetState(Format(c.baud, c.parity)), *c.reason == '\0') << c.label;
        EXPECT_EQ(LastOpenFailure(), c.reason) << c.label;
    }
}

TEST_F(FakeAdapter, ReadsRideOutInterruptionsAndReportAnUnplug)
{
    struct Case {
        const char* label;
        std::vector<ReadStep> script;
        std::vector<uint8_t> first;
        bool firstOk;
        bool secondOk;
        bool gone;
    };
    const Case cases[] = {
        {"interrupted, then bytes", {{{}, EINTR}, {{1, 2, 3}, 0}}, {1, 2, 3}, true, true, false},
        {"nothing waiting", {{{}, EAGAIN}}, {}, true, true, false},
        {"unplugged", {{{}, EIO}}, {}, false, false, true},
        {"bytes, then unplugged", {{{7, 8}, 0}, {{}, EIO}}, {7, 8}, true, false, true},
    };
    for (const Case& c : cases) {
        ClearPortFailures();
        adapter.reads.assign(c.script.begin(), c.script.end());
        auto port = PosixCommPort::Open(kPath, FakeCalls(), failures);
        ASSERT_NE(port, nullptr) << c.label;
        ASSERT_TRUE(port->SetTimeouts({kMaxDword, kMaxDword, 250, 2, 500}));
        uint8_t buffer[16] = {};
        uint32_t got = 0;
        EXPECT_EQ(port->Read(buffer, sizeof buffer, got), c.firstOk) << c.label;
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + got), c.first) << c.label;
        EXPECT_EQ(port->Read(buffer, sizeof buffer, got), c.secondOk) << c.label;
        EXPECT_EQ(!DeviceGoneReason().empty(), c.gone) << c.label;
    }
}

// What the driver refuses says why: a break the adapter cannot send (the
// reader's setup needs it), and an adapter that has been unplugged, which
// answers EIO or ENODEV instead of a modem status (it must not read as an
// empty slot). A drain interrupted by a signal is resumed.
TEST_F(FakeAdapter, RefusalsAndAnUnplugSayWhy)
{
    enum class Call { Break, ModemStatus, Drain };
    struct Case {
        const char* label;
        Call call;
        int error;
        bool ok;
        const char* reason;  // start of LastOpenFailure, "" for none
        bool gone;
    };
    const char kNoBreak[] = "/dev/ttyFAKE0: the driver cannot send a line break";
    const Case cases[] = {
        {"break taken", Call::Break, 0, true, "", false},
        {"break: usb-serial driver without break (PL2303HXD clone)", Call::Break, ENOTTY, false, kNoBreak, false},
        {"break: CDC-ACM device without break", Call::Break, EOPNOTSUPP, false, kNoBreak, false},
        {"break: request stalled", Call::Break, EPIPE, false, kNoBreak, false},
        {"break: unplugged", Call::Break, EIO, false, "", true},
        {"modem status: unplugged", Call::ModemStatus, EIO, false, "", true},
        {"modem status: driver let go", Call::ModemStatus, ENODEV, false, "", true},
        {"modem status: no modem lines", Call::ModemStatus, EINVAL, false, "", false},
        {"drain interrupted, then done", Call::Drain, EINTR, true, "", false},
        {"drain: unplugged", Call::Drain, EIO, false, "", true},
    };
    for (const Case& c : cases) {
        ClearPortFailures();
        adapter.breakError = adapter.modemError = 0;
        adapter.drainErrors.clear();
        auto port = PosixCommPort::Open(kPath, FakeCalls(), failures);
        ASSERT_NE(port, nullptr) << c.label;
        uint32_t status = 0;
        bool ok = false;
        switch (c.call) {
        case Call::Break: adapter.breakError = c.error; ok = port->SetBreak(); break;
        case Call::ModemStatus: adapter.modemError = c.error; ok = port->GetModemStatus(status); break;
        case Call::Drain: adapter.drainErrors.push_back(c.error); ok = port->WaitUntilSent(); break;
        }
        EXPECT_EQ(ok, c.ok) << c.label;
        EXPECT_EQ(LastOpenFailure().rfind(c.reason, 0), 0u) << c.label << ": " << LastOpenFailure();
        EXPECT_EQ(LastOpenFailure().empty(), *c.reason == '\0') << c.label << ": " << LastOpenFailure();
        EXPECT_EQ(DeviceGoneReason().empty(), !c.gone) << c.label;
    }
    EXPECT_EQ(adapter.drains, 3) << "the interrupted drain is resumed";
}

// An adapter unplugged while the program waits for a card ends the wait with
// the reason, instead of reading as an empty slot for the whole 30 s.
TEST_F(FakeAdapter, UnpluggedAdapterEndsTheCardWait)
{
    VirtualClock clock;
    SystemPorts devices(clock);
    devices.SetLocalOpener([](const std::string& path, const std::shared_ptr<PortFailures>& record) {
        return PosixCommPort::Open(path, FakeCalls(), record);
    });
    PortChain chain(devices, clock);
    ReaderLink link(chain);
    setenv("TORVIK_COM5", kPath, 1);
    RecordingStatus status(clock);
    adapter.modemError = EIO;
    const int64_t start = clock.PeekMicros();
    EXPECT_FALSE(WaitForCard(link, 30, 5, ShownIn(status)));
    EXPECT_LT(clock.PeekMicros() - start, 2'000'000);
    EXPECT_EQ(link.failures.DeviceGoneReason(), "/dev/ttyFAKE0: the device went away (unplugged, or its driver failed)");
    unsetenv("TORVIK_COM5");
}

TEST_F(FakeAdapter, LowLatencyIsAskedForAndPutBackAtTheFinalClose)
{
    struct Case {
        const char* label;
        bool timerFile;
        bool serialRefused;
        int flagsAfterOpen;
        const char* timerAfterOpen;
    };
    const Case cases[] = {
        {"both", true, false, ASYNC_LOW_LATENCY, "1"},
        {"no sysfs timer", false, false, ASYNC_LOW_LATENCY, nullptr},
        {"low latency refused", true, true, 0, "1"},
    };
    for (const Case& c : cases) {
        adapter.files.clear();
        if (c.timerFile) adapter.files[kTimer] = "16";
        adapter.serialFlags = 0;
        adapter.serialRefused = c.serialRefused;
        auto port = PosixCommPort::Open(kPath, FakeCalls(), failures);
        ASSERT_NE(port, nullptr) << c.label << ": not getting low latency is no error";
        EXPECT_EQ(adapter.serialFlags, c.flagsAfterOpen) << c.label;
        if (c.timerAfterOpen) {
            EXPECT_EQ(adapter.files[kTimer], c.timerAfterOpen) << c.label;
        }
        port.reset();
        EXPECT_EQ(adapter.serialFlags, 0) << c.label;
        if (c.timerFile) {
            EXPECT_EQ(adapter.files[kTimer], "16") << c.label;
        }
    }
}

TEST_F(FakeAdapter, TheChannelsReopenKeepsTheDescriptor)
{
    VirtualClock clock;
    SystemPorts devices(clock);
    devices.SetLocalOpener([](const std::string& path, const std::shared_ptr<PortFailures>& record) {
        return PosixCommPort::Open(path, FakeCalls(), record);
    });
    PortChain chain(devices, clock);
    ReaderLink link(chain);
    adapter.files[kTimer] = "16";
    TSerialChannel& channel = link.SerialChannel;
    setenv("TORVIK_COM5", kPath, 1);
    ASSERT_TRUE(channel.Open(5, 5728, 8, kTwoStopBits, kNoParity, 0));
    // Carrier detect is the empty slot.
    EXPECT_TRUE(channel.CardSlotEmpty());
    adapter.lines &= ~TIOCM_CD;
    EXPECT_FALSE(channel.CardSlotEmpty());
    channel.ClearRts();
    for (uint32_t speed : {34000u, 34350u, 34700u}) {
        channel.Close();
        adapter.lineCalls.clear();
        ASSERT_TRUE(channel.Open(5, speed, 8, kTwoStopBits, kMarkParity, 0)) << speed;
        EXPECT_EQ(adapter.speed, speed);
        // Only the levels the channel asks for; RTS never goes up.
        for (const auto& call : adapter.lineCalls) EXPECT_EQ(call.first, TIOCMBIC) << speed;
    }
    EXPECT_EQ(adapter.opens, 1);
    EXPECT_EQ(adapter.closes, 0);
    channel.Close();
    // Another device: the kept one is really closed first.
    setenv("TORVIK_COM6", "/dev/ttyFAKE1", 1);
    EXPECT_FALSE(channel.Open(6, 9600, 8, kOneStopBit, kNoParity, 0));
    EXPECT_EQ(adapter.closes, 1);
    EXPECT_EQ(adapter.files[kTimer], "16") << "the latency timer is put back at the final close";
    // Unused past the keep time: really closed at the next message turn.
    ASSERT_TRUE(channel.Open(5, 9600, 8, kOneStopBit, kNoParity, 0));
    channel.Close();
    clock.Advance(3'000'000);
    link.ProcessPendingMessages();
    EXPECT_EQ(adapter.closes, 2);
    unsetenv("TORVIK_COM5");
    unsetenv("TORVIK_COM6");
}

}  // namespace
