#pragma once
// The knobs of the simulated reader and card.
//
// Written as the value of a "sim:" device: key=value pairs separated by
// commas, for example
//     sim:card=in,remove=1500,insert=1500,window=34000-34700
// "sim" alone (or an empty text) gives the defaults. Keys:
//
//   port=N           COM port number the simulated reader answers on (default 1;
//                    used by SimulatorOpener, ignored for "sim:" devices, which
//                    take the number of the port they were named for).
//   card=in|out      whether a card is in the slot at start (default in).
//   remove=MS        remove the card MS ms after the first modem-status read
//                    that saw it in the slot; -1 = never (default).
//   insert=MS        insert the card MS ms after the first modem-status read
//                    that saw the slot empty (after any scripted removal);
//                    -1 = never (default).
//   setup=XX         start with the reader already set up, as if "2A 42 XX"
//                    and "2A 43" had been accepted (XX = setting byte in hex:
//                    bit 7 SmartMouse, bits 0-1 clock code); default: not set
//                    up, the setup protocol must be run first.
//   turnaround=US    microseconds between the last byte of a frame and the
//                    first byte of its answer (default 100).
//   breakjunk=N      bytes (0xA5) the reader emits while a break is held,
//                    starting just after the 1.1 s mark (default 0).
//   atr=HEX|none     the card's answer-to-reset as hex digits ("3B544C54...",
//                    blanks allowed), or none for a card that does not
//                    announce itself (default 3B 54 4C 54 52 56 4B 01).
//   window=LO-HI     loader speed window in baud, inclusive, at whatever
//                    clock the reader makes: a card whose loader does not
//                    follow the clock. Default: the window follows the clock,
//                    34000-34700 at 3.58 MHz, 34950-35650 at 3.68, 57000-57900
//                    at 6.00.
//   silent=0|1       the reader answers nothing at all, not even the echo.
//   noecho=0|1       the reader does not echo; answers still come.
//   ackloss=P        probability (0..1) that a block write's acknowledgement is
//                    lost (the block is stored).
//   ackwrong=P       probability that a block write is acknowledged with
//                    FF 00 C1 instead of FF 00 C0 (the block is stored).
//   readcorrupt=P    probability that one data byte of a read answer arrives
//                    with a bit flipped.
//   readflip=ADDR:PATTERN  the read answers of the block that holds card
//                    byte ADDR, one after another, carry that byte with bit 0
//                    flipped where PATTERN (up to 64 of 0 and 1) has a 1; the
//                    answers after the pattern come clean.
//   lose_ack_block=ADDR:N  the write of the block at ADDR (hex with 0x, or
//                    decimal) gets no acknowledgement the next N times (the
//                    block is stored; the count in the options goes down).
//   badcell=ADDR     the card byte at ADDR always stores a wrong value.
//   noise=P          each byte on the line (either direction) has one bit
//                    flipped with probability P.
//   lostbyte=P       each byte on its way to the host (echo or answer) is
//                    lost with probability P: the host's UART never frames
//                    it, so an echo comes back one byte short.
//   extrabyte=P      with probability P the host's UART frames one byte more
//                    (a random value, a glitch on the line) just before a
//                    byte on its way to it, so what follows comes one
//                    position late.
//   vanish=MS        the port disappears MS ms after the first open: every
//                    call on an open handle fails and opens fail; -1 = never.
//   seed=N           seed of the pseudo-random faults (default 1, so runs are
//                    repeatable).
//   openlines=0|1    every open of the port raises RTS and DTR until the
//                    first line setting, as a serial driver does when it
//                    opens a line; the RTS rise resets the card like any other,
//                    and an open waits until earlier output has left the line
//                    (default 0: an open moves no line).
//   latency=MS       a USB adapter's latency timer: received bytes reach the
//                    host when the adapter's timer, firing every MS ms, fires
//                    next, or when 62 bytes have gathered (default 0: at
//                    once).
//   follow=0|1       a simulated person follows the prompts: when the program
//                    waits at the slot (the port open at 9600 8N1 and nothing
//                    done on the line for 1.5 s), takes out a card that has
//                    been in since the start or has been reset since it was
//                    put in, or puts a new card into an empty slot. Default 1
//                    unless card=, remove= or insert= script the slot.
//   memory=FILE      the card's memory: loaded from FILE at start (a blank
//                    card when FILE does not exist; its folder must), written
//                    back when the simulated reader is finally closed (at
//                    the end of the program; after each client for the
//                    network server). FILE holds 0x40000 bytes; Parse refuses
//                    one that cannot be read or has another size. FILE cannot
//                    contain a comma.
//
// Varying what a program is not promised, so that it comes to rely on none
// of it:
//   cardnoise=P      the card misreads each byte it takes (one bit flipped)
//                    with probability P, while the echo shows the byte as the
//                    line carried it (default 0).
//   answerbytes=fixed|random
//                    the read answer's bytes around the data (answer bytes 0-4
//                    and 21): FE 13 and the address, then AA (fixed, the
//                    default), or new random bytes in every answer.
//   setupbytes=fixed|random
//                    the reader's replies that are not examined: the first two
//                    answer bytes to "2A 41" (01 00), the answer to "2A 43"
//                    (06), the break junk (A5): as given (fixed, the default)
//                    or new random bytes every time.
//
// Answer timing, in milliseconds, for putting the program's time-outs to the
// test. A delay counts from the end of what the answer replies to (the last
// byte of the command or frame, the end of the break, the release of RTS) to
// the start of the answer's first byte; -1 leaves the answer at `turnaround`.
//   breakanswer=MS   the 0x06 that follows a setup break (default 50).
//   answer41=MS, answer42=MS, answer43=MS
//                    the reader's answer to "2A 41", "2A 42 xx", "2A 43"
//                    (default -1).
//   atrdelay=MS      the answer-to-reset after the release (default 20).
//   atrgap=MS        pause between the bytes of the answer-to-reset
//                    (default 0: back to back).
//   ackdelay=MS      the block write acknowledgement (default -1).
//   readdelay=MS     the block read answer (default -1).
//   split=N:MS       every answer longer than N bytes (the break junk and the
//                    answer-to-reset included) stops after its first N bytes
//                    for MS ms before the rest follows (default 0:0, whole).
//   ack=HEX          the bytes the loader acknowledges a block write with
//                    (default FF 00 C0).
//
// Each key may be given once.

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct SimOptions {
    uint32_t port = 1;
    bool cardIn = true;
    int64_t removeMs = -1;
    int64_t insertMs = -1;
    int setupByte = -1;  // -1: not set up at start
    int64_t turnaroundMicros = 100;
    int breakJunk = 0;
    std::vector<uint8_t> atr = DefaultAtr();  // empty: no answer-to-reset
    uint32_t windowLow = 0;                   // 0: by the reader's clock
    uint32_t windowHigh = 0;
    bool silent = false;
    bool noEcho = false;
    double ackLoss = 0.0;
    double ackWrong = 0.0;
    double readCorrupt = 0.0;
    int64_t readFlipAddress = -1;  // -1: none
    std::string readFlipPattern;   // '1': that answer garbled
    int64_t loseAckBlock = -1;  // address; -1: none
    int loseAckCount = 0;
    int64_t badCell = -1;  // address; -1: none
    double noise = 0.0;
    double lostByte = 0.0;
    double extraByte = 0.0;
    int64_t vanishMs = -1;
    uint64_t seed = 1;
    bool openLines = false;
    int64_t latencyMs = 0;
    bool followPrompts = false;  // Parse: true unless the slot is scripted
    int64_t breakAnswerMs = 50;
    int64_t answer41Ms = -1;  // -1: turnaroundMicros
    int64_t answer42Ms = -1;
    int64_t answer43Ms = -1;
    int64_t atrDelayMs = 20;
    int64_t atrGapMs = 0;
    int64_t ackDelayMs = -1;
    int64_t readDelayMs = -1;
    int splitAfter = 0;  // 0: answers go out whole
    int64_t splitPauseMs = 0;
    std::vector<uint8_t> ackBytes = {0xFF, 0x00, 0xC0};
    double cardNoise = 0.0;
    bool randomAnswerBytes = false;
    bool randomSetupBytes = false;
    std::string memoryFile;  // empty: the card starts blank and is not kept

    // The card's answer-to-reset unless atr= says otherwise.
    static std::vector<uint8_t> DefaultAtr() { return {0x3B, 0x54, 0x4C, 0x54, 0x52, 0x56, 0x4B, 0x01}; }

    // Parses the value of a "sim" or "sim:..." device (the "sim:" prefix is
    // optional). Throws std::invalid_argument naming the key for an unknown
    // key, a bad value, a key given twice, or a memory file that cannot
    // serve.
    static SimOptions Parse(const std::string& text);
};

// The keys above, one per line with their meaning and default, for a
// program's --help.
std::string SimOptionsHelp();

}  // namespace sim
