#pragma once
// How long characters take on a serial line.
//
// One character on an asynchronous line is a start bit, the data bits, a
// parity bit unless parity is none, and one, one and a half or two stop bits,
// each bit lasting 1/baud seconds. At 5728 baud with 8 data bits, no parity
// and two stop bits a character takes 11 bits, 1.92 ms; at 34350 baud with
// mark parity, 12 bits, 0.35 ms.

#include <cstdint>

#include "platform/CommPort.h"

// Nanoseconds one character takes at `baud` with the given data bits, parity
// code (kNoParity ...) and stop-bit code (kOneStopBit, kOne5StopBits,
// kTwoStopBits; another code counts as two). Rounded to the nearest
// nanosecond; a speed of 0 counts as 1 baud.
constexpr int64_t CharacterNanos(uint32_t baud, uint8_t dataBits, uint8_t parity, uint8_t stopBits)
{
    // Bit counts in halves, for one and a half stop bits.
    const int64_t halves = 2 * (1 + int64_t{dataBits}) + (parity != kNoParity ? 2 : 0) +
                           (stopBits == kOneStopBit ? 2 : stopBits == kOne5StopBits ? 3 : 4);
    const int64_t b = baud == 0 ? 1 : int64_t{baud};
    return (halves * 1'000'000'000 + b) / (2 * b);
}

// The same for the line settings in force.
constexpr int64_t CharacterNanos(const LineSettings& s)
{
    return CharacterNanos(s.BaudRate, s.ByteSize, s.Parity, s.StopBits);
}

// Whole microseconds, rounded up, that `count` characters take back to back.
constexpr int64_t CharactersMicros(const LineSettings& s, int64_t count)
{
    return (count * CharacterNanos(s) + 999) / 1000;
}
