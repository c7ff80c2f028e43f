// The far end of a COM port for the Win32 port tests under Wine: a Linux
// pseudo-terminal that sends back every byte it receives, as the reader's
// line does. Wine reaches the terminal through a link in its dosdevices
// folder (comN -> /dev/pts/M), so the Windows test program sees a COM port.
//
//   pty_echo_peer SECONDS LINK...
//
// Points every LINK at the terminal, prints "ready /dev/pts/M" once it can be
// opened, echoes until SIGTERM/SIGINT or SECONDS have passed, then removes
// the links. Built and started by tools/test-windows.sh on the build host.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
volatile sig_atomic_t stopRequested = 0;
void OnSignal(int) { stopRequested = 1; }
}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s SECONDS LINK...\n", argv[0]);
        return 2;
    }
    const int seconds = std::atoi(argv[1]);
    const std::vector<std::string> links(argv + 2, argv + argc);

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("pseudo-terminal");
        return 1;
    }
    const std::string slaveName = ptsname(master);
    // Held open for the whole run: a terminal whose last user closes it
    // reports a hang-up on the master side.
    const int slave = open(slaveName.c_str(), O_RDWR | O_NOCTTY);
    if (slave < 0) {
        std::perror(slaveName.c_str());
        return 1;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);

    for (const std::string& link : links) {
        unlink(link.c_str());
        if (symlink(slaveName.c_str(), link.c_str()) != 0) {
            std::perror(link.c_str());
            return 1;
        }
    }

    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    std::printf("ready %s\n", slaveName.c_str());
    std::fflush(stdout);

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    unsigned char buffer[4096];
    while (!stopRequested && std::chrono::steady_clock::now() < end) {
        pollfd p{master, POLLIN, 0};
        const int n = poll(&p, 1, 100);
        if (n <= 0) continue;
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) {
            if (got < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) break;
            usleep(10000);
            continue;
        }
        for (ssize_t off = 0; off < got;) {
            const ssize_t put = write(master, buffer + off, static_cast<size_t>(got - off));
            if (put < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                break;
            }
            off += put;
        }
    }
    for (const std::string& link : links) unlink(link.c_str());
    return 0;
}
