// Every device fault the simulated reader and card can show, each with
// "Verify programming" (the window's way: every block read back after its
// write, then the read pass), with torvik-loader's verify (the read pass after
// writing) and without verify, through the whole Program sequence on the
// virtual clock. Each run must end in the message of the operation that met
// the fault, in its colour, with the port closed; the card memory is compared
// with the image afterwards. (The window's version of this table,
// tests/app/qt/FaultWindowTest.cpp, checks the controls too.) In every run
// with either verify, "Card successfully programmed." may appear only when
// the card holds the whole image. No run may throw, and none may run past its time
// limit (a hang).
//
// With TORVIK_RELIABILITY_DIR set, the measured outcomes are written there as
// a markdown table (fault-matrix.md) for docs/reliability.md.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "programming/ProgramData.h"
#include "programming/ProgramSequence.h"
#include "reader/StatusMessages.h"
#include "serial/ReaderLink.h"
#include "simulator/Simulator.h"
#include "support/FaultTable.h"
#include "support/FaultyPorts.h"
#include "support/RecordingWindow.h"

namespace {

namespace t = status_text;
using namespace fault_table;

// One measured run.
struct Measured {
    std::string text;
    TColor color = clBtnFace;
    Card card = Card::Any;
    bool programmed = false;
    bool portClosed = false;
    bool hang = false;
    bool exception = false;
    double virtualSeconds = 0;
    // Failure shown although the card holds the image.
    bool FalseFailure() const { return !programmed && card == Card::Holds; }
};

// The ways a run verifies, in the order of the table.
const Verification kModes[] = {Verification::EachBlock, Verification::AfterWriting, Verification::Sampled};

const char* ModeName(Verification mode)
{
    switch (mode) {
    case Verification::EachBlock: return "window";
    case Verification::AfterWriting: return "after writing";
    default: return "off";
    }
}

// Table row: one fault, one way of verifying, every seed.
struct Row {
    std::string fault;
    Verification mode;
    std::vector<Measured> runs;
    bool Verifies() const { return mode != Verification::Sampled; }
};

Measured RunOnce(const Fault& fault, Verification mode, int seed)
{
    VirtualClock clock;
    clock.SetPollStep(kPollStepMicros);
    sim::SimulatorOpener simulator(clock, sim::SimOptions::Parse(SimulatorOptions(fault, seed)));
    simulator.Reader().SetRecording(false);
    FaultyOpener faulty(simulator);
    if (fault.arrange) fault.arrange(faulty);

    RecordingWindow window(clock, 0, mode == Verification::EachBlock);
    window.afterWriting = mode == Verification::AfterWriting;
    Live live{simulator.Reader(), [&window] { return window.status.Text(); }};
    bool hang = false;
    const int64_t start = clock.PeekMicros();
    ReaderLink link(clock, faulty, simulator.Failures());
    TSerialChannel& SerialChannel = link.SerialChannel;
    link.pump.processMessages = [&] {
        if (fault.during) fault.during(live);
        if (clock.PeekMicros() - start > kHangLimitMicros) {
            hang = true;
            link.pump.RequestAbort();
        }
    };
    SerialChannel.ResetState();

    const std::vector<uint8_t> image = MakeImage(fault.imageBytes, static_cast<uint32_t>(seed));
    std::vector<uint8_t> buffer = image;
    TCardImage CardImage;
    CardImage.Data = buffer.data();
    CardImage.Length = fault.imageBytes;

    const ProgramRunOutcome outcome = RunProgramSequence(link, window, CardImage);

    Measured m;
    m.text = window.status.Text();
    m.color = window.status.Color();
    m.programmed = outcome.programmed;
    m.portClosed = !SerialChannel.IsOpen && !simulator.Reader().HandleOpen();
    m.hang = hang || outcome.aborted;
    m.exception = !outcome.error.empty();
    const int32_t padded = (fault.imageBytes + 15) / 16 * 16;
    m.card = CardStateOf(simulator.Reader().Memory(), image, padded);
    const std::vector<std::string> texts = window.status.TextSequence();
    m.virtualSeconds = static_cast<double>(clock.PeekMicros() - start) * 1e-6;
    // "Card successfully programmed." only ever as the last word of a run.
    const auto success = std::find(texts.begin(), texts.end(), t::kCardProgrammed);
    EXPECT_TRUE(success == texts.end() || (outcome.programmed && success + 1 == texts.end()));

    SerialChannel.ResetState();
    return m;
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
    int runs = 0, falseSuccesses = 0, falseFailures = 0, unverifiedWrong = 0, exceptions = 0, hangs = 0, unclean = 0;
    for (const Row& row : rows)
        for (const Measured& m : row.runs) {
            ++runs;
            if (m.programmed && m.card != Card::Holds) ++(row.Verifies() ? falseSuccesses : unverifiedWrong);
            if (row.Verifies() && m.FalseFailure()) ++falseFailures;
            if (m.exception) ++exceptions;
            if (m.hang) ++hangs;
            if (!m.portClosed) ++unclean;
        }
    std::ofstream figures(std::string(dir) + "/fault-matrix.txt", std::ios::trunc);
    figures << "faults=" << rows.size() / std::size(kModes) << "\nruns=" << runs << "\nfalse_successes=" << falseSuccesses
            << "\nfalse_failures=" << falseFailures << "\nunverified_wrong=" << unverifiedWrong << "\nexceptions=" << exceptions << "\nhangs=" << hangs
            << "\nunclean=" << unclean << "\n";

    std::ofstream out(std::string(dir) + "/fault-matrix.md", std::ios::trunc);
    out << "| Fault | Verify | Runs | Status shown (runs) | Card afterwards (runs) | Port closed | "
           "False failures | Virtual time per run |\n";
    out << "|---|---|---|---|---|---|---|---|\n";
    for (const Row& row : rows) {
        std::map<std::string, int> texts;
        std::map<std::string, int> cards;
        int clean = 0;
        int falseFailures = 0;
        double seconds = 0;
        for (const Measured& m : row.runs) {
            ++texts["\"" + m.text + "\" on " + ColorName(m.color)];
            ++cards[CardName(m.card)];
            if (m.portClosed) ++clean;
            if (m.FalseFailure()) ++falseFailures;
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
        out << "| " << row.fault << " | " << ModeName(row.mode) << " | " << row.runs.size() << " | "
            << join(texts) << " | " << join(cards) << " | " << clean << "/" << row.runs.size() << " | "
            << falseFailures << " | " << time.str() << " |\n";
    }

    // The rows of random faults on their own: successes, false successes and
    // false failures per fault and level.
    std::ofstream noise(std::string(dir) + "/fault-matrix-noise.md", std::ios::trunc);
    noise << "| Random fault | Verify | Runs | Success shown | False successes | False failures | "
             "Virtual time per run |\n";
    noise << "|---|---|---|---|---|---|---|\n";
    for (const Row& row : rows) {
        if (row.runs.size() < 2) continue;
        int successes = 0, wrong = 0, falseFailures = 0;
        double seconds = 0;
        for (const Measured& m : row.runs) {
            if (m.programmed) ++successes;
            if (m.programmed && m.card != Card::Holds) ++wrong;
            if (m.FalseFailure()) ++falseFailures;
            seconds += m.virtualSeconds;
        }
        std::ostringstream time;
        time.precision(1);
        time << std::fixed << seconds / static_cast<double>(row.runs.size()) << " s";
        noise << "| " << row.fault << " | " << ModeName(row.mode) << " | " << row.runs.size() << " | " << successes
              << " | " << (row.Verifies() ? std::to_string(wrong) : "-") << " | "
              << falseFailures << " | " << time.str() << " |\n";
    }
}

TEST(FaultMatrixTest, EveryFaultEndsInATrueMessageWithThePortClosed)
{
    std::vector<Row> rows;
    int runs = 0;
    int falseSuccesses = 0;
    for (const Fault& fault : Faults()) {
        for (const Verification mode : kModes) {
            const bool verify = mode != Verification::Sampled;
            const Expect& expect = verify ? fault.verifyOn : fault.verifyOff;
            Row row{fault.name, mode, {}};
            int falseFailures = 0;
            for (int seed = 1; seed <= fault.seeds; ++seed) {
                SCOPED_TRACE(fault.name + ", verify " + ModeName(mode) + ", seed " + std::to_string(seed));
                const Measured m = RunOnce(fault, mode, seed);
                ++runs;
                EXPECT_FALSE(m.exception) << "an exception escaped the run";
                EXPECT_FALSE(m.hang) << "the run did not end within its time limit";
                EXPECT_TRUE(std::find(expect.texts.begin(), expect.texts.end(), m.text) != expect.texts.end())
                    << "status: " << m.text;
                EXPECT_EQ(m.color, m.text == t::kCardProgrammed ? clLime : clRed) << m.text;
                EXPECT_EQ(m.programmed, m.text == t::kCardProgrammed);
                EXPECT_TRUE(m.portClosed);
                if (expect.card != Card::Any) {
                    EXPECT_EQ(CardName(m.card), std::string(CardName(expect.card)));
                }
                // The invariant: with either verify, success means the whole
                // image.
                if (verify && m.programmed && m.card != Card::Holds) {
                    ++falseSuccesses;
                    ADD_FAILURE() << "reported success, but the card does not hold the image";
                }
                if (m.FalseFailure()) ++falseFailures;
                row.runs.push_back(m);
            }
            if (verify && fault.maxFalseFailures >= 0) {
                EXPECT_LE(falseFailures, fault.maxFalseFailures)
                    << fault.name << ": failure shown although the card holds the image";
            }
            rows.push_back(std::move(row));
        }
    }
    EXPECT_EQ(falseSuccesses, 0);
    WriteTable(rows);
    RecordProperty("runs", runs);
}

}  // namespace
