#include "core/analysis/AnalysisScale.h"

#include <algorithm>
#include <cmath>

#include "core/analysis/FrequencyLines.h"

namespace tav::analysis {

double NiceAbove(double value)
{
    if (!(value > 0) || !std::isfinite(value))
        return 1.0;
    const double decade = std::pow(10.0, std::floor(std::log10(value)));
    for (double step : {1.0, 2.0, 5.0, 10.0})
        if (step * decade >= value * (1 - 1e-12))
            return step * decade;
    return 10.0 * decade;
}

double AnalysisScale::FrequencyAt(double px) const
{
    return fromHz + (px - left) * (toHz - fromHz) / (right - left);
}

double AnalysisScale::ColumnOf(double hz) const
{
    return left + (hz - fromHz) * (right - left) / (toHz - fromHz);
}

double AnalysisScale::AmplitudeAt(double py) const
{
    const double share = (bottom - std::clamp(py, double(top), double(bottom))) / double(bottom - top);
    if (!decibels)
        return share * topValue;
    return std::pow(10.0, (topValue - rangeDb * (1 - share)) / 20.0);
}

int AnalysisScale::RowOf(double amplitude) const
{
    double share;
    if (decibels)
        share = 1 - (topValue - ToDecibels(amplitude)) / rangeDb;
    else
        share = topValue > 0 ? amplitude / topValue : 0;
    if (!std::isfinite(share))
        share = 0;
    share = std::clamp(share, 0.0, 1.0);
    return static_cast<int>(std::lround(bottom - share * (bottom - top)));
}

AnalysisScale MakeScale(int width, int height, double fromHz, double toHz, bool decibels,
                        const std::vector<float> &amplitude, double df)
{
    AnalysisScale s;
    s.left = 60;
    s.top = 24;
    s.right = width - 16;
    s.bottom = height - 28;
    s.fromHz = fromHz;
    s.toHz = toHz > fromHz ? toHz : fromHz + 1;
    s.decibels = decibels;
    float largest = 0;
    if (df > 0) {
        const int first = std::max(0, static_cast<int>(fromHz / df));
        const int end = std::min(static_cast<int>(amplitude.size()), static_cast<int>(toHz / df) + 1);
        for (int k = std::max(first, 1); k < end; ++k)
            largest = std::max(largest, amplitude[k]);
    }
    if (decibels)
        s.topValue = largest > 0 ? 10.0 * std::ceil(ToDecibels(largest) / 10.0) : 0.0;
    else
        s.topValue = NiceAbove(largest * 1.05);
    return s;
}

int LineAtColumn(const AnalysisScale &s, int px, const std::vector<float> &amplitude, int lines, double df)
{
    if (!s.Valid() || df <= 0 || px < s.left || px > s.right)
        return -1;
    lines = std::min(lines, static_cast<int>(amplitude.size()));
    int first = static_cast<int>(std::ceil(s.FrequencyAt(px - 0.5) / df));
    int last = static_cast<int>(std::floor(s.FrequencyAt(px + 0.5) / df));
    if (last < first)  // zoomed in past one line per column: the nearest line
        first = last = static_cast<int>(std::lround(s.FrequencyAt(px) / df));
    first = std::max(first, 0);
    last = std::min(last, lines - 1);
    if (last < first)
        return -1;
    int best = first;
    for (int k = first + 1; k <= last; ++k)
        if (amplitude[k] > amplitude[best])
            best = k;
    return best;
}

}  // namespace tav::analysis
