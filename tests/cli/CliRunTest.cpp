// torvik-loader in-process on the simulated reader and the virtual clock:
// each outcome of a Program run with its message and exit status, the card
// image rules, the arguments, and what the terminal view draws.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/CliArguments.h"
#include "cli/LoaderCli.h"
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

// A simulated reader on port 1 on the virtual clock, and runs of the program
// against it.
class SimulatedRun {
public:
    explicit SimulatedRun(const std::string& simOptions)
        : clock_(1'000'000'000, 20), opener_(clock_, sim::SimOptions::Parse(simOptions))
    {
    }
    RunResult operator()(const std::vector<std::string>& args)
    {
        ScopedPlatform platform(clock_, opener_);
        SerialChannel.ResetState();
        std::ostringstream out, err;
        const int status = RunLoaderCli(args, out, err, CliTerminal{});
        return {status, out.str(), err.str()};
    }
    sim::SimulatorOpener& Opener() { return opener_; }

private:
    VirtualClock clock_;
    sim::SimulatorOpener opener_;
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
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Please remove card from card slot.");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Please insert card in card slot."), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Wait Setting Phoenix 3.58MHz."), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Programming and verifying 0%"), lines.end());
    EXPECT_EQ(lines.back(), "Card successfully programmed.");
    // Each text once, however often the run set it.
    for (size_t i = 1; i < lines.size(); ++i) EXPECT_NE(lines[i], lines[i - 1]);
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
    EXPECT_NE(quick.out.find("\nProgramming 0%\n"), std::string::npos) << quick.out;
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
        const std::vector<std::string> lines = Lines(r.out);
        ASSERT_FALSE(lines.empty()) << c.sim;
        EXPECT_EQ(lines.back(), c.message) << c.sim;
        EXPECT_FALSE(SerialChannel.IsOpen) << c.sim;
    }
}

TEST(CliRun, ImageFilesAreCheckedBeforeTheReaderIsTouched)
{
    struct Case {
        std::string path;
        const char* error;
    };
    const Case cases[] = {
        {::testing::TempDir() + "no-such-image.tvk", "cannot be read"},
        {::testing::TempDir(), "cannot be read"},  // a folder
        {WriteImage("cli-empty.tvk", {}), "0 bytes; a card image needs more than 16 bytes"},
        {WriteImage("cli-16.tvk", Pattern(16)), "16 bytes; a card image needs more than 16 bytes"},
    };
    for (const Case& c : cases) {
        SimulatedRun run("card=out,insert=100");
        const RunResult r = run({"program", c.path});
        EXPECT_EQ(r.status, 2) << c.path;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "torvik-loader: " + c.path + ": " + c.error + "\n");
        EXPECT_EQ(run.Opener().OpenCount(), 0);
    }

    // Only the first 0x40000 bytes of a longer file are read.
    std::vector<uint8_t> big = Pattern(0x40000 + 100);
    std::vector<uint8_t> buffer(0x40000 + 100, 0xEE);
    EXPECT_EQ(ReadCardImageFile(WriteImage("cli-big.tvk", big), buffer.data(), 0x40000), 0x40000);
    EXPECT_EQ(buffer[0x3FFFF], big[0x3FFFF]);
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
        {{"program", "a.tvk", "--device", "rfc2217://h:1"}, "", A::Program, 1, "rfc2217://h:1", true, "a.tvk"},
        {{"program", "--port", "3", "--device", "sim"}, "no card image file given", A::Program, 3, "sim", true, ""},
        {{"program", "--", "-odd.tvk"}, "", A::Program, 1, "", true, "-odd.tvk"},
        {{"--help"}, "", A::Help, 1, "", true, ""},
        {{"program", "--help"}, "", A::Help, 1, "", true, ""},
        {{"--version"}, "", A::Version, 1, "", true, ""},
        {{}, "no command given", A::Help, 1, "", true, ""},
        {{"burn", "a.tvk"}, "unknown command 'burn'", A::Help, 1, "", true, ""},
        {{"program", "--port", "0", "a.tvk"}, "--port takes a port number from 1 to 255, not '0'", A::Program, 1, "",
         true, ""},
        {{"program", "--port", "x1", "a.tvk"}, "--port takes a port number from 1 to 255, not 'x1'", A::Program, 1,
         "", true, ""},
        {{"program", "a.tvk", "--port"}, "--port needs a value", A::Program, 1, "", true, "a.tvk"},
        {{"program", "--device", "", "a.tvk"}, "--device needs a device name", A::Program, 1, "", true, ""},
        {{"program", "--verify", "a.tvk"}, "unknown option '--verify'", A::Program, 1, "", true, ""},
        {{"program", "a.tvk", "b.tvk"}, "only one card image can be programmed at a time ('b.tvk')", A::Program, 1,
         "", true, "a.tvk"},
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
}

TEST(CliArguments, BadArgumentsGiveOneLineAndStatusTwo)
{
    std::ostringstream out, err;
    EXPECT_EQ(RunLoaderCli({"program"}, out, err, CliTerminal{}), 2);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(Lines(err.str()).size(), 1u);
    EXPECT_EQ(err.str().rfind("torvik-loader: no card image file given", 0), 0u);

    std::ostringstream helpOut, helpErr;
    EXPECT_EQ(RunLoaderCli({"--help"}, helpOut, helpErr, CliTerminal{}), 0);
    EXPECT_EQ(helpOut.str(), CliUsage());
}

TEST(TerminalView, PlainOutputPrintsEachNewTextOnce)
{
    std::ostringstream out;
    TerminalView view(out, false, true, 4, false);
    EXPECT_EQ(view.ComPortIndex(), 4);
    EXPECT_FALSE(view.VerifyChecked());
    view.SetText("Please insert card in card slot.");
    view.SetColor(clYellow);
    view.SetColor(clRed);
    view.SetText("Please insert card in card slot.");
    view.SetProgress(40);
    view.SetText("Programming 40%");
    view.SetText("");
    view.Finish();
    EXPECT_EQ(out.str(), "Please insert card in card slot.\nProgramming 40%\n");  // no colour codes, no bar
    EXPECT_EQ(view.Color(), clRed);
    EXPECT_EQ(view.Text(), "");
}

TEST(TerminalView, LiveLineRedrawsProgressAndStartsALinePerMessage)
{
    std::ostringstream out;
    TerminalView view(out, true, true, 0, true);
    view.SetText("Optimizing *");
    view.SetText("Optimizing **");
    view.SetText("Programming and verifying 0%");
    view.SetProgress(50);
    view.SetText("Programming and verifying 50%");
    view.SetText("Error programming Torvik Loader Card.");
    view.SetColor(clRed);
    view.Finish();
    const std::string s = out.str();
    // Stars and percentages overwrite their line; each message ends one.
    const std::string optimizing = "\r[--------------------]   0%  Optimizing **\033[K\n";
    EXPECT_NE(s.find(optimizing), std::string::npos) << s;
    EXPECT_NE(s.find("\r[##########----------]  50%  Programming and verifying 50%\033[K"), std::string::npos) << s;
    EXPECT_NE(s.find("50%  Programming and verifying 50%\033[K\n"), std::string::npos) << s;
    EXPECT_NE(s.find("\033[1;31mError programming Torvik Loader Card.\033[0m\033[K\n"), std::string::npos) << s;
    EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 3);

    EXPECT_EQ(TerminalView::MessageHead("Programming 41%"), "Programming");
    EXPECT_EQ(TerminalView::MessageHead("Optimizing ***"), "Optimizing");
    EXPECT_EQ(TerminalView::MessageHead("Wait Setting Phoenix 3.58MHz."), "Wait Setting Phoenix 3.58MHz.");
}
