#include "programming/StartCardLoader.h"

#include <string>

#include "programming/CardReadBack.h"
#include "programming/LoaderFrames.h"
#include "programming/ProgramData.h"
#include "programming/ProgramCard.h"
#include "reader/StatusMessages.h"
#include "serial/Scom.h"
#include "serial/Utils.h"

namespace {

// A Torvik loader card answers the reset with 3B 54 4C 54 and at least one
// more byte.
const char kAtrPrefix[] = "3B 54 4C 54 ";
constexpr size_t kAtrPrefixLength = sizeof kAtrPrefix - 1;

bool IsLoaderCardAtr(const std::string& atr)
{
    return atr.size() > kAtrPrefixLength && atr.compare(0, kAtrPrefixLength, kAtrPrefix) == 0;
}

// A trial that writes nothing: reset, loader start, then block 0 read until
// two whole answers agree (at most three reads).
bool ReadOnlyTrialPasses(uint32_t port, int32_t speed)
{
    loader::OpenBaseSettings(port);
    SerialChannel.SetRts();
    PumpingDelay.Wait(10);
    SerialChannel.ClearRts();
    SerialChannel.ClearReceiveBuffer();
    SerialChannel.Receive(8, 250);
    SerialChannel.SendCommandText(loader::kStartCommand);
    loader::OpenWorkingSettings(port, static_cast<uint32_t>(speed));
    uint8_t block[loader::kBlockSize];
    int reads = 0;
    return loader::ReadCardBlock(0, block, 3, reads);
}

int32_t CalibrateReadOnly(ProgramWindow& window)
{
    const uint32_t port = loader::PortNumberOfSelection(window.ComPortIndex());
    const loader::CalibrationRange range = loader::CalibrationRangeFor(ClockSetting);
    int32_t lowest = range.last;
    int32_t highest = range.first;
    int trials = 0;
    for (int32_t speed = range.first; speed <= range.last; speed += loader::kTrialStep) {
        window.Status().SetText(status_text::Optimizing(++trials));
        if (!ReadOnlyTrialPasses(port, speed)) continue;
        if (speed < lowest) lowest = speed;
        if (speed > highest) highest = speed;
    }
    return (lowest + highest) / 2;
}

}  // namespace

int32_t StartCardLoader(ProgramWindow& window, bool readOnly)
{
    const uint32_t port = loader::PortNumberOfSelection(window.ComPortIndex());

    // Only a Torvik loader card is programmed.
    loader::OpenBaseSettings(port);
    if (!IsLoaderCardAtr(SerialChannel.ResetCard(0, 0))) {
        ShowFailure(window.Status(), status_text::kWrongAtr);
        return 0;
    }

    const int32_t speed = readOnly ? CalibrateReadOnly(window) : CalibrateBaudRate(window);

    // Restart the loader and talk to it at the calibrated speed.
    loader::OpenBaseSettings(port);
    SerialChannel.ResetCard(0, 0);
    SerialChannel.SendCommandText(loader::kStartCommand);
    loader::OpenWorkingSettings(port, static_cast<uint32_t>(speed));
    return speed;
}
