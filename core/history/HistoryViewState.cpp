#include "core/history/HistoryViewState.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

#include "core/steady/SteadyViewerState.h"

namespace tav {

namespace {

constexpr int64_t kHourMs = 3'600'000;
constexpr int64_t kDayMs = 24 * kHourMs;

const char *const kRangeNames[kHistoryRangeCount] = {"1 小时", "8 小时", "1 天", "7 天",
                                                     "30 天", "1 年", "日期范围"};
const int64_t kRangeSpans[kHistoryRangeCount] = {kHourMs, 8 * kHourMs, kDayMs, 7 * kDayMs,
                                                 30 * kDayMs, 365 * kDayMs, 0};

const char *UnitOf(int series)
{
    if (series == kSpeedSeries) return "rpm";
    switch (SeriesParameter(series)) {
    case kSteadyAR:
    case kSteadyAP: return "g";
    case kSteadyAK: return "";
    case kSteadyVR:
    case kSteadyVP: return "mm/s";
    default: return "mm";
    }
}

}  // namespace

const char *HistoryRangeName(int range)
{
    return range >= 0 && range < kHistoryRangeCount ? kRangeNames[range] : "";
}

int64_t HistoryRangeSpanMs(int range) { return range >= 0 && range < kHistoryRangeCount ? kRangeSpans[range] : 0; }

const char *HistoryResolutionName(HistoryResolution resolution)
{
    switch (resolution) {
    case HistoryResolution::kRaw: return "原始";
    case HistoryResolution::kMinute: return "1分钟";
    case HistoryResolution::kHour: return "1小时";
    }
    return "";
}

int64_t HistoryGapLimitMs(HistoryResolution resolution)
{
    // A few steps: a late tick or an aggregate with a missing neighbour
    // still joins, an absence of minutes does not.
    switch (resolution) {
    case HistoryResolution::kRaw: return 5'000;
    case HistoryResolution::kMinute: return 3 * 60'000;
    case HistoryResolution::kHour: return 3 * kHourMs;
    }
    return 5'000;
}

const char *HistoryTimeLabelFormat(int64_t spanMs)
{
    if (spanMs <= 10 * 60'000) return "hh:mm:ss\nyyyy-MM-dd";
    if (spanMs <= 3 * kDayMs) return "hh:mm\nyyyy-MM-dd";
    if (spanMs <= 120 * kDayMs) return "MM-dd hh:mm\nyyyy";
    return "yyyy-MM-dd";
}

std::string LocalTimeText(int64_t utcMs)
{
    // Floor division: times before 1970 still give the second they lie in.
    const int64_t seconds = utcMs >= 0 ? utcMs / 1000 : -((-utcMs + 999) / 1000);
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&t, &local);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

void HistoryViewState::ChooseRange(int newRange)
{
    if (newRange < 0 || newRange >= kHistoryRangeCount) return;
    range = newRange;
    zoom_.clear();
}

bool HistoryViewState::SetDates(int64_t fromUtcMs, int64_t toUtcMs)
{
    if (!(fromUtcMs < toUtcMs)) return false;
    dates_ = {fromUtcMs, toUtcMs};
    range = kHistoryDatesRange;
    zoom_.clear();
    return true;
}

HistorySpan HistoryViewState::Shown(int64_t nowUtcMs) const
{
    if (!zoom_.empty()) return zoom_.back();
    if (range == kHistoryDatesRange) return dates_;
    return {nowUtcMs - HistoryRangeSpanMs(range), nowUtcMs};
}

HistoryResolution HistoryViewState::ShownResolution(int64_t nowUtcMs) const
{
    const HistorySpan s = Shown(nowUtcMs);
    return HistoryReader::AutoResolution(s.fromUtcMs, s.toUtcMs);
}

bool HistoryViewState::ZoomTo(int64_t aUtcMs, int64_t bUtcMs, int64_t nowUtcMs)
{
    const HistorySpan shown = Shown(nowUtcMs);
    const int64_t from = std::clamp(std::min(aUtcMs, bUtcMs), shown.fromUtcMs, shown.toUtcMs);
    const int64_t to = std::clamp(std::max(aUtcMs, bUtcMs), shown.fromUtcMs, shown.toUtcMs);
    if (to - from < kHistoryMinZoomMs) return false;
    // The first step keeps the range it zoomed into as it was at this
    // moment, so that "返回" past it shows the range again, ending at a
    // later now.
    zoom_.push_back({from, to});
    return true;
}

bool HistoryViewState::ZoomBack()
{
    if (zoom_.empty()) return false;
    zoom_.pop_back();
    return true;
}

namespace {

// Every entry, a NaN entry wherever the time without data exceeds the gap.
HistoryPlot AllEntries(const HistorySeries &data, const int32_t *selected, const float *scale)
{
    HistoryPlot plot;
    plot.aggregated = data.resolution != HistoryResolution::kRaw;
    const size_t n = data.Size();
    const int64_t gap = HistoryGapLimitMs(data.resolution);
    // Entries that start a new stretch after a time without data.
    std::vector<size_t> breaks;
    for (size_t i = 1; i < n; ++i)
        if (data.utcMs[i] - data.utcMs[i - 1] > gap) breaks.push_back(i);
    const double nan = std::numeric_limits<double>::quiet_NaN();

    plot.seconds.reserve(n + breaks.size());
    for (size_t i = 0, b = 0; i < n; ++i) {
        if (b < breaks.size() && breaks[b] == i) {
            plot.seconds.push_back(0.5e-3 * double(data.utcMs[i - 1] + data.utcMs[i]));
            ++b;
        }
        plot.seconds.push_back(1e-3 * double(data.utcMs[i]));
    }
    auto scaled = [&](const std::vector<float> &values, float factor, std::vector<double> *out) {
        out->reserve(n + breaks.size());
        const size_t have = std::min(values.size(), n);
        for (size_t i = 0, b = 0; i < n; ++i) {
            if (b < breaks.size() && breaks[b] == i) {
                out->push_back(nan);
                ++b;
            }
            out->push_back(i < have ? double(values[i]) * factor : nan);
        }
    };
    for (int s = 0; s < kSteadySeriesCount && int(plot.shown.size()) < kTrendPenCount; ++s) {
        if (selected[s] != 1) continue;
        HistoryPlotSeries series;
        series.series = s;
        series.pen = static_cast<int>(plot.shown.size());
        scaled(data.mean[s], scale[s], &series.mean);
        if (plot.aggregated) {
            scaled(data.min[s], scale[s], &series.min);
            scaled(data.max[s], scale[s], &series.max);
        }
        plot.shown.push_back(std::move(series));
    }
    return plot;
}

// Two points per pixel column: at the column's first and last entry, the
// smaller and larger mean in the order they occurred, and the band's
// lowest and highest edge at both.
HistoryPlot Thinned(const HistorySeries &data, const int32_t *selected, const float *scale, HistorySpan span,
                    int columns)
{
    HistoryPlot plot;
    plot.aggregated = data.resolution != HistoryResolution::kRaw;
    const size_t n = data.Size();
    const double perColumn = double(span.Length()) / columns;
    // Within a column a short absence is invisible; only one wider than a
    // column breaks the line.
    const int64_t gap = std::max(HistoryGapLimitMs(data.resolution), int64_t(perColumn));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto columnOf = [&](int64_t t) { return int64_t(std::floor(double(t - span.fromUtcMs) / perColumn)); };
    auto at = [nan](const std::vector<float> &v, size_t i, float f) { return i < v.size() ? double(v[i]) * f : nan; };

    std::vector<int> shownSeries;
    for (int s = 0; s < kSteadySeriesCount && int(shownSeries.size()) < kTrendPenCount; ++s)
        if (selected[s] == 1) shownSeries.push_back(s);
    plot.shown.resize(shownSeries.size());
    for (size_t k = 0; k < shownSeries.size(); ++k) {
        plot.shown[k].series = shownSeries[k];
        plot.shown[k].pen = int(k);
    }
    for (size_t first = 0; first < n;) {
        size_t last = first;
        const int64_t column = columnOf(data.utcMs[first]);
        while (last + 1 < n && columnOf(data.utcMs[last + 1]) == column) ++last;
        if (first > 0 && data.utcMs[first] - data.utcMs[first - 1] > gap) {
            plot.seconds.push_back(0.5e-3 * double(data.utcMs[first - 1] + data.utcMs[first]));
            for (HistoryPlotSeries &p : plot.shown) {
                p.mean.push_back(nan);
                if (plot.aggregated) {
                    p.min.push_back(nan);
                    p.max.push_back(nan);
                }
            }
        }
        const bool two = last > first;
        plot.seconds.push_back(1e-3 * double(data.utcMs[first]));
        if (two) plot.seconds.push_back(1e-3 * double(data.utcMs[last]));
        for (HistoryPlotSeries &p : plot.shown) {
            const int s = p.series;
            const float f = scale[s];
            size_t lo = first, hi = first;
            double low = at(data.mean[s], first, f), high = low;
            double bandLow = plot.aggregated ? at(data.min[s], first, f) : 0;
            double bandHigh = plot.aggregated ? at(data.max[s], first, f) : 0;
            for (size_t i = first + 1; i <= last; ++i) {
                // An entry not measured yet (NaN) neither starts nor ends the column's range.
                const double v = at(data.mean[s], i, f);
                if (v < low || std::isnan(low)) low = v, lo = i;
                if (v > high || std::isnan(high)) high = v, hi = i;
                if (plot.aggregated) {
                    bandLow = std::fmin(bandLow, at(data.min[s], i, f));
                    bandHigh = std::fmax(bandHigh, at(data.max[s], i, f));
                }
            }
            p.mean.push_back(lo <= hi ? low : high);
            if (two) p.mean.push_back(lo <= hi ? high : low);
            if (plot.aggregated) {
                p.min.insert(p.min.end(), two ? 2 : 1, bandLow);
                p.max.insert(p.max.end(), two ? 2 : 1, bandHigh);
            }
        }
        first = last + 1;
    }
    return plot;
}

}  // namespace

HistoryPlot BuildHistoryPlot(const HistorySeries &data, const int32_t *selected, const float *scale,
                             HistorySpan span, int columns)
{
    if (columns > 0 && span.Length() > 0 && data.Size() > 4 * size_t(columns))
        return Thinned(data, selected, scale, span, columns);
    return AllEntries(data, selected, scale);
}

int NearestEntry(const HistorySeries &data, int64_t utcMs)
{
    const auto &t = data.utcMs;
    if (t.empty()) return -1;
    const auto after = std::lower_bound(t.begin(), t.end(), utcMs);
    if (after == t.begin()) return 0;
    if (after == t.end()) return static_cast<int>(t.size()) - 1;
    const auto before = after - 1;
    return static_cast<int>((utcMs - *before <= *after - utcMs ? before : after) - t.begin());
}

std::string HistoryReadout(const HistorySeries &data, int entry, const int32_t *selected)
{
    if (entry < 0 || size_t(entry) >= data.Size()) return {};
    std::string text = LocalTimeText(data.utcMs[entry]);
    const bool aggregated = data.resolution != HistoryResolution::kRaw;
    if (aggregated) text += std::string(" (") + HistoryResolutionName(data.resolution) + ")";
    // A value not measured yet reads "—", not "nan".
    std::string numbers[3];
    auto value = [&](const std::vector<float> &v, int k) {
        const double x = size_t(entry) < v.size() ? double(v[entry]) : 0.0;
        char t[32];
        std::snprintf(t, sizeof t, "%.3f", x);
        numbers[k] = std::isnan(x) ? "—" : t;
        return numbers[k].c_str();
    };
    int shown = 0;
    for (int s = 0; s < kSteadySeriesCount && shown < kTrendPenCount; ++s) {
        if (selected[s] != 1) continue;
        ++shown;
        char part[128];
        const char *unit = UnitOf(s);
        const char *blank = *unit ? " " : "";
        if (aggregated)
            std::snprintf(part, sizeof part, "  %s %s/%s/%s%s%s", SteadySeriesNames()[s].c_str(),
                          value(data.min[s], 0), value(data.mean[s], 1), value(data.max[s], 2), blank, unit);
        else
            std::snprintf(part, sizeof part, "  %s %s%s%s", SteadySeriesNames()[s].c_str(), value(data.mean[s], 0),
                          blank, unit);
        text += part;
    }
    return text;
}

}  // namespace tav
