// A baseline from a week of minute means: the median of the running minutes,
// minutes of a stopped machine left out by speed or, without a rated speed,
// by velocity; too little running says so and gives nothing.
#include <gtest/gtest.h>

#include "core/health/BaselineEstimate.h"

namespace tav {
namespace {

// One minute of aggregates: X, Y, Z velocity means and the speed.
void AddMinute(HistorySeries *s, float x, float y, float z, float rpm)
{
    s->utcMs.push_back(int64_t(s->utcMs.size()) * 60000);
    for (int i = 0; i < kSteadySeriesCount; ++i)
        s->mean[size_t(i)].push_back(NAN);
    s->mean[kSteadyVR].back() = x;
    s->mean[kSteadyParameterCount + kSteadyVR].back() = y;
    s->mean[2 * kSteadyParameterCount + kSteadyVR].back() = z;
    s->mean[kSpeedSeries].back() = rpm;
}

TEST(BaselineEstimate, MedianOfRunningMinutesWithStopsLeftOut)
{
    HistorySeries s;
    s.resolution = HistoryResolution::kMinute;
    // 101 running minutes: X 1.00 .. 2.00 (median 1.50), Y 0.8 throughout,
    // Z a rough stretch of 30 minutes at 9 that must not move the median.
    for (int i = 0; i <= 100; ++i)
        AddMinute(&s, 1.0f + 0.01f * float(i), 0.8f, i < 30 ? 9.0f : 0.6f, 1480);
    // 200 minutes standing still but loud from the neighbours (0.5 mm/s,
    // above the velocity rule) and a run-down at 100 rpm: both are stops
    // by speed.
    for (int i = 0; i < 200; ++i)
        AddMinute(&s, 0.5f, 0.5f, 0.5f, i % 2 ? 0 : 100);
    BaselineEstimate b = EstimateBaseline(s, 1500);
    ASSERT_TRUE(b.ok) << b.message;
    EXPECT_EQ(b.runningMinutes, 101);
    EXPECT_EQ(b.stoppedMinutes, 200);
    EXPECT_NEAR(b.velocity[0], 1.50, 1e-5);
    EXPECT_NEAR(b.velocity[1], 0.80, 1e-6);
    EXPECT_NEAR(b.velocity[2], 0.60, 1e-6);

    // Without a rated speed the velocity decides: the 0.5 mm/s minutes now
    // count as running, the quiet ones (0.1) do not.
    for (int i = 0; i < 50; ++i)
        AddMinute(&s, 0.1f, 0.1f, 0.1f, 0);
    b = EstimateBaseline(s, 0);
    EXPECT_EQ(b.runningMinutes, 301);
    EXPECT_EQ(b.stoppedMinutes, 50);

    // Fewer than an hour of running: nothing, and the operator is told.
    HistorySeries few;
    for (int i = 0; i < kMinBaselineMinutes - 1; ++i)
        AddMinute(&few, 1.0f, 1.0f, 1.0f, 1500);
    b = EstimateBaseline(few, 1500);
    EXPECT_FALSE(b.ok);
    EXPECT_TRUE(std::isnan(b.velocity[0]));
    EXPECT_NE(b.message.find("不足以设定基线"), std::string::npos);
}

}  // namespace
}  // namespace tav
