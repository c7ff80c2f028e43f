// The loader's frames as the program speaks them.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/LineTrace.h"
#include "programming/LoaderFrames.h"

namespace {

// What the line watch counts (LineWatch::SetFrameClassifier): the loader
// start command and the block frames with their addresses, told from every
// other write by length and first bytes.
TEST(LoaderFrames, TheWatchIsToldTheLoadersFrames)
{
    const auto bytes = [](const std::string& text) {
        std::vector<uint8_t> out;
        for (size_t i = 0; i + 1 < text.size(); i += 3) out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        return out;
    };
    const uint8_t data[16] = {0xFF, 0x00, 0x13};
    const std::string write = loader::BlockWriteText(0x3FFF0, data);
    using Kind = LineFrame::Kind;
    const struct {
        std::string frame;
        Kind kind;
        int64_t address;
    } rows[] = {
        {loader::kStartCommand, Kind::Start, -1},
        {write, Kind::BlockWrite, 0x3FFF0},
        {loader::BlockReadText(0x00120), Kind::BlockRead, 0x120},
        {"01 02 EB", Kind::Other, -1},
        {"01 02 EA 00", Kind::Other, -1},
        {write.substr(0, write.size() - 3), Kind::Other, -1},         // a byte short
        {"FF 00 12" + write.substr(8), Kind::Other, -1},              // another command
        {"FE 00 03 00 01 20 AA 00", Kind::Other, -1},                 // a byte long
        {"2A 41", Kind::Other, -1},
    };
    for (const auto& row : rows) {
        const std::vector<uint8_t> frame = bytes(row.frame);
        const LineFrame f = loader::ClassifyFrame(frame.data(), static_cast<uint32_t>(frame.size()));
        EXPECT_EQ(f.kind, row.kind) << row.frame;
        EXPECT_EQ(f.address, row.address) << row.frame;
    }
}

}  // namespace
