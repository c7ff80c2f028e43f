#pragma once
// A played USB serial adapter behind the POSIX port's system calls
// (platform/posix/SystemCalls.h): the fake driver of the tests that reach
// what a pseudo-terminal cannot show (modem lines, break, a driver that
// rounds the speed or drops a format, interrupted and would-block calls, an
// unplug, the low-latency requests). Each test file that includes it has an
// adapter of its own, `adapter`, which the FakeAdapter fixture puts back to
// an empty slot before every test; FakeCalls() opens kPath onto it. Linux
// only (<linux/serial.h>).

#include <gtest/gtest.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/CommPort.h"
#include "platform/PortFailure.h"
#include "platform/posix/SystemCalls.h"

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

}  // namespace
