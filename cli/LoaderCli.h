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
//
// A line of readers ("program -p 1,2,3,4 --repeat", "check -p 1-4"): each
// port is a station with its own reader link, port chain, devices, view and
// trace (FILE.<port>), on a thread of its own; the image is loaded once.
// Stations write whole lines through one guarded output (cli/StationOutput.h):
// piped, each line begins with "Com<N>: "; on a terminal a live table shows a
// row per station; in JSON every object carries "station", each station ends
// with a "station" object and the run with the one "result". A station
// whose reader went away stops and the others go on; a stop (Ctrl-C) stops
// them all, each saying what its card holds. The exit status is 0 when every
// station did what it was for (with --count: programmed all its cards); a
// stop's status (130, 143, 129) when the run was stopped; otherwise the
// status of the first station, in the order the ports were given, that did
// not end with 0.

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
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

// The devices a station of a line of readers opens its port through: a port
// chain of its own, over devices and a clock of its own, so that stations on
// threads of their own share none of them.
class StationDevices {
public:
    virtual ~StationDevices() = default;
    virtual PortChain& Chain() = 0;
};

// What the program runs on: the port chain whose clock, devices and
// assignments each run's own chain is made from (PortChain::ForRun), and the
// question every turn of a wait asks: whether to stop the run (Ctrl-C, a
// closed pipe). Empty: never. A line of readers asks it from the thread that
// started the stations only, under the lock of their output (it may look at
// the streams).
struct CliSystem {
    using StationMaker = std::function<std::unique_ptr<StationDevices>(uint32_t port, std::ostream* notes)>;
    CliSystem(PortChain& ports_, std::function<bool()> stopRequested_ = {}, StationMaker stationDevices_ = {})
        : ports(ports_), stopRequested(std::move(stopRequested_)), stationDevices(std::move(stationDevices_))
    {
    }

    PortChain& ports;
    std::function<bool()> stopRequested;
    // A line of readers: the devices of the station at `port`, made before
    // its thread starts and destroyed after it ended; `notes` takes what its
    // simulated readers cannot do. Empty: the system's devices on the steady
    // clock (SystemChain), one set per station.
    StationMaker stationDevices;
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
