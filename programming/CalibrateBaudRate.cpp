#include <cstring>

#include "programming/LoaderFrames.h"
#include "programming/ProgramCard.h"
#include "programming/ProgramData.h"
#include "programming/WindowStatus.h"
#include "serial/ReaderLink.h"

namespace {

// The start of every trial: the card reset at the base settings (its answer
// is not read), the loader start command, and the port reopened at the trial
// speed.
void StartLoaderForTrial(ReaderLink& link, uint32_t port, int32_t speed, const RunSettings& run)
{
    TSerialChannel& SerialChannel = link.SerialChannel;
    TPumpingDelay& PumpingDelay = link.PumpingDelay;

    // 2.2-2.4: reset the card at the base settings; its answer is not read.
    loader::OpenBaseSettings(link, port, run.ClockSetting);
    SerialChannel.SetRts();
    PumpingDelay.Wait(10);
    SerialChannel.ClearRts();
    SerialChannel.ClearReceiveBuffer();
    SerialChannel.Receive(8, 250);

    // 2.5-2.6: start the loader, then listen at the trial speed.
    SerialChannel.SendCommandText(loader::kStartCommand);
    loader::OpenWorkingSettings(link, port, static_cast<uint32_t>(speed));
}

// The identification write and read-back at the speed in hand; true when the
// loader stored the identification block and returned it. `verdict` says how
// the trial ended.
bool TrialPasses(ReaderLink& link, uint32_t port, int32_t speed, const RunSettings& run, TrialVerdict& verdict)
{
    TSerialChannel& SerialChannel = link.SerialChannel;
    StartLoaderForTrial(link, port, speed, run);

    // 2.7-2.10: the identification write must be echoed and acknowledged
    // within 250 ms; one more read collects anything late.
    SerialChannel.ClearReceiveBuffer();
    SerialChannel.SendCommandText(loader::BlockWriteText(0, loader::kIdentificationBlock));
    SerialChannel.Receive(loader::kWriteReplyCount, 250);
    verdict = TrialVerdict::NoAnswer;
    if (SerialChannel.ReceiveCount != loader::kWriteReplyCount) return false;
    SerialChannel.Receive(loader::kWriteReplyCount, 1500);
    verdict = TrialVerdict::NotAcknowledged;
    if (!loader::WriteAcknowledged(link)) return false;

    // 2.11-2.12: the whole read answer within 250 ms, carrying the block.
    SerialChannel.ClearReceiveBuffer();
    SerialChannel.SendCommandText(loader::BlockReadText(0));
    SerialChannel.Receive(loader::kReadReplyCount, 250);
    verdict = SerialChannel.ReceiveCount == loader::kReadReplyCount ? TrialVerdict::WrongAnswer : TrialVerdict::NoAnswer;
    const bool passed = SerialChannel.ReceiveCount == loader::kReadReplyCount &&
                        std::memcmp(SerialChannel.ReceiveBuffer + loader::kReadDataPos, loader::kIdentificationBlock,
                                    loader::kBlockSize) == 0;
    if (passed) verdict = TrialVerdict::Passed;
    return passed;
}

// Read answers a read-only trial takes at most: a first clean one, a second
// that agrees, and a third only when those two differ.
constexpr int kReadOnlyTrialReads = 3;
// Each of them is awaited as long as the identification read-back.
constexpr int32_t kTrialReadMs = 250;

// One read of block 0 at the trial speed, judged as the identification
// read-back is: the whole answer within 250 ms, here with the echo intact as
// well. True with the 16 stored bytes in `out`.
bool TrialRead(ReaderLink& link, uint8_t* out)
{
    TSerialChannel& SerialChannel = link.SerialChannel;
    SerialChannel.ClearReceiveBuffer();
    SerialChannel.SendCommandText(loader::BlockReadText(0));
    SerialChannel.Receive(loader::kReadReplyCount, kTrialReadMs);
    if (SerialChannel.ReceiveCount != loader::kReadReplyCount || !loader::EchoIntact(link, loader::kReadFrameBytes))
        return false;
    std::memcpy(out, SerialChannel.ReceiveBuffer + loader::kReadDataPos, loader::kBlockSize);
    return true;
}

// A trial that writes nothing. A read without a clean answer ends the trial
// at once: outside the card's window the loader does not answer, and waiting
// for more reads there is what would make this sweep slow. Two clean answers
// that agree pass; when they differ, one was garbled on the line and a third
// read decides.
bool ReadOnlyTrialPasses(ReaderLink& link, uint32_t port, int32_t speed, const RunSettings& run,
                         TrialVerdict& verdict)
{
    StartLoaderForTrial(link, port, speed, run);
    uint8_t answers[kReadOnlyTrialReads][loader::kBlockSize];
    verdict = TrialVerdict::NoAnswer;
    for (int n = 0; n < kReadOnlyTrialReads; ++n) {
        if (!TrialRead(link, answers[n])) return false;
        verdict = TrialVerdict::AnswersDiffer;
        for (int k = 0; k < n; ++k)
            if (std::memcmp(answers[k], answers[n], loader::kBlockSize) == 0) {
                verdict = TrialVerdict::Passed;
                return true;
            }
    }
    return false;
}

using Trial = bool (*)(ReaderLink& link, uint32_t port, int32_t speed, const RunSettings& run, TrialVerdict& verdict);

// The sweep over the trial speeds of the run's clock. Tells the account the
// phase, each trial as it begins and with its verdict, and the speed chosen.
SpeedWindow Sweep(ReaderLink& link, ProgramWindow& window, RunObserver& account, const RunSettings& run,
                  Trial trialPasses)
{
    const uint32_t port = loader::PortNumberOfSelection(window.ComPortIndex());
    account.PhaseEntered(RunPhase::Calibration);

    // 1: the passing window starts inverted, so that any pass sets both ends.
    const loader::CalibrationRange range = loader::CalibrationRangeFor(run.ClockSetting);
    SpeedWindow found;
    found.lowest = range.last;
    found.highest = range.first;

    // 2-3: every trial runs; a failure only leaves the window as it is.
    CalibrationTrial trial;
    trial.of = (range.last - range.first) / loader::kTrialStep + 1;
    for (int32_t speed = range.first; speed <= range.last; speed += loader::kTrialStep) {
        ++trial.number;
        trial.speed = speed;
        account.TrialBegun(trial);
        const bool passed = trialPasses(link, port, speed, run, trial.verdict);
        account.TrialEnded(trial);
        if (!passed) continue;
        ++found.passed;
        if (speed < found.lowest) found.lowest = speed;
        if (speed > found.highest) found.highest = speed;
    }

    // 4: the middle of the passing window (of the range when none passed).
    found.middle = (found.lowest + found.highest) / 2;

    SpeedChoice choice;
    choice.first = range.first;
    choice.last = range.last;
    choice.trials = trial.number;
    choice.passed = found.passed;
    choice.lowest = found.lowest;
    choice.highest = found.highest;
    choice.speed = found.middle;
    account.SpeedChosen(choice);
    return found;
}

}  // namespace

int32_t CalibrateBaudRate(ReaderLink& link, ProgramWindow& window, RunObserver& account, const RunSettings& run)
{
    return Sweep(link, window, account, run, TrialPasses).middle;
}

SpeedWindow FindSpeedWindowReadOnly(ReaderLink& link, ProgramWindow& window, RunObserver& account,
                                    const RunSettings& run)
{
    return Sweep(link, window, account, run, ReadOnlyTrialPasses);
}

int32_t CalibrateBaudRate(ReaderLink& link, ProgramWindow& window, const RunSettings& run)
{
    WindowStatus shown(window);
    return CalibrateBaudRate(link, window, shown, run);
}

int32_t CalibrateBaudRateReadOnly(ReaderLink& link, ProgramWindow& window, const RunSettings& run)
{
    WindowStatus shown(window);
    return FindSpeedWindowReadOnly(link, window, shown, run).middle;
}

SpeedWindow FindSpeedWindowReadOnly(ReaderLink& link, ProgramWindow& window, const RunSettings& run)
{
    WindowStatus shown(window);
    return FindSpeedWindowReadOnly(link, window, shown, run);
}
