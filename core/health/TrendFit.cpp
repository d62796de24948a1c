#include "core/health/TrendFit.h"

#include <algorithm>
#include <vector>

namespace tav {

namespace {

double Median(std::vector<double> &v)
{
    const size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + long(mid), v.end());
    const double upper = v[mid];
    if (v.size() % 2)
        return upper;
    return (*std::max_element(v.begin(), v.begin() + long(mid)) + upper) / 2.0;
}

}  // namespace

bool TrendFit::Rising() const
{
    return fitted && slope > 0 && slopeLow > 0 && slopeHigh - slopeLow <= kTrendMaxRelativeWidth * slope &&
           level > 0 && slope * spanDays >= kTrendMinRise * level;
}

TrendFit FitTrend(const double *days, const double *values, int n)
{
    TrendFit fit;
    std::vector<double> t, y;
    t.reserve(size_t(n));
    y.reserve(size_t(n));
    for (int i = 0; i < n; ++i)
        if (std::isfinite(days[i]) && std::isfinite(values[i])) {
            t.push_back(days[i]);
            y.push_back(values[i]);
        }
    fit.points = int(t.size());
    if (fit.points < 2)
        return fit;
    fit.spanDays = t.back() - t.front();
    if (fit.points < kTrendMinPoints || fit.spanDays < kTrendMinSpanDays)
        return fit;
    std::vector<double> slopes;
    slopes.reserve(t.size() * (t.size() - 1) / 2);
    for (size_t i = 0; i < t.size(); ++i)
        for (size_t j = i + 1; j < t.size(); ++j)
            if (t[j] > t[i])
                slopes.push_back((y[j] - y[i]) / (t[j] - t[i]));
    if (slopes.empty())
        return fit;
    std::sort(slopes.begin(), slopes.end());
    const size_t pairs = slopes.size();
    fit.slope = pairs % 2 ? slopes[pairs / 2] : (slopes[pairs / 2 - 1] + slopes[pairs / 2]) / 2.0;
    // Sen's interval: the ranks of the pair slopes that bound the middle
    // 95 % of Kendall's statistic's normal approximation.
    const double m = double(t.size());
    const double c = 1.96 * std::sqrt(m * (m - 1) * (2 * m + 5) / 18.0);
    const double low = std::floor((double(pairs) - c) / 2.0);
    const double high = std::ceil((double(pairs) + c) / 2.0);
    fit.slopeLow = slopes[size_t(std::clamp(low - 1, 0.0, double(pairs - 1)))];
    fit.slopeHigh = slopes[size_t(std::clamp(high, 0.0, double(pairs - 1)))];
    // The line goes through the median of the values less the slope's part.
    std::vector<double> offsets(t.size());
    for (size_t i = 0; i < t.size(); ++i)
        offsets[i] = y[i] - fit.slope * (t[i] - t.back());
    fit.level = Median(offsets);
    fit.fitted = true;
    return fit;
}

TrendCrossing CrossingOf(const TrendFit &fit, double limit)
{
    TrendCrossing c;
    if (!fit.Rising() || !std::isfinite(limit) || !(fit.level < limit))
        return c;
    const double gap = limit - fit.level;
    c.days = gap / fit.slope;
    c.earliestDays = gap / fit.slopeHigh;
    c.latestDays = gap / fit.slopeLow;
    c.shown = c.days <= kTrendMaxDays;
    return c;
}

}  // namespace tav
