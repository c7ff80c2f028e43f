#include "programming/CardReadBack.h"

#include <algorithm>
#include <cstring>

#include "serial/ReaderLink.h"

namespace loader {

namespace {

constexpr int32_t kReadTimeoutMs = 500;

// Sends one block read and judges its answer; true with the 16 bytes in `out`
// when the echo came back intact and the answer arrived whole. The answer's
// bytes around the data are the card's own and say nothing.
bool ReadOnce(ReaderLink& link, uint32_t address, uint8_t* out)
{
    TSerialChannel& SerialChannel = link.SerialChannel;
    SerialChannel.SendCommandText(BlockReadText(address));
    SerialChannel.Receive(kReadReplyCount, kReadTimeoutMs);
    if (!EchoIntact(link, kReadFrameBytes) || SerialChannel.ReceiveCount < kReadReplyCount) return false;
    std::memcpy(out, SerialChannel.ReceiveBuffer + kReadDataPos, kBlockSize);
    return true;
}

// The answer that settles the block, or null. A bit flipped on the way back
// garbles an answer; two garbled alike are rare but happen (a single flipped
// bit has only 128 forms), so agreement alone does not settle a block once
// its answers have differed: the value answered most must lead every other
// by two. While all answers agree, two settle it, three on a line known to
// garble answers.
const BlockAnswer* Settled(const std::vector<BlockAnswer>& answers, bool lineGarbles)
{
    if (answers.empty()) return nullptr;
    if (answers.size() == 1) return answers[0].count >= (lineGarbles ? 3 : 2) ? &answers[0] : nullptr;
    const BlockAnswer* most = &answers[0];
    int runnerUp = 0;
    for (size_t i = 1; i < answers.size(); ++i) {
        if (answers[i].count > most->count) {
            runnerUp = most->count;
            most = &answers[i];
        } else {
            runnerUp = std::max(runnerUp, answers[i].count);
        }
    }
    return most->count >= runnerUp + 2 ? most : nullptr;
}

}  // namespace

BlockReading ReadCardBlock(ReaderLink& link, uint32_t address, ReadHistory& history, int maxReads)
{
    TSerialChannel& SerialChannel = link.SerialChannel;
    BlockReading r;
    r.address = address;
    while (r.reads < maxReads) {
        ++r.reads;
        std::array<uint8_t, kBlockSize> current{};
        if (!ReadOnce(link, address, current.data())) {
            ++r.unanswered;
            // Let a late answer pass before the next read.
            SerialChannel.Receive(100, 20);
            continue;
        }
        const auto same = std::find_if(r.answers.begin(), r.answers.end(),
                                       [&current](const BlockAnswer& a) { return a.bytes == current; });
        if (same != r.answers.end())
            ++same->count;
        else
            r.answers.push_back({current, 1});
        if (const BlockAnswer* settled = Settled(r.answers, history.LineGarbles())) {
            r.settled = true;
            r.bytes = settled->bytes;
            for (const BlockAnswer& a : r.answers) {
                history.answers += a.count;
                if (a.bytes != r.bytes) history.garbled += a.count;
            }
            break;
        }
    }
    return r;
}

}  // namespace loader
