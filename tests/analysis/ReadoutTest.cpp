// Pixels to physical units: the main window's plots and the analysis plot
// read back the time, frequency and value a known pixel stands for.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "core/analysis/AnalysisScale.h"
#include "core/plotting/PlotReadout.h"

namespace tav {
namespace {

// A 624 x 300 control with the main window's margin: columns 30 .. 608.
TEST(PlotReadout, TimePlotReadsMillisecondsAndTheSample)
{
    const int n = 26667;
    std::vector<float> data(n);
    for (int i = 0; i < n; ++i)
        data[i] = i * 1e-4f;
    const PlotArea a = ComputeArea(624, 300, 16, n, 100);  // one second across
    // Half-way across is half a second.
    Readout r = ReadTime(a, a.left + a.Width() / 2, data.data(), n);
    ASSERT_TRUE(r.valid);
    EXPECT_NEAR(r.position, 500.0, 1000.0 / a.Width());
    EXPECT_FLOAT_EQ(r.value, data[r.index]);
    EXPECT_EQ(ReadTime(a, a.left - 1, data.data(), n).valid, false);
    EXPECT_EQ(ReadTime(a, a.right, data.data(), n).valid, false);
    // 10 ms per division: the tenth column from the left is 1/100 s later.
    const PlotArea zoom = ComputeArea(624, 300, 16, n, 10);
    r = ReadTime(zoom, zoom.left + zoom.Width() / 10, data.data(), n);
    EXPECT_NEAR(r.position, 10.0, 2 * 100.0 / zoom.Width());  // within a pixel of the tick
}

TEST(PlotReadout, SpectrumReadsTheLargestLineOfTheColumn)
{
    // 26667 Hz, half a second: 6143 lines of 1.6276 Hz to 10 kHz; a line of
    // 0.31 g at 47 Hz (line 29) beside smaller ones.
    const double df = 26667.0 / 16384;
    const int n = 6143;
    std::vector<float> lines(n, 0.01f);
    lines[29] = 0.31f;
    lines[28] = 0.1f;
    PlotArea a = ComputeArea(624, 300, 16, n, 5);  // 50 Hz per division, 500 Hz across
    const int px = a.left + static_cast<int>(47.2 / 500.0 * a.Width()) + 1;
    const Readout r = ReadSpectrum(a, px, 0, lines.data(), n, df);
    ASSERT_TRUE(r.valid);
    EXPECT_EQ(r.index, 29);
    EXPECT_NEAR(r.position, 29 * df, 1e-9);
    EXPECT_FLOAT_EQ(r.value, 0.31f);
    // Without a known spacing the lines are taken to span 10 kHz.
    EXPECT_NEAR(ReadSpectrum(a, px, 0, lines.data(), n, 0).position, 29 * 10000.0 / n, 1e-9);
    // Scrolled: the view starts at startIndex.
    const Readout scrolled = ReadSpectrum(a, a.left + 1, 3000, lines.data(), n, df);
    EXPECT_NEAR(scrolled.position, 3000 * df, 2 * df);
}

TEST(PlotReadout, TrendReadsSecondsIntoTheHourAndUnitsByName)
{
    std::vector<float> trace(7200, 2.5f);
    const PlotArea a = ComputeArea(800, 300, 120, 7200, 100);
    const Readout r = ReadTrend(a, a.left + a.Width() / 4, 0, trace.data(), 7200);
    ASSERT_TRUE(r.valid);
    EXPECT_NEAR(r.position, 900.0, 3600.0 / a.Width());
    EXPECT_EQ(r.value, 2.5);
    EXPECT_STREQ(SeriesUnit("X_AR"), "g");
    EXPECT_STREQ(SeriesUnit("Y_VP"), "mm/s");
    EXPECT_STREQ(SeriesUnit("Z_DR"), "mm");
    EXPECT_STREQ(SeriesUnit("X_AK"), "");
    EXPECT_STREQ(SeriesUnit("rpm"), "rpm");
    EXPECT_STREQ(QuantityUnit(1), "mm/s");
    EXPECT_EQ(FormatValue(0.3124, "g"), "0.3124 g");
    EXPECT_EQ(FormatValue(3.1, ""), "3.1");
}

TEST(AnalysisScale, PixelsToHertzAndAmplitudeBothWays)
{
    std::vector<float> amplitude(1000, 0.0f);
    amplitude[300] = 0.43f;
    // 1060 x 528: columns 60 .. 1044, rows 24 .. 500; 0 .. 984 Hz across.
    analysis::AnalysisScale s = analysis::MakeScale(1060, 528, 0, 984, false, amplitude, 1.0);
    EXPECT_EQ(s.topValue, 0.5);  // the next of 1, 2, 5 above the largest line
    EXPECT_NEAR(s.FrequencyAt(60 + 492), 492.0, 1e-9);
    EXPECT_NEAR(s.ColumnOf(300), 360.0, 1e-9);
    EXPECT_NEAR(s.AmplitudeAt(262), 0.25, 1e-9);
    EXPECT_EQ(s.RowOf(0.5), 24);
    EXPECT_EQ(s.RowOf(0.0), 500);
    EXPECT_EQ(analysis::LineAtColumn(s, 360, amplitude, 1000, 1.0), 300);
    EXPECT_EQ(analysis::LineAtColumn(s, 30, amplitude, 1000, 1.0), -1);

    // dB: the top is the next 10 dB above the largest line, 100 dB down.
    s = analysis::MakeScale(1060, 528, 0, 984, true, amplitude, 1.0);
    EXPECT_EQ(s.topValue, 0.0);
    EXPECT_EQ(s.RowOf(1.0), 24);
    EXPECT_EQ(s.RowOf(1e-5), 500);
    EXPECT_NEAR(s.AmplitudeAt(262), std::pow(10.0, -2.5), 1e-9);
    EXPECT_EQ(analysis::NiceAbove(0.021), 0.05);
    EXPECT_EQ(analysis::NiceAbove(3e-4), 5e-4);
    EXPECT_EQ(analysis::NiceAbove(0), 1.0);
}

}  // namespace
}  // namespace tav
