// Band watching for 40 sensors with 6 bands each (1x and 2x on the velocity
// spectrum, a bearing's four defect bands on the envelope) at 26667 Hz: the
// monitor's pass, which runs once a second, the parser threads' copy of a
// second of every sensor's samples into the rings, and the tick's read of the
// values. The sum over a second is the share of one core. The same fleet
// rated at 300 rpm adds each slow machine's 2 Hz - 1 kHz severity on its
// long transform; the difference of the passes is what that costs.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstring>
#include <memory>
#include <vector>

#include "Figure.h"
#include "core/health/BandMonitor.h"
#include "core/history/HistoryBands.h"
#include "core/net/SensorFrame.h"
#include "sim/SignalGenerator.h"

using namespace tav;

namespace {

constexpr int kSensors = 40;
constexpr double kFs = 26667;
constexpr int kBlockPackets = 23;                       // ~0.1 s, as sensors send
constexpr int kBlocksPerSecond = int(kFs / (kBlockPackets * kSamplesPerPacket)) + 1;
double gPassSeconds = 0, gFeedSeconds = 0, gReadSeconds = 0, gDayBytes = 0, gSlowPassSeconds = 0;

struct Fleet {
    std::unique_ptr<ConnectionTable> table = std::make_unique<ConnectionTable>();
    std::unique_ptr<health::BandMonitor> monitor = std::make_unique<health::BandMonitor>(*table);
    std::vector<uint8_t> block = std::vector<uint8_t>(kBlockPackets * kPacketSize);

    explicit Fleet(double ratedRpm = 0)
    {
        std::map<int32_t, MachineSettings> machines;
        for (int i = 0; i < kSensors; ++i) {
            MachineSettings m;
            m.address = 100 + i;
            m.bands.push_back({"1X", BandKind::kOrder, BandSpectrum::kVelocity, 0.8, 1.2});
            m.bands.push_back({"2X", BandKind::kOrder, BandSpectrum::kVelocity, 1.8, 2.2});
            m.bearings.push_back({"6308", 8, 15, 65, 0});
            m.bearingAlert = 0.05;
            m.ratedRpm = ratedRpm;
            machines[m.address] = m;
            ConnectionRecord &rec = (*table)[i];
            rec.generation.store(1);
            rec.sensorAddress.store(uint32_t(m.address));
            rec.samplingFrequency.store(float(kFs));
            rec.measuredSpeed.store(1480);
            rec.speedEstimates.store(1);
            rec.inUse.store(1);
        }
        monitor->SetSettings(machines);
        monitor->Pass();
        sim::AxisSignal axis;
        std::string error;
        sim::ParseAxisSignal("1x=0.05,2x=0.02,3000hz=0.5,noise=0.05", &axis, &error);
        sim::SignalGenerator gen({axis, axis, axis}, 1480, 1);
        float xyz[3 * kSamplesPerPacket];
        for (int p = 0; p < kBlockPackets; ++p) {
            uint8_t *packet = block.data() + size_t(p) * kPacketSize;
            gen.Generate(xyz, kSamplesPerPacket, kFs);
            std::memcpy(packet + kPacketSamplesOffset, xyz, sizeof xyz);
        }
    }
    void FeedSecond()
    {
        for (int i = 0; i < kSensors; ++i)
            for (int b = 0; b < kBlocksPerSecond; ++b)
                monitor->RecordBlock((*table)[i], block.data(), uint32_t(block.size()));
    }
};

void FeedOneSecond(benchmark::State &state)
{
    Fleet fleet;
    const double t0 = bench::ThreadCpuSeconds();
    for (auto _ : state)
        fleet.FeedSecond();
    gFeedSeconds = (bench::ThreadCpuSeconds() - t0) / double(state.iterations());
}

void PassOverFleet(benchmark::State &state)
{
    Fleet fleet(state.range(0));
    // A slow machine's transform is 2.46 s long: none before that.
    for (int s = 0; s < 3; ++s)
        fleet.FeedSecond();
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fleet.FeedSecond();  // new data, or the pass skips the sensors
        state.ResumeTiming();
        const double t0 = bench::ThreadCpuSeconds();
        fleet.monitor->Pass();
        cpu += bench::ThreadCpuSeconds() - t0;
    }
    (state.range(0) > 0 ? gSlowPassSeconds : gPassSeconds) = cpu / double(state.iterations());
}

void ReadForTick(benchmark::State &state)
{
    Fleet fleet;
    fleet.FeedSecond();
    fleet.monitor->Pass();
    float values[kMaxBands][3];
    const double t0 = bench::ThreadCpuSeconds();
    for (auto _ : state) {
        for (int i = 0; i < kSensors; ++i)
            fleet.monitor->Read(i, 1, values);
        benchmark::DoNotOptimize(values);
    }
    gReadSeconds = (bench::ThreadCpuSeconds() - t0) / double(state.iterations());
}

// A day of one sensor's six bands, each value moving by a few per cent from
// second to second as measured ones do, into the history's band tables:
// the bytes of the packed runs plus SQLite's per-row share (about 40 bytes).
void HistoryDay(benchmark::State &state)
{
    for (auto _ : state) {
        sqlite3 *db = nullptr;
        sqlite3_open(":memory:", &db);
        BandHistory history;
        std::string error;
        history.Open(db, &error);
        auto snapshot = std::make_unique<SteadySnapshot>();
        snapshot->count = 1;
        SteadySensorValues &v = snapshot->sensors[0];
        v.address = 1;
        uint32_t noise = 12345;
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        for (int64_t tick = 0; tick <= 2 * 86400 + 120; ++tick) {
            snapshot->utcMs = 1'767'225'600'000LL + tick * 500;
            if (tick % 2 == 0)
                for (int b = 0; b < 6; ++b)
                    for (int axis = 0; axis < 3; ++axis) {
                        noise = noise * 1664525u + 1013904223u;
                        v.band[b][axis] = float((0.5 + 0.1 * b) * (1.0 + 0.05 * (double(noise >> 8) / 16777216.0 - 0.5)));
                    }
            history.Process(*snapshot);
        }
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_stmt *st = nullptr;
        sqlite3_prepare_v2(db,
                           "SELECT (SELECT sum(length(data)) + 40 * count(*) FROM band_minute_runs WHERE t0 < "
                           "1767312000000) + (SELECT sum(length(data)) + 40 * count(*) FROM band_hour_runs)",
                           -1, &st, nullptr);
        if (sqlite3_step(st) == SQLITE_ROW)
            gDayBytes = sqlite3_column_double(st, 0);
        sqlite3_finalize(st);
        history.Close();
        sqlite3_close(db);
    }
}

}  // namespace

BENCHMARK(HistoryDay)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(FeedOneSecond)->Unit(benchmark::kMillisecond);
BENCHMARK(PassOverFleet)->Arg(0)->Arg(300)->Unit(benchmark::kMillisecond);
BENCHMARK(ReadForTick)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (gPassSeconds > 0 && gFeedSeconds > 0) {
        bench::PrintFigure("band watch, 40 sensors x 6 bands, share of a core", (gPassSeconds + gFeedSeconds) * 100,
                           "%", "<= 1");
        bench::PrintFigure("band watch: monitor pass, 40 sensors", gPassSeconds * 1e3, "ms/s", "");
    }
    if (gSlowPassSeconds > 0 && gPassSeconds > 0)
        bench::PrintFigure("slow machines' 2 Hz severity, 40 sensors at 300 rpm, added share of a core",
                           (gSlowPassSeconds - gPassSeconds) * 100, "%", "");
    if (gReadSeconds > 0)
        bench::PrintFigure("band values into the tick, 40 sensors", gReadSeconds * 1e6, "us", "<= 500");
    if (gDayBytes > 0)
        bench::PrintFigure("band series in the history, 6 bands, per sensor-day", gDayBytes / 1024, "KiB", "");
    return 0;
}
