// One steady-state tick with 40 bound sensors and logging on, and the
// viewer's per-refresh data work (list texts of a page and 22 x 7200 trend values).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "steady/SteadyLog.h"

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

}  // namespace

BENCHMARK_MAIN();
