#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "core/history/HistoryReader.h"
#include "core/history/HistoryWriter.h"
#include "tests/history/HistoryTestSupport.h"

namespace tav {
namespace {

using namespace test;

bool Contains(const std::vector<std::string> &texts, const std::string &part)
{
    for (const auto &t : texts)
        if (t.find(part) != std::string::npos)
            return true;
    return false;
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

// A full disk: said once, acquisition's side never waits, what exceeds the
// queue is counted and dropped, and writing resumes by itself. Every tick
// that was not dropped is stored exactly once.
TEST(HistoryFaults, FullDiskIsToldOnceDropsBeyondTheQueueAndResumes)
{
    ScratchFolder folder;
    CollectingSink sink;
    HistoryWriterOptions options;
    options.dataFolder = folder.Data();
    options.queueCapacity = 20;
    HistoryWriter w(options, sink);
    ASSERT_TRUE(w.Start());
    int64_t tick = 0;
    uint64_t handed = 0;
    auto feed = [&](int n) {
        for (int k = 0; k < n; ++k, ++tick, ++handed)
            w.OnSteadySnapshot(MakeSnapshot(kBaseUtcMs + tick * 500, tick, {1, 2, 3}));
    };
    for (int k = 0; k < 10; ++k) {
        feed(10);
        w.Flush();
    }
    ASSERT_FALSE(w.Failing());
    w.SetMaxPageCount(1);  // no page beyond those in use
    ASSERT_TRUE(WaitFor([&] {
        feed(5);
        w.Flush();
        return w.Failing();
    }));
    feed(100);
    EXPECT_GE(w.Dropped(), 60u);
    w.SetMaxPageCount(0);
    ASSERT_TRUE(WaitFor([&] { return !w.Failing(); }));
    feed(50);
    w.Flush();
    EXPECT_FALSE(w.Failing());
    w.Stop();

    const auto messages = sink.Texts(kMessageEvent);
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_TRUE(Contains(messages, "历史数据无法写入"));
    const auto lines = sink.Texts(kLogLineEvent);
    EXPECT_TRUE(Contains(lines, "历史数据写入失败"));
    EXPECT_TRUE(Contains(lines, "丢弃"));
    EXPECT_TRUE(Contains(lines, "恢复写入"));

    const HistorySeries raw = ReadAll(folder, 2, HistoryResolution::kRaw);
    EXPECT_EQ(raw.Size(), handed - w.Dropped());
    for (size_t i = 1; i < raw.Size(); ++i)
        ASSERT_LT(raw.utcMs[i - 1], raw.utcMs[i]) << "stored twice or out of order at " << i;
    for (size_t i = 0; i < raw.Size(); ++i) {
        const int64_t t = (raw.utcMs[i] - kBaseUtcMs) / 500;
        ASSERT_EQ(raw.mean[4][i], SimValue(2, t, 4));
    }
}

void WriteSome(const ScratchFolder &folder, CollectingSink &sink, int32_t address)
{
    HistoryWriter w(TestOptions(folder), sink);
    ASSERT_TRUE(w.Start());
    for (int64_t i = 0; i < 10; ++i)
        w.OnSteadySnapshot(MakeSnapshot(kBaseUtcMs + i * 500, i, {address}));
}

int BrokenFiles(const ScratchFolder &folder)
{
    int n = 0;
    for (const auto &f : folder.DataFiles())
        n += f.rfind("history.sqlite.broken-", 0) == 0 && f.find("-wal") == std::string::npos;
    return n;
}

TEST(HistoryFaults, DamagedOrUnknownFileIsMovedAsideAndANewOneStarted)
{
    ScratchFolder folder;
    {
        std::FILE *f = std::fopen(folder.Database().c_str(), "wb");
        ASSERT_TRUE(f);
        for (int i = 0; i < 400; ++i)
            std::fputs("not a database at all ", f);
        std::fclose(f);
    }
    CollectingSink sink;
    WriteSome(folder, sink, 4);
    EXPECT_EQ(BrokenFiles(folder), 1);
    EXPECT_TRUE(Contains(sink.Texts(kMessageEvent), "已移至"));
    EXPECT_EQ(ReadAll(folder, 4, HistoryResolution::kRaw).Size(), 10u);

    // A file from a later version of the station is not touched either.
    ScratchFolder later;
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(later.Database().c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE future(x); PRAGMA user_version=7;", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    HistoryReader reader;
    std::string error;
    EXPECT_FALSE(reader.Open(later.Database(), &error));
    EXPECT_NE(error.find("版本 7"), std::string::npos) << error;
    CollectingSink laterSink;
    WriteSome(later, laterSink, 4);
    EXPECT_EQ(BrokenFiles(later), 1);
    EXPECT_TRUE(Contains(laterSink.Texts(kMessageEvent), "未知的版本 7"));
    EXPECT_EQ(ReadAll(later, 4, HistoryResolution::kRaw).Size(), 10u);
}

TEST(HistoryFaults, SecondStationInTheFolderKeepsItsHistoryOff)
{
    ScratchFolder folder;
    CollectingSink first, second;
    HistoryWriter a(TestOptions(folder), first);
    ASSERT_TRUE(a.Start());
    HistoryWriter b(TestOptions(folder), second);
    EXPECT_FALSE(b.Start());
    EXPECT_TRUE(Contains(second.Texts(kMessageEvent), "另一个站点"));
    b.OnSteadySnapshot(MakeSnapshot(kBaseUtcMs, 0, {9}));  // ignored, never waits
    for (int64_t i = 0; i < 10; ++i)
        a.OnSteadySnapshot(MakeSnapshot(kBaseUtcMs + i * 500, i, {9}));
    a.Stop();
    EXPECT_TRUE(first.Texts(kMessageEvent).empty());
    EXPECT_EQ(ReadAll(folder, 9, HistoryResolution::kRaw).Size(), 10u);
    EXPECT_TRUE(b.Start());  // the first one has gone
    b.Stop();
}

// SIGKILL in the middle of writing: the file opens cleanly, holds a gapless
// prefix of the ticks, and the next run completes the open minute from it.
TEST(HistoryFaults, KilledWhileWritingReopensCleanlyWithAGaplessPrefix)
{
    ScratchFolder folder;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CollectingSink sink;
        HistoryWriter w(TestOptions(folder), sink);
        if (!w.Start())
            ::_exit(3);
        for (int64_t i = 0;; ++i)
            w.OnSteadySnapshot(MakeSnapshot(kBaseUtcMs + i * 500, i, {6}));
    }
    // Killed once a few minutes of ticks are committed.
    const bool committed = WaitFor([&] {
        HistoryReader reader;
        std::string error;
        HistorySeries s;
        return reader.Open(folder.Database(), &error) &&
               reader.Read(6, kBaseUtcMs, kBaseUtcMs + 86'400'000, HistoryResolution::kRaw, &s) && s.Size() >= 1500;
    });
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(committed);
    ASSERT_TRUE(WIFSIGNALED(status));

    HistorySeries raw = ReadAll(folder, 6, HistoryResolution::kRaw);
    const int64_t stored = int64_t(raw.Size());
    ASSERT_GE(stored, 1500);
    for (int64_t i = 0; i < stored; ++i) {
        ASSERT_EQ(raw.utcMs[size_t(i)], kBaseUtcMs + i * 500);
        ASSERT_EQ(raw.mean[21][size_t(i)], SimValue(6, i, 21));
    }

    CollectingSink sink;
    {
        HistoryWriter w(TestOptions(folder), sink);
        ASSERT_TRUE(w.Start());
        for (int64_t i = stored; i < stored + 240; ++i)
            w.OnSteadySnapshot(MakeSnapshot(kBaseUtcMs + i * 500, i, {6}));
    }
    EXPECT_EQ(BrokenFiles(folder), 0);
    EXPECT_TRUE(sink.Texts(kMessageEvent).empty());
    raw = ReadAll(folder, 6, HistoryResolution::kRaw);
    EXPECT_EQ(int64_t(raw.Size()), stored + 240);
    // The minute the kill cut through: one entry over all its ticks.
    const HistorySeries minutes = ReadAll(folder, 6, HistoryResolution::kMinute);
    const int64_t cutMinute = (stored * 500) / 60'000;
    size_t found = 0;
    for (size_t k = 0; k < minutes.Size(); ++k) {
        if (minutes.utcMs[k] != kBaseUtcMs + cutMinute * 60'000)
            continue;
        ++found;
        float lo = 1e30f, hi = -1e30f;
        for (int64_t i = cutMinute * 120; i < cutMinute * 120 + 120; ++i) {
            lo = std::min(lo, SimValue(6, i, 0));
            hi = std::max(hi, SimValue(6, i, 0));
        }
        EXPECT_EQ(minutes.min[0][k], lo);
        EXPECT_EQ(minutes.max[0][k], hi);
    }
    EXPECT_EQ(found, 1u);
}

}  // namespace
}  // namespace tav
