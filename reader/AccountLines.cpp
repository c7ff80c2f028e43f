#include "reader/AccountLines.h"

#include <cstdio>

#include "serial/Scom.h"

void AccountLines::PhaseEntered(RunPhase phase) { line_(std::string("phase ") + PhaseName(phase)); }

void AccountLines::Prompt(const SlotPrompt& prompt)
{
    if (prompt.step == SlotPrompt::Step::Asked)
        line_(prompt.wantCard ? "prompt: put a card in" : "prompt: take the card out");
    else if (prompt.step == SlotPrompt::Step::Answered)
        line_(prompt.wantCard ? "prompt answered: card in" : "prompt answered: slot empty");
}

void AccountLines::SettingReader(const std::string& mode, const std::string& clock)
{
    line_("reader setup: " + mode + " at " + clock + " MHz");
}

void AccountLines::CardAnswered(const std::string& atr)
{
    line_("answer-to-reset " + (atr.empty() ? std::string("(none)") : atr));
}

void AccountLines::TrialEnded(const CalibrationTrial& trial)
{
    line_("trial " + std::to_string(trial.number) + " of " + std::to_string(trial.of) + ": " +
          std::to_string(trial.speed) + " baud, " + VerdictName(trial.verdict));
}

void AccountLines::SpeedChosen(const SpeedChoice& c)
{
    const std::string speed = "speed " + std::to_string(c.speed) + " baud: ";
    if (c.given) {
        line_(speed + "given, no calibration");
    } else if (c.passed == 0) {
        line_(speed + "no trial passed from " + std::to_string(c.first) + " to " + std::to_string(c.last) +
              ", the middle of the range");
    } else {
        line_(speed + "passed " + std::to_string(c.lowest) + " to " + std::to_string(c.highest) + " (" +
              std::to_string(c.passed) + " of " + std::to_string(c.trials) + " trials)");
    }
}

void AccountLines::AttemptFailed(const BlockAttempt& attempt)
{
    char address[24];
    std::snprintf(address, sizeof address, "0x%05X", static_cast<unsigned>(attempt.address));
    line_(std::string("block ") + address + " write " + std::to_string(attempt.frame) + " failed: " +
          FaultName(attempt.fault));
}

void AccountLines::PassEnded(const PassResult& pass)
{
    line_("read pass " + std::to_string(pass.pass) + ": " +
          (pass.differing == 0 ? std::string("every block equal to the image")
                               : std::to_string(pass.differing) + " block" + (pass.differing == 1 ? "" : "s") +
                                     " differing"));
}

void AccountLines::Ended(const RunOutcome& outcome)
{
    if (outcome.kind == FailureKind::None) {
        line_("outcome success");
        return;
    }
    line_(std::string("outcome ") + FailureName(outcome.kind) + ": " + DescribeOutcome(outcome));
}

std::string SlotOfModemStatus(uint32_t modemStatus)
{
    return TSerialChannel::SlotEmptyIn(modemStatus) ? "slot empty" : "card in";
}
