// The history viewer's rules without a window: ranges, zoom steps, which
// answer is current, and the plot data built from a query's entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "core/history/HistoryViewState.h"
#include "core/steady/SteadyViewerState.h"

namespace {

constexpr int64_t kNow = 1'790'000'000'000;  // a Tuesday in 2026, UTC
constexpr int64_t kHour = 3'600'000;
constexpr int64_t kDay = 24 * kHour;

tav::HistorySeries Entries(tav::HistoryResolution resolution, const std::vector<int64_t> &times)
{
    tav::HistorySeries data;
    data.resolution = resolution;
    data.utcMs = times;
    for (int s = 0; s < tav::kSteadySeriesCount; ++s)
        for (size_t i = 0; i < times.size(); ++i) {
            const float v = float(s) + 0.001f * float(i);
            data.mean[s].push_back(v);
            if (resolution != tav::HistoryResolution::kRaw) {
                data.min[s].push_back(v - 0.5f);
                data.max[s].push_back(v + 0.5f);
            }
        }
    return data;
}

TEST(HistoryViewState, RangesEndNowAndDatesMustBeOrdered)
{
    tav::HistoryViewState view;
    EXPECT_STREQ(tav::HistoryRangeName(view.range), "1 天");
    const int64_t spans[] = {kHour, 8 * kHour, kDay, 7 * kDay, 30 * kDay, 365 * kDay};
    for (int r = 0; r < 6; ++r) {
        view.ChooseRange(r);
        const tav::HistorySpan shown = view.Shown(kNow);
        EXPECT_EQ(shown.toUtcMs, kNow) << r;
        EXPECT_EQ(shown.Length(), spans[r]) << r;
    }
    // The resolution follows the span: full up to a day, minutes up to 90
    // days, hours beyond.
    view.ChooseRange(2);
    EXPECT_EQ(view.ShownResolution(kNow), tav::HistoryResolution::kRaw);
    view.ChooseRange(4);
    EXPECT_EQ(view.ShownResolution(kNow), tav::HistoryResolution::kMinute);
    view.ChooseRange(5);
    EXPECT_EQ(view.ShownResolution(kNow), tav::HistoryResolution::kHour);

    EXPECT_FALSE(view.SetDates(kNow, kNow));
    EXPECT_FALSE(view.SetDates(kNow, kNow - kHour));
    EXPECT_EQ(view.range, 5) << "a refused pair of dates changes nothing";
    ASSERT_TRUE(view.SetDates(kNow - 3 * kDay, kNow - 2 * kDay));
    EXPECT_EQ(view.range, tav::kHistoryDatesRange);
    EXPECT_EQ(view.Shown(kNow + 5 * kDay).fromUtcMs, kNow - 3 * kDay) << "dates do not move with the clock";
    view.ChooseRange(99);
    EXPECT_EQ(view.range, tav::kHistoryDatesRange) << "an unknown index is ignored";
}

TEST(HistoryViewState, ZoomStepsStayInsideAndGoBack)
{
    tav::HistoryViewState view;
    view.ChooseRange(4);  // 30 days, minutes
    EXPECT_FALSE(view.ZoomBack());
    // Dragged right to left and past the end: ordered and clamped.
    ASSERT_TRUE(view.ZoomTo(kNow + kDay, kNow - 12 * kHour, kNow));
    EXPECT_EQ(view.Shown(kNow).fromUtcMs, kNow - 12 * kHour);
    EXPECT_EQ(view.Shown(kNow).toUtcMs, kNow);
    EXPECT_EQ(view.ShownResolution(kNow), tav::HistoryResolution::kRaw) << "half a day is read at full resolution";
    // A zoom step is fixed: it does not follow the clock.
    EXPECT_EQ(view.Shown(kNow + kHour).toUtcMs, kNow);
    // A click (or a drag over a few seconds) is no zoom.
    EXPECT_FALSE(view.ZoomTo(kNow - kHour, kNow - kHour + tav::kHistoryMinZoomMs - 1, kNow));
    EXPECT_EQ(view.ZoomDepth(), 1);
    // A drag wholly outside what is shown clamps to nothing and is refused.
    EXPECT_FALSE(view.ZoomTo(kNow - 40 * kDay, kNow - 35 * kDay, kNow));
    ASSERT_TRUE(view.ZoomTo(kNow - 2 * kHour, kNow - kHour, kNow));
    EXPECT_EQ(view.ZoomDepth(), 2);
    EXPECT_TRUE(view.ZoomBack());
    EXPECT_EQ(view.Shown(kNow).Length(), 12 * kHour);
    EXPECT_TRUE(view.ZoomBack());
    EXPECT_EQ(view.Shown(kNow + kHour).toUtcMs, kNow + kHour) << "back at the range, which ends now again";
    // A new range forgets the zoom.
    ASSERT_TRUE(view.ZoomTo(kNow - 2 * kHour, kNow - kHour, kNow));
    view.ChooseRange(0);
    EXPECT_EQ(view.ZoomDepth(), 0);
}

TEST(HistoryViewState, OnlyTheNewestRequestIsCurrent)
{
    tav::HistoryViewState view;
    const uint64_t a = view.NextRequest();
    const uint64_t b = view.NextRequest();
    EXPECT_NE(a, b);
    EXPECT_FALSE(view.IsCurrent(a));
    EXPECT_TRUE(view.IsCurrent(b));
}

TEST(HistoryPlot, ShownSeriesInOrderWithFactorsAndPens)
{
    tav::SteadyViewerState selection;  // Z axis and rpm: series 14..21
    selection.SetScale(15, 2.0);
    const tav::HistorySeries data = Entries(tav::HistoryResolution::kRaw, {kNow, kNow + 500, kNow + 1000});
    const tav::HistoryPlot plot = tav::BuildHistoryPlot(data, selection.trendSelected, selection.trendScale);
    EXPECT_FALSE(plot.aggregated);
    ASSERT_EQ(plot.shown.size(), 8u);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(plot.shown[i].series, 14 + i);
        EXPECT_EQ(plot.shown[i].pen, i);
        EXPECT_TRUE(plot.shown[i].min.empty());
    }
    ASSERT_EQ(plot.seconds.size(), 3u);
    EXPECT_DOUBLE_EQ(plot.seconds[1], (kNow + 500) / 1000.0);
    EXPECT_NEAR(plot.shown[1].mean[2], 2.0 * (15 + 0.002), 1e-5) << "value x factor";
    EXPECT_NEAR(plot.shown[7].mean[0], 21 * 0.005, 1e-6) << "the speed's start-up factor";

    // Fewer shown series: only they, pens from 0 again.
    selection.ChooseAxis(0);
    selection.SetSeriesSelected(tav::kSpeedSeries, false);
    selection.SetSeriesSelected(3, false);
    const tav::HistoryPlot fewer = tav::BuildHistoryPlot(data, selection.trendSelected, selection.trendScale);
    ASSERT_EQ(fewer.shown.size(), 6u);
    EXPECT_EQ(fewer.shown[3].series, 4);
    EXPECT_EQ(fewer.shown[3].pen, 3);
}

TEST(HistoryPlot, TimesWithoutDataBreakTheLinesAndAggregatesCarryTheirBand)
{
    tav::SteadyViewerState selection;
    // Minutes 0, 1, 2, then nothing for an hour, then 63, 64.
    const int64_t m = 60'000;
    const tav::HistorySeries data =
        Entries(tav::HistoryResolution::kMinute, {kNow, kNow + m, kNow + 2 * m, kNow + 63 * m, kNow + 64 * m});
    const tav::HistoryPlot plot = tav::BuildHistoryPlot(data, selection.trendSelected, selection.trendScale);
    EXPECT_TRUE(plot.aggregated);
    ASSERT_EQ(plot.seconds.size(), 6u) << "one break between minutes 2 and 63";
    EXPECT_DOUBLE_EQ(plot.seconds[3], (kNow + 32.5 * m) / 1000.0);
    for (const auto &s : plot.shown) {
        ASSERT_EQ(s.mean.size(), 6u);
        ASSERT_EQ(s.min.size(), 6u);
        ASSERT_EQ(s.max.size(), 6u);
        EXPECT_TRUE(std::isnan(s.mean[3]) && std::isnan(s.min[3]) && std::isnan(s.max[3]));
        for (size_t i : {0u, 1u, 2u, 4u, 5u}) {
            EXPECT_LT(s.min[i], s.mean[i]);
            EXPECT_GT(s.max[i], s.mean[i]);
        }
        EXPECT_NEAR(s.mean[4], s.series == tav::kSpeedSeries ? 0.005 * (21 + 0.003) : s.series + 0.003, 1e-5)
            << "the entry after the break is the fourth";
    }
    // Two minutes apart still join: a late aggregate is no absence.
    const tav::HistorySeries close = Entries(tav::HistoryResolution::kMinute, {kNow, kNow + 2 * m, kNow + 3 * m});
    EXPECT_EQ(tav::BuildHistoryPlot(close, selection.trendSelected, selection.trendScale).seconds.size(), 3u);
    // A column shorter than the times (a damaged block) shows as no data.
    tav::HistorySeries shortColumn = Entries(tav::HistoryResolution::kRaw, {kNow, kNow + 500});
    shortColumn.mean[14].pop_back();
    const tav::HistoryPlot p = tav::BuildHistoryPlot(shortColumn, selection.trendSelected, selection.trendScale);
    EXPECT_TRUE(std::isnan(p.shown[0].mean[1]));
}

TEST(HistoryPlot, ManyEntriesAreThinnedToColumnsKeepingTheirExtremes)
{
    tav::SteadyViewerState selection;
    // A day of minutes with one spike and one dip, then an absence of three
    // hours; drawn into 100 columns over the day.
    const int64_t m = 60'000;
    std::vector<int64_t> times;
    for (int i = 0; i < 1440; ++i)
        if (i < 1000 || i >= 1180) times.push_back(kNow - kDay + i * m);
    tav::HistorySeries data = Entries(tav::HistoryResolution::kMinute, times);
    data.mean[14][500] = 40.0f;  // Z_AR
    data.mean[14][501] = -40.0f;
    data.max[14][700] = 90.0f;
    const tav::HistorySpan day{kNow - kDay, kNow};
    const tav::HistoryPlot all = tav::BuildHistoryPlot(data, selection.trendSelected, selection.trendScale);
    const tav::HistoryPlot thin = tav::BuildHistoryPlot(data, selection.trendSelected, selection.trendScale, day, 100);
    EXPECT_EQ(all.seconds.size(), times.size() + 1);
    ASSERT_LE(thin.seconds.size(), 2u * 100 + 1);
    EXPECT_GE(thin.seconds.size(), 2u * 80);
    EXPECT_TRUE(std::is_sorted(thin.seconds.begin(), thin.seconds.end()));
    const tav::HistoryPlotSeries &z = thin.shown[0];
    ASSERT_EQ(z.series, 14);
    ASSERT_EQ(z.mean.size(), thin.seconds.size());
    ASSERT_EQ(z.min.size(), thin.seconds.size());
    // The spike and the dip survive, in the order they came.
    const auto spike = std::find(z.mean.begin(), z.mean.end(), 40.0);
    ASSERT_NE(spike, z.mean.end());
    EXPECT_EQ(*(spike + 1), -40.0);
    EXPECT_EQ(*std::max_element(z.max.begin(), z.max.end(), [](double a, double b) {
        return std::isnan(a) || (!std::isnan(b) && a < b);
    }), 90.0) << "the band's highest edge too";
    // The three hours without data still break the line, once.
    EXPECT_EQ(std::count_if(z.mean.begin(), z.mean.end(), [](double v) { return std::isnan(v); }), 1);
    // Few entries are drawn as they are.
    const tav::HistorySeries few = Entries(tav::HistoryResolution::kRaw, {kNow, kNow + 500, kNow + 1000});
    EXPECT_EQ(tav::BuildHistoryPlot(few, selection.trendSelected, selection.trendScale, day, 100).seconds.size(), 3u);
}

TEST(HistoryPlot, NearestEntryAndReadout)
{
    const tav::HistorySeries none;
    EXPECT_EQ(tav::NearestEntry(none, kNow), -1);
    EXPECT_EQ(tav::HistoryReadout(none, 0, tav::SteadyViewerState().trendSelected), "");
    const tav::HistorySeries raw = Entries(tav::HistoryResolution::kRaw, {kNow, kNow + 1000, kNow + 3000});
    EXPECT_EQ(tav::NearestEntry(raw, kNow - kDay), 0);
    EXPECT_EQ(tav::NearestEntry(raw, kNow + 400), 0);
    EXPECT_EQ(tav::NearestEntry(raw, kNow + 600), 1);
    EXPECT_EQ(tav::NearestEntry(raw, kNow + 2000), 1) << "a tie goes to the earlier entry";
    EXPECT_EQ(tav::NearestEntry(raw, kNow + 2001), 2);
    EXPECT_EQ(tav::NearestEntry(raw, kNow + kDay), 2);

    tav::SteadyViewerState selection;
    const std::string text = tav::HistoryReadout(raw, 1, selection.trendSelected);
    EXPECT_EQ(text.rfind(tav::LocalTimeText(kNow + 1000), 0), 0u) << text;
    EXPECT_NE(text.find("Z_AR 14.001 g"), std::string::npos) << text;
    EXPECT_NE(text.find("Z_AK 16.001  Z_VR"), std::string::npos) << "kurtosis has no unit: " << text;
    EXPECT_NE(text.find("Z_VR 17.001 mm/s"), std::string::npos) << text;
    EXPECT_NE(text.find("rpm 21.001 rpm"), std::string::npos) << "true values, not scaled: " << text;
    EXPECT_EQ(text.find("X_AR"), std::string::npos) << "only shown series";

    const tav::HistorySeries hours = Entries(tav::HistoryResolution::kHour, {kNow});
    const std::string agg = tav::HistoryReadout(hours, 0, selection.trendSelected);
    EXPECT_NE(agg.find("(1小时)"), std::string::npos) << agg;
    EXPECT_NE(agg.find("Z_DP 19.500/20.000/20.500 mm"), std::string::npos) << agg;
}

TEST(HistoryPlot, LocalTimeTextAndLabelFormats)
{
    // Independent of the zone: a time and the same time a day later differ
    // only in the date (no zone shifts by whole days).
    const std::string a = tav::LocalTimeText(kNow), b = tav::LocalTimeText(kNow + 1999);
    ASSERT_EQ(a.size(), 19u);
    EXPECT_EQ(a.substr(0, 17), b.substr(0, 17));
    EXPECT_NE(a, b) << "1.999 s later is the next second";
    EXPECT_EQ(tav::LocalTimeText(-1).substr(17), "59") << "before 1970 still floors to its second";
    EXPECT_NE(std::string(tav::HistoryTimeLabelFormat(kHour)).find("yyyy-MM-dd"), std::string::npos);
    EXPECT_NE(std::string(tav::HistoryTimeLabelFormat(5 * 60'000)).find("ss"), std::string::npos);
    EXPECT_EQ(std::string(tav::HistoryTimeLabelFormat(365 * kDay)), "yyyy-MM-dd");
}

}  // namespace
