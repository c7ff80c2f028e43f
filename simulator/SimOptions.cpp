#include "simulator/SimOptions.h"

#include <cerrno>
#include <cstdlib>
#include <set>
#include <stdexcept>

#include "simulator/Card.h"

namespace sim {

namespace {

std::string Trim(const std::string& s)
{
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

[[noreturn]] void Bad(const std::string& key, const std::string& value, const std::string& expected)
{
    throw std::invalid_argument("simulator option '" + key + "': expected " + expected + ", got '" + value + "'");
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A whole non-negative number: decimal, or hexadecimal after "0x".
bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& out)
{
    std::string digits = text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
        base = 16;
    }
    if (digits.empty()) return false;
    uint64_t n = 0;
    for (char c : digits) {
        const int d = HexDigit(c);
        if (d < 0 || d >= base) return false;
        const uint64_t digit = static_cast<uint64_t>(d);
        if (n > (max - digit) / static_cast<uint64_t>(base)) return false;
        n = n * static_cast<uint64_t>(base) + digit;
    }
    out = n;
    return true;
}

uint64_t Unsigned(const std::string& key, const std::string& value, uint64_t max)
{
    uint64_t n = 0;
    if (!ParseUnsigned(value, max, n)) Bad(key, value, "a number from 0 to " + std::to_string(max));
    return n;
}

// Milliseconds, or -1 for never.
int64_t Delay(const std::string& key, const std::string& value)
{
    if (value == "-1") return -1;
    uint64_t n = 0;
    if (!ParseUnsigned(value, 1'000'000'000, n)) Bad(key, value, "milliseconds (0 or more) or -1 for never");
    return static_cast<int64_t>(n);
}

// Milliseconds, or -1 for the turnaround.
int64_t AnswerDelay(const std::string& key, const std::string& value)
{
    if (value == "-1") return -1;
    uint64_t n = 0;
    if (!ParseUnsigned(value, 1'000'000, n)) Bad(key, value, "milliseconds (0 or more) or -1 for the turnaround");
    return static_cast<int64_t>(n);
}

// fixed or random: true for random.
bool Varied(const std::string& key, const std::string& value)
{
    if (value == "random") return true;
    if (value == "fixed") return false;
    Bad(key, value, "fixed or random");
}

bool Flag(const std::string& key, const std::string& value)
{
    if (value == "1") return true;
    if (value == "0") return false;
    Bad(key, value, "0 or 1");
}

double Probability(const std::string& key, const std::string& value)
{
    if (value.empty() || value.find_first_not_of("0123456789.") != std::string::npos)
        Bad(key, value, "a probability from 0 to 1");
    errno = 0;
    char* end = nullptr;
    const double p = std::strtod(value.c_str(), &end);
    if (errno != 0 || end != value.c_str() + value.size() || !(p >= 0.0 && p <= 1.0))
        Bad(key, value, "a probability from 0 to 1");
    return p;
}

int64_t CardAddress(const std::string& key, const std::string& value)
{
    uint64_t n = 0;
    if (!ParseUnsigned(value, 0x3FFFF, n)) Bad(key, value, "a card address from 0 to 0x3FFFF");
    return static_cast<int64_t>(n);
}

std::vector<uint8_t> HexBytes(const std::string& key, const std::string& value)
{
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : value) {
        if (c == ' ') {
            if (high >= 0) Bad(key, value, "hex digits in pairs, or none");
            continue;
        }
        const int d = HexDigit(c);
        if (d < 0) Bad(key, value, "hex digits in pairs, or none");
        if (high < 0) {
            high = d;
        } else {
            bytes.push_back(static_cast<uint8_t>(high * 16 + d));
            high = -1;
        }
    }
    if (high >= 0 || bytes.empty() || bytes.size() > 255) Bad(key, value, "1 to 255 bytes as hex digit pairs, or none");
    return bytes;
}

}  // namespace

SimOptions SimOptions::Parse(const std::string& text)
{
    std::string rest = Trim(text);
    if (rest == "sim") rest.clear();
    if (rest.rfind("sim:", 0) == 0) rest = rest.substr(4);

    SimOptions o;
    std::set<std::string> given;
    bool slotScripted = false;
    int follow = -1;  // -1: not given
    size_t pos = 0;
    while (pos <= rest.size()) {
        size_t comma = rest.find(',', pos);
        if (comma == std::string::npos) comma = rest.size();
        const std::string item = Trim(rest.substr(pos, comma - pos));
        pos = comma + 1;
        if (item.empty()) continue;

        const size_t eq = item.find('=');
        if (eq == std::string::npos)
            throw std::invalid_argument("simulator option '" + item + "': expected key=value");
        const std::string key = Trim(item.substr(0, eq));
        const std::string value = Trim(item.substr(eq + 1));
        // One value per key: a second one is a typing error, not an update.
        if (!given.insert(key).second)
            throw std::invalid_argument("simulator option '" + key + "': given more than once");

        if (key == "port") {
            o.port = static_cast<uint32_t>(Unsigned(key, value, 0xFFFFFFFFu));
        } else if (key == "card") {
            if (value == "in")
                o.cardIn = true;
            else if (value == "out")
                o.cardIn = false;
            else
                Bad(key, value, "in or out");
        } else if (key == "remove") {
            o.removeMs = Delay(key, value);
        } else if (key == "insert") {
            o.insertMs = Delay(key, value);
        } else if (key == "setup") {
            const std::vector<uint8_t> b = value.size() == 2 ? HexBytes(key, value) : std::vector<uint8_t>{};
            if (b.size() != 1) Bad(key, value, "a setting byte as two hex digits");
            o.setupByte = b[0];
        } else if (key == "turnaround") {
            o.turnaroundMicros = static_cast<int64_t>(Unsigned(key, value, 10'000'000));
        } else if (key == "breakjunk") {
            o.breakJunk = static_cast<int>(Unsigned(key, value, 8192));
        } else if (key == "atr") {
            o.atr = value == "none" ? std::vector<uint8_t>{} : HexBytes(key, value);
        } else if (key == "window") {
            const size_t dash = value.find('-');
            uint64_t lo = 0;
            uint64_t hi = 0;
            if (dash == std::string::npos || !ParseUnsigned(value.substr(0, dash), 10'000'000, lo) ||
                !ParseUnsigned(value.substr(dash + 1), 10'000'000, hi) || lo == 0 || lo > hi)
                Bad(key, value, "LO-HI in baud with 0 < LO <= HI");
            o.windowLow = static_cast<uint32_t>(lo);
            o.windowHigh = static_cast<uint32_t>(hi);
        } else if (key == "silent") {
            o.silent = Flag(key, value);
        } else if (key == "noecho") {
            o.noEcho = Flag(key, value);
        } else if (key == "ackloss") {
            o.ackLoss = Probability(key, value);
        } else if (key == "ackwrong") {
            o.ackWrong = Probability(key, value);
        } else if (key == "readcorrupt") {
            o.readCorrupt = Probability(key, value);
        } else if (key == "noise") {
            o.noise = Probability(key, value);
        } else if (key == "lostbyte") {
            o.lostByte = Probability(key, value);
        } else if (key == "extrabyte") {
            o.extraByte = Probability(key, value);
        } else if (key == "lose_ack_block") {
            const size_t colon = value.find(':');
            if (colon == std::string::npos) Bad(key, value, "ADDR:N");
            o.loseAckBlock = CardAddress(key, value.substr(0, colon));
            o.loseAckCount = static_cast<int>(Unsigned(key, value.substr(colon + 1), 1'000'000));
        } else if (key == "readflip") {
            const size_t colon = value.find(':');
            const std::string pattern = colon == std::string::npos ? "" : value.substr(colon + 1);
            if (pattern.empty() || pattern.size() > 64 || pattern.find_first_not_of("01") != std::string::npos)
                Bad(key, value, "ADDR:PATTERN with a PATTERN of 1 to 64 digits 0 and 1");
            o.readFlipAddress = CardAddress(key, value.substr(0, colon));
            o.readFlipPattern = pattern;
        } else if (key == "badcell") {
            o.badCell = CardAddress(key, value);
        } else if (key == "vanish") {
            o.vanishMs = Delay(key, value);
        } else if (key == "seed") {
            o.seed = Unsigned(key, value, UINT64_MAX);
        } else if (key == "openlines") {
            o.openLines = Flag(key, value);
        } else if (key == "latency") {
            o.latencyMs = static_cast<int64_t>(Unsigned(key, value, 1000));
        } else if (key == "follow") {
            follow = Flag(key, value) ? 1 : 0;
        } else if (key == "breakanswer") {
            o.breakAnswerMs = static_cast<int64_t>(Unsigned(key, value, 1'000'000));
        } else if (key == "answer41") {
            o.answer41Ms = AnswerDelay(key, value);
        } else if (key == "answer42") {
            o.answer42Ms = AnswerDelay(key, value);
        } else if (key == "answer43") {
            o.answer43Ms = AnswerDelay(key, value);
        } else if (key == "atrdelay") {
            o.atrDelayMs = static_cast<int64_t>(Unsigned(key, value, 1'000'000));
        } else if (key == "atrgap") {
            o.atrGapMs = static_cast<int64_t>(Unsigned(key, value, 1'000'000));
        } else if (key == "ackdelay") {
            o.ackDelayMs = AnswerDelay(key, value);
        } else if (key == "readdelay") {
            o.readDelayMs = AnswerDelay(key, value);
        } else if (key == "split") {
            const size_t colon = value.find(':');
            if (colon == std::string::npos) Bad(key, value, "N:MS");
            o.splitAfter = static_cast<int>(Unsigned(key, value.substr(0, colon), 8192));
            o.splitPauseMs = static_cast<int64_t>(Unsigned(key, value.substr(colon + 1), 1'000'000));
        } else if (key == "ack") {
            o.ackBytes = HexBytes(key, value);
        } else if (key == "cardnoise") {
            o.cardNoise = Probability(key, value);
        } else if (key == "answerbytes") {
            o.randomAnswerBytes = Varied(key, value);
        } else if (key == "setupbytes") {
            o.randomSetupBytes = Varied(key, value);
        } else if (key == "memory") {
            if (value.empty()) Bad(key, value, "a file name");
            const std::string problem = MemoryFileProblem(value);
            if (!problem.empty())
                throw std::invalid_argument("simulator option 'memory': " + value + ": " + problem);
            o.memoryFile = value;
        } else {
            throw std::invalid_argument("simulator option '" + key + "': unknown key");
        }
        if (key == "card" || key == "remove" || key == "insert") slotScripted = true;
    }
    o.followPrompts = follow < 0 ? !slotScripted : follow == 1;
    return o;
}

std::string SimOptionsHelp()
{
    return "  card=in|out        a card is in the slot at start (in)\n"
           "  remove=MS          take the card out MS ms after the program first sees it (-1, never)\n"
           "  insert=MS          put a card in MS ms after the program first sees the slot empty (-1, never)\n"
           "  follow=0|1         a person takes the card out and puts it back when the program\n"
           "                     waits at the slot\n"
           "                     (1 unless card=, remove= or insert= is given)\n"
           "  setup=XX           the reader starts set up with setting byte XX (not set up)\n"
           "  window=LO-HI       baud range in which the loader understands frames, at every\n"
           "                     clock (by the clock: 34000-34700 at 3.58 MHz, 34950-35650 at\n"
           "                     3.68, 57000-57900 at 6.00)\n"
           "  atr=HEX|none       the card's answer-to-reset (3B 54 4C 54 52 56 4B 01)\n"
           "  turnaround=US      delay before an answer in microseconds (100)\n"
           "  breakjunk=N        bytes the reader sends while a break is held (0)\n"
           "  silent=1, noecho=1 the reader answers nothing / does not echo\n"
           "  ackloss=P          probability that a block acknowledgement is lost (0)\n"
           "  ackwrong=P         probability that a block is acknowledged wrongly (0)\n"
           "  readcorrupt=P      probability of a flipped bit in a read answer (0)\n"
           "  noise=P            probability of a flipped bit in any byte on the line (0)\n"
           "  lostbyte=P         probability that a byte on its way to the program is lost (0)\n"
           "  extrabyte=P        probability that the program's port takes in a byte more,\n"
           "                     a glitch on the line, before a byte on its way to it (0)\n"
           "  readflip=ADDR:PATTERN  the read answers of the block holding byte ADDR come\n"
           "                     with its bit 0 flipped where PATTERN (0 and 1) has a 1\n"
           "  lose_ack_block=ADDR:N  the block at ADDR gets no acknowledgement N times\n"
           "  badcell=ADDR       the card byte at ADDR never stores correctly\n"
           "  vanish=MS          the port disappears MS ms after it was first opened (-1, never)\n"
           "  seed=N             seed of the random faults (1)\n"
           "  openlines=0|1      every open raises RTS and DTR until the first line setting (0)\n"
           "  latency=MS         an adapter's latency timer on received bytes (0, none)\n"
           "  breakanswer=MS     delay of the 0x06 after a setup break (50)\n"
           "  answer41=MS, answer42=MS, answer43=MS\n"
           "                     delay of the answers to the setup commands (-1, turnaround)\n"
           "  atrdelay=MS        delay of the answer-to-reset after the release (20)\n"
           "  atrgap=MS          pause between the bytes of the answer-to-reset (0)\n"
           "  ackdelay=MS, readdelay=MS\n"
           "                     delay of the block acknowledgement / read answer (-1, turnaround)\n"
           "  split=N:MS         answers longer than N bytes pause MS ms after N bytes (0:0)\n"
           "  ack=HEX            the block write acknowledgement (FF 00 C0)\n"
           "  cardnoise=P        probability that the card misreads a byte it takes, the echo\n"
           "                     showing it as sent (0)\n"
           "  answerbytes=fixed|random\n"
           "                     the read answer's bytes around the data: FE 13, address, AA\n"
           "                     (fixed) or random in every answer\n"
           "  setupbytes=fixed|random\n"
           "                     the reader's unexamined setup replies and break junk: as\n"
           "                     usual (fixed) or random every time\n"
           "  memory=FILE        the card's memory, loaded from FILE (blank when missing) and\n"
           "                     written back at the end (after each client for a server)\n"
           "Each key may be given once.\n";
}

}  // namespace sim
