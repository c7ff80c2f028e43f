#include "programming/StartCardLoader.h"

#include <string>

#include "programming/LoaderFrames.h"
#include "programming/ProgramCard.h"
#include "programming/WindowStatus.h"
#include "serial/ReaderLink.h"

namespace {

// A Torvik loader card answers the reset with 3B 54 4C 54 and at least one
// more byte.
const char kAtrPrefix[] = "3B 54 4C 54 ";
constexpr size_t kAtrPrefixLength = sizeof kAtrPrefix - 1;

bool IsLoaderCardAtr(const std::string& atr)
{
    return atr.size() > kAtrPrefixLength && atr.compare(0, kAtrPrefixLength, kAtrPrefix) == 0;
}

}  // namespace

bool CheckLoaderCardAtr(ReaderLink& link, ProgramWindow& window, RunObserver& account, const RunSettings& run,
                        std::string* atr)
{
    TSerialChannel& SerialChannel = link.SerialChannel;
    account.PhaseEntered(RunPhase::AnswerToReset);
    loader::OpenBaseSettings(link, loader::PortNumberOfSelection(window.ComPortIndex()), run.ClockSetting);
    const std::string answer = SerialChannel.ResetCard(0, 0);
    if (atr != nullptr) *atr = answer;
    account.CardAnswered(answer);
    if (IsLoaderCardAtr(answer)) return true;
    RunOutcome wrong;
    wrong.kind = FailureKind::WrongAtr;
    wrong.atr = answer;
    account.Ended(wrong);
    return false;
}

bool CheckLoaderCardAtr(ReaderLink& link, ProgramWindow& window, const RunSettings& run, std::string* atr)
{
    WindowStatus shown(window);
    return CheckLoaderCardAtr(link, window, shown, run, atr);
}

int32_t StartCardLoader(ReaderLink& link, ProgramWindow& window, RunObserver& account, const RunSettings& run,
                        bool readOnly, SpeedChoice* chosen)
{
    // Only a Torvik loader card is programmed.
    if (!CheckLoaderCardAtr(link, window, account, run)) return 0;
    return FindSpeedAndStartLoader(link, window, account, run, readOnly, chosen);
}

int32_t FindSpeedAndStartLoader(ReaderLink& link, ProgramWindow& window, RunObserver& account, const RunSettings& run,
                                bool readOnly, SpeedChoice* chosen)
{
    TSerialChannel& SerialChannel = link.SerialChannel;
    const uint32_t port = loader::PortNumberOfSelection(window.ComPortIndex());

    // The speed, and how it was found.
    struct Chosen final : RunObserver {
        void SpeedChosen(const SpeedChoice& c) override { choice = c; }
        SpeedChoice choice;
    } heard;
    RunObservers both{&account, &heard};
    int32_t speed = run.fixedSpeed;
    if (run.fixedSpeed > 0) {
        SpeedChoice given;
        given.given = true;
        given.speed = run.fixedSpeed;
        both.SpeedChosen(given);
    } else {
        speed = readOnly ? FindSpeedWindowReadOnly(link, window, both, run).middle
                         : CalibrateBaudRate(link, window, both, run);
    }
    if (chosen != nullptr) *chosen = heard.choice;

    // Restart the loader and talk to it at the calibrated speed.
    account.PhaseEntered(RunPhase::LoaderStart);
    loader::OpenBaseSettings(link, port, run.ClockSetting);
    SerialChannel.ResetCard(0, 0);
    SerialChannel.SendCommandText(loader::kStartCommand);
    loader::OpenWorkingSettings(link, port, static_cast<uint32_t>(speed));
    return speed;
}

int32_t StartCardLoader(ReaderLink& link, ProgramWindow& window, bool readOnly, const RunSettings& run)
{
    WindowStatus shown(window);
    return StartCardLoader(link, window, shown, run, readOnly);
}
