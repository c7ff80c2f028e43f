#pragma once
// The USB reader: its own setup protocol, its modes, and the card interface
// it makes of the serial line once set up. It hears the host's bytes at the
// far end of the wire, with the settings each was sent at, and answers
// through the wire.
//
// - Every byte that reaches it is echoed to the host (noecho=1: not), as
//   the line carried it, ahead of any answer; with noise=P a byte has one
//   bit flipped on the line, for the echo and the card alike. Bytes whose
//   time on the line ends while a break is held are lost.
// - A break held 1.1 s or more puts the reader in setup mode; it answers
//   0x06 breakanswer= ms (50) after the break ends. With breakjunk=N it
//   sends N bytes (0xA5) starting just after the 1.1 s mark while the break
//   is still held.
// - In setup mode, at 9600 8N1 only: "2A 41" -> 01 00 10 06; "2A 42 xx" ->
//   06, xx recorded as the setting byte; "2A 43" -> 06 and the reader works
//   in the recorded mode (15 and no change when no setting byte was given
//   since setup mode began). A byte in another format starts the command
//   over. With setupbytes=random the bytes of these replies that a program
//   is not promised (the first two answer bytes to "2A 41", the answer to
//   "2A 43", the break junk) are new random bytes every time.
// - Set up in Phoenix mode (setting bit 7 clear) with a clock code of 1-3,
//   it passes the host's bytes to the card and the card's answers back. In
//   SmartMouse mode, or with clock code 0, the card is not reached.
// - RTS high holds the card in reset; dropping RTS releases it, and its
//   answer-to-reset goes out atrdelay= ms (20) later at the base settings
//   (the card clock / 625: 5728 baud at clock code 1, 3.58 MHz; 5888 at
//   code 2, 3.68 MHz; 9600 at code 3, 6.00 MHz; 8 data bits, no parity,
//   2 stop bits), with atrgap= ms between its bytes.
// - The card's loader listens in a window that moves with the clock:
//   34000-34700 baud at 3.58 MHz, 34950-35650 at 3.68, 57000-57900 at 6.00;
//   window= holds it where it says at every clock.
// - A pause of more than two byte times inside a command or frame abandons
//   it.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "simulator/Card.h"
#include "simulator/Random.h"
#include "simulator/SimOptions.h"
#include "simulator/Wire.h"

namespace sim {

// The reader's own protocol runs at this format only.
constexpr LineFormat kReaderSetupFormat{9600, 8, kNoParity, kOneStopBit};

class Reader {
public:
    // Not set up, unless options.setupByte gives the setting byte.
    Reader(SimOptions& options, Random& random, Wire& wire, Card& card);

    bool InSetupMode() const { return setupMode_; }
    // True once "2A 43" has been accepted (or setup= given), until the next
    // setup mode.
    bool SetUp() const { return working_; }
    std::optional<uint8_t> SettingByte() const { return settingByte_; }
    bool BreakHeld() const { return breakHeld_; }
    // Whether bytes reach the card: set up in Phoenix mode with a clock.
    bool CardReachable() const;
    // The card's base settings at the clock code in force.
    LineFormat BaseFormat() const;
    // The loader's speed window: window=, else the card's at the clock in
    // force.
    std::pair<uint32_t, uint32_t> LoaderWindow() const;

    // A host byte has reached the reader (at b.end).
    void ByteReceived(const HostByte& b);
    // The host holds or ends a break at `now`; answers go to `handle`.
    void BreakOn(int64_t now, uint64_t handle);
    void BreakOff(int64_t now, uint64_t handle);
    // When the break junk is due (kNever when none), and sending it.
    int64_t JunkAt() const { return junkAt_; }
    void SendJunk(int64_t at);
    // The RTS line changed at `now`: high holds the card in reset.
    void ResetLine(int64_t now, bool high, uint64_t handle);

private:
    void SetupByte(const HostByte& b);
    void EnterSetupMode(int64_t now);
    // A byte that the program is not promised: `fixed`, or a random one with
    // setupbytes=random.
    uint8_t Unpromised(uint8_t fixed);

    SimOptions& options_;
    Random& random_;
    Wire& wire_;
    Card& card_;

    bool setupMode_ = false;
    bool working_ = false;
    std::optional<uint8_t> settingByte_;
    bool settingGiven_ = false;  // a setting byte arrived in this setup mode
    std::vector<uint8_t> setupFrame_;
    int64_t lastByteEnd_ = 0;  // end of the last byte received, µs

    bool breakHeld_ = false;
    int64_t breakStart_ = 0;
    uint64_t breakHandle_ = 0;
    int64_t junkAt_ = kNever;
};

}  // namespace sim
