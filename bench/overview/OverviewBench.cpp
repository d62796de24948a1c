// The overview's refresh with 40 machines, as the window thread does it on
// every steady tick while the window is shown: the known machines, the
// tiles' state and order from the tick and the alarms, and their painting at
// the size they have on a 1280 x 720 screen.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <cmath>
#include <memory>

#include "Figure.h"
#include "core/config/DeviceParameterTable.h"
#include "ui/overview/OverviewDlg.h"

using namespace tav;

namespace {

constexpr int kSensors = 40;
double gStateSeconds = 0, gRefreshSeconds = 0;

struct Fleet {
    AlarmEngine engine;
    std::map<int32_t, MachineSettings> machines;
    DeviceParameterTable table;
    std::unique_ptr<SteadySnapshot> snapshot = std::make_unique<SteadySnapshot>();
    int64_t tick = 0;

    Fleet()
    {
        for (int i = 0; i < kSensors; ++i) {
            MachineSettings &m = machines[100 + i];
            m.address = 100 + i;
            m.name = "机组 " + std::to_string(i + 1) + " 电机端";
            m.isoClass = IsoClass::kGroup2Rigid;
        }
        engine.SetSettings(machines);
        snapshot->count = kSensors;
        for (int i = 0; i < kSensors; ++i) {
            SteadySensorValues &v = snapshot->sensors[i];
            v.address = 100 + i;
            v.slot = i;
            v.generation = 1;
            v.peerIp = 0x7f000001;
        }
    }
    // The next tick: severities swinging through the zones, so the order changes.
    void Tick()
    {
        snapshot->utcMs = 1'700'000'000'000 + tick * 500;
        for (int i = 0; i < kSensors; ++i) {
            SteadySensorValues &v = snapshot->sensors[i];
            v.packetsParsed += 115;
            for (int k = 0; k < 3; ++k)
                v.isoVelocity[k] = float(2.5 + 2.0 * std::sin(double(tick + i * 7 + k) * 0.05));
            v.values[kSpeedSeries] = 1490.0f + float(i);
            v.temperature = 40.0f;
        }
        engine.OnSteadySnapshot(*snapshot);
        ++tick;
    }
};

void TileState(benchmark::State &state)
{
    Fleet fleet;
    OverviewModel model;
    std::vector<KnownSensor> known;
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fleet.Tick();
        state.ResumeTiming();
        const double t0 = bench::ThreadCpuSeconds();
        known = KnownSensors({}, fleet.table, fleet.machines);
        model.Refresh(known, *fleet.snapshot, fleet.engine);
        cpu += bench::ThreadCpuSeconds() - t0;
    }
    gStateSeconds = cpu / double(state.iterations());
}

void Refresh(benchmark::State &state)
{
    Fleet fleet;
    ui::COverviewDlg dialog;
    dialog.resize(1264, 680);
    dialog.show();
    QApplication::processEvents();
    std::vector<KnownSensor> known;
    QImage image(dialog.Tiles().size(), QImage::Format_ARGB32_Premultiplied);
    double cpu = 0;
    for (auto _ : state) {
        state.PauseTiming();
        fleet.Tick();
        state.ResumeTiming();
        const double t0 = bench::ThreadCpuSeconds();
        known = KnownSensors({}, fleet.table, fleet.machines);
        dialog.Model().Refresh(known, *fleet.snapshot, fleet.engine);
        dialog.ShowModel();
        // The repaint the update asks for, drawn where it can be timed.
        QPainter painter(&image);
        dialog.Tiles().render(&painter);
        painter.end();
        cpu += bench::ThreadCpuSeconds() - t0;
    }
    gRefreshSeconds = cpu / double(state.iterations());
    state.counters["tiles"] = double(dialog.Model().Tiles().size());
}

}  // namespace

BENCHMARK(TileState)->Unit(benchmark::kMicrosecond);
BENCHMARK(Refresh)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (gStateSeconds > 0)
        bench::PrintFigure("overview tile state, 40 machines per tick", gStateSeconds * 1e3, "ms", "-");
    if (gRefreshSeconds > 0)
        bench::PrintFigure("overview refresh and paint, 40 tiles per tick", gRefreshSeconds * 1e3, "ms", "<= 10");
    return 0;
}
