// Alarm evaluation on one steady-state tick for 40 sensors, every quantity
// with limits on every axis, values moving about their limits.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

#include "Figure.h"
#include "core/alarm/AlarmEngine.h"

using namespace tav;

namespace {

constexpr int kSensors = 40;
double gTickSeconds = 0;

void EvaluateTick(benchmark::State &state)
{
    AlarmEngine engine;
    std::map<int32_t, MachineSettings> machines;
    for (int i = 0; i < kSensors; ++i) {
        MachineSettings m;
        m.address = 100 + i;
        m.name = "机组";
        m.isoClass = IsoClass::kGroup2Rigid;
        for (int q = 1; q < kAlarmQuantityCount; ++q) {
            m.alert[q] = 10;
            m.danger[q] = 20;
        }
        machines[m.address] = m;
    }
    engine.SetSettings(machines);
    auto snapshot = std::make_unique<SteadySnapshot>();
    snapshot->count = kSensors;
    for (int i = 0; i < kSensors; ++i) {
        SteadySensorValues &v = snapshot->sensors[i];
        v.address = 100 + i;
        v.slot = i;
        v.generation = 1;
        v.ratedSpeed = 1500;
    }
    int64_t tick = 0;
    const double t0 = tav::bench::ThreadCpuSeconds();
    for (auto _ : state) {
        snapshot->utcMs = 1'700'000'000'000 + tick * 500;
        // Slow swings across the limits so that alarms rise and clear.
        const float swing = float(1.0 + std::sin(double(tick) * 0.01));
        for (int i = 0; i < kSensors; ++i) {
            SteadySensorValues &v = snapshot->sensors[i];
            v.packetsParsed += 115;
            for (int k = 0; k < 3; ++k)
                v.isoVelocity[k] = 2.5f * swing + 0.1f * float(k);
            for (int s = 0; s < kSteadySeriesCount; ++s)
                v.values[s] = 10.0f * swing + float(i % 3);
            v.values[kSpeedSeries] = 1500.0f * (1.0f + 0.1f * swing);
            v.temperature = 15.0f * swing;
        }
        engine.OnSteadySnapshot(*snapshot);
        if (tick % 1000 == 999)
            engine.Acknowledge({}, "", snapshot->utcMs);
        ++tick;
    }
    gTickSeconds = (tav::bench::ThreadCpuSeconds() - t0) / double(state.iterations());
    state.counters["alarms"] = double(engine.Alarms().size());
}

}  // namespace

BENCHMARK(EvaluateTick)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (gTickSeconds > 0)
        tav::bench::PrintFigure("alarm evaluation, 40 sensors per tick", gTickSeconds * 1e3, "ms", "<= 0.2");
    return 0;
}
