#pragma once
// Reading the card's memory back through the running loader, block by block,
// for copying a card to a file and for comparing a card with an image without
// writing to it.

#include <cstdint>

namespace loader {

// Reads the 16 bytes stored at `address` (a multiple of 16, at most
// kLastBlockAddress) into `out`. The loader must be running at the working
// settings (after StartCardLoader). A read answer counts only when the echo of
// the frame came back intact and all 22 answer bytes arrived; only the 16
// data bytes (buffer positions 12 to 27) are taken from it, the other answer
// bytes being the card's own. Reads until two counted answers (any two of
// those so far) hold the same data, at most `maxReads` reads. True with `out`
// filled when two agreed; `readsUsed` gets the number of reads sent.
bool ReadCardBlock(uint32_t address, uint8_t* out, int maxReads, int& readsUsed);

}  // namespace loader
