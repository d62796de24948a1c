// The waterfall's cost: the spectra of one second of data (26667 Hz, lines
// to 10 kHz) as the worker computes them, the memory of 30 minutes of rows
// with the picture of a large window, and the redraw of that picture, in
// full and as one new row arrives.
#include <QApplication>
#include <QImage>
#include <QPainter>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numbers>
#include <vector>

#include "Figure.h"
#include "core/analysis/WaterfallWorker.h"
#include "ui/analysis/WaterfallPlot.h"

namespace {

constexpr float kFs = 26667.0f;

// One second of a machine with noise, as the conditioning would write it.
void WriteSecond(tav::LiveCapture &capture, long &row)
{
    static std::vector<float> values(static_cast<size_t>(kFs));
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

}  // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    // 1. The computation: one row per second of data, lines to 10 kHz.
    {
        auto table = std::make_unique<tav::ConnectionTable>();
        auto plots = std::make_unique<tav::LivePlots>();
        table->selectedConnection = 0;
        plots->capture.Start();
        tav::analysis::WaterfallWorker worker(*table, *plots);
        tav::analysis::WaterfallRequest r;
        r.maxHz = 10000;
        r.minutes = 30;
        worker.SetRequest(r);
        long row = 0;
        WriteSecond(plots->capture, row);
        worker.Step();  // lays out and plans
        const int seconds = 60;
        double cpu = 0;
        for (int i = 0; i < seconds; ++i) {
            WriteSecond(plots->capture, row);
            const double t0 = tav::bench::ThreadCpuSeconds();
            worker.Step();
            cpu += tav::bench::ThreadCpuSeconds() - t0;
        }
        std::printf("waterfall: %llu rows, %.3f ms per second of data (1 s Hann spectrum, 32768 points, 12289 lines)\n",
                    static_cast<unsigned long long>(worker.Store().Rows()), 1e3 * cpu / seconds);
        tav::bench::PrintFigure("waterfall: spectra of one second of data", 100.0 * cpu / seconds, "% of one core",
                                "<= 1");
    }

    // 2. Thirty minutes in memory, the worst case: 25600 Hz gives 12,801
    // lines to 10 kHz. The rows are appended directly; their content does
    // not change their size.
    tav::analysis::WaterfallSignal s;
    s.slot = 0;
    s.fs = 25600;
    s.df = 25600.0 / 32768;
    s.lines = 12801;
    s.maxHz = 10000;
    const double rss0 = tav::bench::RssMb();
    auto store = std::make_unique<tav::analysis::WaterfallStore>();
    store->Reset(s, 30);
    std::vector<float> amplitude(static_cast<size_t>(s.lines));
    const double start = 1.7e9;
    for (int i = 0; i < 30 * 60; ++i) {
        for (size_t k = 0; k < amplitude.size(); ++k)
            amplitude[k] = static_cast<float>(1e-4 + 0.5 * std::exp(-std::pow((k - 40.0 - i * 0.01) / 3.0, 2)) +
                                              1e-3 * ((k * 7919u + i * 104729u) % 1000) / 1000.0);
        store->Append(start + i, amplitude.data());
    }
    tav::ui::WaterfallPlot plot(*store);
    plot.resize(1000 + 66 + 78, 600 + 8 + 24);  // a 1000 x 600 colour map
    const double r0 = tav::bench::ThreadCpuSeconds();
    plot.Refresh();
    const double rebuild = tav::bench::ThreadCpuSeconds() - r0;
    const double rss1 = tav::bench::RssMb();
    std::printf("waterfall: 30 min x 12801 lines: store %.1f MB, picture %d x %d; whole process grew %.1f MB; "
                "picture built from the rows in %.1f ms\n",
                store->Bytes() / 1048576.0, plot.Picture().Width(), plot.Picture().Rows(), rss1 - rss0, 1e3 * rebuild);
    tav::bench::PrintFigure("waterfall: 30 min in memory (12,801 lines, 1000 px picture)", rss1 - rss0, "MB",
                            "<= 100");

    // 3. Redraws of the whole plot, and a new row taken in and drawn.
    QImage image(plot.width(), plot.height(), QImage::Format_RGB32);
    const int draws = 200;
    const double d0 = tav::bench::ThreadCpuSeconds();
    for (int i = 0; i < draws; ++i) {
        QPainter p(&image);
        plot.Render(p, image.width(), image.height());
    }
    const double perDraw = (tav::bench::ThreadCpuSeconds() - d0) / draws;
    tav::bench::PrintFigure("waterfall: 30 min redrawn (1000 x 600 colour map)", 1e3 * perDraw, "ms", "<= 5");
    const int rows = 100;
    double taken = 0;
    for (int i = 0; i < rows; ++i) {
        store->Append(start + 1800 + i, amplitude.data());
        const double t0 = tav::bench::ThreadCpuSeconds();
        plot.Refresh();
        QPainter p(&image);
        plot.Render(p, image.width(), image.height());
        taken += tav::bench::ThreadCpuSeconds() - t0;
    }
    std::printf("waterfall: a new row taken into the picture and the plot redrawn: %.2f ms\n", 1e3 * taken / rows);
    return 0;
}
