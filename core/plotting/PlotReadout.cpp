#include "core/plotting/PlotReadout.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tav {

int ColumnAt(const PlotArea &area, int px)
{
    if (!area.valid)
        return -1;
    const int x = px - area.left;
    // The traces join columns 1 .. width-1; column 0 lies on the frame.
    return x >= 0 && x < area.Width() ? x : -1;
}

Readout ReadTime(const PlotArea &area, int px, const float *data, int n)
{
    Readout r;
    const int x = ColumnAt(area, px);
    if (x < 0 || n <= 0 || !data)
        return r;
    const ColumnRange c = ColumnSamples(x, 0, area.samplesPerPixel);
    if (c.first < 0 || c.first >= n)
        return r;
    r.valid = true;
    r.index = c.first;
    r.position = 1000.0 * c.first / n;
    r.value = data[c.first];
    return r;
}

Readout ReadSpectrum(const PlotArea &area, int px, int startIndex, const float *data, int n, double df)
{
    Readout r;
    const int x = ColumnAt(area, px);
    if (x < 0 || n <= 0 || !data)
        return r;
    const int at = ColumnSamples(x, startIndex, area.samplesPerPixel).first;
    if (at < 0 || at >= n)
        return r;
    // The trace draws at column x the largest line since column x-1.
    const int from = x > 0 ? std::max(ColumnSamples(x - 1, startIndex, area.samplesPerPixel).first, 0) : at;
    int best = at;
    for (int i = from; i < at; ++i)
        if (data[i] > data[best])
            best = i;
    r.valid = true;
    r.index = best;
    r.position = best * (df > 0 ? df : 10000.0 / n);
    r.value = data[best];
    return r;
}

Readout ReadTrend(const PlotArea &area, int px, int startIndex, const float *trace, int n)
{
    Readout r;
    const int x = ColumnAt(area, px);
    if (x < 0 || n <= 0 || !trace)
        return r;
    const int at = ColumnSamples(x, startIndex, area.samplesPerPixel).first;
    if (at < 0 || at >= n)
        return r;
    r.valid = true;
    r.index = at;
    r.position = 3600.0 * at / n;
    r.value = trace[at];
    return r;
}

const char *QuantityUnit(int quantity)
{
    return quantity == 1 ? "mm/s" : quantity == 2 ? "mm" : "g";
}

const char *SeriesUnit(const std::string &name)
{
    if (name == "rpm")
        return "rpm";
    const std::string kind = name.size() >= 2 ? name.substr(name.size() - 2) : name;
    if (kind == "AR" || kind == "AP")
        return "g";
    if (kind == "VR" || kind == "VP")
        return "mm/s";
    if (kind == "DR" || kind == "DP")
        return "mm";
    return "";
}

std::string FormatValue(double value, const char *unit)
{
    char text[64];
    if (unit && *unit)
        std::snprintf(text, sizeof text, "%.4g %s", value, unit);
    else
        std::snprintf(text, sizeof text, "%.4g", value);
    return text;
}

}  // namespace tav
