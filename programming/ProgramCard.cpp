#include "programming/ProgramCard.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "programming/LoaderFrames.h"
#include "programming/ProgramData.h"
#include "programming/StartCardLoader.h"
#include "programming/WindowStatus.h"
#include "serial/ReaderLink.h"

namespace {

constexpr int kAttemptsPerBlock = 10;
// A speed kept from an earlier card proves itself with the first block in at
// most this many write frames; a card that takes none is calibrated afresh.
constexpr int kKeptSpeedFrames = 2;
// Every block write acknowledgement is awaited this long.
constexpr int32_t kAckTimeoutMs = 1500;
constexpr int32_t kReadTimeoutMs = 500;
// Without "Verify programming" a block is read back whenever the write
// counter reaches 31 modulo 32.
constexpr int32_t kSampleEvery = 32;
// A read frame whose echo differs from the frame sent was answered for some
// other request; it is sent again, at most this many reads in all.
constexpr int kReadsPerReadBack = 3;
// The read pass after the last write: a pass that finds a block differing
// writes it again, and another pass follows; at most this many in all.
constexpr int kPasses = 3;
// Reads of one block in one pass before it counts as differing.
constexpr int kPassReads = 8;
// Differing answers of one block in one pass that, all alike, make it differ.
// A card that misreads a read address answers for a neighbour with a clean
// echo, and one that misreads the same bit twice answers twice alike; a block
// that holds wrong bytes answers them every time.
constexpr int kAgreeingDifferences = 3;
// The address bits whose flip still names a block of the card: 4, the lowest
// above the bytes of a block, to 17, the highest below 0x40000. A card that
// misreads one bit of an address takes the frame for one of these neighbours.
constexpr int kLowestBlockBit = 4;
constexpr int kHighestBlockBit = 17;

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

// Writes the image block by block and checks the reader's echo of every
// frame. A write whose echo differs from the frame sent is suspect: its block
// is read back whatever the verify rule says, and when the echoed address
// names another block already written, that block is read back as well and
// written again if it differs. A write whose echo is not in its place (a byte
// lost or gained on the way back) does not say where the card took it: once
// an echo in its place returns, or the last block is done, every block
// already written that one misread address bit would have sent one of the
// writes since the last such echo to is read back. (Such a write is never
// taken as acknowledged, its acknowledgement being out of place too, so its
// own block is written again in any case.) Then, where the verify mode asks
// for it, the read pass. Tells the account every write frame, every failed
// write with its cause, the read passes and their progress, and keeps what is
// known of the block that failed.
class BlockWriter {
public:
    BlockWriter(ReaderLink& link, RunObserver& account, const uint8_t* image, int32_t length, bool verifyAll)
        : link_(link),
          SerialChannel(link.SerialChannel),
          account_(account),
          image_(image),
          length_(length),
          verifyAll_(verifyAll),
          framesLeft_(static_cast<size_t>(length / loader::kBlockSize), kAttemptsPerBlock)
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
        const bool readBack = verifyAll_ || readBackNext_;
        readBackNext_ = false;
        const int mark = WriteBlock(offset, readBack, FramesLeft(offset));
        if (mark != 0) return mark;
        written_ = offset + loader::kBlockSize;
        return Settle();
    }

    // The first block at a speed kept from an earlier card: written and read
    // back with at most `frames` write frames (of its ten), then every block
    // those writes put in doubt. 0 when the card took it; else the failure
    // mark, and nothing further is to be written at this speed.
    int Probe(uint32_t offset, int frames)
    {
        written_ = offset;
        readBackNext_ = false;
        int& left = FramesLeft(offset);
        int allowed = std::min(frames, left);
        const int granted = allowed;
        const int mark = WriteBlock(offset, true, allowed);
        left -= granted - allowed;
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

    // The read pass, after Finish: every block of the image is read again
    // (BlockEqual). A block found differing is written again with its
    // read-back, and another pass follows once this one is through, for that
    // write may have gone elsewhere; every write of a block counts against
    // its ten frames for the run (FramesLeft). Tells the account each pass
    // (PhaseEntered ReadPass, PassEnded) and its progress after each block.
    // True when a pass found every block equal to the image; false when a
    // block ran out of attempts, or the last of the kPasses passes found one
    // differing (it ends there).
    bool ReadPasses()
    {
        const std::vector<bool> lookAlike = LookAlikeBlocks();
        for (int pass = 1; pass <= kPasses; ++pass) {
            account_.PhaseEntered(RunPhase::ReadPass);
            bool rewritten = false;
            int differing = 0;
            for (int32_t offset = 0; offset < length_; offset += loader::kBlockSize) {
                const uint32_t block = static_cast<uint32_t>(offset);
                if (!BlockEqual(block, lookAlike[static_cast<size_t>(offset / loader::kBlockSize)])) {
                    failure_ = Differs(block, lastDiffering_);
                    if (pass == kPasses) return false;
                    if (WriteBlock(block, true, FramesLeft(block)) != 0) return false;
                    rewritten = true;
                    ++differing;
                }
                account_.Progress({RunPhase::ReadPass, offset, length_, false});
            }
            account_.PassEnded({pass, differing});
            if (!rewritten) return true;
            // The next pass reads every block again, among them those that
            // the echoes of this pass's writes put in doubt.
            recheck_.clear();
            unseen_.clear();
        }
        return false;
    }

    // Starts over, as a writer just made: after the speed changed, nothing
    // written before counts.
    void Restart()
    {
        readBackNext_ = false;
        writeCounter_ = 0;
        written_ = 0;
        recheck_.clear();
        unseen_.clear();
        std::fill(framesLeft_.begin(), framesLeft_.end(), kAttemptsPerBlock);
        failure_ = RunOutcome{};
        lastDiffering_.clear();
        anyStored_ = false;
    }

    // What is known of the block that made Write, Finish or ReadPasses fail.
    const RunOutcome& Failure() const { return failure_; }
    // Whether the card has acknowledged any write.
    bool AnyStored() const { return anyStored_; }

private:
    RunOutcome Differs(uint32_t block, const std::vector<uint8_t>& readBack) const
    {
        RunOutcome o;
        o.kind = FailureKind::Block;
        o.block = block;
        o.written.assign(image_ + block, image_ + block + loader::kBlockSize);
        o.readBack = readBack;
        return o;
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
            mismatches = loader::ReadBackMismatches(link_, data);
            if (loader::EchoIntact(link_, loader::kReadFrameBytes)) return mismatches;
        }
        return mismatches > 0 ? mismatches : 1;
    }

    // The 16 data bytes of the last read answer, as far as they arrived.
    std::vector<uint8_t> LastReadData()
    {
        const int32_t arrived = std::clamp(SerialChannel.ReceiveCount - loader::kReadDataPos, 0, loader::kBlockSize);
        const uint8_t* data = SerialChannel.ReceiveBuffer + loader::kReadDataPos;
        return std::vector<uint8_t>(data, data + arrived);
    }

    void Failed(uint32_t offset, int attemptsLeft, AttemptFault fault)
    {
        account_.AttemptFailed({offset, kAttemptsPerBlock - attemptsLeft, fault});
    }

    // The write frames `block` may still be sent: ten for the whole run, its
    // own turn in the block loop, the rewrites its neighbours' echoes ask for
    // and those of the read passes together, so that writes which keep
    // landing on each other's blocks end the run instead of going on for ever.
    int& FramesLeft(uint32_t block) { return framesLeft_[block / loader::kBlockSize]; }

    // Writes one block, at most `attemptsLeft` times. Returns the failure
    // mark of the last attempt: 0 when the block is written (and read back
    // where the rule asks). Once a read-back of the block has failed, every
    // rewrite of it is read back too, so a block known to be wrong is never
    // taken as written. When it fails, Failure() tells why: the bytes read
    // back last (Block), or the cause of the last write (FramesUsedUp).
    int WriteBlock(uint32_t offset, bool readBack, int& attemptsLeft)
    {
        const uint8_t* data = image_ + offset;
        int failureMark = 1;
        RunOutcome failure;
        failure.kind = FailureKind::FramesUsedUp;
        failure.block = offset;
        while (attemptsLeft > 0) {
            // The write, its echo and its acknowledgement.
            failureMark = 0;
            account_.BlockSent(offset);
            SerialChannel.SendCommandText(loader::BlockWriteText(offset, data));
            SerialChannel.Receive(loader::kWriteReplyCount, kAckTimeoutMs);
            const bool suspect = !CheckWriteEcho(offset);
            if (!loader::WriteAcknowledged(link_)) failureMark = 1;
            --attemptsLeft;

            // Let late bytes arrive before the next attempt.
            if (failureMark != 0) {
                failure.kind = FailureKind::FramesUsedUp;
                failure.fault = suspect && !loader::WriteEchoInPlace(link_) ? AttemptFault::EchoOutOfPlace
                                                                      : AttemptFault::NoAcknowledgement;
                Failed(offset, attemptsLeft, failure.fault);
                SerialChannel.Receive(100, 20);
                continue;
            }

            // Accepted; read back when the verify rule asks for it or the
            // echo put the write in doubt.
            account_.BlockStored(offset);
            anyStored_ = true;
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
            failure = Differs(offset, LastReadData());
            Failed(offset, attemptsLeft, suspect ? AttemptFault::EchoDiffers : AttemptFault::ReadBackDiffers);
            readBack = true;
        }
        failure_ = failure;
        return failureMark;
    }

    // Judges the echo of the write of `offset` just sent; true when it came
    // back intact. Notes the blocks it puts in doubt.
    bool CheckWriteEcho(uint32_t offset)
    {
        if (!loader::WriteEchoInPlace(link_)) {
            unseen_.push_back(offset);
            return false;
        }
        QueueUnseen();
        if (loader::EchoIntact(link_, loader::kWriteFrameBytes)) return true;
        // The card took the frame for the echoed address. A block not yet
        // written gets its own write later; one beyond the image is no
        // concern of the image.
        const uint32_t landed = loader::EchoedAddress(link_);
        if (landed != offset && landed < written_ && loader::IsImageBlock(landed, length_)) Queue(landed);
        return false;
    }

    void Queue(uint32_t block)
    {
        if (std::find(recheck_.begin(), recheck_.end(), block) == recheck_.end()) recheck_.push_back(block);
    }

    // Every block already written that one misread address bit would have
    // sent one of the writes whose echo was not in its place to: all to be
    // read back.
    void QueueUnseen()
    {
        for (uint32_t block : unseen_) {
            for (int bit = kLowestBlockBit; bit <= kHighestBlockBit; ++bit) {
                const uint32_t other = block ^ (1u << bit);
                if (other < written_ && loader::IsImageBlock(other, length_)) Queue(other);
            }
        }
        unseen_.clear();
    }

    // One block of a read pass: true when its reads show the image's bytes.
    // A read counts only when its echo came back intact and the whole answer
    // arrived. A card that misreads the address of a read frame answers with
    // another block's bytes behind a clean echo: one answer equal to the
    // image settles a block whose bytes no neighbour holds, but a look-alike
    // block, or one that has given a differing answer, needs two. The block
    // differs when kAgreeingDifferences differing answers agree (the card
    // holds those bytes; answers for misread addresses or with bits flipped
    // on the way back seldom agree), or when kPassReads reads could not
    // settle it.
    bool BlockEqual(uint32_t block, bool lookAlike)
    {
        const uint8_t* data = image_ + block;
        int needed = lookAlike ? 2 : 1;
        int equal = 0;
        std::array<std::array<uint8_t, loader::kBlockSize>, kPassReads> differing{};
        size_t differingCount = 0;
        for (int read = 0; read < kPassReads; ++read) {
            SerialChannel.SendCommandText(loader::BlockReadText(block));
            SerialChannel.Receive(loader::kReadReplyCount, kReadTimeoutMs);
            const bool echoed = loader::EchoIntact(link_, loader::kReadFrameBytes);
            if (!echoed || SerialChannel.ReceiveCount < loader::kReadReplyCount) {
                // Bytes that pushed this answer back, or the rest of an
                // answer cut short, may still come: a short pause (one read
                // step on a silent line) lets them pass before the next read.
                // A frame the card did not answer leaves nothing behind.
                if (!echoed || SerialChannel.ReceiveCount > loader::kReadFrameBytes)
                    SerialChannel.Receive(loader::kReadReplyCount, 20);
                continue;
            }
            if (loader::ReadBackMismatches(link_, data) == 0) {
                if (++equal >= needed) return true;
                continue;
            }
            needed = 2;
            const uint8_t* answer = SerialChannel.ReceiveBuffer + loader::kReadDataPos;
            lastDiffering_.assign(answer, answer + loader::kBlockSize);
            std::memcpy(differing[differingCount++].data(), answer, loader::kBlockSize);
            const auto alike = std::count_if(differing.begin(), differing.begin() + differingCount,
                                             [answer](const std::array<uint8_t, loader::kBlockSize>& earlier) {
                                                 return std::memcmp(earlier.data(), answer, loader::kBlockSize) == 0;
                                             });
            if (alike >= kAgreeingDifferences) return false;
        }
        return false;
    }

    // The blocks whose bytes a misread read address may find elsewhere on
    // the card: all 16 bytes alike (the fill that unwritten or older parts
    // of a card hold most often), or the same as those of an image block one
    // address bit away.
    std::vector<bool> LookAlikeBlocks() const
    {
        std::vector<bool> lookAlike(static_cast<size_t>(length_ / loader::kBlockSize));
        for (int32_t offset = 0; offset < length_; offset += loader::kBlockSize) {
            const uint8_t* data = image_ + offset;
            bool alike = std::all_of(data + 1, data + loader::kBlockSize, [data](uint8_t b) { return b == data[0]; });
            for (int bit = kLowestBlockBit; !alike && bit <= kHighestBlockBit; ++bit) {
                const int32_t other = offset ^ (int32_t{1} << bit);
                alike = other < length_ && std::memcmp(data, image_ + other, loader::kBlockSize) == 0;
            }
            lookAlike[static_cast<size_t>(offset / loader::kBlockSize)] = alike;
        }
        return lookAlike;
    }

    // Reads back every block put in doubt and writes again each one that
    // differs from the image, within the block's frames for the run
    // (FramesLeft).
    int Settle()
    {
        while (!recheck_.empty()) {
            const uint32_t block = recheck_.back();
            recheck_.pop_back();
            if (ReadBackBlock(block, image_ + block) == 0) continue;
            if (const int mark = WriteBlock(block, true, FramesLeft(block)); mark != 0) return mark;
        }
        return 0;
    }

    ReaderLink& link_;
    TSerialChannel& SerialChannel;
    RunObserver& account_;
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
    // Blocks of the writes since the last write whose echo came back in its
    // place.
    std::vector<uint32_t> unseen_;
    // Write frames each block may still be sent in this run.
    std::vector<int> framesLeft_;
    // The block that failed, and the last differing answer of a read pass.
    RunOutcome failure_;
    std::vector<uint8_t> lastDiffering_;
    bool anyStored_ = false;
};

// The run's failure at the block loop: the block's, or the calibration's
// when no trial passed and the loader, running at the middle of the range,
// took no write either.
RunOutcome ProgrammingFailure(const RunOutcome& block, const SpeedChoice& chosen, bool anyStored)
{
    RunOutcome o = block;
    if (!chosen.given && chosen.passed == 0 && !anyStored) {
        o.kind = FailureKind::NoSpeed;
        o.first = chosen.first;
        o.last = chosen.last;
    }
    return o;
}

}  // namespace

bool ProgramCard(ReaderLink& link, ProgramWindow& window, RunObserver& account, TCardImage& image,
                 const RunSettings& run)
{
    TSerialChannel& SerialChannel = link.SerialChannel;
    const Verification mode = window.VerifyMode();
    const bool verifyAll = mode == Verification::EachBlock;

    // 1-3: answer-to-reset check, calibration (unless the speed is given),
    // loader start.
    SpeedChoice chosen;
    if (StartCardLoader(link, window, account, run, false, &chosen) == 0) return false;

    // 4.
    const int32_t length = PadToWholeBlocks(image);

    // 5: block by block, checking the echo of every frame.
    account.PhaseEntered(RunPhase::Writing);
    BlockWriter writer(link, account, image.Data, length, verifyAll);
    const auto fail = [&] {
        account.Ended(ProgrammingFailure(writer.Failure(), chosen, writer.AnyStored()));
        return false;
    };
    // A speed kept from an earlier card: the first block proves it, or the
    // card is calibrated afresh and written from its first block at the
    // speed found.
    int32_t first = 0;
    bool speedGiven = run.fixedSpeed > 0;
    if (speedGiven && run.calibrateWhenRefused) {
        if (writer.Probe(0, kKeptSpeedFrames) == 0) {
            account.Progress({RunPhase::Writing, 0, length, verifyAll});
            first = loader::kBlockSize;
        } else {
            RunSettings calibrated = run;
            calibrated.fixedSpeed = 0;
            if (FindSpeedAndStartLoader(link, window, account, calibrated, false, &chosen) == 0) return false;
            account.PhaseEntered(RunPhase::Writing);
            writer.Restart();
            speedGiven = false;
        }
    }
    if (speedGiven && first == 0) writer.ReadBackNext();
    for (int32_t offset = first; offset < length; offset += loader::kBlockSize) {
        if (writer.Write(static_cast<uint32_t>(offset)) != 0) return fail();
        account.Progress({RunPhase::Writing, offset, length, verifyAll});
    }
    if (writer.Finish() != 0) return fail();

    // With verify, the read pass: the card counts as programmed only when a
    // pass over it found the image.
    if (mode != Verification::Sampled && !writer.ReadPasses()) {
        return fail();
    }

    // 6.
    SerialChannel.Close();
    return true;
}

bool ProgramCard(ReaderLink& link, ProgramWindow& window, TCardImage& image, const RunSettings& run)
{
    WindowStatus shown(window);
    return ProgramCard(link, window, shown, image, run);
}
