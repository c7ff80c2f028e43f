#pragma once
// The command line of torvik-loader (see CliUsage() and
// docs/command-line-and-network-readers.md; OPTIONS include --clock MHZ):
//
//   torvik-loader program [OPTIONS] [--verify=each | --no-verify] [--truncate] [--repeat] [--count N]
//                         [--calibrate=each|once] [--speed BAUD] IMAGE
//   torvik-loader read    [OPTIONS] [--length N] OUT
//   torvik-loader verify  [OPTIONS] IMAGE
//   torvik-loader check   [OPTIONS]
//   torvik-loader ports [--json]
//   torvik-loader help [COMMAND] | --help | --version

#include <cstdint>
#include <string>
#include <vector>

#include "programming/ProgramWindow.h"

struct CliOptions {
    enum class Action { Program, Read, Verify, Check, Ports, Help, Version };
    Action action = Action::Help;
    // The reader's port number, as the window's port list (1 for Com1).
    uint32_t port = 1;
    // program, check: every port given ("-p 1,2,3,4", "-p 1-4"), each a
    // station of a line of readers; `port` is the first. One port for the
    // other commands.
    std::vector<uint32_t> ports{1};
    // A device to use as that port instead of the one the port number
    // resolves to: a device path, "sim[:OPTIONS]" or "rfc2217://HOST:PORT".
    std::string device;
    // The card clock the reader is set to, in MHz: "3.58" (the default, as
    // the window), "3.68" or "6.00" (--clock).
    std::string clock = "3.58";
    // program: how the card is verified. AfterWriting (the default,
    // --verify=pass): every block written, then the read pass; EachBlock
    // (--verify=each): the window's "Verify programming"; Sampled
    // (--no-verify): the sampled read-back alone.
    Verification verify = Verification::AfterWriting;
    // program: the image file ("-" for standard input); verify: the image to
    // compare with; read: the file to write.
    std::string image;
    // program: an image longer than the card is cut to the card's size
    // instead of refused.
    bool truncate = false;
    // program: card after card until interrupted.
    bool repeat = false;
    // program: each station ends after this many cards (--count, which
    // implies --repeat); 0: no end.
    int32_t count = 0;
    // program --repeat: only a station's first card is calibrated, the later
    // ones are programmed at its speed (--calibrate=once).
    bool calibrateOnce = false;
    // program: the loader's speed in baud, instead of calibrating; 0 to
    // calibrate.
    int32_t speed = 0;
    // read: the number of bytes to read from address 0 (the whole card
    // unless given).
    int32_t length = 0x40000;
    bool json = false;
    bool quiet = false;
    bool verbose = false;
    // A file that receives the line traffic of the run; empty for none.
    std::string trace;
    // Help: the text to print (the command's own help after "CMD --help").
    std::string helpText;
};

struct CliParse {
    CliOptions options;
    // Empty when the arguments are good; otherwise one line saying what is
    // wrong.
    std::string error;
    // Known even when the arguments are bad, for the JSON result of a usage
    // error: the command named (empty when none), and whether --json was
    // among the options.
    std::string command;
    bool json = false;
};

// Parses the arguments after the program name. An option given twice, an
// unknown option or command, a missing or extra file name and a bad number
// are errors. "help COMMAND" is that command's --help.
CliParse ParseCliArguments(const std::vector<std::string>& args);

// The --help text of the whole program.
std::string CliUsage();

// The lowest and highest speed --speed takes, in baud.
constexpr int32_t kLowestFixedSpeed = 1200;
constexpr int32_t kHighestFixedSpeed = 230400;
// The most cards --count takes.
constexpr int32_t kMostCards = 1000000;
