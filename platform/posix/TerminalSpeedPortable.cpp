// Line speeds through the portable termios calls, for systems other than
// Linux. Where the speed codes are the numbers themselves (the BSDs, macOS)
// any speed is offered to the driver; elsewhere only the standard speeds can
// be set.
#if !defined(__linux__)

#include "platform/posix/TerminalSpeed.h"

#include <termios.h>

#include <cerrno>

namespace {

struct StandardSpeed {
    uint32_t baud;
    speed_t code;
};

constexpr StandardSpeed kStandardSpeeds[] = {
    {50, B50},       {75, B75},       {110, B110},     {134, B134},     {150, B150},
    {200, B200},     {300, B300},     {600, B600},     {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},   {9600, B9600},   {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
};

// Speed codes are plain numbers on this system.
constexpr bool kNumericSpeedCodes = B9600 == 9600 && B38400 == 38400;

bool SpeedCode(uint32_t baud, speed_t& code)
{
    for (const StandardSpeed& s : kStandardSpeeds)
        if (s.baud == baud) {
            code = s.code;
            return true;
        }
    if (kNumericSpeedCodes) {
        code = static_cast<speed_t>(baud);
        return true;
    }
    return false;
}

int GetAttr(int fd, termios& t)
{
    int r;
    do {
        r = tcgetattr(fd, &t);
    } while (r < 0 && errno == EINTR);
    return r;
}

}  // namespace

bool SetTerminalSpeed(int fd, uint32_t baud)
{
    speed_t code = 0;
    if (baud == 0 || !SpeedCode(baud, code)) return false;
    termios t{};
    if (GetAttr(fd, t) < 0) return false;
    if (cfsetispeed(&t, code) < 0 || cfsetospeed(&t, code) < 0) return false;
    if (tcsetattr(fd, TCSANOW, &t) < 0) return false;
    // tcsetattr succeeds when any part of the change was made: check that
    // the speed itself was taken.
    termios check{};
    return GetAttr(fd, check) == 0 && cfgetospeed(&check) == code;
}

bool GetTerminalSpeed(int fd, uint32_t& baud)
{
    termios t{};
    if (GetAttr(fd, t) < 0) return false;
    const speed_t code = cfgetospeed(&t);
    for (const StandardSpeed& s : kStandardSpeeds)
        if (s.code == code) {
            baud = s.baud;
            return true;
        }
    if (kNumericSpeedCodes && code != 0) {
        baud = static_cast<uint32_t>(code);
        return true;
    }
    return false;
}

#endif
