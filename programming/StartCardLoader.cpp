#include "programming/StartCardLoader.h"

#include <string>

#include "programming/LoaderFrames.h"
#include "programming/ProgramData.h"
#include "programming/ProgramCard.h"
#include "reader/StatusMessages.h"
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

bool CheckLoaderCardAtr(ProgramWindow& window, std::string* atr)
{
    loader::OpenBaseSettings(loader::PortNumberOfSelection(window.ComPortIndex()));
    const std::string answer = SerialChannel.ResetCard(0, 0);
    if (atr != nullptr) *atr = answer;
    if (IsLoaderCardAtr(answer)) return true;
    ShowFailure(window.Status(), status_text::kWrongAtr);
    return false;
}

int32_t StartCardLoader(ProgramWindow& window, bool readOnly, int32_t fixedSpeed)
{
    const uint32_t port = loader::PortNumberOfSelection(window.ComPortIndex());

    // Only a Torvik loader card is programmed.
    if (!CheckLoaderCardAtr(window)) return 0;

    const int32_t speed = fixedSpeed > 0 ? fixedSpeed
                          : readOnly     ? CalibrateBaudRateReadOnly(window)
                                         : CalibrateBaudRate(window);

    // Restart the loader and talk to it at the calibrated speed.
    loader::OpenBaseSettings(port);
    SerialChannel.ResetCard(0, 0);
    SerialChannel.SendCommandText(loader::kStartCommand);
    loader::OpenWorkingSettings(port, static_cast<uint32_t>(speed));
    return speed;
}
