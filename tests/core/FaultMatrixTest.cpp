// Every device fault the simulated reader and card can show, each with and
// without "Verify programming", through the whole Program sequence on the
// virtual clock. Each run must end in the message of the operation that met
// the fault, in its colour, with the port closed and the controls enabled
// again; the card memory is compared with the image afterwards. In every run
// with verify, "Card successfully programmed." may appear only when the card
// holds the whole image. No run may throw, and none may run past its time
// limit (a hang).
//
// With TORVIK_RELIABILITY_DIR set, the measured outcomes are written there as
// a markdown table (fault-matrix.md) for docs/reliability.md.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "programming/ProgramData.h"
#include "reader/StatusMessages.h"
#include "serial/Scom.h"
#include "simulator/Simulator.h"
#include "support/FaultyPorts.h"
#include "support/ProgramSequence.h"
#include "support/RecordingWindow.h"

namespace {

namespace t = status_text;

// A run that has not ended after this much virtual time counts as a hang.
constexpr int64_t kHangLimitMicros = 20LL * 60 * 1'000'000;
// Clock advance per reading: keeps the busy waits short in real time.
constexpr int64_t kPollStepMicros = 50;

enum class Card { Holds, Blank, Part, Any };

const char* CardName(Card c)
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
// the status texts (its colour follows from it) and the card's state.
struct Expect {
    std::vector<std::string> texts;
    Card card;
};

// A run in progress, as the message hook sees it.
struct Live {
    RecordingWindow* window;
    sim::SimulatedReader* reader;
    bool done = false;  // for actions that happen once
};

struct Fault {
    std::string name;
    std::string options;  // simulator knobs (before "card=out,insert=300" unless given)
    std::function<void(FaultyOpener&)> arrange;
    std::function<void(Live&)> during;  // run at every message processing
    Expect verifyOn;
    Expect verifyOff;
    int imageBytes = 1000;
    int seeds = 1;  // runs with seed=1..seeds
};

// One measured run.
struct Measured {
    std::string text;
    TColor color = clBtnFace;
    Card card = Card::Any;
    bool programmed = false;
    bool portClosed = false;
    bool controlsBack = false;
    bool hang = false;
    bool exception = false;
    int passes = 0;
    double virtualSeconds = 0;
};

// Table row: one fault, one verify setting, every seed.
struct Row {
    std::string fault;
    bool verify;
    std::vector<Measured> runs;
};

std::vector<uint8_t> MakeImage(int bytes, uint32_t seed)
{
    std::vector<uint8_t> image(kCardImageSize, 0);
    std::mt19937 random(seed);
    for (int i = 0; i < bytes; ++i) image[static_cast<size_t>(i)] = static_cast<uint8_t>(random());
    return image;
}

Card CardState(const std::vector<uint8_t>& memory, const std::vector<uint8_t>& image, int32_t length)
{
    if (std::equal(image.begin(), image.begin() + length, memory.begin())) return Card::Holds;
    if (std::all_of(memory.begin(), memory.end(), [](uint8_t b) { return b == 0xFF; })) return Card::Blank;
    return Card::Part;
}

// Passes of the final read-back: runs of "Verifying p%" texts, a new one
// starting wherever p falls back.
int VerificationPasses(const std::vector<std::string>& texts)
{
    const std::string prefix = "Verifying ";
    int passes = 0;
    int last = -1;
    for (const std::string& text : texts) {
        if (text.rfind(prefix, 0) != 0) {
            last = -1;
            continue;
        }
        const int percent = std::stoi(text.substr(prefix.size()));
        if (percent < last || last < 0) ++passes;
        last = percent;
    }
    return passes;
}

Measured RunOnce(const Fault& fault, bool verify, int seed)
{
    VirtualClock clock;
    clock.SetPollStep(kPollStepMicros);
    std::string options = fault.options;
    if (options.find("card=") == std::string::npos) options = "card=out,insert=300" + (options.empty() ? "" : "," + options);
    options += ",seed=" + std::to_string(seed);
    sim::SimulatorOpener simulator(clock, sim::SimOptions::Parse(options));
    simulator.Reader().SetRecording(false);
    FaultyOpener faulty(simulator);
    if (fault.arrange) fault.arrange(faulty);

    RecordingWindow window(clock, 0, verify);
    Live live{&window, &simulator.Reader()};
    bool controlsEnabled = true;
    bool controlsSeenEnabled = false;
    bool hang = false;
    const int64_t start = clock.PeekMicros();
    ScopedPlatform platform(clock, faulty, [&] {
        if (controlsEnabled) controlsSeenEnabled = true;
        if (fault.during) fault.during(live);
        if (clock.PeekMicros() - start > kHangLimitMicros) {
            hang = true;
            Platform().abortRequested = true;
        }
    });
    SerialChannel.ResetState();

    std::vector<uint8_t> image = MakeImage(fault.imageBytes, static_cast<uint32_t>(seed));
    std::vector<uint8_t> buffer = image;
    CardImage.Data = buffer.data();
    CardImage.Length = fault.imageBytes;

    const ProgramRunOutcome outcome = RunProgramSequence(window, controlsEnabled);

    Measured m;
    m.text = window.status.Text();
    m.color = window.status.Color();
    m.programmed = outcome.programmed;
    m.portClosed = !SerialChannel.IsOpen && !simulator.Reader().HandleOpen();
    m.controlsBack = controlsEnabled && !controlsSeenEnabled;
    m.hang = hang || outcome.aborted;
    m.exception = !outcome.exception.empty();
    const int32_t padded = (fault.imageBytes + 15) / 16 * 16;
    m.card = CardState(simulator.Reader().Memory(), image, padded);
    const std::vector<std::string> texts = window.status.TextSequence();
    m.passes = VerificationPasses(texts);
    m.virtualSeconds = static_cast<double>(clock.PeekMicros() - start) * 1e-6;
    // "Card successfully programmed." only ever as the last word of a run.
    const auto success = std::find(texts.begin(), texts.end(), t::kCardProgrammed);
    EXPECT_TRUE(success == texts.end() || (outcome.programmed && success + 1 == texts.end()));

    SerialChannel.ResetState();
    CardImage = TCardImage{};
    return m;
}

// Actions during a run.
std::function<void(Live&)> AfterBlocks(size_t blocks, std::function<void(sim::SimulatedReader&)> action)
{
    return [blocks, action](Live& live) {
        if (live.done || live.window->progress.size() < blocks + 1) return;  // +1: the run's own reset to 0
        live.done = true;
        action(*live.reader);
    };
}

FaultyOpener::ReplyFault WrongByte(std::vector<uint8_t> after, size_t index)
{
    return {std::move(after), index, 0x15};
}

std::vector<Fault> Faults()
{
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
        {"block write stored at a wrong address once (0x300 at 0x100)", "",
         [](FaultyOpener& f) { f.misdirects = {{0x300, 0x100, 1, 1}}; }, {},
         good, {programmed, Card::Part}},
        {"card pulled out after 20 blocks", "", {}, AfterBlocks(20, [](sim::SimulatedReader& r) { r.RemoveCard(); }),
         {notProgrammed, Card::Part}, {notProgrammed, Card::Part}},
        {"port vanishes after 20 blocks", "", {}, AfterBlocks(20, [](sim::SimulatedReader& r) { r.Vanish(); }),
         {notProgrammed, Card::Part}, {notProgrammed, Card::Part}},
        {"port vanishes during the attention break", "vanish=1000", {}, {},
         {setupFailed, Card::Blank}, {setupFailed, Card::Blank}},
        {"port gone when the card wait opens it", "", [](FaultyOpener& f) { f.refuseOpensFrom = 2; }, {},
         {{t::kCouldNotOpenPort}, Card::Blank}, {{t::kCouldNotOpenPort}, Card::Blank}},
        {"port vanishes during speed calibration", "", {},
         [](Live& live) {
             if (!live.done && live.window->status.Text() == t::Optimizing(5)) {
                 live.done = true;
                 live.reader->Vanish();
             }
         },
         {notProgrammed, Card::Blank}, {notProgrammed, Card::Blank}},
        {"line noise: 0.1 % of bytes with a bit flipped", "noise=0.001", {}, {},
         {anyEnd, Card::Any}, {anyEnd, Card::Any}, 4096, 6},
        {"line noise: 1 % of bytes with a bit flipped", "noise=0.01", {}, {},
         {anyEnd, Card::Any}, {anyEnd, Card::Any}, 4096, 3},
    };
}

std::string ColorName(TColor c)
{
    if (c == clRed) return "red";
    if (c == clLime) return "green";
    if (c == clYellow) return "yellow";
    if (c == clBtnFace) return "button face";
    return "other";
}

void WriteTable(const std::vector<Row>& rows)
{
    const char* dir = std::getenv("TORVIK_RELIABILITY_DIR");
    if (dir == nullptr || *dir == '\0') return;

    // Figures over every run, as key=value lines.
    int runs = 0, falseSuccesses = 0, unverifiedWrong = 0, exceptions = 0, hangs = 0, unclean = 0;
    for (const Row& row : rows)
        for (const Measured& m : row.runs) {
            ++runs;
            if (m.programmed && m.card != Card::Holds) ++(row.verify ? falseSuccesses : unverifiedWrong);
            if (m.exception) ++exceptions;
            if (m.hang) ++hangs;
            if (!m.portClosed || !m.controlsBack) ++unclean;
        }
    std::ofstream figures(std::string(dir) + "/fault-matrix.txt", std::ios::trunc);
    figures << "faults=" << rows.size() / 2 << "\nruns=" << runs << "\nfalse_successes=" << falseSuccesses
            << "\nunverified_wrong=" << unverifiedWrong << "\nexceptions=" << exceptions << "\nhangs=" << hangs
            << "\nunclean=" << unclean << "\n";

    std::ofstream out(std::string(dir) + "/fault-matrix.md", std::ios::trunc);
    out << "| Fault | Verify | Runs | Status shown (runs) | Card afterwards (runs) | Port closed, controls back | "
           "Verification passes | Virtual time per run |\n";
    out << "|---|---|---|---|---|---|---|---|\n";
    for (const Row& row : rows) {
        std::map<std::string, int> texts;
        std::map<std::string, int> cards;
        int clean = 0;
        int passes = 0;
        double seconds = 0;
        for (const Measured& m : row.runs) {
            ++texts["\"" + m.text + "\" on " + ColorName(m.color)];
            ++cards[CardName(m.card)];
            if (m.portClosed && m.controlsBack) ++clean;
            passes += m.passes;
            seconds += m.virtualSeconds;
        }
        auto join = [&row](const std::map<std::string, int>& counts) {
            std::string s;
            for (const auto& [what, n] : counts) {
                if (!s.empty()) s += "; ";
                s += what;
                if (row.runs.size() > 1) s += " (" + std::to_string(n) + ")";
            }
            return s;
        };
        std::ostringstream time;
        time.precision(1);
        time << std::fixed << seconds / static_cast<double>(row.runs.size()) << " s";
        out << "| " << row.fault << " | " << (row.verify ? "on" : "off") << " | " << row.runs.size() << " | "
            << join(texts) << " | " << join(cards) << " | " << clean << "/" << row.runs.size() << " | "
            << (row.verify ? std::to_string(passes) : "-") << " | " << time.str() << " |\n";
    }
}

TEST(FaultMatrixTest, EveryFaultEndsInATrueMessageWithThePortClosed)
{
    std::vector<Row> rows;
    int runs = 0;
    int falseSuccesses = 0;
    for (const Fault& fault : Faults()) {
        for (bool verify : {true, false}) {
            const Expect& expect = verify ? fault.verifyOn : fault.verifyOff;
            Row row{fault.name, verify, {}};
            for (int seed = 1; seed <= fault.seeds; ++seed) {
                SCOPED_TRACE(fault.name + (verify ? ", verify" : ", no verify") + ", seed " + std::to_string(seed));
                const Measured m = RunOnce(fault, verify, seed);
                ++runs;
                EXPECT_FALSE(m.exception) << "an exception escaped the run";
                EXPECT_FALSE(m.hang) << "the run did not end within its time limit";
                EXPECT_TRUE(std::find(expect.texts.begin(), expect.texts.end(), m.text) != expect.texts.end())
                    << "status: " << m.text;
                EXPECT_EQ(m.color, m.text == t::kCardProgrammed ? clLime : clRed) << m.text;
                EXPECT_EQ(m.programmed, m.text == t::kCardProgrammed);
                EXPECT_TRUE(m.portClosed);
                EXPECT_TRUE(m.controlsBack);
                if (expect.card != Card::Any) {
                    EXPECT_EQ(CardName(m.card), std::string(CardName(expect.card)));
                }
                // The invariant: with verify, success means the whole image.
                if (verify && m.programmed && m.card != Card::Holds) {
                    ++falseSuccesses;
                    ADD_FAILURE() << "reported success, but the card does not hold the image";
                }
                row.runs.push_back(m);
            }
            rows.push_back(std::move(row));
        }
    }
    EXPECT_EQ(falseSuccesses, 0);
    WriteTable(rows);
    RecordProperty("runs", runs);
}

}  // namespace
