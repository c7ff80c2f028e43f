#include "programming/ProgramSequence.h"

#include <cstdint>
#include <exception>

#include "platform/PortFailure.h"
#include "programming/LoaderFrames.h"
#include "programming/ProgramCard.h"
#include "programming/WindowStatus.h"
#include "reader/Usb_phoenixinterface.h"
#include "serial/ReaderLink.h"

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

ProgramRunOutcome RunReaderSequence(ReaderLink& link, ProgramWindow& window, RunObserver& account,
                                    const RunSettings& run, const std::function<bool()>& withCard)
{
    TSerialChannel& SerialChannel = link.SerialChannel;
    link.failures.Clear();
    SerialChannel.BeginRun();
    account.RunBegun();

    const auto port = [&window] { return loader::PortNumberOfSelection(window.ComPortIndex()); };
    ProgramRunOutcome outcome;
    try {
        outcome.programmed = SetReaderMode(link, kReaderMode, run.ClockSetting, kCardWaitSeconds, port(), account) &&
                             WaitForCard(link, kCardWaitSeconds, port(), account) && withCard();
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
    link.ReleaseKept();
    link.pump.ClearAbort();
    return outcome;
}

ProgramRunOutcome RunProgramSequence(ReaderLink& link, ProgramWindow& window, RunObserver& account,
                                     TCardImage& image, const RunSettings& run)
{
    return RunReaderSequence(link, window, account, run, [&link, &window, &account, &image, &run] {
        if (!ProgramCard(link, window, account, image, run)) return false;
        account.Ended(RunOutcome{});
        return true;
    });
}

ProgramRunOutcome RunProgramSequence(ReaderLink& link, ProgramWindow& window, TCardImage& image,
                                     const RunSettings& run, RunObserver* also)
{
    WindowStatus shown(window);
    RunObservers account{&shown, also};
    return RunProgramSequence(link, window, account, image, run);
}
