#pragma once
// Reading the card's memory back through the running loader, block by block,
// for copying a card to a file and for comparing a card with an image without
// writing to it.

#include <array>
#include <cstdint>
#include <vector>

#include "programming/LoaderFrames.h"

namespace loader {

// Read frames one block may take before reading it gives up. A block whose
// answers disagree is settled by a lead of two agreeing answers, which a line
// that garbles even three answers in ten gives within 16 reads but for about
// three blocks in a million; a block that never answers costs 16 read waits
// of half a second, about 8 s, before the read fails.
constexpr int kMaxReadsPerBlock = 16;

// One value a block's reads answered, and how many of them answered it.
struct BlockAnswer {
    std::array<uint8_t, kBlockSize> bytes{};
    int count = 0;
};

// What the reads of one block came to.
struct BlockReading {
    uint32_t address = 0;
    bool settled = false;  // `bytes` holds the block
    std::array<uint8_t, kBlockSize> bytes{};
    int reads = 0;                      // read frames sent
    int unanswered = 0;                 // of them, those without a whole answer behind an intact echo
    std::vector<BlockAnswer> answers;  // every different answer, in the order first seen
};

// What the reads of one card have shown of its line so far, carried from one
// block to the next. On a line that garbles answers, two agreeing answers may
// be two answers garbled alike: with one answer in twenty garbled, one block
// in fifty thousand, about one full-card read in four. Once more than one
// whole answer in a thousand has been garbled (differed from the value its
// block settled on), a block whose answers all agree needs three of them;
// below that, two answers garbled alike are rarer than one block in a
// hundred million.
struct ReadHistory {
    int64_t answers = 0;  // whole answers of the settled blocks
    int64_t garbled = 0;  // of them, those that differed from the value settled on
    bool LineGarbles() const { return garbled * 1000 > answers; }
};

// Reads the 16 bytes stored at `address` (a multiple of 16, at most
// kLastBlockAddress). The loader must be running at the working settings
// (after StartCardLoader). A read answer counts only when the echo of the
// frame came back intact and all 22 answer bytes arrived; only the 16 data
// bytes (buffer positions 12 to 27) are taken from it, the other answer bytes
// being the card's own. The block is settled
//  - while every answer agrees: by two answers, or by three while `history`
//    says that the line garbles answers;
//  - once two different answers have come: when one value has been answered
//    at least two times more than any other.
// At most `maxReads` reads; each waits up to 0.5 s for its answer, a read
// without a whole answer 20 ms more for late bytes. Returns the reading:
// settled with the block's bytes, or not settled with every answer seen.
// Updates `history`. Leaves the port open at the working settings.
BlockReading ReadCardBlock(ReaderLink& link, uint32_t address, ReadHistory& history,
                           int maxReads = kMaxReadsPerBlock);

}  // namespace loader
