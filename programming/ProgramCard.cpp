#include "programming/ProgramCard.h"

#include <algorithm>
#include <map>
#include <vector>

#include "programming/LoaderFrames.h"
#include "programming/ProgramData.h"
#include "programming/StartCardLoader.h"
#include "reader/StatusMessages.h"
#include "serial/Scom.h"

namespace {

constexpr int kAttemptsPerBlock = 10;
// Every block write acknowledgement is awaited this long.
constexpr int32_t kAckTimeoutMs = 1500;
constexpr int32_t kReadTimeoutMs = 500;
// Without "Verify programming" a block is read back whenever the write
// counter reaches 31 modulo 32.
constexpr int32_t kSampleEvery = 32;
// A read frame whose echo differs from the frame sent was answered for some
// other request; it is sent again, at most this many reads in all.
constexpr int kReadsPerReadBack = 3;

// Fills the image with zero bytes up to a whole number of blocks and returns
// the padded length. A length outside the buffer is brought back inside it,
// so padding never writes outside the image.
int32_t PadToWholeBlocks(TCardImage& image)
{
    if (image.Data == nullptr || image.Length < 0) image.Length = 0;
    if (image.Length > kCardImageSize) image.Length = kCardImageSize;
    while (image.Length % loader::kBlockSize != 0) image.Data[image.Length++] = 0x00;
    return image.Length;
}

// Reads the block at `offset` back until a read frame comes back with its
// echo intact, at most kReadsPerReadBack reads; the number of bytes of that
// answer that differ from `data`. When no read came back intact nothing is
// known about the block: at least 1, so it is never taken as written.
int ReadBackBlock(uint32_t offset, const uint8_t* data)
{
    int mismatches = loader::kBlockSize;
    for (int read = 0; read < kReadsPerReadBack; ++read) {
        SerialChannel.SendCommandText(loader::BlockReadText(offset));
        SerialChannel.Receive(loader::kReadReplyCount, kReadTimeoutMs);
        mismatches = loader::ReadBackMismatches(data);
        if (loader::EchoIntact(loader::kReadFrameBytes)) return mismatches;
    }
    return mismatches > 0 ? mismatches : 1;
}

// Writes the image block by block and checks the reader's echo of every
// frame. A write whose echo differs from the frame sent is suspect: its block
// is read back whatever the verify rule says, and when the echoed address
// names another block already written, that block is read back as well and
// written again if it differs. A write whose echo came back short cannot be
// seen at all: it is read back, and so are all blocks written since the last
// whole write echo, once a whole echo returns or the last block is done.
class BlockWriter {
public:
    BlockWriter(ProgramWindow& window, const uint8_t* image, int32_t length, bool verifyAll)
        : window_(window), image_(image), length_(length), verifyAll_(verifyAll)
    {
    }

    // The next block of the block loop is read back whatever the verify rule
    // says: at a speed that no calibration found, the first block must prove
    // that the loader understands it.
    void ReadBackNext() { readBackNext_ = true; }

    // One block of the block loop, then every block its writes put in doubt.
    // 0 when all are written; else the failure mark of the block that failed
    // its tenth attempt.
    int Write(uint32_t offset)
    {
        written_ = offset;
        int attemptsLeft = kAttemptsPerBlock;
        const bool readBack = verifyAll_ || readBackNext_;
        readBackNext_ = false;
        const int mark = WriteBlock(offset, readBack, attemptsLeft);
        if (mark != 0) return mark;
        written_ = offset + loader::kBlockSize;
        return Settle();
    }

    // After the last block: the blocks whose writes could not be seen are
    // read back too. 0, or the failure mark of a block that cannot be put
    // right.
    int Finish()
    {
        while (!unseen_.empty()) {
            QueueUnseen();
            if (const int mark = Settle(); mark != 0) return mark;
        }
        return 0;
    }

private:
    // Writes one block, at most `attemptsLeft` times. Returns the failure
    // mark of the last attempt: 0 when the block is written (and read back
    // where the rule asks). Once a read-back of the block has failed, every
    // rewrite of it is read back too, so a block known to be wrong is never
    // taken as written.
    int WriteBlock(uint32_t offset, bool readBack, int& attemptsLeft)
    {
        const uint8_t* data = image_ + offset;
        int failureMark = 1;
        while (attemptsLeft > 0) {
            // The write, its echo and its acknowledgement.
            failureMark = 0;
            window_.BlockSent(offset);
            SerialChannel.SendCommandText(loader::BlockWriteText(offset, data));
            SerialChannel.Receive(loader::kWriteReplyCount, kAckTimeoutMs);
            const bool suspect = !CheckWriteEcho(offset);
            if (!loader::WriteAcknowledged()) failureMark = 1;
            --attemptsLeft;

            // Let late bytes arrive before the next attempt.
            if (failureMark != 0) {
                SerialChannel.Receive(100, 20);
                continue;
            }

            // Accepted; read back when the verify rule asks for it or the
            // echo put the write in doubt.
            window_.BlockStored(offset);
            ++writeCounter_;
            if (!readBack && !suspect && writeCounter_ % kSampleEvery != kSampleEvery - 1) return 0;
            failureMark = ReadBackBlock(offset, data);
            // After a suspect write one matching answer is not enough: the
            // echo showed the card other bytes, and a bit flipped on the way
            // back can make a wrong byte read right. A second answer must
            // agree.
            if (failureMark == 0 && suspect) failureMark = ReadBackBlock(offset, data);
            if (failureMark == 0) {
                ++writeCounter_;
                return 0;
            }
            readBack = true;
        }
        return failureMark;
    }

    // Judges the echo of the write of `offset` just sent; true when it came
    // back intact. Notes the blocks it puts in doubt.
    bool CheckWriteEcho(uint32_t offset)
    {
        if (!loader::EchoComplete(loader::kWriteFrameBytes)) {
            unseen_.push_back(offset);
            return false;
        }
        QueueUnseen();
        if (loader::EchoIntact(loader::kWriteFrameBytes)) return true;
        // The card took the frame for the echoed address. A block not yet
        // written gets its own write later; one beyond the image is no
        // concern of the image.
        const uint32_t landed = loader::EchoedAddress();
        if (landed != offset && landed < written_ && loader::IsImageBlock(landed, length_)) Queue(landed);
        return false;
    }

    void Queue(uint32_t block)
    {
        if (std::find(recheck_.begin(), recheck_.end(), block) == recheck_.end()) recheck_.push_back(block);
    }

    void QueueUnseen()
    {
        for (uint32_t block : unseen_)
            if (block < written_) Queue(block);
        unseen_.clear();
    }

    // Reads back every block put in doubt and writes again each one that
    // differs from the image. All rewrites of one block after its own turn
    // share one set of ten attempts, so writes that keep landing on each
    // other's blocks end the run instead of going on for ever.
    int Settle()
    {
        while (!recheck_.empty()) {
            const uint32_t block = recheck_.back();
            recheck_.pop_back();
            if (ReadBackBlock(block, image_ + block) == 0) continue;
            auto left = rewritesLeft_.try_emplace(block, kAttemptsPerBlock).first;
            if (const int mark = WriteBlock(block, true, left->second); mark != 0) return mark;
        }
        return 0;
    }

    ProgramWindow& window_;
    const uint8_t* image_;
    int32_t length_;
    bool verifyAll_;
    bool readBackNext_ = false;
    // Accepted block writes and passed read-backs, for the sample rule.
    int32_t writeCounter_ = 0;
    // Blocks before this offset have been written.
    uint32_t written_ = 0;
    // Blocks to read back.
    std::vector<uint32_t> recheck_;
    // Blocks written since the last write whose echo came back whole.
    std::vector<uint32_t> unseen_;
    // Attempts left to each block rewritten after its own turn.
    std::map<uint32_t, int> rewritesLeft_;
};

int ShowProgress(ProgramWindow& window, int32_t offset, int32_t length)
{
    const int percent = static_cast<int>(static_cast<int64_t>(offset) * 100 / length);
    window.SetProgress(percent);
    return percent;
}

}  // namespace

bool ProgramCard(ProgramWindow& window, int32_t fixedSpeed)
{
    const bool verifyAll = window.VerifyChecked();
    StatusControl& status = window.Status();

    // 1-3: answer-to-reset check, calibration (unless the speed is given),
    // loader start.
    if (StartCardLoader(window, false, fixedSpeed) == 0) return false;

    // 4.
    const int32_t length = PadToWholeBlocks(CardImage);

    // 5: block by block, checking the echo of every frame.
    BlockWriter writer(window, CardImage.Data, length, verifyAll);
    if (fixedSpeed > 0) writer.ReadBackNext();
    for (int32_t offset = 0; offset < length; offset += loader::kBlockSize) {
        if (writer.Write(static_cast<uint32_t>(offset)) != 0) {
            ShowFailure(status, status_text::kErrorProgramming);
            return false;
        }
        status.SetText(status_text::Progress(verifyAll, ShowProgress(window, offset, length)));
    }
    if (writer.Finish() != 0) {
        ShowFailure(status, status_text::kErrorProgramming);
        return false;
    }

    // 6.
    SerialChannel.Close();
    return true;
}
