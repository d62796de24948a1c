// Machine health's costs: the raw figures the conditioning adds per sample,
// the sensor-fault watch on the window thread per tick, and a trend pass
// over 40 sensors' week of hour means.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "Figure.h"
#include "core/health/SensorHealth.h"
#include "core/health/TrendFit.h"
#include "core/dsp/ConditionKernel.h"

using namespace tav;

namespace {

constexpr int kSensors = 40;
constexpr int kRowsPerSecond = 26667;
double gRawPerSecond = 0, gWatchTick = 0, gTrendPass = 0;

// A second of rows laid out as the kernel reads them (12 bytes a row, 16
// readable).
std::vector<uint8_t> Rows(int n)
{
    std::vector<uint8_t> bytes(size_t(n) * 12 + 4);
    std::mt19937 random(3);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    for (int i = 0; i < n; ++i)
        for (int a = 0; a < 3; ++a) {
            const float x = std::round(noise(random) / 0.00049f) * 0.00049f;
            std::memcpy(&bytes[size_t(i) * 12 + size_t(a) * 4], &x, 4);
        }
    return bytes;
}

void RawFiguresPerSecond(benchmark::State &state)
{
    const std::vector<uint8_t> rows = Rows(kRowsPerSecond);
    ConditionState c;
    c.rangeLimitG = 8.0f;
    kernel::RowWork w;
    kernel::LoadLanes(w, c);
    const double t0 = bench::ThreadCpuSeconds();
    for (auto _ : state) {
        kernel::RawRun(w, rows.data(), kRowsPerSecond);
        benchmark::DoNotOptimize(w.longestRun);
    }
    gRawPerSecond = (bench::ThreadCpuSeconds() - t0) / double(state.iterations());
}

void FaultWatchTick(benchmark::State &state)
{
    std::vector<SensorHealth> health(kSensors);
    SteadySensorValues v;
    v.samplingFrequency = float(kRowsPerSecond);
    v.windowRows = kRowsPerSecond / 2;
    v.rangeLimitG = 8.0f;
    v.generation = 1;
    for (auto &f : v.raw) {
        f.min = -0.2f;
        f.max = 0.2f;
        f.deviation = 0.05f;
        f.longestRun = 3;
    }
    int64_t tick = 0;
    const double t0 = bench::ThreadCpuSeconds();
    for (auto _ : state) {
        v.windows = uint64_t(tick + 1);
        for (SensorHealth &h : health) {
            v.raw[0].mean = float(0.001 * double(tick % 100));
            h.Feed(v, tick * 500);
        }
        ++tick;
    }
    gWatchTick = (bench::ThreadCpuSeconds() - t0) / double(state.iterations());
}

void TrendPass(benchmark::State &state)
{
    // A week of hour means per series; 3 series per sensor.
    std::vector<double> days, values;
    std::mt19937 random(5);
    std::normal_distribution<double> noise(0.0, 0.1);
    for (int h = -168; h <= 0; ++h) {
        days.push_back(h / 24.0);
        values.push_back(2.0 + 0.05 * h / 24.0 + noise(random));
    }
    const double t0 = bench::ThreadCpuSeconds();
    for (auto _ : state)
        for (int s = 0; s < kSensors * 3; ++s) {
            const TrendFit fit = FitTrend(days.data(), values.data(), int(days.size()));
            benchmark::DoNotOptimize(CrossingOf(fit, 2.8));
        }
    gTrendPass = (bench::ThreadCpuSeconds() - t0) / double(state.iterations());
}

}  // namespace

BENCHMARK(RawFiguresPerSecond)->Unit(benchmark::kMicrosecond);
BENCHMARK(FaultWatchTick)->Unit(benchmark::kMicrosecond);
BENCHMARK(TrendPass)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (gRawPerSecond > 0)
        bench::PrintFigure("raw figures, 40 sensors at 26667 Hz, share of a core", gRawPerSecond * kSensors * 100.0, "%",
                           "<= 1 (with the bands)");
    if (gWatchTick > 0)
        bench::PrintFigure("sensor-fault watch, 40 sensors per tick", gWatchTick * 1e3, "ms", "<= 0.5 (whole tick)");
    if (gTrendPass > 0)
        bench::PrintFigure("trend pass, 40 sensors x 3 axes x 168 h (every 600 s)", gTrendPass * 1e3, "ms",
                           "<= 1 % of a core");
    return 0;
}
