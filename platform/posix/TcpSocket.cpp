// TCP streams on POSIX sockets: non-blocking sockets and poll() for every
// wait, so that no call outlasts its time limit.

#include "platform/TcpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

constexpr intptr_t kNoSocket = -1;

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool SetNonBlocking(int fd)
{
    const int flags = fcntl(fd, F_GETFL, 0);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Waits for `events` on fd until `deadline` (ms on NowMs's scale); a negative
// deadline waits without limit. Returns the revents, 0 on timeout, -1 on
// error.
int WaitFor(int fd, short events, int64_t deadline)
{
    for (;;) {
        int timeout = -1;
        if (deadline >= 0) {
            const int64_t left = deadline - NowMs();
            timeout = left > 0 ? static_cast<int>(left) : 0;
        }
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, timeout);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) return 0;
        return p.revents;
    }
}

int ConnectOne(const addrinfo* ai, int32_t timeoutMs)
{
    const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) return -1;
    if (!SetNonBlocking(fd)) {
        close(fd);
        return -1;
    }
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            close(fd);
            return -1;
        }
        const int r = WaitFor(fd, POLLOUT, NowMs() + (timeoutMs > 0 ? timeoutMs : 0));
        int error = 0;
        socklen_t len = sizeof error;
        if (r <= 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) {
            close(fd);
            return -1;
        }
    }
    // Frames are small and answered at once: do not hold them back.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace

std::unique_ptr<TcpSocket> TcpSocket::Connect(const std::string& host, uint16_t port, int32_t timeoutMs)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) return nullptr;
    int fd = -1;
    for (const addrinfo* ai = list; ai != nullptr && fd < 0; ai = ai->ai_next) fd = ConnectOne(ai, timeoutMs);
    freeaddrinfo(list);
    if (fd < 0) return nullptr;
    return std::make_unique<TcpSocket>(fd);
}

TcpSocket::TcpSocket(intptr_t nativeSocket) : socket_(nativeSocket) {}

TcpSocket::~TcpSocket() { Close(); }

void TcpSocket::Close()
{
    if (socket_ != kNoSocket) close(static_cast<int>(socket_));
    socket_ = kNoSocket;
}

bool TcpSocket::Send(const uint8_t* data, size_t count, int32_t timeoutMs)
{
    if (socket_ == kNoSocket) return false;
    const int fd = static_cast<int>(socket_);
    const int64_t deadline = NowMs() + (timeoutMs > 0 ? timeoutMs : 0);
    size_t sent = 0;
    while (sent < count) {
        const ssize_t n = send(fd, data + sent, count - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const int r = WaitFor(fd, POLLOUT, deadline);
            if (r > 0 && (r & (POLLERR | POLLHUP | POLLNVAL)) == 0) continue;
        }
        // Broken, or no room in time: part of the bytes may have gone, so
        // the stream is out of step and cannot be used again.
        Close();
        return false;
    }
    return true;
}

int32_t TcpSocket::Receive(uint8_t* buffer, size_t capacity, int32_t timeoutMs)
{
    if (socket_ == kNoSocket) return -1;
    if (capacity == 0) return 0;
    const int fd = static_cast<int>(socket_);
    const int64_t deadline = NowMs() + (timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        const ssize_t n = recv(fd, buffer, capacity, 0);
        if (n > 0) return static_cast<int32_t>(n);
        if (n == 0) return -1;  // orderly close by the peer
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        const int r = WaitFor(fd, POLLIN, deadline);
        if (r == 0) return 0;
        if (r < 0 || (r & POLLNVAL) != 0) return -1;
        // POLLIN or POLLHUP/POLLERR: the next recv tells which.
    }
}

std::unique_ptr<TcpListener> TcpListener::Listen(const std::string& host, uint16_t port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &list) != 0) return nullptr;
    std::unique_ptr<TcpListener> result;
    for (const addrinfo* ai = list; ai != nullptr && !result; ai = ai->ai_next) {
        const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        const int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_storage bound{};
        socklen_t len = sizeof bound;
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0 || listen(fd, 8) != 0 || !SetNonBlocking(fd) ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
            close(fd);
            continue;
        }
        uint16_t boundPort = 0;
        if (bound.ss_family == AF_INET)
            boundPort = ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
        else if (bound.ss_family == AF_INET6)
            boundPort = ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port);
        result = std::make_unique<TcpListener>(fd, boundPort);
    }
    freeaddrinfo(list);
    return result;
}

TcpListener::~TcpListener()
{
    if (socket_ != kNoSocket) close(static_cast<int>(socket_));
}

std::unique_ptr<TcpSocket> TcpListener::Accept(int32_t timeoutMs)
{
    if (socket_ == kNoSocket) return nullptr;
    const int fd = static_cast<int>(socket_);
    const int64_t deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
    for (;;) {
        const int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client >= 0) {
            const int one = 1;
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return std::make_unique<TcpSocket>(client);
        }
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return nullptr;
        if (WaitFor(fd, POLLIN, deadline) <= 0) return nullptr;
    }
}
