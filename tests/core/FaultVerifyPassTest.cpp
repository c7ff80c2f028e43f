// The final read-back of the whole card with "Verify programming": a block
// write whose address was garbled on the line lands on an earlier block and
// is acknowledged; only reading every block again finds the damage. Checks
// that such a write is caught and repaired, that damage which keeps coming
// back ends in the failure message after three passes, that a block the pass
// cannot repair fails the run, and that runs without verify are unchanged.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "programming/ProgramCard.h"
#include "programming/ProgramData.h"
#include "reader/StatusMessages.h"
#include "serial/Scom.h"
#include "simulator/Simulator.h"
#include "support/FaultyPorts.h"
#include "support/RecordingWindow.h"

namespace {

constexpr int32_t kBlocks = 4;
constexpr int32_t kLength = kBlocks * 16;

class FaultVerifyPassTest : public ::testing::Test {
protected:
    FaultVerifyPassTest() : window(clock), image(kCardImageSize, 0xEE) { SerialChannel.ResetState(); }
    ~FaultVerifyPassTest() override
    {
        platform.reset();
        SerialChannel.ResetState();
        CardImage = TCardImage{};
    }

    void Prepare(bool verify, std::vector<FaultyOpener::Misdirect> misdirects, std::function<void()> hook = {})
    {
        platform.reset();
        SerialChannel.ResetState();
        simulator = std::make_unique<sim::SimulatorOpener>(clock, sim::SimOptions::Parse("setup=01"));
        faulty = std::make_unique<FaultyOpener>(*simulator);
        faulty->misdirects = std::move(misdirects);
        platform.emplace(clock, *faulty, std::move(hook));
        window.Clear();
        window.verify = verify;
        for (int32_t i = 0; i < kLength; ++i) image[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 5 + 1);
        CardImage.Data = image.data();
        CardImage.Length = kLength;
    }

    bool CardHoldsImage() const
    {
        return std::equal(image.begin(), image.begin() + kLength, simulator->Reader().Memory().begin());
    }
    // Block write frames for `address` after the last loader start command.
    int WritesOfBlock(uint32_t address) const
    {
        const std::vector<sim::WriteRecord>& writes = simulator->Reader().Writes();
        int count = 0;
        for (const sim::WriteRecord& w : writes) {
            const std::vector<uint8_t>& b = w.bytes;
            if (b == std::vector<uint8_t>{0x01, 0x02, 0xEA}) count = 0;
            if (b.size() == 23 && b[0] == 0xFF && ((uint32_t{b[3]} << 16) | (uint32_t{b[4]} << 8) | b[5]) == address)
                ++count;
        }
        return count;
    }
    int Count(const std::string& text) const
    {
        const std::vector<std::string> texts = window.status.TextSequence();
        return static_cast<int>(std::count(texts.begin(), texts.end(), text));
    }

    VirtualClock clock;
    RecordingWindow window;
    std::vector<uint8_t> image;
    std::unique_ptr<sim::SimulatorOpener> simulator;
    std::unique_ptr<FaultyOpener> faulty;
    std::optional<ScopedPlatform> platform;
};

TEST_F(FaultVerifyPassTest, GarbledWriteAddressIsCaughtOnlyWithVerify)
{
    struct Case {
        const char* name;
        bool verify;
        std::vector<FaultyOpener::Misdirect> misdirects;
        bool programmed;
        bool cardHoldsImage;
        int passes;  // times "Verifying 0%" is shown
    };
    const std::vector<Case> cases = {
        {"no fault, verify", true, {}, true, true, 1},
        {"no fault, no verify", false, {}, true, true, 0},
        // The last block's first write lands on block 1: its own read-back
        // fails and it is rewritten, but only the pass finds block 1 damaged.
        {"one garbled write, verify", true, {{0x30, 0x10, 1, 1}}, true, true, 2},
        // Without verify nothing is read back in a run this short: the run
        // reports success with block 1 holding the last block's data.
        {"one garbled write, no verify", false, {{0x30, 0x10, 1, 1}}, true, false, 0},
        // Every other write of blocks 0 and 1 lands on the other one: each pass
        // repairs both and damages both again.
        {"recurring damage, verify", true, {{0x00, 0x10, 2, -1}, {0x10, 0x00, 2, -1}}, false, false, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare(c.verify, c.misdirects);
        EXPECT_EQ(ProgramCard(window), c.programmed);
        EXPECT_EQ(CardHoldsImage(), c.cardHoldsImage);
        EXPECT_EQ(Count("Verifying 0%"), c.passes);
        if (!c.misdirects.empty()) {
            EXPECT_GT(faulty->writesMisdirected, 0) << "the fault was never injected";
        }
        if (c.programmed) {
            EXPECT_FALSE(SerialChannel.IsOpen);
            if (c.verify) {
                EXPECT_EQ(window.status.Text(), "Verifying 75%");
                EXPECT_EQ(window.progress.back().position, 75);
            }
        } else {
            EXPECT_EQ(window.status.Text(), status_text::kErrorProgramming);
            EXPECT_EQ(window.status.Color(), clRed);
            EXPECT_TRUE(SerialChannel.IsOpen) << "the caller closes the port";
        }
    }
}

TEST_F(FaultVerifyPassTest, BlockThePassCannotRepairFailsTheRun)
{
    // Once the last block is written, every read answer arrives corrupted:
    // the pass finds block 0 wrong and its ten rewrites never read back.
    Prepare(true, {}, [this] {
        if (window.progress.size() >= static_cast<size_t>(kBlocks)) simulator->Reader().Options().readCorrupt = 1.0;
    });
    EXPECT_FALSE(ProgramCard(window));
    EXPECT_EQ(window.status.Text(), status_text::kErrorProgramming);
    EXPECT_EQ(window.status.Color(), clRed);
    EXPECT_EQ(Count("Verifying 0%"), 0) << "the pass stops at the block it could not repair";
    EXPECT_EQ(WritesOfBlock(0x00), 1 + 10) << "one write in the loop, ten in the pass";
    EXPECT_TRUE(CardHoldsImage()) << "the card itself was right; only its answers were not";
}

}  // namespace
