#pragma once
// The wire format of network serial ports: Telnet (RFC 854/855) carrying the
// Com Port Control option (RFC 2217). Shared by the network port (the client
// side) and the tools that serve a reader over the network (the server side).
//
// Data bytes travel as they are, except 0xFF (IAC), which is doubled. Option
// negotiation is IAC WILL/WONT/DO/DONT option; Com Port Control commands are
// IAC SB 44 code value IAC SE, where the server answers a client's code c
// with code c + 100.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace rfc2217 {

// Telnet commands.
constexpr uint8_t kIac = 255;
constexpr uint8_t kDont = 254;
constexpr uint8_t kDo = 253;
constexpr uint8_t kWont = 252;
constexpr uint8_t kWill = 251;
constexpr uint8_t kSb = 250;
constexpr uint8_t kSe = 240;

// Telnet options.
constexpr uint8_t kOptBinary = 0;
constexpr uint8_t kOptEcho = 1;
constexpr uint8_t kOptSuppressGoAhead = 3;
constexpr uint8_t kOptComPort = 44;

// Com Port Control command codes, client to server. The server's answer to a
// code is the same code plus kServerOffset.
constexpr uint8_t kSignature = 0;
constexpr uint8_t kSetBaudRate = 1;
constexpr uint8_t kSetDataSize = 2;
constexpr uint8_t kSetParity = 3;
constexpr uint8_t kSetStopSize = 4;
constexpr uint8_t kSetControl = 5;
constexpr uint8_t kNotifyLineState = 6;
constexpr uint8_t kNotifyModemState = 7;
constexpr uint8_t kFlowControlSuspend = 8;
constexpr uint8_t kFlowControlResume = 9;
constexpr uint8_t kSetLineStateMask = 10;
constexpr uint8_t kSetModemStateMask = 11;
constexpr uint8_t kPurgeData = 12;
constexpr uint8_t kServerOffset = 100;

// SET-CONTROL values.
constexpr uint8_t kControlRequestFlow = 0;
constexpr uint8_t kControlNoFlow = 1;
constexpr uint8_t kControlXonXoffFlow = 2;
constexpr uint8_t kControlHardwareFlow = 3;
constexpr uint8_t kControlRequestBreak = 4;
constexpr uint8_t kControlBreakOn = 5;
constexpr uint8_t kControlBreakOff = 6;
constexpr uint8_t kControlRequestDtr = 7;
constexpr uint8_t kControlDtrOn = 8;
constexpr uint8_t kControlDtrOff = 9;
constexpr uint8_t kControlRequestRts = 10;
constexpr uint8_t kControlRtsOn = 11;
constexpr uint8_t kControlRtsOff = 12;

// PURGE-DATA values.
constexpr uint8_t kPurgeReceive = 1;
constexpr uint8_t kPurgeTransmit = 2;
constexpr uint8_t kPurgeBoth = 3;

// Modem state bits (the low four are "changed" flags).
constexpr uint8_t kModemCarrierDetect = 0x80;
constexpr uint8_t kModemRingIndicator = 0x40;
constexpr uint8_t kModemDsr = 0x20;
constexpr uint8_t kModemCts = 0x10;
constexpr uint8_t kModemLineBits = 0xF0;

// Line format codes between the port layer's values (kNoParity ...,
// kOneStopBit ...) and the wire's (parity 1 none, 2 odd, 3 even, 4 mark,
// 5 space; stop size 1 one, 2 two, 3 one and a half). Nothing for a value
// that has no counterpart; wire value 0 is a query and has none either.
std::optional<uint8_t> ParityToWire(uint8_t parity);
std::optional<uint8_t> ParityFromWire(uint8_t wire);
std::optional<uint8_t> StopBitsToWire(uint8_t stopBits);
std::optional<uint8_t> StopBitsFromWire(uint8_t wire);

// Appends `count` data bytes to `out` with every 0xFF doubled.
void AppendEscaped(std::vector<uint8_t>& out, const uint8_t* data, size_t count);
// IAC command option.
std::vector<uint8_t> Negotiation(uint8_t command, uint8_t option);
// IAC SB 44 code value IAC SE, the value escaped.
std::vector<uint8_t> ComPortCommand(uint8_t code, const std::vector<uint8_t>& value);
// The four bytes of a baud rate on the wire (network order), and back.
std::vector<uint8_t> BaudRateValue(uint32_t baud);
std::optional<uint32_t> BaudRateFromValue(const std::vector<uint8_t>& value);

// Splits a received byte stream into data, negotiations and
// subnegotiations. Keeps its state between calls, so a command may be split
// across any number of Feed calls. Other Telnet commands (NOP, GA, ...) are
// dropped; a subnegotiation longer than kMaxSubnegotiation bytes is dropped
// whole.
class TelnetDecoder {
public:
    static constexpr size_t kMaxSubnegotiation = 512;

    class Sink {
    public:
        virtual ~Sink() = default;
        // A run of data bytes, IAC doubling undone.
        virtual void OnData(const uint8_t* data, size_t count) = 0;
        // WILL, WONT, DO or DONT for an option.
        virtual void OnNegotiation(uint8_t command, uint8_t option) = 0;
        // IAC SB option body IAC SE; the body is unescaped.
        virtual void OnSubnegotiation(uint8_t option, const std::vector<uint8_t>& body) = 0;
    };

    void Feed(const uint8_t* data, size_t count, Sink& sink);

private:
    enum class State { Data, Iac, Negotiate, SubOption, SubBody, SubIac };
    State state_ = State::Data;
    uint8_t command_ = 0;
    uint8_t subOption_ = 0;
    bool subOverflow_ = false;
    std::vector<uint8_t> subBody_;
};

// Telnet option negotiation for one side of a connection, without loops: a
// request is sent once, and an answer is sent only when an option's state
// changes.
class OptionNegotiator {
public:
    enum class State { No, WantYes, Yes, Refused };

    // `local`: options this side agrees to perform (it answers DO with WILL);
    // `remote`: options it agrees to let the peer perform (it answers WILL
    // with DO). All others are refused.
    OptionNegotiator(std::vector<uint8_t> local, std::vector<uint8_t> remote);

    // Asks to perform an option ourselves (WILL) or asks the peer to (DO).
    // Returns the bytes to send (empty when already asked or agreed).
    std::vector<uint8_t> RequestLocal(uint8_t option);
    std::vector<uint8_t> RequestRemote(uint8_t option);
    // Handles a received WILL/WONT/DO/DONT; returns the answer to send, if any.
    std::vector<uint8_t> Receive(uint8_t command, uint8_t option);

    State Local(uint8_t option) const { return local_[option]; }
    State Remote(uint8_t option) const { return remote_[option]; }
    // True while a request of ours is unanswered.
    bool Pending() const;

private:
    bool Supported(const std::vector<uint8_t>& list, uint8_t option) const;
    std::vector<uint8_t> localSupported_;
    std::vector<uint8_t> remoteSupported_;
    State local_[256] = {};
    State remote_[256] = {};
};

}  // namespace rfc2217
