// The live view's refresh rules, without widgets.
#include <gtest/gtest.h>

#include <memory>

#include "core/station/LiveRefresh.h"

using namespace tav;

namespace {
struct Rig {
    std::unique_ptr<ConnectionTable> table = std::make_unique<ConnectionTable>();
    std::unique_ptr<LivePlots> plots = std::make_unique<LivePlots>();
    Rig(float fs)
    {
        table->selectedConnection = 2;
        (*table)[2].samplingFrequency = fs;
        for (auto &plot : plots->time) {
            plot.pointCount = static_cast<int>(fs);
            std::fill(plot.samples, plot.samples + kPlotPoints, 1.0f);
            std::fill(plot.velocitySamples, plot.velocitySamples + kPlotPoints, 2.0f);
        }
        std::fill(plots->spectrumInput[0], plots->spectrumInput[0] + kPlotPoints, 9.0f);
    }
    int Copied(int axis, float value)
    {
        const float *in = plots->spectrumInput[axis];
        return static_cast<int>(std::count(in, in + kPlotPoints, value));
    }
};
}  // namespace

TEST(LiveRefresh, SpectrumInputTakesHalfTheWindowAfterFiveBlocksAt26667Hz)
{
    Rig rig(26667.0f);
    rig.plots->liveBlockPending = true;
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(TakeLiveBlock(*rig.plots, *rig.table));
    EXPECT_FALSE(rig.plots->liveBlockPending.load());
    rig.plots->time[1].quantity = kVelocity;
    EXPECT_TRUE(TakeLiveBlock(*rig.plots, *rig.table));
    EXPECT_EQ(rig.Copied(0, 1.0f), 13333);
    EXPECT_EQ(rig.Copied(0, 0.0f), kPlotPoints - 13333);  // the rest is cleared
    EXPECT_EQ(rig.Copied(1, 2.0f), 13333);                // Y shows velocity
    EXPECT_EQ(rig.plots->spectrumTicks.load(), 5);        // the processing thread resets it
}

// Below 20 kHz the window waited for ten blocks while the processing thread
// reset the count at five, so the input was never refreshed.
TEST(LiveRefresh, SlowSensorsTakeTheWholeWindowAtEveryBlock)
{
    Rig rig(10000.0f);
    EXPECT_TRUE(TakeLiveBlock(*rig.plots, *rig.table));
    EXPECT_EQ(rig.Copied(2, 1.0f), 10000);
    EXPECT_EQ(rig.Copied(0, 0.0f), kPlotPoints - 10000);
    // After the processing thread's reset the very next block refreshes.
    rig.plots->spectrumTicks = 0;
    std::fill(rig.plots->time[2].samples, rig.plots->time[2].samples + kPlotPoints, 3.0f);
    EXPECT_TRUE(TakeLiveBlock(*rig.plots, *rig.table));
    EXPECT_EQ(rig.Copied(2, 3.0f), 10000);
}

TEST(LiveRefresh, NumbersFollowTheSelectedConnectionAndAreEmptyWithoutOne)
{
    Rig rig(26667.0f);
    ConnectionRecord &rec = (*rig.table)[2];
    {
        std::lock_guard lock(rec.cond.statsMutex);
        rec.cond.stats.rms[kAcceleration][0] = 0.70710678;
        rec.cond.stats.peak[kVelocity][0] = 9.8;
    }
    rec.sensorAddress = 0xFFFFFFFFu;
    rec.temperature = 31.256f;
    rec.measuredSpeed = 1499.9f;
    LiveNumbers n = ReadLiveNumbers(*rig.plots, *rig.table);
    EXPECT_EQ(n.rms[0], "0.707");
    EXPECT_EQ(n.peak[0], "0.000");
    EXPECT_EQ(n.address, "-1");
    EXPECT_EQ(n.samplingFrequency, "26667.00");
    EXPECT_EQ(n.temperature, "31.26");
    // Rounded, and marked as a guess while no device record bounds it.
    EXPECT_EQ(n.speed, "1500?");
    EXPECT_EQ(n.speedTip, "未设定额定转速：按启动搜索频带 13–25.5 Hz 估计，可能不准");
    rec.speedFromRecord = 1;
    EXPECT_EQ(ReadLiveNumbers(*rig.plots, *rig.table).speed, "1500");
    rig.plots->time[0].quantity = kVelocity;
    EXPECT_EQ(ReadLiveNumbers(*rig.plots, *rig.table).peak[0], "9.800");

    rig.table->selectedConnection = -1;
    n = ReadLiveNumbers(*rig.plots, *rig.table);
    EXPECT_TRUE(n.rms[0].empty() && n.address.empty() && n.speed.empty());
    EXPECT_FALSE(TakeLiveBlock(*rig.plots, *rig.table));
}

TEST(LiveRefresh, CommonPausePausesAllWhenOneRunsAndThenResumesAll)
{
    const int onlyYPaused[3] = {1, 0, 1}, allPaused[3] = {0, 0, 0};
    EXPECT_EQ(CommonPauseTarget(onlyYPaused), 0);
    EXPECT_EQ(CommonPauseTarget(allPaused), 1);
}

// An offline sensor's frozen values read as live; a sending one, another
// sensor in the slot, or a replay must never read as offline.
TEST(LiveRefresh, ShownSensorIsSilentOnlyAfterTenSecondsWithoutAPacket)
{
    Rig rig(26667.0f);
    ConnectionRecord &rec = (*rig.table)[2];
    rec.inUse = 1;
    SilenceWatch watch;
    EXPECT_FALSE(ShownSensorSilent(watch, *rig.table, 0, 10000));
    EXPECT_FALSE(ShownSensorSilent(watch, *rig.table, 9999, 10000));
    EXPECT_TRUE(ShownSensorSilent(watch, *rig.table, 10000, 10000));
    rig.table->acquisitionState = 2;
    EXPECT_FALSE(ShownSensorSilent(watch, *rig.table, 20000, 10000));
    rig.table->acquisitionState = 0;
    EXPECT_FALSE(ShownSensorSilent(watch, *rig.table, 20000, 10000));  // counts from the replay's end
    rec.packetsParsed = 5;
    EXPECT_FALSE(ShownSensorSilent(watch, *rig.table, 40000, 10000));
    rec.generation = 9;  // a new connection in the slot
    EXPECT_FALSE(ShownSensorSilent(watch, *rig.table, 60000, 10000));
    EXPECT_TRUE(ShownSensorSilent(watch, *rig.table, 70000, 10000));
    rec.inUse = 0;
    EXPECT_FALSE(ShownSensorSilent(watch, *rig.table, 90000, 10000));
}
