// torvik-loader as a program, against the simulated reader served over
// RFC 2217 by rfc2217-sim-server on 127.0.0.1: a whole Program run over the
// network, failures over the network, and the program's own command line.
// These run in real time (a full run takes some 15 seconds).

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "Subprocess.h"
#include "support/FileBytes.h"

namespace {

std::string WriteImage(const std::string& name, size_t size)
{
    const std::string path = ::testing::TempDir() + name;
    std::ofstream file(path, std::ios::binary);
    for (size_t i = 0; i < size; ++i) file.put(static_cast<char>(i * 13 + 1));
    return path;
}

// The simulated reader behind the network server; the server ends with the
// test.
class SimServer {
public:
    explicit SimServer(const std::string& simOptions)
    {
        if (!process_.Start({TORVIK_SIM_SERVER, "--sim", simOptions})) return;
        const std::string line = process_.ReadLine(10'000);
        const auto at = line.find("rfc2217://");
        if (at != std::string::npos) address_ = line.substr(at);
    }
    const std::string& Address() const { return address_; }
    void Kill() { process_.Kill(); }
    // Sends `signal`; the server's exit status (-1: it had not ended in 5 s).
    int Stop(int signal)
    {
        process_.Signal(signal);
        return process_.Wait(5'000);
    }
    // Ends the server and returns what it logged, once it has logged
    // `awaited` (a client's end reaches the server a moment after the
    // client's own), or after 5 s without it.
    std::string Log(const std::string& awaited = {})
    {
        if (!awaited.empty()) process_.WaitForStderr(awaited, 5'000);
        process_.Kill();
        process_.Wait(5'000);
        return process_.Stderr();
    }

private:
    Subprocess process_;
    std::string address_;
};

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result RunLoader(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                 int timeoutMs = 120'000)
{
    Subprocess p;
    std::vector<std::string> argv{TORVIK_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!p.Start(argv, env)) return {-2, "", "cannot start"};
    const int status = p.Wait(timeoutMs);
    return {status, p.Stdout(), p.Stderr()};
}

std::string LastLine(const std::string& text)
{
    std::string t = text;
    while (!t.empty() && t.back() == '\n') t.pop_back();
    const auto nl = t.rfind('\n');
    return nl == std::string::npos ? t : t.substr(nl + 1);
}

}  // namespace

TEST(CliNetwork, ProgramsTheCardThroughANetworkReaderNamedByPort)
{
    SimServer server("card=in,remove=800,insert=4000");
    ASSERT_FALSE(server.Address().empty());
    const std::string image = WriteImage("net-run.tvk", 300);
    const Result r = RunLoader({"program", "--port", "3", "--no-verify", image}, {"TORVIK_COM3=" + server.Address()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    // Piped: one line per message with the seconds since the start.
    for (const char* message : {"s  Please remove card from card slot.\n", "s  Please insert card in card slot.\n",
                                "s  Wait Setting Phoenix 3.58MHz.\n", "s  Optimizing *\n", "s  Programming 0%\n"})
        EXPECT_NE(r.out.find(message), std::string::npos) << message << r.out;
    // A line every 10 %, not every percent.
    EXPECT_NE(r.out.find("s  Programming 52%\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Programming 57%"), std::string::npos) << r.out;
    EXPECT_EQ(LastLine(r.out).rfind("Card successfully programmed. 300 bytes in ", 0), 0u) << r.out;
    const std::string log = server.Log(" connection 1 closed\n");
    EXPECT_NE(log.find(" connection 1 opened\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" connection 1 closed\n"), std::string::npos) << log;
}

TEST(CliNetwork, ProgramReadAndVerifyOneCardOnOneServer)
{
    // A production line's round: one card programmed, read back and
    // verified by three runs against one server, the simulated person
    // taking the card out and putting it back at every run's prompts. The
    // card lives on in the server's card file.
    const std::string card = ::testing::TempDir() + "net-card.bin";
    std::remove(card.c_str());
    SimServer server("memory=" + card);
    ASSERT_FALSE(server.Address().empty());
    std::vector<uint8_t> image(16 * 1024);
    uint32_t x = 2024;
    for (uint8_t& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    const std::string path = ::testing::TempDir() + "net-round.tvk";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                static_cast<std::streamsize>(image.size()));
    const std::string copy = ::testing::TempDir() + "net-round-copy.bin";
    std::remove(copy.c_str());

    const Result program = RunLoader({"program", "--device", server.Address(), path}, {}, 100'000);
    EXPECT_EQ(program.status, 0) << program.out << program.err;
    const Result read = RunLoader({"read", "--device", server.Address(), "--length", "16384", copy}, {}, 100'000);
    EXPECT_EQ(read.status, 0) << read.out << read.err;
    const Result verify = RunLoader({"verify", "--device", server.Address(), path}, {}, 100'000);
    EXPECT_EQ(verify.status, 0) << verify.out << verify.err;

    EXPECT_TRUE(FileBytes(copy) == image);
    std::vector<uint8_t> expected(0x40000, 0xFF);
    std::copy(image.begin(), image.end(), expected.begin());
    EXPECT_TRUE(FileBytes(card) == expected);
}

TEST(CliNetwork, ServerStoppedDuringARunWritesTheCardFirst)
{
    const std::vector<uint8_t> image = FileBytes(WriteImage("net-stop.tvk", 8192));
    for (const int signal : {SIGTERM, SIGINT}) {
        const std::string card = ::testing::TempDir() + "net-stop-card.bin";
        std::remove(card.c_str());
        SimServer server("card=out,insert=200,memory=" + card);
        ASSERT_FALSE(server.Address().empty());
        Subprocess run;
        ASSERT_TRUE(run.Start({TORVIK_CLI, "program", "--speed", "34350", "--device", server.Address(),
                               ::testing::TempDir() + "net-stop.tvk"}));
        std::string line;
        while ((line = run.ReadLine(30'000)).find("Programming 10%") == std::string::npos)
            ASSERT_FALSE(line.empty()) << "no progress";
        EXPECT_EQ(server.Stop(signal), 0);
        const std::string log = server.Log();
        EXPECT_NE(log.find(" connection 1 closed: the server is stopping\n"), std::string::npos) << log;
        EXPECT_NE(log.find(signal == SIGINT ? " stopped by SIGINT\n" : " stopped by SIGTERM\n"), std::string::npos);
        // The blocks written before the stop are on the card the file holds.
        const std::vector<uint8_t> written = FileBytes(card);
        ASSERT_EQ(written.size(), 0x40000u);
        EXPECT_TRUE(std::equal(image.begin(), image.begin() + 512, written.begin()));
        EXPECT_EQ(written[0x3FFFF], 0xFF);
    }
}

TEST(CliNetwork, FailuresOverTheNetworkEndWithTheirMessage)
{
    const std::string image = WriteImage("net-fail.tvk", 64);

    // Nobody listens: the port cannot be opened, and stderr says why.
    Result r = RunLoader({"program", "--device", "rfc2217://127.0.0.1:1", image}, {}, 30'000);
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_EQ(r.err, "torvik-loader: Could not open comport!\n"
                     "torvik-loader: rfc2217://127.0.0.1:1: host unreachable, or no reader server on that port\n"
                     "torvik-loader: nothing written\n");
    EXPECT_EQ(r.out.find("Could not open comport!"), std::string::npos) << "reported twice: " << r.out;

    // A reader that never answers the setup.
    SimServer silent("card=out,silent=1");
    ASSERT_FALSE(silent.Address().empty());
    r = RunLoader({"program", "--device", silent.Address(), image}, {}, 30'000);
    EXPECT_EQ(r.status, 5) << r.out << r.err;
    EXPECT_EQ(r.err, "torvik-loader: Error setting Phoenix mode.\ntorvik-loader: the reader did not answer its setup "
                     "(nothing came back to the attention break): check that Com1 is the reader\n"
                     "torvik-loader: nothing written\n");

    // A card that is not a loader card.
    SimServer wrong("card=out,insert=200,atr=3B02");
    ASSERT_FALSE(wrong.Address().empty());
    r = RunLoader({"program", "--device", wrong.Address(), image}, {}, 60'000);
    EXPECT_EQ(r.status, 7) << r.out << r.err;
    EXPECT_EQ(r.err, "torvik-loader: Wrong ATR, please insert a Torvik Loader Card.\ntorvik-loader: the card's "
                     "answer-to-reset 3B 02 is not a Torvik loader card's (3B 54 4C 54 ...)\n"
                     "torvik-loader: nothing written\n");
}

TEST(CliNetwork, ServerGoneDuringTheRunEndsItWithoutHanging)
{
    const std::string gone = "torvik-loader: the reader went away: the network reader went away (connection lost)\n";
    struct Case {
        std::vector<std::string> options;
        const char* killAt;  // the server goes when a line holds this
        const char* err;     // stderr after `gone`, up to what the card holds
    };
    const Case cases[] = {
        // The setup's break is being held.
        {{}, "s  Wait Setting Phoenix 3.58MHz.", "torvik-loader: nothing written\n"},
        // Blocks are being written: the card in hand gets its "card" object
        // and counts as failed.
        {{"--repeat", "--json"}, "\"text\":\"Programming 2", "torvik-loader: the card is partly programmed: "},
    };
    for (const Case& c : cases) {
        SimServer server("card=out,insert=200");
        ASSERT_FALSE(server.Address().empty());
        const std::string image = WriteImage("net-gone.tvk", 16384);
        Subprocess p;
        std::vector<std::string> argv{TORVIK_CLI, "program", "--device", server.Address()};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        argv.push_back(image);
        ASSERT_TRUE(p.Start(argv));
        std::string line;
        while ((line = p.ReadLine(30'000)).find(c.killAt) == std::string::npos) ASSERT_FALSE(line.empty());
        server.Kill();
        const auto killed = std::chrono::steady_clock::now();
        const int status = p.Wait(30'000);
        EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(2));
        EXPECT_EQ(status, 11) << p.Stdout() << p.Stderr();
        EXPECT_EQ(p.Stderr().rfind(gone + c.err, 0), 0u) << p.Stderr();
        if (c.options.empty()) continue;
        const std::string out = p.Stdout();
        EXPECT_NE(out.find("{\"event\":\"card\",\"card\":1,\"result\":\"failed\",\"status\":11,"), std::string::npos)
            << out;
        EXPECT_NE(LastLine(out).find("\"programmed\":0,\"failed\":1,"), std::string::npos) << LastLine(out);
    }
}

TEST(CliProgram, SignalsStopTheRunWithTheirStatus)
{
    const std::string image = WriteImage("sig.tvk", 64);
    struct Case {
        int signal;
        int status;
        const char* word;
    };
    const Case cases[] = {{SIGINT, 130, "interrupted"}, {SIGTERM, 143, "terminated"}, {SIGHUP, 129, "hung up"}};
    for (const Case& c : cases) {
        Subprocess p;
        // A card nobody takes out: the run waits at the first prompt.
        ASSERT_TRUE(p.Start({TORVIK_CLI, "program", "--device", "sim:card=in", image}));
        ASSERT_EQ(p.ReadLine(10'000).rfind("Image ", 0), 0u);
        ASSERT_NE(p.ReadLine(10'000).find("Please remove card from card slot."), std::string::npos);
        p.Signal(c.signal);
        EXPECT_EQ(p.Wait(10'000), c.status) << c.word;
        EXPECT_EQ(p.Stderr(), std::string("torvik-loader: ") + c.word + ": nothing written\n");
    }

    // Standard output closed by its reader: the run stops, quietly.
    Subprocess piped;
    ASSERT_TRUE(piped.Start({"/bin/bash", "-c",
                             std::string("'") + TORVIK_CLI + "' program -v --device sim " + image +
                                 " | head -c 1 >/dev/null; echo \"status ${PIPESTATUS[0]}\" >&2"}));
    EXPECT_EQ(piped.Wait(30'000), 0);
    EXPECT_EQ(piped.Stderr(), "status 141\n");
}

TEST(CliProgram, CommandLineErrorsHelpAndVersion)
{
    // The network server's help lists the simulator's options.
    Subprocess server;
    ASSERT_TRUE(server.Start({TORVIK_SIM_SERVER, "--help"}));
    EXPECT_EQ(server.Wait(10'000), 0);
    for (const char* key :
         {"--listen", "card=", "follow=", "atr=", "seed=", "memory=", "cardnoise=", "answerbytes=", "setupbytes="})
        EXPECT_NE(server.Stdout().find(key), std::string::npos) << key;

    Result r = RunLoader({});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "torvik-loader: no command given (see torvik-loader --help)\n");

    r = RunLoader({"program", ::testing::TempDir() + "missing.tvk"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "torvik-loader: " + ::testing::TempDir() + "missing.tvk: cannot be read: No such file or directory\n");
    // With --json, one result object and nothing else on stdout.
    r = RunLoader({"program", "--json", ::testing::TempDir() + "missing.tvk"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "{\"event\":\"result\",\"command\":\"program\",\"result\":\"failed\",\"status\":2,"
                     "\"message\":\"" + ::testing::TempDir() + "missing.tvk: cannot be read: No such file or directory\","
                     "\"elapsed\":0.000,\"version\":2,\"t\":0.000}\n");
    r = RunLoader({"program", "--json", "--port", "x"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out.rfind("{\"event\":\"result\",\"command\":\"program\",\"result\":\"failed\",\"status\":2,", 0), 0u)
        << r.out;

    r = RunLoader({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: torvik-loader", 0), 0u) << r.out;
    r = RunLoader({"help", "program"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("--speed"), std::string::npos) << r.out;

    r = RunLoader({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("torvik-loader ", 0), 0u);
    EXPECT_EQ(r.out.back(), '\n');
}
