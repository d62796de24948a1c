// Cost of one plot drawing, copy of the shared data included, at the sizes
// the main window uses. Six plots at 22 redraws a second in all should stay
// well under a twentieth of a core.
#include <benchmark/benchmark.h>

#include <QGuiApplication>
#include <cmath>
#include <memory>
#include <string>

#include "Figure.h"
#include "ui/common/WaveDisp.h"

using namespace tav;

namespace {

// Renders `plot` for the benchmark's iterations and prints the mean CPU time as a figure.
void TimedRender(benchmark::State &state, CWaveDisp &plot, const char *figure)
{
    const double t0 = tav::bench::ThreadCpuSeconds();
    for (auto _ : state) benchmark::DoNotOptimize(plot.Render(1000, 300).constBits());
    const double us = (tav::bench::ThreadCpuSeconds() - t0) * 1e6 / double(state.iterations());
    tav::bench::PrintFigure(figure, us, "us CPU per draw", "-");
}

void FillTime(PlotData &d, int n)
{
    std::lock_guard<std::mutex> lock(d.mutex);
    d.pointCount = n;
    for (int i = 0; i < n; ++i)
        d.samples[i] = static_cast<float>(0.5 * std::sin(i * 0.0118) + 0.2 * std::sin(i * 0.71) +
                                          0.05 * ((i * 2654435761u >> 16) % 100) / 100.0);
}

void BM_TimeDraw100k(benchmark::State &state)
{
    auto data = std::make_unique<PlotData>();
    FillTime(*data, kPlotPoints);
    CWaveDisp plot(kTimeMode);
    plot.Bind(nullptr, data.get());
    TimedRender(state, plot, "draw: time plot, 100000 points");
}
BENCHMARK(BM_TimeDraw100k)->Unit(benchmark::kMicrosecond);

void BM_TimeDraw100kZoomed(benchmark::State &state)
{
    auto data = std::make_unique<PlotData>();
    FillTime(*data, kPlotPoints);
    CWaveDisp plot(kTimeMode);
    plot.Bind(nullptr, data.get());
    plot.xScaleIndex = 0;  // fewer samples than columns
    for (auto _ : state) benchmark::DoNotOptimize(plot.Render(1000, 300).constBits());
}
BENCHMARK(BM_TimeDraw100kZoomed)->Unit(benchmark::kMicrosecond);

void BM_SpectrumDraw6143(benchmark::State &state)
{
    auto data = std::make_unique<PlotData>();
    {
        std::lock_guard<std::mutex> lock(data->mutex);
        data->pointCount = 6143;
        for (int i = 0; i < 6143; ++i) data->samples[i] = 0.02f + (i % 97 == 0 ? 1.5f : 0.0f);
    }
    CWaveDisp plot(kSpectrumMode);
    plot.Bind(nullptr, data.get());
    TimedRender(state, plot, "draw: spectrum, 6143 lines");
}
BENCHMARK(BM_SpectrumDraw6143)->Unit(benchmark::kMicrosecond);

void BM_TrendDraw8Series(benchmark::State &state)
{
    static int selected[kTrendSeries] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1};
    static const std::string names[kTrendSeries] = {
        "X_AR", "X_AP", "X_AK", "X_VR", "X_VP", "X_DR", "X_DP", "Y_AR", "Y_AP", "Y_AK", "Y_VR",
        "Y_VP", "Y_DR", "Y_DP", "Z_AR", "Z_AP", "Z_AK", "Z_VR", "Z_VP", "Z_DR", "Z_DP", "rpm"};
    CWaveDisp plot(kTrendMode);
    plot.rightMargin = 124;
    plot.yScaleIndex = 7;
    plot.pointCount = 7200;
    plot.trendSelected = selected;
    plot.trendName = names;
    for (int s = 14; s < kTrendSeries; ++s)
        for (int i = 0; i < 7200; ++i) plot.trendTraces[s][i] = 1.0f + (s - 14) + 0.3f * std::sin(i * 0.01f);
    TimedRender(state, plot, "draw: trend, 8 series of 7200");
}
BENCHMARK(BM_TrendDraw8Series)->Unit(benchmark::kMicrosecond);

void BM_Snapshot100k(benchmark::State &state)
{
    auto data = std::make_unique<PlotData>();
    FillTime(*data, kPlotPoints);
    std::vector<float> copy(kPlotPoints);
    for (auto _ : state) benchmark::DoNotOptimize(data->Snapshot(0, copy.data()));
}
BENCHMARK(BM_Snapshot100k)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
