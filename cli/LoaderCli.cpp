#include "cli/LoaderCli.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <istream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "cli/PortList.h"
#include "cli/RunRecord.h"
#include "cli/Sha256.h"
#include "cli/StationOutput.h"
#include "cli/TerminalView.h"
#include "devices/PortChain.h"
#include "devices/SystemPorts.h"
#include "platform/LineTrace.h"
#include "platform/PortFailure.h"
#include "programming/CardReadBack.h"
#include "programming/LoaderFrames.h"
#include "programming/ProgramCard.h"
#include "programming/ProgramData.h"
#include "programming/ProgramSequence.h"
#include "programming/StartCardLoader.h"
#include "network/Rfc2217Port.h"
#include "reader/AccountLines.h"
#include "reader/Usb_phoenixinterface.h"
#include "serial/ReaderLink.h"
#include "simulator/SimOptions.h"

#ifndef TORVIK_VERSION
#define TORVIK_VERSION "unknown"
#endif

namespace {

// The version of the JSON objects (docs/torvik-loader-json.schema.json).
constexpr int kJsonVersion = 2;
// Differing addresses listed by verify.
constexpr int kListedDifferences = 8;
// A line of readers: how often the stop question is asked and the table
// redrawn while the stations run.
constexpr int kLineTurnMs = 50;

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

// The local date and time as ISO 8601 with the offset from UTC:
// "2026-05-04T09:12:44+02:00".
std::string IsoTimeNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    if (localtime_s(&local, &now) != 0) return "unknown";
#else
    if (localtime_r(&now, &local) == nullptr) return "unknown";
#endif
    char text[40];
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) == 0) return "unknown";
    std::string iso = text;
    // "+0200" -> "+02:00".
    if (iso.size() >= 5 && (iso[iso.size() - 5] == '+' || iso[iso.size() - 5] == '-')) iso.insert(iso.size() - 2, ":");
    return iso;
}

// Bytes as hex pairs, for JSON.
std::string HexText(const std::vector<uint8_t>& bytes)
{
    std::string text;
    for (const uint8_t b : bytes) AppendCommandByte(text, b);
    if (!text.empty()) text.pop_back();
    return text;
}

// A failure as a JSON object: its kind, the reason in words, what is known of
// it, and what the port layer refused during the run (`refused`: a speed or a
// line break the driver would not make), if anything.
std::string FailureJson(const RunOutcome& o, const std::string& refused = {})
{
    JsonObject failure;
    failure.Add("kind", FailureName(o.kind)).Add("reason", DescribeOutcome(o));
    if (!refused.empty()) failure.Add("port", refused);
    switch (o.kind) {
    case FailureKind::ReaderSetup: failure.Add("step", o.step).Add("answer", o.answer); break;
    case FailureKind::WrongAtr: failure.Add("atr", o.atr); break;
    case FailureKind::NoSpeed: failure.Add("first", o.first).Add("last", o.last); break;
    case FailureKind::Block:
        failure.Add("block", o.block).Add("bytes_written", HexText(o.written)).Add("bytes_read_back", HexText(o.readBack));
        break;
    case FailureKind::FramesUsedUp: failure.Add("block", o.block).Add("last_fault", FaultName(o.fault)); break;
    case FailureKind::ReadFailed: failure.Add("block", o.block); break;
    default: break;
    }
    return failure.Text();
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
        // A folder on the way that may not be searched is not a missing file.
        if (ec && ec != std::errc::no_such_file_or_directory) {
            error = std::strerror(ec.value());
            return -1;
        }
        if (!std::filesystem::exists(st)) {
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

// What a channel device name (".\COM1") stands for in `chain`, for the
// trace: "Com1 = sim", "Com3 = rfc2217://host:7000 (--device)" when port
// `overridden` was given with --device.
std::string DeviceOfName(const PortChain& chain, const std::string& name, uint32_t overridden)
{
    const std::optional<uint32_t> number = PortNumberFromDeviceName(name);
    if (!number) return name;
    const std::string value = chain.ResolvedValue(name);
    return "Com" + std::to_string(*number) + " = " + (value.empty() ? "(no device)" : value) +
           (*number == overridden ? " (--device)" : "");
}

// A station of a line of readers: what its run is handed besides its
// options, and what it tells back once it has ended.
struct StationContext {
    uint32_t port = 0;
    size_t index = 0;  // in the line's output
    StationOutput* output = nullptr;
    // Its view is a row of the live table.
    bool table = false;
    // program: the image, loaded once for the whole line.
    const uint8_t* image = nullptr;
    int32_t imageLength = 0;
    std::string sha256;
    // Told back: how it ended (its status, result word and JSON failure, if
    // any), the cards it programmed and failed, and its seconds.
    int status = kExitOtherFailure;
    std::string result = "failed";
    std::string failure;
    int programmed = 0;
    int failed = 0;
    double elapsed = 0;
};

// One run's surroundings: the port chain with the device override and the
// trace file, the reader link through it, the clock, the view, and the record
// of the run's account. The account goes to the record first, then the
// trace, then the view.
class Session {
public:
    Session(const CliOptions& o, std::ostream& out, const CliTerminal& terminal, const CliSystem& system,
            StationContext* station)
        : clock_(system.ports.GetClock()),
          start_(clock_.NowMicros()),
          started_(IsoTimeNow()),
          record_([this] { return Elapsed(); })
    {
        if (!o.trace.empty()) trace_ = std::make_unique<std::ofstream>(std::filesystem::u8path(o.trace));
        chain_ = system.ports.ForRun(trace_.get());
        if (!o.device.empty()) chain_->Assign(o.port, o.device);
        chain_->Watch().SetDeviceNamer([chain = chain_.get(), port = o.device.empty() ? 0 : o.port](
                                           const std::string& name) { return DeviceOfName(*chain, name, port); });
        chain_->Watch().SetModemMeaning(SlotOfModemStatus);
        chain_->Watch().SetFrameClassifier(loader::ClassifyFrame);
        link_ = std::make_unique<ReaderLink>(*chain_);

        ViewSettings view;
        view.style = o.json                              ? ViewSettings::Style::Json
                     : o.quiet                           ? ViewSettings::Style::Quiet
                     : station != nullptr && station->table ? ViewSettings::Style::Row
                     : terminal.live                     ? ViewSettings::Style::Live
                                                         : ViewSettings::Style::Plain;
        view.colour = terminal.colour;
        view.ansi = terminal.ansi;
        view.width = terminal.width;
        view.verbose = o.verbose;
        view.station = station != nullptr ? station->port : 0;
        view_ = std::make_unique<TerminalView>(out, view, static_cast<int>(o.port) - 1, o.verify,
                                               [this] { return Elapsed(); });
        if (station != nullptr && station->table)
            view_->SetRow([station](const ViewRow& row) { station->output->Row(station->index, row); });
        account_.Add(&record_);
        if (chain_->Watch().Tracing()) {
            const auto note = [this](const std::string& line) { chain_->Watch().Note(line); };
            view_->SetNote(note);
            lines_ = std::make_unique<AccountLines>(note);
            account_.Add(lines_.get());
        }
        account_.Add(view_.get());
        // A JSON status event is written at the end of the turn in which its
        // text appeared, with the colour shown along with it; then the
        // program says whether the run is to stop.
        link_->pump.processMessages = [link = link_.get(), view = view_.get(), stop = system.stopRequested] {
            view->Turn();
            if (stop && stop()) link->pump.RequestAbort();
        };
    }

    bool TraceOpen() const { return !trace_ || trace_->good(); }
    TerminalView& View() { return *view_; }
    ReaderLink& Link() { return *link_; }
    RunRecord& Record() { return record_; }
    RunObserver& Account() { return account_; }
    // When the run started, ISO 8601.
    const std::string& Started() const { return started_; }
    const LineCounts& Counts() const { return chain_->Watch().Counts(); }
    LineWatch& Watch() { return chain_->Watch(); }
    double Elapsed() const { return static_cast<double>(clock_.NowMicros() - start_) / 1e6; }
    void Note(const std::string& text) { chain_->Watch().Note(text); }

private:
    Clock& clock_;
    int64_t start_;
    std::string started_;
    std::unique_ptr<std::ofstream> trace_;
    std::unique_ptr<PortChain> chain_;
    std::unique_ptr<ReaderLink> link_;
    std::unique_ptr<TerminalView> view_;
    RunRecord record_;
    std::unique_ptr<AccountLines> lines_;
    RunObservers account_;
};

// What the reads of a block that did not settle answered, for its failure
// message: "16 reads gave 8 times FF FF .. 6F .. FF, 8 times FF FF .. 2F ..
// FF", the values answered most first, at most four of them.
std::string AnswersText(const loader::BlockReading& r)
{
    constexpr size_t kListed = 4;
    std::vector<loader::BlockAnswer> answers = r.answers;
    std::stable_sort(answers.begin(), answers.end(),
                     [](const loader::BlockAnswer& a, const loader::BlockAnswer& b) { return a.count > b.count; });
    std::string text = std::to_string(r.reads) + (r.reads == 1 ? " read gave " : " reads gave ");
    for (size_t i = 0; i < answers.size() && i < kListed; ++i) {
        if (i > 0) text += ", ";
        text += answers[i].count == 1 ? "once " : std::to_string(answers[i].count) + " times ";
        for (uint8_t b : answers[i].bytes) AppendCommandByte(text, b);
        text.pop_back();
    }
    if (answers.size() > kListed) text += " and " + std::to_string(answers.size() - kListed) + " other answers";
    if (r.unanswered > 0) {
        if (!answers.empty()) text += ", ";
        text += answers.empty() ? "no whole answer" : std::to_string(r.unanswered) + " without a whole answer";
    }
    return text;
}

// Reads `length` bytes from address 0 into `buffer`, telling the account the
// reading phase and its progress (the view: "Reading p%"). `at` is the block
// being read. False, after telling the account Ended, when a block does not
// settle (loader::ReadCardBlock): ReadFailed with the answers seen, or NoSpeed
// when no calibration trial passed (the loader then runs at the middle of the
// range).
bool ReadCard(ReaderLink& link, RunObserver& account, const RunRecord& record, uint8_t* buffer, int32_t length,
              int64_t& at)
{
    account.PhaseEntered(RunPhase::Reading);
    loader::ReadHistory history;
    for (int32_t offset = 0; offset < length; offset += loader::kBlockSize) {
        at = offset;
        const loader::BlockReading block = loader::ReadCardBlock(link, static_cast<uint32_t>(offset), history);
        if (!block.settled) {
            RunOutcome o;
            o.kind = FailureKind::ReadFailed;
            o.block = offset;
            o.reason = AnswersText(block);
            const SpeedChoice& speed = record.Speed();
            if (record.SpeedKnown() && !speed.given && speed.passed == 0) {
                o.kind = FailureKind::NoSpeed;
                o.reason.clear();
                o.first = speed.first;
                o.last = speed.last;
                o.atr = record.Atr();
            }
            account.Ended(o);
            return false;
        }
        std::memcpy(buffer + offset, block.bytes.data(),
                    static_cast<size_t>(std::min(loader::kBlockSize, length - offset)));
        account.Progress({RunPhase::Reading, offset, length, false});
    }
    return true;
}

// OUT.part beside OUT: created before the reader is touched, so that a read
// whose result could not be kept fails before it starts, filled and renamed
// over OUT once the whole card has been read, and removed in every other
// case. An older OUT stays untouched until the rename.
class PartFile {
public:
    explicit PartFile(const std::string& target) : target_(std::filesystem::u8path(target)), temp_(target_)
    {
        temp_ += ".part";
    }
    ~PartFile()
    {
        if (committed_ || !created_) return;
        file_.close();
        std::error_code ec;
        std::filesystem::remove(temp_, ec);
    }
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    // False with the system's reason when OUT.part cannot be created.
    bool Create(std::string& error)
    {
        errno = 0;
        file_.open(temp_, std::ios::binary | std::ios::trunc);
        if (!file_) {
            error = errno != 0 ? std::strerror(errno) : "cannot be created";
            return false;
        }
        created_ = true;
        return true;
    }

    // Writes `length` bytes and renames the file over OUT. False with the
    // reason when that fails; the temporary file is then removed.
    bool Commit(const uint8_t* data, int32_t length, std::string& error)
    {
        errno = 0;
        file_.write(reinterpret_cast<const char*>(data), length);
        file_.close();
        if (!file_) {
            error = errno != 0 ? std::strerror(errno) : "write error";
            return false;
        }
        std::error_code ec;
        std::filesystem::rename(temp_, target_, ec);
        if (ec) {
            error = ec.message();
            return false;
        }
        committed_ = true;
        return true;
    }

private:
    std::filesystem::path target_;
    std::filesystem::path temp_;
    std::ofstream file_;
    bool created_ = false;
    bool committed_ = false;
};

// Whether two names name the same file: the same file on disk when both
// exist, else the same path once made absolute.
bool SameFile(const std::string& a, const std::string& b)
{
    std::error_code ec;
    const std::filesystem::path pa = std::filesystem::u8path(a);
    const std::filesystem::path pb = std::filesystem::u8path(b);
    if (std::filesystem::exists(pa, ec) && std::filesystem::exists(pb, ec)) {
        const bool same = std::filesystem::equivalent(pa, pb, ec);
        if (!ec) return same;
    }
    const std::filesystem::path ca = std::filesystem::weakly_canonical(pa, ec);
    const std::filesystem::path cb = std::filesystem::weakly_canonical(pb, ec);
    return !ec && ca == cb;
}

// The command line as one text, for the trace; arguments with blanks or
// quotes in single quotes.
std::string CommandLine(const std::vector<std::string>& args)
{
    std::string line = "torvik-loader";
    for (const std::string& arg : args) {
        const bool plain = !arg.empty() && arg.find_first_of(" \t'\"\\$") == std::string::npos;
        line += " " + (plain ? arg : "'" + arg + "'");
    }
    return line;
}

const char* CommandName(CliOptions::Action action)
{
    switch (action) {
    case CliOptions::Action::Program: return "program";
    case CliOptions::Action::Read: return "read";
    case CliOptions::Action::Verify: return "verify";
    case CliOptions::Action::Check: return "check";
    default: return "ports";
    }
}

// How a run ends: the result object of JSON, the result line of text, and a
// failure's message with the lines that explain it on stderr.
struct Ending {
    Ending() = default;
    Ending(std::string result_, int status_, std::string message_, std::string line_ = {},
           std::vector<std::string> notes_ = {})
        : result(std::move(result_)),
          status(status_),
          message(std::move(message_)),
          line(std::move(line_)),
          notes(std::move(notes_))
    {
    }

    std::string result;  // programmed, read, equal, differs, answers, listed, failed, interrupted
    int status = 0;
    std::string message;
    std::string line;                // text: the line on stdout, none when empty
    std::vector<std::string> notes;  // stderr lines after the message of a failure
    std::vector<std::pair<std::string, std::string>> fields;  // JSON members, values as JSON
    std::vector<std::string> listing;  // stderr lines after the notes, as they stand
    std::string failure;               // JSON: the failure object, empty for none
};

// A station's own devices on the steady clock, as the program has them.
class SystemStation final : public StationDevices {
public:
    explicit SystemStation(std::ostream* notes) : chain_(notes) {}
    PortChain& Chain() override { return chain_.chain; }

private:
    SystemChain chain_;
};

class LoaderCli {
public:
    // `station`: the run is one station of a line of readers (RunLine).
    LoaderCli(const CliOptions& o, const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
              const CliTerminal& terminal, const CliSystem& system, std::istream* in,
              StationContext* station = nullptr)
        : o_(o),
          args_(args),
          out_(out),
          err_(err),
          terminal_(terminal),
          system_(system),
          in_(in),
          station_(station),
          errPrefix_(station != nullptr ? "torvik-loader: Com" + std::to_string(station->port) + ": "
                                        : std::string("torvik-loader: ")),
          toStdout_(o.action == CliOptions::Action::Read && o.image == "-"),
          viewOut_(toStdout_ ? err : out),
          imageBytes_(static_cast<size_t>(kCardImageSize)),
          CardImage{imageBytes_.data(), 0}
    {
        settings_.fixedSpeed = o.speed;
        settings_.ClockSetting = o.clock;
    }

    int Run()
    {
        if (o_.action == CliOptions::Action::Ports) return Ports();
        if (station_ == nullptr && o_.ports.size() > 1) return RunLine();
        if (station_ == nullptr) {
            if (const int status = CheckDevice(o_.port); status != 0) return status;
            if (o_.action == CliOptions::Action::Program || o_.action == CliOptions::Action::Verify) {
                if (const int status = Load(); status != 0) return status;
            }
            if (const int status = CheckTrace(o_.trace); status != 0) return status;
        } else if (station_->image != nullptr) {
            // The line loaded and checked the image; this station's copy is
            // its own, for programming pads it in place.
            std::copy(station_->image, station_->image + station_->imageLength, CardImage.Data);
            CardImage.Length = station_->imageLength;
            imageSize_ = CardImage.Length;
            sha256_ = station_->sha256;
        }
        std::unique_ptr<PartFile> part;
        if (o_.action == CliOptions::Action::Read && !toStdout_) {
            if (const int status = CheckTarget(part); status != 0) return status;
        }
        CliTerminal terminal = terminal_;
        if (toStdout_) terminal.live = terminal.colour = terminal.ansi = false;
        Session session(o_, viewOut_, terminal, system_, station_);
        session_ = &session;
        if (!session.TraceOpen()) return Usage(o_.trace + ": cannot be written: " + std::strerror(errno));
        WriteTraceHeader();
        session.Link().failures.Clear();
        if (o_.verbose) session.View().Say("Port " + std::to_string(o_.port) + ": " + DeviceValue());
        switch (o_.action) {
        case CliOptions::Action::Read: return Read(part.get());
        case CliOptions::Action::Verify: return Verify();
        case CliOptions::Action::Check: return Check();
        default: return o_.repeat ? ProgramRepeatedly() : ProgramOnce();
        }
    }

private:
    // ------------------------------------------------------ a line of readers

    // The trace file of the station at `port`: FILE.<port>.
    std::string StationTrace(uint32_t port) const
    {
        return o_.trace.empty() ? std::string() : o_.trace + "." + std::to_string(port);
    }

    // Several ports: every port's device, the image and the trace files
    // checked once, then a station per port on a thread of its own, each a
    // LoaderCli with its own link, devices, view and trace. This thread asks
    // the stop question and passes a stop on to every station, redraws the
    // table, and once every station has ended writes the run's end.
    int RunLine()
    {
        for (const uint32_t port : o_.ports)
            if (const int status = CheckDevice(port); status != 0) return status;
        if (o_.action == CliOptions::Action::Program) {
            if (const int status = Load(); status != 0) return status;
        }
        for (const uint32_t port : o_.ports)
            if (const int status = CheckTrace(StationTrace(port)); status != 0) return status;

        StationOutput::TableSettings table;
        table.on = terminal_.live && terminal_.ansi && !o_.json && !o_.quiet;
        table.colour = terminal_.colour;
        table.width = terminal_.width;
        StationOutput output(out_, err_, o_.ports, table);
        CliTerminal terminal = terminal_;
        terminal.live = false;
        terminal.stopSignal = &lineSignal_;
        const std::string started = IsoTimeNow();

        struct Station {
            CliOptions options;
            StationContext context;
            std::atomic<bool> stop{false};
            std::unique_ptr<LineStream> out;
            std::unique_ptr<LineStream> err;
            std::unique_ptr<StationDevices> devices;
            std::thread thread;
        };
        std::vector<std::unique_ptr<Station>> stations;
        for (size_t i = 0; i < o_.ports.size(); ++i) {
            auto station = std::make_unique<Station>();
            const uint32_t port = o_.ports[i];
            station->options = o_;
            station->options.port = port;
            station->options.ports = {port};
            station->options.trace = StationTrace(port);
            StationContext& c = station->context;
            c.port = port;
            c.index = i;
            c.output = &output;
            c.table = table.on;
            if (imageSize_ > 0) {
                c.image = CardImage.Data;
                c.imageLength = CardImage.Length;
                c.sha256 = sha256_;
            }
            const std::string prefix = o_.json ? std::string() : "Com" + std::to_string(port) + ": ";
            station->out = std::make_unique<LineStream>(
                [&output, prefix](const std::string& line) { output.Out(prefix + line); });
            station->err = std::make_unique<LineStream>([&output](const std::string& line) { output.Err(line); });
            station->devices = system_.stationDevices ? system_.stationDevices(port, station->err.get())
                                                      : std::make_unique<SystemStation>(station->err.get());
            stations.push_back(std::move(station));
        }
        for (const auto& station : stations) {
            Station* s = station.get();
            s->thread = std::thread([this, s, &output, &terminal] {
                const CliSystem system{s->devices->Chain(), [s] { return s->stop.load(); }, {}};
                try {
                    LoaderCli(s->options, args_, *s->out, *s->err, terminal, system, nullptr, &s->context).Run();
                } catch (const std::exception& e) {
                    RunOutcome o;
                    o.kind = FailureKind::Other;
                    o.reason = e.what();
                    s->context.status = kExitOtherFailure;
                    s->context.failure = FailureJson(o);
                    *s->err << "torvik-loader: Com" << s->context.port << ": " << e.what() << '\n';
                }
                output.Ended(s->context.index);
            });
        }
        bool stopping = false;
        while (!output.WaitForStations(kLineTurnMs)) {
            if (!stopping && system_.stopRequested && output.Locked(system_.stopRequested)) {
                stopping = true;
                lineSignal_ = terminal_.stopSignal != nullptr ? *terminal_.stopSignal : 0;
                for (const auto& station : stations) station->stop.store(true);
            }
            output.Redraw();
        }
        for (const auto& station : stations) station->thread.join();
        output.Close();

        // The run's end: the cards of all stations, and the status of a
        // stop, else of the first station that did not end with 0.
        int done = 0;
        int failed = 0;
        double elapsed = 0;
        bool interrupted = false;
        const StationContext* failing = nullptr;
        std::string ports;
        for (const auto& station : stations) {
            const StationContext& c = station->context;
            done += c.programmed;
            failed += c.failed;
            elapsed = std::max(elapsed, c.elapsed);
            ports += (ports.empty() ? "" : ",") + std::to_string(c.port);
            if (c.result == "interrupted") interrupted = true;
            if (c.status != kExitProgrammed && failing == nullptr) failing = &c;
        }
        const bool check = o_.action == CliOptions::Action::Check;
        const std::string summary = std::to_string(stations.size()) + " ports: " + std::to_string(done) +
                                    (done == 1 ? " card" : " cards") + (check ? (done == 1 ? " answers, " : " answer, ")
                                                                              : " programmed, ") +
                                    std::to_string(failed) + " failed";
        Ending e(check ? "answers" : "programmed", kExitProgrammed, summary);
        if (interrupted) {
            std::string word;
            e.status = StopStatus(word);
            e.result = "interrupted";
            e.message = word + ": " + summary;
            RunOutcome o;
            o.kind = FailureKind::Stopped;
            e.failure = FailureJson(o);
        } else if (failing != nullptr) {
            e.status = failing->status;
            e.result = "failed";
            e.failure = failing->failure;
        }
        ended_ = true;
        if (o_.json) {
            JsonObject result("result");
            result.Add("command", CommandName(o_.action))
                .Add("result", e.result)
                .Add("status", e.status)
                .Add("message", e.message)
                .Add(check ? "answered" : "programmed", done)
                .Add("failed", failed)
                .AddRaw("stations", "[" + ports + "]");
            if (!e.failure.empty()) result.AddRaw("failure", e.failure);
            result.AddSeconds("elapsed", elapsed).Add("version", kJsonVersion).Add("started", started);
            output.Out(result.AddSeconds("t", elapsed).Text());
        } else {
            output.Out(summary + ", in " + Seconds(elapsed));
        }
        if (e.status != kExitProgrammed) output.Err("torvik-loader: " + e.message);
        return e.status;
    }

    // ports: the list as text, or one "port" object per device with --json.
    int Ports()
    {
        const std::vector<PortEntry> entries = ListPorts();
        if (!o_.json) {
            WritePortList(out_, entries);
            return kExitProgrammed;
        }
        int devices = 0;
        for (const PortEntry& entry : entries) {
            JsonObject object("port");
            const auto text = [&object](const char* key, const std::string& value) {
                object.AddRaw(key, value.empty() ? std::string("null") : JsonString(value));
            };
            std::string com = "[";
            for (const uint32_t n : entry.com) com += (com.size() > 1 ? "," : "") + std::to_string(n);
            if (entry.variable.empty()) {
                ++devices;
                text("device", entry.device);
                text("usb", entry.usbId);
                text("manufacturer", entry.manufacturer);
                text("product", entry.product);
                text("serial", entry.serial);
                text("driver", entry.driver);
                text("by_id", entry.byId);
                text("name", entry.name);
                object.AddRaw("com", com + "]");
                text("note", entry.note);
            } else {
                text("variable", entry.variable);
                text("value", entry.value);
                object.AddRaw("com", com + "]");
            }
            WriteJson(object);
        }
        return End({"listed", kExitProgrammed,
                    std::to_string(devices) + " serial device" + (devices == 1 ? "" : "s")});
    }

    // What the port opens: --device, else what the program's chain
    // resolves its name to.
    std::string DeviceValue(uint32_t port) const
    {
        if (!o_.device.empty()) return o_.device;
        return system_.ports.ResolvedValue(TSerialChannel::DeviceName(port));
    }
    std::string DeviceValue() const { return DeviceValue(o_.port); }

    // A "sim:" device with options the simulator does not know, or a
    // malformed network address, is a usage error, not a port that cannot
    // be opened.
    int CheckDevice(uint32_t port)
    {
        const std::string value = DeviceValue(port);
        if (value.rfind("rfc2217://", 0) == 0) {
            const std::string problem = Rfc2217AddressProblem(value);
            return problem.empty() ? 0 : Usage(problem);
        }
        if (value != "sim" && value.rfind("sim:", 0) != 0) return 0;
        try {
            sim::SimOptions::Parse(value);
        } catch (const std::invalid_argument& e) {
            return Usage(e.what());
        }
        return 0;
    }

    int Usage(const std::string& message) { return End({"failed", kExitUsage, message}); }

    int Load()
    {
        std::string error;
        int64_t total = 0;
        CardImage.Length = LoadImage(o_.image, in_, CardImage.Data, total, error);
        const std::string name = o_.image == "-" ? "standard input" : o_.image;
        if (CardImage.Length < 0) return Usage(name + ": cannot be read: " + error);
        if (total > kCardImageSize && (o_.action != CliOptions::Action::Program || !o_.truncate))
            return Usage(name + ": " + std::to_string(total) + " bytes, more than the card's " +
                         std::to_string(kCardImageSize) + " bytes" +
                         (o_.action == CliOptions::Action::Program
                              ? " (--truncate programs the first " + std::to_string(kCardImageSize) + ")"
                              : ""));
        if (CardImage.Length <= 16)
            return Usage(name + ": " + std::to_string(CardImage.Length) +
                         " bytes; a card image needs more than 16 bytes");
        imageSize_ = CardImage.Length;
        sha256_ = Sha256Hex(CardImage.Data, static_cast<size_t>(CardImage.Length));
        return 0;
    }

    // The trace must not be one of the run's own files: opening it would
    // empty the image, or the card read would be written over it.
    int CheckTrace(const std::string& trace)
    {
        if (trace.empty()) return 0;
        std::vector<std::string> files;
        if (o_.image != "-" && !o_.image.empty()) files.push_back(o_.image);
        if (o_.action == CliOptions::Action::Read && !toStdout_) files.push_back(o_.image + ".part");
        for (const std::string& file : files)
            if (SameFile(trace, file))
                return Usage("--trace " + trace + " is the " +
                             (o_.action == CliOptions::Action::Read ? "output" : "image") +
                             " file; the trace needs a file of its own");
        return 0;
    }

    // OUT must be a file that can be written: OUT.part is created beside it
    // now, so that the rename at the end stays in one folder.
    int CheckTarget(std::unique_ptr<PartFile>& part)
    {
        std::error_code ec;
        if (std::filesystem::is_directory(std::filesystem::u8path(o_.image), ec))
            return Usage(o_.image + ": cannot be written: " + std::strerror(EISDIR));
        part = std::make_unique<PartFile>(o_.image);
        std::string error;
        if (!part->Create(error)) return Usage(o_.image + ": cannot be written: " + error);
        return 0;
    }

    void WriteTraceHeader()
    {
        LineWatch& watch = session_->Watch();
        if (!watch.Tracing()) return;
        const std::string variable = "TORVIK_COM" + std::to_string(o_.port);
        const std::string value = DeviceValue();
        const std::string from =
            !o_.device.empty()                                               ? " (--device)"
            : std::getenv(variable.c_str()) != nullptr                       ? " (" + variable + ")"
            : value == ResolveDeviceName(TSerialChannel::DeviceName(o_.port)) ? " (the system's device)"
                                                                              : "";
        std::vector<std::string> facts{"command: " + CommandLine(args_),
                                       "device: Com" + std::to_string(o_.port) + " = " + value + from};
        if (imageSize_ > 0)
            facts.push_back("image: " + (o_.image == "-" ? std::string("standard input") : o_.image) + ", " +
                            std::to_string(imageSize_) + " bytes, SHA-256 " + sha256_);
        if (o_.action == CliOptions::Action::Read)
            facts.push_back("output: " + (toStdout_ ? std::string("standard output") : o_.image) + ", " +
                            std::to_string(o_.length) + " bytes");
        watch.Header(TraceHeader("torvik-loader " TORVIK_VERSION, facts));
    }

    double Elapsed() const { return session_ != nullptr ? session_->View().Elapsed() : 0.0; }

    void WriteJson(JsonObject object)
    {
        if (session_ != nullptr) {
            session_->View().Json(std::move(object));
        } else {
            viewOut_ << object.AddSeconds("t", 0).Text() << '\n';
            viewOut_.flush();
        }
    }

    // The seconds spent in each phase, as a JSON object.
    std::string PhaseSeconds() const
    {
        JsonObject phases;
        for (int p = 0; p < kRunPhases; ++p) {
            const RunPhase phase = static_cast<RunPhase>(p);
            phases.AddSeconds(PhaseName(phase), session_->Record().Seconds(phase));
        }
        return phases.Text();
    }

    // Ends the run, once: the result object or line, and a failure on stderr.
    int End(const Ending& e)
    {
        if (ended_) return e.status;
        ended_ = true;
        if (session_ != nullptr) {
            session_->Record().CloseTime();
            session_->View().Finish();
            session_->Note("result " + e.result + ", exit status " + std::to_string(e.status) + ": " + e.message);
            for (const std::string& note : e.notes) session_->Note("result " + note);
        }
        if (o_.json) {
            // A station of a line ends with its "station" object; the line
            // writes the one result.
            JsonObject result(station_ != nullptr ? "station" : "result");
            result.Add("command", CommandName(o_.action))
                .Add("result", e.result)
                .Add("status", e.status)
                .Add("message", e.message);
            for (const auto& [key, value] : e.fields) result.AddRaw(key, value);
            if (!e.failure.empty()) result.AddRaw("failure", e.failure);
            result.AddSeconds("elapsed", Elapsed());
            if (station_ == nullptr) result.Add("version", kJsonVersion);
            if (session_ != nullptr)
                result.Add("started", session_->Started())
                    .AddRaw("phases", PhaseSeconds())
                    .Add("clock", settings_.ClockSetting);
            WriteJson(std::move(result));
        } else if (!e.line.empty() && session_ != nullptr) {
            session_->View().Say(e.line, true);
        }
        if (e.status != kExitProgrammed) {
            err_ << errPrefix_ << e.message << '\n';
            for (const std::string& note : e.notes) err_ << errPrefix_ << note << '\n';
            for (const std::string& line : e.listing) err_ << line << '\n';
        }
        if (station_ != nullptr) {
            station_->status = e.status;
            station_->result = e.result;
            station_->failure = e.failure;
            station_->elapsed = Elapsed();
            if (!o_.repeat) {
                station_->programmed = e.status == kExitProgrammed ? 1 : 0;
                station_->failed = 1 - station_->programmed;
            }
        }
        return e.status;
    }

    // The exit status and word for a stopped run, by the signal that
    // stopped it.
    int StopStatus(std::string& word) const
    {
        const int signal = terminal_.stopSignal != nullptr ? *terminal_.stopSignal : 0;
        if (signal == SIGTERM) {
            word = "terminated";
            return kExitTerminated;
        }
#ifdef SIGHUP
        if (signal == SIGHUP) {
            word = "hung up";
            return kExitHungUp;
        }
#endif
        word = "interrupted";
        return kExitInterrupted;
    }

    // The ending of a run the account says failed or was stopped: the exit
    // status of its kind, its message, the lines that explain it, and the
    // JSON failure. `nothing` is what a reading run left ("nothing written
    // to OUT"); for program the last line says what the card holds.
    Ending FailureEnding(const std::string& nothing)
    {
        const RunRecord& record = session_->Record();
        const RunOutcome& o = record.Outcome();
        const bool program = o_.action == CliOptions::Action::Program;
        const std::string details = DescribeOutcome(o);
        const std::string com = "Com" + std::to_string(o_.port);
        const auto withNothing = [&nothing](const std::string& text) {
            return nothing.empty() ? text : text + "; " + nothing;
        };
        // What the port layer refused during the run (a speed or a line break
        // the driver would not make) explains a failure of the reader or the
        // card that follows from it.
        const std::string refused =
            o.kind == FailureKind::Port || o.kind == FailureKind::ReaderGone ? std::string()
                                                                             : session_->Link().failures.LastOpenFailure();
        Ending e;
        e.result = "failed";
        e.status = ExitStatusFor(o.kind, o_.action);
        e.failure = FailureJson(o, refused);
        // What the window shows for the failure, where it shows one.
        const std::string shown = session_->View().Text();
        bool cutOff = false;
        switch (o.kind) {
        case FailureKind::Stopped: {
            std::string word;
            e.status = StopStatus(word);
            e.result = "interrupted";
            e.message = program ? word + ": " + record.WrittenText(true) : nothing.empty() ? word : word + ": " + nothing;
            if (program) e.fields = WrittenFields(true, false);
            return e;
        }
        case FailureKind::Port:
            e.message = shown;
            if (!o.reason.empty()) e.notes.push_back(o.reason);
            break;
        case FailureKind::CardNotRemoved:
            e.message = "the card was not taken out within " + std::to_string(kCardWaitSeconds) + " s";
            break;
        case FailureKind::NoCard:
            e.message = "no card was put in within " + std::to_string(kCardWaitSeconds) + " s";
            break;
        case FailureKind::ReaderSetup:
            e.message = shown;
            e.notes.push_back(details + ": check that " + com + " is the reader");
            break;
        case FailureKind::WrongAtr:
            e.message = shown;
            e.notes.push_back(details);
            break;
        case FailureKind::NoSpeed:
            if (program) {
                e.message = shown;
                e.notes.push_back(details);
            } else {
                e.message = withNothing(details + " (answer-to-reset " + o.atr + ")");
            }
            if (settings_.ClockSetting != RunSettings{}.ClockSetting)
                e.notes.push_back("the card was clocked at " + settings_.ClockSetting +
                                  " MHz (--clock); a card that does not run at that clock answers at no speed");
            break;
        case FailureKind::Block:
        case FailureKind::FramesUsedUp:
            e.message = shown;
            e.notes.push_back(details);
            if (o_.speed > 0 && record.Written().last <= 0)
                e.notes.push_back("the card did not take the first block at " + std::to_string(o_.speed) +
                                  " baud (--speed); without --speed the program finds the card's speed");
            break;
        case FailureKind::ReaderGone:
            cutOff = true;
            e.message = details;
            if (!program && reading_ >= 0) e.notes.push_back("reading stopped at block " + CardAddressText(reading_));
            if (!program && !nothing.empty()) e.notes.push_back(nothing);
            break;
        case FailureKind::Other:
            cutOff = true;
            e.message = withNothing(o.reason);
            break;
        default: e.message = withNothing(details); break;
        }
        if (!refused.empty()) e.notes.insert(e.notes.begin() + (e.notes.empty() ? 0 : 1), refused);
        if (program) {
            e.notes.push_back(record.WrittenText(cutOff));
            e.fields = WrittenFields(cutOff, false);
        }
        return e;
    }

    // ------------------------------------------------------------ program

    void ShowImage()
    {
        TerminalView& view = session_->View();
        if (view.JsonStyle()) {
            view.Json(JsonObject("image").Add("image_size", imageSize_).Add("sha256", sha256_));
            return;
        }
        view.Say("Image " + (o_.image == "-" ? std::string("(standard input)") : o_.image) + ": " +
                 std::to_string(imageSize_) + " bytes, SHA-256 " + sha256_);
    }

    // What the card holds, as JSON members: the text, and the lowest and
    // highest block written (null when none).
    std::vector<std::pair<std::string, std::string>> WrittenFields(bool cutOff, bool complete) const
    {
        const RunRecord::Blocks b = session_->Record().Range(cutOff);
        const auto number = [](int64_t v) { return v < 0 ? std::string("null") : std::to_string(v); };
        return {{"written", JsonString(session_->Record().WrittenText(cutOff, complete))},
                {"first_block", number(b.first)},
                {"last_block", number(b.last)}};
    }

    // The figures of one card: the speed the blocks went out at (null when
    // no block was sent), the blocks stored, the write frames beyond one per
    // stored block, and the card's answer-to-reset (null when it was not
    // reset).
    std::vector<std::pair<std::string, std::string>> BlockFields() const
    {
        const RunRecord& record = session_->Record();
        const RunRecord::Blocks& b = record.Written();
        const uint32_t speed = session_->Counts().workingBaud;
        return {{"speed", b.frames > 0 && speed > 0 ? std::to_string(speed) : std::string("null")},
                {"blocks_written", std::to_string(b.stored)},
                {"retries", std::to_string(b.frames - b.stored)},
                {"atr", record.AtrKnown() ? JsonString(record.Atr()) : std::string("null")}};
    }

    void ProgramSummary()
    {
        if (!o_.json) return;
        JsonObject summary("summary");
        summary.Add("image_size", imageSize_).Add("sha256", sha256_);
        for (const auto& [key, value] : BlockFields()) summary.AddRaw(key, value);
        session_->View().Json(summary.AddSeconds("seconds", Elapsed()));
    }

    // The time taken and the throughput: the image over the time spent
    // writing and verifying (the card waits, the reader setup and the
    // calibration left out).
    std::string Throughput(double seconds) const
    {
        const double writing = session_->Record().CardWritingSeconds();
        return std::to_string(imageSize_) + " bytes in " + Seconds(seconds) + ", written and verified in " +
               Seconds(writing) + " (" + Rate(imageSize_, writing) + ")";
    }

    int ProgramOnce()
    {
        ShowImage();
        TerminalView& view = session_->View();
        const ProgramRunOutcome outcome =
            RunProgramSequence(session_->Link(), view, session_->Account(), CardImage, settings_);
        ProgramSummary();
        if (!outcome.programmed) return End(FailureEnding({}));
        Ending e("programmed", kExitProgrammed, view.Text(), view.Text() + " " + Throughput(view.Elapsed()));
        e.fields = WrittenFields(false, true);
        return End(e);
    }

    // One "card" object of --repeat, saying also whether the card was
    // calibrated (else it was programmed at a speed kept or given).
    void CardObject(int card, const Ending& e, double seconds)
    {
        if (!o_.json) return;
        const RunRecord& record = session_->Record();
        const bool calibrated = record.SpeedKnown() && !record.Speed().given;
        JsonObject object("card");
        object.Add("card", card).Add("result", e.result).Add("status", e.status).Add("message", e.message);
        for (const auto& [key, value] : e.fields) object.AddRaw(key, value);
        for (const auto& [key, value] : BlockFields()) object.AddRaw(key, value);
        if (!e.failure.empty()) object.AddRaw("failure", e.failure);
        object.AddSeconds("seconds", seconds).AddRaw("calibrated", calibrated ? "true" : "false");
        session_->View().Json(object);
    }

    // --calibrate=once: the speed a card was calibrated to (afresh, when it
    // did not take the speed kept) is kept for the cards after it, as long
    // as its calibration found the loader answering or the card was
    // programmed at it.
    void KeepSpeed(bool programmed)
    {
        const RunRecord& record = session_->Record();
        if (!o_.calibrateOnce || !record.SpeedKnown() || record.Speed().given) return;
        if (record.Speed().passed == 0 && !programmed) return;
        settings_.fixedSpeed = record.Speed().speed;
        settings_.calibrateWhenRefused = true;
    }

    // Card after card. A card whose session began (it was in the slot and
    // reset) gets its "card" object and its line whatever ended it, and
    // counts as programmed or failed. A card wait that ran out waits again;
    // a port that cannot be opened, a reader that went away and a stop end
    // the batch; with --count, so does the count's last card. After --count
    // cards the run's status is 0 when all were programmed, else the first
    // failed card's.
    int ProgramRepeatedly()
    {
        ShowImage();
        TerminalView& view = session_->View();
        RunRecord& record = session_->Record();
        int programmed = 0;
        int failed = 0;
        Ending end;
        Ending firstFailure;
        bool counted = false;
        const auto tally = [&] {
            if (station_ == nullptr) return;
            station_->programmed = programmed;
            station_->failed = failed;
            station_->output->Tally(station_->index, programmed, failed);
        };
        for (;;) {
            if (o_.count > 0 && programmed + failed >= o_.count) {
                counted = true;
                break;
            }
            const double started = view.Elapsed();
            const int card = programmed + failed + 1;
            record.StartCard();
            view.SetCard(card, true);
            const ProgramRunOutcome outcome =
                RunProgramSequence(session_->Link(), view, session_->Account(), CardImage, settings_);
            const double took = view.Elapsed() - started;
            KeepSpeed(outcome.programmed);
            if (outcome.programmed) {
                ++programmed;
                Ending e("programmed", kExitProgrammed, view.Text());
                e.fields = WrittenFields(false, true);
                CardObject(card, e, took);
                view.Say("Card " + std::to_string(card) + ": " + view.Text() + " (" + Seconds(took) + ")", true);
                tally();
                end = e;
                continue;
            }
            end = FailureEnding({});
            const FailureKind kind = record.Outcome().kind;
            if (record.CardBegan()) {
                ++failed;
                if (failed == 1) firstFailure = end;
                tally();
                CardObject(card, end, took);
                // A stop says what the card holds in its message already.
                const bool cutOff = kind == FailureKind::ReaderGone || kind == FailureKind::Other;
                view.Say("Card " + std::to_string(card) + ": " + end.message + " (" + Seconds(took) + ")" +
                             (kind == FailureKind::Stopped ? "" : "; " + record.WrittenText(cutOff)),
                         true);
            }
            if (kind == FailureKind::Stopped || kind == FailureKind::Port || kind == FailureKind::ReaderGone) break;
        }
        view.Finish();
        const std::string cards = std::to_string(programmed) + " card" + (programmed == 1 ? "" : "s") +
                                  " programmed, " + std::to_string(failed) + " failed";
        view.Say(cards + ", in " + Seconds(view.Elapsed()), true);
        if (counted) {
            if (failed == 0) {
                end.message = cards;
            } else {
                end = firstFailure;
            }
        }
        end.fields.insert(end.fields.begin(), {{"programmed", std::to_string(programmed)},
                                               {"failed", std::to_string(failed)}});
        return End(end);
    }

    // --------------------------------------------------------- read, verify

    // The reader setup, card wait and read-only loader start of the Program
    // sequence, then the blocks that hold the first `length` bytes of the
    // card read into `card`.
    ProgramRunOutcome ReadWholeBlocks(int32_t length, std::vector<uint8_t>& card)
    {
        TerminalView& view = session_->View();
        RunObserver& account = session_->Account();
        ReaderLink& link = session_->Link();
        const int32_t blocksLength = (length + loader::kBlockSize - 1) / loader::kBlockSize * loader::kBlockSize;
        card.assign(static_cast<size_t>(blocksLength), 0);
        return RunReaderSequence(link, view, account, settings_, [&] {
            return StartCardLoader(link, view, account, settings_, true) != 0 &&
                   ReadCard(link, account, session_->Record(), card.data(), blocksLength, reading_);
        });
    }

    // The summary members every reading run shares.
    JsonObject ReadSummary(int32_t length, const std::string& sha)
    {
        const LineCounts& c = session_->Counts();
        JsonObject summary("summary");
        summary.Add("image_size", length)
            .Add("sha256", sha)
            .AddOrNull("speed", c.workingBaud > 0 ? static_cast<int64_t>(c.workingBaud) : -1)
            .Add("blocks_read", (length + loader::kBlockSize - 1) / loader::kBlockSize)
            .Add("reads", c.readFrames);
        return summary;
    }

    // The time a read took and its throughput: the bytes over the time spent
    // reading them.
    std::string ReadThroughput(int32_t length, double seconds) const
    {
        return std::to_string(length) + " bytes in " + Seconds(seconds) + " (" +
               Rate(length, session_->Record().Seconds(RunPhase::Reading)) + ")";
    }

    int Read(PartFile* part)
    {
        TerminalView& view = session_->View();
        const int32_t length = o_.length;
        const std::string target = toStdout_ ? std::string("standard output") : o_.image;
        std::vector<uint8_t> card;
        const ProgramRunOutcome outcome = ReadWholeBlocks(length, card);
        if (!outcome.programmed) return End(FailureEnding("nothing written to " + target));

        std::string error;
        if (toStdout_) {
#ifdef _WIN32
            // The card's bytes as they are, without a text mode's line ends.
            if (&out_ == &std::cout) _setmode(_fileno(stdout), _O_BINARY);
#endif
            out_.write(reinterpret_cast<const char*>(card.data()), length);
            out_.flush();
            if (!out_) error = "write error";
        } else {
            part->Commit(card.data(), length, error);
        }
        if (!error.empty()) return End(OtherFailure(target + ": cannot be written: " + error));
        const double s = view.Elapsed();
        const std::string sha = Sha256Hex(card.data(), static_cast<size_t>(length));
        if (o_.json) view.Json(ReadSummary(length, sha).AddSeconds("seconds", s));
        return End({"read", kExitProgrammed, "read",
                    "Card read into " + target + ": " + ReadThroughput(length, s) + ", SHA-256 " + sha});
    }

    // A failure of the program's own after the card was done with.
    static Ending OtherFailure(const std::string& message)
    {
        Ending e("failed", kExitOtherFailure, message);
        RunOutcome o;
        o.kind = FailureKind::Other;
        o.reason = message;
        e.failure = FailureJson(o);
        return e;
    }

    int Verify()
    {
        ShowImage();
        const int32_t length = CardImage.Length;
        std::vector<uint8_t> card;
        const ProgramRunOutcome outcome = ReadWholeBlocks(length, card);
        if (!outcome.programmed) return End(FailureEnding("nothing compared"));

        int64_t differing = 0;
        std::vector<std::string> list;
        std::string listed = "[";
        std::string first;
        for (int32_t i = 0; i < length; ++i) {
            const uint8_t onCard = card[static_cast<size_t>(i)];
            if (onCard == CardImage.Data[i]) continue;
            if (differing == 0) first = CardAddressText(i);
            if (differing < kListedDifferences) {
                char line[64];
                std::snprintf(line, sizeof line, "  %s: card %02X, image %02X", CardAddressText(i).c_str(), onCard,
                              CardImage.Data[i]);
                list.push_back(line);
                listed += std::string(listed.size() > 1 ? "," : "") +
                          JsonObject().Add("address", i).Add("card", onCard).Add("image", CardImage.Data[i]).Text();
            }
            ++differing;
        }
        listed += "]";
        const double s = session_->View().Elapsed();
        if (o_.json)
            session_->View().Json(ReadSummary(length, sha256_)
                                      .Add("differing_bytes", differing)
                                      .AddRaw("first_differences", listed)
                                      .AddSeconds("seconds", s));
        if (differing == 0)
            return End({"equal", kExitProgrammed, "equal",
                        "The card holds the image: " + std::to_string(length) + " bytes in " + Seconds(s)});
        const std::string message = "the card differs from the image in " + std::to_string(differing) + " byte" +
                                    (differing == 1 ? "" : "s") + ", first at " + first;
        Ending e("differs", kExitCardDiffers, message);
        e.listing = list;
        RunOutcome o;
        o.kind = FailureKind::CardDiffers;
        o.reason = message;
        e.failure = FailureJson(o);
        return End(e);
    }

    // --------------------------------------------------------------- check

    int Check()
    {
        TerminalView& view = session_->View();
        RunObserver& account = session_->Account();
        ReaderLink& link = session_->Link();
        std::string atr;
        bool answered = false;
        SpeedWindow found;
        const loader::CalibrationRange range = loader::CalibrationRangeFor(settings_.ClockSetting);
        const ProgramRunOutcome outcome = RunReaderSequence(link, view, account, settings_, [&] {
            if (!CheckLoaderCardAtr(link, view, account, settings_, &atr)) return false;
            answered = true;
            found = FindSpeedWindowReadOnly(link, view, account, settings_);
            if (found.passed > 0) return true;
            RunOutcome none;
            none.kind = FailureKind::NoSpeed;
            none.first = range.first;
            none.last = range.last;
            none.atr = atr;
            account.Ended(none);
            return false;
        });
        const int trials = (range.last - range.first) / loader::kTrialStep + 1;
        const FailureKind kind = session_->Record().Outcome().kind;
        if (answered && (outcome.programmed || kind == FailureKind::NoSpeed) && o_.json)
            view.Json(JsonObject("summary")
                          .Add("atr", atr)
                          .AddOrNull("lowest", found.passed > 0 ? found.lowest : -1)
                          .AddOrNull("highest", found.passed > 0 ? found.highest : -1)
                          .Add("passed", found.passed)
                          .Add("trials", trials)
                          .AddOrNull("speed", found.passed > 0 ? found.middle : -1)
                          .AddSeconds("seconds", view.Elapsed()));
        if (outcome.programmed)
            return End({"answers", kExitProgrammed, "the card answers",
                        "The card answers: answer-to-reset " + atr + "; its loader answers from " +
                            std::to_string(found.lowest) + " to " + std::to_string(found.highest) + " baud (" +
                            std::to_string(found.passed) + " of " + std::to_string(trials) +
                            " speeds), programming would use " + std::to_string(found.middle) + " baud"});
        return End(FailureEnding({}));
    }

    const CliOptions& o_;
    const std::vector<std::string>& args_;
    std::ostream& out_;
    std::ostream& err_;
    const CliTerminal& terminal_;
    const CliSystem& system_;
    std::istream* in_;
    // A station of a line of readers, or null.
    StationContext* station_;
    // What begins each line on stderr: "torvik-loader: ", and the station.
    std::string errPrefix_;
    // A line of readers: the signal that stopped it, for its stations.
    std::sig_atomic_t lineSignal_ = 0;
    // "read -": the card goes to `out_`, everything else to `err_`.
    bool toStdout_;
    std::ostream& viewOut_;
    Session* session_ = nullptr;
    bool ended_ = false;
    int64_t imageSize_ = 0;
    std::string sha256_;
    // read, verify: the block being read, -1 before the first.
    int64_t reading_ = -1;
    // program, verify: the image loaded, in a buffer of the card's size.
    std::vector<uint8_t> imageBytes_;
    TCardImage CardImage;
    RunSettings settings_;
};

}  // namespace

int ExitStatusFor(FailureKind kind, CliOptions::Action action)
{
    switch (kind) {
    case FailureKind::None: return kExitProgrammed;
    case FailureKind::Port: return kExitPortFailed;
    case FailureKind::CardNotRemoved: return kExitCardNotRemoved;
    case FailureKind::ReaderSetup: return kExitReaderSetup;
    case FailureKind::NoCard: return kExitNoCard;
    case FailureKind::WrongAtr: return kExitWrongAtr;
    case FailureKind::NoSpeed: return action == CliOptions::Action::Program ? kExitProgrammingFailed : kExitReadFailed;
    case FailureKind::Block:
    case FailureKind::FramesUsedUp: return kExitProgrammingFailed;
    case FailureKind::ReadFailed: return kExitReadFailed;
    case FailureKind::CardDiffers: return kExitCardDiffers;
    case FailureKind::ReaderGone: return kExitReaderGone;
    case FailureKind::Stopped: return kExitInterrupted;
    case FailureKind::Other: return kExitOtherFailure;
    }
    return kExitOtherFailure;
}

int RunLoaderCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                 const CliTerminal& terminal, const CliSystem& system, std::istream* in)
{
    const CliParse parsed = ParseCliArguments(args);
    if (!parsed.error.empty()) {
        err << "torvik-loader: " << parsed.error << " (see torvik-loader --help)\n";
        if (parsed.json)
            out << JsonObject("result")
                       .AddRaw("command", parsed.command.empty() ? "null" : JsonString(parsed.command))
                       .Add("result", "failed")
                       .Add("status", kExitUsage)
                       .Add("message", parsed.error)
                       .AddSeconds("elapsed", 0)
                       .Add("version", kJsonVersion)
                       .AddSeconds("t", 0)
                       .Text()
                << '\n';
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
    return LoaderCli(o, args, out, err, terminal, system, in).Run();
}
