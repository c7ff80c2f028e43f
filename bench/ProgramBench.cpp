// Programming a full 256 KiB image onto the simulated card in virtual time,
// in each verify mode: the window's (every block read back after its write,
// then the read pass), torvik-loader's (the sampled read-back while writing,
// then the read pass) and none (the sampled read-back alone); on a clean line
// and on a card that misreads 0.1 % of the bytes it takes; at the card clock
// of 3.58 MHz, and on the clean line also at 6.00 MHz (the card's loader
// near 57450 baud instead of 34350). Reports, per run:
//   virtual_s        virtual seconds of the whole ProgramCard call
//   loop_virtual_s   virtual seconds from the first block frame to the end
//                    (block loop and read passes), calibration and setup
//                    left out
//   loop_wire_s      the same stretch's wire-time lower bound: every frame
//                    sent and every byte answered (3 for a write, 22 for a
//                    read), 12 bits a byte at the calibrated speed
//   wire_s           the same bound over every frame of the run
//   ratio            loop_virtual_s / loop_wire_s (target: at most 1.02 on a
//                    clean line, with either verify mode)
//   cpu_us_per_block host CPU time of the whole call per block, the
//                    simulator's included, the least of the iterations
//                    (target: at most 5 µs with verify)
//   writes, reads    block write and read frames sent
// BM_CardMisreads programs the same image ten times (seeds 1-10) at each of
// three card misread rates in each mode, and reports how many runs showed
// success, how many of those left the card without the image (false
// successes), how many failed although the card held it (false failures),
// and the mean number of blocks differing from the image afterwards.
// BM_Calibration compares the two speed calibrations (see there).
// BM_ReadCard runs torvik-loader's read on the simulated card (see there).
// BM_LineOfReaders runs torvik-loader program on a line of simulated readers
// in real time (see there); tools/test.sh runs it apart from the others.
// The figures are printed, not asserted.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cli/LoaderCli.h"
#include "devices/PortChain.h"
#include "devices/SystemPorts.h"
#include "platform/Clock.h"
#include "platform/CommPort.h"
#include "platform/ForwardingPort.h"
#include "programming/ProgramCard.h"
#include "programming/ProgramData.h"
#include "programming/ProgramWindow.h"
#include "serial/ReaderLink.h"
#include "simulator/Simulator.h"

namespace {

// Start, data, mark-parity and two stop bits.
constexpr double kBitsPerByte = 12.0;
constexpr int kBlocks = kCardImageSize / 16;

double CpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Figures {
    bool programmed = false;
    // Blocks of the image that the card does not hold afterwards.
    int damagedBlocks = 0;
    int writes = 0;
    int reads = 0;
    double virtualSeconds = 0;
    double loopVirtualSeconds = 0;
    double loopWireSeconds = 0;
    double wireSeconds = 0;
    double cpuSeconds = 0;
    uint32_t speed = 0;
};

// Counts what the program sends, without keeping it (keeping every frame
// would cost more CPU than programming does): every byte of the run, and
// from the first frame after the last loader start on the block frames and
// their bytes with the answers they call for (3 for a write, 22 for a read).
class LineTally final : public CommPortOpener {
public:
    LineTally(CommPortOpener& inner, const VirtualClock& clock) : inner_(inner), clock_(clock) {}

    double allBytes = 0;
    double loopBytes = 0;
    int64_t loopStartMicros = -1;
    int writes = 0;
    int reads = 0;
    uint32_t baud = 0;  // the speed of the last block frame

    std::unique_ptr<CommPort> Open(const std::string& deviceName) override
    {
        std::unique_ptr<CommPort> port = inner_.Open(deviceName);
        if (!port) return nullptr;
        return std::make_unique<Port>(std::move(port), *this);
    }

private:
    class Port final : public ForwardingPort {
    public:
        Port(std::unique_ptr<CommPort> inner, LineTally& tally) : ForwardingPort(std::move(inner)), tally_(tally) {}
        bool SetState(const LineSettings& s) override
        {
            baud_ = s.BaudRate;
            return Inner().SetState(s);
        }
        bool Write(const uint8_t* buffer, uint32_t count, uint32_t& bytesWritten) override
        {
            LineTally& t = tally_;
            t.allBytes += count;
            if (count == 3 && buffer[0] == 0x01 && buffer[1] == 0x02 && buffer[2] == 0xEA) {
                t.loopBytes = 0;
                t.loopStartMicros = -1;
                t.writes = t.reads = 0;
            } else {
                if (t.loopStartMicros < 0) t.loopStartMicros = t.clock_.PeekMicros();
                t.loopBytes += count;
                const int answer = count == 23 && buffer[0] == 0xFF ? 3 : count == 7 && buffer[0] == 0xFE ? 22 : 0;
                t.loopBytes += answer;
                t.allBytes += answer;
                if (answer == 3) ++t.writes;
                if (answer == 22) ++t.reads;
                t.baud = baud_;
            }
            return Inner().Write(buffer, count, bytesWritten);
        }

    private:
        LineTally& tally_;
        uint32_t baud_ = 0;
    };

    CommPortOpener& inner_;
    const VirtualClock& clock_;
};

// The window as programming sees it, keeping only what it shows last.
class BenchWindow final : public ProgramWindow, public StatusControl {
public:
    explicit BenchWindow(Verification mode) : mode_(mode) {}
    int ComPortIndex() const override { return 0; }
    bool VerifyChecked() const override { return mode_ == Verification::EachBlock; }
    Verification VerifyMode() const override { return mode_; }
    StatusControl& Status() override { return *this; }
    void SetProgress(int position) override { progress_ = position; }
    void SetText(const std::string& text) override { text_ = text; }
    std::string Text() const override { return text_; }
    void SetColor(TColor color) override { color_ = color; }
    TColor Color() const override { return color_; }

private:
    Verification mode_;
    std::string text_;
    TColor color_ = clBtnFace;
    int progress_ = 0;
};

// 1 the window's verify, 2 torvik-loader's, anything else none.
Verification ModeOf(int64_t arg)
{
    return arg == 1 ? Verification::EachBlock : arg == 2 ? Verification::AfterWriting : Verification::Sampled;
}

const char* ModeName(Verification mode)
{
    switch (mode) {
    case Verification::EachBlock: return "window: each block, then the read pass";
    case Verification::AfterWriting: return "torvik-loader: the read pass";
    default: return "no verify";
    }
}

// One full run on a reader set up at `cardClock` MHz (options' setup= must
// name the same clock); `speed` stays 0 when the run failed or the
// card does not hold the image afterwards (the other figures are filled in
// all the same).
Figures ProgramOnce(Verification mode, const std::vector<uint8_t>& source, const std::string& options = "setup=01",
                    const std::string& cardClock = "3.58")
{
    VirtualClock clock;
    sim::SimulatorOpener opener(clock, sim::SimOptions::Parse(options));
    opener.Reader().SetRecording(false);
    LineTally tally(opener, clock);
    ReaderLink link(clock, tally, opener.Failures());

    std::vector<uint8_t> image = source;
    TCardImage CardImage;
    CardImage.Data = image.data();
    CardImage.Length = kCardImageSize;
    BenchWindow window(mode);

    RunSettings run;
    run.ClockSetting = cardClock;
    const int64_t startMicros = clock.PeekMicros();
    const double cpuStart = CpuSeconds();
    Figures f;
    f.programmed = ProgramCard(link, window, CardImage, run);
    f.cpuSeconds = CpuSeconds() - cpuStart;
    f.virtualSeconds = static_cast<double>(clock.PeekMicros() - startMicros) * 1e-6;
    const std::vector<uint8_t>& memory = opener.Reader().Memory();
    for (int block = 0; block < kCardImageSize; block += 16)
        if (!std::equal(memory.begin() + block, memory.begin() + block + 16, image.begin() + block)) ++f.damagedBlocks;
    f.writes = tally.writes;
    f.reads = tally.reads;
    if (f.programmed && f.damagedBlocks == 0 && tally.loopStartMicros >= 0 && tally.baud > 0) {
        f.speed = tally.baud;
        f.loopVirtualSeconds = static_cast<double>(clock.PeekMicros() - tally.loopStartMicros) * 1e-6;
        f.loopWireSeconds = tally.loopBytes * kBitsPerByte / f.speed;
        f.wireSeconds = tally.allBytes * kBitsPerByte / f.speed;
    }

    return f;
}

// A full card's worth of pseudo-random bytes, the same in every benchmark.
std::vector<uint8_t> FullRandomImage()
{
    std::vector<uint8_t> source(kCardImageSize);
    std::mt19937 random(1);
    for (uint8_t& b : source) b = static_cast<uint8_t>(random());
    return source;
}

// Skips a run after which the card does not hold the image; otherwise
// reports the virtual time of the run and of its block loop, and the loop's
// wire time.
bool ReportRun(benchmark::State& state, const Figures& f)
{
    if (f.speed == 0) {
        state.SkipWithError("the card does not hold the image");
        return false;
    }
    state.counters["virtual_s"] = f.virtualSeconds;
    state.counters["loop_virtual_s"] = f.loopVirtualSeconds;
    state.counters["loop_wire_s"] = f.loopWireSeconds;
    return true;
}

// The full image with the window's verify on a line that flips a bit in
// 0.03 % of the bytes, each way: the repairs that the echo and the read-backs
// call for, and the acknowledgement waits of frames the card never took.
void BM_ProgramFullImageOnNoisyLine(benchmark::State& state)
{
    const std::vector<uint8_t> source = FullRandomImage();

    Figures f;
    for (auto _ : state) f = ProgramOnce(Verification::EachBlock, source, "setup=01,noise=0.0003");
    if (!ReportRun(state, f)) return;
    state.counters["ratio"] = f.loopVirtualSeconds / f.loopWireSeconds;
    state.counters["cpu_us_per_block"] = f.cpuSeconds * 1e6 / kBlocks;
    state.SetLabel("window's verify, noise 0.03 %");
}

// state.range(0): the verify mode (0 none, 1 the window's, 2 torvik-loader's);
// state.range(1): 0 a clean line, 1 a card that misreads 0.1 % of the bytes
// it takes; state.range(2): the card clock, 358 (3.58 MHz, the window's) or
// 600 (6.00 MHz, torvik-loader --clock 6.00).
void BM_ProgramFullImage(benchmark::State& state)
{
    const Verification mode = ModeOf(state.range(0));
    const bool misreads = state.range(1) != 0;
    const bool sixMegahertz = state.range(2) == 600;
    const std::string cardClock = sixMegahertz ? "6.00" : "3.58";
    const std::string options = std::string(sixMegahertz ? "setup=03" : "setup=01") + (misreads ? ",cardnoise=0.001" : "");
    const std::vector<uint8_t> source = FullRandomImage();

    // The host's CPU time is the least of the runs: what other work on the
    // machine took from a run is not the program's.
    Figures f;
    double cpuSeconds = 1e9;
    for (auto _ : state) {
        f = ProgramOnce(mode, source, options, cardClock);
        cpuSeconds = std::min(cpuSeconds, f.cpuSeconds);
    }
    f.cpuSeconds = cpuSeconds;
    if (!ReportRun(state, f)) return;
    state.counters["wire_s"] = f.wireSeconds;
    state.counters["ratio"] = f.loopVirtualSeconds / f.loopWireSeconds;
    state.counters["cpu_us_per_block"] = f.cpuSeconds * 1e6 / kBlocks;
    state.counters["baud"] = f.speed;
    state.counters["writes"] = f.writes;
    state.counters["reads"] = f.reads;
    state.SetLabel(std::string(ModeName(mode)) + (misreads ? ", card misreads 0.1 %" : ", clean line") + ", " +
                   cardClock + " MHz");
}

// state.range(0): card misreads per 10000 bytes; state.range(1): the verify
// mode as for BM_ProgramFullImage. Ten runs, seeds 1 to 10.
void BM_CardMisreads(benchmark::State& state)
{
    const int64_t perTenThousand = state.range(0);
    const Verification mode = ModeOf(state.range(1));
    const std::vector<uint8_t> source = FullRandomImage();
    constexpr int kSeeds = 10;
    int successes = 0, falseSuccesses = 0, falseFailures = 0, damaged = 0;
    double seconds = 0;
    for (auto _ : state) {
        successes = falseSuccesses = falseFailures = damaged = 0;
        seconds = 0;
        for (int seed = 1; seed <= kSeeds; ++seed) {
            char options[96];
            std::snprintf(options, sizeof options, "setup=01,cardnoise=%.4f,seed=%d",
                          static_cast<double>(perTenThousand) / 10000.0, seed);
            const Figures f = ProgramOnce(mode, source, options);
            if (f.programmed) ++successes;
            if (f.programmed && f.damagedBlocks > 0) ++falseSuccesses;
            if (!f.programmed && f.damagedBlocks == 0) ++falseFailures;
            damaged += f.damagedBlocks;
            seconds += f.virtualSeconds;
        }
    }
    state.counters["runs"] = kSeeds;
    state.counters["successes"] = successes;
    state.counters["false_successes"] = falseSuccesses;
    state.counters["false_failures"] = falseFailures;
    state.counters["damaged_blocks_mean"] = static_cast<double>(damaged) / kSeeds;
    state.counters["virtual_s_mean"] = seconds / kSeeds;
    char label[128];
    std::snprintf(label, sizeof label, "%s, card misreads %.2f %%", ModeName(mode),
                  static_cast<double>(perTenThousand) / 100.0);
    state.SetLabel(label);
}

// The same full image with the window's verify behind a USB adapter whose latency timer is
// state.range(0) ms (16: a common default; 1: what the port asks for):
// ratio_loop and ratio_run compare the block loop and the whole run with
// their wire time (target at 1 ms: ratio_loop at most 1.05).
void BM_ProgramFullImageBehindAdapter(benchmark::State& state)
{
    const int64_t latencyMs = state.range(0);
    const std::vector<uint8_t> source = FullRandomImage();

    Figures f;
    for (auto _ : state) f = ProgramOnce(Verification::EachBlock, source, "setup=01,latency=" + std::to_string(latencyMs));
    if (!ReportRun(state, f)) return;
    state.counters["latency_ms"] = static_cast<double>(latencyMs);
    state.counters["ratio_loop"] = f.loopVirtualSeconds / f.loopWireSeconds;
    state.counters["ratio_run"] = f.virtualSeconds / f.wireSeconds;
    state.SetLabel("window's verify, adapter latency " + std::to_string(latencyMs) + " ms");
}

// The speed calibration alone on the default simulated card: the programming
// sweep (identification write and read-back) against the read-only sweep of
// read, verify and check. Reports the virtual seconds of each and their
// ratio (target: read_only_s at most 1.2 x programming_s), on a clean line
// and on one that flips a bit in 1 % of the bytes.
void BM_Calibration(benchmark::State& state)
{
    const std::string options = state.range(0) != 0 ? "setup=01,noise=0.01" : "setup=01";
    double seconds[2] = {0, 0};
    int32_t speeds[2] = {0, 0};
    for (auto _ : state) {
        for (int readOnly = 0; readOnly < 2; ++readOnly) {
            VirtualClock clock;
            sim::SimulatorOpener opener(clock, sim::SimOptions::Parse(options));
            ReaderLink link(clock, opener, opener.Failures());
            BenchWindow window(Verification::EachBlock);
            const int64_t start = clock.PeekMicros();
            speeds[readOnly] = readOnly != 0 ? CalibrateBaudRateReadOnly(link, window) : CalibrateBaudRate(link, window);
            seconds[readOnly] = static_cast<double>(clock.PeekMicros() - start) * 1e-6;
        }
    }
    state.counters["programming_s"] = seconds[0];
    state.counters["read_only_s"] = seconds[1];
    state.counters["ratio"] = seconds[1] / seconds[0];
    state.counters["baud_programming"] = speeds[0];
    state.counters["baud_read_only"] = speeds[1];
    state.SetLabel(state.range(0) != 0 ? "noise 1 %" : "clean line");
}

// One `torvik-loader read --json --length BYTES OUT` in-process on the
// simulated reader with `simOptions`, on the virtual clock: its exit status,
// whether OUT then holds what the card holds, and the block read frames of
// the read (the summary's "reads"; -1 without a summary).
struct ReadRun {
    int status = -1;
    bool equal = false;
    int reads = -1;
};

ReadRun ReadCardOnce(const std::string& simOptions, int32_t bytes, const std::string& out)
{
    VirtualClock clock(1'000'000'000, 20);
    SystemPorts devices(clock);
    PortChain chain(devices, clock);
    chain.Assign(1, "sim:" + simOptions);
    std::remove(out.c_str());
    std::ostringstream text;
    std::ostringstream errors;
    ReadRun r;
    r.status = RunLoaderCli({"read", "--json", "--length", std::to_string(bytes), out}, text, errors, CliTerminal{},
                            CliSystem{chain, {}}, nullptr);
    std::ifstream file(out, std::ios::binary);
    const std::vector<uint8_t> copy((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const sim::SimulatedReader* reader = devices.SimulatedReaderOn(1);
    r.equal = reader != nullptr && copy.size() == static_cast<size_t>(bytes) &&
              std::equal(copy.begin(), copy.end(), reader->Memory().begin());
    const std::string json = text.str();
    const size_t at = json.find("\"reads\":");
    if (at != std::string::npos) r.reads = std::atoi(json.c_str() + at + 8);
    return r;
}

// `torvik-loader read` of the first 16 KiB of a card holding random bytes
// (seeded by the run), on a clean line (state.range(0) 0) or with
// state.range(0) read answers in a thousand carrying a flipped bit, seeds 1 to
// state.range(1). Reports the runs that exited 0, those of them whose file
// differs from the card (false successes), the runs that failed naming a
// block (exit status 9), any other ending, and the block reads per block of
// the runs that exited 0. With TORVIK_RELIABILITY_DIR set it also writes these
// figures to read-card-<range(0)>-<range(1)>.txt there, for
// tools/reliability-report.sh.
void BM_ReadCard(benchmark::State& state)
{
    const int64_t perThousand = state.range(0);
    const int seeds = static_cast<int>(state.range(1));
    constexpr int32_t kBytes = 16384;
    const std::filesystem::path folder = std::filesystem::temp_directory_path();
    const std::string card = (folder / ("torvik-bench-card-" + std::to_string(getpid()) + ".bin")).string();
    const std::string out = (folder / ("torvik-bench-read-" + std::to_string(getpid()) + ".bin")).string();
    int exited0 = 0, wrong = 0, failed = 0, other = 0;
    int64_t reads = 0;
    for (auto _ : state) {
        exited0 = wrong = failed = other = 0;
        reads = 0;
        for (int seed = 1; seed <= seeds; ++seed) {
            std::vector<uint8_t> memory(kCardImageSize);
            std::mt19937 random(static_cast<uint32_t>(seed));
            for (uint8_t& b : memory) b = static_cast<uint8_t>(random());
            std::ofstream(card, std::ios::binary)
                .write(reinterpret_cast<const char*>(memory.data()), static_cast<std::streamsize>(memory.size()));
            char options[256];
            std::snprintf(options, sizeof options, "memory=%s,readcorrupt=%.3f,seed=%d", card.c_str(),
                          static_cast<double>(perThousand) / 1000.0, seed);
            const ReadRun r = ReadCardOnce(options, kBytes, out);
            if (r.status == 0) {
                ++exited0;
                if (!r.equal) ++wrong;
                reads += r.reads;
            } else if (r.status == 9) {
                ++failed;
            } else {
                ++other;
            }
        }
    }
    std::remove(card.c_str());
    std::remove(out.c_str());
    const double perBlock = exited0 > 0 ? static_cast<double>(reads) / exited0 / (kBytes / 16) : 0.0;
    state.counters["runs"] = seeds;
    state.counters["exit_0"] = exited0;
    state.counters["exit_0_wrong"] = wrong;
    state.counters["failed_at_a_block"] = failed;
    state.counters["other_endings"] = other;
    state.counters["reads_per_block"] = perBlock;
    char label[64];
    std::snprintf(label, sizeof label, "read 16 KiB, readcorrupt=%.3f", static_cast<double>(perThousand) / 1000.0);
    state.SetLabel(label);
    if (const char* dir = std::getenv("TORVIK_RELIABILITY_DIR")) {
        std::ofstream figures(std::filesystem::path(dir) /
                              ("read-card-" + std::to_string(perThousand) + "-" + std::to_string(seeds) + ".txt"));
        figures << "runs=" << seeds << "\nexit_0=" << exited0 << "\nexit_0_wrong=" << wrong
                << "\nfailed_at_a_block=" << failed << "\nother_endings=" << other << "\nreads_per_block=" << perBlock
                << "\n";
    }
}

// `torvik-loader program -p 1-N --count 2 -n --json` of a 16 KiB image,
// in-process, each station's simulated reader on the steady clock with
// devices of its own, as the program gives each station; one station is the
// run of one port. Reports the wall seconds, the cards programmed, and the
// host CPU per block written (the process's CPU time, the simulators' and
// the stations' threads included, over every station's blocks). For the
// ratios, compare the rows with 4 and 16 stations against the row with 1:
// wall_s (goal: at most 1.10 x) and cpu_us_per_block (goal: at most 1.2 x).
void BM_LineOfReaders(benchmark::State& state)
{
    const int stations = static_cast<int>(state.range(0));
    constexpr int kCards = 2;
    constexpr int32_t kBytes = 16384;
    const std::string image = (std::filesystem::temp_directory_path() /
                               ("torvik-bench-line-" + std::to_string(getpid()) + ".tvk"))
                                  .string();
    {
        std::vector<uint8_t> bytes(kBytes);
        std::mt19937 random(1);
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
        std::ofstream(image, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    struct Station final : StationDevices {
        explicit Station(uint32_t port) : chain(nullptr) { chain.chain.Assign(port, "sim"); }
        PortChain& Chain() override { return chain.chain; }
        SystemChain chain;
    };
    int status = -1;
    int programmed = 0;
    double wall = 0;
    double cpu = 0;
    for (auto _ : state) {
        SystemChain line;
        for (int port = 1; port <= stations; ++port) line.chain.Assign(static_cast<uint32_t>(port), "sim");
        const CliSystem system{line.chain, {}, [](uint32_t port, std::ostream*) {
                                   return std::unique_ptr<StationDevices>(std::make_unique<Station>(port));
                               }};
        std::ostringstream out, err;
        const auto started = std::chrono::steady_clock::now();
        const double cpuStart = CpuSeconds();
        status = RunLoaderCli({"program", "-p", stations == 1 ? "1" : "1-" + std::to_string(stations), "--count",
                               std::to_string(kCards), "-n", "--json", image},
                              out, err, CliTerminal{}, system, nullptr);
        cpu = CpuSeconds() - cpuStart;
        wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        programmed = 0;
        std::istringstream lines(out.str());
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("{\"event\":\"card\",", 0) == 0 && line.find(",\"result\":\"programmed\",") != std::string::npos)
                ++programmed;
    }
    std::remove(image.c_str());
    if (status != 0 || programmed != stations * kCards) {
        state.SkipWithError(("not every card was programmed: exit status " + std::to_string(status) + ", " +
                             std::to_string(programmed) + " cards")
                                .c_str());
        return;
    }
    state.counters["wall_s"] = wall;
    state.counters["cards"] = programmed;
    state.counters["cpu_us_per_block"] = cpu * 1e6 / (static_cast<double>(programmed) * (kBytes / 16));
    state.SetLabel(std::to_string(stations) + (stations == 1 ? " station" : " stations") + ", 16 KiB, 2 cards each");
}

}  // namespace

BENCHMARK(BM_LineOfReaders)->Arg(1)->Arg(4)->Arg(16)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadCard)
    ->Args({0, 1})
    ->Args({1, 20})
    ->Args({10, 20})
    ->Args({50, 20})
    ->Args({300, 20})
    ->Args({50, 1000})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Calibration)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProgramFullImageBehindAdapter)->Arg(16)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
// No verify on the misreading card leaves it without the image: not run.
BENCHMARK(BM_ProgramFullImage)
    ->Args({1, 0, 358})
    ->Args({1, 0, 600})
    ->Args({2, 0, 358})
    ->Args({2, 0, 600})
    ->Args({0, 0, 358})
    ->Args({0, 0, 600})
    ->Args({1, 1, 358})
    ->Args({2, 1, 358})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProgramFullImageOnNoisyLine)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CardMisreads)->ArgsProduct({{3, 10, 100}, {1, 2, 0}})->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
