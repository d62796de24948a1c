// The analysis window's cost: 4 s spectra and envelope spectra with the
// Hann window and averaging twice a second (CPU share of one core), the drawing of its plot,
// and a paced fleet of 40 sensors with the window closed and then open, in
// one run, to show that acquisition does not notice it. BENCH_SECONDS sets
// the length of each fleet phase (default 10).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "Figure.h"
#include "core/analysis/AnalysisWorker.h"
#include "core/station/Station.h"
#include "support/TestPeers.h"
#include "ui/analysis/AnalysisPlot.h"

extern char **environ;

namespace {

constexpr float kFs = 26667.0f;

tav::analysis::Request FourSecondHann()
{
    tav::analysis::Request r;
    r.spectrum.seconds = 4;
    r.spectrum.window = tav::analysis::WindowKind::Hann;
    r.spectrum.averaging = tav::analysis::Averaging::Exponential;
    r.spectrum.averages = 8;
    return r;
}

// Half a second of a machine with noise, as the conditioning would write it.
void WriteHalfSecond(tav::LiveCapture &capture, long &row)
{
    static std::vector<float> values(static_cast<size_t>(kFs / 2));
    for (size_t i = 0; i < values.size(); ++i, ++row) {
        const double t = row / double(kFs);
        values[i] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 29.5 * t) +
                                       0.1 * std::sin(2 * std::numbers::pi * 1234.5 * t) +
                                       0.01 * (((row * 2654435761u) >> 16) % 1000 / 500.0 - 1.0));
    }
    const float *src[3][3];
    for (auto &axis : src)
        for (auto &q : axis)
            q = values.data();
    capture.Write(0, kFs, src, static_cast<int>(values.size()));
}

struct FleetFigures {
    long long lost = 0;
    double cpuPercent = 0;
};

FleetFigures RunFleet(tav::Station &station, int seconds, const char *tag)
{
    const std::string port = std::to_string(station.Port());
    const std::string duration = std::to_string(seconds);
    const std::string out = std::string("/tmp/bench_analysis_sim_") + tag + ".txt";
    const char *argv[] = {TAVENOR_SIM_PATH, "--port", port.c_str(), "--sensors", "40", "--rpm-step", "15",
                          "--duration", duration.c_str(), "--quiet", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char **>(argv), environ) != 0)
        return {-1, 0};
    tav::test::WaitFor([&] { return station.Table().CountInUse() == 40; }, std::chrono::seconds(20));
    station.Table().selectedConnection = 0;
    const tav::bench::Usage u0 = tav::bench::ProcessUsage();
    const auto t0 = std::chrono::steady_clock::now();
    int status = 0;
    waitpid(pid, &status, 0);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const tav::bench::Usage u1 = tav::bench::ProcessUsage();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    tav::test::WaitFor([&] { return station.Table().CountInUse() == 0; }, std::chrono::seconds(10));
    // Each accept starts its slot's count afresh: what the slots hold now
    // is this phase's.
    uint64_t received = 0;
    for (auto &r : station.Table().records)
        received += r.bytesReceived.load();
    const tav::bench::SimSent sent = tav::bench::ReadSimSent(out);
    return {static_cast<long long>(sent.bytes) - static_cast<long long>(received),
            100.0 * (u1.cpu - u0.cpu) / wall};
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
            WriteHalfSecond(plots->capture, row);
        tav::analysis::AnalysisWorker worker(*table, *plots);
        worker.SetRequest(FourSecondHann());
        worker.Step();  // plans the transform
        const int steps = 40;
        const double t0 = tav::bench::ThreadCpuSeconds();
        for (int i = 0; i < steps; ++i) {
            WriteHalfSecond(plots->capture, row);
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
            WriteHalfSecond(plots->capture, row);
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
    tav::StationOptions options;
    options.port = 0;
    options.startFolder = "/tmp";
    tav::Station station(options, sink);
    std::vector<std::string> errors;
    if (station.Start(&errors) != 0) {
        std::printf("station did not start\n");
        return 1;
    }
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
