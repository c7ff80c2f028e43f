#pragma once
// The simulated world's one source of chance: every random fault and every
// varied byte draws from it in the order things happen on the line, so a run
// repeats exactly for the same seed.

#include <cstdint>

namespace sim {

class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}

    // splitmix64: small, fast and repeatable from the seed.
    uint64_t Next()
    {
        state_ += 0x9E3779B97F4A7C15ull;
        uint64_t z = state_;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // True with probability p. Draws nothing when p is 0 or 1, so a knob
    // left at 0 never shifts the draws of the others.
    bool Chance(double p)
    {
        if (p <= 0.0) return false;
        if (p >= 1.0) return true;
        return static_cast<double>(Next() >> 11) * 0x1.0p-53 < p;
    }
    uint8_t Byte() { return static_cast<uint8_t>(Next() >> 56); }
    // `v` with one of its eight bits, chosen at random, flipped.
    uint8_t FlipBit(uint8_t v) { return static_cast<uint8_t>(v ^ (1u << (Next() % 8))); }

private:
    uint64_t state_;
};

}  // namespace sim
