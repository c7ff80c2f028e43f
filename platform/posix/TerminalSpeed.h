#pragma once
// The line speed of an open terminal, in bits per second.
//
// Speeds are kept apart from the rest of the terminal settings because
// arbitrary speeds (5728 baud, 34350 baud) need the system's own interface:
// on Linux the termios2 ioctls with BOTHER, whose header cannot be combined
// with <termios.h> in one source file. Elsewhere the standard speeds go
// through cfsetspeed, and systems whose speed codes are the numbers
// themselves (the BSDs, macOS) are offered any speed and let the driver judge.

#include <cstdint>

// Sets the input and output speed of the terminal `fd` to `baud`, leaving
// every other setting as it is. Returns false, with the speed unchanged, when
// baud is 0 (which would hang the line up) or the system refuses the speed.
// Does not block.
bool SetTerminalSpeed(int fd, uint32_t baud);

// Reads the output speed of the terminal `fd` into `baud`. Returns false when
// the settings cannot be read or the speed has no numeric value. On a
// pseudo-terminal master this reads the slave's speed.
bool GetTerminalSpeed(int fd, uint32_t& baud);
