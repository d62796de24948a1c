// Rules of the steady-state viewer without a window: series selection,
// display factors, redraw pacing, list texts and the trend copy.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <numeric>
#include <vector>

#include "core/steady/SteadyViewerState.h"

namespace {

using namespace tav;

int Ones(const SteadyViewerState &s) { return std::accumulate(s.trendSelected, s.trendSelected + 22, 0); }

TEST(SteadyViewerState, StartUpShowsZAxisAndSpeed)
{
    SteadyViewerState s;
    for (int i = 0; i < 14; ++i) EXPECT_EQ(s.trendSelected[i], 0) << i;
    for (int i = 14; i < 22; ++i) EXPECT_EQ(s.trendSelected[i], 1) << i;
    EXPECT_EQ(s.selectedCount, 8);
    EXPECT_EQ(s.axisChoice[0], 0);
    EXPECT_EQ(s.axisChoice[1], 0);
    EXPECT_EQ(s.axisChoice[2], 1);
    for (int i = 0; i < 21; ++i) EXPECT_FLOAT_EQ(s.trendScale[i], 1.0f);
    EXPECT_FLOAT_EQ(s.trendScale[21], 0.005f);
    EXPECT_EQ(s.redrawDivisor, 6);
    EXPECT_EQ(s.redrawCounter, 0);
    EXPECT_EQ(s.recordIndex, 0);
    EXPECT_EQ(s.parameterIndex, 0);
    EXPECT_EQ(s.timeWindow, 0);
    EXPECT_EQ(SteadySeriesNames()[0], "X_AR");
    EXPECT_EQ(SteadySeriesNames()[9], "Y_AK");
    EXPECT_EQ(SteadySeriesNames()[20], "Z_DP");
    EXPECT_EQ(SteadySeriesNames()[21], "rpm");
}

TEST(SteadyViewerState, AxisChoiceKeepsTheSpeedAndCountsWhatIsShown)
{
    SteadyViewerState s;
    s.ChooseAxis(0);
    for (int i = 0; i < 21; ++i) EXPECT_EQ(s.trendSelected[i], i < 7 ? 1 : 0) << i;
    EXPECT_EQ(s.trendSelected[21], 1);
    EXPECT_EQ(s.selectedCount, 8);
    EXPECT_EQ(s.axisChoice[0] + s.axisChoice[1] + s.axisChoice[2], 1);

    // Without the speed the axis gives seven; a parameter of another axis
    // then fits as the eighth.
    ASSERT_TRUE(s.SetSeriesSelected(21, false));
    s.ChooseAxis(1);
    EXPECT_EQ(s.selectedCount, 7);
    EXPECT_EQ(s.axisChoice[1], 1);
    EXPECT_TRUE(s.SetSeriesSelected(16, true));
    EXPECT_EQ(s.selectedCount, 8);
    EXPECT_EQ(Ones(s), 8);
}

TEST(SteadyViewerState, NinthSeriesRefusedUntilOneIsCleared)
{
    SteadyViewerState s;
    EXPECT_FALSE(s.SetSeriesSelected(0, true));
    EXPECT_EQ(s.trendSelected[0], 0);
    EXPECT_EQ(s.selectedCount, 8);
    EXPECT_TRUE(s.SetSeriesSelected(15, false));
    EXPECT_EQ(s.selectedCount, 7);
    EXPECT_TRUE(s.SetSeriesSelected(0, true));
    EXPECT_EQ(s.selectedCount, 8);
    EXPECT_EQ(Ones(s), 8);
    // A repeated notification for a box already in that state changes nothing.
    EXPECT_TRUE(s.SetSeriesSelected(0, true));
    EXPECT_TRUE(s.SetSeriesSelected(1, false));
    EXPECT_EQ(s.selectedCount, 8);
    EXPECT_EQ(Ones(s), s.selectedCount);
}

TEST(SteadyViewerState, FactorBoundsAreInclusiveAndNumbersOnly)
{
    SteadyViewerState s;
    EXPECT_TRUE(s.SetScale(3, 0.001));
    EXPECT_FLOAT_EQ(s.trendScale[3], 0.001f);
    EXPECT_TRUE(s.SetScale(3, 1000.0));
    EXPECT_FLOAT_EQ(s.trendScale[3], 1000.0f);
    for (double bad : {0.0009, 1000.1, 0.0, -5.0, double(NAN), double(INFINITY)}) {
        EXPECT_FALSE(s.SetScale(3, bad)) << bad;
        EXPECT_FLOAT_EQ(s.trendScale[3], 1000.0f);
    }
    EXPECT_DOUBLE_EQ(ParseFactor(" 2.5 "), 2.5);
    EXPECT_DOUBLE_EQ(ParseFactor("1e-3"), 0.001);
    for (const char *text : {"", "abc", "2abc", "nan", "inf", "0x10", "1,5"})
        EXPECT_TRUE(std::isnan(ParseFactor(text))) << text;
    EXPECT_EQ(FactorText(1.0f, 2), "1.00");
    EXPECT_EQ(FactorText(0.005f, 3), "0.005");
    // Regression: two decimals turned the speed's 0.005 into "0.01".
    EXPECT_EQ(FactorText(0.005f, 2), "0.005");
    EXPECT_EQ(FactorText(0.001f, 2), "0.001");
    EXPECT_EQ(FactorText(1000.0f, 2), "1000.00");
    // Whatever factor is set, applying the text shown for it keeps it.
    for (double v : {0.001, 0.0015, 0.004, 0.005, 0.0123456, 1.0 / 3.0, 2.5, 99.999, 123.456789, 999.9999, 1000.0}) {
        SteadyViewerState t;
        ASSERT_TRUE(t.SetScale(0, v)) << v;
        const float set = t.trendScale[0];
        for (int decimals : {2, 3}) {
            const std::string shown = FactorText(set, decimals);
            ASSERT_TRUE(t.SetScale(0, ParseFactor(shown))) << shown;
            EXPECT_EQ(t.trendScale[0], set) << v << " shown as " << shown;
        }
    }
}

TEST(SteadyViewerState, RedrawEveryDivisorTicksAndNeverStalls)
{
    SteadyViewerState s;
    int redraws = 0;
    for (int t = 0; t < 12; ++t) redraws += s.CountRedraw();
    EXPECT_EQ(redraws, 2);
    const int divisors[] = {6, 3, 2, 1, 1, 1};
    for (int w = 0; w < kTimeWindowCount; ++w) EXPECT_EQ(RedrawDivisorOf(w), divisors[w]) << w;
    EXPECT_STREQ(TimeWindowName(0), "60分钟");
    EXPECT_STREQ(TimeWindowName(5), "1分钟");

    // Four ticks into the hour window, then the 10-minute window: the next
    // tick must redraw, not wait for a counter that already passed 1.
    for (int t = 0; t < 4; ++t) s.CountRedraw();
    s.ChooseTimeWindow(3);
    EXPECT_EQ(s.redrawDivisor, 1);
    EXPECT_TRUE(s.CountRedraw());
    EXPECT_TRUE(s.CountRedraw());
}

TEST(SteadyViewerList, CellTexts)
{
    auto r = std::make_unique<SteadyRecord>();
    r->address = 7;
    EXPECT_EQ(AddressCell(*r), "007    N");
    EXPECT_EQ(ValueCell(*r, 0), "------");
    EXPECT_EQ(ValueCell(*r, 20), "------");
    EXPECT_EQ(ValueCell(*r, 21), "");

    r->inUse = 1;
    r->current[kSteadyVP][1] = 3.14159f;  // Y_VP, series 11
    r->current[kSteadyAR][2] = 0.5f;      // Z_AR, series 14
    r->currentRpm = 1500.0f;
    EXPECT_EQ(AddressCell(*r), "007    Y");
    EXPECT_EQ(ValueCell(*r, 11), "3.14");
    EXPECT_EQ(ValueCell(*r, 14), "0.50");
    EXPECT_EQ(ValueCell(*r, 0), "0.00");
    EXPECT_EQ(ValueCell(*r, 21), "1500.000000");
    r->address = 1234;
    EXPECT_EQ(AddressCell(*r), "1234    Y");
}

TEST(SteadyViewerTrend, CopyIsInTimeOrderNewestLast)
{
    auto r = std::make_unique<SteadyRecord>();
    // Ring entry k holds its age rank: writeIndex is the oldest.
    r->writeIndex = 100;
    for (int s = 0; s < kSteadySeriesCount; ++s)
        for (int k = 0; k < kSteadyHistoryLength; ++k)
            r->Ring(s)[k] = float(s * 10000 + (k - 100 + kSteadyHistoryLength) % kSteadyHistoryLength);
    std::vector<std::vector<float>> out(kSteadySeriesCount, std::vector<float>(kSteadyHistoryLength, -1.0f));
    float *traces[kSteadySeriesCount];
    for (int s = 0; s < kSteadySeriesCount; ++s) traces[s] = out[s].data();
    CopyTrend(*r, traces);
    for (int s = 0; s < kSteadySeriesCount; ++s)
        for (int k = 0; k < kSteadyHistoryLength; k += 599) ASSERT_FLOAT_EQ(out[s][k], float(s * 10000 + k)) << s;
    EXPECT_FLOAT_EQ(out[21][kSteadyHistoryLength - 1], float(21 * 10000 + kSteadyHistoryLength - 1));
}

}  // namespace
