#pragma once
// A robust straight line through a series of aggregates and the time it
// takes to reach a limit. Theil-Sen: the slope is the median of the slopes
// of all pairs, so one bad hour or a few stops of the machine do not tilt
// it; its 95 % interval is Sen's, from the rank statistic of those slopes.
// The interval takes the points as independent; hour means of a load that
// cycles daily are not quite, which is why a forecast also needs the slope
// known within a factor of two (kTrendMaxRelativeWidth).
#include <cmath>

namespace tav {

// What a forecast needs before anything is shown.
constexpr int kTrendMinPoints = 24;          // aggregates (a day of hours)
constexpr double kTrendMinSpanDays = 2.0;    // from the first to the last
// The 95 % interval of the slope lies above zero and is no wider than the
// slope itself (the slope known to within about ±50 %).
constexpr double kTrendMaxRelativeWidth = 1.0;
// Over the fitted span the line rises at least this share of its level:
// less is a flat series, whatever its significance.
constexpr double kTrendMinRise = 0.05;
// Crossings further away than this are not told: nobody plans on them,
// and a straight line says little about half a year ahead.
constexpr double kTrendMaxDays = 180.0;

struct TrendFit {
    bool fitted = false;  // enough points over enough time for a line
    int points = 0;
    double spanDays = 0;
    double slope = NAN;      // per day
    double slopeLow = NAN;   // 95 % interval of the slope
    double slopeHigh = NAN;
    double level = NAN;      // the line's value at the last point
    // Rising, significant, known well enough and not flat: worth a forecast.
    bool Rising() const;
};

// `days` ascending (any origin), `values` beside them; non-finite values
// are left out. Allocates the pairs' slopes: not for the window thread.
TrendFit FitTrend(const double *days, const double *values, int n);

struct TrendCrossing {
    bool shown = false;  // a rising trend reaches the limit within kTrendMaxDays
    double days = NAN;   // from the last point, on the fitted slope
    double earliestDays = NAN;  // on the interval's steep end
    double latestDays = NAN;    // on its shallow end
};

// When the line reaches `limit` from its level at the last point. Nothing
// when the trend is not Rising(), the limit is not finite or the level is
// already at it (the alarm says that).
TrendCrossing CrossingOf(const TrendFit &fit, double limit);

}  // namespace tav
