#pragma once
// The device faults that fault tests run whole Program runs against, with the
// outcome each must end in, with and without "Verify programming". Shared by
// the core fault matrix (which also measures the table of
// docs/reliability.md) and the window's version of it (which also checks the
// controls).

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "programming/ProgramData.h"
#include "reader/StatusMessages.h"
#include "simulator/Simulator.h"
#include "support/FaultyPorts.h"

namespace fault_table {

// A run that has not ended after this much virtual time counts as a hang.
constexpr int64_t kHangLimitMicros = 20LL * 60 * 1'000'000;
// Clock advance per reading: keeps the busy waits short in real time.
constexpr int64_t kPollStepMicros = 50;

enum class Card { Holds, Blank, Part, Any };

inline const char* CardName(Card c)
{
    switch (c) {
    case Card::Holds: return "whole image";
    case Card::Blank: return "blank";
    case Card::Part: return "partly written";
    case Card::Any: return "any";
    }
    return "?";
}

// What a run with one setting of "Verify programming" must end in: one of
// the status texts (red, or green for success) and the card's state. The
// expectation with verify holds for both ways of verifying: the window's
// (every block after its write, then the read pass) and torvik-loader's (the
// read pass after writing).
struct Expect {
    std::vector<std::string> texts;
    Card card;
};

// A run in progress, as the message hook sees it.
struct Live {
    sim::SimulatedReader& reader;
    std::function<std::string()> statusText;
    bool done = false;  // for actions that happen once
};

struct Fault {
    std::string name;
    std::string options;  // simulator knobs; "card=out,insert=300" unless card= is given
    std::function<void(FaultyOpener&)> arrange;
    std::function<void(Live&)> during;  // at every message processing
    Expect verifyOn;
    Expect verifyOff;
    int imageBytes = 1000;
    int seeds = 1;  // runs with seed=1..seeds
    // With verify: at most this many runs may end in failure although the
    // card holds the image (negative: not counted against the row).
    int maxFalseFailures = -1;
};

inline std::string SimulatorOptions(const Fault& fault, int seed)
{
    std::string options = fault.options;
    if (options.find("card=") == std::string::npos)
        options = "card=out,insert=300" + (options.empty() ? "" : "," + options);
    return options + ",seed=" + std::to_string(seed);
}

// `bytes` pseudo-random bytes, zeros after them.
inline std::vector<uint8_t> MakeImage(int bytes, uint32_t seed)
{
    std::vector<uint8_t> image(kCardImageSize, 0);
    std::mt19937 random(seed);
    for (int i = 0; i < bytes; ++i) image[static_cast<size_t>(i)] = static_cast<uint8_t>(random());
    return image;
}

// The card memory against the first `length` bytes of the image.
inline Card CardStateOf(const std::vector<uint8_t>& memory, const std::vector<uint8_t>& image, int32_t length)
{
    if (std::equal(image.begin(), image.begin() + length, memory.begin())) return Card::Holds;
    if (std::all_of(memory.begin(), memory.end(), [](uint8_t b) { return b == 0xFF; })) return Card::Blank;
    return Card::Part;
}

// Runs `action` once, when the first block write progress of `percent` or
// more is shown ("Programming[ and verifying] p%").
inline std::function<void(Live&)> OnceProgrammed(int percent, std::function<void(sim::SimulatedReader&)> action)
{
    return [percent, action](Live& live) {
        if (live.done) return;
        const std::string text = live.statusText();
        if (text.rfind("Programming ", 0) != 0) return;
        const size_t digits = text.find_last_of(' ') + 1;
        if (std::stoi(text.substr(digits)) < percent) return;
        live.done = true;
        action(live.reader);
    };
}

// The reader answers with 0x15 where `index` of the reply after `after` is.
inline FaultyOpener::ReplyFault WrongByte(std::vector<uint8_t> after, size_t index)
{
    return {std::move(after), index, 0x15};
}

inline std::vector<Fault> Faults()
{
    namespace t = status_text;
    const std::vector<std::string> setupFailed = {t::ErrorSetting("Phoenix")};
    const std::vector<std::string> programmed = {t::kCardProgrammed};
    const std::vector<std::string> notProgrammed = {t::kErrorProgramming};
    const std::vector<std::string> anyEnd = {t::kCardProgrammed,    t::kErrorProgramming, t::kWrongAtr,
                                             t::ErrorSetting("Phoenix"), t::kInsertCard, t::kRemoveCard};
    const Expect good{programmed, Card::Holds};
    return {
        {"none (a good run)", "", {}, {}, good, good},
        {"silent reader", "silent=1", {}, {}, {setupFailed, Card::Blank}, {setupFailed, Card::Blank}},
        {"reader does not echo", "noecho=1", {}, {}, {setupFailed, Card::Blank}, {setupFailed, Card::Blank}},
        {"wrong answer to the attention break", "",
         [](FaultyOpener& f) { f.replyFaults = {WrongByte({}, 0)}; }, {},
         {setupFailed, Card::Blank}, {setupFailed, Card::Blank}},
        {"wrong answer to \"2A 41\"", "",
         [](FaultyOpener& f) { f.replyFaults = {WrongByte({0x2A, 0x41}, 5)}; }, {},
         {setupFailed, Card::Blank}, {setupFailed, Card::Blank}},
        {"wrong answer to \"2A 42 01\"", "",
         [](FaultyOpener& f) { f.replyFaults = {WrongByte({0x2A, 0x42}, 3)}; }, {},
         {setupFailed, Card::Blank}, {setupFailed, Card::Blank}},
        {"card never removed", "card=in", {}, {},
         {{t::kRemoveCard}, Card::Blank}, {{t::kRemoveCard}, Card::Blank}},
        {"card never inserted", "card=out", {}, {},
         {{t::kInsertCard}, Card::Blank}, {{t::kInsertCard}, Card::Blank}},
        {"wrong answer-to-reset (3B 54 4C 55 AA)", "atr=3B544C55AA", {}, {},
         {{t::kWrongAtr}, Card::Blank}, {{t::kWrongAtr}, Card::Blank}},
        {"no answer-to-reset", "atr=none", {}, {},
         {{t::kWrongAtr}, Card::Blank}, {{t::kWrongAtr}, Card::Blank}},
        {"no calibration trial passes (window 36000-37000)", "window=36000-37000", {}, {},
         {notProgrammed, Card::Blank}, {notProgrammed, Card::Blank}},
        {"narrow speed window at the low edge (33600)", "window=33600-33600", {}, {}, good, good},
        {"narrow speed window at the high edge (35600)", "window=35600-35600", {}, {}, good, good},
        {"1 % of acknowledgements lost", "ackloss=0.01", {}, {}, good, good},
        {"10 % of acknowledgements lost", "ackloss=0.1", {}, {}, good, good},
        {"one block loses its acknowledgement ten times", "lose_ack_block=0x20:10", {}, {},
         {notProgrammed, Card::Part}, {notProgrammed, Card::Part}},
        {"5 % of read answers corrupted", "readcorrupt=0.05", {}, {}, good, good},
        {"every read answer corrupted", "readcorrupt=1", {}, {},
         {notProgrammed, Card::Part}, {notProgrammed, Card::Part}},
        // Without verify only every 31st block is read back: the bad cell's
        // block is not among them.
        {"one cell never stores correctly (0x105)", "badcell=0x105", {}, {},
         {notProgrammed, Card::Part}, {programmed, Card::Part}},
        // The echo of the write shows where it went: the block it landed on is
        // read back and written again, with verify or without.
        {"block write stored at a wrong address once (0x300 at 0x100)", "",
         [](FaultyOpener& f) { f.misdirects = {{0x300, 0x100, 1, 1}}; }, {}, good, good},
        {"block write stored at a later block once (0x100 at 0x300)", "",
         [](FaultyOpener& f) { f.misdirects = {{0x100, 0x300, 1, 1}}; }, {}, good, good},
        {"block write stored beyond the image once (0x100 at 0x2000)", "",
         [](FaultyOpener& f) { f.misdirects = {{0x100, 0x2000, 1, 1}}; }, {}, good, good},
        // Both read-backs of the suspect write read 0x2000, which holds the
        // block's bytes: their echoes give them away.
        {"read frame answered from a block with the same bytes (0x100's write and two reads at 0x2000)", "",
         [](FaultyOpener& f) {
             f.misdirects = {{0x100, 0x2000, 1, 1}, FaultyOpener::ReadMisdirect(0x100, 0x2000, 1, 2)};
         },
         {}, good, good},
        {"card pulled out at 30 %", "", {}, OnceProgrammed(30, [](sim::SimulatedReader& r) { r.RemoveCard(); }),
         {notProgrammed, Card::Part}, {notProgrammed, Card::Part}},
        {"port vanishes at 30 %", "", {}, OnceProgrammed(30, [](sim::SimulatedReader& r) { r.Vanish(); }),
         {notProgrammed, Card::Part}, {notProgrammed, Card::Part}},
        {"port vanishes during the attention break", "vanish=1000", {}, {},
         {setupFailed, Card::Blank}, {setupFailed, Card::Blank}},
        {"port gone when the card wait opens it", "", [](FaultyOpener& f) { f.refuseOpensFrom = 2; }, {},
         {{t::kCouldNotOpenPort}, Card::Blank}, {{t::kCouldNotOpenPort}, Card::Blank}},
        {"port vanishes during speed calibration", "", {},
         [](Live& live) {
             if (!live.done && live.statusText() == t::Optimizing(5)) {
                 live.done = true;
                 live.reader.Vanish();
             }
         },
         {notProgrammed, Card::Blank}, {notProgrammed, Card::Blank}},
        {"line noise: 0.03 % of bytes with a bit flipped", "noise=0.0003", {}, {},
         {anyEnd, Card::Any}, {anyEnd, Card::Any}, 65536, 4, 0},
        {"line noise: 0.1 % of bytes with a bit flipped", "noise=0.001", {}, {},
         {anyEnd, Card::Any}, {anyEnd, Card::Any}, 4096, 6, 0},
        {"line noise: 1 % of bytes with a bit flipped", "noise=0.01", {}, {},
         {anyEnd, Card::Any}, {anyEnd, Card::Any}, 4096, 10, 1},
        // The card misreads bytes behind a clean echo: a misread address bit
        // stores a write on another block, which only the read pass finds.
        // Without verify such runs end in success with the card damaged.
        {"card misreads: 0.03 % of the bytes it takes", "cardnoise=0.0003", {}, {},
         {anyEnd, Card::Any}, {anyEnd, Card::Any}, 65536, 4, 0},
        {"card misreads: 0.1 % of the bytes it takes", "cardnoise=0.001", {}, {},
         {anyEnd, Card::Any}, {anyEnd, Card::Any}, 16384, 6, 0},
        {"card misreads: 1 % of the bytes it takes", "cardnoise=0.01", {}, {},
         {anyEnd, Card::Any}, {anyEnd, Card::Any}, 4096, 10, 1},
        // Bytes lost or gained on the way back: echoes come back short or
        // shifted, and the address they carry cannot be read.
        {"short echoes: 0.1 % of the bytes coming back lost", "lostbyte=0.001", {}, {},
         {anyEnd, Card::Any}, {anyEnd, Card::Any}, 4096, 6, 0},
        {"shifted echoes: a byte more before 0.1 % of the bytes coming back", "extrabyte=0.001", {}, {},
         {anyEnd, Card::Any}, {anyEnd, Card::Any}, 4096, 6, 0},
        // Once an echo in its place returns, the blocks one address bit from
        // the write are read back: block 0x10 is found and written again.
        {"block write stored at an earlier block (0x30 at 0x10), its echo 1 byte short", "",
         [](FaultyOpener& f) { f.misdirects = {FaultyOpener::ShortEcho(0x30, 0x10, 1)}; }, {}, good, good},
        {"block write stored at an earlier block (0x30 at 0x10), its echo 4 bytes short", "",
         [](FaultyOpener& f) { f.misdirects = {FaultyOpener::ShortEcho(0x30, 0x10, 4)}; }, {}, good, good},
        // The same across the highest address bit of the card (bit 17).
        {"block write stored at an earlier block (0x20030 at 0x30), its echo 1 byte short", "",
         [](FaultyOpener& f) { f.misdirects = {FaultyOpener::ShortEcho(0x20030, 0x30, 1)}; }, {}, good, good,
         0x20040},
        // The echo is clean: only the read pass finds block 0x100.
        {"block write taken by the card alone for an earlier block (0x300 at 0x100)", "",
         [](FaultyOpener& f) { f.misdirects = {FaultyOpener::CardMisread(0x300, 0x100)}; }, {}, good,
         {programmed, Card::Part}},
    };
}

}  // namespace fault_table
