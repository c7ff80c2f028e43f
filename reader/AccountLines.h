#pragma once
// The account of a run as lines of text for the trace, written between the
// bytes on the line: phase changes, the prompts, the answer-to-reset, each
// calibration trial with its verdict, the speed chosen, each failed write
// with its cause, each read pass, and the outcome with what is known of it.
// Per-block progress is left out (the bytes show it).
//
//    3.120 phase calibration
//    3.520 trial 1 of 21: 33600 baud, no_answer
//    9.800 speed 34350 baud: passed 34000 to 34700 (8 of 21 trials)
//   12.004 block 0x00100 write 1 failed: read_back_differs
//   40.310 outcome block: block 0x00100 does not hold what was written: ...

#include <cstdint>
#include <functional>
#include <string>

#include "reader/RunAccount.h"

class AccountLines final : public RunObserver {
public:
    // `line` receives each line, without a time stamp or line end.
    explicit AccountLines(std::function<void(const std::string&)> line) : line_(std::move(line)) {}

    void PhaseEntered(RunPhase phase) override;
    void Prompt(const SlotPrompt& prompt) override;
    void SettingReader(const std::string& mode, const std::string& clock) override;
    void CardAnswered(const std::string& atr) override;
    void TrialEnded(const CalibrationTrial& trial) override;
    void SpeedChosen(const SpeedChoice& choice) override;
    void AttemptFailed(const BlockAttempt& attempt) override;
    void PassEnded(const PassResult& pass) override;
    void Ended(const RunOutcome& outcome) override;

private:
    std::function<void(const std::string&)> line_;
};

// What a modem status read means as the reader signals it: "slot empty" or
// "card in" (for the trace's modem lines, LineWatch::SetModemMeaning).
std::string SlotOfModemStatus(uint32_t modemStatus);
