#pragma once
// What the window shows of a run: the one table from the run's account
// (reader/RunAccount.h) to the status field's text and colour and the
// progress bar. Each event below writes exactly what the window has always
// shown at that point; nothing else in the core writes the status field.
//
//   RunBegun                      progress 0, button face
//   PhaseEntered ReaderSetup,     button face
//                CardInsertion
//   Prompt Asked                  "Please remove card from card slot." /
//                                 "Please insert card in card slot."
//          FirstHalf, SecondHalf  yellow, red (the blink)
//          Answered               button face after a card was put in (after a
//                                 removal the reader setup that follows sets it)
//   SettingReader                 "Wait Setting <mode> <clock>MHz."
//   TrialBegun                    "Optimizing " and a star per trial begun
//   Progress                      progress p, then "Programming[ and verifying] p%",
//                                 "Verifying p%" or "Reading p%"
//   Ended None                    "Card successfully programmed." on green
//         Port                    "Could not open comport!" on red
//         ReaderSetup             "Error setting <mode> mode." on red
//         WrongAtr                "Wrong ATR, please insert a Torvik Loader Card." on red
//         NoSpeed, Block,         "Error programming Torvik Loader Card." on red
//         FramesUsedUp
//         ReaderGone              the failure of the step it went in, on red:
//                                 "Error setting <mode> mode." in the reader
//                                 setup, "Error programming Torvik Loader
//                                 Card." from the answer-to-reset on (not
//                                 "Wrong ATR": the card is not to blame); in a
//                                 card wait the prompt is left standing
//         CardNotRemoved, NoCard, nothing: the prompt is left standing, in the
//         Stopped, Other, ...     colour it had
// where p is done * 100 / total of the progress (never 100 within a phase).

#include <string>

#include "programming/ProgramWindow.h"
#include "reader/RunAccount.h"

class WindowStatus final : public RunObserver {
public:
    // Writes `window`'s status field and progress bar.
    explicit WindowStatus(ProgramWindow& window) : window_(window) {}

    void RunBegun() override;
    void PhaseEntered(RunPhase phase) override;
    void Prompt(const SlotPrompt& prompt) override;
    void SettingReader(const std::string& mode, const std::string& clock) override;
    void TrialBegun(const CalibrationTrial& trial) override;
    void Progress(const RunProgress& progress) override;
    void Ended(const RunOutcome& outcome) override;

private:
    void Failure(const std::string& text);

    ProgramWindow& window_;
    RunPhase phase_ = RunPhase::ReaderSetup;
    std::string mode_;
};
