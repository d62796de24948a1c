// Cost of producing simulated sensor traffic: packets per second of CPU, and
// from it how many sensors at 26667 Hz one core can feed.
#include <benchmark/benchmark.h>

#include <vector>

#include "sim/SensorCore.h"
#include "sim/SimOptions.h"

using namespace tav::sim;

namespace {

constexpr double kPacketsPerSensorSecond = 26667.0 / 116;

void Report(benchmark::State &state)
{
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(int64_t(state.iterations()) * 1420);
    state.counters["sensors_per_core"] = benchmark::Counter(
        double(state.iterations()) / kPacketsPerSensorSecond, benchmark::Counter::kIsRate);
}

// The default demo signal: three orders per axis and Gaussian noise.
void BM_BuildPacketDefaultSignal(benchmark::State &state)
{
    SensorStats stats;
    SensorCore core(DefaultFleetConfig().base, stats, 0.0);
    std::vector<uint8_t> packet(1420);
    for (auto _ : state) {
        core.BuildPacket(packet.data());
        benchmark::DoNotOptimize(packet.data());
    }
    Report(state);
}
BENCHMARK(BM_BuildPacketDefaultSignal);

// A plain sine without noise: the floor of the packet path.
void BM_BuildPacketPlainSine(benchmark::State &state)
{
    SensorConfig c;
    std::string error;
    ParseAxisSignal("159.15hz=1", &c.axes[0], &error);
    SensorStats stats;
    SensorCore core(c, stats, 0.0);
    std::vector<uint8_t> packet(1420);
    for (auto _ : state) {
        core.BuildPacket(packet.data());
        benchmark::DoNotOptimize(packet.data());
    }
    Report(state);
}
BENCHMARK(BM_BuildPacketPlainSine);

// The whole paced path without a socket: 10 ms bursts of one sensor, each
// queued and drained; one iteration is one simulated second.
void BM_PacedSensorSecond(benchmark::State &state)
{
    SensorStats stats;
    SensorCore core(DefaultFleetConfig().base, stats, 0.0);
    core.OnConnected(0.0);
    double now = 0.0;
    auto sink = [](const iovec *iov, int count) {
        long n = 0;
        for (int i = 0; i < count; ++i)
            n += long(iov[i].iov_len);
        return n;
    };
    for (auto _ : state) {
        for (int burst = 0; burst < 100; ++burst) {
            now += 0.010;
            core.Advance(now);
            core.Output().Flush(sink, &stats);
        }
    }
    state.counters["packets_per_s"] =
        benchmark::Counter(double(stats.packetsSent.load()), benchmark::Counter::kIsRate);
    state.counters["sensors_per_core"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PacedSensorSecond)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
