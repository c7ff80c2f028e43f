// TCP streams on Winsock: non-blocking sockets and select() for every wait,
// so that no call outlasts its time limit. Winsock counts its users: every
// socket and listener holds one use (WSAStartup), taken by whoever makes it
// and given back (WSACleanup) when it goes.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/TcpSocket.h"

#include <chrono>

namespace {

constexpr intptr_t kNoSocket = static_cast<intptr_t>(INVALID_SOCKET);

// Takes one use of Winsock; false when it cannot be started.
bool UseWinsock()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool SetNonBlocking(SOCKET s)
{
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}

// Waits until s is readable (or writable) or `deadline` passes; a negative
// deadline waits without limit. 1 ready, 0 timeout, -1 error.
int WaitFor(SOCKET s, bool forWrite, int64_t deadline)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set errors;
    FD_ZERO(&errors);
    FD_SET(s, &errors);
    timeval tv{};
    timeval* limit = nullptr;
    if (deadline >= 0) {
        int64_t left = deadline - NowMs();
        if (left < 0) left = 0;
        tv.tv_sec = static_cast<long>(left / 1000);
        tv.tv_usec = static_cast<long>((left % 1000) * 1000);
        limit = &tv;
    }
    const int r = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, &errors, limit);
    if (r < 0) return -1;
    if (r == 0) return 0;
    return FD_ISSET(s, &errors) && !FD_ISSET(s, &set) ? -1 : 1;
}

void NoDelay(SOCKET s)
{
    const BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

SOCKET ConnectOne(const addrinfo* ai, int32_t timeoutMs)
{
    SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    if (!SetNonBlocking(s)) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    if (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            closesocket(s);
            return INVALID_SOCKET;
        }
        int error = 0;
        int len = sizeof error;
        if (WaitFor(s, true, NowMs() + (timeoutMs > 0 ? timeoutMs : 0)) <= 0 ||
            getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0 || error != 0) {
            closesocket(s);
            return INVALID_SOCKET;
        }
    }
    NoDelay(s);
    return s;
}

// Connects to the first address of host:port that answers; INVALID_SOCKET
// when none does.
SOCKET ConnectAny(const std::string& host, uint16_t port, int32_t timeoutMs)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) return INVALID_SOCKET;
    SOCKET s = INVALID_SOCKET;
    for (const addrinfo* ai = list; ai != nullptr && s == INVALID_SOCKET; ai = ai->ai_next) s = ConnectOne(ai, timeoutMs);
    freeaddrinfo(list);
    return s;
}

}  // namespace

std::unique_ptr<TcpSocket> TcpSocket::Connect(const std::string& host, uint16_t port, int32_t timeoutMs)
{
    // The use taken here goes to the socket, or back when there is none.
    if (!UseWinsock()) return nullptr;
    const SOCKET s = ConnectAny(host, port, timeoutMs);
    if (s == INVALID_SOCKET) {
        WSACleanup();
        return nullptr;
    }
    return std::make_unique<TcpSocket>(static_cast<intptr_t>(s));
}

TcpSocket::TcpSocket(intptr_t nativeSocket) : socket_(nativeSocket) {}

TcpSocket::~TcpSocket()
{
    Close();
    WSACleanup();
}

void TcpSocket::Close()
{
    if (socket_ != kNoSocket) closesocket(static_cast<SOCKET>(socket_));
    socket_ = kNoSocket;
}

bool TcpSocket::Send(const uint8_t* data, size_t count, int32_t timeoutMs)
{
    if (socket_ == kNoSocket) return false;
    const SOCKET s = static_cast<SOCKET>(socket_);
    const int64_t deadline = NowMs() + (timeoutMs > 0 ? timeoutMs : 0);
    size_t sent = 0;
    while (sent < count) {
        const size_t chunk = count - sent > 0x10000 ? 0x10000 : count - sent;
        const int n = send(s, reinterpret_cast<const char*>(data + sent), static_cast<int>(chunk), 0);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && WSAGetLastError() == WSAEWOULDBLOCK && WaitFor(s, true, deadline) > 0) continue;
        Close();  // broken, or no room in time: the stream is out of step
        return false;
    }
    return true;
}

int32_t TcpSocket::Receive(uint8_t* buffer, size_t capacity, int32_t timeoutMs)
{
    if (socket_ == kNoSocket) return -1;
    if (capacity == 0) return 0;
    const SOCKET s = static_cast<SOCKET>(socket_);
    const int64_t deadline = NowMs() + (timeoutMs > 0 ? timeoutMs : 0);
    const int ask = capacity > 0x10000 ? 0x10000 : static_cast<int>(capacity);
    for (;;) {
        const int n = recv(s, reinterpret_cast<char*>(buffer), ask, 0);
        if (n > 0) return n;
        if (n == 0) return -1;  // orderly close by the peer
        if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
        const int r = WaitFor(s, false, deadline);
        if (r == 0) return 0;
        if (r < 0) return -1;
    }
}

namespace {

// Binds and listens on the first address of host:port that takes it;
// INVALID_SOCKET when none does.
SOCKET ListenAny(const std::string& host, uint16_t port, uint16_t& boundPort)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &list) != 0) return INVALID_SOCKET;
    SOCKET result = INVALID_SOCKET;
    for (const addrinfo* ai = list; ai != nullptr && result == INVALID_SOCKET; ai = ai->ai_next) {
        SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
        if (s == INVALID_SOCKET) continue;
        sockaddr_storage bound{};
        int len = sizeof bound;
        if (bind(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0 || listen(s, 8) != 0 || !SetNonBlocking(s) ||
            getsockname(s, reinterpret_cast<sockaddr*>(&bound), &len) != 0) {
            closesocket(s);
            continue;
        }
        boundPort = 0;
        if (bound.ss_family == AF_INET)
            boundPort = ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
        else if (bound.ss_family == AF_INET6)
            boundPort = ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port);
        result = s;
    }
    freeaddrinfo(list);
    return result;
}

}  // namespace

std::unique_ptr<TcpListener> TcpListener::Listen(const std::string& host, uint16_t port)
{
    // The use taken here goes to the listener, or back when there is none.
    if (!UseWinsock()) return nullptr;
    uint16_t boundPort = 0;
    const SOCKET s = ListenAny(host, port, boundPort);
    if (s == INVALID_SOCKET) {
        WSACleanup();
        return nullptr;
    }
    return std::make_unique<TcpListener>(static_cast<intptr_t>(s), boundPort);
}

TcpListener::~TcpListener()
{
    if (socket_ != kNoSocket) closesocket(static_cast<SOCKET>(socket_));
    WSACleanup();
}

std::unique_ptr<TcpSocket> TcpListener::Accept(int32_t timeoutMs)
{
    if (socket_ == kNoSocket) return nullptr;
    const SOCKET s = static_cast<SOCKET>(socket_);
    const int64_t deadline = timeoutMs < 0 ? -1 : NowMs() + timeoutMs;
    for (;;) {
        SOCKET client = accept(s, nullptr, nullptr);
        if (client != INVALID_SOCKET) {
            SetNonBlocking(client);
            NoDelay(client);
            // The new socket's own use of Winsock.
            if (!UseWinsock()) {
                closesocket(client);
                return nullptr;
            }
            return std::make_unique<TcpSocket>(static_cast<intptr_t>(client));
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK) return nullptr;
        if (WaitFor(s, false, deadline) <= 0) return nullptr;
    }
}
