#include "cli/LoaderCli.h"

#include <memory>
#include <stdexcept>

#include "cli/TerminalView.h"
#include "devices/SystemPorts.h"
#include "platform/KeptPorts.h"
#include "platform/Platform.h"
#include "platform/PortFailure.h"
#include "programming/ProgramCard.h"
#include "programming/CardImageFile.h"
#include "programming/ProgramData.h"
#include "programming/ProgramSequence.h"
#include "reader/StatusMessages.h"
#include "reader/Usb_phoenixinterface.h"
#include "serial/Scom.h"

#ifndef TORVIK_VERSION
#define TORVIK_VERSION "unknown"
#endif

namespace {

// The reader mode the Program sequence sets up, as its failure message names
// it.
const char kReaderMode[] = "Phoenix";

// Opens the chosen port number as `device`; every other name as before.
class DeviceOverride final : public CommPortOpener {
public:
    DeviceOverride(CommPortOpener& base, uint32_t port, std::string device)
        : base_(base), port_(port), device_(std::move(device))
    {
    }
    std::unique_ptr<CommPort> Open(const std::string& deviceName) override
    {
        if (PortNumberFromDeviceName(deviceName) == port_) return OpenResolvedDevice(device_, port_);
        return base_.Open(deviceName);
    }

private:
    CommPortOpener& base_;
    uint32_t port_;
    std::string device_;
};

// Points CardImage at a buffer for the length of a run and lets go of it
// afterwards, whatever happens.
class ImageBuffer {
public:
    ImageBuffer() : data_(new uint8_t[kCardImageSize]())
    {
        CardImage.Data = data_.get();
        CardImage.Length = 0;
    }
    ~ImageBuffer()
    {
        CardImage.Data = nullptr;
        CardImage.Length = 0;
    }
    ImageBuffer(const ImageBuffer&) = delete;
    ImageBuffer& operator=(const ImageBuffer&) = delete;

private:
    std::unique_ptr<uint8_t[]> data_;
};

}  // namespace

int ExitStatusForMessage(const std::string& status)
{
    namespace t = status_text;
    if (status == t::kCouldNotOpenPort) return 3;
    if (status == t::kRemoveCard) return 4;
    if (status == t::ErrorSetting(kReaderMode)) return 5;
    if (status == t::kInsertCard) return 6;
    if (status == t::kWrongAtr) return 7;
    if (status == t::kErrorProgramming) return 8;
    return kExitOtherFailure;
}

int RunLoaderCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                 const CliTerminal& terminal)
{
    const CliParse parsed = ParseCliArguments(args);
    if (!parsed.error.empty()) {
        err << "torvik-loader: " << parsed.error << " (see torvik-loader --help)\n";
        return kExitUsage;
    }
    const CliOptions& o = parsed.options;
    if (o.action == CliOptions::Action::Help) {
        out << CliUsage();
        return kExitProgrammed;
    }
    if (o.action == CliOptions::Action::Version) {
        out << "torvik-loader " << TORVIK_VERSION << '\n';
        return kExitProgrammed;
    }

    ImageBuffer buffer;
    CardImage.Length = ReadCardImageFile(o.image, CardImage.Data, kCardImageSize);
    if (CardImage.Length < 0) {
        err << "torvik-loader: " << o.image << ": cannot be read\n";
        return kExitUsage;
    }
    if (CardImage.Length <= 16) {
        err << "torvik-loader: " << o.image << ": " << CardImage.Length
            << " bytes; a card image needs more than 16 bytes\n";
        return kExitUsage;
    }

    PlatformServices& services = Platform();
    std::unique_ptr<DeviceOverride> device;
    std::unique_ptr<KeepingPortOpener> kept;
    std::unique_ptr<ScopedPlatform> scoped;
    if (!o.device.empty()) {
        device = std::make_unique<DeviceOverride>(*services.ports, o.port, o.device);
        kept = std::make_unique<KeepingPortOpener>(*device);
        scoped = std::make_unique<ScopedPlatform>(*services.clock, *kept, services.processMessages);
    }

    TerminalView view(out, terminal.live, terminal.colour, static_cast<int>(o.port) - 1, o.verify);
    ClearPortFailures();
    const ProgramRunOutcome outcome = RunProgramSequence(view);
    view.Finish();

    if (outcome.programmed) return kExitProgrammed;
    if (outcome.aborted) {
        err << "torvik-loader: stopped; the card may be partly programmed\n";
        return kExitInterrupted;
    }
    if (!outcome.error.empty()) {
        err << "torvik-loader: " << outcome.error << '\n';
        return kExitOtherFailure;
    }
    err << "torvik-loader: " << view.Text() << '\n';
    // Which device failed and why, below the window's own message.
    if (!DeviceGoneReason().empty())
        err << "torvik-loader: " << DeviceGoneReason() << '\n';
    else if (!LastOpenFailure().empty())
        err << "torvik-loader: " << LastOpenFailure() << '\n';
    return ExitStatusForMessage(view.Text());
}
