#pragma once
// A pseudo-terminal pair for the port tests: the test drives the master side
// as the far end of the line, and the code under test opens the slave by its
// path, as it would a USB serial adapter.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class PtyPair {
public:
    PtyPair()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            throw std::runtime_error("no pseudo-terminal available");
        const char* name = ptsname(master_);
        if (name == nullptr) throw std::runtime_error("pseudo-terminal has no slave name");
        slavePath_ = name;
    }
    ~PtyPair() { CloseMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& SlavePath() const { return slavePath_; }
    int Master() const { return master_; }

    // Hangs the line up, as unplugging the far end does.
    void CloseMaster()
    {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    void Send(const std::vector<uint8_t>& bytes) const
    {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n <= 0) throw std::runtime_error("write to pseudo-terminal master failed");
            done += static_cast<size_t>(n);
        }
    }

    // Collects up to `count` bytes sent by the slave side, waiting at most
    // timeoutMs in all.
    std::vector<uint8_t> Collect(size_t count, int timeoutMs) const
    {
        std::vector<uint8_t> out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < count) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                    .count();
            if (left <= 0) break;
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0 || (p.revents & POLLIN) == 0) break;
            uint8_t chunk[4096];
            const size_t want = count - out.size() < sizeof chunk ? count - out.size() : sizeof chunk;
            const ssize_t n = ::read(master_, chunk, want);
            if (n <= 0) break;
            out.insert(out.end(), chunk, chunk + n);
        }
        return out;
    }

private:
    int master_ = -1;
    std::string slavePath_;
};

// Waits until `fd` has input ready (the pseudo-terminal hands bytes over
// asynchronously); false after timeoutMs.
inline bool WaitReadable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) == 1 && (p.revents & POLLIN) != 0;
}

// Milliseconds elapsed on the real clock since `start`.
inline double MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}
