#include "cli/CliArguments.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <iterator>

#include "reader/Usb_phoenixinterface.h"

namespace {

constexpr uint32_t kHighestPort = 255;
constexpr int32_t kCardSize = 0x40000;

const char kAbout[] =
    "Writes a card image file (.tvk) onto the Torvik loader card in the reader, reads a card back\n"
    "into a file, compares a card with a file, or checks that a card answers, through the same\n"
    "reader setup, card wait, answer-to-reset check and speed calibration as the window.\n"
    "A run that ends after the first block was written says so: \"the card is partly programmed:\n"
    "blocks 0x... to 0x... written\"; before that, \"nothing written\".\n"
    "\"torvik-loader help COMMAND\" (or COMMAND --help) lists a command's options. Every command,\n"
    "option, JSON object and exit status: man torvik-loader.";

const char kExitStatuses[] =
    "Exit status:\n"
    "  0  success (programmed; read; the card equals the image; check: the card answers)\n"
    "  1  any other failure\n"
    "  2  bad arguments, or a file that cannot be used\n"
    "  3  Could not open comport!\n"
    "  4  the card was not taken out within 30 s\n"
    "  5  Error setting Phoenix mode. (the reader did not answer its setup)\n"
    "  6  no card was put in within 30 s\n"
    "  7  Wrong ATR, please insert a Torvik Loader Card.\n"
    "  8  Error programming Torvik Loader Card. (a block, or no speed answered)\n"
    "  9  the card could not be read (its loader answered at no speed, or a block gave no steady answer)\n"
    "  10 verify: the card differs from the image\n"
    "  11 the reader went away (unplugged, or its network connection lost)\n"
    "  129 hung up (SIGHUP), 130 interrupted (Ctrl-C), 143 terminated (SIGTERM)\n"
    "  141 standard output was closed (a closed pipe); the run stops quietly\n";

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& out)
{
    std::string digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
        base = 16;
    }
    if (digits.empty() || digits.size() > 10) return false;
    const char* allowed = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.find_first_not_of(allowed) != std::string::npos) return false;
    out = std::stoull(digits, nullptr, base);
    return out <= max;
}

// The options every command that talks to a reader takes.
struct ReaderOptions {
    std::string port;
    std::string device;
    std::string trace;
    std::string clock;
    int json = 0;
    int quiet = 0;
    int verbose = 0;
};

void AddReaderOptions(CLI::App& command, ReaderOptions& o)
{
    command.add_option("-p,--port", o.port, "the reader's port number, 1 to 255 (default 1, Com1): TORVIK_COM<N> if set, "
                                            "else the system's serial device for that number; program and check take "
                                            "several (1,2,3,4 or 1-4), a line of readers at once")
        ->type_name("N");
    command.add_option("-d,--device", o.device, "use NAME as that port for this run: a serial device path, "
                                                "sim[:OPTIONS] or rfc2217://HOST:PORT")
        ->type_name("NAME");
    command.add_option("--trace", o.trace, "write every byte and line change of the run, the status texts and the "
                                           "result to FILE, for a maintainer")
        ->type_name("FILE");
    command.add_option("--clock", o.clock, "the card clock the reader makes, in MHz: 3.58 (the default, as the "
                                           "window), 3.68 or 6.00; a card that does not run at it answers at no "
                                           "speed")
        ->type_name("MHZ");
    command.add_flag("--json", o.json, "one JSON object per line: status changes, summaries, and one result at the end");
    command.add_flag("-q,--quiet", o.quiet, "print only the result");
    command.add_flag("-v,--verbose", o.verbose, "print every status text, with the resolved port");
}

class Parser {
public:
    Parser()
    {
        app_.footer(std::string(kAbout) + "\n\n" + kExitStatuses);
        app_.add_flag("-V,--version", version_, "print the program's version");
        app_.require_subcommand(0, 1);
        app_.fallthrough(false);

        program_ = app_.add_subcommand("program", "write IMAGE onto the card (- reads it from standard input)");
        AddReaderOptions(*program_, programReader_);
        program_->add_option("--verify", verifyMode_,
                             "how the card is verified: pass (the default) writes every block, then reads every "
                             "block back, writes again any that differs and reads the card again after such a "
                             "write, at most three passes; each also reads back every block right after its "
                             "write, as the window's \"Verify programming\" does")
            ->type_name("MODE");
        program_->add_flag("-n,--no-verify", noVerify_, "write every block and read back only a sample of them; "
                                                         "no read pass");
        program_->add_flag("--truncate", truncate_, "program the first 0x40000 bytes of a longer image");
        program_->add_flag("--repeat", repeat_, "card after card, until interrupted");
        program_->add_option("--count", count_, "card after card, N cards at each port, then end (exit 0 when all "
                                                "were programmed)")
            ->type_name("N");
        program_->add_option("--calibrate", calibrate_, "with --repeat or --count: each (the default) calibrates every "
                                                        "card; once calibrates a port's first card and programs the "
                                                        "later ones at its speed, calibrating again a card that does "
                                                        "not take it")
            ->type_name("MODE");
        program_->add_option("--speed", speed_, "program at BAUD without calibrating; the first block is read back "
                                                "and must match, or the run fails")
            ->type_name("BAUD");
        program_->add_option("IMAGE", programImage_, "the card image file")->required()->type_name("");

        read_ = app_.add_subcommand("read", "read the card into the file OUT (- writes it to standard output)");
        AddReaderOptions(*read_, readReader_);
        read_->add_option("--length", length_, "bytes to read from address 0 (default 0x40000)")->type_name("N");
        read_->add_option("OUT", readOut_, "the file to write")->required()->type_name("");

        verify_ = app_.add_subcommand("verify", "compare the card with IMAGE without writing to it");
        AddReaderOptions(*verify_, verifyReader_);
        verify_->add_option("IMAGE", verifyImage_, "the card image file")->required()->type_name("");

        check_ = app_.add_subcommand("check", "show whether the card answers and its loader's speed window, "
                                              "writing nothing");
        AddReaderOptions(*check_, checkReader_);

        ports_ = app_.add_subcommand("ports", "list the serial devices and the Com number of each");
        ports_->add_flag("--json", portsJson_, "one JSON object per device and per TORVIK_COM<N>, then one result");

        commands_ = {program_, read_, verify_, check_, ports_};
        for (CLI::App* command : commands_) command->footer(kExitStatuses);
        for (CLI::App* app : {&app_, program_, read_, verify_, check_, ports_})
            for (CLI::Option* option : app->get_options())
                if (option->get_name() != "--help") option->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    }

    CliParse Parse(const std::vector<std::string>& args)
    {
        CliParse result;
        CliOptions& o = result.options;
        // What a usage error's JSON result needs, whatever else is wrong.
        for (const std::string& arg : args) {
            if (arg == "--") break;
            if (arg == "--json") result.json = true;
        }
        if (!args.empty() && Command(args[0]) != nullptr) result.command = args[0];
        if (args.empty()) {
            result.error = "no command given";
            return result;
        }
        if (args[0] == "help") {
            if (args.size() > 2) {
                result.error = "help takes one command";
                return result;
            }
            CLI::App* command = args.size() == 2 ? Command(args[1]) : &app_;
            if (command == nullptr) {
                result.error = "help: " + UnknownCommand(args[1]);
                return result;
            }
            o.action = CliOptions::Action::Help;
            o.helpText = command->help();
            return result;
        }
        // The program's own options take no value: the first word is the
        // command.
        const auto word = std::find_if(args.begin(), args.end(),
                                       [](const std::string& arg) { return arg.rfind('-', 0) != 0; });
        if (word != args.end() && *word != "help" && Command(*word) == nullptr) {
            result.error = UnknownCommand(*word);
            return result;
        }
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        try {
            app_.parse(reversed);
        } catch (const CLI::CallForHelp&) {
            o.action = CliOptions::Action::Help;
            o.helpText = app_.help();
            for (CLI::App* command : commands_)
                if (command->parsed()) o.helpText = command->help();
            return result;
        } catch (const CLI::ParseError& e) {
            result.error = e.what();
            // "--port: At Most 1 required but received 2"
            const size_t colon = result.error.find(": At Most 1 required");
            if (colon != std::string::npos) result.error = result.error.substr(0, colon) + " given more than once";
            return result;
        }
        if (version_ > 0) {
            o.action = CliOptions::Action::Version;
            return result;
        }
        const ReaderOptions* reader = nullptr;
        if (program_->parsed()) {
            o.action = CliOptions::Action::Program;
            o.image = programImage_;
            if (noVerify_ > 0 && !verifyMode_.empty()) {
                result.error = "--verify and --no-verify cannot be given together";
                return result;
            }
            if (!verifyMode_.empty() && verifyMode_ != "pass" && verifyMode_ != "each") {
                result.error = "--verify takes pass or each, not '" + verifyMode_ + "'";
                return result;
            }
            o.verify = noVerify_ > 0           ? Verification::Sampled
                       : verifyMode_ == "each" ? Verification::EachBlock
                                               : Verification::AfterWriting;
            o.truncate = truncate_ > 0;
            o.repeat = repeat_ > 0;
            reader = &programReader_;
            uint64_t n = 0;
            if (!speed_.empty() &&
                (speed_.find_first_not_of("0123456789") != std::string::npos ||
                 !ParseNumber(speed_, kHighestFixedSpeed, n) || n < static_cast<uint64_t>(kLowestFixedSpeed))) {
                result.error = "--speed takes a speed in baud from " + std::to_string(kLowestFixedSpeed) + " to " +
                               std::to_string(kHighestFixedSpeed) + ", not '" + speed_ + "'";
                return result;
            }
            if (!speed_.empty()) o.speed = static_cast<int32_t>(n);
            if (!count_.empty()) {
                if (count_.find_first_not_of("0123456789") != std::string::npos || !ParseNumber(count_, kMostCards, n) ||
                    n == 0) {
                    result.error = "--count takes a number of cards from 1 to " + std::to_string(kMostCards) +
                                   ", not '" + count_ + "'";
                    return result;
                }
                o.count = static_cast<int32_t>(n);
                o.repeat = true;
            }
            if (!calibrate_.empty() && calibrate_ != "each" && calibrate_ != "once") {
                result.error = "--calibrate takes each or once, not '" + calibrate_ + "'";
                return result;
            }
            if (!calibrate_.empty() && !speed_.empty()) {
                result.error = "--calibrate and --speed cannot be given together";
                return result;
            }
            o.calibrateOnce = calibrate_ == "once";
            if (o.calibrateOnce && !o.repeat) {
                result.error = "--calibrate=once needs --repeat or --count: it keeps the first card's speed for the next";
                return result;
            }
        } else if (read_->parsed()) {
            o.action = CliOptions::Action::Read;
            o.image = readOut_;
            reader = &readReader_;
            uint64_t n = 0;
            if (!length_.empty() && (!ParseNumber(length_, kCardSize, n) || n == 0)) {
                result.error = "--length takes a number of bytes from 1 to 0x40000, not '" + length_ + "'";
                return result;
            }
            if (!length_.empty()) o.length = static_cast<int32_t>(n);
        } else if (verify_->parsed()) {
            o.action = CliOptions::Action::Verify;
            o.image = verifyImage_;
            reader = &verifyReader_;
        } else if (check_->parsed()) {
            o.action = CliOptions::Action::Check;
            reader = &checkReader_;
        } else if (ports_->parsed()) {
            o.action = CliOptions::Action::Ports;
            o.json = portsJson_ > 0;
            return result;
        } else {
            result.error = "no command given";
            return result;
        }
        if (!reader->port.empty()) {
            if (!ParsePorts(reader->port, o.ports)) {
                result.error = "--port takes a port number from 1 to " + std::to_string(kHighestPort) + ", not '" +
                               reader->port + "'";
                return result;
            }
            o.port = o.ports.front();
            for (auto p = o.ports.begin(); p != o.ports.end(); ++p)
                if (std::find(o.ports.begin(), p, *p) != p) {
                    result.error = "--port names Com" + std::to_string(*p) + " twice";
                    return result;
                }
        }
        const bool line = o.ports.size() > 1;
        if (line && (o.action == CliOptions::Action::Read || o.action == CliOptions::Action::Verify)) {
            result.error = std::string(o.action == CliOptions::Action::Read ? "read" : "verify") +
                           " takes one port, not '" + reader->port + "'; several are for program and check";
            return result;
        }
        o.device = reader->device;
        if (reader->device.empty() && Given(CommandOf(reader), "--device")) {
            result.error = "--device needs a device name";
            return result;
        }
        if (Given(CommandOf(reader), "--clock")) {
            const auto known = std::find(std::begin(kReaderClocks), std::end(kReaderClocks), reader->clock);
            if (known == std::end(kReaderClocks)) {
                result.error = "--clock takes " + ClockList() + ", not '" + reader->clock + "'";
                return result;
            }
            o.clock = reader->clock;
        }
        if (line && !o.device.empty()) {
            result.error = "--device names the device of one port; for several, set TORVIK_COM<N> for each";
            return result;
        }
        o.trace = reader->trace;
        o.json = reader->json > 0;
        o.quiet = reader->quiet > 0;
        o.verbose = reader->verbose > 0;
        if (o.quiet && o.verbose) result.error = "--quiet and --verbose cannot be given together";
        if (o.image.empty() && o.action != CliOptions::Action::Check) result.error = "the file name is empty";
        return result;
    }

    std::string Help() { return app_.help(); }

private:
    static bool Given(CLI::App* command, const std::string& name) { return command->count(name) > 0; }

    // "3.58, 3.68 or 6.00": the clocks the reader makes.
    static std::string ClockList()
    {
        std::string list;
        for (size_t i = 0; i < std::size(kReaderClocks); ++i)
            list += std::string(i == 0 ? "" : i + 1 == std::size(kReaderClocks) ? " or " : ", ") + kReaderClocks[i];
        return list;
    }

    // "3", "1,2,3,4", "1-4", "1-2,7": port numbers from 1 to kHighestPort,
    // in the order given.
    static bool ParsePorts(const std::string& text, std::vector<uint32_t>& ports)
    {
        ports.clear();
        size_t start = 0;
        for (;;) {
            const size_t comma = text.find(',', start);
            const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            const size_t dash = item.find('-');
            uint64_t low = 0;
            uint64_t high = 0;
            if (!PortNumber(item.substr(0, dash), low)) return false;
            high = low;
            if (dash != std::string::npos && (!PortNumber(item.substr(dash + 1), high) || high < low)) return false;
            for (uint64_t n = low; n <= high; ++n) ports.push_back(static_cast<uint32_t>(n));
            if (comma == std::string::npos) return true;
            start = comma + 1;
        }
    }

    static bool PortNumber(const std::string& text, uint64_t& n)
    {
        return text.find_first_not_of("0123456789") == std::string::npos && ParseNumber(text, kHighestPort, n) &&
               n > 0;
    }

    // The command of that name; null for anything else.
    CLI::App* Command(const std::string& name)
    {
        for (CLI::App* command : commands_)
            if (command->get_name() == name) return command;
        return nullptr;
    }

    // "unknown command 'progam'; did you mean 'program'?" when one command
    // is a slip of the keyboard away from `word` (a letter wrong, missing,
    // extra or two swapped; two such slips in the longer names) or starts
    // with it; otherwise the list of the commands.
    std::string UnknownCommand(const std::string& word) const
    {
        std::string lower = word;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::string best;
        size_t bestDistance = 3;
        std::string list;
        for (const CLI::App* command : commands_) {
            const std::string& name = command->get_name();
            list += (list.empty() ? "" : command == commands_.back() ? " and " : ", ") + name;
            const size_t allowed = name.size() >= 6 ? 2 : 1;
            size_t distance = EditDistance(lower, name);
            if (lower.size() >= 3 && name.rfind(lower, 0) == 0) distance = 0;
            if (distance <= allowed && distance < bestDistance) {
                best = name;
                bestDistance = distance;
            }
        }
        const std::string start = "unknown command '" + word + "'";
        if (!best.empty()) return start + "; did you mean '" + best + "'?";
        return start + "; the commands are " + list;
    }

    // Letters inserted, deleted, changed or two neighbours swapped to turn a
    // into b.
    static size_t EditDistance(const std::string& a, const std::string& b)
    {
        std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
        for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
        for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
        for (size_t i = 1; i <= a.size(); ++i)
            for (size_t j = 1; j <= b.size(); ++j) {
                d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
                if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                    d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        return d[a.size()][b.size()];
    }

    CLI::App* CommandOf(const ReaderOptions* reader)
    {
        if (reader == &programReader_) return program_;
        if (reader == &readReader_) return read_;
        if (reader == &verifyReader_) return verify_;
        return check_;
    }

    CLI::App app_{"", "torvik-loader"};
    CLI::App* program_ = nullptr;
    CLI::App* read_ = nullptr;
    CLI::App* verify_ = nullptr;
    CLI::App* check_ = nullptr;
    // Every command, in the order of the help.
    std::array<CLI::App*, 5> commands_{};
    CLI::App* ports_ = nullptr;
    int version_ = 0;
    ReaderOptions programReader_, readReader_, verifyReader_, checkReader_;
    int noVerify_ = 0;
    int portsJson_ = 0;
    std::string verifyMode_;
    int truncate_ = 0;
    int repeat_ = 0;
    std::string count_;
    std::string calibrate_;
    std::string length_;
    std::string speed_;
    std::string programImage_, readOut_, verifyImage_;
};

}  // namespace

CliParse ParseCliArguments(const std::vector<std::string>& args) { return Parser().Parse(args); }

std::string CliUsage() { return Parser().Help(); }
