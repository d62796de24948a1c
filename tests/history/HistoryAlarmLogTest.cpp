// The alarm log in history.sqlite: events from the engine through the
// writer's queue to the reader, a first-version file brought forward with its
// data intact, the retention of the hour aggregates, and the window's reader
// thread.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "../alarm/AlarmTestFleet.h"
#include "HistoryTestSupport.h"
#include "core/history/HistoryAlarmLog.h"
#include "core/history/HistoryQueryThread.h"
#include "core/history/HistorySchema.h"

namespace tav {
namespace {

using test::CollectingSink;
using test::ScratchFolder;

AlarmEvent Event(int64_t t, AlarmEventKind kind, int32_t address, AlarmSeverity severity)
{
    AlarmEvent e;
    e.utcMs = t;
    e.kind = kind;
    e.address = address;
    e.severity = severity;
    e.alarmId = uint64_t(t % 1000 + 1);
    return e;
}

std::vector<AlarmEvent> ReadLog(const ScratchFolder &folder, const AlarmLogFilter &filter, bool *truncated = nullptr)
{
    HistoryReader reader;
    std::string error;
    std::vector<AlarmEvent> out;
    EXPECT_TRUE(reader.Open(folder.Database(), &error)) << error;
    EXPECT_TRUE(reader.AlarmEvents(filter, &out, truncated));
    return out;
}

template <typename Pred>
bool WaitFor(Pred pred)
{
    for (int i = 0; i < 6000; ++i) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

int Exec(const std::string &path, const char *sql)
{
    sqlite3 *db = nullptr;
    sqlite3_open(path.c_str(), &db);
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return rc;
}

TEST(HistoryAlarmLog, EngineEventsRoundTripThroughTheWriter)
{
    ScratchFolder folder;
    CollectingSink sink;
    test::AlarmFleet fleet;
    AlarmEngine engine;
    MachineSettings m = test::OneMachine(5).at(5);
    m.name = "1号泵, 电机端";  // a separator in the name
    engine.SetSettings({{5, m}});
    {
        HistoryWriter writer(test::TestOptions(folder), sink);
        ASSERT_TRUE(writer.Start());
        engine.AddListener(&writer);
        fleet.SetVelocity(5, 3.0, 1);  // over group 2 rigid's 2.8 alert
        fleet.TickFor(engine, 6);
        ASSERT_EQ(engine.Alarms().size(), 1u);
        const int64_t ackMs = fleet.now + 1234;
        engine.Acknowledge({}, "已通知\"维修\"，明天停机", ackMs, "张工");
        fleet.SetVelocity(5, 1.0, 1);
        fleet.TickFor(engine, 6);
        fleet.SetSending(5, false);  // silent for 10 s: offline, then back
        fleet.TickFor(engine, 11);
        fleet.SetSending(5, true);
        fleet.TickFor(engine, 1);
        writer.Flush();
        engine.RemoveListener(&writer);
        EXPECT_EQ(writer.DroppedAlarmEvents(), 0u);
    }
    const std::vector<AlarmEvent> log = ReadLog(folder, {});
    const std::deque<AlarmEvent> &sent = engine.RecentEvents();
    ASSERT_EQ(log.size(), sent.size());
    ASSERT_EQ(log.size(), 5u);
    const AlarmEventKind kinds[] = {AlarmEventKind::kRaise, AlarmEventKind::kAcknowledge, AlarmEventKind::kClear,
                                    AlarmEventKind::kOffline, AlarmEventKind::kOnline};
    for (size_t i = 0; i < log.size(); ++i) {
        SCOPED_TRACE(i);
        const AlarmEvent &a = log[i], &b = sent[i];
        EXPECT_EQ(a.kind, kinds[i]);
        EXPECT_EQ(a.kind, b.kind);
        EXPECT_EQ(a.utcMs, b.utcMs);
        EXPECT_EQ(a.address, 5);
        EXPECT_EQ(a.name, "1号泵, 电机端");
        EXPECT_EQ(a.quantity, b.quantity);
        EXPECT_EQ(a.axis, b.axis);
        EXPECT_EQ(a.severity, b.severity);
        EXPECT_EQ(a.comment, b.comment);
        EXPECT_EQ(a.user, b.user);
        EXPECT_EQ(a.alarmId, b.alarmId);
        if (std::isnan(b.value))
            EXPECT_TRUE(std::isnan(a.value));  // NULL in the file, not 0
        else
            EXPECT_EQ(a.value, b.value);
        if (std::isnan(b.limit))
            EXPECT_TRUE(std::isnan(a.limit));
        else
            EXPECT_EQ(a.limit, b.limit);
    }
    EXPECT_EQ(log[0].quantity, int(kQuantityVelocity));
    EXPECT_EQ(log[0].axis, 1);
    EXPECT_NEAR(log[0].value, 3.0, 1e-6);
    EXPECT_NEAR(log[0].limit, 2.8, 1e-9);
    EXPECT_EQ(log[1].comment, "已通知\"维修\"，明天停机");
    EXPECT_EQ(log[1].user, "张工");
    EXPECT_EQ(log[3].quantity, kOfflineQuantity);
    EXPECT_EQ(log[3].severity, AlarmSeverity::kOffline);
    EXPECT_EQ(log[3].axis, kNoAxis);
    EXPECT_TRUE(std::isnan(log[3].value) && std::isnan(log[3].limit));
}

// A capture not kept is named by no event, told or found at the next start;
// a name whose folder has gone (moved) and a file present stay.
TEST(HistoryAlarmLog, LostCaptureIsNamedByNoEvent)
{
    ScratchFolder folder;
    CollectingSink sink;
    const std::string kept = folder.Data() + "/kept.vdat";
    std::ofstream(kept) << "x";
    const std::string paths[] = {"/data/lost.vdat", folder.Data() + "/torn.vdat", "/no/such/a.vdat", kept};
    for (int run = 0; run < 2; ++run) {
        HistoryWriter writer(test::TestOptions(folder), sink);
        ASSERT_TRUE(writer.Start());
        for (int i = 0; run == 0 && i < 4; ++i) {
            AlarmEvent e = Event(1000 + i, AlarmEventKind::kRaise, 5, AlarmSeverity::kAlert);
            e.capture = paths[i];
            writer.OnAlarmEvent(e);
        }
        writer.Flush();
        if (run == 0)
            writer.OnCaptureLost(paths[0], "未能保存报警录波");
        writer.Flush();
    }
    const std::vector<AlarmEvent> log = ReadLog(folder, {});
    ASSERT_EQ(log.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(log[i].capture, i < 2 ? std::string() : paths[i]) << i;
        EXPECT_EQ(log[i].comment, i < 2 ? "未能保存报警录波" : "") << i;
    }
}

TEST(HistoryAlarmLog, FiltersRowCapAndRetention)
{
    ScratchFolder folder;
    CollectingSink sink;
    const int64_t t0 = test::kBaseUtcMs;
    HistoryWriterOptions options = test::TestOptions(folder);
    options.settings.hourYears = 1;
    {
        HistoryWriter writer(options, sink);
        ASSERT_TRUE(writer.Start());
        // Two years old: gone with the first batch's pruning.
        writer.OnAlarmEvent(Event(t0 - 2 * 366 * 86'400'000LL, AlarmEventKind::kRaise, 4, AlarmSeverity::kAlert));
        // Half a year old: within the year kept.
        writer.OnAlarmEvent(Event(t0 - 180 * 86'400'000LL, AlarmEventKind::kRaise, 4, AlarmSeverity::kDanger));
        for (int i = 0; i < 10; ++i)
            writer.OnAlarmEvent(Event(t0 + i * 1000, AlarmEventKind::kRaise, i % 2 ? 4 : 6,
                                      i % 3 == 0 ? AlarmSeverity::kOffline : AlarmSeverity::kAlert));
        writer.OnSteadySnapshot(test::MakeSnapshot(t0 + 20'000, 0, {4}));
        writer.Flush();
    }
    std::vector<AlarmEvent> all = ReadLog(folder, {});
    ASSERT_EQ(all.size(), 11u);
    EXPECT_EQ(all[0].severity, AlarmSeverity::kDanger);

    AlarmLogFilter filter;
    filter.address = 4;
    filter.fromUtcMs = t0;
    filter.toUtcMs = t0 + 10'000;
    std::vector<AlarmEvent> four = ReadLog(folder, filter);
    ASSERT_EQ(four.size(), 5u);
    for (size_t i = 0; i < four.size(); ++i) {
        EXPECT_EQ(four[i].address, 4);
        EXPECT_EQ(four[i].utcMs, t0 + int64_t(2 * i + 1) * 1000);  // time order
    }
    filter.severity = int(AlarmSeverity::kOffline);
    four = ReadLog(folder, filter);  // 3 and 9
    ASSERT_EQ(four.size(), 2u);
    EXPECT_EQ(four[0].utcMs, t0 + 3000);

    // The cap keeps the newest and says that older ones were left out.
    AlarmLogFilter capped;
    capped.fromUtcMs = t0;
    capped.maxRows = 4;
    bool truncated = false;
    const std::vector<AlarmEvent> newest = ReadLog(folder, capped, &truncated);
    ASSERT_EQ(newest.size(), 4u);
    EXPECT_TRUE(truncated);
    EXPECT_EQ(newest.front().utcMs, t0 + 6000);
    EXPECT_EQ(newest.back().utcMs, t0 + 9000);
    capped.maxRows = 10;
    EXPECT_EQ(ReadLog(folder, capped, &truncated).size(), 10u);
    EXPECT_FALSE(truncated);

    HistoryReader reader;
    ASSERT_TRUE(reader.Open(folder.Database(), nullptr));
    std::vector<int32_t> addresses;
    ASSERT_TRUE(reader.AlarmAddresses(&addresses));
    EXPECT_EQ(addresses, (std::vector<int32_t>{4, 6}));
}

TEST(HistoryAlarmLog, FirstVersionFileIsReadThenBroughtForward)
{
    ScratchFolder folder;
    CollectingSink sink;
    const int64_t t0 = test::kBaseUtcMs;
    {
        HistoryWriter writer(test::TestOptions(folder), sink);
        ASSERT_TRUE(writer.Start());
        for (int i = 0; i < 130; ++i)
            writer.OnSteadySnapshot(test::MakeSnapshot(t0 + i * 500, i, {3}));
    }
    // What a station of the first version left: the same tables but the log.
    ASSERT_EQ(Exec(folder.Database(), "DROP TABLE alarm_events; PRAGMA user_version=1;"), SQLITE_OK);
    const HistorySeries before = test::ReadAll(folder, 3, HistoryResolution::kRaw);
    ASSERT_EQ(before.Size(), 130u);
    {
        // The tool reads it as it is: its entries, and no alarm log.
        HistoryReader reader;
        std::string error;
        ASSERT_TRUE(reader.Open(folder.Database(), &error)) << error;
        std::vector<AlarmEvent> none;
        EXPECT_TRUE(reader.AlarmEvents({}, &none));
        EXPECT_TRUE(none.empty());
        std::vector<HistoryEvent> connections;
        ASSERT_TRUE(reader.Events(0, 0, INT64_MAX, &connections));
        EXPECT_EQ(connections.size(), 2u);
    }
    {
        HistoryWriter writer(test::TestOptions(folder), sink);
        ASSERT_TRUE(writer.Start());
        writer.OnAlarmEvent(Event(t0 + 70'000, AlarmEventKind::kOffline, 3, AlarmSeverity::kOffline));
        writer.OnSteadySnapshot(test::MakeSnapshot(t0 + 70'000, 140, {3}));
        writer.Flush();
    }
    // Kept, not moved aside as a file of an unknown version.
    for (const std::string &f : folder.DataFiles())
        EXPECT_EQ(f.find("broken"), std::string::npos) << f;
    const HistorySeries after = test::ReadAll(folder, 3, HistoryResolution::kRaw);
    ASSERT_EQ(after.Size(), 131u);
    for (size_t i = 0; i < before.Size(); ++i)
        ASSERT_EQ(after.mean[0][i], before.mean[0][i]) << i;
    const std::vector<AlarmEvent> log = ReadLog(folder, {});
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].kind, AlarmEventKind::kOffline);
    sqlite3 *db = nullptr;
    sqlite3_open(folder.Database().c_str(), &db);
    sqlite3_stmt *st = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), kHistorySchemaVersion);
    sqlite3_finalize(st);
    sqlite3_close(db);

    // A later version's file is still refused by the reader.
    ASSERT_EQ(Exec(folder.Database(), "PRAGMA user_version=3;"), SQLITE_OK);
    HistoryReader reader;
    EXPECT_FALSE(reader.Open(folder.Database(), nullptr));
}

// Regression: a migration that found the file busy was taken for a damaged
// file (the rollback cleared SQLite's code) and the history moved aside.
// A log written before who acknowledged was kept: read as it is, and given
// the column by the next station that writes it, its rows intact.
TEST(HistoryAlarmLog, LogWithoutWhoIsReadThenGainsIt)
{
    ScratchFolder folder;
    CollectingSink sink;
    AlarmEvent ack = Event(test::kBaseUtcMs + 1, AlarmEventKind::kAcknowledge, 5, AlarmSeverity::kAlert);
    ack.user = "张工";
    for (int run = 0; run < 2; ++run) {
        {
            HistoryWriter writer(test::TestOptions(folder), sink);
            ASSERT_TRUE(writer.Start());
            writer.OnAlarmEvent(run == 0 ? Event(test::kBaseUtcMs, AlarmEventKind::kRaise, 5, AlarmSeverity::kAlert)
                                         : ack);
            writer.Flush();
        }
        if (run == 0) {
            ASSERT_EQ(Exec(folder.Database(), "ALTER TABLE alarm_events DROP COLUMN who"), SQLITE_OK);
            const std::vector<AlarmEvent> old = ReadLog(folder, {});
            ASSERT_EQ(old.size(), 1u);
            EXPECT_EQ(old[0].user, "");
        }
    }
    const std::vector<AlarmEvent> log = ReadLog(folder, {});
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].kind, AlarmEventKind::kRaise);
    EXPECT_EQ(log[1].user, "张工");
}

TEST(HistoryAlarmLog, BusyFirstVersionFileIsMigratedLaterNotMovedAside)
{
    ScratchFolder folder;
    CollectingSink sink;
    {
        HistoryWriter writer(test::TestOptions(folder), sink);
        ASSERT_TRUE(writer.Start());
        writer.OnSteadySnapshot(test::MakeSnapshot(test::kBaseUtcMs, 0, {3}));
    }
    ASSERT_EQ(Exec(folder.Database(), "DROP TABLE alarm_events; PRAGMA user_version=1;"), SQLITE_OK);
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open(folder.Database().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    HistoryWriter writer(test::TestOptions(folder), sink);
    ASSERT_TRUE(writer.Start());
    ASSERT_TRUE(WaitFor([&] { return writer.Failing(); }));
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    ASSERT_TRUE(WaitFor([&] { return !writer.Failing(); }));
    writer.OnAlarmEvent(Event(test::kBaseUtcMs + 1000, AlarmEventKind::kOnline, 3, AlarmSeverity::kOffline));
    writer.Flush();
    writer.Stop();
    for (const std::string &f : folder.DataFiles())
        EXPECT_EQ(f.find("broken"), std::string::npos) << f;
    EXPECT_EQ(test::ReadAll(folder, 3, HistoryResolution::kRaw).Size(), 1u);
    EXPECT_EQ(ReadLog(folder, {}).size(), 1u);
}

// The window's reader thread: the log with its addresses, and an export
// that fails without leaving a file.
TEST(HistoryAlarmLog, QueryThreadReadsAndExportsTheLog)
{
    ScratchFolder folder;
    CollectingSink sink;
    {
        HistoryWriter writer(test::TestOptions(folder), sink);
        ASSERT_TRUE(writer.Start());
        for (int i = 0; i < 6; ++i)
            writer.OnAlarmEvent(Event(test::kBaseUtcMs + i * 1000, AlarmEventKind::kRaise, 8 + i % 2,
                                      AlarmSeverity::kDanger));
    }
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<std::unique_ptr<HistoryAnswer>> answers;
    HistoryQueryThread queries(folder.Database(), [&](std::unique_ptr<HistoryAnswer> a) {
        std::lock_guard lock(mutex);
        answers.push_back(std::move(a));
        arrived.notify_all();
    });
    auto next = [&] {
        std::unique_lock lock(mutex);
        arrived.wait(lock, [&] { return !answers.empty(); });
        std::unique_ptr<HistoryAnswer> a = std::move(answers.front());
        answers.erase(answers.begin());
        return a;
    };
    AlarmLogFilter filter;
    filter.address = 9;
    queries.RequestAlarmLog(7, filter);
    std::unique_ptr<HistoryAnswer> log = next();
    ASSERT_EQ(log->kind, HistoryAnswer::kAlarmLog);
    ASSERT_TRUE(log->ok) << log->error;
    EXPECT_EQ(log->query.request, 7u);
    ASSERT_EQ(log->alarms->size(), 3u);
    EXPECT_EQ(log->alarmAddresses, (std::vector<int32_t>{8, 9}));

    // Unwritable: said, and nothing left under either name (the written
    // file itself is checked with the window).
    const std::string nowhere = folder.path + "/missing/log.csv";
    queries.RequestAlarmExport(log->alarms, nowhere, true);
    std::unique_ptr<HistoryAnswer> done = next();
    ASSERT_EQ(done->kind, HistoryAnswer::kAlarmExport);
    EXPECT_FALSE(done->ok);
    EXPECT_NE(done->error.find(nowhere), std::string::npos);
    struct stat sb {};
    EXPECT_NE(::stat((nowhere + ".part").c_str(), &sb), 0);
}

}  // namespace
}  // namespace tav
