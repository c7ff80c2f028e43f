#pragma once
// A small TCP layer for network readers: a connected byte stream with
// bounded waits, and a listener for the tools that serve a reader over the
// network. One implementation per operating system (platform/posix,
// platform/win32); nothing here blocks without a time limit except name
// resolution, which the system's resolver bounds.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// A two-way byte stream. The network port speaks through this interface so
// that it can be driven by an in-memory peer in tests.
class ByteStream {
public:
    virtual ~ByteStream() = default;
    // Sends all `count` bytes, waiting at most `timeoutMs` for room in the
    // system's buffers. False when the connection is gone or the bytes could
    // not all be handed over in time (the stream is then unusable).
    virtual bool Send(const uint8_t* data, size_t count, int32_t timeoutMs) = 0;
    // Waits at most `timeoutMs` (0: does not wait) for bytes and reads up to
    // `capacity` of them. Returns the number read, 0 when none came in time,
    // or -1 when the peer has closed the connection or it has broken.
    virtual int32_t Receive(uint8_t* buffer, size_t capacity, int32_t timeoutMs) = 0;
};

class TcpSocket final : public ByteStream {
public:
    // Connects to host:port (a name, an IPv4 address or an IPv6 address
    // without brackets), trying each address the name resolves to until one
    // answers. Waits at most `timeoutMs` per address. Null when no address
    // accepts the connection.
    static std::unique_ptr<TcpSocket> Connect(const std::string& host, uint16_t port, int32_t timeoutMs);

    ~TcpSocket() override;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    bool Send(const uint8_t* data, size_t count, int32_t timeoutMs) override;
    int32_t Receive(uint8_t* buffer, size_t capacity, int32_t timeoutMs) override;
    // Closes the connection at once; later calls fail. Also done by the
    // destructor.
    void Close();

    // For the listener: takes over an accepted native socket (on Windows with
    // the use of Winsock taken for it, which the socket gives back).
    explicit TcpSocket(intptr_t nativeSocket);

private:
    intptr_t socket_;
};

// Accepts connections on one local address.
class TcpListener {
public:
    // Listens on host:port ("127.0.0.1", port 0 picks a free port). Null when
    // the address cannot be bound.
    static std::unique_ptr<TcpListener> Listen(const std::string& host, uint16_t port);

    ~TcpListener();
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // The port actually bound.
    uint16_t Port() const { return port_; }
    // Waits at most `timeoutMs` (negative: without limit) for a connection.
    // Null when none came in time or the listener failed.
    std::unique_ptr<TcpSocket> Accept(int32_t timeoutMs);

    TcpListener(intptr_t nativeSocket, uint16_t port) : socket_(nativeSocket), port_(port) {}

private:
    intptr_t socket_;
    uint16_t port_;
};
