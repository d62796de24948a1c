#pragma once
// Geometry of one plot: scale tables, the plot area inside a control, the
// scrolled view of spectrum and trend plots, and the rules that map columns
// to data indices and values to pixel rows. Qt-free so that the numbers can
// be checked without drawing; the drawing code only paints what these give.
//
// All functions are pure and may be called from any thread.
#include <cstddef>

namespace tav {

enum PlotMode : int { kTimeMode = 0, kSpectrumMode = 1, kTrendMode = 2 };

constexpr int kHorizontalScales = 8;   // entries of either horizontal table
constexpr int kVerticalScales = 13;

// Horizontal value h by scale index: the view shows h/100 of the data set.
// For a one-second time plot h is milliseconds per division; for a 10 kHz
// spectrum 10*h is hertz per division.
extern const float kTimeSpectrumH[kHorizontalScales];
extern const float kTrendH[kHorizontalScales];
// Units of the plotted quantity per vertical division, and the reciprocal
// that the drawing multiplies by.
extern const float kUnitsPerDivision[kVerticalScales];
extern const float kReciprocalUnits[kVerticalScales];

// An index outside [0, count) becomes the nearest valid one, so that a
// stray list selection (-1 while a combo is empty) never reads past a table.
int NearestIndex(int index, int count);
// pointCount limited to what an array holds: 0 .. 100000.
int ClampPointCount(int pointCount);

float HorizontalValue(int plotMode, int xScaleIndex);
float ReciprocalUnits(int yScaleIndex);

// The plot area inside a control of width x height pixels. A control too
// small to hold a division gives valid = false and nothing is drawn in it.
struct PlotArea {
    int left = 0;        // v
    int top = 0;         // T
    int right = 0;       // w
    int bottom = 0;      // B
    int cellHeight = 0;  // height of one of the 10 vertical divisions
    float samplesPerPixel = 0;
    bool valid = false;

    int Width() const { return right - left; }
    // Highest row the traces and grid may reach: the top of division 10.
    int TopRow() const { return bottom - 10 * cellHeight; }
};

PlotArea ComputeArea(int width, int height, int rightMargin, int pointCount, float h);

// Pixel row of a value: `zeroRows` divisions above the bottom edge (5 for
// time plots, 0 otherwise), `u` the reciprocal vertical scale; limited to
// the plot area. NaN, which has no place on the axis, goes to the bottom.
int ValueToRow(const PlotArea &area, int zeroRows, float value, float u);

// Scrolled view of spectrum and trend plots.
struct ScrollView {
    int totalDivisions = 0;
    int secondsPerDivision = 0;
    int firstLabel = 0;
    int offsetPercent = 0;
    int startIndex = 0;
    int firstTickOffset = 0;  // pixels from the left edge to the first tick
};

// totalDivisions (and, for trends, secondsPerDivision) from the scale index,
// then firstLabel and offsetPercent from the slider. Other modes, or an index
// outside the lists, keep the divisions and seconds that `view` holds.
void SetupScroll(int plotMode, int xScaleIndex, int scrollPercent, ScrollView &view);

// SetupScroll, then the rule that keeps the view inside the data: when fewer
// than ten divisions remain after firstLabel, the last ten are shown.
// `cellWidth` is the width of one horizontal division in pixels.
void ApplyScrollView(int plotMode, int xScaleIndex, int scrollPercent, int pointCount,
                     int cellWidth, ScrollView &view);

// Advances a clock in place; the hour wraps to 0 after 23.
void AddSeconds(int &hour, int &minute, int &second, int seconds);

struct ClockTime {
    int hour = 0;
    int minute = 0;
    int second = 0;
};

// The trend's time axis starts one hour before `now` (the history holds the
// last hour); before 01:00 the hour goes back to 23.
ClockTime TrendClockStart(ClockTime now);
// Label of tick `tick` (0 = first) of a trend whose view starts at
// startIndex of pointCount values spanning one hour.
ClockTime TrendTickTime(ClockTime now, int startIndex, int pointCount, int secondsPerDivision, int tick);
// The local time now.
ClockTime LocalClockNow();

// Which vertical divisions get a number: every `step`-th, counted from 0.
// Each number needs `textHeight` pixels; where a division is shorter (a
// small window), numbering every one would print them over each other, so
// every second one is numbered, or every fifth if even that is too close.
int VerticalLabelStep(int cellHeight, int textHeight);

// Data range of one pixel column: [first, end) of the values it covers.
// Time plots start at the first value, spectra and trends at startIndex.
struct ColumnRange {
    int first = 0;
    int end = 0;
};
ColumnRange ColumnSamples(int column, int startIndex, float samplesPerPixel);

}  // namespace tav
