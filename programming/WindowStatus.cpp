#include "programming/WindowStatus.h"

#include <cstdint>

#include "reader/StatusMessages.h"

namespace t = status_text;

void WindowStatus::RunBegun()
{
    window_.SetProgress(0);
    window_.Status().SetColor(clBtnFace);
}

void WindowStatus::PhaseEntered(RunPhase phase)
{
    phase_ = phase;
    if (phase == RunPhase::ReaderSetup || phase == RunPhase::CardInsertion) window_.Status().SetColor(clBtnFace);
}

void WindowStatus::Prompt(const SlotPrompt& prompt)
{
    StatusControl& status = window_.Status();
    switch (prompt.step) {
    case SlotPrompt::Step::Asked: status.SetText(prompt.wantCard ? t::kInsertCard : t::kRemoveCard); return;
    case SlotPrompt::Step::FirstHalf: status.SetColor(clYellow); return;
    case SlotPrompt::Step::SecondHalf: status.SetColor(clRed); return;
    case SlotPrompt::Step::Answered:
        if (prompt.wantCard) status.SetColor(clBtnFace);
        return;
    }
}

void WindowStatus::SettingReader(const std::string& mode, const std::string& clock)
{
    mode_ = mode;
    window_.Status().SetText(t::WaitSetting(mode, clock));
}

void WindowStatus::TrialBegun(const CalibrationTrial& trial) { window_.Status().SetText(t::Optimizing(trial.number)); }

void WindowStatus::Progress(const RunProgress& p)
{
    const int percent = p.total > 0 ? static_cast<int>(p.done * 100 / p.total) : 0;
    window_.SetProgress(percent);
    StatusControl& status = window_.Status();
    switch (p.phase) {
    case RunPhase::Writing: status.SetText(t::Progress(p.eachBlock, percent)); return;
    case RunPhase::ReadPass: status.SetText(t::Verifying(percent)); return;
    case RunPhase::Reading: status.SetText(t::Reading(percent)); return;
    default: return;
    }
}

void WindowStatus::Failure(const std::string& text)
{
    window_.Status().SetText(text);
    window_.Status().SetColor(clRed);
}

void WindowStatus::Ended(const RunOutcome& outcome)
{
    switch (outcome.kind) {
    case FailureKind::None:
        window_.Status().SetText(t::kCardProgrammed);
        window_.Status().SetColor(clLime);
        return;
    case FailureKind::Port: Failure(t::kCouldNotOpenPort); return;
    case FailureKind::ReaderSetup: Failure(t::ErrorSetting(mode_)); return;
    case FailureKind::WrongAtr: Failure(t::kWrongAtr); return;
    case FailureKind::NoSpeed:
    case FailureKind::Block:
    case FailureKind::FramesUsedUp: Failure(t::kErrorProgramming); return;
    case FailureKind::ReaderGone:
        // Sooner, but as the step it went in fails.
        switch (phase_) {
        case RunPhase::ReaderSetup: Failure(t::ErrorSetting(mode_)); return;
        case RunPhase::AnswerToReset:
        case RunPhase::Calibration:
        case RunPhase::LoaderStart:
        case RunPhase::Writing:
        case RunPhase::ReadPass: Failure(t::kErrorProgramming); return;
        default: return;
        }
    default: return;
    }
}
