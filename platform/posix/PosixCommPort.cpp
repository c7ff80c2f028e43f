#include "platform/posix/PosixCommPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/PortFailure.h"
#include "platform/LocalPorts.h"
#include "platform/posix/SystemCalls.h"

namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

SteadyTime Now() { return std::chrono::steady_clock::now(); }

SteadyTime AddMs(SteadyTime t, uint64_t ms)
{
    // Far beyond any wait that matters; keeps the time point from overflowing.
    constexpr uint64_t kCap = 1000ull * 60 * 60 * 24 * 365;
    return t + std::chrono::milliseconds(ms < kCap ? ms : kCap);
}

// Milliseconds from now until t for poll(): rounded up, 0 once t has passed.
int MsUntil(SteadyTime t)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(t - Now()).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

int IoctlRetry(const PosixSystemCalls& sys, int fd, unsigned long request, void* arg)
{
    int r;
    do {
        r = sys.ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r;
}

// The errors of a modem-line request on a device that has no modem lines
// (a pseudo-terminal): the request is not understood, as opposed to failing.
bool LacksModemLines(int error) { return error == ENOTTY || error == EINVAL || error == ENOTSUP; }

enum class LineChange { Done, NoSuchLine, Failed };

LineChange SetModemLine(const PosixSystemCalls& sys, int fd, int line, bool high)
{
    int bits = line;
    if (IoctlRetry(sys, fd, high ? TIOCMBIS : TIOCMBIC, &bits) == 0) return LineChange::Done;
    return LacksModemLines(errno) ? LineChange::NoSuchLine : LineChange::Failed;
}

// Raw mode: bytes pass through untouched in both directions; reads never
// wait inside the driver (the port waits with poll).
void MakeRaw(termios& t)
{
    cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | IGNPAR | PARMRK | INPCK | ISTRIP);
    t.c_cflag |= CLOCAL | CREAD;
#ifdef CRTSCTS
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

// The control-mode bit that turns parity into a fixed mark or space bit;
// 0 where the system has none.
constexpr tcflag_t StickParityFlag()
{
#ifdef CMSPAR
    return CMSPAR;
#else
    return 0;
#endif
}

// The control-mode bits for a parity code; false when the system cannot
// make it.
bool ParityFlags(uint8_t parity, tcflag_t& flags)
{
    switch (parity) {
    case kNoParity: flags = 0; return true;
    case kOddParity: flags = PARENB | PARODD; return true;
    case kEvenParity: flags = PARENB; return true;
    case kMarkParity:
        flags = PARENB | PARODD | StickParityFlag();
        return StickParityFlag() != 0;
    case kSpaceParity:
        flags = PARENB | StickParityFlag();
        return StickParityFlag() != 0;
    default: return false;
    }
}

bool SizeFlag(uint8_t byteSize, tcflag_t& flag)
{
    switch (byteSize) {
    case 5: flag = CS5; return true;
    case 6: flag = CS6; return true;
    case 7: flag = CS7; return true;
    case 8: flag = CS8; return true;
    default: return false;
    }
}

// CSTOPB gives two stop bits, or one and a half on a 5-bit line.
bool StopFlag(uint8_t stopBits, uint8_t byteSize, tcflag_t& flag)
{
    switch (stopBits) {
    case kOneStopBit: flag = 0; return true;
    case kOne5StopBits: flag = CSTOPB; return true;
    case kTwoStopBits: flag = CSTOPB; return byteSize != 5;
    default: return false;
    }
}

// The control-mode bits that SetState decides and then checks were taken.
constexpr tcflag_t kFormatBits = CSIZE | PARENB | PARODD | CSTOPB | StickParityFlag();

// The flow-control and handshake modes the port cannot honour.
bool AsksForFlowControl(const LineSettings& s)
{
    return s.fOutxCtsFlow || s.fOutxDsrFlow || s.fDsrSensitivity || s.fOutX || s.fInX ||
           (s.fDtrControl != kDtrControlDisable && s.fDtrControl != kDtrControlEnable) ||
           (s.fRtsControl != kRtsControlDisable && s.fRtsControl != kRtsControlEnable);
}

enum class Drain { Ok, Failed };

// The group that owns the device, for the hint after a refused open.
std::string OwningGroup(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    const group* g = ::getgrgid(st.st_gid);
    return g != nullptr && g->gr_name != nullptr ? g->gr_name : std::string();
}

// Why an open was refused: the device's own permissions, or a folder on the
// way to it that may not be entered (then no group would help).
std::string RefusedOpen(const std::string& path, int error)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 && errno == EACCES)
        return path + ": permission denied: a folder on the way to it may not be entered";
    return DescribeOpenError(path, error, OwningGroup(path));
}

// The adapter's latency timer in sysfs (USB serial chips that gather bytes
// before passing them on), by the device's name under /dev.
std::string LatencyTimerPath(const std::string& path)
{
    std::string name = path;
    if (char* real = ::realpath(path.c_str(), nullptr)) {
        name = real;
        std::free(real);
    }
    const std::string::size_type slash = name.rfind('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    return "/sys/class/tty/" + name + "/device/latency_timer";
}

// Whether `taken` is within 2 % of `asked`: what a UART's divider may miss
// by and still talk to the far end.
bool CloseEnough(uint32_t taken, uint32_t asked)
{
    const uint64_t diff = taken > asked ? taken - asked : asked - taken;
    return diff * 50 <= asked;
}

}  // namespace

std::unique_ptr<PosixCommPort> PosixCommPort::Open(const std::string& path, const PosixSystemCalls& sys,
                                                   std::shared_ptr<PortFailures> failures)
{
    if (path.empty()) return nullptr;
    const auto record = [&failures](const std::string& reason) {
        if (failures) failures->RecordOpenFailure(reason);
    };
    const int fd = sys.open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        record(error == EACCES || error == EPERM ? RefusedOpen(path, error) : DescribeOpenError(path, error));
        return nullptr;
    }
    auto fail = [fd, &path, &sys, &record](int error) -> std::unique_ptr<PosixCommPort> {
        sys.close(fd);
        record(DescribeOpenError(path, error));
        return nullptr;
    };
    if (!sys.isatty(fd)) return fail(ENOTTY);
    // The lock first: TIOCEXCL must only be set by the one user that holds
    // the device, since closing releases it again.
    if (sys.flock(fd, LOCK_EX | LOCK_NB) < 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
#ifdef TIOCEXCL
    // Keeps others from opening the device at all; not every system or
    // device honours it, which the lock above covers among our own users.
    IoctlRetry(sys, fd, TIOCEXCL, nullptr);
#endif
    termios t{};
    if (sys.tcgetattr(fd, &t) < 0) return fail(errno);
    MakeRaw(t);
    if (sys.tcsetattr(fd, TCSANOW, &t) < 0) return fail(errno);
    int lines = 0;
    const bool modemLines = IoctlRetry(sys, fd, TIOCMGET, &lines) == 0 || !LacksModemLines(errno);
    std::unique_ptr<PosixCommPort> port(new PosixCommPort(fd, modemLines, sys, std::move(failures)));
    port->path_ = path;
    if (modemLines) port->AskForLowLatency();
    return port;
}

void PosixCommPort::AskForLowLatency()
{
    // Bytes received are passed on at once instead of at the next tick of
    // the adapter's timer (16 ms on many chips): every exchange waits for a
    // short answer. Not getting it is no error; what was there before is put
    // back at the final close.
#if defined(__linux__) && defined(ASYNC_LOW_LATENCY)
    serial_struct serial{};
    if (IoctlRetry(sys_, fd_, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        restoreLowLatency_ = IoctlRetry(sys_, fd_, TIOCSSERIAL, &serial) == 0;
    }
#endif
    const std::string timer = LatencyTimerPath(path_);
    std::string before;
    if (sys_.readText(timer, before) && before != "1" && before != "0" && !before.empty() &&
        sys_.writeText(timer, "1"))
        latencyTimerBefore_ = before;
}

void PosixCommPort::RestoreLatency()
{
#if defined(__linux__) && defined(ASYNC_LOW_LATENCY)
    serial_struct serial{};
    if (restoreLowLatency_ && IoctlRetry(sys_, fd_, TIOCGSERIAL, &serial) == 0) {
        serial.flags &= ~ASYNC_LOW_LATENCY;
        IoctlRetry(sys_, fd_, TIOCSSERIAL, &serial);
    }
#endif
    if (!latencyTimerBefore_.empty()) sys_.writeText(LatencyTimerPath(path_), latencyTimerBefore_);
}

PosixCommPort::~PosixCommPort()
{
    RestoreLatency();
#ifdef TIOCNXCL
    IoctlRetry(sys_, fd_, TIOCNXCL, nullptr);
#endif
    sys_.close(fd_);  // also releases the lock
}

bool PosixCommPort::SetTimeouts(const CommTimeouts& timeouts)
{
    timeouts_ = timeouts;
    return true;
}

bool PosixCommPort::SetupQueues(uint32_t, uint32_t)
{
    termios t{};
    return sys_.tcgetattr(fd_, &t) == 0;
}

bool PosixCommPort::GetState(LineSettings& settings)
{
    termios t{};
    if (sys_.tcgetattr(fd_, &t) < 0) return false;
    LineSettings s = settings_;
    uint32_t baud = 0;
    if (sys_.getSpeed(fd_, baud) && baud != 0) s.BaudRate = baud;

    if (modemLines_) {
        switch (t.c_cflag & CSIZE) {
        case CS5: s.ByteSize = 5; break;
        case CS6: s.ByteSize = 6; break;
        case CS7: s.ByteSize = 7; break;
        default: s.ByteSize = 8; break;
        }
        const bool odd = (t.c_cflag & PARODD) != 0;
        if ((t.c_cflag & PARENB) == 0)
            s.Parity = kNoParity;
        else if (StickParityFlag() != 0 && (t.c_cflag & StickParityFlag()) != 0)
            s.Parity = odd ? kMarkParity : kSpaceParity;
        else
            s.Parity = odd ? kOddParity : kEvenParity;
    }
    if ((t.c_cflag & CSTOPB) == 0)
        s.StopBits = kOneStopBit;
    else
        s.StopBits = s.ByteSize == 5 ? kOne5StopBits : kTwoStopBits;
    s.fParity = (t.c_iflag & INPCK) != 0;

    settings = s;
    return true;
}

bool PosixCommPort::SetState(const LineSettings& settings)
{
    tcflag_t sizeFlag = 0, parityFlags = 0, stopFlag = 0;
    if (settings.BaudRate == 0 || !SizeFlag(settings.ByteSize, sizeFlag) ||
        !ParityFlags(settings.Parity, parityFlags) ||
        !StopFlag(settings.StopBits, settings.ByteSize, stopFlag) || AsksForFlowControl(settings))
        return false;

    termios t{};
    if (sys_.tcgetattr(fd_, &t) < 0) return false;
    MakeRaw(t);
    if (settings.fParity) t.c_iflag |= INPCK;
    t.c_cflag &= ~kFormatBits;
    t.c_cflag |= sizeFlag | parityFlags | stopFlag;
    if (sys_.tcsetattr(fd_, TCSANOW, &t) < 0) return false;

    // tcsetattr succeeds when any part of the change was made, and drivers
    // quietly drop what their hardware cannot do (mark and space parity
    // among them): check that the line format was taken as asked. A device
    // without modem lines carries no frames, and keeps what it likes.
    termios taken{};
    if (sys_.tcgetattr(fd_, &taken) < 0) return false;
    if (modemLines_ && ((taken.c_cflag & kFormatBits) != (t.c_cflag & kFormatBits) ||
                        (taken.c_iflag & INPCK) != (t.c_iflag & INPCK)))
        return Refuse("the driver did not take the line format (data bits, parity, stop bits) as asked");

    if (!sys_.setSpeed(fd_, settings.BaudRate))
        return Refuse("the driver refused " + std::to_string(settings.BaudRate) + " baud");
    // Drivers set the nearest speed their divider makes; more than 2 % off
    // and the card would not understand a frame.
    uint32_t speed = 0;
    if (!sys_.getSpeed(fd_, speed))
        return Refuse("the speed in force cannot be read back");
    if (!CloseEnough(speed, settings.BaudRate))
        return Refuse("the driver set " + std::to_string(speed) + " baud instead of " +
                      std::to_string(settings.BaudRate) + " (more than 2 % off)");

    // RTS and DTR: levels a device without modem lines cannot take are
    // ignored, so that bridged ports on pseudo-terminals open.
    const LineChange rts = SetModemLine(sys_, fd_, TIOCM_RTS, settings.fRtsControl == kRtsControlEnable);
    const LineChange dtr = SetModemLine(sys_, fd_, TIOCM_DTR, settings.fDtrControl == kDtrControlEnable);
    if (rts == LineChange::Failed || dtr == LineChange::Failed) return false;

    settings_ = settings;
    return true;
}

bool PosixCommPort::Escape(uint32_t function)
{
    int line = 0;
    bool high = false;
    switch (function) {
    case kEscSetRts: line = TIOCM_RTS; high = true; break;
    case kEscClrRts: line = TIOCM_RTS; high = false; break;
    case kEscSetDtr: line = TIOCM_DTR; high = true; break;
    case kEscClrDtr: line = TIOCM_DTR; high = false; break;
    default: return false;
    }
    return SetModemLine(sys_, fd_, line, high) == LineChange::Done;
}

bool PosixCommPort::SetBreak()
{
    if (IoctlRetry(sys_, fd_, TIOCSBRK, nullptr) == 0) return true;
    // Drivers of adapters that cannot hold the line in break say so: usb-serial
    // drivers without break (ENOTTY, among them PL2303HXD clones), CDC-ACM
    // devices that do not announce break (EOPNOTSUPP), and a device that
    // stalls the request (EPIPE). The reader then never sees its attention
    // sequence; say why.
    const int error = errno;
    if (error == ENOTTY || error == EPIPE || error == EOPNOTSUPP
#if defined(ENOTSUP) && ENOTSUP != EOPNOTSUPP
        || error == ENOTSUP
#endif
    )
        return Refuse("the driver cannot send a line break (" + std::string(std::strerror(error)) +
                      "), and the reader is set up only after one; use another adapter");
    if (error == EIO || error == ENODEV || error == ENXIO) return ReportGone();
    return false;
}

bool PosixCommPort::ClearBreak() { return IoctlRetry(sys_, fd_, TIOCCBRK, nullptr) == 0; }

bool PosixCommPort::GetModemStatus(uint32_t& status)
{
    int lines = 0;
    if (IoctlRetry(sys_, fd_, TIOCMGET, &lines) < 0) {
        // An unplugged adapter answers EIO (the line has hung up) or ENODEV
        // (its driver has let go): the device is gone, not an empty slot.
        if (errno == EIO || errno == ENODEV) return ReportGone();
        return false;
    }
    status = 0;
    if (lines & TIOCM_CTS) status |= kMsCtsOn;
    if (lines & TIOCM_DSR) status |= kMsDsrOn;
    if (lines & TIOCM_RI) status |= kMsRingOn;
    if (lines & TIOCM_CD) status |= kMsRlsdOn;
    return true;
}

bool PosixCommPort::Purge(uint32_t flags)
{
    const bool rx = (flags & kPurgeRxClear) != 0;
    const bool tx = (flags & kPurgeTxClear) != 0;
    if (!rx && !tx) return true;
    const int queue = rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH;
    return sys_.tcflush(fd_, queue) == 0;
}

bool PosixCommPort::WaitUntilSent()
{
    int r;
    do {
        r = sys_.tcdrain(fd_);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return true;
    if (errno == EIO || errno == ENXIO || errno == ENODEV) return ReportGone();
    return false;
}

std::optional<uint32_t> PosixCommPort::LatencyTimerMs()
{
    // Only USB adapters have one, and their driver shows it in sysfs; a
    // pseudo-terminal or a built-in UART has none to tell of.
    std::string text;
    if (!modemLines_ || !sys_.readText(LatencyTimerPath(path_), text)) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long ms = std::strtoul(text.c_str(), &end, 10);
    if (end == text.c_str() || errno != 0 || ms > 1000) return std::nullopt;
    return static_cast<uint32_t>(ms);
}

namespace {

enum class WaitResult { Ready, TimedOut, HungUp };

// Waits until the descriptor is ready for `events`, for at most timeoutMs
// (-1: no limit). A hang-up or error counts as ready when it comes with the
// event itself, so that what is still waiting can be read first.
WaitResult WaitFor(const PosixSystemCalls& sys, int fd, short events, int timeoutMs)
{
    const SteadyTime deadline = AddMs(Now(), timeoutMs < 0 ? 0 : static_cast<uint64_t>(timeoutMs));
    for (;;) {
        pollfd p{fd, events, 0};
        const int wait = timeoutMs < 0 ? -1 : MsUntil(deadline);
        const int r = sys.poll(&p, 1, wait);
        if (r < 0) {
            if (errno == EINTR) continue;
            return WaitResult::HungUp;
        }
        if (r == 0) return WaitResult::TimedOut;
        if (p.revents & events) return WaitResult::Ready;
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return WaitResult::HungUp;
    }
}

// True when the device has hung up or failed (poll says so at once).
bool HasHungUp(const PosixSystemCalls& sys, int fd)
{
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
        r = sys.poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// Reads what is waiting, without waiting, until `count` bytes are in.
Drain ReadWaiting(const PosixSystemCalls& sys, int fd, uint8_t* buffer, uint32_t count, uint32_t& got)
{
    while (got < count) {
        const ssize_t n = sys.read(fd, buffer + got, count - got);
        if (n > 0) {
            got += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Drain::Ok;
        if (n < 0) return Drain::Failed;
        // 0: nothing waiting, or the end of a device that has hung up.
        return HasHungUp(sys, fd) ? Drain::Failed : Drain::Ok;
    }
    return Drain::Ok;
}

}  // namespace

bool PosixCommPort::Read(uint8_t* buffer, uint32_t count, uint32_t& bytesRead)
{
    bytesRead = 0;
    if (count == 0) return true;
    const CommTimeouts& t = timeouts_;
    const SteadyTime start = Now();
    uint32_t got = 0;

    // What is waiting already.
    if (ReadWaiting(sys_, fd_, buffer, count, got) == Drain::Failed) {
        bytesRead = got;
        if (got == 0) ReportGone();
        return got > 0;
    }
    if (got == count) {
        bytesRead = got;
        return true;
    }

    const bool intervalOnly = t.ReadIntervalTimeout == kMaxDword;
    if ((intervalOnly && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0) ||
        (t.ReadIntervalTimeout == 0 && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0)) {
        // Return at once with what was waiting.
        bytesRead = got;
        return true;
    }

    if (intervalOnly && t.ReadTotalTimeoutMultiplier == kMaxDword) {
        // The channel's read: what was waiting, else the first arrival.
        if (got > 0 || t.ReadTotalTimeoutConstant == 0) {
            bytesRead = got;
            return true;
        }
        const int wait = t.ReadTotalTimeoutConstant == kMaxDword
                             ? -1
                             : MsUntil(AddMs(start, t.ReadTotalTimeoutConstant));
        const WaitResult w = WaitFor(sys_, fd_, POLLIN, wait);
        if (w == WaitResult::HungUp) return ReportGone();
        if (w == WaitResult::TimedOut) return true;
        const Drain d = ReadWaiting(sys_, fd_, buffer, count, got);
        bytesRead = got;
        if (d == Drain::Failed && got == 0) return ReportGone();
        return true;
    }

    // The general rules: a total limit and a limit between bytes.
    const uint64_t totalMs = static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * count +
                             t.ReadTotalTimeoutConstant;
    const bool hasTotal = totalMs != 0;
    const SteadyTime totalDeadline = AddMs(start, totalMs);
    const bool hasInterval = t.ReadIntervalTimeout != 0 && !intervalOnly;
    SteadyTime lastArrival = Now();

    while (got < count) {
        int wait = -1;
        if (hasTotal) wait = MsUntil(totalDeadline);
        if (hasInterval && got > 0) {
            const int gap = MsUntil(AddMs(lastArrival, t.ReadIntervalTimeout));
            wait = wait < 0 ? gap : (gap < wait ? gap : wait);
        }
        if (wait == 0) break;
        const WaitResult w = WaitFor(sys_, fd_, POLLIN, wait);
        if (w == WaitResult::TimedOut) break;
        if (w == WaitResult::HungUp) {
            bytesRead = got;
            return got > 0 || ReportGone();
        }
        const uint32_t before = got;
        const Drain d = ReadWaiting(sys_, fd_, buffer, count, got);
        if (got > before) lastArrival = Now();
        if (d == Drain::Failed) {
            bytesRead = got;
            return got > 0 || ReportGone();
        }
    }
    bytesRead = got;
    return true;
}

bool PosixCommPort::Refuse(const std::string& why)
{
    if (failures_) failures_->RecordOpenFailure(path_ + ": " + why);
    return false;
}

bool PosixCommPort::ReportGone()
{
    if (failures_) failures_->RecordDeviceGone(path_ + ": the device went away (unplugged, or its driver failed)");
    return false;
}

bool PosixCommPort::Write(const uint8_t* buffer, uint32_t count, uint32_t& bytesWritten)
{
    bytesWritten = 0;
    const uint64_t totalMs = static_cast<uint64_t>(timeouts_.WriteTotalTimeoutMultiplier) * count +
                             timeouts_.WriteTotalTimeoutConstant;
    const bool hasTotal = totalMs != 0;
    const SteadyTime deadline = AddMs(Now(), totalMs);
    uint32_t done = 0;
    while (done < count) {
        const ssize_t n = sys_.write(fd_, buffer + done, count - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            bytesWritten = done;
            return errno == EIO || errno == ENXIO || errno == ENODEV ? ReportGone() : false;
        }
        // The driver's queue is full: wait for room within the time left.
        const int wait = hasTotal ? MsUntil(deadline) : -1;
        if (wait == 0) break;
        const WaitResult w = WaitFor(sys_, fd_, POLLOUT, wait);
        if (w == WaitResult::TimedOut) break;
        if (w == WaitResult::HungUp) {
            bytesWritten = done;
            return ReportGone();
        }
    }
    bytesWritten = done;
    return true;
}

std::unique_ptr<CommPort> OpenLocalSerialDevice(const std::string& path, const std::shared_ptr<PortFailures>& failures)
{
    return PosixCommPort::Open(path, RealSystemCalls(), failures);
}
