#pragma once
// What the history viewer shows and the rules of its controls, without any
// window: the sensor, the range ("1 小时" .. "1 年" or two dates), the zoom
// steps taken by dragging across the plot, which answer of the query thread
// is still wanted, and the plot's data built from a query's entries with the
// viewer's series selection and display factors.
//
// Window thread only (the history dialog owns one).
#include <cstdint>
#include <string>
#include <vector>

#include "core/history/HistoryReader.h"
#include "core/plotting/TrendPens.h"

namespace tav {

constexpr int kHistoryRangeCount = 7;
constexpr int kHistoryDatesRange = 6;  // the range given by the two dates
constexpr int64_t kHistoryMinZoomMs = 10'000;  // narrower drags are taken for clicks

// "1 小时", "8 小时", "1 天", "7 天", "30 天", "1 年", "日期范围" (UTF-8).
const char *HistoryRangeName(int range);
// Length of a range ending now; 0 for the dates range and unknown indices.
int64_t HistoryRangeSpanMs(int range);
// "原始", "1分钟", "1小时".
const char *HistoryResolutionName(HistoryResolution resolution);
// Longest step between two entries that still joins them with a line; a
// longer one is a time without data (station stopped, sensor away).
int64_t HistoryGapLimitMs(HistoryResolution resolution);
// Date-time format of the time axis labels for a visible span: the clock
// down to seconds for short spans, the date beside it for longer ones.
// Qt's date-time format syntax, local time.
const char *HistoryTimeLabelFormat(int64_t spanMs);
// "YYYY-MM-DD hh:mm:ss" of a UTC time in the local clock.
std::string LocalTimeText(int64_t utcMs);

struct HistorySpan {
    int64_t fromUtcMs = 0;
    int64_t toUtcMs = 0;
    int64_t Length() const { return toUtcMs - fromUtcMs; }
};

class HistoryViewState {
public:
    int32_t address = 0;  // 0 = no sensor chosen yet
    int range = 2;        // "1 天"

    // A range from the list: the zoom steps are forgotten.
    void ChooseRange(int range);
    // The dates range: false, changing nothing, unless from < to.
    bool SetDates(int64_t fromUtcMs, int64_t toUtcMs);
    HistorySpan Dates() const { return dates_; }

    // The span the plot shows at `nowUtcMs`: the innermost zoom step, else
    // the range (ending now, or the two dates).
    HistorySpan Shown(int64_t nowUtcMs) const;
    HistoryResolution ShownResolution(int64_t nowUtcMs) const;
    // Drag across the plot from one time to the other (either order). The
    // new step lies inside what is shown; false for spans under
    // kHistoryMinZoomMs, which changes nothing.
    bool ZoomTo(int64_t aUtcMs, int64_t bUtcMs, int64_t nowUtcMs);
    // "返回": one zoom step back; false when not zoomed.
    bool ZoomBack();
    int ZoomDepth() const { return static_cast<int>(zoom_.size()); }

    // Every query sent gets a new number; only the answer to the newest one
    // is shown, so a slow answer never replaces a newer choice.
    uint64_t NextRequest() { return ++requested_; }
    bool IsCurrent(uint64_t request) const { return request == requested_; }

private:
    HistorySpan dates_;
    std::vector<HistorySpan> zoom_;
    uint64_t requested_ = 0;
};

// One shown series of the plot, in display units (value x factor).
struct HistoryPlotSeries {
    int series = 0;  // 0..21
    int pen = 0;     // position among the shown series, 0..7
    std::vector<double> mean;
    std::vector<double> min;  // aggregates only: the band's edges
    std::vector<double> max;
};

// The plot's data: one time axis (seconds since the epoch, as the plot's
// date-time axis counts) shared by every series. A time without data is a
// NaN entry between the two entries around it, so the lines break there.
struct HistoryPlot {
    bool aggregated = false;
    std::vector<double> seconds;
    std::vector<HistoryPlotSeries> shown;  // at most kTrendPenCount, series order
};

// `selected` and `scale` are the viewer's 22-entry selection and factors.
// With `columns` > 0 and many more entries than columns across `span`, the
// entries of each column are thinned to two points that keep the column's
// extremes (a peak survives any zoom) and the band's lowest and highest
// edge; the readout still uses every entry.
HistoryPlot BuildHistoryPlot(const HistorySeries &data, const int32_t *selected, const float *scale,
                             HistorySpan span = {}, int columns = 0);

// Entry nearest to `utcMs`; -1 when there are none.
int NearestEntry(const HistorySeries &data, int64_t utcMs);
// The readout under the mouse: the entry's local time, then for each shown
// series its name and value in its unit; aggregates give minimum / mean /
// maximum.
std::string HistoryReadout(const HistorySeries &data, int entry, const int32_t *selected);

}  // namespace tav
