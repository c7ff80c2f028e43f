// torvik-loader in-process on the simulated reader and the virtual clock:
// each outcome of a Program run with its message and exit status, the card
// image rules, the arguments, and what the terminal view draws.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <iterator>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CliArguments.h"
#include "cli/LoaderCli.h"
#include "cli/Sha256.h"
#include "cli/TerminalView.h"
#include "programming/CardImageFile.h"
#include "platform/Platform.h"
#include "serial/Scom.h"
#include "simulator/Simulator.h"

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

// A simulated reader on port 1 on the virtual clock, and runs of the program
// against it. `stopWhen` is asked at every wait; true stops the run as
// Ctrl-C does.
class SimulatedRun {
public:
    explicit SimulatedRun(const std::string& simOptions)
        : clock_(1'000'000'000, 20), opener_(clock_, sim::SimOptions::Parse(simOptions))
    {
    }
    RunResult operator()(const std::vector<std::string>& args, const std::string& input = "")
    {
        out_.str("");
        std::ostringstream err;
        std::istringstream in(input);
        ScopedPlatform platform(clock_, opener_, [this] {
            if (stopWhen && stopWhen(out_.str())) Platform().abortRequested = true;
        });
        SerialChannel.ResetState();
        const int status = RunLoaderCli(args, out_, err, CliTerminal{}, &in);
        return {status, out_.str(), err.str()};
    }
    sim::SimulatorOpener& Opener() { return opener_; }
    std::function<bool(const std::string& out)> stopWhen;

private:
    VirtualClock clock_;
    sim::SimulatorOpener opener_;
    std::ostringstream out_;
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
    EXPECT_EQ(r.out.find("Programming and verifying 1%"), std::string::npos) << r.out;
    for (const char* text : {"Please insert card in card slot.", "Wait Setting Phoenix 3.58MHz.",
                             "Programming and verifying 0%", "Optimizing *"})
        EXPECT_TRUE(Has(lines, text)) << text << "\n" << r.out;
    // The result once, with the time taken and the throughput.
    EXPECT_EQ(lines.back().rfind("Card successfully programmed. 1000 bytes in ", 0), 0u) << r.out;
    EXPECT_NE(lines.back().find(" bytes/s)"), std::string::npos) << r.out;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Card successfully programmed."), 0);
    // The card holds the image, padded with zeros to whole blocks.
    const std::vector<uint8_t>& memory = run.Opener().Reader().Memory();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), memory.begin()));
    EXPECT_EQ(memory[1000], 0x00);
    EXPECT_EQ(memory[1007], 0x00);
    EXPECT_FALSE(SerialChannel.IsOpen);

    // The default simulated reader: a person takes the card out and puts it
    // back when the program asks.
    EXPECT_EQ(SimulatedRun("")({"program", path}).status, 0);

    // Without verification the progress says so.
    const RunResult quick = SimulatedRun("card=out,insert=100")({"program", "--no-verify", path});
    EXPECT_EQ(quick.status, 0);
    EXPECT_TRUE(Has(Texts(quick.out), "Programming 0%")) << quick.out;
    EXPECT_EQ(quick.out.find("verifying"), std::string::npos);
}

TEST(CliRun, EachFailureHasItsMessageAndExitStatus)
{
    const std::string path = WriteImage("cli-fail.tvk", Pattern(64));
    struct Case {
        const char* sim;
        std::vector<std::string> args;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {"card=out,insert=100", {"program", "--port", "2", path}, 3, "Could not open comport!"},
        {"card=in", {"program", path}, 4, "Please remove card from card slot."},
        {"card=out,silent=1", {"program", path}, 5, "Error setting Phoenix mode."},
        {"card=out", {"program", path}, 6, "Please insert card in card slot."},
        {"card=out,insert=100,atr=3B544C55AA", {"program", path}, 7,
         "Wrong ATR, please insert a Torvik Loader Card."},
        {"card=out,insert=100,ackloss=1", {"program", path}, 8, "Error programming Torvik Loader Card."},
        // The default person takes the card out and puts it back when asked,
        // so each fault shows its own message given alone.
        {"silent=1", {"program", path}, 5, "Error setting Phoenix mode."},
        {"atr=none", {"program", path}, 7, "Wrong ATR, please insert a Torvik Loader Card."},
        {"ackloss=1", {"program", path}, 8, "Error programming Torvik Loader Card."},
        {"follow=0", {"program", path}, 4, "Please remove card from card slot."},
    };
    for (const Case& c : cases) {
        const RunResult r = SimulatedRun(c.sim)(c.args);
        EXPECT_EQ(r.status, c.status) << c.sim;
        EXPECT_EQ(r.err, std::string("torvik-loader: ") + c.message + "\n") << c.sim;
        // A failure is reported once, on stderr; a prompt that timed out was
        // shown as a prompt.
        const bool prompt = c.status == 4 || c.status == 6;
        EXPECT_EQ(Has(Texts(r.out), c.message), prompt) << c.sim << "\n" << r.out;
        EXPECT_FALSE(SerialChannel.IsOpen) << c.sim;
    }
}

TEST(CliRun, SaysWhenTheDeviceWentAway)
{
    const std::string path = WriteImage("cli-vanish.tvk", Pattern(4096));
    const RunResult r = SimulatedRun("card=out,insert=100,vanish=4000")({"program", path});
    EXPECT_EQ(r.status, 8) << r.err;
    EXPECT_EQ(r.err, "torvik-loader: Error programming Torvik Loader Card.\n"
                     "torvik-loader: the simulated reader's port vanished\n");
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
        {{"program", big}, "", big + ": 262244 bytes, more than the card's 0x40000 (--truncate programs the first 0x40000)"},
        {{"verify", big}, "", big + ": 262244 bytes, more than the card's 0x40000"},
        {{"read", dir + "no-such-folder/card.bin"}, "",
         dir + "no-such-folder/card.bin: cannot be written: No such file or directory"},
        {{"program", "--device", "sim:colour=red", good}, "", "simulator option 'colour': unknown key"},
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
        EXPECT_EQ(run.Opener().OpenCount(), 0);
    }

    // --truncate programs the first 0x40000 bytes; "-" reads standard input.
    SimulatedRun run("");
    EXPECT_EQ(run({"program", "--truncate", "-n", big}).status, 0);
    EXPECT_EQ(run.Opener().Reader().Memory()[0x3FFFF], Pattern(0x40000)[0x3FFFF]);
    std::string input(100, 'x');
    const RunResult piped = run({"program", "-n", "-"}, input);
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_NE(piped.out.find("Image (standard input): 100 bytes"), std::string::npos) << piped.out;
    EXPECT_EQ(run.Opener().Reader().Memory()[99], 'x');
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
        bool verify;
        const char* image;
    };
    using A = CliOptions::Action;
    const Case cases[] = {
        {{"program", "a.tvk"}, "", A::Program, 1, "", true, "a.tvk"},
        {{"program", "--port", "12", "--no-verify", "a.tvk"}, "", A::Program, 12, "", false, "a.tvk"},
        {{"program", "--port=12", "-n", "a.tvk"}, "", A::Program, 12, "", false, "a.tvk"},
        {{"program", "-p", "7", "-d", "sim:seed=2", "a.tvk"}, "", A::Program, 7, "sim:seed=2", true, "a.tvk"},
        {{"program", "a.tvk", "--device=rfc2217://h:1"}, "", A::Program, 1, "rfc2217://h:1", true, "a.tvk"},
        {{"program", "-"}, "", A::Program, 1, "", true, "-"},
        {{"program", "--", "-odd.tvk"}, "", A::Program, 1, "", true, "-odd.tvk"},
        {{"read", "--length", "0x100", "out.bin"}, "", A::Read, 1, "", true, "out.bin"},
        {{"verify", "-p", "2", "a.tvk"}, "", A::Verify, 2, "", true, "a.tvk"},
        {{"ports"}, "", A::Ports, 1, "", true, ""},
        {{"--help"}, "", A::Help, 1, "", true, ""},
        {{"help"}, "", A::Help, 1, "", true, ""},
        {{"program", "--help"}, "", A::Help, 1, "", true, ""},
        {{"--version"}, "", A::Version, 1, "", true, ""},
        {{"-V"}, "", A::Version, 1, "", true, ""},
        {{}, "no command given", A::Help, 1, "", true, ""},
        {{"program", "--port", "3", "--device", "sim"}, "IMAGE is required", A::Program, 3, "sim", true, ""},
        {{"burn"}, "The following argument was not expected: burn", A::Help, 1, "", true, ""},
        {{"program", "--port", "0", "a.tvk"}, "--port takes a port number from 1 to 255, not '0'", A::Program, 1, "",
         true, ""},
        {{"program", "--port", "x1", "a.tvk"}, "--port takes a port number from 1 to 255, not 'x1'", A::Program, 1,
         "", true, ""},
        {{"program", "-p", "1", "--port=2", "a.tvk"}, "--port given more than once", A::Program, 1, "", true, ""},
        {{"program", "-d", "sim", "--device", "sim", "a.tvk"}, "--device given more than once", A::Program, 1, "",
         true, ""},
        {{"program", "-n", "--no-verify", "a.tvk"}, "--no-verify given more than once", A::Program, 1, "", true, ""},
        {{"program", "--device", "", "a.tvk"}, "--device needs a device name", A::Program, 1, "", true, ""},
        {{"program", "-q", "-v", "a.tvk"}, "--quiet and --verbose cannot be given together", A::Program, 1, "", true,
         ""},
        {{"read", "--length", "0x40001", "o"}, "--length takes a number of bytes from 1 to 0x40000, not '0x40001'",
         A::Read, 1, "", true, ""},
        {{"program", "a.tvk", "b.tvk"}, "The following argument was not expected: b.tvk", A::Program, 1, "", true,
         ""},
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
    EXPECT_TRUE(ParseCliArguments({"program", "--repeat", "--truncate", "a"}).options.repeat);
}

TEST(CliArguments, BadArgumentsGiveOneLineAndStatusTwo)
{
    std::ostringstream out, err;
    EXPECT_EQ(RunLoaderCli({"program"}, out, err, CliTerminal{}), 2);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(Lines(err.str()).size(), 1u);
    EXPECT_EQ(err.str().rfind("torvik-loader: IMAGE is required", 0), 0u);

    std::ostringstream helpOut, helpErr;
    EXPECT_EQ(RunLoaderCli({"--help"}, helpOut, helpErr, CliTerminal{}), 0);
    EXPECT_EQ(helpOut.str(), CliUsage());
    // Each command has its own help.
    std::ostringstream readHelp;
    EXPECT_EQ(RunLoaderCli({"read", "--help"}, readHelp, helpErr, CliTerminal{}), 0);
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
    std::ifstream in(copy, std::ios::binary);
    const std::vector<uint8_t> back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(back == image);
    EXPECT_EQ(run({"verify", copy}).status, 0);

    // One byte changed: the card differs there, and nothing was written.
    const int writes = run.Opener().Reader().BlockWrites();
    image[0x12345] ^= 0x40;
    const RunResult differs = run({"verify", WriteImage("cli-changed.tvk", image)});
    EXPECT_EQ(differs.status, 10);
    EXPECT_EQ(Lines(differs.err).at(0),
              "torvik-loader: the card differs from the image in 1 byte, first at 0x12345");
    char expected[64];
    std::snprintf(expected, sizeof expected, "  0x12345: card %02X, image %02X", image[0x12345] ^ 0x40,
                  image[0x12345]);
    EXPECT_EQ(Lines(differs.err).at(1), expected);
    EXPECT_EQ(run.Opener().Reader().BlockWrites(), writes);
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
    auto contents = [](const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    EXPECT_TRUE(contents(copy) == padded);
    std::vector<uint8_t> expected(0x40000, 0xFF);
    std::copy(padded.begin(), padded.end(), expected.begin());
    EXPECT_TRUE(contents(card) == expected);
    // Without the file every run starts with a blank card.
    EXPECT_EQ(SimulatedRun("")({"verify", path}).status, 10);
}

TEST(CliRun, ReadIsWholeOrNothing)
{
    const std::string target = ::testing::TempDir() + "cli-part.bin";
    struct Case {
        const char* sim;
        std::vector<std::string> args;
        int status;
        const char* error;
    };
    const Case cases[] = {
        // Every read answer garbled: no two agree.
        {"readcorrupt=1", {"read", "--length", "64", target}, 9,
         "the card gives no steady answer at block 0x00000; nothing written to "},
        {"atr=none", {"read", target}, 7, "Wrong ATR, please insert a Torvik Loader Card."},
        {"readcorrupt=0.3", {"read", "--length", "4000", target}, 0, ""},
    };
    for (const Case& c : cases) {
        std::remove(target.c_str());
        const RunResult r = SimulatedRun(c.sim)(c.args);
        EXPECT_EQ(r.status, c.status) << c.sim << r.err;
        std::ifstream file(target, std::ios::binary | std::ios::ate);
        EXPECT_EQ(file.is_open(), c.status == 0) << c.sim;
        if (c.status == 0) {
            EXPECT_EQ(file.tellg(), 4000) << c.sim;
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
        {"Please remove card", {"program", path}, "torvik-loader: interrupted: nothing written yet\n"},
        {"Optimizing", {"program", path}, "torvik-loader: interrupted: nothing written yet\n"},
        {"", {"program", "-n", path}, "torvik-loader: interrupted: stopped at block 0x010"},
        {"Reading", {"read", ::testing::TempDir() + "cli-stopped.bin"},
         "torvik-loader: interrupted: nothing written to "},
    };
    for (const Case& c : cases) {
        SimulatedRun run("");
        const std::string stopAt = c.stopAt;
        run.stopWhen = [&run, stopAt](const std::string& out) {
            if (stopAt.empty()) return run.Opener().Reader().BlockWrites() >= 21 + 256;  // calibration + 0x1000
            return out.find(stopAt) != std::string::npos;
        };
        const RunResult r = run(c.args);
        EXPECT_EQ(r.status, 130) << c.stopAt;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
        if (stopAt.empty()) {
            EXPECT_NE(r.err.find(" of 0x02000: the card is partly programmed\n"), std::string::npos) << r.err;
        }
        EXPECT_FALSE(SerialChannel.IsOpen);
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
    EXPECT_EQ(r.err, "torvik-loader: interrupted\n");
    // Each card was released from reset and written: 3 x 19 blocks at least.
    EXPECT_GE(run.Opener().Reader().BlockWrites(), 3 * 19);
}

TEST(CliRun, JsonQuietVerboseAndTrace)
{
    const std::string path = WriteImage("cli-json.tvk", Pattern(100));
    const std::string trace = ::testing::TempDir() + "cli-trace.txt";
    const RunResult json = SimulatedRun("")({"program", "--json", "-n", "--trace", trace, path});
    EXPECT_EQ(json.status, 0) << json.err;
    for (const std::string& line : Lines(json.out))
        EXPECT_TRUE(line.front() == '{' && line.back() == '}') << line;
    EXPECT_NE(json.out.find("{\"event\":\"image\",\"image_size\":100,\"sha256\":\"" +
                            Sha256Hex(Pattern(100).data(), 100) + "\"}"),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("{\"event\":\"status\",\"text\":\"Programming 0%\",\"colour\":\"none\",\"progress\":0,"),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"blocks_written\":7,\"retries\":0,"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"speed\":34"), std::string::npos) << json.out;
    EXPECT_NE(Lines(json.out).back().find("{\"event\":\"result\",\"result\":\"programmed\",\"status\":0,"),
              std::string::npos)
        << json.out;

    // The trace: line settings, modem lines, break and both directions.
    std::ifstream in(trace);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* entry : {" open .\\COM1\n", " settings 9600 8N1 ", " modem cd=0 ", " break 1\n",
                              " tx 2A 41\n", " rx 06\n", " tx 01 02 EA\n", " settings 34", "M2 ",
                              " close\n"})
        EXPECT_NE(text.find(entry), std::string::npos) << entry;

    const RunResult quiet = SimulatedRun("")({"program", "-q", "-n", path});
    EXPECT_EQ(Lines(quiet.out).size(), 1u) << quiet.out;
    const RunResult verbose = SimulatedRun("")({"program", "-v", "-n", path});
    EXPECT_TRUE(Has(Texts(verbose.out), "Programming 14%")) << verbose.out;  // every percent
    EXPECT_EQ(verbose.out.rfind("Port 1: ", 0), 0u) << verbose.out;
}

TEST(CliPorts, ListsTheComVariables)
{
    setenv("TORVIK_COM7", "sim:seed=3", 1);
    std::ostringstream out, err;
    EXPECT_EQ(RunLoaderCli({"ports"}, out, err, CliTerminal{}), 0);
    unsetenv("TORVIK_COM7");
    EXPECT_NE(out.str().find("Com7  TORVIK_COM7=sim:seed=3\n"), std::string::npos) << out.str();
    EXPECT_EQ(err.str(), "");
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
    TerminalView view(out, ViewSettings{}, 4, false, [&now] { return now; });
    EXPECT_EQ(view.ComPortIndex(), 4);
    EXPECT_FALSE(view.VerifyChecked());
    view.SetText("Please insert card in card slot.");
    view.SetColor(clYellow);
    view.SetColor(clRed);
    now = 12.34;
    view.SetProgress(40);
    view.SetText("Programming 40%");
    view.SetText("Programming 41%");
    view.SetText("Error programming Torvik Loader Card.");
    view.SetColor(clRed);
    view.Finish();
    // No colour codes, no bar, no percent by percent, no failure.
    EXPECT_EQ(out.str(), "   0.0s  Please insert card in card slot.\n  12.3s  Programming 40%\n");
    EXPECT_EQ(view.Text(), "Error programming Torvik Loader Card.");
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
        TerminalView view(out, settings, 0, true, [] { return 0.0; });
        view.SetText("Optimizing *");
        view.SetProgress(50);
        view.SetColor(clYellow);
        view.SetText("Programming 50%");
        view.SetText("Error programming Torvik Loader Card.");
        view.SetColor(clRed);
        view.Finish();
        EXPECT_EQ(out.str(), c.expected) << c.width;
    }
    EXPECT_EQ(TerminalView::MessageHead("Programming 41%"), "Programming");
    EXPECT_EQ(TerminalView::MessageHead("Optimizing ***"), "Optimizing");
    EXPECT_EQ(TerminalView::MessageHead("Wait Setting Phoenix 3.58MHz."), "Wait Setting Phoenix 3.58MHz.");
}
