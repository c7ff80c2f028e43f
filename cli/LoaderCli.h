#pragma once
// torvik-loader: the window's Program sequence from the command line, and
// reading a card back into a file or comparing it with one.
//
// "program" loads the card image (more than 16 and at most 0x40000 bytes
// unless --truncate), shows its size and SHA-256, then runs
// SetReaderMode("Phoenix", clock, 30, port) (clock "3.58" unless --clock),
// WaitForCard(30, port),
// ProgramCard and SerialChannel.Close(), exactly as the window's Program
// button, with the status messages and progress shown by a TerminalView.
// "read" and "verify" run the same reader setup and card wait, then
// StartCardLoader, and read every block until two clean answers agree.
// "check" runs the reader setup, the card wait, the answer-to-reset check and
// the read-only calibration, and shows the speed window found.
// What it reports comes from the run's account (reader/RunAccount.h): the exit
// status from the failure's kind (ExitStatusFor), the failure's details on
// stderr, in the JSON and in the trace.
// With --json every run ends with exactly one "result" object
// (docs/torvik-loader-json.schema.json).

#include <csignal>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/CliArguments.h"
#include "devices/PortChain.h"
#include "reader/RunAccount.h"

// Exit statuses.
constexpr int kExitProgrammed = 0;
constexpr int kExitOtherFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitPortFailed = 3;
constexpr int kExitCardNotRemoved = 4;
constexpr int kExitReaderSetup = 5;
constexpr int kExitNoCard = 6;
constexpr int kExitWrongAtr = 7;
constexpr int kExitProgrammingFailed = 8;
constexpr int kExitReadFailed = 9;
constexpr int kExitCardDiffers = 10;
constexpr int kExitReaderGone = 11;
constexpr int kExitHungUp = 129;
constexpr int kExitInterrupted = 130;
constexpr int kExitPipeClosed = 141;
constexpr int kExitTerminated = 143;

// The exit status of a run that ended so, for `action`: the one table from
// the account's failure kinds to the statuses. A loader that answered at no
// speed fails programming (8) and reading (9) alike; Stopped is Ctrl-C's
// (the program picks 129 or 143 by the signal).
int ExitStatusFor(FailureKind kind, CliOptions::Action action);

struct CliTerminal {
    bool live = false;    // stdout is a terminal: redraw a status line
    bool colour = false;  // ... and it shows colours
    bool ansi = true;     // ... and takes escape codes (not TERM=dumb)
    int width = 80;       // ... of this many columns
    // The signal that asked the run to stop (SIGINT, SIGTERM, SIGHUP), as
    // the program's handler records it; null or 0: Ctrl-C.
    const volatile std::sig_atomic_t* stopSignal = nullptr;
};

// What the program runs on: the port chain whose clock, devices and
// assignments each run's own chain is made from (PortChain::ForRun), and the
// question every turn of a wait asks: whether to stop the run (Ctrl-C, a
// closed pipe). Empty: never.
struct CliSystem {
    PortChain& ports;
    std::function<bool()> stopRequested;
};

// Runs the program for the arguments after the program name. Status lines go
// to `out`, a failure's one-line message to `err`; `in` is the image for
// "program -". "read -" writes the card to `out` and everything else to
// `err`. Each run has a reader link of its own (serial/ReaderLink.h) through
// a port chain of its own made from system.ports; a --device is assigned to
// the chosen port number only. A run stopped by system.stopRequested returns
// kExitInterrupted, kExitTerminated or kExitHungUp by terminal.stopSignal.
int RunLoaderCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                 const CliTerminal& terminal, const CliSystem& system, std::istream* in = nullptr);
