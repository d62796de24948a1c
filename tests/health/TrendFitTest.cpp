// Time to alarm from the robust trend of hour means.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "core/health/TrendFit.h"

using namespace tav;

namespace {

struct Series {
    std::vector<double> days, values;
};

// Hour means over `spanDays` ending at day 0: level + slope * day, with
// normal noise and one stopped machine's hour of 0 per day.
Series Hours(double spanDays, double atEnd, double slopePerDay, double noise, unsigned seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> scatter(0.0, noise);
    Series s;
    for (double d = -spanDays; d <= 1e-9; d += 1.0 / 24.0) {
        s.days.push_back(d);
        const bool stopped = std::fmod(d + spanDays, 1.0) < 1.0 / 48.0;
        s.values.push_back(stopped ? 0.0 : atEnd + slopePerDay * d + scatter(random));
    }
    return s;
}

TrendFit Fit(const Series &s) { return FitTrend(s.days.data(), s.values.data(), int(s.days.size())); }

}  // namespace

TEST(TrendFit, LinearRampCrossesItsLimitWhenTheLineSays)
{
    // 1.3 -> 2.0 mm/s over a week; alert 2.8 is 8 days on, danger 7.1 51 days.
    for (unsigned seed = 1; seed <= 5; ++seed) {
        const TrendFit fit = Fit(Hours(7.0, 2.0, 0.1, 0.08, seed));
        ASSERT_TRUE(fit.Rising()) << seed;
        const TrendCrossing alert = CrossingOf(fit, 2.8);
        ASSERT_TRUE(alert.shown) << seed;
        EXPECT_LE(alert.earliestDays, 8.0) << seed;
        EXPECT_GE(alert.latestDays, 8.0) << seed;
        EXPECT_NEAR(alert.days, 8.0, 0.5) << seed;
        const TrendCrossing danger = CrossingOf(fit, 7.1);
        EXPECT_TRUE(danger.shown);
        EXPECT_NEAR(danger.days, 51.0, 3.0) << seed;
        EXPECT_FALSE(CrossingOf(fit, 1.5).shown);  // already above it
    }
}

TEST(TrendFit, NothingForFlatFallingNoisyOrShortSeries)
{
    const Series cases[] = {
        Hours(7.0, 2.0, 0.0, 0.3, 11),    // flat and noisy
        Hours(7.0, 2.0, 0.004, 0.3, 12),  // a rise lost in the scatter
        Hours(7.0, 1.3, -0.1, 0.05, 13),  // falling
        Hours(1.5, 2.0, 0.3, 0.05, 14),   // steep but a day and a half
    };
    for (const Series &s : cases) {
        const TrendFit fit = Fit(s);
        EXPECT_FALSE(CrossingOf(fit, 2.8).shown);
        EXPECT_FALSE(CrossingOf(fit, 7.1).shown);
    }
}
