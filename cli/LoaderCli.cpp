#include "cli/LoaderCli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <istream>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "cli/PortList.h"
#include "cli/Sha256.h"
#include "cli/TerminalView.h"
#include "devices/PortChain.h"
#include "devices/SystemPorts.h"
#include "platform/LineTrace.h"
#include "platform/Platform.h"
#include "platform/PortFailure.h"
#include "programming/CardReadBack.h"
#include "programming/LoaderFrames.h"
#include "programming/ProgramCard.h"
#include "programming/ProgramData.h"
#include "programming/ProgramSequence.h"
#include "programming/StartCardLoader.h"
#include "reader/StatusMessages.h"
#include "reader/Usb_phoenixinterface.h"
#include "serial/Scom.h"
#include "simulator/SimOptions.h"

#ifndef TORVIK_VERSION
#define TORVIK_VERSION "unknown"
#endif

namespace {

// The reader mode the Program sequence sets up, as its failure message names
// it.
const char kReaderMode[] = "Phoenix";
// Reads of one block before reading the card gives up.
constexpr int kReadsPerBlock = 10;
// Differing addresses listed by verify.
constexpr int kListedDifferences = 8;

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

std::string Hex5(int64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%05llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Seconds(double s)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", s);
    return text;
}

std::string Rate(int64_t bytes, double s)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.0f bytes/s", s > 0 ? static_cast<double>(bytes) / s : 0.0);
    return text;
}

// Loads an image file (or standard input for "-") into `buffer` of
// kCardImageSize bytes. Returns the number of bytes loaded, or -1 with
// `error` naming the reason. `total` gets the whole size of the input (more
// than kCardImageSize when it is longer than the card).
int32_t LoadImage(const std::string& path, std::istream* in, uint8_t* buffer, int64_t& total, std::string& error)
{
    std::unique_ptr<std::ifstream> file;
    std::istream* stream = in;
    if (path != "-") {
        std::error_code ec;
        const std::filesystem::path p = std::filesystem::u8path(path);
        const std::filesystem::file_status st = std::filesystem::status(p, ec);
        if (ec || !std::filesystem::exists(st)) {
            error = std::strerror(ENOENT);
            return -1;
        }
        if (std::filesystem::is_directory(st)) {
            error = std::strerror(EISDIR);
            return -1;
        }
        if (!std::filesystem::is_regular_file(st)) {
            error = "not a regular file";
            return -1;
        }
        errno = 0;
        file = std::make_unique<std::ifstream>(p, std::ios::binary);
        if (!*file) {
            error = errno != 0 ? std::strerror(errno) : "cannot be opened";
            return -1;
        }
        stream = file.get();
    }
    if (stream == nullptr) {
        error = "no standard input";
        return -1;
    }
    stream->read(reinterpret_cast<char*>(buffer), kCardImageSize);
    if (stream->bad()) {
        error = "read error";
        return -1;
    }
    const int32_t loaded = static_cast<int32_t>(stream->gcount());
    total = loaded;
    char spill[4096];
    while (loaded == kCardImageSize && *stream) {
        stream->read(spill, sizeof spill);
        total += stream->gcount();
    }
    return loaded;
}

// One run's surroundings: the port chain with the device override and the
// trace file, the clock, and the view.
class Session {
public:
    Session(const CliOptions& o, std::ostream& out, const CliTerminal& terminal)
        : services_(Platform()), clock_(*services_.clock), start_(clock_.NowMicros())
    {
        if (!o.trace.empty()) trace_ = std::make_unique<std::ofstream>(std::filesystem::u8path(o.trace));
        chain_ = PortChain::ForRun(clock_, trace_.get());
        if (!o.device.empty()) chain_->Assign(o.port, o.device);
        scoped_ = std::make_unique<ScopedPlatform>(clock_, *chain_, services_.processMessages);

        ViewSettings view;
        view.style = o.json    ? ViewSettings::Style::Json
                     : o.quiet ? ViewSettings::Style::Quiet
                     : terminal.live ? ViewSettings::Style::Live
                                     : ViewSettings::Style::Plain;
        view.colour = terminal.colour;
        view.ansi = terminal.ansi;
        view.width = terminal.width;
        view.verbose = o.verbose;
        view_ = std::make_unique<TerminalView>(out, view, static_cast<int>(o.port) - 1, o.verify,
                                               [this] { return Elapsed(); });
    }

    bool TraceOpen() const { return !trace_ || trace_->good(); }
    TerminalView& View() { return *view_; }
    const LineCounts& Counts() const { return chain_->Watch().Counts(); }
    double Elapsed() const { return static_cast<double>(clock_.NowMicros() - start_) / 1e6; }
    void Note(const std::string& text) { chain_->Watch().Note(text); }

private:
    PlatformServices& services_;
    Clock& clock_;
    int64_t start_;
    std::unique_ptr<std::ofstream> trace_;
    std::unique_ptr<PortChain> chain_;
    std::unique_ptr<ScopedPlatform> scoped_;
    std::unique_ptr<TerminalView> view_;
};

struct CardSessionOutcome {
    bool done = false;
    bool aborted = false;
    std::string error;
};

// The reader setup, card wait and (read-only) loader start of the Program
// sequence, then `body`, in the Program sequence's frame.
CardSessionOutcome RunCardSession(ProgramWindow& window, const std::function<bool()>& body)
{
    const ProgramRunOutcome run =
        RunReaderSequence(window, [&] { return StartCardLoader(window, true) != 0 && body(); });
    return {run.programmed, run.aborted, run.error};
}

// Reads `length` bytes from address 0 into `buffer`, showing "Reading p%".
// False with `failedAt` set when a block gives no two agreeing answers.
bool ReadCard(TerminalView& view, uint8_t* buffer, int32_t length, int64_t& failedAt)
{
    for (int32_t offset = 0; offset < length; offset += loader::kBlockSize) {
        int used = 0;
        uint8_t block[loader::kBlockSize];
        if (!loader::ReadCardBlock(static_cast<uint32_t>(offset), block, kReadsPerBlock, used)) {
            failedAt = offset;
            return false;
        }
        std::memcpy(buffer + offset, block, static_cast<size_t>(std::min(loader::kBlockSize, length - offset)));
        const int percent = static_cast<int>(static_cast<int64_t>(offset) * 100 / length);
        view.SetProgress(percent);
        view.SetText("Reading " + std::to_string(percent) + "%");
    }
    return true;
}

class LoaderCli {
public:
    LoaderCli(const CliOptions& o, std::ostream& out, std::ostream& err, const CliTerminal& terminal,
              std::istream* in)
        : o_(o), out_(out), err_(err), terminal_(terminal), in_(in)
    {
    }

    int Run()
    {
        if (o_.action == CliOptions::Action::Ports) {
            WritePortList(out_);
            return kExitProgrammed;
        }
        const int deviceStatus = CheckDevice();
        if (deviceStatus != 0) return deviceStatus;
        ImageBuffer buffer;
        if (o_.action != CliOptions::Action::Read) {
            const int loaded = Load();
            if (loaded != 0) return loaded;
        } else if (const int target = CheckTarget(); target != 0) {
            return target;
        }
        Session session(o_, out_, terminal_);
        if (!session.TraceOpen()) return Fail(o_.trace + ": cannot be written: " + std::strerror(errno), kExitUsage);
        session_ = &session;
        ClearPortFailures();
        if (o_.verbose) session.View().Say("Port " + std::to_string(o_.port) + ": " + DeviceValue());
        switch (o_.action) {
        case CliOptions::Action::Read: return Read();
        case CliOptions::Action::Verify: return Verify();
        default: return o_.repeat ? ProgramRepeatedly() : ProgramOnce();
        }
    }

private:
    std::string DeviceValue() const
    {
        if (!o_.device.empty()) return o_.device;
        return ResolveDeviceName(TSerialChannel::DeviceName(o_.port));
    }

    // A "sim:" device with options the simulator does not know is a usage
    // error, not a port that cannot be opened.
    int CheckDevice()
    {
        const std::string value = DeviceValue();
        if (value != "sim" && value.rfind("sim:", 0) != 0) return 0;
        try {
            sim::SimOptions::Parse(value);
        } catch (const std::invalid_argument& e) {
            return Fail(e.what(), kExitUsage);
        }
        return 0;
    }

    int Fail(const std::string& message, int status)
    {
        err_ << "torvik-loader: " << message << '\n';
        return status;
    }

    int Load()
    {
        std::string error;
        int64_t total = 0;
        CardImage.Length = LoadImage(o_.image, in_, CardImage.Data, total, error);
        const std::string name = o_.image == "-" ? "standard input" : o_.image;
        if (CardImage.Length < 0) return Fail(name + ": cannot be read: " + error, kExitUsage);
        if (total > kCardImageSize && (o_.action != CliOptions::Action::Program || !o_.truncate))
            return Fail(name + ": " + std::to_string(total) + " bytes, more than the card's 0x40000" +
                            (o_.action == CliOptions::Action::Program ? " (--truncate programs the first 0x40000)"
                                                                      : ""),
                        kExitUsage);
        if (CardImage.Length <= 16)
            return Fail(name + ": " + std::to_string(CardImage.Length) +
                            " bytes; a card image needs more than 16 bytes",
                        kExitUsage);
        imageSize_ = CardImage.Length;
        sha256_ = Sha256Hex(CardImage.Data, static_cast<size_t>(CardImage.Length));
        return 0;
    }

    int CheckTarget()
    {
        std::error_code ec;
        const std::filesystem::path p = std::filesystem::u8path(o_.image);
        const std::filesystem::path folder = p.has_parent_path() ? p.parent_path() : std::filesystem::path(".");
        if (!std::filesystem::is_directory(folder, ec))
            return Fail(o_.image + ": cannot be written: " + std::strerror(ENOENT), kExitUsage);
        if (std::filesystem::is_directory(p, ec))
            return Fail(o_.image + ": cannot be written: " + std::strerror(EISDIR), kExitUsage);
        return 0;
    }

    void ShowImage()
    {
        TerminalView& view = session_->View();
        if (view.JsonStyle()) {
            view.Json("{\"event\":\"image\",\"image_size\":" + std::to_string(imageSize_) + ",\"sha256\":\"" +
                      sha256_ + "\"}");
            return;
        }
        view.Say("Image " + (o_.image == "-" ? std::string("(standard input)") : o_.image) + ": " +
                 std::to_string(imageSize_) + " bytes, SHA-256 " + sha256_);
    }

    void Result(const std::string& result, int status, const std::string& message, const std::string& line)
    {
        TerminalView& view = session_->View();
        view.Finish();
        if (view.JsonStyle()) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.3f", view.Elapsed());
            view.Json("{\"event\":\"result\",\"result\":\"" + result + "\",\"status\":" + std::to_string(status) +
                      ",\"message\":" + JsonString(message) + ",\"elapsed\":" + seconds + "}");
        } else if (!line.empty()) {
            view.Say(line, true);
        }
    }

    void Summary()
    {
        TerminalView& view = session_->View();
        if (!view.JsonStyle()) return;
        const LineCounts& c = session_->Counts();
        const int64_t blocks = (imageSize_ + loader::kBlockSize - 1) / loader::kBlockSize;
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", view.Elapsed());
        view.Json("{\"event\":\"summary\",\"image_size\":" + std::to_string(imageSize_) + ",\"sha256\":\"" +
                  sha256_ + "\",\"speed\":" + std::to_string(c.workingBaud) + ",\"blocks_written\":" +
                  std::to_string(c.writeFrames) + ",\"retries\":" +
                  std::to_string(c.writeFrames > blocks ? c.writeFrames - blocks : 0) + ",\"seconds\":" + seconds +
                  "}");
    }

    // The outcome of a failed or interrupted run; 0 when it programmed.
    int Failure(const ProgramRunOutcome& outcome)
    {
        TerminalView& view = session_->View();
        if (outcome.aborted) {
            const bool writing = view.Seen("Programming") || view.Seen("Programming and verifying");
            const LineCounts& c = session_->Counts();
            std::string what = "nothing written yet";
            if (writing)
                what = "stopped at block " + Hex5(c.lastWriteAddress < 0 ? 0 : c.lastWriteAddress) + " of " +
                       Hex5(CardImage.Length) + ": the card is partly programmed";
            Result("interrupted", kExitInterrupted, what, "");
            return Fail("interrupted: " + what, kExitInterrupted);
        }
        if (!outcome.error.empty()) {
            Result("failed", kExitOtherFailure, outcome.error, "");
            return Fail(outcome.error, kExitOtherFailure);
        }
        const int status = ExitStatusForMessage(view.Text());
        Result("failed", status, view.Text(), "");
        Fail(view.Text(), status);
        PortReason();
        return status;
    }

    // Which device failed and why, below the window's own message.
    void PortReason()
    {
        if (!DeviceGoneReason().empty())
            err_ << "torvik-loader: " << DeviceGoneReason() << '\n';
        else if (!LastOpenFailure().empty())
            err_ << "torvik-loader: " << LastOpenFailure() << '\n';
    }

    int ProgramOnce()
    {
        ShowImage();
        TerminalView& view = session_->View();
        const ProgramRunOutcome outcome = RunProgramSequence(view);
        if (!outcome.programmed) {
            Summary();
            return Failure(outcome);
        }
        const double s = view.Elapsed();
        Summary();
        Result("programmed", kExitProgrammed, view.Text(),
               view.Text() + " " + std::to_string(imageSize_) + " bytes in " + Seconds(s) + " (" +
                   Rate(imageSize_, s) + ")");
        return kExitProgrammed;
    }

    int ProgramRepeatedly()
    {
        ShowImage();
        TerminalView& view = session_->View();
        int programmed = 0;
        int failed = 0;
        int status = kExitInterrupted;
        for (;;) {
            const double started = view.Elapsed();
            ClearPortFailures();
            const ProgramRunOutcome outcome = RunProgramSequence(view);
            if (outcome.aborted) break;
            const int card = programmed + failed + 1;
            const std::string took = " (" + Seconds(view.Elapsed() - started) + ")";
            if (outcome.programmed) {
                ++programmed;
                Result("programmed", kExitProgrammed, view.Text(),
                       "Card " + std::to_string(card) + ": " + view.Text() + took);
                continue;
            }
            const std::string message = outcome.error.empty() ? view.Text() : outcome.error;
            const int code = outcome.error.empty() ? ExitStatusForMessage(message) : kExitOtherFailure;
            // No card taken out or put in within the wait: wait again.
            if (code == 4 || code == 6) continue;
            // A reader that cannot be reached ends the batch.
            if (code == 3) {
                status = code;
                Result("failed", code, message, "");
                Fail(message, code);
                break;
            }
            ++failed;
            Result("failed", code, message, "Card " + std::to_string(card) + ": " + message + took);
        }
        view.Finish();
        const std::string summary = std::to_string(programmed) + " card" + (programmed == 1 ? "" : "s") +
                                    " programmed, " + std::to_string(failed) + " failed, in " +
                                    Seconds(view.Elapsed());
        if (view.JsonStyle())
            view.Json("{\"event\":\"batch\",\"programmed\":" + std::to_string(programmed) + ",\"failed\":" +
                      std::to_string(failed) + ",\"image_size\":" + std::to_string(imageSize_) + ",\"sha256\":\"" +
                      sha256_ + "\"}");
        else
            view.Say(summary, true);
        if (status == kExitInterrupted) err_ << "torvik-loader: interrupted\n";
        return status;
    }

    // Reads the blocks that hold the first `length` bytes of the card into
    // `card` in one card session; `failedAt` names a block that gave no two
    // agreeing answers.
    CardSessionOutcome ReadWholeBlocks(int32_t length, std::vector<uint8_t>& card, int64_t& failedAt)
    {
        TerminalView& view = session_->View();
        const int32_t blocksLength = (length + loader::kBlockSize - 1) / loader::kBlockSize * loader::kBlockSize;
        card.assign(static_cast<size_t>(blocksLength), 0);
        return RunCardSession(view, [&] { return ReadCard(view, card.data(), blocksLength, failedAt); });
    }

    int Read()
    {
        TerminalView& view = session_->View();
        const int32_t length = o_.length;
        std::vector<uint8_t> card;
        int64_t failedAt = -1;
        const CardSessionOutcome outcome = ReadWholeBlocks(length, card, failedAt);
        if (!outcome.done) return SessionFailure(outcome, failedAt, "nothing written to " + o_.image);

        // Whole or not at all: a temporary file next to the target, renamed
        // over it once complete.
        const std::filesystem::path target = std::filesystem::u8path(o_.image);
        std::filesystem::path temp = target;
        temp += ".part";
        std::error_code ec;
        {
            std::ofstream file(temp, std::ios::binary | std::ios::trunc);
            file.write(reinterpret_cast<const char*>(card.data()), length);
            file.close();
            if (!file) {
                const std::string reason = std::strerror(errno);
                std::filesystem::remove(temp, ec);
                Result("failed", kExitOtherFailure, "cannot be written", "");
                return Fail(o_.image + ": cannot be written: " + reason, kExitOtherFailure);
            }
        }
        std::filesystem::rename(temp, target, ec);
        if (ec) {
            std::filesystem::remove(temp, ec);
            Result("failed", kExitOtherFailure, "cannot be written", "");
            return Fail(o_.image + ": cannot be written: " + ec.message(), kExitOtherFailure);
        }
        const double s = view.Elapsed();
        const std::string sha = Sha256Hex(card.data(), static_cast<size_t>(length));
        if (view.JsonStyle())
            view.Json("{\"event\":\"summary\",\"image_size\":" + std::to_string(length) + ",\"sha256\":\"" + sha +
                      "\",\"speed\":" + std::to_string(session_->Counts().workingBaud) + ",\"blocks_read\":" +
                      std::to_string(session_->Counts().readFrames) + "}");
        Result("read", 0, "read", "Card read into " + o_.image + ": " + std::to_string(length) + " bytes in " +
                                      Seconds(s) + " (" + Rate(length, s) + "), SHA-256 " + sha);
        return 0;
    }

    int Verify()
    {
        ShowImage();
        const int32_t length = CardImage.Length;
        std::vector<uint8_t> card;
        int64_t failedAt = -1;
        const CardSessionOutcome outcome = ReadWholeBlocks(length, card, failedAt);
        if (!outcome.done) return SessionFailure(outcome, failedAt, "nothing compared");

        int64_t differing = 0;
        std::string list;
        std::string first;
        for (int32_t i = 0; i < length; ++i) {
            if (card[static_cast<size_t>(i)] == CardImage.Data[i]) continue;
            if (differing == 0) first = Hex5(i);
            if (differing < kListedDifferences) {
                char line[64];
                std::snprintf(line, sizeof line, "  %s: card %02X, image %02X", Hex5(i).c_str(),
                              card[static_cast<size_t>(i)], CardImage.Data[i]);
                list += std::string(list.empty() ? "" : "\n") + line;
            }
            ++differing;
        }
        const double s = session_->View().Elapsed();
        if (differing == 0) {
            Result("equal", 0, "equal",
                   "The card holds the image: " + std::to_string(length) + " bytes in " + Seconds(s));
            return 0;
        }
        const std::string message = "the card differs from the image in " + std::to_string(differing) +
                                    " byte" + (differing == 1 ? "" : "s") + ", first at " + first;
        Result("differs", kExitCardDiffers, message, "");
        Fail(message, kExitCardDiffers);
        err_ << list << '\n';
        return kExitCardDiffers;
    }

    int SessionFailure(const CardSessionOutcome& outcome, int64_t failedAt, const std::string& nothing)
    {
        TerminalView& view = session_->View();
        if (outcome.aborted) {
            Result("interrupted", kExitInterrupted, nothing, "");
            return Fail("interrupted: " + nothing, kExitInterrupted);
        }
        if (!outcome.error.empty()) {
            Result("failed", kExitOtherFailure, outcome.error, "");
            return Fail(outcome.error, kExitOtherFailure);
        }
        if (failedAt >= 0) {
            const std::string message = "the card gives no steady answer at block " + Hex5(failedAt) + "; " + nothing;
            Result("failed", kExitReadFailed, message, "");
            return Fail(message, kExitReadFailed);
        }
        const int status = ExitStatusForMessage(view.Text());
        Result("failed", status, view.Text(), "");
        Fail(view.Text(), status);
        PortReason();
        return status;
    }

    const CliOptions& o_;
    std::ostream& out_;
    std::ostream& err_;
    const CliTerminal& terminal_;
    std::istream* in_;
    Session* session_ = nullptr;
    int64_t imageSize_ = 0;
    std::string sha256_;
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
                 const CliTerminal& terminal, std::istream* in)
{
    const CliParse parsed = ParseCliArguments(args);
    if (!parsed.error.empty()) {
        err << "torvik-loader: " << parsed.error << " (see torvik-loader --help)\n";
        return kExitUsage;
    }
    const CliOptions& o = parsed.options;
    if (o.action == CliOptions::Action::Help) {
        out << o.helpText;
        return kExitProgrammed;
    }
    if (o.action == CliOptions::Action::Version) {
        out << "torvik-loader " << TORVIK_VERSION << '\n';
        return kExitProgrammed;
    }
    return LoaderCli(o, out, err, terminal, in).Run();
}
