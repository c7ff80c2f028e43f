#include "programming/StartCardLoader.h"

#include <string>

#include "programming/LoaderFrames.h"
#include "programming/ProgramData.h"
#include "programming/ProgramCard.h"
#include "programming/WindowStatus.h"
#include "serial/Scom.h"

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

bool CheckLoaderCardAtr(ProgramWindow& window, RunObserver& account, std::string* atr)
{
    account.PhaseEntered(RunPhase::AnswerToReset);
    loader::OpenBaseSettings(loader::PortNumberOfSelection(window.ComPortIndex()));
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

bool CheckLoaderCardAtr(ProgramWindow& window, std::string* atr)
{
    WindowStatus shown(window);
    return CheckLoaderCardAtr(window, shown, atr);
}

int32_t StartCardLoader(ProgramWindow& window, RunObserver& account, bool readOnly, int32_t fixedSpeed,
                        SpeedChoice* chosen)
{
    const uint32_t port = loader::PortNumberOfSelection(window.ComPortIndex());

    // Only a Torvik loader card is programmed.
    if (!CheckLoaderCardAtr(window, account)) return 0;

    // The speed, and how it was found.
    struct Chosen final : RunObserver {
        void SpeedChosen(const SpeedChoice& c) override { choice = c; }
        SpeedChoice choice;
    } heard;
    RunObservers both{&account, &heard};
    int32_t speed = fixedSpeed;
    if (fixedSpeed > 0) {
        SpeedChoice given;
        given.given = true;
        given.speed = fixedSpeed;
        both.SpeedChosen(given);
    } else {
        speed = readOnly ? FindSpeedWindowReadOnly(window, both).middle : CalibrateBaudRate(window, both);
    }
    if (chosen != nullptr) *chosen = heard.choice;

    // Restart the loader and talk to it at the calibrated speed.
    account.PhaseEntered(RunPhase::LoaderStart);
    loader::OpenBaseSettings(port);
    SerialChannel.ResetCard(0, 0);
    SerialChannel.SendCommandText(loader::kStartCommand);
    loader::OpenWorkingSettings(port, static_cast<uint32_t>(speed));
    return speed;
}

int32_t StartCardLoader(ProgramWindow& window, bool readOnly, int32_t fixedSpeed)
{
    WindowStatus shown(window);
    return StartCardLoader(window, shown, readOnly, fixedSpeed);
}
