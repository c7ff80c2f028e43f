// torvik-loader in-process on the simulated reader and the virtual clock:
// each outcome of a Program run with its message and exit status, the card
// image rules, the arguments, and what the terminal view draws.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <regex>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CliArguments.h"
#include "cli/LoaderCli.h"
#include "cli/PortList.h"
#include "cli/RunRecord.h"
#include "cli/Sha256.h"
#include "cli/StationOutput.h"
#include "cli/TerminalView.h"
#include "devices/PortChain.h"
#include "programming/CardImageFile.h"
#include "simulator/Simulator.h"
#include "Subprocess.h"
#include "support/FileBytes.h"

namespace {

std::string WriteImage(const std::string& name, const std::vector<uint8_t>& bytes)
{
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::vector<uint8_t> Pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 3);
    return v;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

// The status texts of piped output, without their time stamps
// ("  12.3s  Programming 0%" -> "Programming 0%"); other lines as they are.
std::vector<std::string> Texts(const std::string& out)
{
    std::vector<std::string> texts;
    for (const std::string& line : Lines(out)) {
        const size_t mark = line.find("s  ");
        const bool stamped = mark != std::string::npos && mark > 0 &&
                             line.find_first_not_of(" 0123456789.") == mark;
        texts.push_back(stamped ? line.substr(mark + 3) : line);
    }
    return texts;
}

bool Has(const std::vector<std::string>& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// A simulated reader on port 1 on the virtual clock, reached through the
// program's own port chain, and runs of the program against it. `stopWhen`
// is asked at every wait; true stops the run as Ctrl-C does.
class SimulatedRun {
public:
    explicit SimulatedRun(const std::string& simOptions)
        : clock_(1'000'000'000, 20), devices_(clock_), chain_(devices_, clock_)
    {
        chain_.Assign(1, simOptions.empty() ? std::string("sim") : "sim:" + simOptions);
        devices_.RecordWrites(true);
    }
    RunResult operator()(const std::vector<std::string>& args, const std::string& input = "")
    {
        out_.str("");
        std::ostringstream err;
        std::istringstream in(input);
        const CliSystem system{chain_, [this] { return stopWhen && stopWhen(out_.str()); }};
        const int status = RunLoaderCli(args, out_, err, CliTerminal{}, system, &in);
        return {status, out_.str(), err.str()};
    }
    // Whether anything holds the reader's port open.
    bool PortOpen() { return Opened() && Reader().HandleOpen(); }
    // The reader, made at the first open of the port.
    sim::SimulatedReader& Reader() { return *devices_.SimulatedReaderOn(1); }
    bool Opened() const { return devices_.SimulatedReaderOn(1) != nullptr; }
    const VirtualClock& Clock() const { return clock_; }
    std::function<bool(const std::string& out)> stopWhen;

private:
    VirtualClock clock_;
    SystemPorts devices_;
    PortChain chain_;
    std::ostringstream out_;
};

// A line of simulated readers, one per port, each station with its own
// virtual clock and devices, as the program gives each its own; `sim` names
// a port's simulator options (default: a card in the slot). `stopWhen` is
// asked between the stations' turns with what they wrote so far.
class SimulatedLine {
public:
    struct Station final : StationDevices {
        Station(uint32_t port, const std::string& options)
            : clock(1'000'000'000, 20), devices(clock), chain(devices, clock)
        {
            chain.Assign(port, options.empty() ? std::string("sim") : "sim:" + options);
        }
        PortChain& Chain() override { return chain; }
        VirtualClock clock;
        SystemPorts devices;
        PortChain chain;
    };
    explicit SimulatedLine(std::map<uint32_t, std::string> sim) : sim_(std::move(sim)), chain_(devices_, clock_)
    {
        for (const auto& [port, options] : sim_) chain_.Assign(port, "sim");
    }
    RunResult operator()(const std::vector<std::string>& args)
    {
        std::ostringstream out, err;
        const auto make = [this](uint32_t port, std::ostream*) {
            auto station = std::make_unique<Station>(port, sim_[port]);
            stations_[port] = station.get();
            return std::unique_ptr<StationDevices>(std::move(station));
        };
        const CliSystem system{chain_, [this, &out] { return stopWhen && stopWhen(out.str()); }, make};
        const int status = RunLoaderCli(args, out, err, CliTerminal{}, system, nullptr);
        return {status, out.str(), err.str()};
    }
    std::function<bool(const std::string& out)> stopWhen;

private:
    std::map<uint32_t, std::string> sim_;
    std::map<uint32_t, Station*> stations_;
    VirtualClock clock_;
    SystemPorts devices_{clock_};
    PortChain chain_;
};

}  // namespace

TEST(CliRun, ProgramsTheCardAndSaysSo)
{
    const std::vector<uint8_t> image = Pattern(1000);
    const std::string path = WriteImage("cli-good.tvk", image);
    SimulatedRun run("card=in,remove=1200,insert=4000");
    const RunResult r = run({"program", path});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> lines = Texts(r.out);
    ASSERT_GE(lines.size(), 3u);
    // The image's size and digest first, then one line per message.
    EXPECT_EQ(lines[0].rfind("Image " + path + ": 1000 bytes, SHA-256 ", 0), 0u) << r.out;
    EXPECT_EQ(lines[1], "Please remove card from card slot.");
    EXPECT_EQ(r.out.find("Programming 1%"), std::string::npos) << r.out;
    // Every block written, then read back in the read pass.
    for (const char* text : {"Please insert card in card slot.", "Wait Setting Phoenix 3.58MHz.", "Programming 0%",
                             "Optimizing *", "Verifying 0%", "Verifying 90%"})
        EXPECT_TRUE(Has(lines, text)) << text << "\n" << r.out;
    EXPECT_EQ(r.out.find("verifying"), std::string::npos) << r.out;
    // The result once, with the time taken and the throughput.
    EXPECT_EQ(lines.back().rfind("Card successfully programmed. 1000 bytes in ", 0), 0u) << r.out;
    EXPECT_NE(lines.back().find(" bytes/s)"), std::string::npos) << r.out;
    // The throughput is over the time spent writing and verifying, not the
    // card swaps, the setup and the calibration.
    EXPECT_NE(lines.back().find(", written and verified in "), std::string::npos) << r.out;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Card successfully programmed."), 0);
    // The card holds the image, padded with zeros to whole blocks.
    const std::vector<uint8_t>& memory = run.Reader().Memory();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
    EXPECT_EQ(memory[1000], 0x00);
    EXPECT_EQ(memory[1007], 0x00);
    EXPECT_FALSE(run.PortOpen());

    // The default simulated reader: a person takes the card out and puts it
    // back when the program asks.
    EXPECT_EQ(SimulatedRun("")({"program", path}).status, 0);

    // --verify=each reads back every block after its write as the window
    // does, then makes the read pass; without verification there is no
    // pass.
    const RunResult each = SimulatedRun("card=out,insert=100")({"program", "--verify=each", path});
    EXPECT_EQ(each.status, 0);
    EXPECT_TRUE(Has(Texts(each.out), "Programming and verifying 0%")) << each.out;
    EXPECT_TRUE(Has(Texts(each.out), "Verifying 0%")) << each.out;
    const RunResult quick = SimulatedRun("card=out,insert=100")({"program", "--no-verify", path});
    EXPECT_EQ(quick.status, 0);
    EXPECT_TRUE(Has(Texts(quick.out), "Programming 0%")) << quick.out;
    EXPECT_EQ(quick.out.find("erifying"), std::string::npos);
}

TEST(CliRun, EachFailureHasItsMessageAndExitStatus)
{
    const std::string path = WriteImage("cli-fail.tvk", Pattern(64));
    const char* noSpeed = "the card's loader answered at no speed from 33600 to 35600 baud";
    struct Case {
        const char* sim;
        std::vector<std::string> args;
        int status;
        const char* message;
        std::string details;  // the lines between the message and what the card holds
        const char* written = "nothing written";  // the last line on stderr
    };
    const Case cases[] = {
        {"card=out,insert=100", {"program", "--port", "2", path}, 3, "Could not open comport!", ""},
        {"card=in", {"program", path}, 4, "the card was not taken out within 30 s", ""},
        {"card=out,silent=1", {"program", path}, 5, "Error setting Phoenix mode.",
         "the reader did not answer its setup (nothing came back to the attention break): check that Com1 is the "
         "reader"},
        {"card=out", {"program", path}, 6, "no card was put in within 30 s", ""},
        {"card=out,insert=100,atr=3B544C55AA", {"program", path}, 7, "Wrong ATR, please insert a Torvik Loader Card.",
         "the card's answer-to-reset 3B 54 4C 55 AA is not a Torvik loader card's (3B 54 4C 54 ...)"},
        // No trial of the calibration passes: the loader never acknowledges,
        // or answers at no speed of the range.
        {"card=out,insert=100,ackloss=1", {"program", path}, 8, "Error programming Torvik Loader Card.", noSpeed},
        {"card=out,insert=100,window=20000-20500", {"program", path}, 8, "Error programming Torvik Loader Card.",
         noSpeed},
        // A card whose loader keeps its 3.58 MHz window does not run at 6.00.
        {"window=34000-34700", {"program", "--clock", "6.00", path}, 8, "Error programming Torvik Loader Card.",
         "the card's loader answered at no speed from 56600 to 58600 baud\ntorvik-loader: the card was clocked at "
         "6.00 MHz (--clock); a card that does not run at that clock answers at no speed"},
        // The default person takes the card out and puts it back when asked,
        // so each fault shows its own message given alone.
        {"silent=1", {"program", path}, 5, "Error setting Phoenix mode.",
         "the reader did not answer its setup (nothing came back to the attention break): check that Com1 is the "
         "reader"},
        {"", {"program", "-p", "3", "-d", "sim:noecho=1", path}, 5, "Error setting Phoenix mode.",
         "the reader answered its setup wrongly (2A 41 brought back 01 00 10 06): check that Com3 is the reader"},
        {"atr=none", {"program", path}, 7, "Wrong ATR, please insert a Torvik Loader Card.",
         "the card gave no answer-to-reset"},
        {"ackloss=1", {"program", path}, 8, "Error programming Torvik Loader Card.", noSpeed},
        {"follow=0", {"program", path}, 4, "the card was not taken out within 30 s", ""},
        // A failure after the first stored block says which block failed and
        // which blocks the card holds now; without verification just the same.
        {"lose_ack_block=0x20:10", {"program", path}, 8, "Error programming Torvik Loader Card.",
         "block 0x00020 used up its write frames, the last: no_acknowledgement",
         "the card is partly programmed: blocks 0x00000 to 0x00010 written"},
        {"lose_ack_block=0x30:10", {"program", "-n", path}, 8, "Error programming Torvik Loader Card.",
         "block 0x00030 used up its write frames, the last: no_acknowledgement",
         "the card is partly programmed: blocks 0x00000 to 0x00020 written"},
        // A speed given for the card is proved on the first block.
        {"card=out,insert=100", {"program", "--speed", "30000", path}, 8, "Error programming Torvik Loader Card.",
         "block 0x00000 used up its write frames, the last: no_acknowledgement\ntorvik-loader: the card did not "
         "take the first block at 30000 baud (--speed); without --speed the program finds the card's speed"},
        {"badcell=5", {"program", "-n", "--speed", "34350", path}, 8, "Error programming Torvik Loader Card.",
         "block 0x00000 does not hold what was written: written 03 0A 11 18 1F 26 2D 34 3B 42 49 50 57 5E 65 6C, "
         "read back 03 0A 11 18 1F 27 2D 34 3B 42 49 50 57 5E 65 6C\ntorvik-loader: the card did not take the "
         "first block at 34350 baud (--speed); without --speed the program finds the card's speed",
         "the card is partly programmed: blocks 0x00000 to 0x00000 written"},
    };
    for (const Case& c : cases) {
        SimulatedRun run(c.sim);
        const RunResult r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.sim;
        // A port that cannot be opened also says which device it is and why,
        // before what the card holds.
        std::string err = r.err;
        if (c.status == 3) {
            const size_t at = err.find("\ntorvik-loader: Com2 is ");
            ASSERT_NE(at, std::string::npos) << err;
            err.erase(at, err.find('\n', at + 1) - at);
        }
        const std::string details = c.details.empty() ? "" : "torvik-loader: " + c.details + "\n";
        EXPECT_EQ(err, std::string("torvik-loader: ") + c.message + "\n" + details + "torvik-loader: " + c.written + "\n")
            << c.sim;
        // A failure is reported once, on stderr; a prompt that timed out was
        // shown as a prompt.
        EXPECT_FALSE(Has(Texts(r.out), c.message)) << c.sim << "\n" << r.out;
        if (c.status == 4 || c.status == 6) {
            const char* prompt =
                c.status == 4 ? "Please remove card from card slot." : "Please insert card in card slot.";
            EXPECT_TRUE(Has(Texts(r.out), prompt)) << c.sim << "\n" << r.out;
        }
        EXPECT_FALSE(run.PortOpen()) << c.sim;
    }

    // A cell that never stores right: the failure names its block, with the
    // bytes written and read back, in JSON too.
    const std::vector<uint8_t> image = Pattern(4096);
    const std::string trace = ::testing::TempDir() + "cli-cell-trace.txt";
    const RunResult bad =
        SimulatedRun("badcell=0x100")({"program", "--json", "--trace", trace, WriteImage("cli-cell.tvk", image)});
    EXPECT_EQ(bad.status, 8);
    // The trace names each failed write of the block with its cause, and
    // the outcome.
    std::ifstream in(trace);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* entry : {" phase read_pass\n", " block 0x00100 write 2 failed: read_back_differs\n",
                              " block 0x00100 write 10 failed: read_back_differs\n",
                              " outcome block: block 0x00100 does not hold what was written: written 03 0A "})
        EXPECT_NE(text.find(entry), std::string::npos) << entry;
    const std::string failure = "\"failure\":{\"kind\":\"block\",\"reason\":\"block 0x00100 does not hold what was "
                                "written: written 03 0A 11 18 1F 26 2D 34 3B 42 49 50 57 5E 65 6C, read back 02 0A 11 "
                                "18 1F 26 2D 34 3B 42 49 50 57 5E 65 6C\",\"block\":256,\"bytes_written\":\"03 0A 11 18 "
                                "1F 26 2D 34 3B 42 49 50 57 5E 65 6C\",\"bytes_read_back\":\"02 0A 11 18 1F 26 2D 34 3B "
                                "42 49 50 57 5E 65 6C\"}";
    EXPECT_NE(Lines(bad.out).back().find(failure), std::string::npos) << Lines(bad.out).back();
    EXPECT_EQ(image[0x100], 0x03);
    // No speed answered: the range in the failure.
    const RunResult none = SimulatedRun("window=20000-20500")({"program", "--json", path});
    EXPECT_NE(Lines(none.out).back().find("\"failure\":{\"kind\":\"no_speed\",\"reason\":\"" + std::string(noSpeed) +
                                          "\",\"first\":33600,\"last\":35600}"),
              std::string::npos)
        << Lines(none.out).back();
}

TEST(CliRun, SaysWhenTheDeviceWentAway)
{
    const std::string path = WriteImage("cli-vanish.tvk", Pattern(4096));
    const std::string out = ::testing::TempDir() + "cli-vanish.bin";
    const std::string gone = "torvik-loader: the reader went away: the simulated reader's port vanished\n";
    struct Case {
        const char* sim;
        const char* vanishAt;  // the port goes when this text is shown; "" by the sim option
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    // The reader is blamed, not the card, and the run ends at once: during
    // the calibration, during the block loop (the block on its way counts),
    // during the wait for the card, and while reading.
    const Case cases[] = {
        {"card=out,insert=100,vanish=4000", "", {"program", path}, 11, gone + "torvik-loader: nothing written\n"},
        {"card=out,insert=100", "Programming 10%", {"program", path}, 11,
         gone + "torvik-loader: the card is partly programmed: blocks 0x00000 to 0x001B0 written\n"},
        {"card=out,vanish=1500", "", {"program", path}, 11, gone + "torvik-loader: nothing written\n"},
        {"card=out,insert=100", "Reading 10%", {"read", "--length", "4096", out}, 11,
         gone + "torvik-loader: reading stopped at block 0x001B0\ntorvik-loader: nothing written to " + out + "\n"},
        {"card=out,insert=100", "Reading 10%", {"verify", path}, 11,
         gone + "torvik-loader: reading stopped at block 0x001B0\ntorvik-loader: nothing compared\n"},
        {"card=out,vanish=1500", "", {"check"}, 11, gone},
    };
    for (const Case& c : cases) {
        SimulatedRun run(c.sim);
        const std::string vanishAt = c.vanishAt;
        int64_t vanished = -1;
        run.stopWhen = [&run, &vanished, vanishAt](const std::string& shown) {
            if (vanished < 0 && !vanishAt.empty() && shown.find(vanishAt) != std::string::npos) {
                run.Reader().Vanish();
                vanished = run.Clock().PeekMicros();
            }
            return false;
        };
        const RunResult r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.sim << " " << c.args[0] << "\n" << r.err;
        EXPECT_EQ(r.err, c.err) << c.sim << " " << c.args[0];
        if (vanished >= 0) {
            EXPECT_LT(run.Clock().PeekMicros() - vanished, 1'000'000) << c.args[0];
        }
    }
}

TEST(CliRun, FilesAndDevicesAreCheckedBeforeTheReaderIsTouched)
{
    const std::string dir = ::testing::TempDir();
    const std::string good = WriteImage("cli-ok.tvk", Pattern(64));
    const std::string big = WriteImage("cli-large.tvk", Pattern(0x40000 + 100));
    struct Case {
        std::vector<std::string> args;
        std::string input;  // standard input
        std::string error;
    };
    const Case cases[] = {
        {{"program", dir + "no-such-image.tvk"}, "", dir + "no-such-image.tvk: cannot be read: No such file or directory"},
        {{"program", dir}, "", dir + ": cannot be read: Is a directory"},
        {{"verify", dir}, "", dir + ": cannot be read: Is a directory"},
        {{"program", WriteImage("cli-empty.tvk", {})}, "",
         dir + "cli-empty.tvk: 0 bytes; a card image needs more than 16 bytes"},
        {{"program", WriteImage("cli-16.tvk", Pattern(16))}, "",
         dir + "cli-16.tvk: 16 bytes; a card image needs more than 16 bytes"},
        {{"program", "-"}, "0123456789", "standard input: 10 bytes; a card image needs more than 16 bytes"},
        // Longer than the card: refused unless --truncate.
        {{"program", big}, "", big + ": 262244 bytes, more than the card's 262144 bytes (--truncate programs the first 262144)"},
        {{"verify", big}, "", big + ": 262244 bytes, more than the card's 262144 bytes"},
        {{"read", dir + "no-such-folder/card.bin"}, "",
         dir + "no-such-folder/card.bin: cannot be written: No such file or directory"},
        {{"program", "--device", "sim:colour=red", good}, "", "simulator option 'colour': unknown key"},
        // A network reader's address that cannot be right.
        {{"check", "--device", "rfc2217://reader-host"}, "",
         "rfc2217://reader-host: no port (rfc2217://HOST:PORT)"},
        {{"check", "--device", "rfc2217://reader-host:0"}, "",
         "rfc2217://reader-host:0: the port must be 1 to 65535, not 0"},
        {{"read", "--device", "rfc2217://reader-host:65536", dir + "cli-net.bin"}, "",
         "rfc2217://reader-host:65536: the port must be 1 to 65535, not 65536"},
        {{"verify", "--device", "rfc2217://:7000", good}, "", "rfc2217://:7000: no host (rfc2217://HOST:PORT)"},
        // The trace would overwrite the image, or the card read.
        {{"program", "--trace", good, good}, "", "--trace " + good + " is the image file; the trace needs a file of its own"},
        {{"verify", "--trace", dir + "./cli-ok.tvk", good}, "",
         "--trace " + dir + "./cli-ok.tvk is the image file; the trace needs a file of its own"},
        {{"read", "--trace", dir + "cli-out.bin", dir + "cli-out.bin"}, "",
         "--trace " + dir + "cli-out.bin is the output file; the trace needs a file of its own"},
        {{"verify", "--device", "sim:seed=1,seed=2", good}, "", "simulator option 'seed': given more than once"},
        {{"read", "--device", "sim:memory=" + good, dir + "cli-never.bin"}, "",
         "simulator option 'memory': " + good + ": 64 bytes; a card memory file holds 262144 (0x40000)"},
    };
    for (const Case& c : cases) {
        SimulatedRun run("card=out,insert=100");
        const RunResult r = run(c.args, c.input);
        EXPECT_EQ(r.status, 2) << c.error;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "torvik-loader: " + c.error + "\n");
        EXPECT_FALSE(run.Opened());
        // With --json the same refusal is one result object.
        std::vector<std::string> json = c.args;
        json.insert(json.begin() + 1, "--json");
        const RunResult j = run(json, c.input);
        EXPECT_EQ(j.status, 2) << c.error;
        EXPECT_EQ(j.out, "{\"event\":\"result\",\"command\":\"" + c.args[0] +
                             "\",\"result\":\"failed\",\"status\":2,\"message\":" + JsonString(c.error) +
                             ",\"elapsed\":0.000,\"version\":2,\"t\":0.000}\n");
    }
    // The image is still there, and nothing was left behind by the read.
    EXPECT_EQ(ReadCardImageFile(good, std::vector<uint8_t>(64).data(), 64), 64);
    EXPECT_FALSE(std::ifstream(dir + "cli-out.bin.part").is_open());

    // Folders that may not be entered or written are named as such (not for
    // root, whom the system lets through).
    if (geteuid() != 0) {
        const std::string closed = dir + "cli-closed";
        mkdir(closed.c_str(), 0700);
        WriteImage("cli-closed/in.tvk", Pattern(64));
        chmod(closed.c_str(), 0500);
        SimulatedRun run("");
        EXPECT_EQ(run({"read", closed + "/card.bin"}).err,
                  "torvik-loader: " + closed + "/card.bin: cannot be written: Permission denied\n");
        chmod(closed.c_str(), 0200);
        EXPECT_EQ(run({"program", closed + "/in.tvk"}).err,
                  "torvik-loader: " + closed + "/in.tvk: cannot be read: Permission denied\n");
        chmod(closed.c_str(), 0700);
    }

    // --truncate programs the first 0x40000 bytes; "-" reads standard input.
    SimulatedRun run("");
    EXPECT_EQ(run({"program", "--truncate", "-n", big}).status, 0);
    EXPECT_EQ(run.Reader().Memory()[0x3FFFF], Pattern(0x40000)[0x3FFFF]);
    std::string input(100, 'x');
    const RunResult piped = run({"program", "-n", "-"}, input);
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_NE(piped.out.find("Image (standard input): 100 bytes"), std::string::npos) << piped.out;
    EXPECT_EQ(run.Reader().Memory()[99], 'x');
    // Only the first 0x40000 bytes of a longer file are read.
    const std::vector<uint8_t> longer = Pattern(0x40000 + 100);
    std::vector<uint8_t> buffer(0x40000 + 100, 0xEE);
    EXPECT_EQ(ReadCardImageFile(big, buffer.data(), 0x40000), 0x40000);
    EXPECT_EQ(buffer[0x3FFFF], longer[0x3FFFF]);
    EXPECT_EQ(buffer[0x40000], 0xEE);
    EXPECT_EQ(ReadCardImageFile(WriteImage("cli-17.tvk", Pattern(17)), buffer.data(), 0x40000), 17);
}

TEST(CliArguments, ParsesCommandsAndOptions)
{
    struct Case {
        std::vector<std::string> args;
        const char* error;  // "" when accepted
        CliOptions::Action action;
        uint32_t port;
        const char* device;
        Verification verify;
        const char* image;
    };
    using A = CliOptions::Action;
    const Verification pass = Verification::AfterWriting;
    const Verification each = Verification::EachBlock;
    const Verification sample = Verification::Sampled;
    const Case cases[] = {
        {{"program", "a.tvk"}, "", A::Program, 1, "", pass, "a.tvk"},
        {{"program", "--port", "12", "--no-verify", "a.tvk"}, "", A::Program, 12, "", sample, "a.tvk"},
        {{"program", "--port=12", "-n", "a.tvk"}, "", A::Program, 12, "", sample, "a.tvk"},
        {{"program", "-p", "7", "-d", "sim:seed=2", "a.tvk"}, "", A::Program, 7, "sim:seed=2", pass, "a.tvk"},
        {{"program", "a.tvk", "--device=rfc2217://h:1"}, "", A::Program, 1, "rfc2217://h:1", pass, "a.tvk"},
        {{"program", "-"}, "", A::Program, 1, "", pass, "-"},
        {{"program", "--", "-odd.tvk"}, "", A::Program, 1, "", pass, "-odd.tvk"},
        {{"read", "--length", "0x100", "out.bin"}, "", A::Read, 1, "", pass, "out.bin"},
        {{"verify", "-p", "2", "a.tvk"}, "", A::Verify, 2, "", pass, "a.tvk"},
        {{"ports"}, "", A::Ports, 1, "", pass, ""},
        {{"--help"}, "", A::Help, 1, "", pass, ""},
        {{"help"}, "", A::Help, 1, "", pass, ""},
        {{"program", "--help"}, "", A::Help, 1, "", pass, ""},
        {{"--version"}, "", A::Version, 1, "", pass, ""},
        {{"-V"}, "", A::Version, 1, "", pass, ""},
        {{}, "no command given", A::Help, 1, "", pass, ""},
        {{"program", "--port", "3", "--device", "sim"}, "IMAGE is required", A::Program, 3, "sim", pass, ""},
        {{"burn"}, "unknown command 'burn'; the commands are program, read, verify, check and ports", A::Help, 1, "",
         pass, ""},
        {{"progam", "x.tvk"}, "unknown command 'progam'; did you mean 'program'?", A::Help, 1, "", pass, ""},
        {{"verfiy", "x.tvk"}, "unknown command 'verfiy'; did you mean 'verify'?", A::Help, 1, "", pass, ""},
        {{"--json", "Check"}, "unknown command 'Check'; did you mean 'check'?", A::Help, 1, "", pass, ""},
        {{"prog", "x.tvk"}, "unknown command 'prog'; did you mean 'program'?", A::Help, 1, "", pass, ""},
        {{"x.tvk"}, "unknown command 'x.tvk'; the commands are program, read, verify, check and ports", A::Help, 1,
         "", pass, ""},
        {{"program", "--port", "0", "a.tvk"}, "--port takes a port number from 1 to 255, not '0'", A::Program, 1, "",
         pass, ""},
        {{"program", "--port", "x1", "a.tvk"}, "--port takes a port number from 1 to 255, not 'x1'", A::Program, 1,
         "", pass, ""},
        {{"program", "-p", "1", "--port=2", "a.tvk"}, "--port given more than once", A::Program, 1, "", pass, ""},
        {{"program", "-d", "sim", "--device", "sim", "a.tvk"}, "--device given more than once", A::Program, 1, "",
         pass, ""},
        {{"program", "-n", "--no-verify", "a.tvk"}, "--no-verify given more than once", A::Program, 1, "", pass, ""},
        {{"program", "--device", "", "a.tvk"}, "--device needs a device name", A::Program, 1, "", pass, ""},
        {{"program", "-q", "-v", "a.tvk"}, "--quiet and --verbose cannot be given together", A::Program, 1, "", pass,
         ""},
        {{"read", "--length", "0x40001", "o"}, "--length takes a number of bytes from 1 to 0x40000, not '0x40001'",
         A::Read, 1, "", pass, ""},
        {{"program", "a.tvk", "b.tvk"}, "The following argument was not expected: b.tvk", A::Program, 1, "", pass,
         ""},
        {{"check", "-p", "3"}, "", A::Check, 3, "", pass, ""},
        {{"check", "--clock", "6.00"}, "", A::Check, 1, "", pass, ""},
        {{"program", "--clock=6", "a.tvk"}, "--clock takes 3.58, 3.68 or 6.00, not '6'", A::Program, 1, "", pass, ""},
        {{"check", "a.tvk"}, "The following argument was not expected: a.tvk", A::Check, 1, "", pass, ""},
        {{"read", "-"}, "", A::Read, 1, "", pass, "-"},
        {{"help", "read"}, "", A::Help, 1, "", pass, ""},
        {{"help", "burn"}, "help: unknown command 'burn'; the commands are program, read, verify, check and ports",
         A::Help, 1, "", pass, ""},
        {{"help", "raed"}, "help: unknown command 'raed'; did you mean 'read'?", A::Help, 1, "", pass, ""},
        {{"program", "--speed", "34350", "a.tvk"}, "", A::Program, 1, "", pass, "a.tvk"},
        {{"program", "--speed", "1199", "a.tvk"}, "--speed takes a speed in baud from 1200 to 230400, not '1199'",
         A::Program, 1, "", pass, ""},
        {{"program", "--verify=each", "a.tvk"}, "", A::Program, 1, "", each, "a.tvk"},
        {{"program", "--verify", "pass", "a.tvk"}, "", A::Program, 1, "", pass, "a.tvk"},
        {{"program", "--verify=all", "a.tvk"}, "--verify takes pass or each, not 'all'", A::Program, 1, "", pass, ""},
        {{"program", "-n", "--verify=each", "a.tvk"}, "--verify and --no-verify cannot be given together", A::Program,
         1, "", pass, ""},
        {{"program", "--verify=each", "--verify=pass", "a.tvk"}, "--verify given more than once", A::Program, 1, "",
         pass, ""},
        {{"program", "--speed", "0x8000", "a.tvk"}, "--speed takes a speed in baud from 1200 to 230400, not '0x8000'",
         A::Program, 1, "", pass, ""},
        {{"program", "-p", "1-3,7", "--count", "2", "a.tvk"}, "", A::Program, 1, "", pass, "a.tvk"},
        {{"check", "-p", "4,2"}, "", A::Check, 4, "", pass, ""},
        {{"program", "-p", "1,2,1", "a.tvk"}, "--port names Com1 twice", A::Program, 1, "", pass, ""},
        {{"program", "-p", "3-2", "a.tvk"}, "--port takes a port number from 1 to 255, not '3-2'", A::Program, 1, "",
         pass, ""},
        {{"read", "-p", "1,2", "o"}, "read takes one port, not '1,2'; several are for program and check", A::Read, 1,
         "", pass, ""},
        {{"program", "-p", "1,2", "-d", "sim", "a.tvk"},
         "--device names the device of one port; for several, set TORVIK_COM<N> for each", A::Program, 1, "", pass, ""},
        {{"program", "--count", "0", "a.tvk"}, "--count takes a number of cards from 1 to 1000000, not '0'",
         A::Program, 1, "", pass, ""},
        {{"program", "--calibrate=once", "a.tvk"},
         "--calibrate=once needs --repeat or --count: it keeps the first card's speed for the next", A::Program, 1, "",
         pass, ""},
        {{"program", "--repeat", "--calibrate=twice", "a.tvk"}, "--calibrate takes each or once, not 'twice'",
         A::Program, 1, "", pass, ""},
        {{"program", "--count", "2", "--calibrate=once", "--speed", "34350", "a.tvk"},
         "--calibrate and --speed cannot be given together", A::Program, 1, "", pass, ""},
    };
    for (const Case& c : cases) {
        const CliParse p = ParseCliArguments(c.args);
        const std::string label = c.args.empty() ? "(none)" : c.args.back();
        EXPECT_EQ(p.error, c.error) << label;
        if (!p.error.empty()) continue;
        EXPECT_EQ(p.options.action, c.action) << label;
        EXPECT_EQ(p.options.port, c.port) << label;
        EXPECT_EQ(p.options.device, c.device) << label;
        EXPECT_EQ(p.options.verify, c.verify) << label;
        EXPECT_EQ(p.options.image, c.image) << label;
    }
    EXPECT_EQ(ParseCliArguments({"read", "--length", "0x100", "o"}).options.length, 0x100);
    EXPECT_EQ(ParseCliArguments({"program", "--speed", "34350", "a"}).options.speed, 34350);
    EXPECT_EQ(ParseCliArguments({"program", "a"}).options.speed, 0);
    EXPECT_EQ(ParseCliArguments({"verify", "--clock=3.68", "a"}).options.clock, "3.68");
    EXPECT_EQ(ParseCliArguments({"read", "o"}).options.clock, "3.58");
    // "help CMD" is that command's own help.
    EXPECT_EQ(ParseCliArguments({"help", "read"}).options.helpText,
              ParseCliArguments({"read", "--help"}).options.helpText);
    EXPECT_NE(ParseCliArguments({"help", "check"}).options.helpText.find("speed window"), std::string::npos);
    // A usage error still knows the command and --json.
    const CliParse bad = ParseCliArguments({"verify", "--json", "--length", "1"});
    EXPECT_EQ(bad.command, "verify");
    EXPECT_TRUE(bad.json);
    EXPECT_FALSE(ParseCliArguments({"program", "--", "--json"}).json);
    EXPECT_TRUE(ParseCliArguments({"program", "--repeat", "--truncate", "a"}).options.repeat);
    // --count implies --repeat; several ports in the order given.
    const CliOptions line = ParseCliArguments({"program", "-p", "1-3,7", "--count", "2", "--calibrate=once", "a"}).options;
    EXPECT_EQ(line.ports, (std::vector<uint32_t>{1, 2, 3, 7}));
    EXPECT_TRUE(line.repeat && line.calibrateOnce);
    EXPECT_EQ(line.count, 2);
}

TEST(CliArguments, BadArgumentsGiveOneLineAndStatusTwo)
{
    SystemChain devices;
    const CliSystem system{devices.chain, {}};
    std::ostringstream out, err;
    EXPECT_EQ(RunLoaderCli({"program"}, out, err, CliTerminal{}, system), 2);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(Lines(err.str()).size(), 1u);
    EXPECT_EQ(err.str().rfind("torvik-loader: IMAGE is required", 0), 0u);

    std::ostringstream helpOut, helpErr;
    EXPECT_EQ(RunLoaderCli({"--help"}, helpOut, helpErr, CliTerminal{}, system), 0);
    EXPECT_EQ(helpOut.str(), CliUsage());
    // Each command has its own help.
    std::ostringstream readHelp;
    EXPECT_EQ(RunLoaderCli({"read", "--help"}, readHelp, helpErr, CliTerminal{}, system), 0);
    EXPECT_NE(readHelp.str().find("--length"), std::string::npos) << readHelp.str();
    EXPECT_EQ(readHelp.str().find("--repeat"), std::string::npos) << readHelp.str();
}

TEST(CliRun, ReadThenVerifyAFullCard)
{
    // A full card programmed, read back into a file and compared, by a card
    // whose read answers carry other bytes around the data every time.
    std::vector<uint8_t> image = Pattern(0x40000);
    const std::string path = WriteImage("cli-full.tvk", image);
    const std::string copy = ::testing::TempDir() + "cli-copy.bin";
    std::remove(copy.c_str());
    SimulatedRun run("answerbytes=random");
    ASSERT_EQ(run({"program", "-n", path}).status, 0);
    const RunResult read = run({"read", copy});
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(Texts(read.out).back().rfind("Card read into " + copy + ": 262144 bytes in ", 0), 0u) << read.out;
    EXPECT_TRUE(FileBytes(copy) == image);
    EXPECT_EQ(run({"verify", copy}).status, 0);

    // A full card's trace stays small enough to mail.
    const std::string trace = ::testing::TempDir() + "cli-full-trace.txt";
    SimulatedRun traced("");
    ASSERT_EQ(traced({"program", "-n", path}).status, 0);
    ASSERT_EQ(traced({"read", "--trace", trace, copy}).status, 0);
    std::ifstream written(trace, std::ios::binary | std::ios::ate);
    EXPECT_LT(static_cast<int64_t>(written.tellg()), 3'000'000);

    // One byte changed: the card differs there, and nothing was written.
    const int writes = run.Reader().BlockWrites();
    image[0x12345] ^= 0x40;
    const RunResult differs = run({"verify", "--json", WriteImage("cli-changed.tvk", image)});
    EXPECT_EQ(differs.status, 10);
    char summary[160];
    std::snprintf(summary, sizeof summary,
                  "\"differing_bytes\":1,\"first_differences\":[{\"address\":74565,\"card\":%d,\"image\":%d}],",
                  image[0x12345] ^ 0x40, image[0x12345]);
    EXPECT_NE(differs.out.find(summary), std::string::npos) << differs.out;
    // Two reads a block on a clean line.
    EXPECT_NE(differs.out.find("\"blocks_read\":16384,\"reads\":32768,"), std::string::npos) << differs.out;
    EXPECT_NE(Lines(differs.out).back().find("\"result\":\"differs\",\"status\":10,\"message\":\"the card differs "
                                             "from the image in 1 byte, first at 0x12345\""),
              std::string::npos)
        << differs.out;
    EXPECT_EQ(Lines(differs.err).at(0),
              "torvik-loader: the card differs from the image in 1 byte, first at 0x12345");
    char expected[64];
    std::snprintf(expected, sizeof expected, "  0x12345: card %02X, image %02X", image[0x12345] ^ 0x40,
                  image[0x12345]);
    EXPECT_EQ(Lines(differs.err).at(1), expected);
    EXPECT_EQ(run.Reader().BlockWrites(), writes);
}

TEST(CliRun, CardFileKeepsTheCardFromOneRunToTheNext)
{
    // Each run has a reader of its own, as each torvik-loader process has;
    // the card lives in the file between them.
    const std::vector<uint8_t> image = Pattern(5000);
    const std::string path = WriteImage("cli-card-image.tvk", image);
    const std::string card = ::testing::TempDir() + "cli-card.bin";
    const std::string copy = ::testing::TempDir() + "cli-card-copy.bin";
    std::remove(card.c_str());
    const std::string sim = "answerbytes=random,memory=" + card;
    EXPECT_EQ(SimulatedRun(sim)({"program", "-n", path}).status, 0);
    const RunResult read = SimulatedRun(sim)({"read", "--length", "5008", copy});
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(SimulatedRun(sim)({"verify", path}).status, 0);

    std::vector<uint8_t> padded = image;
    padded.resize(5008, 0x00);
    EXPECT_TRUE(FileBytes(copy) == padded);
    std::vector<uint8_t> expected(0x40000, 0xFF);
    std::copy(padded.begin(), padded.end(), expected.begin());
    EXPECT_TRUE(FileBytes(card) == expected);
    // Without the file every run starts with a blank card.
    EXPECT_EQ(SimulatedRun("")({"verify", path}).status, 10);
}

TEST(CliRun, ProgrammedMeansTheCardFileHoldsTheImage)
{
    // A card that misreads 0.1 % of the bytes it takes stores some writes on
    // other blocks behind a clean echo. Whatever the seed, a run that ends in
    // success leaves the card (its file, compared from outside the program)
    // holding the image; a run may fail, but honestly.
    std::vector<uint8_t> image(16384);
    std::mt19937 random(18);
    for (uint8_t& b : image) b = static_cast<uint8_t>(random());
    const std::string path = WriteImage("cli-misreads.tvk", image);
    const std::string card = ::testing::TempDir() + "cli-misreads.bin";
    int programmed = 0;
    for (int seed = 1; seed <= 5; ++seed) {
        std::remove(card.c_str());
        const int status =
            SimulatedRun("memory=" + card + ",cardnoise=0.001,seed=" + std::to_string(seed))({"program", path}).status;
        const std::vector<uint8_t> held = FileBytes(card);
        ASSERT_EQ(held.size(), 0x40000u) << seed;
        const bool holds = std::equal(image.begin(), image.end(), held.begin());
        EXPECT_TRUE(status == 0 || status == 8) << seed << ": exit status " << status;
        if (status == 0) {
            ++programmed;
            EXPECT_TRUE(holds) << "seed " << seed << ": success shown, but the card does not hold the image";
        }
    }
    RecordProperty("programmed", programmed);
    EXPECT_GT(programmed, 0);
}

TEST(CliRun, ReadIsWholeOrNothing)
{
    const std::string target = ::testing::TempDir() + "cli-part.bin";
    const std::string blank = WriteImage("cli-blank.tvk", std::vector<uint8_t>(0x1500, 0xFF));
    const std::string ff = "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF";
    const std::string fe = "FF FF FF FF FE FF FF FF FF FF FF FF FF FF FF FF";
    struct Case {
        const char* sim;
        std::vector<std::string> args;
        int status;
        std::string error;
    };
    const Case cases[] = {
        // Every read answer garbled: no two agree, not even in the
        // calibration's trials.
        {"readcorrupt=1", {"read", "--length", "64", target}, 9,
         "the card's loader answered at no speed from 33600 to 35600 baud (answer-to-reset 3B 54 4C 54 52 56 4B "
         "01); nothing written to "},
        // Every answer cut short: the bytes that never came are not zeros,
        // in the calibration's trials and in the reads alike.
        {"split=12:60000", {"read", "--length", "64", target}, 9,
         "the card's loader answered at no speed from 33600 to 35600 baud (answer-to-reset 3B 54 4C 54 52 56 4B "
         "01); nothing written to "},
        {"atr=none", {"read", target}, 7, "Wrong ATR, please insert a Torvik Loader Card."},
        {"readcorrupt=0.3", {"read", "--length", "4000", target}, 0, ""},
        // Block 0x014A0's second and third answers garbled alike: outvoted.
        {"readcorrupt=0.05,seed=5", {"read", "--length", "16384", target}, 0, ""},
        {"readflip=0x14A4:011", {"read", "--length", "16384", target}, 0, ""},
        {"readflip=0x14A4:011", {"verify", blank}, 0, ""},
        // Answers tied: neither value leads, for read or verify.
        {"readflip=0x14A4:0101010101010101", {"read", "--length", "16384", target}, 9,
         "the card gives no steady answer at block 0x014A0: 16 reads gave 8 times " + ff + ", 8 times " + fe +
             "; nothing written to " + target + "\n"},
        {"readflip=0x14A4:1010101010101010", {"verify", blank}, 9,
         "the card gives no steady answer at block 0x014A0: 16 reads gave 8 times " + fe + ", 8 times " + ff +
             "; nothing compared\n"},
    };
    for (const Case& c : cases) {
        std::remove(target.c_str());
        const RunResult r = SimulatedRun(c.sim)(c.args);
        EXPECT_EQ(r.status, c.status) << c.sim << r.err;
        std::ifstream file(target, std::ios::binary | std::ios::ate);
        EXPECT_EQ(file.is_open(), c.status == 0 && c.args[0] == "read") << c.sim;
        if (c.status == 0 && c.args[0] == "read") {
            // What the blank card holds, to the byte.
            EXPECT_TRUE(FileBytes(target) == std::vector<uint8_t>(std::stoul(c.args[2]), 0xFF)) << c.sim;
        }
        EXPECT_EQ(std::ifstream(target + ".part").is_open(), false) << c.sim;
        if (c.status != 0) {
            EXPECT_EQ(r.err.rfind(std::string("torvik-loader: ") + c.error, 0), 0u) << r.err;
        }
    }
}

TEST(CliRun, InterruptSaysWhatWasWritten)
{
    const std::string path = WriteImage("cli-stop.tvk", Pattern(0x2000));
    struct Case {
        const char* stopAt;  // the status text that sees Ctrl-C; "" after 256 image blocks
        std::vector<std::string> args;
        const char* err;
    };
    const Case cases[] = {
        {"Please remove card", {"program", path}, "torvik-loader: interrupted: nothing written\n"},
        {"Optimizing", {"program", path}, "torvik-loader: interrupted: nothing written\n"},
        // The block whose write was on its way counts: the card may hold it.
        {"", {"program", "-n", path},
         "torvik-loader: interrupted: the card is partly programmed: blocks 0x00000 to 0x01000 written\n"},
        {"Reading", {"read", ::testing::TempDir() + "cli-stopped.bin"},
         "torvik-loader: interrupted: nothing written to "},
        {"Optimizing", {"check"}, "torvik-loader: interrupted\n"},
    };
    for (const Case& c : cases) {
        SimulatedRun run("");
        const std::string stopAt = c.stopAt;
        run.stopWhen = [&run, stopAt](const std::string& out) {
            if (stopAt.empty()) return run.Reader().BlockWrites() >= 8 + 256;  // calibration + 0x1000
            return out.find(stopAt) != std::string::npos;
        };
        const RunResult r = run(c.args);
        EXPECT_EQ(r.status, 130) << c.stopAt;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
        EXPECT_FALSE(run.PortOpen());
        if (stopAt.empty()) {
            // The card holds the image up to the block before the one whose
            // write was cut short, and nothing beyond that one.
            const std::vector<uint8_t>& memory = run.Reader().Memory();
            const std::vector<uint8_t> image = Pattern(0x2000);
            EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0x1000, memory.begin()));
            EXPECT_FALSE(std::equal(image.begin() + 0x1010, image.begin() + 0x1020, memory.begin() + 0x1010));
        }
    }
}

TEST(CliRun, RepeatProgramsCardAfterCardUntilInterrupted)
{
    const std::vector<uint8_t> image = Pattern(300);
    const std::string path = WriteImage("cli-batch.tvk", image);
    SimulatedRun run("");
    run.stopWhen = [](const std::string& out) { return out.find("Card 3: ") != std::string::npos; };
    const RunResult r = run({"program", "--repeat", "-n", path});
    EXPECT_EQ(r.status, 130);
    const std::vector<std::string> lines = Texts(r.out);
    for (const char* card : {"Card 1: Card successfully programmed. (", "Card 2: Card successfully programmed. (",
                             "Card 3: Card successfully programmed. ("})
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [card](const std::string& l) { return l.rfind(card, 0) == 0; }),
                  1)
            << card << "\n" << r.out;
    EXPECT_EQ(lines.back().rfind("3 cards programmed, 0 failed, in ", 0), 0u) << r.out;
    EXPECT_EQ(r.err, "torvik-loader: interrupted: nothing written\n");
    // Each card was released from reset and written: 3 x 19 blocks at least.
    EXPECT_GE(run.Reader().BlockWrites(), 3 * 19);

    // Stopped in the middle of the second card: that card's line and the
    // stop say what it holds. In JSON one "card" object per card, then the
    // one result.
    SimulatedRun second("");
    // (Each calibration stores the identification block 8 times.)
    second.stopWhen = [&second](const std::string&) {
        return second.Reader().BlockWrites() >= (8 + 19) + (8 + 5);
    };
    const RunResult j = second({"program", "--repeat", "-n", "--json", path});
    EXPECT_EQ(j.status, 130);
    std::vector<std::string> objects;
    for (const std::string& line : Lines(j.out))
        for (const char* event : {"image", "card", "result"})
            if (line.find("{\"event\":\"" + std::string(event) + "\",") == 0) objects.push_back(line);
    ASSERT_EQ(objects.size(), 4u) << j.out;
    EXPECT_EQ(objects[0].rfind("{\"event\":\"image\",", 0), 0u) << objects[0];
    EXPECT_EQ(objects[1].rfind("{\"event\":\"card\",\"card\":1,\"result\":\"programmed\",\"status\":0,\"message\":"
                               "\"Card successfully programmed.\",\"written\":\"the card is programmed: blocks 0x00000 "
                               "to 0x00120 written\",\"first_block\":0,\"last_block\":288,\"speed\":34350,"
                               "\"blocks_written\":19,\"retries\":0,\"atr\":\"3B 54 4C 54 52 56 4B 01\",\"seconds\":",
                               0),
              0u)
        << objects[1];
    EXPECT_EQ(objects[2].rfind("{\"event\":\"card\",\"card\":2,\"result\":\"interrupted\",\"status\":130,\"message\":"
                               "\"interrupted: the card is partly programmed: blocks 0x00000 to 0x00050 written\",",
                               0),
              0u)
        << objects[2];
    EXPECT_EQ(objects[3].rfind("{\"event\":\"result\",\"command\":\"program\",\"result\":\"interrupted\",\"status\":130,"
                               "\"message\":\"interrupted: the card is partly programmed: blocks 0x00000 to 0x00050 written\","
                               "\"programmed\":1,\"failed\":1,\"written\":",
                               0),
              0u)
        << objects[3];
    EXPECT_EQ(j.err, "torvik-loader: interrupted: the card is partly programmed: blocks 0x00000 to 0x00050 written\n");
}

TEST(CliRun, CalibrateOnceKeepsTheSpeedWhileTheCardsTakeIt)
{
    // Three cards, one calibration: the later cards are programmed at the
    // first card's speed. When the second card's loader no longer takes it
    // (its window moved), that card is calibrated afresh, ends programmed,
    // and the third card keeps the new speed.
    const std::vector<uint8_t> image = Pattern(300);
    const std::string path = WriteImage("cli-once.tvk", image);
    struct Case {
        bool moveWindow;
        int trials;
        const char* cards[3];  // each card's speed and whether it calibrated
    };
    const Case cases[] = {
        {false, 21,
         {"\"speed\":34350,\"blocks_written\":19,", "\"speed\":34350,\"blocks_written\":19,",
          "\"speed\":34350,\"blocks_written\":19,"}},
        {true, 42,
         {"\"speed\":34350,\"blocks_written\":19,", "\"speed\":34700,\"blocks_written\":19,\"retries\":2,",
          "\"speed\":34700,\"blocks_written\":19,"}},
    };
    const bool calibrated[2][3] = {{true, false, false}, {true, true, false}};
    for (const Case& c : cases) {
        SimulatedRun run("");
        run.stopWhen = [&run, &c](const std::string& out) {
            if (c.moveWindow && out.find("\"event\":\"card\",\"card\":1,") != std::string::npos)
                run.Reader().Options().windowLow = 34400, run.Reader().Options().windowHigh = 35000;
            return false;
        };
        const RunResult r = run({"program", "--count", "3", "--calibrate=once", "-n", "--json", path});
        EXPECT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> lines = Lines(r.out);
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.rfind("{\"event\":\"trial\",", 0) == 0; }),
                  c.trials)
            << r.out;
        std::vector<std::string> cards;
        for (const std::string& line : lines)
            if (line.rfind("{\"event\":\"card\",", 0) == 0) cards.push_back(line);
        ASSERT_EQ(cards.size(), 3u) << r.out;
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_NE(cards[i].find("\"result\":\"programmed\""), std::string::npos) << cards[i];
            EXPECT_NE(cards[i].find(c.cards[i]), std::string::npos) << cards[i];
            EXPECT_NE(cards[i].find(std::string("\"calibrated\":") + (calibrated[c.moveWindow][i] ? "true" : "false")),
                      std::string::npos)
                << cards[i];
        }
        EXPECT_NE(lines.back().find("\"programmed\":3,\"failed\":0,"), std::string::npos) << lines.back();
        EXPECT_TRUE(std::equal(image.begin(), image.end(), run.Reader().Memory().begin()));
    }
}

TEST(CliRun, LineOfReadersProgramsEachStationsCards)
{
    // Four stations, two cards each, in one JSON stream; a station whose
    // reader goes away stops while the others go on; a stop ends them all.
    const std::vector<uint8_t> image = Pattern(300);
    const std::string path = WriteImage("cli-line.tvk", image);
    struct Case {
        std::map<uint32_t, std::string> sim;
        const char* stopAt;  // stop once the output holds this; "" never
        int status;
        int programmed[4];  // programmed and failed cards of each station
        int failed[4];
        std::vector<std::string> err;  // lines of stderr, in any order
    };
    const Case cases[] = {
        {{{1, ""}, {2, ""}, {3, ""}, {4, ""}}, "", 0, {2, 2, 2, 2}, {0, 0, 0, 0}, {}},
        // Com3's reader goes away while its second card is calibrated.
        {{{1, ""}, {2, ""}, {3, "vanish=24000"}, {4, ""}}, "", 11, {2, 2, 1, 2}, {0, 0, 1, 0},
         {"torvik-loader: Com3: the reader went away: the simulated reader's port vanished",
          "torvik-loader: Com3: nothing written", "torvik-loader: 4 ports: 7 cards programmed, 1 failed"}},
        // The first cards are never taken out: each station waits for it.
        {{{1, "card=out,insert=100"}, {2, "card=out,insert=100"}, {3, "card=out,insert=100"},
          {4, "card=out,insert=100"}},
         "\"card\":1,\"result\":\"programmed\"", 130, {1, 1, 1, 1}, {0, 0, 0, 0},
         {"torvik-loader: Com1: interrupted: nothing written", "torvik-loader: Com2: interrupted: nothing written",
          "torvik-loader: Com3: interrupted: nothing written", "torvik-loader: Com4: interrupted: nothing written",
          "torvik-loader: interrupted: 4 ports: 4 cards programmed, 0 failed"}},
    };
    for (const Case& c : cases) {
        SimulatedLine line(c.sim);
        const std::string stopAt = c.stopAt;
        if (!stopAt.empty()) line.stopWhen = [stopAt](const std::string& out) {
            // Every station has programmed its first card.
            size_t n = 0;
            for (size_t at = out.find(stopAt); at != std::string::npos; at = out.find(stopAt, at + 1)) ++n;
            return n >= 4;
        };
        const RunResult r = line({"program", "-p", "1,2,3,4", "--count", "2", "-n", "--json", path});
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(Lines(r.err).size(), c.err.size()) << r.err;
        for (const std::string& e : c.err) EXPECT_TRUE(Has(Lines(r.err), e)) << e << "\n" << r.err;
        const std::vector<std::string> lines = Lines(r.out);
        int cards = 0;
        for (const std::string& l : lines) {
            if (l.rfind("{\"event\":\"result\",", 0) == 0) continue;
            // Every object but the run's result names its station.
            EXPECT_NE(l.find(",\"station\":"), std::string::npos) << l;
            if (l.rfind("{\"event\":\"card\",", 0) == 0) ++cards;
        }
        for (uint32_t port = 1; port <= 4; ++port) {
            const std::string station = ",\"station\":" + std::to_string(port) + "}";
            std::string ended;
            for (const std::string& l : lines)
                if (l.rfind("{\"event\":\"station\",", 0) == 0 && l.find(station) != std::string::npos) ended = l;
            const std::string tally = "\"programmed\":" + std::to_string(c.programmed[port - 1]) + ",\"failed\":" +
                                      std::to_string(c.failed[port - 1]) + ",";
            EXPECT_NE(ended.find(tally), std::string::npos) << port << ": " << ended;
        }
        int expected = 0;
        for (int i = 0; i < 4; ++i) expected += c.programmed[i] + c.failed[i];
        EXPECT_EQ(cards, expected) << r.out;
        EXPECT_EQ(lines.back().rfind("{\"event\":\"result\",\"command\":\"program\",", 0), 0u) << lines.back();
        EXPECT_NE(lines.back().find("\"status\":" + std::to_string(c.status) + ","), std::string::npos)
            << lines.back();
        EXPECT_NE(lines.back().find("\"stations\":[1,2,3,4]"), std::string::npos) << lines.back();
    }

    // Several ports are for program and check; the summary line counts
    // every station's cards.
    SimulatedLine line({{2, ""}, {5, ""}});
    const RunResult check = line({"check", "-p", "2,5"});
    EXPECT_EQ(check.status, 0) << check.err;
    for (const char* port : {"Com2: ", "Com5: "})
        EXPECT_NE(check.out.find(std::string(port) + "The card answers:"), std::string::npos) << check.out;
    EXPECT_EQ(Lines(check.out).back().rfind("2 ports: 2 cards answer, 0 failed, in ", 0), 0u) << check.out;
    SimulatedLine wrongCard({{2, ""}, {5, "atr=3B02"}});
    const RunResult one = wrongCard({"check", "-p", "2,5"});
    EXPECT_EQ(one.status, 7) << one.err;
    EXPECT_EQ(Lines(one.out).back().rfind("2 ports: 1 card answers, 1 failed, in ", 0), 0u) << one.out;
}

TEST(CliRun, JsonQuietVerboseAndTrace)
{
    const std::string path = WriteImage("cli-json.tvk", Pattern(100));
    const std::string trace = ::testing::TempDir() + "cli-trace.txt";
    // The trace names the device the port resolves to.
    setenv("TORVIK_COM1", "sim", 1);
    const RunResult json = SimulatedRun("")({"program", "--json", "-n", "--trace", trace, path});
    unsetenv("TORVIK_COM1");
    EXPECT_EQ(json.status, 0) << json.err;
    for (const std::string& line : Lines(json.out))
        EXPECT_TRUE(line.front() == '{' && line.back() == '}') << line;
    EXPECT_NE(json.out.find("{\"event\":\"image\",\"image_size\":100,\"sha256\":\"" +
                            Sha256Hex(Pattern(100).data(), 100) + "\",\"t\":"),
              std::string::npos)
        << json.out;
    // Each status event carries the colour shown with its text: the prompts
    // blink, starting yellow.
    for (const char* event : {"{\"event\":\"status\",\"text\":\"Programming 0%\",\"colour\":\"none\",\"progress\":0,",
                              "{\"event\":\"status\",\"text\":\"Please remove card from card slot.\",\"colour\":\"yellow\",",
                              "{\"event\":\"status\",\"text\":\"Please insert card in card slot.\",\"colour\":\"yellow\","})
        EXPECT_NE(json.out.find(event), std::string::npos) << event << "\n" << json.out;
    EXPECT_EQ(json.out.find("Card successfully programmed.\",\"colour"), std::string::npos) << json.out;
    // Stored blocks, and no write frame beyond one per block.
    EXPECT_NE(json.out.find("\"speed\":34350,\"blocks_written\":7,\"retries\":0,"), std::string::npos) << json.out;
    EXPECT_EQ(Lines(json.out).back().rfind("{\"event\":\"result\",\"command\":\"program\",\"result\":\"programmed\","
                                           "\"status\":0,\"message\":\"Card successfully programmed.\",\"written\":"
                                           "\"the card is programmed: blocks 0x00000 to 0x00060 written\","
                                           "\"first_block\":0,\"last_block\":96,\"elapsed\":",
                                           0),
              0u)
        << json.out;
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'),
              static_cast<long>(Lines(json.out).size()));
    // The result says when the run began and how long each phase took.
    for (const char* member : {",\"version\":2,\"started\":\"20", "\"phases\":{\"reader_setup\":", ",\"writing\":0.0"})
        EXPECT_NE(Lines(json.out).back().find(member), std::string::npos) << member << "\n" << Lines(json.out).back();

    // The trace: a header, line settings, modem lines, break, both
    // directions with the echo on its own line, the status texts and the
    // result.
    std::ifstream in(trace);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.rfind("# torvik-loader ", 0), 0u) << text.substr(0, 400);
    for (const std::string& entry : {"\n# command: torvik-loader program --json -n --trace " + trace + " " + path + "\n",
                                    std::string("\n# device: Com1 = sim (TORVIK_COM1)\n"),
                                    "\n# image: " + path + ", 100 bytes, SHA-256 " + Sha256Hex(Pattern(100).data(), 100) + "\n",
                                    std::string("\n# date: 20"), std::string(" open Com1 = sim\n"),
                                    std::string(" settings 9600 8N1 "), std::string(" modem cd=0 "),
                                    std::string(" break 1\n"), std::string(" tx 2A 41\n"), std::string(" echo\n"),
                                    std::string(" rx 06\n"), std::string(" tx 01 02 EA\n"), std::string(" settings 34"),
                                    std::string("M2 "), std::string(" status Please remove card from card slot.\n"),
                                    std::string(" colour yellow\n"), std::string(" status Programming 0%\n"),
                                    std::string(" result programmed, exit status 0: Card successfully programmed.\n"),
                                    std::string(" close\n"),
                                    // What the run did, between the bytes.
                                    std::string(" phase calibration\n"), std::string(" prompt: put a card in\n"),
                                    std::string(" ring=0 (slot empty)\n"), std::string(" ring=0 (card in)\n"),
                                    std::string(" answer-to-reset 3B 54 4C 54 52 56 4B 01\n"),
                                    std::string(" trial 1 of 21: 33600 baud, no_answer\n"),
                                    std::string(" trial 21 of 21: 35600 baud, no_answer\n"),
                                    std::string(" speed 34350 baud: passed 34000 to 34700 (8 of 21 trials)\n"),
                                    std::string(" phase writing\n"), std::string(" outcome success\n")})
        EXPECT_NE(text.find(entry), std::string::npos) << entry;
    size_t passed = 0;
    for (size_t at = text.find(" baud, passed\n"); at != std::string::npos; at = text.find(" baud, passed\n", at + 1))
        ++passed;
    EXPECT_EQ(passed, 8u);
    // An answer never starts with the echo of its frame.
    EXPECT_EQ(text.find(" rx 2A 41"), std::string::npos);
    EXPECT_EQ(text.find(" rx FF 00 13"), std::string::npos);

    const RunResult quiet = SimulatedRun("")({"program", "-q", "-n", path});
    EXPECT_EQ(Lines(quiet.out).size(), 1u) << quiet.out;
    const RunResult verbose = SimulatedRun("")({"program", "-v", "-n", path});
    EXPECT_TRUE(Has(Texts(verbose.out), "Programming 14%")) << verbose.out;  // every percent
    EXPECT_EQ(verbose.out.rfind("Port 1: ", 0), 0u) << verbose.out;
}

// The program itself, in real time, on simulated cards whose loaders take
// different speeds: it programs each at the middle of the card's window, not
// at the calibration's fallback of 34600, and a card clocked at 6.00 MHz
// within its window there. They run side by side.
TEST(CliRun, ProgramsAtTheMiddleOfTheCardsWindowInRealTime)
{
    const std::string path = WriteImage("cli-speed.tvk", Pattern(2048));
    struct Row {
        const char* device;
        int speed;
        const char* clock = nullptr;  // --clock, when given
    };
    const Row rows[] = {
        {"sim", 34350},
        {"sim:window=34000-34300", 34150},
        {"sim", 57450, "6.00"},  // the card's window at 6.00 MHz, 57000-57900
        {"sim:latency=16,openlines=1,window=34800-35100", 34950},
    };
    Subprocess runs[std::size(rows)];
    for (size_t i = 0; i < std::size(rows); ++i) {
        std::vector<std::string> args = {TORVIK_CLI, "program", "--json", path};
        if (rows[i].clock != nullptr) args.insert(args.end() - 1, {"--clock", rows[i].clock});
        ASSERT_TRUE(runs[i].Start(args, {std::string("TORVIK_COM1=") + rows[i].device}));
    }
    for (size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(runs[i].Wait(120'000), 0) << rows[i].device << "\n" << runs[i].Stderr();
        EXPECT_NE(runs[i].Stdout().find("\"speed\":" + std::to_string(rows[i].speed) + ","), std::string::npos)
            << rows[i].device << "\n" << runs[i].Stdout();
        const std::string clock = rows[i].clock != nullptr ? rows[i].clock : "3.58";
        EXPECT_NE(runs[i].Stdout().find("\"clock\":\"" + clock + "\""), std::string::npos)
            << rows[i].device << "\n" << runs[i].Stdout();
    }
}

TEST(CliRun, CheckSpeedAndReadToStandardOutput)
{
    // check: the speed window, and not a byte written to the card.
    SimulatedRun run("");
    RunResult r = run({"check"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Texts(r.out).back(),
              "The card answers: answer-to-reset 3B 54 4C 54 52 56 4B 01; its loader answers from 34000 to 34700 "
              "baud (8 of 21 speeds), programming would use 34350 baud");
    EXPECT_EQ(run.Reader().BlockWrites(), 0);
    r = run({"check", "--json"});
    EXPECT_NE(r.out.find("{\"event\":\"summary\",\"atr\":\"3B 54 4C 54 52 56 4B 01\",\"lowest\":34000,"
                         "\"highest\":34700,\"passed\":8,\"trials\":21,\"speed\":34350,"),
              std::string::npos)
        << r.out;
    EXPECT_NE(Lines(r.out).back().find("\"result\":\"answers\",\"status\":0,"), std::string::npos) << r.out;
    // A loader that answers at none of the speeds.
    r = SimulatedRun("window=20000-20100")({"check"});
    EXPECT_EQ(r.status, 9);
    EXPECT_EQ(r.err, "torvik-loader: the card's loader answered at no speed from 33600 to 35600 baud "
                     "(answer-to-reset 3B 54 4C 54 52 56 4B 01)\n");

    // --speed: no calibration, and the first block read back even with -n.
    const std::vector<uint8_t> image = Pattern(600);
    const std::string path = WriteImage("cli-speed.tvk", image);
    SimulatedRun fixed("");
    r = fixed({"program", "-n", "--speed", "34200", "--json", path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("Optimizing"), std::string::npos);
    EXPECT_NE(r.out.find("\"speed\":34200,\"blocks_written\":38,\"retries\":0,"), std::string::npos) << r.out;
    const std::vector<sim::WriteRecord>& frames = fixed.Reader().Writes();
    const auto start = std::find_if(frames.begin(), frames.end(), [](const sim::WriteRecord& w) {
        return w.bytes == std::vector<uint8_t>{0x01, 0x02, 0xEA};
    });
    ASSERT_TRUE(start != frames.end() && frames.end() - start > 2);
    EXPECT_EQ(start[1].settings.BaudRate, 34200u);
    EXPECT_EQ(start[2].bytes, (std::vector<uint8_t>{0xFE, 0x00, 0x03, 0x00, 0x00, 0x00, 0xAA}));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), fixed.Reader().Memory().begin()));

    // read -: the card on standard output, the messages on stderr.
    r = fixed({"read", "--length", "600", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(image.begin(), image.end()));
    EXPECT_NE(r.err.find("Card read into standard output: 600 bytes in "), std::string::npos) << r.err;
    EXPECT_FALSE(std::ifstream("-").is_open());
}

TEST(CliRun, ReadChecksItsOutputBeforeTheReader)
{
    // OUT.part is made before the reader is touched, and gone afterwards
    // whatever happened; an older OUT stays until the read is complete.
    const std::string target = ::testing::TempDir() + "cli-keep.bin";
    std::ofstream(target) << "older";
    SimulatedRun run("readcorrupt=1");
    run.stopWhen = [&target](const std::string&) {
        EXPECT_TRUE(std::ifstream(target + ".part").is_open());
        return false;
    };
    EXPECT_EQ(run({"read", "--length", "64", target}).status, 9);
    EXPECT_FALSE(std::ifstream(target + ".part").is_open());
    std::ifstream in(target);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), "older");
}

TEST(CliPorts, ListsTheComVariables)
{
    setenv("TORVIK_COM7", "sim:seed=3", 1);
    SystemChain devices;
    const CliSystem system{devices.chain, {}};
    std::ostringstream out, err, json;
    EXPECT_EQ(RunLoaderCli({"ports"}, out, err, CliTerminal{}, system), 0);
    // With --json one object per device and variable, then the result.
    EXPECT_EQ(RunLoaderCli({"ports", "--json"}, json, err, CliTerminal{}, system), 0);
    unsetenv("TORVIK_COM7");
    EXPECT_NE(out.str().find("Com7  TORVIK_COM7=sim:seed=3\n"), std::string::npos) << out.str();
    EXPECT_EQ(err.str(), "");
    EXPECT_NE(json.str().find("{\"event\":\"port\",\"variable\":\"TORVIK_COM7\",\"value\":\"sim:seed=3\",\"com\":[7],"
                              "\"t\":"),
              std::string::npos)
        << json.str();
    EXPECT_EQ(Lines(json.str()).back().rfind("{\"event\":\"result\",\"command\":\"ports\",\"result\":\"listed\","
                                             "\"status\":0,",
                                             0),
              0u)
        << json.str();

    // A machine whose only serial port is built in gets told where a reader
    // would appear; one with an adapter does not.
    const std::string hint = "\nNo USB serial adapter found: is the reader plugged in?\n"
                             "It appears as /dev/ttyUSB0 (Com1) or /dev/ttyACM0 (--device /dev/ttyACM0,\n"
                             "or TORVIK_COM1=/dev/ttyACM0 for every run).\n"
                             "Without a reader, --device sim tries the program on the built-in simulated reader.\n";
    PortEntry builtIn;
    builtIn.device = "/dev/ttyS0";
    PortEntry usb;
    usb.device = "/dev/ttyUSB0";
    usb.usbId = "10c4:ea60";
    usb.driver = "cp210x";
    usb.com = {1};
    usb.note = "a Silicon Labs CP210x: ...";
    usb.adapter = true;
    PortEntry variable;
    variable.variable = "TORVIK_COM2";
    variable.value = "sim";
    variable.com = {2};
    const std::pair<std::vector<PortEntry>, std::string> lists[] = {
        {{builtIn}, "/dev/ttyS0  (no Com number)\n" + hint},
        {{}, "No serial devices found.\n" + hint},
        {{builtIn, usb, variable},
         "/dev/ttyS0  (no Com number)\n/dev/ttyUSB0  usb 10c4:ea60  driver cp210x  Com1\n"
         "    note: a Silicon Labs CP210x: ...\nCom2  TORVIK_COM2=sim\n"},
    };
    for (const auto& [devices, text] : lists) {
        std::ostringstream listed;
        WritePortList(listed, devices);
        EXPECT_EQ(listed.str(), text);
    }
}

// Adapters whose chip rounds to standard speeds are named as such, by their
// product text where it tells the chip and honestly where it does not.
TEST(CliPorts, NotesAdaptersThatCannotMakeTheReadersSpeeds)
{
    struct Case {
        const char* driver;
        const char* usbId;
        const char* product;
        const char* note;  // its start; "" for none
    };
    const Case cases[] = {
        {"cp210x", "10c4:ea60", "CP2102 USB to UART Bridge Controller", "a CP2102 cannot program the card"},
        {"cp210x", "10c4:ea60", "CP2101 USB to UART Bridge Controller", "a CP2101 cannot program the card"},
        {"cp210x", "10c4:ea71", "", "a CP2108 cannot program the card"},
        {"cp210x", "10c4:ea70", "CP2105 Dual USB to UART Bridge Controller", "a CP2105: its first port can"},
        {"cp210x", "10c4:ea60", "CP2102N USB to UART Bridge Controller", ""},
        {"cp210x", "10c4:ea60", "CP2104 USB to UART Bridge Controller", ""},
        {"cp210x", "10c4:ea60", "Reader", "a Silicon Labs CP210x: CP2101, CP2102 and CP2103 cannot"},
        {"", "", "Silicon Labs CP210x USB to UART Bridge (COM3)", "a Silicon Labs CP210x:"},
        {"cdc_acm", "10c4:0003", "EFM8 CDC", ""},
        {"ftdi_sio", "0403:6001", "FT232R USB UART", ""},
        {"pl2303", "067b:2303", "USB-Serial Controller", ""},
    };
    for (const Case& c : cases) {
        const std::string note = AdapterNote(c.driver, c.usbId, c.product);
        EXPECT_EQ(note.rfind(c.note, 0), 0u) << c.product << ": " << note;
        EXPECT_EQ(note.empty(), *c.note == '\0') << c.product << ": " << note;
        if (!note.empty()) {
            EXPECT_NE(note.find("7200 baud for the reader's 5728 and 38400"), std::string::npos) << note;
        }
    }
}

TEST(Sha256, KnownDigests)
{
    const std::string million(1'000'000, 'a');
    const std::pair<std::string, const char*> cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [input, digest] : cases)
        EXPECT_EQ(Sha256Hex(reinterpret_cast<const uint8_t*>(input.data()), input.size()), digest)
            << input.size();
}

TEST(TerminalView, PlainLinesPerMessageWithTheirTime)
{
    std::ostringstream out;
    double now = 0;
    TerminalView view(out, ViewSettings{}, 4, Verification::Sampled, [&now] { return now; });
    EXPECT_EQ(view.ComPortIndex(), 4);
    EXPECT_FALSE(view.VerifyChecked());
    const auto percent = [&view](RunPhase phase, int p) { view.Progress({phase, p, 100, false}); };
    view.RunBegun();
    view.PhaseEntered(RunPhase::CardInsertion);
    view.Prompt({true, SlotPrompt::Step::Asked});
    view.Prompt({true, SlotPrompt::Step::FirstHalf});
    view.Prompt({true, SlotPrompt::Step::SecondHalf});
    now = 12.34;
    view.PhaseEntered(RunPhase::Writing);
    for (const int p : {40, 41, 41, 49, 52, 59}) percent(RunPhase::Writing, p);
    view.PhaseEntered(RunPhase::Calibration);
    view.TrialBegun({1, 21, 33600});
    view.TrialBegun({2, 21, 33700});
    view.PhaseEntered(RunPhase::ReadPass);
    for (const int p : {0, 5, 99}) percent(RunPhase::ReadPass, p);
    view.PhaseEntered(RunPhase::ReadPass);
    percent(RunPhase::ReadPass, 0);
    RunOutcome failed;
    failed.kind = FailureKind::Block;
    view.Ended(failed);
    view.Finish();
    // No colour codes, no bar, no failure; a percentage every 10 %, and
    // again in each pass; a running count of stars once.
    EXPECT_EQ(out.str(), "   0.0s  Please insert card in card slot.\n  12.3s  Programming 40%\n"
                         "  12.3s  Programming 52%\n  12.3s  Optimizing *\n  12.3s  Verifying 0%\n"
                         "  12.3s  Verifying 99%\n  12.3s  Verifying 0%\n");
    EXPECT_EQ(view.Text(), "Error programming Torvik Loader Card.");
    EXPECT_EQ(view.Color(), clRed);
}

TEST(TerminalView, JsonStatusCarriesTheColourShownWithIt)
{
    std::ostringstream out;
    ViewSettings settings;
    settings.style = ViewSettings::Style::Json;
    TerminalView view(out, settings, 0, Verification::AfterWriting, [] { return 1.5; });
    view.SetCard(2, true);
    view.PhaseEntered(RunPhase::CardInsertion);
    view.Prompt({true, SlotPrompt::Step::Asked});
    view.Prompt({true, SlotPrompt::Step::FirstHalf});
    view.Turn();
    view.Prompt({true, SlotPrompt::Step::SecondHalf});  // the blink: no new event
    view.Turn();
    view.Prompt({true, SlotPrompt::Step::Answered});
    view.PhaseEntered(RunPhase::AnswerToReset);
    view.TrialEnded({3, 21, 33800, TrialVerdict::NotAcknowledged});
    view.Progress({RunPhase::Writing, 7, 100, false});
    view.Finish();
    EXPECT_EQ(out.str(), "{\"event\":\"phase\",\"phase\":\"card_insertion\",\"t\":1.500,\"card\":2}\n"
                         "{\"event\":\"status\",\"text\":\"Please insert card in card slot.\",\"colour\":\"yellow\","
                         "\"progress\":0,\"elapsed\":1.500,\"t\":1.500,\"card\":2,\"phase\":\"card_insertion\"}\n"
                         "{\"event\":\"phase\",\"phase\":\"answer_to_reset\",\"t\":1.500,\"card\":2}\n"
                         "{\"event\":\"card_start\",\"t\":1.500,\"card\":2}\n"
                         "{\"event\":\"trial\",\"trial\":3,\"of\":21,\"speed\":33800,\"verdict\":\"not_acknowledged\","
                         "\"t\":1.500,\"card\":2}\n"
                         "{\"event\":\"status\",\"text\":\"Programming 7%\",\"colour\":\"none\",\"progress\":7,"
                         "\"elapsed\":1.500,\"t\":1.500,\"card\":2,\"phase\":\"answer_to_reset\"}\n");
}

TEST(RunRecord, KeepsWhatTheCardHoldsAndTheTimeOfEachPhase)
{
    // What programming told it about the blocks: the range stored, and the
    // block of a write cut short when the run was stopped.
    double now = 0;
    RunRecord record([&now] { return now; });
    EXPECT_EQ(record.WrittenText(false), "nothing written");
    record.BlockSent(0x20);
    EXPECT_EQ(record.WrittenText(false), "nothing written");
    EXPECT_EQ(record.WrittenText(true), "the card is partly programmed: blocks 0x00020 to 0x00020 written");
    record.BlockStored(0x20);
    record.BlockSent(0x10);
    record.BlockSent(0x10);
    record.BlockStored(0x10);
    record.BlockSent(0x30);
    EXPECT_EQ(record.WrittenText(false), "the card is partly programmed: blocks 0x00010 to 0x00020 written");
    EXPECT_EQ(record.WrittenText(true), "the card is partly programmed: blocks 0x00010 to 0x00030 written");
    EXPECT_EQ(record.Written().frames, 4);
    EXPECT_EQ(record.Written().stored, 2);
    // The phases' seconds add up over the cards; the writing of the card in
    // hand is its own.
    record.PhaseEntered(RunPhase::Writing);
    now = 2.0;
    record.PhaseEntered(RunPhase::ReadPass);
    now = 3.5;
    record.StartCard();
    EXPECT_EQ(record.WrittenText(true), "nothing written");
    EXPECT_FALSE(record.CardBegan());
    record.PhaseEntered(RunPhase::AnswerToReset);
    EXPECT_TRUE(record.CardBegan());
    record.PhaseEntered(RunPhase::Writing);
    now = 4.0;
    record.Ended(RunOutcome{});
    EXPECT_DOUBLE_EQ(record.Seconds(RunPhase::Writing), 2.5);
    EXPECT_DOUBLE_EQ(record.Seconds(RunPhase::ReadPass), 1.5);
    EXPECT_DOUBLE_EQ(record.CardWritingSeconds(), 0.5);
}

TEST(TerminalView, LiveLineStaysWithinTheTerminal)
{
    struct Case {
        bool ansi;
        int width;
        const char* expected;  // the output after two texts and a failure
    };
    const Case cases[] = {
        {true, 80,
         "\r[--------------------] Optimizing *\033[K\r[##########----------] Optimizing *\033[K"
         "\r[##########----------] \033[1;33mOptimizing *\033[0m\033[K"
         "\r[##########----------] \033[1;33mProgramming 50%\033[0m\033[K\r\033[K"},
        // TERM=dumb: no escape codes, blanks clear the rest of the line.
        {false, 40,
         "\r[--------------------] Optimizing *    \r[##########----------] Optimizing *    "
         "\r[##########----------] Programming 50% \r                                       \r"},
        // A narrow terminal: the text is cut, never wrapped.
        {true, 30, "\r[--------------------] Optimi\033[K\r[##########----------] Optimi\033[K"
                   "\r[##########----------] \033[1;33mOptimi\033[0m\033[K"
                   "\r[##########----------] \033[1;33mProgra\033[0m\033[K\r\033[K"},
    };
    for (const Case& c : cases) {
        std::ostringstream out;
        ViewSettings settings;
        settings.style = ViewSettings::Style::Live;
        settings.colour = true;
        settings.ansi = c.ansi;
        settings.width = c.width;
        TerminalView view(out, settings, 0, Verification::EachBlock, [] { return 0.0; });
        // The bar moves with the calibration's trials too.
        view.PhaseEntered(RunPhase::Calibration);
        view.TrialBegun({1, 2, 34000});
        view.TrialEnded({1, 2, 34000, TrialVerdict::Passed});
        view.Prompt({false, SlotPrompt::Step::FirstHalf});
        view.Progress({RunPhase::Writing, 50, 100, false});
        RunOutcome failed;
        failed.kind = FailureKind::FramesUsedUp;
        view.Ended(failed);
        view.Finish();
        EXPECT_EQ(out.str(), c.expected) << c.width;
    }
}

TEST(TerminalView, LineRowFillsItsBarOnlyForACardThatWasProgrammed)
{
    for (const FailureKind kind : {FailureKind::None, FailureKind::Block}) {
        std::ostringstream out;
        ViewSettings settings;
        settings.style = ViewSettings::Style::Row;
        TerminalView view(out, settings, 0, Verification::Sampled, [] { return 0.0; });
        ViewRow last;
        view.SetRow([&last](const ViewRow& row) { last = row; });
        view.PhaseEntered(RunPhase::Writing);
        view.Progress({RunPhase::Writing, 2032, 2048, false});
        RunOutcome outcome;
        outcome.kind = kind;
        view.Ended(outcome);
        EXPECT_EQ(last.progress, kind == FailureKind::None ? 100 : 99);
    }
}

TEST(StationOutput, TableRowsStayWithinTheTerminalAndLinesGoAboveIt)
{
    std::ostringstream out, err;
    StationOutput::TableSettings table;
    table.on = true;
    table.colour = true;
    table.width = 70;
    StationOutput output(out, err, {1, 12}, table);
    output.Row(0, {RunPhase::Writing, 45, "Programming 45%", clBtnFace, 34350});
    output.Row(1, {RunPhase::CardInsertion, 0, "Please insert card in card slot.", clYellow, 0});
    output.Tally(1, 3, 1);
    output.Redraw();
    // A station's line: the table is erased, the line written, the table
    // drawn again below it. Lines come whole, whatever pieces they were
    // written in.
    {
        LineStream station([&output](const std::string& line) { output.Out("Com12: " + line); });
        station << "Card 4: " << "Card successfully programmed." << '\n' << "unfinished";
    }
    output.Ended(0);
    output.Close();
    const std::string table1 = "port  phase        progress     speed done failed  status\n"
                               "Com1  writing      [####------]  34350    0      0  Programming 45%\n"
                               "Com12 put in       [----------]      -    3      1  \033[1;33mPlease insert car\033[0m\n";
    const std::string erase = "\033[3A\r\033[J";
    EXPECT_EQ(out.str(), table1 + erase + "Com12: Card 4: Card successfully programmed.\n" + table1 + erase +
                             "Com12: unfinished\n" + table1 + erase +
                             std::regex_replace(table1, std::regex("Com1  writing  "), "Com1  ended    "));
    EXPECT_EQ(err.str(), "");
}
