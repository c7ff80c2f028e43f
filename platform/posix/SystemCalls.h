#pragma once
// The system calls the POSIX port makes, as one table of function pointers.
//
// Production uses the system's own calls. Tests hand a port a table with
// entries replaced (PosixCommPort::Open) to play a real USB serial adapter
// that a pseudo-terminal cannot imitate: modem lines, a driver that rounds the
// speed or drops a format, interrupted and would-block calls, an unplug in the
// middle of a read, the low-latency requests.

#include <poll.h>
#include <sys/types.h>
#include <termios.h>

#include <cstdint>
#include <string>

struct PosixSystemCalls {
    int (*open)(const char* path, int flags);
    int (*close)(int fd);
    int (*isatty)(int fd);
    int (*flock)(int fd, int operation);
    // ioctl with a pointer argument (or nullptr).
    int (*ioctl)(int fd, unsigned long request, void* arg);
    int (*tcgetattr)(int fd, termios* t);
    int (*tcsetattr)(int fd, int when, const termios* t);
    int (*tcflush)(int fd, int queue);
    // Waits until the output queue has been sent.
    int (*tcdrain)(int fd);
    ssize_t (*read)(int fd, void* buffer, size_t count);
    ssize_t (*write)(int fd, const void* buffer, size_t count);
    int (*poll)(pollfd* fds, nfds_t count, int timeoutMs);
    // The line speed (platform/posix/TerminalSpeed.h).
    bool (*setSpeed)(int fd, uint32_t baud);
    bool (*getSpeed)(int fd, uint32_t& baud);
    // Reads / writes a small text file (the adapter's sysfs attributes).
    bool (*readText)(const std::string& path, std::string& text);
    bool (*writeText)(const std::string& path, const std::string& text);
};

// The system's own calls.
const PosixSystemCalls& RealSystemCalls();
