#include <gtest/gtest.h>

#include "core/plotting/PlotData.h"
#include "core/plotting/PlotGeometry.h"

using namespace tav;

namespace {

// A control whose plot area is 600 pixels wide and 10 divisions of 23 high.
PlotArea Area600(int pointCount, float h) { return ComputeArea(646, 260, 16, pointCount, h); }

}  // namespace

TEST(PlotArea, EdgesAndDivisions)
{
    const PlotArea a = Area600(26667, 100);
    ASSERT_TRUE(a.valid);
    EXPECT_EQ(a.left, 30);
    EXPECT_EQ(a.top, 10);
    EXPECT_EQ(a.right, 630);
    EXPECT_EQ(a.bottom, 240);
    EXPECT_EQ(a.cellHeight, 23);
    EXPECT_EQ(a.TopRow(), 10);
    // Too small to hold ten divisions either way: nothing to draw, no division by zero.
    EXPECT_FALSE(ComputeArea(40, 260, 16, 1000, 100).valid);
    EXPECT_FALSE(ComputeArea(646, 35, 16, 1000, 100).valid);
}

TEST(PlotArea, TimeColumnsCoverTheShownShareOfTheSecond)
{
    PlotArea a = Area600(26667, 100);
    EXPECT_NEAR(a.samplesPerPixel, 44.445f, 0.001f);
    // The last column ends at the last value: the whole second is shown.
    EXPECT_EQ(ColumnSamples(599, 0, a.samplesPerPixel).end, 26667);

    a = Area600(26667, 10);
    EXPECT_NEAR(a.samplesPerPixel, 4.4445f, 0.0001f);
    EXPECT_EQ(ColumnSamples(599, 0, a.samplesPerPixel).end, 2666);  // the first tenth
}

TEST(PlotArea, ValueRows)
{
    const PlotArea a = Area600(26667, 100);
    const float u = ReciprocalUnits(5);  // 0.2 per division
    EXPECT_EQ(ValueToRow(a, 5, 0.0f, u), a.bottom - 5 * a.cellHeight);  // time: the line labelled 0
    EXPECT_EQ(ValueToRow(a, 0, 0.0f, u), a.bottom);                     // spectrum: the bottom edge
    EXPECT_EQ(ValueToRow(a, 5, 0.2f, u), a.bottom - 6 * a.cellHeight);
    EXPECT_EQ(ValueToRow(a, 5, 6.0f / u, u), a.TopRow());  // clamped at the top
    EXPECT_EQ(ValueToRow(a, 5, -6.0f / u, u), a.bottom);
    EXPECT_EQ(ValueToRow(a, 0, 1e30f, u), a.TopRow());
    EXPECT_EQ(ValueToRow(a, 0, -1e30f, u), a.bottom);
    EXPECT_EQ(ValueToRow(a, 5, std::numeric_limits<float>::quiet_NaN(), u), a.bottom);
}

TEST(ScaleTables, OutOfRangeIndicesTakeTheNearestEntry)
{
    EXPECT_FLOAT_EQ(HorizontalValue(kTimeMode, -1), 0.5f);
    EXPECT_FLOAT_EQ(HorizontalValue(kSpectrumMode, 8), 100.0f);
    EXPECT_FLOAT_EQ(HorizontalValue(kTrendMode, 5), 1.6666666f);
    EXPECT_FLOAT_EQ(HorizontalValue(kTrendMode, 1000), 100.0f);
    EXPECT_FLOAT_EQ(ReciprocalUnits(-7), 200.0f);
    EXPECT_FLOAT_EQ(ReciprocalUnits(13), 0.02f);
    EXPECT_EQ(ClampPointCount(-5), 0);
    EXPECT_EQ(ClampPointCount(100001), kPlotPoints);
    EXPECT_EQ(ClampPointCount(27000), 27000);
}

TEST(SetupScroll, EveryIndexOfBothLists)
{
    for (int i = 0; i < 8; ++i) {
        ScrollView v;
        SetupScroll(kSpectrumMode, i, 0, v);
        EXPECT_EQ(v.totalDivisions, static_cast<int>(1000 / kTimeSpectrumH[i] + 0.5f)) << i;
        EXPECT_EQ(v.firstLabel, 1);
        EXPECT_EQ(v.offsetPercent, 100);
    }
    const int divisions[8] = {10, 20, 30, 60, 120, 600, 20, 10};
    const int seconds[6] = {360, 180, 120, 60, 30, 6};
    for (int i = 0; i < 8; ++i) {
        ScrollView v;
        v.secondsPerDivision = 77;
        SetupScroll(kTrendMode, i, 0, v);
        EXPECT_EQ(v.totalDivisions, divisions[i]) << i;
        EXPECT_EQ(v.secondsPerDivision, i < 6 ? seconds[i] : 77) << i;
        // Every trend window spans totalDivisions x secondsPerDivision = one hour.
        if (i < 6) {
            EXPECT_EQ(v.totalDivisions * v.secondsPerDivision, 3600);
        }
    }
    // Outside the lists, or in time mode, nothing changes.
    ScrollView v;
    v.totalDivisions = 123;
    v.firstLabel = 5;
    SetupScroll(kSpectrumMode, 8, 50, v);
    EXPECT_EQ(v.totalDivisions, 123);
    EXPECT_EQ(v.firstLabel, 123 * 50 / 100 + 1);
    ScrollView t;
    t.firstLabel = 9;
    SetupScroll(kTimeMode, 3, 50, t);
    EXPECT_EQ(t.firstLabel, 9);
    // Integer slider arithmetic: 30 divisions at 45 % -> t = 1350.
    ScrollView s;
    SetupScroll(kTrendMode, 2, 45, s);
    EXPECT_EQ(s.firstLabel, 14);
    EXPECT_EQ(s.offsetPercent, 50);
}

TEST(ScrollView, SliderAtTheEndShowsTheLastTenDivisions)
{
    const int pointCount = 6143;
    const int cell = 60;
    for (int i = 0; i < 8; ++i) {
        ScrollView v;
        ApplyScrollView(kSpectrumMode, i, 100, pointCount, cell, v);
        EXPECT_EQ(v.firstLabel, v.totalDivisions - 10) << i;
        EXPECT_EQ(v.startIndex, (v.totalDivisions - 10) * pointCount / v.totalDivisions) << i;
        EXPECT_EQ(v.firstTickOffset, 0);
        // The view's last column stays inside the data.
        const PlotArea a = ComputeArea(646, 260, 16, pointCount, kTimeSpectrumH[i]);
        EXPECT_LT(ColumnSamples(599, v.startIndex, a.samplesPerPixel).first, pointCount) << i;
    }
    // Mid-way the first tick sits offsetPercent of a division in.
    ScrollView v;
    ApplyScrollView(kSpectrumMode, 0, 37, pointCount, cell, v);  // 2000 divisions
    EXPECT_EQ(v.firstLabel, 741);
    EXPECT_EQ(v.offsetPercent, 100);
    EXPECT_EQ(v.firstTickOffset, cell);
    EXPECT_EQ(v.startIndex, pointCount * 37 / 100);
    ApplyScrollView(kSpectrumMode, 4, 37, pointCount, cell, v);  // 100 divisions, t = 3700
    EXPECT_EQ(v.offsetPercent, 100);
    ApplyScrollView(kSpectrumMode, 3, 33, pointCount, cell, v);  // 200 divisions, t = 6600
    EXPECT_EQ(v.firstLabel, 67);
    EXPECT_EQ(v.offsetPercent, 100);
    ApplyScrollView(kSpectrumMode, 5, 33, pointCount, cell, v);  // 50 divisions, t = 1650
    EXPECT_EQ(v.firstLabel, 17);
    EXPECT_EQ(v.offsetPercent, 50);
    EXPECT_EQ(v.firstTickOffset, 30);
}

TEST(ScrollView, TrendWindows)
{
    ScrollView v;
    // The 60-minute window always starts at the oldest value.
    for (int s : {0, 50, 100}) {
        ApplyScrollView(kTrendMode, 0, s, 7200, 60, v);
        EXPECT_EQ(v.startIndex, 0) << s;
        EXPECT_EQ(v.firstTickOffset, 0);
    }
    // One minute: the first minute at 0, the last at 99 and 100.
    ApplyScrollView(kTrendMode, 5, 0, 7200, 60, v);
    EXPECT_EQ(v.startIndex, 0);
    EXPECT_EQ(v.secondsPerDivision, 6);
    for (int s : {99, 100}) {
        ApplyScrollView(kTrendMode, 5, s, 7200, 60, v);
        EXPECT_EQ(v.startIndex, 7200 - 120) << s;
    }
    // A slider value past its range is held to it.
    ApplyScrollView(kTrendMode, 5, 250, 7200, 60, v);
    EXPECT_EQ(v.startIndex, 7080);
    ApplyScrollView(kTrendMode, 5, -3, 7200, 60, v);
    EXPECT_EQ(v.startIndex, 0);
}

TEST(Clock, AddSecondsAndTheTrendStart)
{
    int h = 23, m = 59, s = 30;
    AddSeconds(h, m, s, 45);
    EXPECT_EQ(h, 0);
    EXPECT_EQ(m, 0);
    EXPECT_EQ(s, 15);
    h = 12, m = 58, s = 50;
    AddSeconds(h, m, s, 360);
    EXPECT_EQ(h * 10000 + m * 100 + s, 130450);

    const ClockTime a = TrendClockStart({0, 15, 20});
    EXPECT_EQ(a.hour * 10000 + a.minute * 100 + a.second, 231520);
    const ClockTime b = TrendClockStart({14, 30, 5});
    EXPECT_EQ(b.hour * 10000 + b.minute * 100 + b.second, 133005);

    // The 60-minute window: 11 labels from an hour ago to now, 6 minutes apart.
    const ClockTime now{14, 30, 5};
    const ClockTime first = TrendTickTime(now, 0, 7200, 360, 0);
    const ClockTime last = TrendTickTime(now, 0, 7200, 360, 10);
    EXPECT_EQ(first.hour * 10000 + first.minute * 100 + first.second, 133005);
    EXPECT_EQ(last.hour * 10000 + last.minute * 100 + last.second, 143005);
    // The last minute of the hour starts 59 minutes after the oldest value.
    const ClockTime end = TrendTickTime(now, 7080, 7200, 6, 0);
    EXPECT_EQ(end.hour * 10000 + end.minute * 100 + end.second, 142905);
    // An empty history does not divide by zero.
    const ClockTime empty = TrendTickTime(now, 0, 0, 6, 0);
    EXPECT_EQ(empty.hour, 13);
}

// In a small window the time plots' eleven numbers printed over each other.
TEST(PlotArea, VerticalNumbersThinOutWhereDivisionsAreShorterThanTheirText)
{
    EXPECT_EQ(VerticalLabelStep(23, 15), 1);
    EXPECT_EQ(VerticalLabelStep(15, 15), 1);
    EXPECT_EQ(VerticalLabelStep(11, 15), 2);
    EXPECT_EQ(VerticalLabelStep(8, 15), 2);
    EXPECT_EQ(VerticalLabelStep(7, 15), 5);
    EXPECT_EQ(VerticalLabelStep(0, 15), 5);
}
