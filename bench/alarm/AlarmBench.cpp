// Alarm evaluation on one steady-state tick for 40 sensors, every quantity
// with limits on every axis, velocity by a baseline with its change watch,
// values moving about their limits. And the packing of every packet into a
// sensor's pre-trigger ring, which each parser thread does as packets arrive.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "Figure.h"
#include "core/alarm/AlarmCaptureCodec.h"
#include "core/alarm/AlarmEngine.h"
#include "sim/SignalGenerator.h"
#include "sim/SimOptions.h"

using namespace tav;

namespace {

constexpr int kSensors = 40;
double gTickSeconds = 0;
double gPackSeconds = 0;

void EvaluateTick(benchmark::State &state)
{
    AlarmEngine engine;
    std::map<int32_t, MachineSettings> machines;
    for (int i = 0; i < kSensors; ++i) {
        MachineSettings m;
        m.address = 100 + i;
        m.name = "机组";
        m.isoClass = IsoClass::kGroup2Rigid;
        // A baseline on every axis: the velocity limits come from it and the
        // change watch runs beside them.
        for (double &b : m.baseline.velocity)
            b = 1.0;
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

// Packets of the fleet's default signals at its speed and sampling frequency.
std::vector<uint8_t> FleetPackets(int count)
{
    const sim::FleetConfig fleet = sim::DefaultFleetConfig();
    sim::SignalGenerator gen(fleet.base.axes, fleet.base.rpm, 1);
    std::vector<uint8_t> packets(size_t(count) * kPacketSize);
    float xyz[3 * kSamplesPerPacket];
    for (int i = 0; i < count; ++i) {
        uint8_t *p = packets.data() + size_t(i) * kPacketSize;
        gen.Generate(xyz, kSamplesPerPacket, fleet.base.fs);
        std::memcpy(p, kPacketStartMarker, 4);
        StoreU32LE(p + kPacketAddressOffset, 100);
        StoreF32LE(p + kPacketFrequencyOffset, float(fleet.base.fs));
        StoreF32LE(p + kPacketTemperatureOffset, fleet.base.temperature);
        StoreU32LE(p + 16, uint32_t(i));
        for (int k = 0; k < 3 * kSamplesPerPacket; ++k)
            StoreF32LE(p + kPacketSamplesOffset + 4u * uint32_t(k), xyz[k]);
        std::memcpy(p + kPacketEndOffset, kPacketEndMarker, 4);
    }
    return packets;
}

void PackRingPacket(benchmark::State &state)
{
    constexpr int kCount = 256;
    const std::vector<uint8_t> packets = FleetPackets(kCount);
    uint8_t out[kMaxPackedPacketBytes];
    uint64_t packed = 0;
    int i = 0;
    const double t0 = tav::bench::ThreadCpuSeconds();
    for (auto _ : state) {
        packed += PackPacket(packets.data() + size_t(i) * kPacketSize, out);
        benchmark::DoNotOptimize(out);
        i = (i + 1) % kCount;
    }
    gPackSeconds = (tav::bench::ThreadCpuSeconds() - t0) / double(state.iterations());
    state.counters["bytes"] = double(packed) / double(state.iterations());
}

void UnpackRingPacket(benchmark::State &state)
{
    constexpr int kCount = 256;
    const std::vector<uint8_t> packets = FleetPackets(kCount);
    std::vector<uint8_t> packed(size_t(kCount) * kMaxPackedPacketBytes);
    std::vector<uint32_t> sizes(kCount);
    for (int i = 0; i < kCount; ++i)
        sizes[i] = PackPacket(packets.data() + size_t(i) * kPacketSize, packed.data() + size_t(i) * kMaxPackedPacketBytes);
    uint8_t packet[kPacketSize];
    int i = 0;
    for (auto _ : state) {
        if (!UnpackPacket(packed.data() + size_t(i) * kMaxPackedPacketBytes, sizes[i], packet))
            state.SkipWithError("not unpacked");
        benchmark::DoNotOptimize(packet);
        i = (i + 1) % kCount;
    }
}

}  // namespace

BENCHMARK(EvaluateTick)->Unit(benchmark::kMicrosecond);
BENCHMARK(PackRingPacket);
BENCHMARK(UnpackRingPacket);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (gTickSeconds > 0)
        tav::bench::PrintFigure("alarm evaluation, 40 sensors per tick", gTickSeconds * 1e3, "ms", "<= 0.2");
    if (gPackSeconds > 0)
        tav::bench::PrintFigure("alarm ring packing, one packet", gPackSeconds * 1e6, "us", "-");
    return 0;
}
