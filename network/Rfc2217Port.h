#pragma once
// A reader on another machine, reached through a serial-over-network server
// that speaks Telnet with the Com Port Control option (RFC 2217). Selected
// when a port's resolved name is "rfc2217://HOST:PORT", for example
// TORVIK_COM3=rfc2217://127.0.0.1:7000.
//
// It keeps the port layer's contract (platform/CommPort.h):
//  - reads return at once with what is waiting, else wait up to the read
//    timeout for the first byte;
//  - line settings, RTS, DTR and break go out as Com Port Control commands,
//    and each call waits (at most Rfc2217Timing::replyMs) for the server to
//    confirm, so that a new speed or format is in force before the next
//    bytes go out;
//  - the modem status is the last NOTIFY-MODEMSTATE from the server (carrier
//    detect 0x80 is the reader's empty-slot signal); until the first one has
//    come the status cannot be read;
//  - purging the receive side drops what this port holds and asks the server
//    to drop its queue; bytes in flight before the server's confirmation are
//    dropped too;
//  - the protocol cannot ask whether the server's line has sent what it was
//    given (a server applies a new speed as soon as it reads the command):
//    WaitUntilSent returns once every byte has gone to the connection, which
//    Write already does, and the caller waits out the bytes' wire time;
//  - the server's adapter latency is not known;
//  - a connection that cannot be made or agreed is a port that cannot be
//    opened; one that drops is a port that has vanished: every later call
//    returns false.

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/CommPort.h"
#include "platform/PortFailure.h"
#include "network/Rfc2217Codec.h"
#include "platform/TcpSocket.h"

struct NetworkAddress {
    std::string host;
    uint16_t port = 0;
};

// HOST:PORT of "rfc2217://HOST:PORT" (an IPv6 host in brackets, an optional
// trailing "/"); nothing when the text is not of that form or the port is not
// 1 to 65535.
std::optional<NetworkAddress> ParseRfc2217Address(const std::string& resolved);

// What is wrong with a name that starts "rfc2217://", in words for the person
// who typed it ("rfc2217://host: no port; ..."); empty when the address is
// good. For front ends that refuse a malformed address before any run.
std::string Rfc2217AddressProblem(const std::string& resolved);

// Time limits of the network port, in milliseconds.
struct Rfc2217Timing {
    int32_t connectMs = 3000;   // TCP connection, per address
    int32_t negotiateMs = 2000; // the server's agreement to the Com Port option
    int32_t replyMs = 2000;     // the server's confirmation of a command
};

class Rfc2217Port final : public CommPort {
public:
    // Negotiates the Telnet options over a connected stream and asks for
    // modem-state notifications. Null when the server refuses the Com Port
    // option, does not answer within timing.negotiateMs, or the stream breaks.
    // Every time limit of the port runs on `clock`, which must outlive it. A
    // connection that drops once the port is started is recorded as a device
    // gone in `failures` (may be null), which the port keeps.
    static std::unique_ptr<Rfc2217Port> Start(std::unique_ptr<ByteStream> stream, Clock& clock,
                                              const Rfc2217Timing& timing = {},
                                              std::shared_ptr<PortFailures> failures = nullptr);

    bool SetTimeouts(const CommTimeouts& timeouts) override;
    bool SetupQueues(uint32_t inQueue, uint32_t outQueue) override;
    bool GetState(LineSettings& settings) override;
    bool SetState(const LineSettings& settings) override;
    bool Escape(uint32_t function) override;
    bool SetBreak() override;
    bool ClearBreak() override;
    bool GetModemStatus(uint32_t& status) override;
    bool Purge(uint32_t flags) override;
    bool Read(uint8_t* buffer, uint32_t count, uint32_t& bytesRead) override;
    bool Write(const uint8_t* buffer, uint32_t count, uint32_t& bytesWritten) override;
    bool WaitUntilSent() override;
    std::optional<uint32_t> LatencyTimerMs() override { return std::nullopt; }

    // True once the connection has failed; the port then refuses everything.
    bool Broken() const { return broken_; }

private:
    Rfc2217Port(std::unique_ptr<ByteStream> stream, Clock& clock, const Rfc2217Timing& timing,
                std::shared_ptr<PortFailures> failures);
    int64_t NowMs() { return clock_.NowMs(); }

    class Handler;
    friend class Handler;

    // Reads what the stream delivers within waitMs (0: only what is there)
    // and decodes it. False when the connection is gone.
    bool Pump(int32_t waitMs);
    // Takes in everything that has already arrived, without waiting.
    bool Drain();
    bool SendRaw(const std::vector<uint8_t>& bytes);
    // Sends a Com Port command whose confirmation must echo `value` (when
    // `check` is set) and records that it is awaited.
    bool SendCommand(uint8_t code, const std::vector<uint8_t>& value, bool check = true);
    // Waits until every awaited confirmation has come. False on timeout, a
    // confirmation with another value, or a broken connection.
    bool AwaitReplies();
    bool Control(uint8_t value);
    void Fail();

    struct Awaited {
        uint8_t code;
        std::vector<uint8_t> value;
        bool check;
    };

    std::unique_ptr<ByteStream> stream_;
    Clock& clock_;
    Rfc2217Timing timing_;
    std::shared_ptr<PortFailures> failures_;
    rfc2217::TelnetDecoder decoder_;
    rfc2217::OptionNegotiator options_;
    bool broken_ = false;
    // Set once Start has handed the port out: a failure from then on means
    // the reader went away.
    bool started_ = false;

    std::deque<uint8_t> received_;
    size_t receiveLimit_ = 65536;
    std::deque<Awaited> awaited_;
    bool refused_ = false;
    // Data before the server's confirmation of a receive purge is stale.
    int purgesInFlight_ = 0;
    std::optional<uint8_t> modemState_;
    bool modemWaited_ = false;
    bool flowSuspended_ = false;

    CommTimeouts timeouts_{};
    LineSettings settings_{};
};

// Connects to "rfc2217://HOST:PORT" and starts the port on `clock`; null
// when the name is malformed or the server cannot be reached or agreed with,
// with the reason recorded in `failures` (may be null), which the port keeps.
std::unique_ptr<CommPort> OpenNetworkDevice(const std::string& resolved, Clock& clock,
                                            const std::shared_ptr<PortFailures>& failures = nullptr,
                                            const Rfc2217Timing& timing = {});
