// torvik-loader: programs, reads and verifies Torvik loader cards from the
// command line (see cli/LoaderCli.h). Ctrl-C stops the run at its next wait,
// closes the port and exits with status 130; SIGTERM does the same with 143
// and SIGHUP (the terminal went away) with 129, each with its message. When
// standard output is a pipe that was closed, the run stops the same way but
// says nothing more, and the program exits with 141 (128 + SIGPIPE, what a
// shell shows for a program that a closed pipe ended).

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
// after windows.h
#include <mmsystem.h>
#define TORVIK_ISATTY(fd) _isatty(fd)
#else
#include <sys/ioctl.h>
#include <unistd.h>
#define TORVIK_ISATTY(fd) isatty(fd)
#endif

#include "cli/LoaderCli.h"
#include "cli/Utf8Text.h"
#include "devices/PortChain.h"

namespace {

volatile std::sig_atomic_t interruptSignal = 0;

extern "C" void OnInterrupt(int signal) { interruptSignal = signal; }

int TerminalWidth()
{
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
#else
    winsize size{};
    if (ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
    const char* columns = std::getenv("COLUMNS");
    if (columns != nullptr && std::atoi(columns) > 0) return std::atoi(columns);
    return 80;
}

}  // namespace

int main(int argc, char** argv)
{
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
#ifdef SIGHUP
    std::signal(SIGHUP, OnInterrupt);
#endif
#ifdef SIGPIPE
    // A write to a closed pipe fails instead of ending the program on the
    // spot, so that the run can close the port first.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    bool pipeClosed = false;
    // The run's waits look here whether to stop: an interrupt, or standard
    // output gone. After the latter nothing more is said, on either stream.
    const auto stopRequested = [&pipeClosed] {
        if (!pipeClosed && std::cout.bad()) {
            pipeClosed = true;
            std::cerr.setstate(std::ios::badbit);
        }
        return interruptSignal != 0 || pipeClosed;
    };
    // The system's devices on the steady clock; a simulated reader says on
    // stderr what it cannot do.
    SystemChain system(&std::cerr);

    CliTerminal terminal;
    terminal.live = TORVIK_ISATTY(1) != 0;
    const char* term = std::getenv("TERM");
    const bool dumb = term != nullptr && std::string(term) == "dumb";
    terminal.ansi = terminal.live && !dumb;
    terminal.colour = terminal.ansi && std::getenv("NO_COLOR") == nullptr;
    terminal.width = terminal.live ? TerminalWidth() : 80;
    terminal.stopSignal = &interruptSignal;

    std::ios::sync_with_stdio(true);
    UseUtf8Console();
    const std::vector<std::string> args = Utf8Arguments(argc, argv);
#ifdef _WIN32
    // The run's waits sleep to the millisecond; Windows' default timer tick
    // of 15.6 ms would stretch each of them.
    timeBeginPeriod(1);
#endif
    const int status = RunLoaderCli(args, std::cout, std::cerr, terminal, CliSystem{system.chain, stopRequested}, &std::cin);
#ifdef _WIN32
    timeEndPeriod(1);
#endif
    std::cout.flush();
    if (pipeClosed || std::cout.bad()) return kExitPipeClosed;
    return status;
}
