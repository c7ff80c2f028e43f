// Programming a full 256 KiB image onto the simulated card in virtual time,
// with and without verify, and with verify on a line that flips a bit in
// 0.03 % of its bytes. Reports, per run:
//   virtual_s        virtual seconds of the whole ProgramCard call
//   loop_virtual_s   virtual seconds of the block loop alone (from the first
//                    block frame to the end), calibration and setup left out
//   loop_wire_s      the block loop's wire-time lower bound: every frame sent
//                    and every byte answered (3 for a write, 22 for a read),
//                    12 bits a byte at the calibrated speed
//   wire_s           the same bound over every frame of the run
//   ratio            loop_virtual_s / loop_wire_s (target: at most 1.02 on a
//                    clean line)
//   cpu_us_per_block host CPU time of the whole call per block, the
//                    simulator's included (target: at most 5 µs with verify)
// BM_Calibration compares the two speed calibrations (see there).
// The figures are printed, not asserted.

#include <benchmark/benchmark.h>

#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "programming/ProgramCard.h"
#include "programming/ProgramData.h"
#include "serial/Scom.h"
#include "simulator/Simulator.h"
#include "tests/support/RecordingWindow.h"

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
    double virtualSeconds = 0;
    double loopVirtualSeconds = 0;
    double loopWireSeconds = 0;
    double wireSeconds = 0;
    double cpuSeconds = 0;
    uint32_t speed = 0;
};

// Wire-time lower bound of the writes from index `from` on, at `speed`.
double WireSeconds(const std::vector<sim::WriteRecord>& writes, size_t from, uint32_t speed)
{
    double bytes = 0;
    for (size_t i = from; i < writes.size(); ++i) {
        const std::vector<uint8_t>& b = writes[i].bytes;
        bytes += static_cast<double>(b.size());
        if (b.size() == 23 && b[0] == 0xFF) bytes += 3;
        if (b.size() == 7 && b[0] == 0xFE) bytes += 22;
    }
    return bytes * kBitsPerByte / speed;
}

Figures ProgramOnce(bool verify, const std::vector<uint8_t>& source, const std::string& options = "setup=01")
{
    VirtualClock clock;
    sim::SimulatorOpener opener(clock, sim::SimOptions::Parse(options));
    ScopedPlatform platform(clock, opener);
    SerialChannel.ResetState();

    std::vector<uint8_t> image = source;
    CardImage.Data = image.data();
    CardImage.Length = kCardImageSize;
    RecordingWindow window(clock, 0, verify);

    const int64_t startMicros = clock.PeekMicros();
    const double cpuStart = CpuSeconds();
    const bool programmed = ProgramCard(window);
    Figures f;
    f.cpuSeconds = CpuSeconds() - cpuStart;
    f.virtualSeconds = static_cast<double>(clock.PeekMicros() - startMicros) * 1e-6;
    if (!programmed || opener.Reader().Memory() != image) {
        SerialChannel.ResetState();
        CardImage = TCardImage{};
        return Figures{};
    }

    // The block loop starts with the first frame after the last loader start.
    const std::vector<sim::WriteRecord>& writes = opener.Reader().Writes();
    size_t loopStart = 0;
    for (size_t i = 0; i < writes.size(); ++i)
        if (writes[i].bytes == std::vector<uint8_t>{0x01, 0x02, 0xEA}) loopStart = i + 1;
    f.speed = writes.back().settings.BaudRate;
    f.loopVirtualSeconds = static_cast<double>(clock.PeekMicros() - writes[loopStart].atMicros) * 1e-6;
    f.loopWireSeconds = WireSeconds(writes, loopStart, f.speed);
    f.wireSeconds = WireSeconds(writes, 0, f.speed);

    SerialChannel.ResetState();
    CardImage = TCardImage{};
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

// The full image with verify on a line that flips a bit in 0.03 % of the
// bytes, each way: the repairs that the echo and the read-backs call for, and
// the acknowledgement waits of frames the card never took.
void BM_ProgramFullImageOnNoisyLine(benchmark::State& state)
{
    const std::vector<uint8_t> source = FullRandomImage();

    Figures f;
    for (auto _ : state) f = ProgramOnce(true, source, "setup=01,noise=0.0003");
    if (!ReportRun(state, f)) return;
    state.counters["ratio"] = f.loopVirtualSeconds / f.loopWireSeconds;
    state.counters["cpu_us_per_block"] = f.cpuSeconds * 1e6 / kBlocks;
    state.SetLabel("verify, noise 0.03 %");
}

void BM_ProgramFullImage(benchmark::State& state)
{
    const bool verify = state.range(0) != 0;
    const std::vector<uint8_t> source = FullRandomImage();

    Figures f;
    for (auto _ : state) f = ProgramOnce(verify, source);
    if (!ReportRun(state, f)) return;
    state.counters["wire_s"] = f.wireSeconds;
    state.counters["ratio"] = f.loopVirtualSeconds / f.loopWireSeconds;
    state.counters["cpu_us_per_block"] = f.cpuSeconds * 1e6 / kBlocks;
    state.counters["baud"] = f.speed;
    state.SetLabel(verify ? "verify" : "no verify");
}

// The same full image with verify behind a USB adapter whose latency timer is
// state.range(0) ms (16: a common default; 1: what the port asks for):
// ratio_loop and ratio_run compare the block loop and the whole run with
// their wire time (target at 1 ms: ratio_loop at most 1.05).
void BM_ProgramFullImageBehindAdapter(benchmark::State& state)
{
    const int64_t latencyMs = state.range(0);
    const std::vector<uint8_t> source = FullRandomImage();

    Figures f;
    for (auto _ : state) f = ProgramOnce(true, source, "setup=01,latency=" + std::to_string(latencyMs));
    if (!ReportRun(state, f)) return;
    state.counters["latency_ms"] = static_cast<double>(latencyMs);
    state.counters["ratio_loop"] = f.loopVirtualSeconds / f.loopWireSeconds;
    state.counters["ratio_run"] = f.virtualSeconds / f.wireSeconds;
    state.SetLabel("verify, adapter latency " + std::to_string(latencyMs) + " ms");
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
            ScopedPlatform platform(clock, opener);
            SerialChannel.ResetState();
            RecordingWindow window(clock, 0, true);
            const int64_t start = clock.PeekMicros();
            speeds[readOnly] = readOnly != 0 ? CalibrateBaudRateReadOnly(window) : CalibrateBaudRate(window);
            seconds[readOnly] = static_cast<double>(clock.PeekMicros() - start) * 1e-6;
            SerialChannel.ResetState();
        }
    }
    state.counters["programming_s"] = seconds[0];
    state.counters["read_only_s"] = seconds[1];
    state.counters["ratio"] = seconds[1] / seconds[0];
    state.counters["baud_programming"] = speeds[0];
    state.counters["baud_read_only"] = speeds[1];
    state.SetLabel(state.range(0) != 0 ? "noise 1 %" : "clean line");
}

}  // namespace

BENCHMARK(BM_Calibration)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProgramFullImageBehindAdapter)->Arg(16)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProgramFullImage)->Arg(1)->Arg(0)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProgramFullImageOnNoisyLine)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
