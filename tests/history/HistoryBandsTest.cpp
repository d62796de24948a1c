// The band series go into history.sqlite and come back as minute and hour
// minimum, mean and maximum per band and axis; a band not measured stays
// NaN and a sensor without bands adds no rows.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <fstream>

#include "core/history/HistoryCsv.h"
#include "core/history/HistorySchema.h"
#include "core/history/HistoryStore.h"
#include "tests/history/HistoryTestSupport.h"

namespace tav {
namespace {

using namespace test;

float BandValue(int64_t tick, int band, int axis) { return 1.0f + band + 0.1f * axis + 0.001f * float(tick % 120); }

TEST(HistoryBands, MinuteAndHourAggregatesComeBack)
{
    ScratchFolder folder;
    HistoryStore store(HistorySettings{});
    std::string error;
    ASSERT_EQ(store.Open(folder.Database(), &error), HistoryOpenResult::kOk) << error;
    const int64_t ticks = 62 * 120 + 1;  // the first tick of minute 62 closes minute 61
    std::vector<SteadySnapshot> batch;
    for (int64_t i = 0; i < ticks; ++i) {
        SteadySnapshot s = MakeSnapshot(kBaseUtcMs + i * 500, i, {3, 4});
        for (int b = 0; b < 6; ++b)
            for (int axis = 0; axis < 3; ++axis)
                s.sensors[0].band[b][axis] = i % 7 == 0 ? NAN : BandValue(i, b, axis);
        batch.push_back(s);
        if (batch.size() == 100 || i == ticks - 1) {
            ASSERT_EQ(store.WriteBatch(batch.data(), int(batch.size()), &error), SQLITE_OK) << error;
            batch.clear();
        }
    }
    BandHistorySeries minutes, hours, none;
    ASSERT_TRUE(ReadBandHistory(store.Db(), 3, kBaseUtcMs, kBaseUtcMs + 7'200'000, false, &minutes, &error));
    ASSERT_TRUE(ReadBandHistory(store.Db(), 3, kBaseUtcMs, kBaseUtcMs + 7'200'000, true, &hours, &error));
    ASSERT_TRUE(ReadBandHistory(store.Db(), 4, kBaseUtcMs, kBaseUtcMs + 7'200'000, false, &none, &error));
    ASSERT_EQ(minutes.Size(), 62u);  // the open minute is not stored yet
    ASSERT_EQ(hours.Size(), 1u);
    EXPECT_EQ(none.Size(), 0u);
    for (size_t m : {size_t(0), size_t(61)}) {
        EXPECT_EQ(minutes.utcMs[m], kBaseUtcMs + int64_t(m) * 60'000);
        const int k = 4 * 3 + 2;  // band 5, Z
        double sum = 0;
        float max = 0;
        int n = 0;
        for (int64_t i = int64_t(m) * 120; i < int64_t(m + 1) * 120; ++i)
            if (i % 7 != 0) {
                sum += BandValue(i, 4, 2);
                max = std::max(max, BandValue(i, 4, 2));
                ++n;
            }
        EXPECT_NEAR(minutes.mean[k][m], sum / n, 1e-5);
        EXPECT_FLOAT_EQ(minutes.max[k][m], max);
        EXPECT_TRUE(std::isnan(minutes.mean[6 * 3][m]));  // band 7 not watched
    }
    EXPECT_EQ(hours.utcMs[0], kBaseUtcMs);
    EXPECT_FLOAT_EQ(hours.max[0][0], BandValue(239, 0, 0));  // the largest of the minutes' maxima
    EXPECT_NEAR(hours.mean[0][0], BandValue(59, 0, 0) + 0.0005, 2e-4);
}

// A slow machine's displacement and deciding criterion come back with the
// minutes of its steady series and follow them in the CSV; a fast machine's
// export keeps its columns exactly.
TEST(HistoryBands, SlowMachineSeriesFollowTheSteadyColumns)
{
    ScratchFolder folder;
    HistoryStore store(HistorySettings{});
    std::string error;
    ASSERT_EQ(store.Open(folder.Database(), &error), HistoryOpenResult::kOk) << error;
    std::vector<SteadySnapshot> batch;
    for (int64_t i = 0; i <= 2 * 120; ++i) {
        SteadySnapshot s = MakeSnapshot(kBaseUtcMs + i * 500, i, {3, 4});
        // Minute 0 decided by velocity at 30 µm, minute 1 by displacement at 60 µm.
        s.sensors[0].isoVelocity[0] = 1.5f;
        s.sensors[0].isoDisplacement[0] = i < 120 ? 30.0f : 60.0f;
        s.sensors[0].zoneBy[0] = i < 120 ? 1 : 2;
        batch.push_back(s);
    }
    ASSERT_EQ(store.WriteBatch(batch.data(), int(batch.size()), &error), SQLITE_OK) << error;
    HistorySeries slow, fast;
    ASSERT_TRUE(ReadHistoryRange(store.Db(), 3, kBaseUtcMs, kBaseUtcMs + 3'600'000, HistoryResolution::kMinute, &slow,
                                 &error));
    ASSERT_TRUE(ReadHistoryRange(store.Db(), 4, kBaseUtcMs, kBaseUtcMs + 3'600'000, HistoryResolution::kMinute, &fast,
                                 &error));
    ASSERT_EQ(slow.Size(), 2u);
    ASSERT_TRUE(slow.HasSlow());
    EXPECT_FALSE(fast.HasSlow());
    EXPECT_FLOAT_EQ(slow.slowMean[0][1], 1.5f);   // X velocity
    EXPECT_FLOAT_EQ(slow.slowMean[3][0], 30.0f);  // X displacement, minute by minute
    EXPECT_FLOAT_EQ(slow.slowMean[3][1], 60.0f);
    EXPECT_FLOAT_EQ(slow.slowMax[6][1], 2.0f);    // X decided by displacement
    EXPECT_TRUE(std::isnan(slow.slowMean[4][0])); // Y never measured

    const std::string header = HistoryCsvHeader(HistoryResolution::kMinute, true);
    const std::string slowHeader = HistoryCsvHeader(HistoryResolution::kMinute, true, true);
    EXPECT_EQ(slowHeader.compare(0, header.size() - 2, header, 0, header.size() - 2), 0);  // appended only
    const std::string path = folder.path + "/slow.csv";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_EQ(WriteHistoryCsv(fd, slow, true), 0);
    ::close(fd);
    std::ifstream in(path);
    std::string first, line;
    std::getline(in, first);
    std::getline(in, line);
    EXPECT_EQ(first + "\n", slowHeader);
    EXPECT_NE(line.find(",30,30,30,"), std::string::npos) << line;
}

}  // namespace
}  // namespace tav
