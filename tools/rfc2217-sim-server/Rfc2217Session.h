#pragma once
// The server side of a network serial port: one client connection in front
// of one open port. Takes the client's Telnet negotiation and Com Port
// Control commands, applies them to the port and confirms them with the
// values in force, passes data both ways (0xFF doubled on the wire), and
// notifies the client of modem line changes.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/CommPort.h"
#include "network/Rfc2217Codec.h"
#include "platform/TcpSocket.h"

class Rfc2217Session {
public:
    // `port` must outlive the session. The port's read timeouts are set so
    // that reads return at once.
    Rfc2217Session(ByteStream& client, CommPort& port);

    // Sends the opening negotiation. False when the connection is gone.
    bool Start();
    // One turn: takes what the client sent within waitMs, passes the port's
    // received bytes and modem line changes on. False once the client has
    // gone or the port has failed; the session is then over.
    bool Turn(int32_t waitMs);

private:
    class Handler;
    friend class Handler;

    bool Send(const std::vector<uint8_t>& bytes);
    void Reply(uint8_t code, const std::vector<uint8_t>& value);
    void Command(uint8_t code, const std::vector<uint8_t>& value);
    bool ApplyState();
    bool CheckModem(bool force);

    ByteStream& client_;
    CommPort& port_;
    rfc2217::TelnetDecoder decoder_;
    rfc2217::OptionNegotiator options_;
    LineSettings settings_{};
    uint8_t modemMask_ = 0xFF;
    int lastModem_ = -1;
    bool failed_ = false;
};
