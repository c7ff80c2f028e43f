#pragma once
// The Torvik loader card in the reader's slot: its answer-to-reset, its
// loader and its memory. It sees only what the reader passes it: the bytes
// on its I/O line, each with the line settings it was sent at, and the
// reset line.
//
// - Released from reset it answers with its answer-to-reset (atr=, default
//   3B 54 4C 54 52 56 4B 01), which the reader sends at the base settings.
// - After a reset, "01 02 EA" at the base settings starts the loader, which
//   takes frames at 8 data bits, mark parity, 2 stop bits at a speed inside
//   its window; a byte in any other format is not understood and abandons
//   the frame in hand (so does a pause, which the reader notices).
//   Block write FF 00 13 A2 A1 A0 <16 data> AA -> FF 00 C0 (ack=), the data
//   stored at the address. Block read FE 00 03 A2 A1 A0 AA -> FE 13 A2 A1 A0
//   <16 data> AA (22 bytes); with answerbytes=random the bytes around the
//   data (answer bytes 0-4 and 21) are new random bytes in every answer.
//   Frames with wrong fixed bytes, or an address not a multiple of 16 or
//   above 0x3FFF0, get no answer and store nothing.
// - The card samples its I/O line with its own clock: with cardnoise=P it
//   misreads each byte it takes (one bit flipped) with probability P, while
//   the reader's echo shows the byte as the line carried it. A misread
//   address byte sends a write to another block, acknowledged as usual.
// - A reset, the reader entering setup mode, or removal ends the loader.
//
// Memory: 0x40000 bytes, 0xFF when erased. With memory=FILE it is loaded
// from FILE when the card is made (blank when FILE does not exist) and
// SaveMemory() writes it back whole, through a temporary file and a rename,
// so FILE always holds one whole card.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "simulator/Random.h"
#include "simulator/SimOptions.h"
#include "simulator/Wire.h"

namespace sim {

constexpr uint32_t kCardMemorySize = 0x40000;

enum class CardState {
    Absent,  // slot empty
    Idle,    // in the slot, not running: held in reset, or not reached
    Ready,   // answered its reset, waiting for the loader start command
    Loader,  // loader running, taking block frames
};

// Empty when `path` can serve as a card memory file: missing (a blank card
// that the save will create; its folder must exist), or a readable regular
// file of exactly kCardMemorySize bytes. Otherwise what is wrong with it.
std::string MemoryFileProblem(const std::string& path);

class Card {
public:
    // In the slot unless options.cardIn is false. Loads options.memoryFile;
    // throws std::runtime_error saying why when it exists but cannot serve.
    Card(SimOptions& options, Random& random);

    CardState State() const { return state_; }
    bool Present() const { return state_ != CardState::Absent; }
    // Released from reset since it was put in (or in the slot since the
    // start): a card that has been in use.
    bool Used() const { return used_; }
    // A new card put in sits idle until its next release from reset.
    void Insert();
    void Remove();

    // The reset line raised: whatever the card was doing ends.
    void HoldInReset();
    // The reset line dropped: the card answers. Returns its answer-to-reset
    // (empty for a card that does not announce itself).
    std::vector<uint8_t> Release();
    // The reader has gone into setup mode: the card loses its clock.
    void LoseClock();
    // The frame in hand is abandoned (a pause on the line).
    void AbandonFrame() { frame_.clear(); }

    // What the card sends back, from `from` (µs) at `format`.
    struct Reply {
        std::vector<uint8_t> bytes;
        int64_t from = 0;
        LineFormat format;
    };
    // A byte on the card's I/O line; `base` is the base settings and
    // `window` the loader's speed window at the reader's clock.
    Reply Receive(const HostByte& b, const LineFormat& base, std::pair<uint32_t, uint32_t> window);

    const std::vector<uint8_t>& Memory() const { return memory_; }
    // Flips bit 0 of the byte at `address` (ignored beyond the memory).
    void Damage(uint32_t address)
    {
        if (address < memory_.size()) memory_[address] ^= 0x01;
    }
    // Block write frames the loader understood (stored), whatever happened
    // to their acknowledgement; block read frames it answered.
    int BlockWrites() const { return blockWrites_; }
    int BlockReads() const { return blockReads_; }
    // Writes the memory to options.memoryFile (nothing to do without one).
    // False with `error` set when it cannot; the file is then as it was.
    bool SaveMemory(std::string& error) const;

private:
    Reply LoaderFrame(const HostByte& last);
    // The byte as the card samples it: one bit flipped now and then
    // (cardnoise=), whatever the reader's echo shows.
    uint8_t Sampled(uint8_t value);

    SimOptions& options_;
    Random& random_;
    CardState state_;
    bool used_;
    std::vector<uint8_t> memory_;
    std::vector<uint8_t> frame_;  // loader start command or loader frame in hand
    int blockWrites_ = 0;
    int blockReads_ = 0;
    // Read answers given so far for the block of readflip=.
    size_t readFlipAnswers_ = 0;
};

}  // namespace sim
