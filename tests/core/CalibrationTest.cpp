// Speed calibration on the simulated card: which trial speeds count, how the
// result follows from the passing ones, the timing rules a trial must meet,
// the status text and the port it leaves open.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "programming/ProgramCard.h"
#include "programming/ProgramData.h"
#include "serial/Scom.h"
#include "simulator/Simulator.h"
#include "support/RecordingWindow.h"

namespace {

const uint8_t kIdentification[16] = {'T', 'O', 'R', 'V', 'I', 'K', 'L', 'O', 'A', 'D', 'E', 'R', 0, 1, 'v', 't'};

class CalibrationTest : public ::testing::Test {
protected:
    CalibrationTest() : window(clock) { SerialChannel.ResetState(); }
    ~CalibrationTest() override
    {
        platform.reset();
        SerialChannel.ResetState();
        ClockSetting = "3.58";
    }

    // A set-up reader with a card; `hook` runs whenever the program processes
    // window messages.
    sim::SimulatedReader& UseSimulator(const std::string& options, std::function<void()> hook = {})
    {
        platform.reset();
        SerialChannel.ResetState();
        opener = std::make_unique<sim::SimulatorOpener>(clock, sim::SimOptions::Parse(options));
        platform.emplace(clock, *opener, std::move(hook));
        return opener->Reader();
    }

    // Makes the card's loader take exactly the speeds in `passing`: at the
    // start of every trial its window is narrowed to the trial speed, or
    // moved out of reach.
    sim::SimulatedReader& UseCardPassingAt(std::set<int32_t> passing, int32_t first,
                                           const std::string& options = "setup=01")
    {
        auto hook = [this, passing, first] {
            const std::string text = window.status.Text();
            const size_t stars = text.size() - std::min(text.size(), std::string("Optimizing ").size());
            if (stars == 0) return;
            const int32_t speed = first + 100 * static_cast<int32_t>(stars - 1);
            const uint32_t w = passing.count(speed) ? static_cast<uint32_t>(speed) : 100u;
            opener->Reader().Options().windowLow = w;
            opener->Reader().Options().windowHigh = w;
        };
        return UseSimulator(options, hook);
    }

    // Baud rates of the identification writes, one per trial that got so far.
    std::vector<uint32_t> IdentificationWriteSpeeds() const
    {
        std::vector<uint32_t> speeds;
        for (const sim::WriteRecord& w : opener->Reader().Writes())
            if (w.bytes.size() == 23 && std::memcmp(w.bytes.data() + 6, kIdentification, 16) == 0)
                speeds.push_back(w.settings.BaudRate);
        return speeds;
    }

    VirtualClock clock;
    RecordingWindow window;
    std::unique_ptr<sim::SimulatorOpener> opener;
    std::optional<ScopedPlatform> platform;
};

TEST_F(CalibrationTest, ResultIsTheMiddleOfTheLowestAndHighestPass)
{
    struct Case {
        const char* what;
        std::set<int32_t> passing;
        int32_t result;
    };
    std::set<int32_t> wide;
    for (int32_t s = 33900; s <= 34800; s += 100) wide.insert(s);
    const std::vector<Case> cases = {
        {"34000 only", {34000}, 34000},
        {"33900 to 34800", wide, 34350},
        {"both ends only", {33600, 35600}, 34600},
        {"first only", {33600}, 33600},
        {"last only", {35600}, 35600},
        {"none", {}, 34600},
        {"two apart", {34100, 34500}, 34300},
    };
    for (const Case& c : cases) {
        window.status.texts.clear();
        UseCardPassingAt(c.passing, 33600);
        EXPECT_EQ(CalibrateBaudRate(window), c.result) << c.what;
    }
}

TEST_F(CalibrationTest, SixMegahertzClockUsesItsOwnRange)
{
    ClockSetting = "6.00";
    UseCardPassingAt({}, 56600, "setup=03");
    EXPECT_EQ(CalibrateBaudRate(window), 57600);

    std::vector<uint32_t> expected;
    for (uint32_t s = 56600; s <= 58600; s += 100) expected.push_back(s);
    EXPECT_EQ(IdentificationWriteSpeeds(), expected);

    UseCardPassingAt({57000, 57100, 57200}, 56600, "setup=03");
    EXPECT_EQ(CalibrateBaudRate(window), 57100);
}

TEST_F(CalibrationTest, EveryTrialRunsAndShowsItsStar)
{
    sim::SimulatedReader& reader = UseSimulator("setup=01");  // default window 34000..34700
    EXPECT_EQ(CalibrateBaudRate(window), 34350);

    std::vector<std::string> expectedTexts;
    for (int i = 1; i <= 21; ++i) expectedTexts.push_back("Optimizing " + std::string(static_cast<size_t>(i), '*'));
    EXPECT_EQ(window.status.TextSequence(), expectedTexts);
    EXPECT_TRUE(window.status.colors.empty()) << "calibration leaves the colour alone";

    std::vector<uint32_t> speeds;
    for (uint32_t s = 33600; s <= 35600; s += 100) speeds.push_back(s);
    EXPECT_EQ(IdentificationWriteSpeeds(), speeds);
    EXPECT_EQ(reader.BlockReads(), 8) << "read back only where the write was understood";

    // Every trial starts the loader at the base settings after a reset.
    int starts = 0;
    for (const sim::WriteRecord& w : reader.Writes())
        if (w.bytes == std::vector<uint8_t>{0x01, 0x02, 0xEA}) {
            ++starts;
            EXPECT_EQ(w.settings.BaudRate, 5728u);
            EXPECT_EQ(w.settings.Parity, kNoParity);
            EXPECT_EQ(w.settings.StopBits, kTwoStopBits);
        }
    EXPECT_EQ(starts, 21);

    // Left open at the working settings of the last trial.
    ASSERT_TRUE(SerialChannel.IsOpen);
    EXPECT_EQ(SerialChannel.LineSettings_.BaudRate, 35600u);
    EXPECT_EQ(SerialChannel.LineSettings_.Parity, kMarkParity);
    EXPECT_EQ(SerialChannel.LineSettings_.StopBits, kTwoStopBits);
    EXPECT_FALSE(SerialChannel.LineSettings_.fParity);
    EXPECT_EQ(std::memcmp(reader.Memory().data(), kIdentification, 16), 0);
}

TEST_F(CalibrationTest, AcknowledgementLaterThan250MsFailsTheTrial)
{
    // The echo is in time but the acknowledgement comes 300 ms after the
    // frame: the card stores the block, yet no trial counts.
    sim::SimulatedReader& reader = UseSimulator("setup=01,turnaround=300000");
    EXPECT_EQ(CalibrateBaudRate(window), 34600);
    EXPECT_EQ(std::memcmp(reader.Memory().data(), kIdentification, 16), 0);
    EXPECT_EQ(reader.BlockReads(), 0) << "a failed write is not read back";
}

TEST_F(CalibrationTest, ReadAnswerLaterThan250MsFailsTheTrial)
{
    // Acknowledgements on time; read answers 300 ms late.
    sim::SimulatedReader* reader = nullptr;
    reader = &UseSimulator("setup=01", [&reader] {
        const auto& writes = reader->Writes();
        const bool readPending = !writes.empty() && writes.back().bytes.size() == 7 && writes.back().bytes[0] == 0xFE;
        reader->Options().turnaroundMicros = readPending ? 300000 : 100;
    });
    EXPECT_EQ(CalibrateBaudRate(window), 34600);
    EXPECT_EQ(reader->BlockReads(), 8) << "the loader did answer, too late";
}

TEST_F(CalibrationTest, WrongAcknowledgementOrReadBackFailsTheTrial)
{
    for (const char* fault : {"ackwrong=1", "readcorrupt=1", "noecho=1", "silent=1"}) {
        window.status.texts.clear();
        UseSimulator(std::string("setup=01,") + fault);
        EXPECT_EQ(CalibrateBaudRate(window), 34600) << fault;
        EXPECT_EQ(window.status.texts.size(), 21u) << fault;
    }
}

// Each wait of a trial just inside and just outside its time, and each count
// and tested byte wrong on its own, against the default card (passing from
// 34000 to 34700: result 34350; no trial passing: 34600).
TEST_F(CalibrationTest, TrialLimitsDecideWhetherItPasses)
{
    struct Case {
        std::string options;
        int32_t result;
    };
    std::vector<Case> cases = {
        // The acknowledgement within 250 ms of the identification write.
        {"ackdelay=230", 34350},
        {"ackdelay=260", 34600},
        // The read answer within 250 ms, all 29 bytes of it.
        {"readdelay=235", 34350},
        {"readdelay=260", 34600},
        {"split=21:200", 34350},
        {"split=21:260", 34600},
        // Each acknowledgement byte; a byte behind it is collected by the
        // read that follows and spoils nothing.
        {"ack=7F00C0", 34600},
        {"ack=FF01C0", 34600},
        {"ack=FF00C1", 34600},
        {"ack=FF00C0FF", 34350},
    };
    // Each byte of the identification block.
    for (int i = 0; i < 16; ++i) cases.push_back({"badcell=" + std::to_string(i), 34600});
    for (const Case& c : cases) {
        UseSimulator("setup=01," + c.options);
        EXPECT_EQ(CalibrateBaudRate(window), c.result) << c.options;
    }
    // The sweep that writes nothing judges a read answer by its echo and its
    // data alone: the bytes around the data are the card's own.
    for (const char* options : {"setup=01", "setup=01,answerbytes=random"}) {
        UseSimulator(options);
        EXPECT_EQ(CalibrateBaudRateReadOnly(window), 34350) << options;
    }
}

// A trial's reset pulse lasts 10 ms; after the release the start of the
// answer-to-reset is awaited, 8 bytes within 250 ms, before the loader start
// command goes out. The read steps of that wait take up to 250 ms each.
TEST_F(CalibrationTest, LoaderStartWaitsForTheAnswerToReset)
{
    struct Case {
        std::string options;
        double startAfterReleaseMs;
    };
    const double byteMs = 11.0 / 5728 * 1000;  // 8 data bits, 2 stop bits
    const std::vector<Case> cases = {
        {"", 20 + 8 * byteMs},
        {"atrdelay=230", 230 + 8 * byteMs},  // the eighth byte just in time
        {"atrdelay=280", 280 + byteMs},      // the first byte past the deadline ends the wait
        {"atr=none", 500},                   // two silent read steps
    };
    for (const Case& c : cases) {
        sim::SimulatedReader& reader = UseSimulator("setup=01," + c.options);
        CalibrateBaudRate(window);

        // The second trial's pulse.
        std::vector<sim::LineEvent> rts;
        for (const sim::LineEvent& e : reader.LineHistory())
            if (e.signal == sim::Signal::Rts) rts.push_back(e);
        // (The first trial finds RTS already high.)
        ASSERT_GE(rts.size(), 3u) << c.options;
        const sim::LineEvent& rise = rts[1];
        const sim::LineEvent& release = rts[2];
        ASSERT_TRUE(rise.level && !release.level) << c.options;
        // Whole milliseconds on the clock: up to 1 ms short, never longer
        // (but for the few µs that reading the virtual clock costs).
        EXPECT_GT(release.atMicros - rise.atMicros, 9000) << c.options;
        EXPECT_LE(release.atMicros - rise.atMicros, 10050) << c.options;

        int64_t startAt = -1;
        for (const sim::WriteRecord& w : reader.Writes())
            if (w.bytes == std::vector<uint8_t>{0x01, 0x02, 0xEA} && w.atMicros > release.atMicros) {
                startAt = w.atMicros;
                break;
            }
        EXPECT_NEAR((startAt - release.atMicros) / 1000.0, c.startAfterReleaseMs, 0.1) << c.options;
    }
}

}  // namespace
