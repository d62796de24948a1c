// The analysis window's cost: 4 s spectra and envelope spectra with the
// Hann window and averaging twice a second (CPU share of one core), the drawing of its plot,
// and a paced fleet of 40 sensors with the window closed and then open, in
// one run, to show that acquisition does not notice it. BENCH_SECONDS sets
// the length of each fleet phase (default 10).
#include <QApplication>
#include <QImage>
#include <QPainter>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Figure.h"
#include "Fleet.h"
#include "core/analysis/AnalysisWorker.h"
#include "core/station/Station.h"
#include "support/TestPeers.h"
#include "ui/analysis/AnalysisPlot.h"

namespace {

constexpr float kFs = 26667.0f;
constexpr int kHalfSecond = static_cast<int>(kFs / 2);

tav::analysis::Request FourSecondHann()
{
    tav::analysis::Request r;
    r.spectrum.seconds = 4;
    r.spectrum.window = tav::analysis::WindowKind::Hann;
    r.spectrum.averaging = tav::analysis::Averaging::Exponential;
    r.spectrum.averages = 8;
    return r;
}

struct FleetFigures {
    long long lost = 0;
    double cpuPercent = 0;
};

FleetFigures RunFleet(tav::Station &station, int seconds, const char *tag)
{
    const std::string out = std::string("/tmp/bench_analysis_sim_") + tag + ".txt";
    const pid_t pid = tav::bench::SpawnFleet(TAVENOR_SIM_PATH, station.Port(), seconds, out);
    if (pid < 0)
        return {-1, 0};
    const tav::bench::FleetUsage usage = tav::bench::AwaitFleet(station, pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    tav::test::WaitFor([&] { return station.Table().CountInUse() == 0; }, std::chrono::seconds(10));
    // Each accept starts its slot's count afresh: what the slots hold now
    // is this phase's.
    uint64_t received = 0;
    for (auto &r : station.Table().records)
        received += r.bytesReceived.load();
    const tav::bench::SimSent sent = tav::bench::ReadSimSent(out);
    return {static_cast<long long>(sent.bytes) - static_cast<long long>(received), usage.CpuPercent()};
}

}  // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int seconds = std::getenv("BENCH_SECONDS") ? std::atoi(std::getenv("BENCH_SECONDS")) : 10;

    // 1. The computation: one step per half second of new data.
    {
        auto table = std::make_unique<tav::ConnectionTable>();
        auto plots = std::make_unique<tav::LivePlots>();
        table->selectedConnection = 0;
        (*table)[0].samplingFrequency = kFs;
        (*table)[0].measuredSpeed = 1770.0f;
        plots->capture.Start();
        long row = 0;
        for (int i = 0; i < 9; ++i)
            tav::bench::WriteMachineSignal(plots->capture, kFs, kHalfSecond, row);
        tav::analysis::AnalysisWorker worker(*table, *plots);
        worker.SetRequest(FourSecondHann());
        worker.Step();  // plans the transform
        const int steps = 40;
        const double t0 = tav::bench::ThreadCpuSeconds();
        for (int i = 0; i < steps; ++i) {
            tav::bench::WriteMachineSignal(plots->capture, kFs, kHalfSecond, row);
            worker.Step();
        }
        const double perStep = (tav::bench::ThreadCpuSeconds() - t0) / steps;
        std::printf("analysis: 4 s spectrum (131072 points), Hann, exponential average, peaks: %.2f ms per step\n",
                    perStep * 1e3);
        tav::bench::PrintFigure("analysis: 4 s Hann spectra twice a second", 100.0 * perStep * 2, "% of one core",
                                "<= 2");

        // The envelope mode: band-pass and analytic signal of the same 4 s,
        // then their spectrum to 1 kHz, averaged.
        tav::analysis::AnalysisWorker envelope(*table, *plots);
        tav::analysis::Request er = FourSecondHann();
        er.mode = tav::analysis::Mode::Envelope;
        er.spectrum.spanHz = 1000;
        er.toHz = 1000;
        envelope.SetRequest(er);
        envelope.Step();  // plans the transforms
        const double e0 = tav::bench::ThreadCpuSeconds();
        for (int i = 0; i < steps; ++i) {
            tav::bench::WriteMachineSignal(plots->capture, kFs, kHalfSecond, row);
            envelope.Step();
        }
        const double perEnvelope = (tav::bench::ThreadCpuSeconds() - e0) / steps;
        std::printf("analysis: 4 s envelope spectrum (2-5 kHz band, 131072 points), Hann, exponential average, "
                    "peaks: %.2f ms per step\n",
                    perEnvelope * 1e3);
        tav::bench::PrintFigure("analysis: 4 s envelope spectra twice a second", 100.0 * perEnvelope * 2,
                                "% of one core", "<= 2");

        // 2. Its plot at a large window's size, the whole 10 kHz of 49152 lines.
        tav::analysis::Result result;
        worker.TakeResult(result, 0);
        tav::ui::AnalysisPlot view;
        view.SetResult(result);
        QImage image(1000, 520, QImage::Format_RGB32);
        const int draws = 200;
        const double d0 = tav::bench::ThreadCpuSeconds();
        for (int i = 0; i < draws; ++i) {
            QPainter p(&image);
            view.Render(p, image.width(), image.height());
        }
        const double perDraw = (tav::bench::ThreadCpuSeconds() - d0) / draws;
        tav::bench::PrintFigure("analysis: plot drawn (1000 x 520, 49152 lines)", perDraw * 1e3, "ms", "<= 2");
    }

    // 3. Acquisition with the window closed, then open, in one run.
    tav::test::RecordingEventSink sink;
    tav::Station station(tav::bench::FleetStationOptions(), sink);
    if (!tav::bench::StartStation(station))
        return 1;
    const FleetFigures closed = RunFleet(station, seconds, "closed");
    tav::analysis::AnalysisWorker worker(station.Table(), station.Plots());
    worker.SetRequest(FourSecondHann());
    worker.Start();
    const FleetFigures open = RunFleet(station, seconds, "open");
    worker.Stop();
    station.Stop();
    std::printf("paced fleet, 40 sensors at 26667 Hz, %d s each, one displayed:\n", seconds);
    std::printf("  window closed: lost %lld bytes, station CPU %.1f %% of one core\n", closed.lost, closed.cpuPercent);
    std::printf("  window open:   lost %lld bytes, station CPU %.1f %% of one core\n", open.lost, open.cpuPercent);
    tav::bench::PrintFigure("analysis: fleet bytes lost, window closed", double(closed.lost), "bytes", "0");
    tav::bench::PrintFigure("analysis: fleet bytes lost, window open", double(open.lost), "bytes", "0");
    tav::bench::PrintFigure("analysis: station CPU added by the open window", open.cpuPercent - closed.cpuPercent,
                            "% of one core", "<= 2");
    return 0;
}
