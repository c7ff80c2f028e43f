#include "reader/RunAccount.h"

#include <cstdio>

namespace {

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char pair[4];
    for (const uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        text += (text.empty() ? "" : " ") + std::string(pair);
    }
    return text;
}

std::string Address(int64_t address)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%05llX", static_cast<unsigned long long>(address));
    return text;
}

}  // namespace

const char* PhaseName(RunPhase phase)
{
    switch (phase) {
    case RunPhase::ReaderSetup: return "reader_setup";
    case RunPhase::CardRemoval: return "card_removal";
    case RunPhase::CardInsertion: return "card_insertion";
    case RunPhase::AnswerToReset: return "answer_to_reset";
    case RunPhase::Calibration: return "calibration";
    case RunPhase::LoaderStart: return "loader_start";
    case RunPhase::Writing: return "writing";
    case RunPhase::ReadPass: return "read_pass";
    case RunPhase::Reading: return "reading";
    }
    return "?";
}

const char* VerdictName(TrialVerdict verdict)
{
    switch (verdict) {
    case TrialVerdict::Passed: return "passed";
    case TrialVerdict::NoAnswer: return "no_answer";
    case TrialVerdict::NotAcknowledged: return "not_acknowledged";
    case TrialVerdict::WrongAnswer: return "wrong_answer";
    case TrialVerdict::AnswersDiffer: return "answers_differ";
    }
    return "?";
}

const char* FaultName(AttemptFault fault)
{
    switch (fault) {
    case AttemptFault::NoAcknowledgement: return "no_acknowledgement";
    case AttemptFault::EchoOutOfPlace: return "echo_out_of_place";
    case AttemptFault::EchoDiffers: return "echo_differs";
    case AttemptFault::ReadBackDiffers: return "read_back_differs";
    }
    return "?";
}

const char* FailureName(FailureKind kind)
{
    switch (kind) {
    case FailureKind::None: return "none";
    case FailureKind::Port: return "port";
    case FailureKind::CardNotRemoved: return "card_not_removed";
    case FailureKind::ReaderSetup: return "reader_setup";
    case FailureKind::NoCard: return "no_card";
    case FailureKind::WrongAtr: return "wrong_atr";
    case FailureKind::NoSpeed: return "no_speed";
    case FailureKind::Block: return "block";
    case FailureKind::FramesUsedUp: return "frames_used_up";
    case FailureKind::ReadFailed: return "read_failed";
    case FailureKind::CardDiffers: return "differs";
    case FailureKind::ReaderGone: return "reader_gone";
    case FailureKind::Stopped: return "stopped";
    case FailureKind::Other: return "other";
    }
    return "?";
}

std::string DescribeOutcome(const RunOutcome& o)
{
    switch (o.kind) {
    case FailureKind::None: return {};
    case FailureKind::Port: return o.reason.empty() ? "the port could not be opened" : o.reason;
    case FailureKind::CardNotRemoved: return "the card was not taken out";
    case FailureKind::ReaderSetup:
        return o.answer.empty() ? "the reader did not answer its setup (nothing came back to " + o.step + ")"
                                : "the reader answered its setup wrongly (" + o.step + " brought back " + o.answer + ")";
    case FailureKind::NoCard: return "no card was put in";
    case FailureKind::WrongAtr:
        return o.atr.empty() ? "the card gave no answer-to-reset"
                             : "the card's answer-to-reset " + o.atr + " is not a Torvik loader card's (3B 54 4C 54 ...)";
    case FailureKind::NoSpeed:
        return "the card's loader answered at no speed from " + std::to_string(o.first) + " to " +
               std::to_string(o.last) + " baud";
    case FailureKind::Block:
        return "block " + Address(o.block) + " does not hold what was written: written " + Hex(o.written) +
               ", read back " + (o.readBack.empty() ? std::string("nothing") : Hex(o.readBack));
    case FailureKind::FramesUsedUp:
        return "block " + Address(o.block) + " used up its write frames, the last: " + FaultName(o.fault);
    case FailureKind::ReadFailed:
        return "the card gives no steady answer at block " + Address(o.block) + (o.reason.empty() ? "" : ": " + o.reason);
    case FailureKind::CardDiffers: return o.reason.empty() ? "the card differs from the image" : o.reason;
    case FailureKind::ReaderGone: return "the reader went away: " + (o.reason.empty() ? "no reason given" : o.reason);
    case FailureKind::Stopped: return "stopped";
    case FailureKind::Other: return o.reason;
    }
    return {};
}

RunObservers::RunObservers(std::initializer_list<RunObserver*> observers)
{
    for (RunObserver* o : observers) Add(o);
}

void RunObservers::Add(RunObserver* observer)
{
    if (observer != nullptr) observers_.push_back(observer);
}

void RunObservers::RunBegun()
{
    for (RunObserver* o : observers_) o->RunBegun();
}
void RunObservers::PhaseEntered(RunPhase phase)
{
    for (RunObserver* o : observers_) o->PhaseEntered(phase);
}
void RunObservers::Prompt(const SlotPrompt& prompt)
{
    for (RunObserver* o : observers_) o->Prompt(prompt);
}
void RunObservers::SettingReader(const std::string& mode, const std::string& clock)
{
    for (RunObserver* o : observers_) o->SettingReader(mode, clock);
}
void RunObservers::CardAnswered(const std::string& atr)
{
    for (RunObserver* o : observers_) o->CardAnswered(atr);
}
void RunObservers::TrialBegun(const CalibrationTrial& trial)
{
    for (RunObserver* o : observers_) o->TrialBegun(trial);
}
void RunObservers::TrialEnded(const CalibrationTrial& trial)
{
    for (RunObserver* o : observers_) o->TrialEnded(trial);
}
void RunObservers::SpeedChosen(const SpeedChoice& choice)
{
    for (RunObserver* o : observers_) o->SpeedChosen(choice);
}
void RunObservers::BlockSent(uint32_t address)
{
    for (RunObserver* o : observers_) o->BlockSent(address);
}
void RunObservers::BlockStored(uint32_t address)
{
    for (RunObserver* o : observers_) o->BlockStored(address);
}
void RunObservers::AttemptFailed(const BlockAttempt& attempt)
{
    for (RunObserver* o : observers_) o->AttemptFailed(attempt);
}
void RunObservers::Progress(const RunProgress& progress)
{
    for (RunObserver* o : observers_) o->Progress(progress);
}
void RunObservers::PassEnded(const PassResult& pass)
{
    for (RunObserver* o : observers_) o->PassEnded(pass);
}
void RunObservers::Ended(const RunOutcome& outcome)
{
    for (RunObserver* o : observers_) o->Ended(outcome);
}
