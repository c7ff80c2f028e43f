// rfc2217-sim-server: the simulated reader served over the network as an
// RFC 2217 serial port, so that the programs can be run against a reader
// "on another machine":
//
//   rfc2217-sim-server [--listen HOST:PORT] [--sim OPTIONS]
//   rfc2217-sim-server --help | --version
//   TORVIK_COM1=rfc2217://HOST:PORT torvik-loader program --port 1 IMAGE
//
// --listen defaults to 127.0.0.1:0 (a free port); --sim takes the simulated
// reader's options (the text after "sim:", see simulator/SimOptions.h). One
// client at a time; the reader, its card and its state live as long as the
// server, across connections. With memory=FILE the card's memory is written
// to FILE after every connection, so the next client (or anyone looking at
// FILE) finds the card as the last one left it. The first line on stdout
// names the address; each connection is logged on stderr when it opens and
// when it ends. SIGTERM or SIGINT (Ctrl-C) ends the connection in hand,
// writes the card to FILE and stops the server with status 0 within a
// fraction of a second.

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

#include "Rfc2217Session.h"
#include "platform/Clock.h"
#include "platform/TcpSocket.h"
#include "simulator/Simulator.h"

#ifndef TORVIK_VERSION
#define TORVIK_VERSION "unknown"
#endif

namespace {

// How long the server waits for a client before it looks whether it was
// asked to stop.
constexpr int32_t kStopCheckMs = 200;

volatile std::sig_atomic_t stopSignal = 0;

extern "C" void OnStop(int signal) { stopSignal = signal; }

const char kUsage[] = "usage: rfc2217-sim-server [--listen HOST:PORT] [--sim OPTIONS]\n"
                      "       rfc2217-sim-server --help | --version\n";

int Usage(const std::string& problem)
{
    std::cerr << "rfc2217-sim-server: " << problem << "\n" << kUsage;
    return 2;
}

int Help()
{
    std::cout << kUsage
              << "\nServes the simulated card reader as an RFC 2217 serial port, one client at a\n"
                 "time; the reader and its card live as long as the server (with memory=FILE the\n"
                 "card is also written to FILE after every client, and when SIGTERM or Ctrl-C\n"
                 "stops the server). The first line names the address (rfc2217://HOST:PORT);\n"
                 "connections are logged on stderr.\n\n"
                 "  --listen HOST:PORT  address to listen on (127.0.0.1 and a free port)\n"
                 "  --sim OPTIONS       the simulated reader's options, key=value separated by commas:\n\n"
              << sim::SimOptionsHelp();
    return 0;
}

// "2026-12-09 03:14:15 " in local time.
std::string Stamp()
{
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S ", std::localtime(&now));
    return text;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string host = "127.0.0.1";
    uint16_t port = 0;
    std::string simText;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--listen" || arg == "--sim") && i + 1 >= argc) return Usage(arg + " needs a value");
        if (arg == "--listen") {
            const std::string value = argv[++i];
            const auto colon = value.rfind(':');
            if (colon == std::string::npos || colon == 0) return Usage("--listen takes HOST:PORT");
            host = value.substr(0, colon);
            const std::string digits = value.substr(colon + 1);
            if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos ||
                std::stoul(digits) > 65535)
                return Usage("bad port in --listen");
            port = static_cast<uint16_t>(std::stoul(digits));
        } else if (arg == "--sim") {
            simText = argv[++i];
        } else if (arg == "--help" || arg == "-h") {
            return Help();
        } else if (arg == "--version" || arg == "-V") {
            std::cout << "rfc2217-sim-server " << TORVIK_VERSION << '\n';
            return 0;
        } else {
            return Usage("unknown argument " + arg);
        }
    }

    // The reader lives on the steady clock, for as long as the server.
    SteadyClock clock;
    std::shared_ptr<sim::SimulatedReader> reader;
    try {
        reader = std::make_shared<sim::SimulatedReader>(clock, sim::SimOptions::Parse(simText));
    } catch (const std::exception& e) {
        return Usage(std::string("bad --sim options: ") + e.what());
    }
    reader->SetRecording(false);
    reader->SetNotes(&std::cerr);

    std::unique_ptr<TcpListener> listener = TcpListener::Listen(host, port);
    if (!listener) {
        std::cerr << "rfc2217-sim-server: cannot listen on " << host << ":" << port << "\n";
        return 1;
    }
    std::cout << "Serving the simulated reader on rfc2217://" << host << ":" << listener->Port() << std::endl;

    // Writes the card down for whoever comes next, or looks at FILE.
    const auto saveMemory = [&reader] {
        std::string error;
        if (!reader->SaveMemory(error)) std::cerr << Stamp() << "card memory not saved: " << error << std::endl;
    };
    std::signal(SIGINT, OnStop);
    std::signal(SIGTERM, OnStop);
    int connection = 0;
    while (stopSignal == 0) {
        std::unique_ptr<TcpSocket> client = listener->Accept(kStopCheckMs);
        if (!client) continue;
        ++connection;
        std::cerr << Stamp() << "connection " << connection << " opened" << std::endl;
        // A vanished reader cannot be opened: the client sees its connection
        // close at once, as a port that cannot be opened.
        std::unique_ptr<CommPort> handle = reader->OpenHandle();
        if (!handle) {
            std::cerr << Stamp() << "connection " << connection << " closed: the reader has vanished" << std::endl;
            continue;
        }
        std::string ending = "closed";
        {
            Rfc2217Session session(*client, *handle);
            if (session.Start()) {
                while (stopSignal == 0 && session.Turn(1)) {
                }
                if (stopSignal != 0) ending = "closed: the server is stopping";
            } else {
                ending = "closed during the Telnet negotiation";
            }
        }
        // The port closes as a driver's does (after the output has left the
        // line), then the card is written down.
        handle.reset();
        saveMemory();
        std::cerr << Stamp() << "connection " << connection << " " << ending << std::endl;
    }
    // A card the last client left is written already; this covers a server
    // stopped before any client came, and makes FILE exist either way.
    saveMemory();
    std::cerr << Stamp() << "stopped by " << (stopSignal == SIGINT ? "SIGINT" : "SIGTERM") << std::endl;
    return 0;
}
