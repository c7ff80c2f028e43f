#include "programming/CardReadBack.h"

#include <array>
#include <cstring>
#include <vector>

#include "programming/LoaderFrames.h"
#include "serial/Scom.h"

namespace loader {

namespace {

constexpr int32_t kReadTimeoutMs = 500;

// Sends one block read and judges its answer; true with the 16 bytes in `out`
// when the echo came back intact and the answer arrived whole. The answer's
// bytes around the data are the card's own and say nothing.
bool ReadOnce(uint32_t address, uint8_t* out)
{
    SerialChannel.SendCommandText(BlockReadText(address));
    SerialChannel.Receive(kReadReplyCount, kReadTimeoutMs);
    if (!EchoIntact(kReadFrameBytes) || SerialChannel.ReceiveCount < kReadReplyCount) return false;
    std::memcpy(out, SerialChannel.ReceiveBuffer + kReadDataPos, kBlockSize);
    return true;
}

}  // namespace

bool ReadCardBlock(uint32_t address, uint8_t* out, int maxReads, int& readsUsed)
{
    // Every whole answer so far; a new one that equals any of them settles
    // the block (a garbled answer almost never equals another).
    std::vector<std::array<uint8_t, kBlockSize>> answers;
    readsUsed = 0;
    while (readsUsed < maxReads) {
        ++readsUsed;
        std::array<uint8_t, kBlockSize> current{};
        if (!ReadOnce(address, current.data())) {
            // Let a late answer pass before the next read.
            SerialChannel.Receive(100, 20);
            continue;
        }
        for (const auto& earlier : answers) {
            if (earlier != current) continue;
            std::memcpy(out, current.data(), kBlockSize);
            return true;
        }
        answers.push_back(current);
    }
    return false;
}

}  // namespace loader
