#pragma once
// Pixels of the analysis plot against frequency and amplitude, both ways:
// the frequency span across, linear amplitude from 0 or decibels over a
// 100 dB range down. Qt-free so that the readout can be checked at known
// pixels; pure, any thread.
#include <vector>

namespace tav::analysis {

// The smallest of 1, 2, 5 x 10^k at or above `value` (1 for nothing above 0).
double NiceAbove(double value);

struct AnalysisScale {
    // Plot area in pixels: columns left..right, rows top..bottom.
    int left = 0, top = 0, right = 0, bottom = 0;
    double fromHz = 0, toHz = 10000;
    bool decibels = false;
    double topValue = 1;     // linear: amplitude at the top row; dB: decibels there
    double rangeDb = 100;    // dB: the bottom row lies this far below the top

    bool Valid() const { return right > left && bottom > top && toHz > fromHz; }
    double FrequencyAt(double px) const;
    double ColumnOf(double hz) const;
    // Amplitude in the data's unit (linear) from a row, and the row of one;
    // rows are limited to the area. Decibel scales convert from and to the
    // linear amplitude.
    double AmplitudeAt(double py) const;
    int RowOf(double amplitude) const;
};

// Area, span and a top that holds the largest line of the span.
AnalysisScale MakeScale(int width, int height, double fromHz, double toHz, bool decibels,
                        const std::vector<float> &amplitude, double df);

// The line under column `px`: the largest line of the column's frequency
// range (as the trace draws it), -1 when none lies there.
int LineAtColumn(const AnalysisScale &s, int px, const std::vector<float> &amplitude, int lines, double df);

}  // namespace tav::analysis
