#pragma once
// What a plot shows under the mouse, in the plotted quantity's own units:
// the time (ms) or frequency (Hz) of the pixel column and the data value the
// column draws. Qt-free, so the numbers can be checked at known pixels; the
// plot only prints them.
//
// Pure functions; any thread.
#include <string>

#include "core/plotting/PlotGeometry.h"

namespace tav {

struct Readout {
    bool valid = false;  // false outside the plot area or the data
    int index = 0;       // data index the value comes from
    double position = 0; // ms (time), Hz (spectrum), seconds after the trend's start (trend)
    double value = 0;    // in the data's unit
};

// Column of pixel `px`, or -1 outside the area's columns.
int ColumnAt(const PlotArea &area, int px);

// Time plot: `n` values span one second; the value is the column's first.
Readout ReadTime(const PlotArea &area, int px, const float *data, int n);
// Spectrum: the largest line the column draws (as the trace does) and its
// frequency; `df` Hz per line (0: the n lines span 10 kHz).
Readout ReadSpectrum(const PlotArea &area, int px, int startIndex, const float *data, int n, double df);
// Trend: `n` values span the hour; the value of `trace` as stored.
Readout ReadTrend(const PlotArea &area, int px, int startIndex, const float *trace, int n);

// Unit of a quantity (0 g, 1 mm/s, 2 mm) and of a steady-state series by
// its name ("X_AR" g, "Y_VP" mm/s, "Z_DR" mm, "X_AK" none, "rpm").
const char *QuantityUnit(int quantity);
const char *SeriesUnit(const std::string &name);

// "%.3g" with the unit after a space (none without a unit): the label text
// of one value.
std::string FormatValue(double value, const char *unit);

}  // namespace tav
