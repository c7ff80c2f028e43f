// Speed calibration on the simulated card: which trial speeds count, how the
// result follows from the passing ones, the timing rules a trial must meet,
// the status text and the port it leaves open; and both calibrations and a
// whole programming run through the program's own port chain.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "devices/PortChain.h"
#include "programming/LoaderFrames.h"
#include "programming/ProgramCard.h"
#include "programming/ProgramData.h"
#include "programming/StartCardLoader.h"
#include "serial/ReaderLink.h"
#include "simulator/Simulator.h"
#include "support/FaultyPorts.h"
#include "support/RecordingWindow.h"

namespace {

const uint8_t kIdentification[16] = {'T', 'O', 'R', 'V', 'I', 'K', 'L', 'O', 'A', 'D', 'E', 'R', 0, 1, 'v', 't'};

// A simulated reader on Com1 reached as the window and torvik-loader reach a
// device: through a PortChain (resolver, kept device, line watch with a
// trace), on `clock`.
class ChainedReader {
public:
    ChainedReader(Clock& clock, const std::string& simOptions)
        : devices_(clock), chain_(devices_, clock, &trace_), link_(chain_)
    {
        chain_.Assign(1, "sim:" + simOptions);
        chain_.Watch().SetFrameClassifier(loader::ClassifyFrame);
    }

    ReaderLink& Link() { return link_; }
    sim::SimulatedReader& Reader() { return *devices_.SimulatedReaderOn(1); }
    const LineCounts& Counts() { return chain_.Watch().Counts(); }

    // Opens at the working settings (mark parity) whose first three bytes
    // received were the echo of the loader start command, "01 02 EA", sent
    // before the reopen.
    int StaleEchoes() const
    {
        int stale = 0;
        std::optional<std::string> received;  // after a working-speed open
        std::istringstream lines(trace_.str());
        for (std::string line; std::getline(lines, line);) {
            const std::string text = line.substr(line.find(' ', line.find_first_not_of(' ')) + 1);
            if (text.rfind("settings ", 0) == 0) {
                received.reset();
                if (text.find("M2 ") != std::string::npos) received.emplace();
            }
            if (!received || text.rfind("rx ", 0) != 0) continue;
            *received += text.substr(2);
            if (received->size() < 9) continue;
            if (received->rfind(" 01 02 EA", 0) == 0) ++stale;
            received.reset();
        }
        return stale;
    }

private:
    std::ostringstream trace_;
    SystemPorts devices_;
    PortChain chain_;
    ReaderLink link_;
};

class CalibrateBaudRateTest : public ::testing::Test {
protected:
    CalibrateBaudRateTest() : window(clock) {}
    ~CalibrateBaudRateTest() override { link.reset(); }

    // A set-up reader with a card; `hook` runs whenever the program processes
    // window messages; `misdirects` garble frames on their way to the card.
    sim::SimulatedReader& UseSimulator(const std::string& options, std::function<void()> hook = {},
                                       std::vector<FaultyOpener::Misdirect> misdirects = {})
    {
        link.reset();
        opener = std::make_unique<sim::SimulatorOpener>(clock, sim::SimOptions::Parse(options));
        faulty = std::make_unique<FaultyOpener>(*opener);
        faulty->misdirects = std::move(misdirects);
        link.emplace(clock, *faulty, opener->Failures());
        link->pump.processMessages = std::move(hook);
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
    std::unique_ptr<FaultyOpener> faulty;
    std::optional<ReaderLink> link;
    RunSettings settings;
};

TEST_F(CalibrateBaudRateTest, ResultIsTheMiddleOfTheLowestAndHighestPass)
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
        EXPECT_EQ(CalibrateBaudRate(*link, window), c.result) << c.what;
    }
}

TEST_F(CalibrateBaudRateTest, SixMegahertzClockUsesItsOwnRange)
{
    settings.ClockSetting = "6.00";
    UseCardPassingAt({}, 56600, "setup=03");
    EXPECT_EQ(CalibrateBaudRate(*link, window, settings), 57600);

    std::vector<uint32_t> expected;
    for (uint32_t s = 56600; s <= 58600; s += 100) expected.push_back(s);
    EXPECT_EQ(IdentificationWriteSpeeds(), expected);

    UseCardPassingAt({57000, 57100, 57200}, 56600, "setup=03");
    EXPECT_EQ(CalibrateBaudRate(*link, window, settings), 57100);
}

TEST_F(CalibrateBaudRateTest, EveryTrialRunsAndShowsItsStar)
{
    sim::SimulatedReader& reader = UseSimulator("setup=01");  // default window 34000..34700
    EXPECT_EQ(CalibrateBaudRate(*link, window), 34350);

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
    ASSERT_TRUE(link->SerialChannel.IsOpen);
    EXPECT_EQ(link->SerialChannel.LineSettings_.BaudRate, 35600u);
    EXPECT_EQ(link->SerialChannel.LineSettings_.Parity, kMarkParity);
    EXPECT_EQ(link->SerialChannel.LineSettings_.StopBits, kTwoStopBits);
    EXPECT_FALSE(link->SerialChannel.LineSettings_.fParity);
    EXPECT_EQ(std::memcmp(reader.Memory().data(), kIdentification, 16), 0);
}

TEST_F(CalibrateBaudRateTest, AcknowledgementLaterThan250MsFailsTheTrial)
{
    // The echo is in time but the acknowledgement comes 300 ms after the
    // frame: the card stores the block, yet no trial counts.
    sim::SimulatedReader& reader = UseSimulator("setup=01,turnaround=300000");
    EXPECT_EQ(CalibrateBaudRate(*link, window), 34600);
    EXPECT_EQ(std::memcmp(reader.Memory().data(), kIdentification, 16), 0);
    EXPECT_EQ(reader.BlockReads(), 0) << "a failed write is not read back";
}

TEST_F(CalibrateBaudRateTest, ReadAnswerLaterThan250MsFailsTheTrial)
{
    // Acknowledgements on time; read answers 300 ms late.
    sim::SimulatedReader* reader = nullptr;
    reader = &UseSimulator("setup=01", [&reader] {
        const auto& writes = reader->Writes();
        const bool readPending = !writes.empty() && writes.back().bytes.size() == 7 && writes.back().bytes[0] == 0xFE;
        reader->Options().turnaroundMicros = readPending ? 300000 : 100;
    });
    EXPECT_EQ(CalibrateBaudRate(*link, window), 34600);
    EXPECT_EQ(reader->BlockReads(), 8) << "the loader did answer, too late";
}

TEST_F(CalibrateBaudRateTest, WrongAcknowledgementOrReadBackFailsTheTrial)
{
    for (const char* fault : {"ackwrong=1", "readcorrupt=1", "noecho=1", "silent=1"}) {
        window.status.texts.clear();
        UseSimulator(std::string("setup=01,") + fault);
        EXPECT_EQ(CalibrateBaudRate(*link, window), 34600) << fault;
        EXPECT_EQ(window.status.texts.size(), 21u) << fault;
    }
}

// The sweep of read and verify: the same window, found by reading block 0,
// with no write; a trial without a clean first answer ends with that one
// read, and a garbled answer is settled by a third.
TEST_F(CalibrateBaudRateTest, ReadOnlySweepFindsTheWindowByReadingAlone)
{
    struct Case {
        std::string options;
        int32_t lowest, highest, passed;
        int readFrames;  // read frames sent in all
        std::vector<FaultyOpener::Misdirect> misdirects = {};
    };
    const Case cases[] = {
        // 13 speeds outside the window with one read each, 8 inside with two.
        {"setup=01", 34000, 34700, 8, 13 + 8 * 2},
        {"setup=01,window=33600-33600", 33600, 33600, 1, 20 + 2},
        {"setup=01,window=35500-35600", 35500, 35600, 2, 19 + 2 * 2},
        // Every answer garbled: no two agree, three reads where the loader
        // answers.
        {"setup=01,readcorrupt=1", 35600, 33600, 0, 13 + 8 * 3},
        {"setup=01,silent=1", 35600, 33600, 0, 21},
        {"setup=01,readdelay=260", 35600, 33600, 0, 21},
        // Every read of block 0 reaches the card as a read of block 0x10, as
        // its echo shows: answers for another block prove nothing.
        {"setup=01", 35600, 33600, 0, 21, {FaultyOpener::ReadMisdirect(0x00, 0x10, 1, -1)}},
    };
    for (const Case& c : cases) {
        sim::SimulatedReader& reader = UseSimulator(c.options, {}, c.misdirects);
        const std::vector<uint8_t> before = reader.Memory();
        const SpeedWindow found = FindSpeedWindowReadOnly(*link, window);
        EXPECT_EQ(found.lowest, c.lowest) << c.options;
        EXPECT_EQ(found.highest, c.highest) << c.options;
        EXPECT_EQ(found.passed, c.passed) << c.options;
        EXPECT_EQ(found.middle, (c.lowest + c.highest) / 2) << c.options;
        int reads = 0;
        for (const sim::WriteRecord& w : reader.Writes()) {
            EXPECT_NE(w.bytes.size() == 23 && w.bytes[0] == 0xFF, true) << c.options << ": a block write";
            if (w.bytes.size() == 7 && w.bytes[0] == 0xFE) ++reads;
        }
        EXPECT_EQ(reads, c.readFrames) << c.options;
        EXPECT_TRUE(reader.Memory() == before) << c.options;
    }
}

// Each wait of a trial just inside and just outside its time, and each count
// and tested byte wrong on its own, against the default card (passing from
// 34000 to 34700: result 34350; no trial passing: 34600).
TEST_F(CalibrateBaudRateTest, TrialLimitsDecideWhetherItPasses)
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
        EXPECT_EQ(CalibrateBaudRate(*link, window), c.result) << c.options;
    }
    // The sweep that writes nothing judges a read answer by its echo and its
    // data alone: the bytes around the data are the card's own.
    for (const char* options : {"setup=01", "setup=01,answerbytes=random"}) {
        UseSimulator(options);
        EXPECT_EQ(CalibrateBaudRateReadOnly(*link, window), 34350) << options;
    }
}

// A trial's reset pulse lasts 10 ms; after the release the start of the
// answer-to-reset is awaited, 8 bytes within 250 ms, before the loader start
// command goes out. The read steps of that wait take up to 250 ms each.
TEST_F(CalibrateBaudRateTest, LoaderStartWaitsForTheAnswerToReset)
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
        CalibrateBaudRate(*link, window);

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

// Both calibrations, as the Program, read and verify runs start the loader,
// through the program's port chain: the result is the middle of the card's
// window whatever the adapter's latency timer and whether its driver raises
// the lines on every open, and the loader start command's echo never comes
// back after the reopen at the working speed.
TEST_F(CalibrateBaudRateTest, ThroughThePortChainFindTheMiddleOfTheCardsWindow)
{
    struct Row {
        const char* clockSetting;
        const char* card;
        int32_t speed;
    };
    const Row rows[] = {
        {"3.58", "setup=01", 34350},  // the default window, 34000-34700
        {"3.58", "setup=01,window=34000-34300", 34150},
        {"3.58", "setup=01,window=33600-33600", 33600},
        {"6.00", "setup=03", 57450},  // the default window at 6.00 MHz, 57000-57900
        {"3.68", "setup=02", 35300},  // the default window at 3.68 MHz, 34950-35650
        {"3.68", "setup=02,window=36000-36300", 36150},  // beyond the trials at 3.58 MHz
    };
    for (const Row& r : rows)
        for (const char* adapter : {"latency=0", "latency=1", "latency=16", "openlines=1"})
            for (const bool readOnly : {false, true}) {
                const std::string what = std::string(r.card) + "," + adapter + (readOnly ? " read-only" : "");
                settings.ClockSetting = r.clockSetting;
                ChainedReader chained(clock, std::string(r.card) + "," + adapter);
                EXPECT_EQ(StartCardLoader(chained.Link(), window, readOnly, settings), r.speed) << what;
                EXPECT_EQ(chained.StaleEchoes(), 0) << what;
                if (readOnly) {
                    EXPECT_EQ(chained.Reader().BlockWrites(), 0) << what << ": the card is left as it is";
                }
            }
}

// Whole Program runs through the port chain on cards whose loader does not
// take the fallback speed of 34600: the card ends up holding the image, with
// one write frame per block (the calibration's identification writes apart)
// at the speed found. One run takes real time.
TEST_F(CalibrateBaudRateTest, CardsOutsideTheFallbackSpeedAreProgrammedOnceABlock)
{
    struct Row {
        const char* card;
        int32_t speed;
        int identificationWrites;  // trial speeds inside the card's window
        int32_t length;
        bool realTime;
    };
    const Row rows[] = {
        {"window=34000-34300", 34150, 4, 1600, false},
        {"window=33600-33600", 33600, 1, 1600, false},
        {"latency=16,openlines=1,window=34800-35100", 34950, 4, 1600, false},
        {"window=34000-34300", 34150, 4, 40, true},
    };
    std::vector<uint8_t> image(kCardImageSize);
    TCardImage CardImage;
    SteadyClock steady;
    for (const Row& r : rows) {
        const std::string what = std::string(r.card) + (r.realTime ? " in real time" : "");
        std::mt19937 random(static_cast<uint32_t>(r.length));
        for (int32_t i = 0; i < r.length; ++i) image[static_cast<size_t>(i)] = static_cast<uint8_t>(random());
        CardImage.Data = image.data();
        CardImage.Length = r.length;
        const int blocks = (r.length + 15) / 16;

        ChainedReader chained(r.realTime ? static_cast<Clock&>(steady) : clock, std::string("setup=01,") + r.card);
        EXPECT_TRUE(ProgramCard(chained.Link(), window, CardImage)) << what;
        EXPECT_TRUE(std::equal(image.begin(), image.begin() + r.length, chained.Reader().Memory().begin())) << what;
        EXPECT_EQ(chained.Counts().workingBaud, static_cast<uint32_t>(r.speed)) << what;
        EXPECT_EQ(chained.Counts().writeFrames, blocks) << what;
        EXPECT_EQ(chained.Reader().BlockWrites(), blocks + r.identificationWrites) << what;
        EXPECT_EQ(chained.StaleEchoes(), 0) << what;
    }
}

}  // namespace
