#pragma once
// The Program sequence that both front ends run: reader setup, the card wait,
// card programming and the success message, with the port closed afterwards
// whatever happened.

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Window.h"

struct ProgramRunOutcome {
    bool programmed = false;  // the run completed: "Card successfully programmed." was shown
    bool aborted = false;     // stopped by RunAborted (the program is closing)
    std::string error;        // what() of any other exception that escaped
};

// Sets the progress to 0 and the status background to button face, then runs
// SetReaderMode("Phoenix", ClockSetting, 30, port) -> WaitForCard(30, port)
// -> ProgramCard(window) and on success shows "Card successfully programmed."
// on green. The port number is the selected entry + 1, read afresh for each
// call. A failing step has already written its message. Whatever happened the
// port is closed and an abort request cleared before it returns; it never
// throws. Blocks for the whole run (minutes), processing window messages.
// A `fixedSpeed` above 0 is handed to ProgramCard: no calibration, and the
// first block read back at that speed.
ProgramRunOutcome RunProgramSequence(ProgramWindow& window, int32_t fixedSpeed = 0);

// The frame every run against the reader shares: progress 0 and status
// background button face, SetReaderMode("Phoenix", ClockSetting, 30, port) ->
// WaitForCard(30, port) -> `withCard`; then, whatever happened, the port is
// closed, the kept device released and an abort request cleared. `programmed`
// in the outcome is true when `withCard` returned true. Never throws.
ProgramRunOutcome RunReaderSequence(ProgramWindow& window, const std::function<bool()>& withCard);
