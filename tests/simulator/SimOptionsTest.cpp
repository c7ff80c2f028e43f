// The "sim:" device value: every key, the defaults, and refusals that name
// the offending key.

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "simulator/SimOptions.h"

namespace {

using sim::SimOptions;

TEST(SimOptionsTest, DefaultsDescribeAPlainReaderWithACard)
{
    for (const char* text : {"", "sim", "sim:", " "}) {
        const SimOptions o = SimOptions::Parse(text);
        EXPECT_TRUE(o.port == 1 && o.cardIn && o.removeMs == -1 && o.insertMs == -1 && o.setupByte == -1 &&
                    o.windowLow == 0 && o.turnaroundMicros == 100 && o.vanishMs == -1 && o.ackLoss == 0.0 &&
                    o.followPrompts && o.cardNoise == 0.0 && !o.randomAnswerBytes && !o.randomSetupBytes &&
                    o.memoryFile.empty())
            << text;
        EXPECT_EQ(o.atr, (std::vector<uint8_t>{0x3B, 0x54, 0x4C, 0x54, 0x52, 0x56, 0x4B, 0x01}));
    }
}

TEST(SimOptionsTest, EveryKeyIsParsed)
{
    struct Case {
        std::string text;
        std::function<bool(const SimOptions&)> check;
    };
    const std::vector<Case> cases = {
        {"port=12", [](const SimOptions& o) { return o.port == 12; }},
        {"card=out", [](const SimOptions& o) { return !o.cardIn; }},
        {"remove=1500,insert=0", [](const SimOptions& o) { return o.removeMs == 1500 && o.insertMs == 0; }},
        {"remove=-1", [](const SimOptions& o) { return o.removeMs == -1; }},
        {"setup=83", [](const SimOptions& o) { return o.setupByte == 0x83; }},
        {"turnaround=250", [](const SimOptions& o) { return o.turnaroundMicros == 250; }},
        {"breakjunk=6", [](const SimOptions& o) { return o.breakJunk == 6; }},
        {"atr=3b544c54 00", [](const SimOptions& o) { return o.atr == std::vector<uint8_t>{0x3B, 0x54, 0x4C, 0x54, 0}; }},
        {"atr=none", [](const SimOptions& o) { return o.atr.empty(); }},
        {"window=34000-34700", [](const SimOptions& o) { return o.windowLow == 34000 && o.windowHigh == 34700; }},
        {"silent=1,noecho=1", [](const SimOptions& o) { return o.silent && o.noEcho; }},
        {"ackloss=0.25,ackwrong=1", [](const SimOptions& o) { return o.ackLoss == 0.25 && o.ackWrong == 1.0; }},
        {"readcorrupt=0.5,noise=0.001",
         [](const SimOptions& o) { return o.readCorrupt == 0.5 && o.noise == 0.001; }},
        {"lostbyte=0.001,extrabyte=1", [](const SimOptions& o) { return o.lostByte == 0.001 && o.extraByte == 1.0; }},
        {"lose_ack_block=0x3FFF0:3",
         [](const SimOptions& o) { return o.loseAckBlock == 0x3FFF0 && o.loseAckCount == 3; }},
        {"lose_ack_block=32:1", [](const SimOptions& o) { return o.loseAckBlock == 32 && o.loseAckCount == 1; }},
        {"follow=0", [](const SimOptions& o) { return !o.followPrompts; }},
        {"card=in", [](const SimOptions& o) { return !o.followPrompts; }},
        {"insert=5,follow=1", [](const SimOptions& o) { return o.followPrompts; }},
        {"badcell=0x15", [](const SimOptions& o) { return o.badCell == 0x15; }},
        {"readflip=0x14A4:011",
         [](const SimOptions& o) { return o.readFlipAddress == 0x14A4 && o.readFlipPattern == "011"; }},
        {"vanish=2000,seed=18446744073709551615",
         [](const SimOptions& o) { return o.vanishMs == 2000 && o.seed == UINT64_MAX; }},
        {"openlines=1,latency=16", [](const SimOptions& o) { return o.openLines && o.latencyMs == 16; }},
        {"breakanswer=340,atrdelay=0,atrgap=120",
         [](const SimOptions& o) { return o.breakAnswerMs == 340 && o.atrDelayMs == 0 && o.atrGapMs == 120; }},
        {"answer41=490,answer42=-1,answer43=0",
         [](const SimOptions& o) { return o.answer41Ms == 490 && o.answer42Ms == -1 && o.answer43Ms == 0; }},
        {"ackdelay=240,readdelay=1", [](const SimOptions& o) { return o.ackDelayMs == 240 && o.readDelayMs == 1; }},
        {"split=24:230", [](const SimOptions& o) { return o.splitAfter == 24 && o.splitPauseMs == 230; }},
        {"ack=FF01C0", [](const SimOptions& o) { return o.ackBytes == std::vector<uint8_t>{0xFF, 0x01, 0xC0}; }},
        {"cardnoise=0.001,answerbytes=random,setupbytes=random",
         [](const SimOptions& o) { return o.cardNoise == 0.001 && o.randomAnswerBytes && o.randomSetupBytes; }},
        {"answerbytes=fixed,setupbytes=fixed",
         [](const SimOptions& o) { return !o.randomAnswerBytes && !o.randomSetupBytes && o.cardNoise == 0.0; }},
        // A card file that does not exist yet: a blank card, written at the end.
        {"memory=" + ::testing::TempDir() + "no-card-yet.bin",
         [](const SimOptions& o) { return o.memoryFile == ::testing::TempDir() + "no-card-yet.bin"; }},
        {"sim:card=in, remove=1500 ,insert=1500,window=34000-34700,",
         [](const SimOptions& o) {
             return o.cardIn && o.removeMs == 1500 && o.insertMs == 1500 && o.windowHigh == 34700;
         }},
    };
    for (const Case& c : cases) EXPECT_TRUE(c.check(SimOptions::Parse(c.text))) << c.text;
}

TEST(SimOptionsTest, BadKeysAndValuesAreRefusedByName)
{
    const std::string shortCard = ::testing::TempDir() + "short-card.bin";
    std::ofstream(shortCard, std::ios::binary | std::ios::trunc) << "0123456789";
    struct Case {
        std::string text;
        std::string key;
    };
    const std::vector<Case> cases = {
        {"colour=red", "colour"},
        {"card=maybe", "card"},
        {"remove=-5", "remove"},
        {"insert=soon", "insert"},
        {"port=", "port"},
        {"port=99999999999", "port"},
        {"setup=1", "setup"},
        {"setup=1FF", "setup"},
        {"atr=3B5", "atr"},
        {"atr=", "atr"},
        {"atr=XY", "atr"},
        {"window=34700-34000", "window"},
        {"window=34000", "window"},
        {"silent=yes", "silent"},
        {"ackloss=1.5", "ackloss"},
        {"ackwrong=-0.1", "ackwrong"},
        {"noise=nan", "noise"},
        {"lose_ack_block=0x40", "lose_ack_block"},
        {"badcell=0x40000", "badcell"},
        {"readflip=0x10", "readflip"},
        {"readflip=0x10:012", "readflip"},
        {"seed=18446744073709551616", "seed"},
        {"follow=yes", "follow"},
        {"card", "card"},
        {"breakanswer=-1", "breakanswer"},
        {"answer42=-2", "answer42"},
        {"split=3", "split"},
        {"split=x:10", "split"},
        {"ack=none", "ack"},
        {"cardnoise=2", "cardnoise"},
        {"lostbyte=-0.1", "lostbyte"},
        {"answerbytes=sometimes", "answerbytes"},
        {"setupbytes=1", "setupbytes"},
        // A key given twice, even with the same value.
        {"seed=1,seed=2", "seed"},
        {"sim:card=in, card=in", "card"},
        // A card file that cannot hold a card is an error, not a blank card.
        {"memory=", "memory"},
        {"memory=" + shortCard, "memory"},
        {"memory=" + ::testing::TempDir(), "memory"},
        {"memory=" + ::testing::TempDir() + "no-such-folder/card.bin", "memory"},
    };
    for (const Case& c : cases) {
        try {
            SimOptions::Parse(c.text);
            ADD_FAILURE() << c.text << " was accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find("'" + c.key), std::string::npos) << e.what();
        }
    }
    auto message = [](const std::string& text) {
        try {
            SimOptions::Parse(text);
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_EQ(message("seed=1,seed=2"), "simulator option 'seed': given more than once");
    EXPECT_EQ(message("memory=" + shortCard),
              "simulator option 'memory': " + shortCard + ": 10 bytes; a card memory file holds 262144 (0x40000)");
}

}  // namespace
