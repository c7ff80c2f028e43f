#include "programming/ProgramCard.h"


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
// With "Verify programming" the whole card is read back after the last block,
// at most this many times while blocks keep turning up wrong.
constexpr int kVerifyPasses = 3;
// In those passes a block is taken as wrong only after this many read answers
// in a row differ from the image: an answer garbled on the line is not a
// wrong block, and rewriting it would only call for yet another pass.
constexpr int kReadsPerVerifiedBlock = 3;

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

// Reads the block at `offset` back once; the number of its bytes that differ
// from the image.
int ReadBackBlock(uint32_t offset, const uint8_t* data)
{
    SerialChannel.SendCommandText(loader::BlockReadText(offset));
    SerialChannel.Receive(loader::kReadReplyCount, kReadTimeoutMs);
    return loader::ReadBackMismatches(data);
}

// One block: at most ten writes. Returns the failure mark of the last
// attempt: 0 when the block is written (and read back where the rule asks).
// Once a read-back of the block has failed, every rewrite of it is read back
// too, so a block known to be wrong is never taken as written.
int WriteBlock(uint32_t offset, const uint8_t* data, bool verifyAll, int32_t& writeCounter)
{
    int failureMark = 0;
    bool readBack = verifyAll;
    for (int attemptsLeft = kAttemptsPerBlock; attemptsLeft > 0;) {
        // 5.2.1-5.2.4: the write and its acknowledgement.
        failureMark = 0;
        SerialChannel.SendCommandText(loader::BlockWriteText(offset, data));
        SerialChannel.Receive(loader::kWriteReplyCount, kAckTimeoutMs);
        if (!loader::WriteAcknowledged()) failureMark = 1;
        --attemptsLeft;

        // 5.2.5: let late bytes arrive before the next attempt.
        if (failureMark != 0) {
            SerialChannel.Receive(100, 20);
            continue;
        }

        // 5.2.6: accepted; read back when the verify rule asks for it.
        ++writeCounter;
        if (!readBack && writeCounter % kSampleEvery != kSampleEvery - 1) return 0;
        failureMark = ReadBackBlock(offset, data);
        if (failureMark == 0) {
            ++writeCounter;
            return 0;
        }
        readBack = true;
    }
    return failureMark;
}

int ShowProgress(ProgramWindow& window, int32_t offset, int32_t length)
{
    const int percent = static_cast<int>(static_cast<int64_t>(offset) * 100 / length);
    window.SetProgress(percent);
    return percent;
}

enum class PassResult { Clean, Repaired, Failed };

// True when one of up to kReadsPerVerifiedBlock read answers matches.
bool BlockReadsBackRight(uint32_t offset, const uint8_t* data)
{
    for (int read = 0; read < kReadsPerVerifiedBlock; ++read)
        if (ReadBackBlock(offset, data) == 0) return true;
    return false;
}

// One verification pass over the whole image: every block is read back; a
// block that differs is written again under the ten-attempt rule, each
// rewrite read back. A write whose address was garbled on the line lands on
// an earlier block and is acknowledged, so only reading the whole card again
// shows the damage. Failed when a block cannot be repaired.
PassResult VerifyPass(ProgramWindow& window, int32_t length, int32_t& writeCounter)
{
    PassResult result = PassResult::Clean;
    for (int32_t offset = 0; offset < length; offset += loader::kBlockSize) {
        const uint32_t address = static_cast<uint32_t>(offset);
        const uint8_t* data = CardImage.Data + offset;
        if (!BlockReadsBackRight(address, data)) {
            result = PassResult::Repaired;
            if (WriteBlock(address, data, true, writeCounter) != 0) return PassResult::Failed;
        }
        window.Status().SetText(status_text::Verifying(ShowProgress(window, offset, length)));
    }
    return result;
}

}  // namespace

bool ProgramCard(ProgramWindow& window)
{
    const bool verifyAll = window.VerifyChecked();
    StatusControl& status = window.Status();

    // 1-3: answer-to-reset check, calibration, loader start.
    if (StartCardLoader(window) == 0) return false;

    // 4.
    const int32_t length = PadToWholeBlocks(CardImage);

    // 5: block by block.
    int32_t writeCounter = 0;
    for (int32_t offset = 0; offset < length; offset += loader::kBlockSize) {
        const uint32_t address = static_cast<uint32_t>(offset);
        if (WriteBlock(address, CardImage.Data + offset, verifyAll, writeCounter) != 0) {
            ShowFailure(status, status_text::kErrorProgramming);
            return false;
        }
        status.SetText(status_text::Progress(verifyAll, ShowProgress(window, offset, length)));
    }

    // With verify: read the whole card back until a pass finds every block
    // right; a pass that had to repair a block is followed by another.
    if (verifyAll) {
        PassResult pass = PassResult::Repaired;
        for (int n = 0; n < kVerifyPasses && pass == PassResult::Repaired; ++n)
            pass = VerifyPass(window, length, writeCounter);
        if (pass != PassResult::Clean) {
            ShowFailure(status, status_text::kErrorProgramming);
            return false;
        }
    }

    // 6.
    SerialChannel.Close();
    return true;
}
