// torvik-loader: programs a Torvik loader card from the command line (see
// cli/LoaderCli.h). Ctrl-C stops the run at its next wait, closes the port
// and exits with status 130.

#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define TORVIK_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define TORVIK_ISATTY(fd) isatty(fd)
#endif

#include "cli/LoaderCli.h"
#include "platform/Platform.h"

namespace {

volatile std::sig_atomic_t interruptRequested = 0;

extern "C" void OnInterrupt(int) { interruptRequested = 1; }

}  // namespace

int main(int argc, char** argv)
{
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    // The run's waits process "messages" here: the only one is an interrupt.
    Platform().processMessages = [] {
        if (interruptRequested) Platform().abortRequested = true;
    };

    CliTerminal terminal;
    terminal.live = TORVIK_ISATTY(1) != 0;
    const char* term = std::getenv("TERM");
    terminal.colour = terminal.live && std::getenv("NO_COLOR") == nullptr &&
                      !(term != nullptr && std::string(term) == "dumb");

    const std::vector<std::string> args(argv + 1, argv + argc);
    return RunLoaderCli(args, std::cout, std::cerr, terminal);
}
