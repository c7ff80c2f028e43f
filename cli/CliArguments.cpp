#include "cli/CliArguments.h"

namespace {

constexpr uint32_t kHighestPort = 255;

bool ParsePort(const std::string& text, uint32_t& port)
{
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    port = static_cast<uint32_t>(std::stoul(text));
    return port >= 1 && port <= kHighestPort;
}

}  // namespace

CliParse ParseCliArguments(const std::vector<std::string>& args)
{
    CliParse result;
    CliOptions& o = result.options;
    if (args.empty()) {
        result.error = "no command given";
        return result;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        o.action = CliOptions::Action::Help;
        return result;
    }
    if (args[0] == "--version") {
        o.action = CliOptions::Action::Version;
        return result;
    }
    if (args[0] != "program") {
        result.error = "unknown command '" + args[0] + "'";
        return result;
    }

    o.action = CliOptions::Action::Program;
    bool optionsEnded = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](const std::string& name, std::string& out) {
            if (i + 1 >= args.size()) {
                result.error = name + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        if (!optionsEnded && (a == "--help" || a == "-h")) {
            o.action = CliOptions::Action::Help;
            return result;
        }
        if (!optionsEnded && a == "--port") {
            std::string text;
            if (!value(a, text)) return result;
            if (!ParsePort(text, o.port)) {
                result.error = "--port takes a port number from 1 to " + std::to_string(kHighestPort) + ", not '" +
                               text + "'";
                return result;
            }
        } else if (!optionsEnded && a == "--device") {
            if (!value(a, o.device)) return result;
            if (o.device.empty()) {
                result.error = "--device needs a device name";
                return result;
            }
        } else if (!optionsEnded && a == "--no-verify") {
            o.verify = false;
        } else if (!optionsEnded && a == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && a.size() > 1 && a[0] == '-') {
            result.error = "unknown option '" + a + "'";
            return result;
        } else if (o.image.empty()) {
            o.image = a;
        } else {
            result.error = "only one card image can be programmed at a time ('" + a + "')";
            return result;
        }
    }
    if (o.image.empty()) result.error = "no card image file given";
    return result;
}

std::string CliUsage()
{
    return "Usage: torvik-loader program [--port N | --device NAME] [--no-verify] IMAGE\n"
           "       torvik-loader --help | --version\n"
           "\n"
           "Writes the card image file IMAGE (.tvk) onto the Torvik loader card in the\n"
           "reader: sets the reader up, waits for the card, and programs it, showing the\n"
           "same messages as the window.\n"
           "\n"
           "  --port N       the reader's port number, 1 to 255 (default 1, Com1). The\n"
           "                 port resolves as in the window: TORVIK_COM<N> if set, else\n"
           "                 the system's serial device for that number.\n"
           "  --device NAME  use NAME as the reader's port for this run: a serial device\n"
           "                 path, sim[:OPTIONS] for the built-in simulated reader, or\n"
           "                 rfc2217://HOST:PORT for a reader behind a network server\n"
           "                 (it then stands for port N, 1 unless --port is given).\n"
           "  --no-verify    read back only a sample of the blocks, not every block.\n"
           "\n"
           "Exit status:\n"
           "  0  Card successfully programmed.\n"
           "  2  bad arguments, or the image file cannot be used\n"
           "  3  Could not open comport!\n"
           "  4  Please remove card from card slot. (the card was not taken out in time)\n"
           "  5  Error setting Phoenix mode.\n"
           "  6  Please insert card in card slot. (no card was put in in time)\n"
           "  7  Wrong ATR, please insert a Torvik Loader Card.\n"
           "  8  Error programming Torvik Loader Card.\n"
           "  1  any other failure; 130 when interrupted\n";
}
