#include "programming/ProgramSequence.h"

#include <cstdint>
#include <exception>

#include "platform/KeptPorts.h"
#include "platform/Platform.h"
#include "platform/PortFailure.h"
#include "programming/LoaderFrames.h"
#include "programming/ProgramCard.h"
#include "programming/WindowStatus.h"
#include "reader/Usb_phoenixinterface.h"
#include "serial/Scom.h"

namespace {

// The reader is always set up in Phoenix mode.
const char kReaderMode[] = "Phoenix";

RunOutcome Ending(FailureKind kind, const std::string& reason)
{
    RunOutcome o;
    o.kind = kind;
    o.reason = reason;
    return o;
}

}  // namespace

ProgramRunOutcome RunReaderSequence(ProgramWindow& window, RunObserver& account, const RunSettings& run,
                                    const std::function<bool()>& withCard)
{
    ClearPortFailures();
    SerialChannel.BeginRun();
    account.RunBegun();

    const auto port = [&window] { return loader::PortNumberOfSelection(window.ComPortIndex()); };
    ProgramRunOutcome outcome;
    try {
        outcome.programmed = SetReaderMode(kReaderMode, run.ClockSetting, kCardWaitSeconds, port(), account) &&
                             WaitForCard(kCardWaitSeconds, port(), account) && withCard();
    } catch (const RunAborted&) {
        outcome.aborted = true;
        account.Ended(Ending(FailureKind::Stopped, {}));
    } catch (const ReaderGone& e) {
        account.Ended(Ending(FailureKind::ReaderGone, e.what()));
    } catch (const std::exception& e) {
        outcome.error = e.what();
        account.Ended(Ending(FailureKind::Other, e.what()));
    }
    SerialChannel.Close();
    // The run is over: the device is really closed, not kept for a reopen.
    ReleaseKeptPorts();
    Platform().abortRequested = false;
    return outcome;
}

ProgramRunOutcome RunProgramSequence(ProgramWindow& window, RunObserver& account, TCardImage& image,
                                     const RunSettings& run)
{
    return RunReaderSequence(window, account, run, [&window, &account, &image, &run] {
        if (!ProgramCard(window, account, image, run)) return false;
        account.Ended(RunOutcome{});
        return true;
    });
}

ProgramRunOutcome RunProgramSequence(ProgramWindow& window, TCardImage& image, const RunSettings& run,
                                     RunObserver* also)
{
    WindowStatus shown(window);
    RunObservers account{&shown, also};
    return RunProgramSequence(window, account, image, run);
}
