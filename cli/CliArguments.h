#pragma once
// The command line of torvik-loader:
//
//   torvik-loader program [--port N | --device NAME] [--no-verify] IMAGE
//   torvik-loader --help | --version

#include <cstdint>
#include <string>
#include <vector>

struct CliOptions {
    enum class Action { Program, Help, Version };
    Action action = Action::Help;
    // The reader's port number, as the window's port list (1 for Com1).
    uint32_t port = 1;
    // A device to use as that port instead of the one the port number
    // resolves to: a device path, "sim[:OPTIONS]" or "rfc2217://HOST:PORT".
    std::string device;
    // "Verify programming": every block is read back.
    bool verify = true;
    std::string image;
};

struct CliParse {
    CliOptions options;
    // Empty when the arguments are good; otherwise one line saying what is
    // wrong.
    std::string error;
};

// Parses the arguments after the program name.
CliParse ParseCliArguments(const std::vector<std::string>& args);

// The --help text.
std::string CliUsage();
