#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <map>
#include <thread>

#include "core/history/HistoryReader.h"
#include "core/history/HistoryWriter.h"
#include "core/steady/SteadyTable.h"
#include "tests/history/HistoryTestSupport.h"
#include "tests/steady/SteadyTestTable.h"

namespace tav {
namespace {

using namespace test;

// min / mean / max of the ticks of every period, computed apart from the writer.
struct Expected {
    float min[kSteadySeriesCount];
    float max[kSteadySeriesCount];
    double sum[kSteadySeriesCount];
    int count = 0;
};

std::map<int64_t, Expected> ExpectedAggregates(const std::vector<std::pair<int64_t, int64_t>> &ticks, int32_t address,
                                               int64_t periodMs)
{
    std::map<int64_t, Expected> out;
    for (const auto &[t, tick] : ticks) {
        Expected &e = out[t / periodMs * periodMs];
        for (int s = 0; s < kSteadySeriesCount; ++s) {
            const float v = SimValue(address, tick, s);
            if (e.count == 0) {
                e.min[s] = e.max[s] = v;
                e.sum[s] = 0;
            }
            e.min[s] = std::min(e.min[s], v);
            e.max[s] = std::max(e.max[s], v);
            e.sum[s] += v;
        }
        ++e.count;
    }
    return out;
}

void ExpectAggregatesMatch(const HistorySeries &stored, const std::map<int64_t, Expected> &expected, size_t entries)
{
    ASSERT_EQ(stored.Size(), entries);
    for (size_t i = 0; i < stored.Size(); ++i) {
        auto it = expected.find(stored.utcMs[i]);
        ASSERT_NE(it, expected.end()) << stored.utcMs[i];
        const Expected &e = it->second;
        for (int s = 0; s < kSteadySeriesCount; ++s) {
            EXPECT_EQ(stored.min[size_t(s)][i], e.min[s]) << i << " " << s;
            EXPECT_EQ(stored.max[size_t(s)][i], e.max[s]) << i << " " << s;
            EXPECT_NEAR(stored.mean[size_t(s)][i], e.sum[s] / e.count, 1e-6 * std::abs(e.sum[s] / e.count));
        }
    }
}

// Every stored tick comes back at its time with its values, also across a
// restart in the middle of a minute, whose aggregate still covers the whole
// minute (one entry, not two halves).
TEST(HistoryWriter, ValuesComeBackAfterRestartAndAggregatesMatchIndependentMinMeanMax)
{
    ScratchFolder folder;
    CollectingSink sink;
    const std::vector<int32_t> addresses = {3, 7};
    std::vector<std::pair<int64_t, int64_t>> ticks;  // time, tick index
    const int64_t firstRun = 6 * 120 + 50;             // stops 25 s into minute 6
    const int64_t total = 7200 + 10;                   // into the second hour
    auto feed = [&](HistoryWriter &w, int64_t from, int64_t to) {
        for (int64_t i = from; i < to; ++i) {
            const int64_t t = kBaseUtcMs + i * 500 + 20;
            ticks.emplace_back(t, i);
            w.OnSteadySnapshot(MakeSnapshot(t, i, addresses));
        }
    };
    {
        HistoryWriter w(TestOptions(folder), sink);
        ASSERT_TRUE(w.Start());
        feed(w, 0, firstRun);
    }
    {
        HistoryWriter w(TestOptions(folder), sink);
        ASSERT_TRUE(w.Start());
        feed(w, firstRun, total);
        w.Flush();
        EXPECT_EQ(w.Dropped(), 0u);
    }
    EXPECT_TRUE(sink.Texts(kMessageEvent).empty());

    for (int32_t a : addresses) {
        const HistorySeries raw = ReadAll(folder, a, HistoryResolution::kRaw);
        ASSERT_EQ(raw.Size(), size_t(total));
        for (int64_t i = 0; i < total; ++i) {
            ASSERT_EQ(raw.utcMs[size_t(i)], kBaseUtcMs + i * 500 + 20);
            for (int s = 0; s < kSteadySeriesCount; ++s)
                ASSERT_EQ(raw.mean[size_t(s)][size_t(i)], SimValue(a, i, s)) << i << " " << s;
        }
        // The open minute and hour of the last tick are not stored yet.
        ExpectAggregatesMatch(ReadAll(folder, a, HistoryResolution::kMinute),
                              ExpectedAggregates(ticks, a, 60'000), 60);
        ExpectAggregatesMatch(ReadAll(folder, a, HistoryResolution::kHour),
                              ExpectedAggregates(ticks, a, 3'600'000), 1);
    }
    // Closed minutes are one packed row each, however the batches fell
    // (a minute written in one batch once stayed an unpacked piece).
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(folder.Database().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt *st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*), max(length(data)), sum(n) FROM raw_runs WHERE t1 < ?1", -1, &st,
                                 nullptr),
              SQLITE_OK);
    sqlite3_bind_int64(st, 1, kBaseUtcMs + 3'600'000);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 2 * 61);  // the restart splits minute 6
    EXPECT_LT(sqlite3_column_int(st, 1), 120 * 23 * 4 * 9 / 10);
    EXPECT_EQ(sqlite3_column_int(st, 2), 2 * 7200);
    sqlite3_finalize(st);
    sqlite3_close(db);
}

// Years of a simulated clock: each resolution keeps its own period, no more.
TEST(HistoryWriter, RetentionKeepsEachResolutionForItsPeriod)
{
    ScratchFolder folder;
    CollectingSink sink;
    HistoryWriterOptions options = TestOptions(folder);
    options.settings.rawDays = 3;
    options.settings.minuteDays = 90;
    options.settings.hourYears = 10;
    const int64_t day = 86'400'000;
    const int64_t years = 11;
    int64_t last = 0;
    {
        HistoryWriter w(options, sink);
        ASSERT_TRUE(w.Start());
        int64_t tick = 0;
        for (int64_t t = kBaseUtcMs; t < kBaseUtcMs + years * 365 * day; t += day / 2) {
            for (int k = 0; k < 2; ++k, ++tick) {
                last = t + k * 500;
                w.OnSteadySnapshot(MakeSnapshot(last, tick, {11}));
            }
        }
    }
    auto oldest = [&](HistoryResolution r) {
        const HistorySeries s = ReadAll(folder, 11, r);
        return s.Size() ? s.utcMs.front() : std::numeric_limits<int64_t>::max();
    };
    const int64_t rawOldest = oldest(HistoryResolution::kRaw);
    const int64_t minuteOldest = oldest(HistoryResolution::kMinute);
    const int64_t hourOldest = oldest(HistoryResolution::kHour);
    EXPECT_GE(rawOldest, last - 3 * day - 60'000);
    EXPECT_LE(rawOldest, last - 2 * day);
    EXPECT_GE(minuteOldest, last - 90 * day - 3'600'000);
    EXPECT_LE(minuteOldest, last - 89 * day);
    EXPECT_GE(hourOldest, last - 3653 * day - day);
    EXPECT_LE(hourOldest, last - 3640 * day);
    EXPECT_TRUE(sink.Texts(kMessageEvent).empty());
}

// An NTP step back: the ticks of the repeated minute are stored beside the
// first ones, nothing is overwritten, and queries still return time order.
TEST(HistoryWriter, ClockJumpingBackKeepsEveryEntry)
{
    ScratchFolder folder;
    CollectingSink sink;
    std::vector<std::pair<int64_t, int64_t>> ticks;
    {
        HistoryWriter w(TestOptions(folder), sink);
        ASSERT_TRUE(w.Start());
        int64_t t = kBaseUtcMs;
        for (int64_t i = 0; i < 600; ++i) {
            if (i == 200)
                t -= 60'000;  // back one minute
            if (i == 400)
                t += 3'600'000;  // and forward an hour
            ticks.emplace_back(t, i);
            w.OnSteadySnapshot(MakeSnapshot(t, i, {2}));
            t += 500;
        }
        w.OnSteadySnapshot(MakeSnapshot(t + 7'200'000, 600, {2}));  // closes the last hour
        ticks.emplace_back(t + 7'200'000, 600);
    }
    const HistorySeries raw = ReadAll(folder, 2, HistoryResolution::kRaw);
    ASSERT_EQ(raw.Size(), ticks.size());
    EXPECT_TRUE(std::is_sorted(raw.utcMs.begin(), raw.utcMs.end()));
    std::multimap<int64_t, float> want, got;
    for (const auto &[t, i] : ticks)
        want.emplace(t, SimValue(2, i, 0));
    for (size_t i = 0; i < raw.Size(); ++i)
        got.emplace(raw.utcMs[i], raw.mean[0][i]);
    EXPECT_EQ(got, want);

    // A repeated minute may have two entries; together they hold every tick.
    const HistorySeries minutes = ReadAll(folder, 2, HistoryResolution::kMinute);
    std::map<int64_t, std::pair<float, float>> merged;
    for (size_t i = 0; i < minutes.Size(); ++i) {
        auto [it, fresh] = merged.emplace(minutes.utcMs[i], std::make_pair(minutes.min[0][i], minutes.max[0][i]));
        if (!fresh)
            it->second = {std::min(it->second.first, minutes.min[0][i]), std::max(it->second.second, minutes.max[0][i])};
    }
    ticks.pop_back();  // its minute is still open
    const auto expected = ExpectedAggregates(ticks, 2, 60'000);
    ASSERT_EQ(merged.size(), expected.size());
    for (const auto &[start, e] : expected) {
        EXPECT_EQ(merged[start].first, e.min[0]) << start;
        EXPECT_EQ(merged[start].second, e.max[0]) << start;
    }
}

TEST(HistoryWriter, ConnectionEventsFollowTheSnapshots)
{
    ScratchFolder folder;
    CollectingSink sink;
    auto at = [](int i) { return kBaseUtcMs + i * 500; };
    {
        HistoryWriter w(TestOptions(folder), sink);
        ASSERT_TRUE(w.Start());
        int i = 0;
        for (; i < 10; ++i)
            w.OnSteadySnapshot(MakeSnapshot(at(i), i, {3}, 1, 26667));
        for (; i < 20; ++i)
            w.OnSteadySnapshot(MakeSnapshot(at(i), i, {3}, 1, 20000));
        for (; i < 30; ++i)  // reconnected between two ticks
            w.OnSteadySnapshot(MakeSnapshot(at(i), i, {3}, 2, 20000));
        for (; i < 35; ++i)
            w.OnSteadySnapshot(MakeSnapshot(at(i), i, {}));
        for (; i < 40; ++i)
            w.OnSteadySnapshot(MakeSnapshot(at(i), i, {3}, 3, 20000));
    }
    HistoryReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(folder.Database(), &error)) << error;
    std::vector<HistoryEvent> events;
    ASSERT_TRUE(reader.Events(0, 0, INT64_MAX / 2, &events));
    const std::vector<std::tuple<int64_t, HistoryEventKind, std::string>> want = {
        {at(0), HistoryEventKind::kConnected, "127.0.0.1:40003"},
        {at(10), HistoryEventKind::kFrequencyChanged, "26667 -> 20000"},
        {at(20), HistoryEventKind::kDisconnected, ""},
        {at(20), HistoryEventKind::kConnected, "127.0.0.1:40003"},
        {at(30), HistoryEventKind::kDisconnected, ""},
        {at(35), HistoryEventKind::kConnected, "127.0.0.1:40003"},
        {at(39), HistoryEventKind::kDisconnected, ""},  // the station stopped
    };
    ASSERT_EQ(events.size(), want.size());
    for (size_t k = 0; k < want.size(); ++k) {
        EXPECT_EQ(events[k].utcMs, std::get<0>(want[k])) << k;
        EXPECT_EQ(events[k].kind, std::get<1>(want[k])) << k;
        EXPECT_EQ(events[k].detail, std::get<2>(want[k])) << k;
        EXPECT_EQ(events[k].address, 3);
    }
    ASSERT_TRUE(reader.Events(4, 0, INT64_MAX / 2, &events));
    EXPECT_TRUE(events.empty());
}

// After a restart the record's 60-minute rings show the stored ticks at
// their true ages, zeros for the time the station was down, and the ticks
// taken since the binding stay untouched.
TEST(HistoryWriter, RefillPutsStoredTicksAtTheirAges)
{
    ScratchFolder folder;
    CollectingSink sink;
    const int64_t bindUtc = kBaseUtcMs + 7'200'000;
    // Stored: 30 minutes ending 10 minutes before the binding.
    const int64_t firstUtc = bindUtc - 2'400'000;
    {
        HistoryWriter w(TestOptions(folder), sink);
        ASSERT_TRUE(w.Start());
        for (int64_t i = 0; i < 3600; ++i)
            w.OnSteadySnapshot(MakeSnapshot(firstUtc + i * 500, i, {5}));
    }
    HistoryWriter w(TestOptions(folder), sink);
    ASSERT_TRUE(w.Start());
    HandTable table;
    SteadyTable steady;
    steady.SetBindObserver([&](int record, int32_t address, uint64_t tick) { w.RecordBound(record, address, tick); });
    // Some other sensor's ticks before ours binds move the rings first.
    table.Connect(1, 8);
    table.SetStats(1, 0.5);
    for (int i = 0; i < 5; ++i)
        steady.Tick(*table.table);
    table.Connect(0, 5);
    table.SetStats(0, 2.0);
    std::unique_ptr<HistoryRefill> refill;
    int ticksSinceBind = 0;
    for (int i = 0; i < 4; ++i, ++ticksSinceBind) {
        steady.Tick(*table.table);
        SteadySnapshot snapshot;
        snapshot.utcMs = bindUtc + i * 500;
        w.OnSteadySnapshot(snapshot);
    }
    for (int wait = 0; wait < 3000 && !(refill && refill->address == 5); ++wait) {
        refill = w.TakeRefill();  // sensor 8's comes too, empty
        if (!refill)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(refill);
    int record = -1;
    for (int r = 0; r < kSteadyRecordCount; ++r)
        if (steady.Record(r).address == 5)
            record = r;
    ASSERT_EQ(refill->record, record);
    steady.ApplyRefill(refill->record, refill->address, refill->bindTick, refill->byAge);
    const SteadyRecord &r = steady.Record(record);
    const int newest = (r.writeIndex - 1 + kSteadyHistoryLength) % kSteadyHistoryLength;
    auto entryAtAge = [&](int series, int age) {
        // age 0 is the binding's first entry.
        const int first = (newest - (ticksSinceBind - 1) + kSteadyHistoryLength) % kSteadyHistoryLength;
        return r.Ring(series)[(first - age + 2 * kSteadyHistoryLength) % kSteadyHistoryLength];
    };
    for (int k = 0; k < ticksSinceBind; ++k)
        EXPECT_FLOAT_EQ(r.Ring(0)[(newest - k + kSteadyHistoryLength) % kSteadyHistoryLength], 2.0f);
    for (int age = 1; age < kSteadyHistoryLength - ticksSinceBind; ++age) {
        // The tick stored at firstUtc + i * 500 is (bindUtc - that) / 500 ticks old.
        const int64_t i = 4800 - age;
        for (int s : {0, 9, kSpeedSeries}) {
            const float want = (i >= 0 && i < 3600) ? SimValue(5, i, s) : 0.0f;
            ASSERT_EQ(entryAtAge(s, age), want) << "age " << age << " series " << s;
        }
    }
    // A record that went to another sensor meanwhile is not overwritten.
    auto stale = std::make_unique<HistoryRefill>();
    stale->byAge[0][1] = 99.0f;
    steady.ApplyRefill(record, 6, refill->bindTick, stale->byAge);
    EXPECT_NE(entryAtAge(0, 1), 99.0f);
}

}  // namespace
}  // namespace tav
