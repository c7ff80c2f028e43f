#pragma once
// The Program sequence that both front ends run: reader setup, the card wait,
// card programming and the success message, with the port closed afterwards
// whatever happened.

#include <cstdint>
#include <functional>
#include <string>

#include "programming/ProgramData.h"
#include "programming/ProgramWindow.h"
#include "reader/RunAccount.h"
#include "serial/ReaderLink.h"

// Each card-slot wait of a run lasts at most this many one-second cycles.
constexpr int32_t kCardWaitSeconds = 30;

struct ProgramRunOutcome {
    bool programmed = false;  // the run completed: "Card successfully programmed." was shown
    bool aborted = false;     // stopped by RunAborted (the program is closing)
    std::string error;        // what() of any other exception that escaped
};

// Tells the account RunBegun (the window: progress 0, status background
// button face), then runs SetReaderMode("Phoenix", run.ClockSetting, 30,
// port) -> WaitForCard(30, port) -> ProgramCard(window, account, image, run)
// and on success tells
// it Ended(None) (the window: "Card successfully programmed." on green). The
// port number is the selected entry + 1, read afresh for each call. A failing
// step has already told its Ended. Whatever happened the port is closed and
// a request to stop cleared (the link's pump) before it returns; it never
// throws. Blocks for the
// whole run (minutes), processing window messages. A run.fixedSpeed above 0
// is handed to ProgramCard: no calibration, and the first block read back at
// that speed.
ProgramRunOutcome RunProgramSequence(ReaderLink& link, ProgramWindow& window, RunObserver& account,
                                     TCardImage& image, const RunSettings& run = {});
// The window's run: the same, shown in `window`'s status field and progress
// bar (programming/WindowStatus.h), and told to `also` when given.
ProgramRunOutcome RunProgramSequence(ReaderLink& link, ProgramWindow& window, TCardImage& image,
                                     const RunSettings& run = {}, RunObserver* also = nullptr);

// The frame every run against the reader shares: the link's port failure
// record cleared (platform/PortFailure.h) and its channel's run begun, RunBegun,
// SetReaderMode("Phoenix", run.ClockSetting, 30, port) -> WaitForCard(30, port) ->
// `withCard`; then, whatever happened, the port is closed, the link's kept
// device released and a request to stop cleared. `programmed` in the outcome is true
// when `withCard` returned true. A run stopped by RunAborted is told as
// Ended(Stopped), a device gone (ReaderGone) as Ended(ReaderGone) with the
// reason, any other exception as Ended(Other) with its text. Never throws.
ProgramRunOutcome RunReaderSequence(ReaderLink& link, ProgramWindow& window, RunObserver& account,
                                    const RunSettings& run, const std::function<bool()>& withCard);
