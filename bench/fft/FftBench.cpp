// Cost of the live spectra and the speed estimate with a plan made per call
// (and buffers allocated per call) against plans made once and reused, and
// the processing thread's CPU share with 40 paced sensors.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "core/dsp/Fft.h"
#include "core/processing/LiveAmplitudes.h"
#include "core/processing/ProcessingThread.h"
#include "core/processing/SpeedEstimator.h"

namespace tav {
namespace {

constexpr double kTwoPi = 6.283185307179586;

LivePlots &Plots()
{
    static auto plots = [] {
        auto p = std::make_unique<LivePlots>();
        for (int axis = 0; axis < 3; ++axis)
            for (int i = 0; i < 13333; ++i)
                p->spectrumInput[axis][i] = float(std::sin(kTwoPi * 1000.0 * i / 26667.0) + 0.01 * (i % 7));
        return p;
    }();
    return *plots;
}

void FillCapture(float *capture)
{
    for (int i = 0; i < kSpeedCaptureLength; ++i)
        capture[i] = float(std::sin(kTwoPi * 25.0 * i / (26667.0 / 50)));
}

// Three 16384-point complex transforms, each planned and allocated for the call.
void BM_LiveSpectra_PlanPerCall(benchmark::State &state)
{
    LivePlots &plots = Plots();
    const LiveSpectrumLayout l = LiveLayout(26667, 5);
    std::vector<float> input(l.n), zero(l.n, 0.0f), re(l.n), im(l.n);
    for (auto _ : state) {
        for (int axis = 0; axis < 3; ++axis) {
            {
                std::lock_guard<std::mutex> lock(plots.spectrumInputMutex);
                std::memcpy(input.data(), plots.spectrumInput[axis], sizeof(float) * l.n);
            }
            ForwardFft(input.data(), zero.data(), l.n, re.data(), im.data());
            PlotData &p = plots.spectrum[axis];
            std::lock_guard<std::mutex> lock(p.mutex);
            for (int j = 0; j < l.lines; ++j)
                p.samples[j] = 2.0f * std::sqrt(re[j] * re[j] + im[j] * im[j]) / l.n;
            p.pointCount = l.lines;
        }
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_LiveSpectra_PlanPerCall)->Unit(benchmark::kMicrosecond);

void BM_LiveSpectra_ReusedPlans(benchmark::State &state)
{
    LivePlots &plots = Plots();
    FftPlanCache plans;
    LiveSpectra spectra(plots, plans);
    spectra.ComputeLiveSpectra(26667, 5);  // plans once, as the first pass does
    for (auto _ : state) {
        spectra.ComputeLiveSpectra(26667, 5);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_LiveSpectra_ReusedPlans)->Unit(benchmark::kMicrosecond);

// One 8192-point estimate: transform, magnitudes of the lower half, search.
void BM_SpeedEstimate_PlanPerCall(benchmark::State &state)
{
    std::vector<float> capture(kSpeedCaptureLength);
    FillCapture(capture.data());
    const SpeedLayout l = SpeedLayoutFor(80001, 26667.0f, 13.0f, 25.5f);
    std::vector<float> input(l.n, 0.0f), zero(l.n, 0.0f), re(l.n), im(l.n), mag(l.n / 2);
    float speed = 0;
    for (auto _ : state) {
        std::fill(input.begin(), input.end(), 0.0f);
        std::copy(capture.begin(), capture.begin() + l.values, input.begin());
        ForwardFft(input.data(), zero.data(), l.n, re.data(), im.data());
        for (int k = 0; k < l.n / 2; ++k)
            mag[k] = std::sqrt(re[k] * re[k] + im[k] * im[k]);
        float best = 0;
        int peak = 0;
        for (int k = l.lo; k < l.hi; ++k)
            if (mag[k] > best) {
                best = mag[k];
                peak = k;
            }
        speed = peak * l.df * 60.0f;
        benchmark::DoNotOptimize(speed);
    }
    state.counters["rpm"] = speed;
}
BENCHMARK(BM_SpeedEstimate_PlanPerCall)->Unit(benchmark::kMicrosecond);

void BM_SpeedEstimate_ReusedPlans(benchmark::State &state)
{
    std::vector<float> capture(kSpeedCaptureLength);
    FillCapture(capture.data());
    const SpeedLayout l = SpeedLayoutFor(80001, 26667.0f, 13.0f, 25.5f);
    FftPlanCache plans;
    float speed = PeakSpeed(capture.data(), l, plans);
    for (auto _ : state) {
        speed = PeakSpeed(capture.data(), l, plans);
        benchmark::DoNotOptimize(speed);
    }
    state.counters["rpm"] = speed;
}
BENCHMARK(BM_SpeedEstimate_ReusedPlans)->Unit(benchmark::kMicrosecond);

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + 1e-6 * (u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

// 40 sensors at 26667 Hz, each completing a capture every three seconds, and
// live blocks arriving ten times a second: the worst the thread ever sees.
void MeasureThreadLoad(int seconds)
{
    auto table = std::make_unique<ConnectionTable>();
    LivePlots &plots = Plots();
    for (int s = 0; s < kSlotCount; ++s) {
        ConnectionRecord &rec = (*table)[s];
        rec.inUse = 1;
        rec.samplingFrequency = 26667.0f;
        FillCapture(rec.cond.speedCapture[kAxisZ]);
    }
    table->selectedConnection = 0;
    ProcessingThread proc(*table, plots);
    std::atomic<bool> done{false};
    std::atomic<int> estimates{0};
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    proc.Start();
    std::thread feeder([&] {
        int tick = 0;
        while (!done.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            plots.spectrumTicks.fetch_add(1);
            if (++tick % 30 == 0)
                for (int s = 0; s < kSlotCount; ++s) {
                    ConditionState &c = (*table)[s].cond;
                    if (c.captureCount.load() == 0)
                        estimates.fetch_add(1);
                    c.captureCount.store(c.captureLimit.load());
                }
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    proc.Stop();
    done = true;
    feeder.join();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = CpuSeconds() - cpu0;
    std::printf("processing thread, 40 paced sensors: %.3f s CPU over %.1f s = %.2f %% of one core "
                "(%d speed estimates, measured speed of slot 0 %.1f rpm)\n",
                cpu, wall, 100.0 * cpu / wall, estimates.load(), (*table)[0].measuredSpeed.load());
}

}  // namespace
}  // namespace tav

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    tav::MeasureThreadLoad(9);
    return 0;
}
