#pragma once
// torvik-loader: the window's Program sequence from the command line.
//
// "program" loads the card image by the window's rules (the first 0x40000
// bytes of a regular file; more than 16 bytes are needed to program), then
// runs SetReaderMode("Phoenix", ClockSetting, 30, port), WaitForCard(30,
// port), ProgramCard and SerialChannel.Close(), exactly as the window's
// Program button, with the status messages and progress shown by a
// TerminalView. The exit status tells the outcome (see CliUsage()).

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "cli/CliArguments.h"

// Exit statuses.
constexpr int kExitProgrammed = 0;
constexpr int kExitOtherFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// The exit status for the status text a failed run left behind
// (kExitOtherFailure for a text that is not one of the run's failures).
int ExitStatusForMessage(const std::string& status);

struct CliTerminal {
    bool live = false;    // stdout is a terminal: redraw a status line
    bool colour = false;  // ... and it shows colours
};

// Runs the program for the arguments after the program name. Status lines go
// to `out`, a failure's one-line message to `err`. Uses the port opener and
// clock of Platform(); a --device is opened through OpenResolvedDevice for
// the chosen port number only.
int RunLoaderCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                 const CliTerminal& terminal);
