#pragma once
// What the steady-state viewer remembers between openings, and the rules its
// controls follow: which series the trend shows (at most eight), the display
// factor of each series, the time window and how often the trend is redrawn.
// Also the texts of the viewer's list rows and the time-ordered copy of a
// record's history for the trend.
//
// Window thread only, like the steady-state table it reads.
#include <cstdint>
#include <string>

#include "core/model/SteadyRecord.h"

namespace tav {

constexpr int kTrendMaxSelected = 8;  // one trend pen each
constexpr int kTimeWindowCount = 6;
constexpr int kViewerRowsPerPage = 20;
constexpr int kViewerPageCount = 5;
// Display factors the operator may set, bounds included.
constexpr double kTrendScaleMin = 0.001;
constexpr double kTrendScaleMax = 1000.0;

// "X_AR" .. "Z_DP", "rpm", in series order: column titles, parameter combo
// entries and legend texts. 22 entries; the array lives for the whole run.
const std::string *SteadySeriesNames();
// "60分钟", "30分钟", "20分钟", "10分钟", "5分钟", "1分钟" (UTF-8); the index
// is the trend plot's xScaleIndex.
const char *TimeWindowName(int timeWindow);
// Ticks of 500 ms between trend redraws for a time window: 6, 3, 2, 1, 1, 1.
// An index outside the list gives 1 (redraw on every tick).
int RedrawDivisorOf(int timeWindow);

struct SteadyViewerState {
    // Program-wide trend selection and factors, start-up values below.
    int32_t trendSelected[kSteadySeriesCount];  // 1 = drawn in the trend
    int32_t selectedCount;                      // ones in trendSelected, never above 8
    int32_t axisChoice[3];                      // check state of the X, Y, Z axis boxes
    float trendScale[kSteadySeriesCount];       // value x factor = rows above the bottom
    int32_t redrawDivisor;
    int32_t redrawCounter;
    // The dialog's remembered choices.
    int recordIndex;     // record plotted, 0..39
    int parameterIndex;  // series whose factor is edited, 0..21
    int timeWindow;      // 0 = 60 minutes .. 5 = 1 minute

    SteadyViewerState() { Reset(); }
    // The start-up values: Z axis and the speed shown, factors 1 (0.005 for
    // the speed: 200 rpm per row), 60-minute window.
    void Reset();

    // The axis box `axis` (0..2) was clicked: its seven series become the
    // shown ones, the speed keeps its state.
    void ChooseAxis(int axis);
    // A series box was clicked and is now `ticked`. Returns false when
    // ticking it would show a ninth series; the box must then be cleared
    // again and nothing has changed.
    bool SetSeriesSelected(int series, bool ticked);
    // The operator's factor for `series`. Returns false, changing nothing,
    // for values outside kTrendScaleMin..kTrendScaleMax and for NaN.
    bool SetScale(int series, double value);
    // The time window combo chose `timeWindow`; sets the redraw divisor.
    void ChooseTimeWindow(int timeWindow);
    // One tick: true when the trend is due for a redraw (the counter restarts).
    bool CountRedraw();
};

// Text of edit 1122: at least `decimals` decimals (2 at opening and after a
// refusal, 3 when a parameter is chosen), and as many more as it takes for
// the text to read back as exactly `factor` (0.005 shows "0.005").
std::string FactorText(float factor, int decimals);
// Reads the factor the operator typed: a whole decimal number with optional
// blanks around it. Anything else gives NaN, which SetScale refuses.
double ParseFactor(const std::string &text);

// List texts of one record: "%.3d    Y" / "%.3d    N" for column 0; the
// value columns are "%0.2f" (series 0..20) and "%f" (speed) while the record
// is in use, "------" and empty otherwise.
std::string AddressCell(const SteadyRecord &record);
std::string ValueCell(const SteadyRecord &record, int series);

// Copies the 22 rings of `record` in time order, oldest first, into
// traces[series], each with room for kSteadyHistoryLength values.
void CopyTrend(const SteadyRecord &record, float *const traces[kSteadySeriesCount]);

}  // namespace tav
