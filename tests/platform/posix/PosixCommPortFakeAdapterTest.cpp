// The POSIX port over a played USB serial adapter: the system calls go to a
// fake driver (support/FakeAdapter.h), so the tests reach what a
// pseudo-terminal cannot show: modem lines, break, a driver that rounds the
// speed or drops a format, interrupted and would-block calls, an unplug in
// the middle of a read, and the low-latency requests. (The descriptor kept
// across the channel's reopens: tests/platform/KeptPortsTest.cpp.)

#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "devices/PortChain.h"
#include "devices/SystemPorts.h"
#include "platform/PortFailure.h"
#include "platform/posix/PosixCommPort.h"
#include "platform/posix/SystemCalls.h"
#include "reader/Usb_phoenixinterface.h"
#include "serial/ReaderLink.h"
#include "support/FakeAdapter.h"
#include "support/RecordingWindow.h"

namespace {

class PosixCommPortFakeAdapter : public FakeAdapter {};

TEST_F(PosixCommPortFakeAdapter, ModemLinesAndBreakReachTheDriver)
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

TEST_F(PosixCommPortFakeAdapter, SpeedAndFormatAreReadBackAfterSetting)
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

TEST_F(PosixCommPortFakeAdapter, ReadsRideOutInterruptionsAndReportAnUnplug)
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
TEST_F(PosixCommPortFakeAdapter, RefusalsAndAnUnplugSayWhy)
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
TEST_F(PosixCommPortFakeAdapter, UnpluggedAdapterEndsTheCardWait)
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

TEST_F(PosixCommPortFakeAdapter, LowLatencyIsAskedForAndPutBackAtTheFinalClose)
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

}  // namespace
