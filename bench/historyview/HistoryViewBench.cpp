// The history viewer's answer time: from the operator's choice of a range to
// the drawn plot, through the dialog's reader thread, for one sensor's
// 30 days at minute resolution, a year at hour resolution and a day of
// every tick. The history is written first by the station's writer with a
// simulated clock: a year of hourly ticks, a month of a tick a minute, and
// the last day at every tick.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <qcustomplot.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <vector>

#include "Figure.h"
#include "core/steady/SteadyViewerState.h"
#include "history/ViewerTestSupport.h"
#include "ui/common/Controls.h"
#include "ui/history/HistoryDialog.h"

namespace {

constexpr int64_t kHour = 3'600'000;
constexpr int64_t kDay = 24 * kHour;

// Milliseconds from the range's choice until its entries are drawn.
double TimeRange(CHistoryDialog &dialog, int range, size_t *entries)
{
    auto *combo = tav::ui::FindControl<QComboBox>(&dialog, CHistoryDialog::kIdRangeCombo);
    QElapsedTimer clock;
    clock.start();
    combo->setCurrentIndex(range);
    emit combo->activated(range);
    while (dialog.Pending() > 0) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    *entries = dialog.Shown() ? dialog.Shown()->Size() : 0;
    return ms;
}

}  // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const std::string folder = "/tmp/tavenor-bench-history-" + std::to_string(::getpid());
    const int64_t end =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    std::printf("filling a year of history for one sensor ...\n");
    std::fflush(stdout);
    const bool filled = tav::test::FillHistory(folder, {1},
                                               {{end - 365 * kDay, end - 31 * kDay, kHour},
                                                {end - 31 * kDay, end - kDay, 60'000},
                                                {end - kDay, end, 500}});
    if (!filled) {
        std::fprintf(stderr, "cannot write the history in %s\n", folder.c_str());
        return 1;
    }

    // The reading alone, on this thread, for comparison.
    {
        tav::HistoryReader reader;
        std::string error;
        if (!reader.Open(folder + "/" + tav::kHistoryFileName, &error)) std::fprintf(stderr, "%s\n", error.c_str());
        const std::pair<int64_t, tav::HistoryResolution> reads[] = {{30 * kDay, tav::HistoryResolution::kMinute},
                                                                    {365 * kDay, tav::HistoryResolution::kHour},
                                                                    {kDay, tav::HistoryResolution::kRaw}};
        for (const auto &[span, resolution] : reads) {
            tav::HistorySeries series;
            QElapsedTimer clock;
            clock.start();
            reader.Read(1, end - span, end, resolution, &series);
            std::printf("read alone: %zu entries in %.1f ms\n", series.Size(), double(clock.nsecsElapsed()) / 1e6);
        }
    }

    tav::SteadyViewerState selection;  // Z axis and rpm: eight series
    CHistoryDialog dialog(folder + "/" + tav::kHistoryFileName, folder, selection, nullptr);
    dialog.SetClock([end] { return end; });
    dialog.resize(1400, 820);
    dialog.OpenDialog();
    while (dialog.Pending() > 0 || !dialog.Shown()) QCoreApplication::processEvents(QEventLoop::AllEvents, 1);

    struct Case {
        const char *figure;
        int range;
        const char *goal;
    };
    const Case cases[] = {
        {"history view 30 days minute: query+draw", 4, "<= 200"},
        {"history view 1 year hour: query+draw", 5, "<= 200"},
        {"history view 1 day raw: query+draw", 2, "<= 300"},
    };
    for (const Case &c : cases) {
        std::vector<double> times;
        size_t entries = 0;
        // Alternating with the hour range, so that every run reads and draws anew.
        for (int i = 0; i < 5; ++i) {
            size_t unused = 0;
            TimeRange(dialog, 0, &unused);
            times.push_back(TimeRange(dialog, c.range, &entries));
        }
        {
            QElapsedTimer clock;
            clock.start();
            const tav::HistoryPlot plot =
                tav::BuildHistoryPlot(*dialog.Shown(), selection.trendSelected, selection.trendScale);
            const double build = double(clock.nsecsElapsed()) / 1e6;
            clock.restart();
            dialog.Plot()->replot();
            std::printf("  plot data %.1f ms, replot %.1f ms\n", build, double(clock.nsecsElapsed()) / 1e6);
        }
        std::sort(times.begin(), times.end());
        std::printf("%s: %zu entries, median of 5 %.1f ms (fastest %.1f, slowest %.1f)\n", c.figure, entries,
                    times[2], times[0], times[4]);
        tav::bench::PrintFigure(c.figure, times[2], "ms", c.goal);
    }
    dialog.done(0);
    std::system(("rm -rf '" + folder + "'").c_str());
    return 0;
}
