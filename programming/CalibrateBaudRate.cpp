#include <cstring>

#include "programming/CardReadBack.h"
#include "programming/LoaderFrames.h"
#include "programming/ProgramCard.h"
#include "programming/ProgramData.h"
#include "reader/StatusMessages.h"
#include "serial/Scom.h"
#include "serial/Utils.h"

namespace {

// The start of every trial: the card reset at the base settings (its answer
// is not read), the loader start command, and the port reopened at the trial
// speed.
void StartLoaderForTrial(uint32_t port, int32_t speed)
{
    // 2.2-2.4: reset the card at the base settings; its answer is not read.
    loader::OpenBaseSettings(port);
    SerialChannel.SetRts();
    PumpingDelay.Wait(10);
    SerialChannel.ClearRts();
    SerialChannel.ClearReceiveBuffer();
    SerialChannel.Receive(8, 250);

    // 2.5-2.6: start the loader, then listen at the trial speed.
    SerialChannel.SendCommandText(loader::kStartCommand);
    loader::OpenWorkingSettings(port, static_cast<uint32_t>(speed));
}

// The identification write and read-back at the speed in hand; true when the
// loader stored the identification block and returned it.
bool TrialPasses(uint32_t port, int32_t speed)
{
    StartLoaderForTrial(port, speed);

    // 2.7-2.10: the identification write must be echoed and acknowledged
    // within 250 ms; one more read collects anything late.
    SerialChannel.ClearReceiveBuffer();
    SerialChannel.SendCommandText(loader::BlockWriteText(0, loader::kIdentificationBlock));
    SerialChannel.Receive(loader::kWriteReplyCount, 250);
    if (SerialChannel.ReceiveCount != loader::kWriteReplyCount) return false;
    SerialChannel.Receive(loader::kWriteReplyCount, 1500);
    if (!loader::WriteAcknowledged()) return false;

    // 2.11-2.12: the whole read answer within 250 ms, carrying the block.
    SerialChannel.ClearReceiveBuffer();
    SerialChannel.SendCommandText(loader::BlockReadText(0));
    SerialChannel.Receive(loader::kReadReplyCount, 250);
    return SerialChannel.ReceiveCount == loader::kReadReplyCount &&
           std::memcmp(SerialChannel.ReceiveBuffer + loader::kReadDataPos, loader::kIdentificationBlock,
                       loader::kBlockSize) == 0;
}

// A trial that writes nothing: block 0 read until two whole answers with an
// intact echo agree (at most three reads).
bool ReadOnlyTrialPasses(uint32_t port, int32_t speed)
{
    StartLoaderForTrial(port, speed);
    uint8_t block[loader::kBlockSize];
    int reads = 0;
    return loader::ReadCardBlock(0, block, 3, reads);
}

// The sweep over the trial speeds of the clock in force.
int32_t Sweep(ProgramWindow& window, bool (*trialPasses)(uint32_t port, int32_t speed))
{
    const uint32_t port = loader::PortNumberOfSelection(window.ComPortIndex());

    // 1: the passing window starts inverted, so that any pass sets both ends.
    const loader::CalibrationRange range = loader::CalibrationRangeFor(ClockSetting);
    int32_t lowest = range.last;
    int32_t highest = range.first;

    // 2-3: every trial runs; a failure only leaves the window as it is.
    int trials = 0;
    for (int32_t speed = range.first; speed <= range.last; speed += loader::kTrialStep) {
        window.Status().SetText(status_text::Optimizing(++trials));
        if (!trialPasses(port, speed)) continue;
        if (speed < lowest) lowest = speed;
        if (speed > highest) highest = speed;
    }

    // 4: the middle of the passing window (of the range when none passed).
    return (lowest + highest) / 2;
}

}  // namespace

int32_t CalibrateBaudRate(ProgramWindow& window) { return Sweep(window, TrialPasses); }

int32_t CalibrateBaudRateReadOnly(ProgramWindow& window) { return Sweep(window, ReadOnlyTrialPasses); }
