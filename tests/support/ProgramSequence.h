#pragma once
// The Program sequence as the window's Program button and the command-line
// program run it, without a toolkit: controls disabled, progress 0 and the
// status on button face; SetReaderMode("Phoenix", ClockSetting, 30, port) ->
// WaitForCard(30, port) -> ProgramCard -> "Card successfully programmed." on
// green; then, whatever happened, the port closed and the controls enabled
// again. Fault and endurance tests run whole runs through it.

#include <cstdint>
#include <string>

#include "platform/Platform.h"
#include "programming/LoaderFrames.h"
#include "programming/ProgramCard.h"
#include "programming/ProgramData.h"
#include "reader/StatusMessages.h"
#include "reader/Usb_phoenixinterface.h"
#include "serial/Scom.h"
#include "support/RecordingWindow.h"

struct ProgramRunOutcome {
    bool programmed = false;  // the success message was shown
    bool aborted = false;     // the run was stopped through RunAborted
    std::string exception;    // what() of any other exception that escaped
};

// `controlsEnabled` stands for the window's input controls: false for the
// whole run, true again afterwards.
inline ProgramRunOutcome RunProgramSequence(RecordingWindow& window, bool& controlsEnabled)
{
    controlsEnabled = false;
    window.SetProgress(0);
    window.status.SetColor(clBtnFace);

    ProgramRunOutcome outcome;
    const uint32_t port = loader::PortNumberOfSelection(window.ComPortIndex());
    try {
        if (SetReaderMode("Phoenix", ClockSetting, 30, port, window.status) &&
            WaitForCard(30, port, window.status) && ProgramCard(window)) {
            window.status.SetText(status_text::kCardProgrammed);
            window.status.SetColor(clLime);
            outcome.programmed = true;
        }
    } catch (const RunAborted&) {
        outcome.aborted = true;
    } catch (const std::exception& e) {
        outcome.exception = e.what();
    }
    SerialChannel.Close();
    Platform().abortRequested = false;
    controlsEnabled = true;
    return outcome;
}
