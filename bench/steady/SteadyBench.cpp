// One steady-state tick with 40 bound sensors and logging on, and the
// viewer's per-refresh data work (list texts of a page and 22 x 7200 trend values).
// Where the window library is built, also the viewer dialog's whole 500 ms
// refresh: list texts set in place, the trend copy, one trend drawing and the
// repaint of both.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "core/steady/SteadyLog.h"

#ifdef TAVENOR_BENCH_UI
#include <QApplication>

#include "ui/steady/SteadyDataDisp.h"
#endif

namespace {

using namespace tav;

void BM_TickFortySensorsLogging(benchmark::State &state)
{
    auto table = std::make_unique<ConnectionTable>();
    auto steady = std::make_unique<SteadyTable>();
    SteadyLog log(*steady);
    char tmpl[] = "/tmp/steadybenchXXXXXX";
    std::string folder = ::mkdtemp(tmpl);
    for (int s = 0; s < kSlotCount; ++s) {
        table->records[s].generation = 1;
        table->records[s].sensorAddress = uint32_t(s + 1);
        table->records[s].inUse = 1;
    }
    steady->Tick(*table, &log);
    log.Start(*table, folder);
    for (auto _ : state)
        benchmark::DoNotOptimize(steady->Tick(*table, &log));
    log.Stop();
    std::filesystem::remove_all(folder);
}
BENCHMARK(BM_TickFortySensorsLogging)->Unit(benchmark::kMicrosecond);

void BM_ViewerRefreshData(benchmark::State &state)
{
    auto steady = std::make_unique<SteadyTable>();
    std::vector<float> traces(size_t(kSteadySeriesCount) * kSteadyHistoryLength);
    char text[64];
    for (auto _ : state) {
        for (int i = 0; i < 20; ++i) {
            const SteadyRecord &r = steady->Record(i);
            std::snprintf(text, sizeof text, "%.3d    %c", int(r.address), r.inUse ? 'Y' : 'N');
            for (int s = 0; s < kSteadySeriesCount; ++s)
                std::snprintf(text, sizeof text, s == kSpeedSeries ? "%f" : "%0.2f", double(r.Current(s)));
        }
        for (int s = 0; s < kSteadySeriesCount; ++s)
            CopyRingInTimeOrder(steady->Record(0), s, traces.data() + size_t(s) * kSteadyHistoryLength);
        benchmark::DoNotOptimize(traces.data());
    }
}
BENCHMARK(BM_ViewerRefreshData)->Unit(benchmark::kMillisecond);

#ifdef TAVENOR_BENCH_UI
// 40 records in use whose values change every tick, the first page of the list, the
// 60-minute window redrawn on every tick (the worst case: normally every
// sixth tick).
void BM_ViewerDialogRefresh(benchmark::State &state)
{
    auto steady = std::make_unique<SteadyTable>();
    for (int i = 0; i < kSteadyRecordCount; ++i) {
        SteadyRecord &r = steady->Record(i);
        r.address = i + 1;
        r.inUse = 1;
        for (int s = 0; s < kSteadySeriesCount; ++s)
            for (int k = 0; k < kSteadyHistoryLength; ++k)
                r.Ring(s)[k] = 3.0f + 2.0f * std::sin(0.01f * float(k + 37 * s));
    }
    CSteadyDataDisp viewer(*steady, nullptr);
    viewer.OpenDialog();
    QApplication::processEvents();
    viewer.State().redrawDivisor = 1;
    int tick = 0;
    for (auto _ : state) {
        ++tick;
        for (int i = 0; i < kSteadyRecordCount; ++i) {
            SteadyRecord &r = steady->Record(i);
            for (int s = 0; s < kSteadyAxisValues; ++s)
                r.current[SeriesParameter(s)][SeriesAxis(s)] = 0.01f * float((tick * 7 + i * 13 + s) % 997);
            r.currentRpm = 1450.0f + float(tick % 100);
            r.writeIndex = (r.writeIndex + 1) % kSteadyHistoryLength;
        }
        viewer.Tick();
        QApplication::processEvents();  // the repaint of the list and the trend
    }
    state.counters["trend_px"] = viewer.Trend().Image().width();
    viewer.done(0);
}
BENCHMARK(BM_ViewerDialogRefresh)->Unit(benchmark::kMillisecond);
#endif

}  // namespace

#ifdef TAVENOR_BENCH_UI
int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
#else
BENCHMARK_MAIN();
#endif
