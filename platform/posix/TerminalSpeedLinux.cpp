// Line speeds on Linux through termios2: any speed the driver can make, set
// with BOTHER and the numeric speed; the standard speeds keep their own codes
// so that drivers without BOTHER support still understand them.
#if defined(__linux__)

#include "platform/posix/TerminalSpeed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace {

struct StandardSpeed {
    uint32_t baud;
    unsigned int code;
};

constexpr StandardSpeed kStandardSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

unsigned int SpeedCode(uint32_t baud)
{
    for (const StandardSpeed& s : kStandardSpeeds)
        if (s.baud == baud) return s.code;
    return BOTHER;
}

int Ioctl(int fd, unsigned long request, termios2* t)
{
    int r;
    do {
        r = ioctl(fd, request, t);
    } while (r < 0 && errno == EINTR);
    return r;
}

}  // namespace

bool SetTerminalSpeed(int fd, uint32_t baud)
{
    if (baud == 0) return false;
    termios2 t{};
    if (Ioctl(fd, TCGETS2, &t) < 0) return false;
    const unsigned int code = SpeedCode(baud);
    // Output speed in the CBAUD bits, input speed in the same code shifted by
    // IBSHIFT; with BOTHER the numeric speeds below are used.
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= code | (code << IBSHIFT);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    return Ioctl(fd, TCSETS2, &t) == 0;
}

bool GetTerminalSpeed(int fd, uint32_t& baud)
{
    termios2 t{};
    if (Ioctl(fd, TCGETS2, &t) < 0) return false;
    // The kernel keeps c_ospeed up to date for standard codes as well.
    baud = t.c_ospeed;
    return true;
}

#endif
