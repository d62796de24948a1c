#include "core/plotting/PlotGeometry.h"

#include <cmath>
#include <ctime>

#include "core/plotting/PlotData.h"

namespace tav {

const float kTimeSpectrumH[kHorizontalScales] = {0.5f, 1, 2, 5, 10, 20, 50, 100};
const float kTrendH[kHorizontalScales] = {100, 50, 33.333332f, 16.666666f, 8.333333f, 1.6666666f, 50, 100};
const float kUnitsPerDivision[kVerticalScales] = {0.005f, 0.01f, 0.02f, 0.05f, 0.1f, 0.2f, 0.5f,
                                                  1.0f,   2.0f,  5.0f,  10.0f, 20.0f, 50.0f};
const float kReciprocalUnits[kVerticalScales] = {200, 100, 50, 20, 10, 5, 2, 1, 0.5f, 0.2f, 0.1f, 0.05f, 0.02f};

int NearestIndex(int index, int count)
{
    if (index < 0) return 0;
    if (index >= count) return count - 1;
    return index;
}

int ClampPointCount(int pointCount)
{
    if (pointCount < 0) return 0;
    if (pointCount > kPlotPoints) return kPlotPoints;
    return pointCount;
}

float HorizontalValue(int plotMode, int xScaleIndex)
{
    const int i = NearestIndex(xScaleIndex, kHorizontalScales);
    return plotMode == kTrendMode ? kTrendH[i] : kTimeSpectrumH[i];
}

float ReciprocalUnits(int yScaleIndex)
{
    return kReciprocalUnits[NearestIndex(yScaleIndex, kVerticalScales)];
}

PlotArea ComputeArea(int width, int height, int rightMargin, int pointCount, float h)
{
    PlotArea a;
    a.left = 30;
    a.top = 10;
    a.right = width - rightMargin;
    a.bottom = height - 20;
    a.cellHeight = (a.bottom - a.top) / 10;
    // Below ten pixels across there is no division to draw, and the ratio
    // below would divide by zero or turn negative.
    a.valid = a.right - a.left >= 10 && a.cellHeight > 0 && h > 0;
    if (a.valid)
        a.samplesPerPixel = ClampPointCount(pointCount) / ((a.right - a.left) * (100 / h));
    return a;
}

int ValueToRow(const PlotArea &area, int zeroRows, float value, float u)
{
    const int top = area.TopRow();
    if (std::isnan(value)) return area.bottom;
    // In float, as the values are: a value on a grid line lands on it.
    const float y = static_cast<float>(area.bottom - zeroRows * area.cellHeight) -
                    static_cast<float>(area.cellHeight) * value * u;
    if (y < top) return top;
    if (y > area.bottom) return area.bottom;
    return static_cast<int>(y);
}

void SetupScroll(int plotMode, int xScaleIndex, int scrollPercent, ScrollView &view)
{
    static const int spectrumDivisions[8] = {2000, 1000, 500, 200, 100, 50, 20, 10};
    static const int trendDivisions[8] = {10, 20, 30, 60, 120, 600, 20, 10};
    static const int trendSeconds[6] = {360, 180, 120, 60, 30, 6};
    const bool inList = xScaleIndex >= 0 && xScaleIndex < 8;
    if (plotMode == kSpectrumMode) {
        if (inList) view.totalDivisions = spectrumDivisions[xScaleIndex];
    } else if (plotMode == kTrendMode) {
        if (inList) view.totalDivisions = trendDivisions[xScaleIndex];
        if (inList && xScaleIndex < 6) view.secondsPerDivision = trendSeconds[xScaleIndex];
    } else {
        return;
    }
    const int t = view.totalDivisions * scrollPercent;
    view.firstLabel = t / 100 + 1;
    view.offsetPercent = 100 - t % 100;
}

void ApplyScrollView(int plotMode, int xScaleIndex, int scrollPercent, int pointCount,
                     int cellWidth, ScrollView &view)
{
    // The slider's range is 0..100; anything else would scroll off the data.
    if (scrollPercent < 0) scrollPercent = 0;
    if (scrollPercent > 100) scrollPercent = 100;
    pointCount = ClampPointCount(pointCount);
    SetupScroll(plotMode, xScaleIndex, scrollPercent, view);
    if (view.totalDivisions <= 0) {
        // Never set up (an index outside the lists from the start): show the
        // data from the beginning rather than divide by zero.
        view.firstLabel = 0;
        view.startIndex = 0;
        view.firstTickOffset = 0;
        return;
    }
    if (view.totalDivisions < view.firstLabel + 10) {
        view.firstTickOffset = 0;
        view.firstLabel = view.totalDivisions - 10;
        if (view.firstLabel < 0) view.firstLabel = 0;
        view.startIndex = static_cast<int>(static_cast<long long>(view.firstLabel) * pointCount /
                                           view.totalDivisions);
    } else {
        view.firstTickOffset = plotMode == kTrendMode ? 0 : view.offsetPercent * cellWidth / 100;
        view.startIndex = pointCount * scrollPercent / 100;
    }
}

void AddSeconds(int &hour, int &minute, int &second, int seconds)
{
    second += seconds;
    while (second > 59) {
        second -= 60;
        minute += 1;
    }
    while (minute > 59) {
        minute -= 60;
        hour += 1;
    }
    if (hour >= 24) hour %= 24;
}

ClockTime TrendClockStart(ClockTime now)
{
    now.hour = now.hour == 0 ? 23 : now.hour - 1;
    return now;
}

ClockTime TrendTickTime(ClockTime now, int startIndex, int pointCount, int secondsPerDivision, int tick)
{
    ClockTime t = TrendClockStart(now);
    // An empty history has no position to convert; the view then starts
    // at the oldest time.
    if (pointCount > 0)
        AddSeconds(t.hour, t.minute, t.second,
                   static_cast<int>(static_cast<long long>(startIndex) * 3600 / pointCount));
    for (int k = 0; k < tick; ++k) AddSeconds(t.hour, t.minute, t.second, secondsPerDivision);
    return t;
}

ClockTime LocalClockNow()
{
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    return ClockTime{local.tm_hour, local.tm_min, local.tm_sec};
}

ColumnRange ColumnSamples(int column, int startIndex, float samplesPerPixel)
{
    ColumnRange r;
    r.first = static_cast<int>(startIndex + column * samplesPerPixel);
    r.end = static_cast<int>(startIndex + (column + 1) * samplesPerPixel);
    return r;
}

int VerticalLabelStep(int cellHeight, int textHeight)
{
    if (cellHeight >= textHeight)
        return 1;
    return 2 * cellHeight >= textHeight ? 2 : 5;
}

}  // namespace tav
