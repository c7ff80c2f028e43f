#include "programming/ProgramSequence.h"

#include <cstdint>
#include <exception>

#include "platform/KeptPorts.h"
#include "platform/Platform.h"
#include "programming/LoaderFrames.h"
#include "programming/ProgramCard.h"
#include "programming/ProgramData.h"
#include "reader/StatusMessages.h"
#include "reader/Usb_phoenixinterface.h"
#include "serial/Scom.h"

namespace {

// The reader is always set up in Phoenix mode; each card-slot wait lasts at
// most 30 one-second blink cycles.
const char kReaderMode[] = "Phoenix";
constexpr int32_t kWaitCount = 30;

}  // namespace

ProgramRunOutcome RunReaderSequence(ProgramWindow& window, const std::function<bool()>& withCard)
{
    window.SetProgress(0);
    window.Status().SetColor(clBtnFace);

    const auto port = [&window] { return loader::PortNumberOfSelection(window.ComPortIndex()); };
    ProgramRunOutcome outcome;
    try {
        outcome.programmed = SetReaderMode(kReaderMode, ClockSetting, kWaitCount, port(), window.Status()) &&
                             WaitForCard(kWaitCount, port(), window.Status()) && withCard();
    } catch (const RunAborted&) {
        outcome.aborted = true;
    } catch (const std::exception& e) {
        outcome.error = e.what();
    }
    SerialChannel.Close();
    // The run is over: the device is really closed, not kept for a reopen.
    ReleaseKeptPorts();
    Platform().abortRequested = false;
    return outcome;
}

ProgramRunOutcome RunProgramSequence(ProgramWindow& window, int32_t fixedSpeed)
{
    return RunReaderSequence(window, [&window, fixedSpeed] {
        if (!ProgramCard(window, fixedSpeed)) return false;
        window.Status().SetText(status_text::kCardProgrammed);
        window.Status().SetColor(clLime);
        return true;
    });
}
