// Verifying through the reader's echo: a block write whose address is
// garbled on the line lands on another block and is acknowledged, but its
// echo shows where it went. Checks that such writes are caught with and
// without "Verify programming" wherever they land, that a read whose echo
// differs is never taken as proof, that damage which keeps coming back ends
// in the failure message instead of going on, and that a clean run reads
// nothing beyond what the verify rule asks. Then what the echo cannot show:
// a write whose echo lost bytes on the way back, and a write whose address
// the card alone misread behind a clean echo, which only the read pass finds.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "programming/ProgramCard.h"
#include "programming/ProgramData.h"
#include "reader/StatusMessages.h"
#include "serial/ReaderLink.h"
#include "simulator/Simulator.h"
#include "support/FaultyPorts.h"
#include "support/RecordingWindow.h"

namespace {

constexpr int32_t kBlocks = 4;
constexpr int32_t kLength = kBlocks * 16;

class FaultEchoVerifyTest : public ::testing::Test {
protected:
    FaultEchoVerifyTest() : window(clock), image(kCardImageSize, 0xEE) {}
    ~FaultEchoVerifyTest() override
    {
        link.reset();
    }

    void Prepare(Verification mode, std::vector<FaultyOpener::Misdirect> misdirects, std::function<void()> hook = {},
                 const std::string& options = {})
    {
        link.reset();
        simulator = std::make_unique<sim::SimulatorOpener>(
            clock, sim::SimOptions::Parse("setup=01" + (options.empty() ? "" : "," + options)));
        faulty = std::make_unique<FaultyOpener>(*simulator);
        faulty->misdirects = std::move(misdirects);
        link.emplace(clock, *faulty, simulator->Failures());
        link->pump.processMessages = std::move(hook);
        window.Clear();
        window.verify = mode == Verification::EachBlock;
        window.afterWriting = mode == Verification::AfterWriting;
        for (int32_t i = 0; i < kLength; ++i) image[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 5 + 1);
        CardImage.Data = image.data();
        CardImage.Length = kLength;
    }

    bool CardHoldsImage() const
    {
        return std::equal(image.begin(), image.begin() + kLength, simulator->Reader().Memory().begin());
    }
    // Block write (size 23) or read (size 7) frames the program sent for
    // `address` after the last loader start command.
    int FramesOfBlock(size_t size, uint32_t address) const
    {
        int count = 0;
        for (const sim::WriteRecord& w : simulator->Reader().Writes()) {
            const std::vector<uint8_t>& b = w.bytes;
            if (b == std::vector<uint8_t>{0x01, 0x02, 0xEA}) count = 0;
            if (b.size() == size && ((uint32_t{b[3]} << 16) | (uint32_t{b[4]} << 8) | b[5]) == address) ++count;
        }
        return count;
    }
    int WritesOfBlock(uint32_t address) const { return FramesOfBlock(23, address); }
    int ReadsOfBlock(uint32_t address) const { return FramesOfBlock(7, address); }
    int Count(const std::string& text) const
    {
        const std::vector<std::string> texts = window.status.TextSequence();
        return static_cast<int>(std::count(texts.begin(), texts.end(), text));
    }

    VirtualClock clock;
    RecordingWindow window;
    std::vector<uint8_t> image;
    TCardImage CardImage;
    std::unique_ptr<sim::SimulatorOpener> simulator;
    std::unique_ptr<FaultyOpener> faulty;
    std::optional<ReaderLink> link;
};

TEST_F(FaultEchoVerifyTest, GarbledAddressesAreCaughtByTheEcho)
{
    using M = FaultyOpener::Misdirect;
    const Verification each = Verification::EachBlock;     // the window's verify
    const Verification after = Verification::AfterWriting;  // torvik-loader's
    const Verification none = Verification::Sampled;
    struct Case {
        const char* name;
        Verification mode;
        std::vector<M> misdirects;
        bool programmed;
        int writesOf10;  // block write frames for block 0x10 as they reached the card
        int readsOf10;   // and block read frames
        std::string options = {};  // more simulator options
        bool twins = false;        // block 1 holds the same bytes as block 0
        bool holds = true;         // the card holds the image after a success
        bool nearBlank = false;    // block 1 holds FE and fifteen FF: one bit from blank
        std::vector<FaultyOpener::ReplyFault> replies = {};
    };
    const std::vector<Case> cases = {
        // A clean run reads back each block once with verify, then once more
        // in the read pass; none without.
        {"no fault, verify", each, {}, true, 1, 2},
        {"no fault, no verify", none, {}, true, 1, 0},
        // The last block's first write lands on block 1: its echo names block
        // 1, which is read back and written again, with verify or without.
        {"write lands on an earlier block, verify", each, {{0x30, 0x10, 1, 1}}, true, 3, 4},
        {"write lands on an earlier block, no verify", none, {{0x30, 0x10, 1, 1}}, true, 3, 2},
        // Block 1's write lands on block 3, which is written in its turn
        // anyway; block 1 itself is read back, found blank, rewritten and read
        // back again.
        {"write lands on a later block, no verify", none, {{0x10, 0x30, 1, 1}}, true, 1, 2},
        {"write lands beyond the image, no verify", none, {{0x10, 0x100, 1, 1}}, true, 1, 2},
        // Block 1's write lands beyond the image, and the read-back of block 1
        // reads there too: the answer holds block 1's bytes, but its echo
        // shows another address, so it proves nothing and block 1 is read
        // again, found blank and rewritten.
        // Block 1 is one bit from blank; its write lands beyond the image, and
        // the first read-back comes with that bit flipped on the way back,
        // showing the image. After a write whose echo differed a second answer
        // must agree: it shows the block blank, and block 1 is written again.
        {"write lands beyond the image, its first read-back garbled into the image, no verify", none,
         {{0x10, 0x100, 1, 1}}, true, 1, 3, "", false, true, true, {{{0xFE, 0x00, 0x03, 0x00, 0x00, 0x10}, 12, 0xFE, 1}}},
        {"write and its read-back land beyond the image, no verify", none,
         {{0x10, 0x100, 1, 1}, FaultyOpener::ReadMisdirect(0x10, 0x100)}, true, 1, 2},
        // Block 1 has a cell that never stores and holds the bytes of block
        // 0; its first read-back reads block 0, matching. The echo gives the
        // read away: every clean read shows the bad cell, and the block fails.
        {"read answered from a block with the same bytes, verify", each,
         {FaultyOpener::ReadMisdirect(0x10, 0x00)}, false, 10, 10, "badcell=0x15", true},
        // Every other write of blocks 0 and 1 lands on the other one: each
        // repair damages the other block again, until the rewrites allowed
        // after a block's own turn are used up.
        {"recurring damage, verify", each, {{0x00, 0x10, 2, -1}, {0x10, 0x00, 2, -1}}, false, -1, -1},

        // The last block's write lands on block 1, and its echo comes back
        // one byte (or four) short: the address cannot be read from it. Once
        // an echo in its place returns, the blocks one address bit from block
        // 3 that were written already (2 and 1) are read back, and block 1 is
        // written again.
        {"write lands on an earlier block, echo 1 byte short, no verify", none, {FaultyOpener::ShortEcho(0x30, 0x10, 1)}, true,
         3, 2},
        {"write lands on an earlier block, echo 4 bytes short, no verify", none, {FaultyOpener::ShortEcho(0x30, 0x10, 4)}, true,
         3, 2},
        {"write lands on an earlier block, echo 1 byte short, verify", each, {FaultyOpener::ShortEcho(0x30, 0x10, 1)}, true, 3,
         4},
        {"write lands on an earlier block, echo 4 bytes short, verify after writing", after,
         {FaultyOpener::ShortEcho(0x30, 0x10, 4)}, true, 3, 3},

        // The card alone misreads the address of block 3's write and stores it
        // on block 1, behind a clean echo and an acknowledgement. Block 3
        // fails its read-back (with verify) or is found in the pass; block 1
        // only the read pass finds (three answers alike), writes again and
        // reads once more in a second pass.
        {"card takes a write for an earlier block, verify", each, {FaultyOpener::CardMisread(0x30, 0x10)}, true, 3, 6},
        {"card takes a write for an earlier block, verify after writing", after, {FaultyOpener::CardMisread(0x30, 0x10)}, true, 3,
         5},
        // Without verify nothing looks at block 1 again: the run succeeds
        // with the card not holding the image, as the sample allows.
        {"card takes a write for an earlier block, no verify", none, {FaultyOpener::CardMisread(0x30, 0x10)}, true, 2, 0, "",
         false, false},
        // The rewrite of block 3 in the first pass lands on block 1 again,
        // which that pass has found whole already: the second pass finds it,
        // and only the third finds the card whole.
        {"card takes a rewrite of the pass for a block already read", after, {FaultyOpener::CardMisread(0x30, 0x10, 1, 2)}, true,
         5, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Prepare(c.mode, c.misdirects, {}, c.options);
        if (c.twins) std::copy_n(image.begin(), 16, image.begin() + 16);
        if (c.nearBlank) {
            std::fill_n(image.begin() + 16, 16, 0xFF);
            image[16] = 0xFE;
        }
        faulty->replyFaults = c.replies;
        EXPECT_EQ(ProgramCard(*link, window, CardImage), c.programmed);
        for (const M& m : faulty->misdirects) EXPECT_GT(m.done, 0) << "a fault was never injected";
        if (c.writesOf10 >= 0) {
            EXPECT_EQ(WritesOfBlock(0x10), c.writesOf10);
            EXPECT_EQ(ReadsOfBlock(0x10), c.readsOf10);
        }
        if (c.programmed) {
            EXPECT_FALSE(link->SerialChannel.IsOpen);
            EXPECT_EQ(CardHoldsImage(), c.holds);
            EXPECT_EQ(window.status.Text(), c.mode == none ? "Programming 75%" : "Verifying 75%");
            EXPECT_EQ(window.progress.back().position, 75);
        } else {
            EXPECT_LE(WritesOfBlock(0x00) + WritesOfBlock(0x10), 2 * (10 + 10)) << "the rewrites are bounded";
            EXPECT_EQ(window.status.Text(), status_text::kErrorProgramming);
            EXPECT_EQ(window.status.Color(), clRed);
            EXPECT_TRUE(link->SerialChannel.IsOpen) << "the caller closes the port";
        }
    }
}

TEST_F(FaultEchoVerifyTest, ReadsWhoseEchoNeverComesBackCleanFailTheBlock)
{
    // Every read frame's echo comes back with its address byte changed: no
    // read-back can prove the block, so each attempt reads three times and
    // then writes the block again, until its ten attempts are used up. The
    // card itself holds the block.
    Prepare(Verification::EachBlock, {});
    faulty->replyFaults = {{{0xFE, 0x00, 0x03}, 5, 0x15}};
    EXPECT_FALSE(ProgramCard(*link, window, CardImage));
    EXPECT_EQ(window.status.Text(), status_text::kErrorProgramming);
    EXPECT_EQ(window.status.Color(), clRed);
    EXPECT_EQ(WritesOfBlock(0x00), 10);
    EXPECT_EQ(ReadsOfBlock(0x00), 10 * 3);
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 16, simulator->Reader().Memory().begin()));
}

}  // namespace
