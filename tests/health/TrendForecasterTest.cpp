// Time to alarm end to end: a history file written by the station's own
// writer, the forecaster's pass over it, the snapshot's fields.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <cmath>
#include <memory>

#include "core/health/TrendForecaster.h"
#include "history/ViewerTestSupport.h"

using namespace tav;

TEST(TrendForecaster, RisingAxisOfAWrittenHistoryIsForecastFromItsHourMeans)
{
    char folder[] = "/tmp/tavenor-trend-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const int64_t day = 86'400'000;
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    {
        test::DiscardSink sink;
        HistoryWriterOptions options;
        options.dataFolder = folder;
        options.waitWhenFull = true;
        options.queueCapacity = 4096;
        HistoryWriter writer(options, sink);
        ASSERT_TRUE(writer.Start());
        auto snapshot = std::make_unique<SteadySnapshot>();
        snapshot->count = 1;
        SteadySensorValues &v = snapshot->sensors[0];
        v.address = 9;
        v.generation = 1;
        // Four days, a value a minute: X rises 0.2 mm/s a day to 1.8, Y and Z stay at 1.0.
        for (int64_t t = now - 4 * day; t < now; t += 60'000) {
            snapshot->utcMs = t;
            for (int s = 0; s < kSteadySeriesCount; ++s)
                v.values[s] = 1.0f;
            v.values[kSteadyVR] = float(1.8 + 0.2 * double(t - now) / double(day));
            writer.OnSteadySnapshot(*snapshot);
        }
        writer.Flush();
        writer.Stop();
    }
    MachineSettings m;
    m.address = 9;
    m.isoClass = IsoClass::kGroup2Rigid;  // alert 2.8, danger 4.5 mm/s
    TrendForecaster forecaster(std::string(folder) + "/" + kHistoryFileName);
    forecaster.SetMachines({{9, m}});
    forecaster.RunPass(now);
    SteadySensorValues v;
    v.address = 9;
    forecaster.Fill(&v);
    EXPECT_NEAR(v.daysToAlert[0], 5.0, 0.3);
    EXPECT_NEAR(v.daysToDanger[0], 13.5, 0.6);
    for (int axis = 1; axis < 3; ++axis)
        EXPECT_TRUE(std::isnan(v.daysToAlert[axis]) && std::isnan(v.daysToDanger[axis]));
    TrendResult r;
    ASSERT_TRUE(forecaster.Latest(9, 0, &r));
    EXPECT_EQ(TimeToAlarmText(r), "预计 5 天后达到预警");
    std::filesystem::remove_all(folder);
}
