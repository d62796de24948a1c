#include <gtest/gtest.h>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

#include "core/base/TextInput.h"
#include "core/history/HistoryCodec.h"
#include "core/history/HistoryCsv.h"
#include "core/station/Station.h"
#include "tests/history/HistoryTestSupport.h"

namespace tav {
namespace {

using namespace test;

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> Split(const std::string &text, const std::string &sep)
{
    std::vector<std::string> out;
    size_t at = 0;
    for (;;) {
        size_t next = text.find(sep, at);
        if (next == std::string::npos) {
            if (at < text.size())
                out.push_back(text.substr(at));
            return out;
        }
        out.push_back(text.substr(at, next - at));
        at = next + sep.size();
    }
}

uint32_t Bits(float v)
{
    uint32_t b;
    std::memcpy(&b, &v, 4);
    return b;
}

TEST(HistoryCodec, EveryFloatComesBackBitForBitAndDamageIsRefused)
{
    const float special[] = {0.0f, -0.0f, std::numeric_limits<float>::infinity(),
                             -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN(),
                             std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::max(),
                             -std::numeric_limits<float>::lowest(), 1.0f / 3.0f, 1e-30f};
    const int count = 37;
    std::vector<int64_t> times(count);
    std::vector<float> values(size_t(count) * kHistoryAggregateColumns);
    for (int i = 0; i < count; ++i) {
        times[size_t(i)] = 1'000'000 + i * 499 + (i % 3);
        for (int c = 0; c < kHistoryAggregateColumns; ++c)
            values[size_t(i * kHistoryAggregateColumns + c)] =
                (i + c) % 4 == 0 ? special[(i + c) % 10] : SimValue(c, i, c % 22);
    }
    std::string blob;
    EncodeHistoryBlock(999'000, count, kHistoryAggregateColumns, times.data(), values.data(), &blob);
    EXPECT_LT(blob.size(), values.size() * 4);
    std::vector<int64_t> t2(count);
    std::vector<float> v2(values.size());
    ASSERT_TRUE(DecodeHistoryBlock(blob.data(), blob.size(), 999'000, count, kHistoryAggregateColumns, t2.data(),
                                   v2.data()));
    EXPECT_EQ(t2, times);
    for (size_t k = 0; k < values.size(); ++k)
        ASSERT_EQ(Bits(v2[k]), Bits(values[k])) << k;
    // A blob cut short, with a flipped byte, or read with the wrong shape.
    EXPECT_FALSE(DecodeHistoryBlock(blob.data(), blob.size() / 2, 999'000, count, kHistoryAggregateColumns,
                                    t2.data(), v2.data()));
    std::string flipped = blob;
    flipped[flipped.size() / 2] ^= 0x55;
    EXPECT_FALSE(DecodeHistoryBlock(flipped.data(), flipped.size(), 999'000, count, kHistoryAggregateColumns,
                                    t2.data(), v2.data()));
    EXPECT_FALSE(DecodeHistoryBlock(blob.data(), blob.size(), 999'000, count, kHistoryRawColumns, t2.data(),
                                    v2.data()));
}

TEST(HistoryCsv, TimeArguments)
{
    const int64_t now = kBaseUtcMs + 123;
    int64_t t = 0;
    ASSERT_TRUE(ParseHistoryTime("-2h", now, &t));
    EXPECT_EQ(t, now - 7'200'000);
    ASSERT_TRUE(ParseHistoryTime("-7d", now, &t));
    EXPECT_EQ(t, now - 7 * 86'400'000LL);
    ASSERT_TRUE(ParseHistoryTime("2026-03-04 05:06:07", now, &t));
    std::tm tm{};
    tm.tm_year = 126;
    tm.tm_mon = 2;
    tm.tm_mday = 4;
    tm.tm_hour = 5;
    tm.tm_min = 6;
    tm.tm_sec = 7;
    tm.tm_isdst = -1;
    EXPECT_EQ(t, int64_t(std::mktime(&tm)) * 1000);
    ASSERT_TRUE(ParseHistoryTime("2026-03-04 05:06", now, &t));
    EXPECT_EQ(t, (int64_t(std::mktime(&tm)) - 7) * 1000);
    ASSERT_TRUE(ParseHistoryTime("2026-03-04", now, &t));
    for (const char *bad : {"", "-", "-2", "-2x", "-h", "2026-13-01", "2026-02-30", "2026-03-04 25:00", "yesterday",
                            "2026-03-04x", "2026-03-04 05"})
        EXPECT_FALSE(ParseHistoryTime(bad, now, &t)) << bad;
    bool early = false;  // well formed but before any history: told apart from a typo
    for (const char *text : {"1900-01-01", "1969-12-31 12:00", "-99999999d"})
        EXPECT_TRUE(!ParseHistoryTime(text, now, &t, &early) && early) << text;
    char text[24];
    FormatHistoryTime(int64_t(std::mktime(&tm)) * 1000 + 45, text);
    EXPECT_EQ(std::string(text, 23), "2026-03-04 05:06:07.045");
}

// The station writes its steady-state log and its history from the same
// ticks: the export shows the log's header and, row by row, the same numbers.
TEST(HistoryCsv, ExportMatchesTheSteadyLogOfTheSameRun)
{
    ScratchFolder folder;
    CollectingSink sink;
    StationOptions options;
    options.port = 0;
    options.startFolder = folder.path;
    Station station(options, sink);
    std::vector<std::string> errors;
    ASSERT_EQ(station.Start(&errors), 0);
    ASSERT_NE(station.History(), nullptr);

    ConnectionRecord &rec = station.Table().records[2];
    rec.generation.fetch_add(1);
    rec.sensorAddress = 12;
    rec.inUse = 1;
    station.StartSteadyLog();
    const int ticks = 25;
    for (int i = 0; i < ticks; ++i) {
        {
            std::lock_guard lock(rec.cond.statsMutex);
            for (int q = 0; q < 3; ++q)
                for (int a = 0; a < 3; ++a) {
                    rec.cond.stats.rms[q][a] = (i + 1) / 3.0 + q + a * 1e-4;
                    rec.cond.stats.peak[q][a] = 1e5 * (i + 1) + q / 7.0;
                }
            for (int a = 0; a < 3; ++a)
                rec.cond.stats.kurtosis[a] = 3.0 + i * 1e-7;
            rec.cond.stats.windows = uint64_t(i) + 1;
            KeepCompletedWindow(rec.cond);
        }
        rec.measuredSpeed = 1450.25f + float(i);
        rec.speedEstimates = 1;
        station.SteadyTick();
    }
    const std::string logPath = station.SteadyLogger().FilePath(0);
    ASSERT_FALSE(logPath.empty());
    station.SteadyLogger().Stop();
    station.Stop();

    HistoryReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(folder.Database(), &error)) << error;
    HistorySeries series;
    ASSERT_TRUE(reader.Read(12, 0, INT64_MAX / 2, HistoryResolution::kRaw, &series));
    ASSERT_EQ(series.Size(), size_t(ticks));
    const std::string out = folder.path + "/export.csv";
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    ASSERT_EQ(WriteHistoryCsv(fd, series, false), 0);
    ::close(fd);

    const auto logLines = Split(ReadFile(logPath), "\r\n");
    const auto exportLines = Split(ReadFile(out), "\r\n");
    ASSERT_EQ(logLines.size(), size_t(ticks) + 1);
    ASSERT_EQ(exportLines.size(), size_t(ticks) + 1);
    EXPECT_EQ(exportLines[0], logLines[0]);
    EXPECT_EQ(GbkToUtf8(exportLines[0]).rfind("时间,X轴加速度有效值,X轴加速度峰值,", 0), 0u);
    for (int i = 1; i <= ticks; ++i) {
        auto logFields = Split(logLines[size_t(i)], ",");
        auto exportFields = Split(exportLines[size_t(i)], ",");
        ASSERT_EQ(exportFields.size(), size_t(kSteadySeriesCount) + 1);
        ASSERT_GE(logFields.size(), size_t(kSteadySeriesCount) + 1);
        for (int s = 1; s <= kSteadySeriesCount; ++s)
            EXPECT_EQ(exportFields[size_t(s)], logFields[size_t(s)]) << "row " << i << " column " << s;
        ASSERT_EQ(exportFields[0].size(), 23u);
        // The log's stamp has whole seconds: the same second, other separators.
        std::string logTime = logFields[0];
        logTime[10] = ' ';
        logTime[13] = logTime[16] = ':';
        EXPECT_EQ(exportFields[0].substr(0, 19), logTime) << i;
    }
}

// The station wires the refill: after a restart the sensor's record shows
// the previous run's ticks before its first new one.
TEST(HistoryStation, RestartedStationRefillsTheTrendFromTheFile)
{
    ScratchFolder folder;
    CollectingSink sink;
    StationOptions options;
    options.port = 0;
    options.startFolder = folder.path;
    auto connect = [](Station &station, double ar) {
        ConnectionRecord &rec = station.Table().records[0];
        rec.generation.fetch_add(1);
        rec.sensorAddress = 12;
        rec.inUse = 1;
        std::lock_guard lock(rec.cond.statsMutex);
        rec.cond.stats.rms[0][0] = ar;
        rec.cond.stats.windows = 1;
        KeepCompletedWindow(rec.cond);
    };
    std::vector<std::string> errors;
    {
        Station first(options, sink);
        ASSERT_EQ(first.Start(&errors), 0);
        connect(first, 7.0);
        for (int i = 0; i < 3; ++i) {
            first.SteadyTick();
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
    }
    Station second(options, sink);
    ASSERT_EQ(second.Start(&errors), 0);
    connect(second, 2.0);
    const SteadyRecord &r = second.Steady().Record(0);
    int ticks = 0;
    auto refilled = [&] {
        const float *ring = r.Ring(0);
        return std::count(ring, ring + kSteadyHistoryLength, 7.0f);
    };
    for (; ticks < 300 && refilled() == 0; ++ticks) {
        second.SteadyTick();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GE(refilled(), 1);
    EXPECT_EQ(r.address, 12);
    // Everything since the binding is this run's.
    for (int k = 1; k <= ticks; ++k)
        EXPECT_EQ(r.Ring(0)[(r.writeIndex - k + kSteadyHistoryLength) % kSteadyHistoryLength], 2.0f) << k;
}

struct ToolResult {
    int status = -1;
    std::string out;
    std::string err;
};

ToolResult RunTool(const std::string &args)
{
    static int n = 0;
    const std::string errPath = "/tmp/tavenor-history-tool-" + std::to_string(::getpid()) + "-" + std::to_string(n++);
    ToolResult r;
    const std::string command = std::string(TAVENOR_HISTORY_TOOL) + " " + args + " 2>" + errPath;
    if (FILE *p = ::popen(command.c_str(), "r")) {
        char buf[65536];
        size_t got;
        while ((got = std::fread(buf, 1, sizeof buf, p)) > 0)
            r.out.append(buf, got);
        const int status = ::pclose(p);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    r.err = ReadFile(errPath);
    ::unlink(errPath.c_str());
    return r;
}

// One flipped byte inside one stored run, SQLite none the wiser: that run alone is skipped and
// named, by the tool and by the station's writer, which keeps the file and the rest in use.
TEST(HistoryFaults, DamagedRunIsSkippedAndNamedWhileTheRestStaysInUse)
{
    ScratchFolder folder;
    CollectingSink sink;
    auto feed = [&](CollectingSink &to, int64_t from, int64_t until) {
        HistoryWriter w(TestOptions(folder), to);
        ASSERT_TRUE(w.Start());
        for (int64_t i = from; i < until; ++i)
            w.OnSteadySnapshot(MakeSnapshot(kBaseUtcMs + i * 500, i, {3, 5}));
    };
    feed(sink, 0, 600);  // five minutes of two sensors
    int64_t t0 = 0, t1 = 0;
    {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(folder.Database().c_str(), &db), SQLITE_OK);
        sqlite3_stmt *st = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT rowid, t0, t1, data FROM raw_runs WHERE address=3 ORDER BY t0 "
                                         "LIMIT 1 OFFSET 2", -1, &st, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
        const int64_t rowid = sqlite3_column_int64(st, 0);
        t0 = sqlite3_column_int64(st, 1);
        t1 = sqlite3_column_int64(st, 2);
        std::string blob(static_cast<const char *>(sqlite3_column_blob(st, 3)), size_t(sqlite3_column_bytes(st, 3)));
        sqlite3_finalize(st);
        blob[blob.size() / 2] ^= 0x10;
        ASSERT_EQ(sqlite3_prepare_v2(db, "UPDATE raw_runs SET data=?1 WHERE rowid=?2", -1, &st, nullptr), SQLITE_OK);
        sqlite3_bind_blob(st, 1, blob.data(), int(blob.size()), SQLITE_STATIC);
        sqlite3_bind_int64(st, 2, rowid);
        ASSERT_EQ(sqlite3_step(st), SQLITE_DONE);
        sqlite3_finalize(st);
        sqlite3_close(db);
    }
    char first[24];
    FormatHistoryTime(t0, first);
    const std::string named = "传感器 3，" + std::string(first, 23) + " 至 ";
    // The tool exports the rest, names the run and says so in its status.
    const ToolResult r = RunTool("export --utf8 --resolution raw --from 2025-12-30 --to 2026-01-03 --address 3 --folder " +
                                 folder.path);
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(Split(r.out, "\r\n").size(), 1u + 480u);
    EXPECT_NE(r.err.find(named), std::string::npos) << r.err;
    // The station's writer meets it completing the open minute at start, and keeps the file.
    CollectingSink restarted;
    feed(restarted, 600, 720);
    const auto lines = restarted.Texts(kLogLineEvent);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [&](const auto &l) { return l.find(named) != l.npos; }), 1);
    const auto messages = restarted.Texts(kMessageEvent);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find(named), std::string::npos) << messages[0];
    const HistorySeries three = ReadAll(folder, 3, HistoryResolution::kRaw);
    EXPECT_EQ(three.Size(), 720u - 120u);
    ASSERT_EQ(three.damaged.size(), 1u);
    EXPECT_EQ(three.damaged[0].lastUtcMs, t1);
    EXPECT_EQ(ReadAll(folder, 5, HistoryResolution::kRaw).Size(), 720u);
    EXPECT_EQ(ReadAll(folder, 3, HistoryResolution::kMinute).Size(), 5u);
}

TEST(HistoryTool, ListExportAndEventsWithTheirOptionsAndFailures)
{
    ScratchFolder folder;
    CollectingSink sink;
    const int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    // Two hours up to now, one tick every 5 s.
    const int64_t start = now - 7'200'000 + 1000;
    const int count = 1440;
    {
        HistoryWriter w(TestOptions(folder), sink);
        ASSERT_TRUE(w.Start());
        for (int i = 0; i < count; ++i)
            w.OnSteadySnapshot(MakeSnapshot(start + i * 5000, i, {4}));
    }
    const std::string at = " --folder " + folder.path;

    ToolResult r = RunTool("list" + at);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("4 ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("raw=1440"), std::string::npos) << r.out;
    // Regression: the first time was the start of the first minute or hour
    // aggregate, not the first tick. (The formatted time has no terminator.)
    char first[24];
    FormatHistoryTime(start, first);
    EXPECT_EQ(r.out.substr(2, 23), std::string(first, 23)) << r.out;

    // Default: the last hour, full resolution, GBK.
    r = RunTool("export --address 4" + at);
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Split(r.out, "\r\n");
    EXPECT_EQ(lines[0] + "\r\n", HistoryCsvHeader(HistoryResolution::kRaw, false));
    EXPECT_NEAR(double(lines.size() - 1), 720.0, 2.0);
    EXPECT_EQ(Split(lines[1], ",").size(), size_t(kSteadySeriesCount) + 1);

    r = RunTool("export --address 4 --from -2h --resolution minute --utf8" + at);
    ASSERT_EQ(r.status, 0) << r.err;
    lines = Split(r.out, "\r\n");
    EXPECT_NE(lines[0].find("X轴加速度有效值_min,X轴加速度有效值_mean,X轴加速度有效值_max"), std::string::npos);
    EXPECT_EQ(Split(lines[0], ",").size(), 1 + 3 * size_t(kSteadySeriesCount));
    EXPECT_GE(lines.size(), 110u);

    r = RunTool("export --address 4 --from 2001-01-01 --to \"2001-01-01 12:00\"" + at);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, HistoryCsvHeader(HistoryResolution::kRaw, false));

    r = RunTool("events --utf8 --from -3h" + at);
    ASSERT_EQ(r.status, 0) << r.err;
    lines = Split(r.out, "\r\n");
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0], "时间,地址,事件,详情");
    EXPECT_NE(lines[1].find(",4,连接,127.0.0.1:40004"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find(",4,断开,"), std::string::npos) << lines[2];
    // The default hour holds only the disconnection when the writer stopped.
    EXPECT_EQ(Split(RunTool("events --address 4" + at).out, "\r\n").size(), 2u);

    const std::string out = folder.path + "/out.csv";
    r = RunTool("export --address 4 --out " + out + at);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(Split(ReadFile(out), "\r\n").size(), Split(RunTool("export --address 4" + at).out, "\r\n").size());

    for (const std::string bad : {"export --address 99", "events --address 99", "export", "export --address x", "export --bogus 1",
                                  "export --address 4 --from yesterday", "export --address 4 --resolution second",
                                  "list --address 4", "frobnicate", "export --address 4 --from -1h --to -2h"}) {
        r = RunTool(bad + at);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_TRUE(r.out.empty()) << bad;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << bad << ": " << r.err;
    }
    r = RunTool("list --folder " + folder.path + "/nowhere");
    EXPECT_EQ(r.status, 2);
}

// `alarms`: the log as CSV, filtered by sensor and time, its texts quoted
// where they hold separators; `list` names the machines from station.toml.
TEST(HistoryTool, AlarmsCsvFiltersAndMachineNames)
{
    ScratchFolder folder;
    CollectingSink sink;
    const int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    auto event = [&](int64_t ago, AlarmEventKind kind, int32_t address, AlarmSeverity severity) {
        AlarmEvent e;
        e.utcMs = now - ago;
        e.kind = kind;
        e.address = address;
        e.severity = severity;
        if (severity != AlarmSeverity::kOffline) {
            e.quantity = kQuantityVelocity;
            e.axis = 1;
            e.value = 3;
            e.limit = 2.8;
        }
        e.name = address == 4 ? "1号泵 电机端" : "";
        return e;
    };
    {
        HistoryWriter w(TestOptions(folder), sink);
        ASSERT_TRUE(w.Start());
        w.OnSteadySnapshot(MakeSnapshot(now - 60'000, 0, {4, 7}));
        w.OnAlarmEvent(event(90 * 60'000, AlarmEventKind::kRaise, 4, AlarmSeverity::kAlert));
        AlarmEvent ack = event(30 * 60'000, AlarmEventKind::kAcknowledge, 4, AlarmSeverity::kAlert);
        ack.comment = "a,b \"c\"";
        ack.user = "张工";
        w.OnAlarmEvent(ack);
        w.OnAlarmEvent(event(20 * 60'000, AlarmEventKind::kOffline, 6, AlarmSeverity::kOffline));
        w.OnAlarmEvent(event(10 * 60'000, AlarmEventKind::kOnline, 6, AlarmSeverity::kOffline));
    }
    {
        std::ofstream toml(folder.path + "/station.toml");
        toml << "[sensor.7]\nname = \"2号风机\"\n";
    }
    const std::string at = " --folder " + folder.path;

    // 4 is named by its alarm events, 7 by station.toml.
    ToolResult r = RunTool("list" + at);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto listed = Split(r.out, "\n");
    ASSERT_GE(listed.size(), 2u) << r.out;
    EXPECT_EQ(listed[0].rfind("4 \"1号泵 电机端\" ", 0), 0u) << r.out;
    EXPECT_EQ(listed[1].rfind("7 \"2号风机\" ", 0), 0u) << r.out;

    // The last hour: the acknowledgement and sensor 6's offline and online.
    r = RunTool("alarms --utf8" + at);
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = Split(r.out, "\r\n");
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], "时间,地址,设备名称,轴,参数,数值,限值,级别,事件,备注");
    EXPECT_EQ(lines[1].substr(23), ",4,1号泵 电机端,Y轴,速度有效值(10-1000Hz),3,2.8,预警,确认,\"张工：a,b \"\"c\"\"\"");
    char when[24];
    FormatHistoryTime(now - 30 * 60'000, when);
    EXPECT_EQ(lines[1].substr(0, 23), std::string(when, 23));
    EXPECT_EQ(lines[2].substr(23), ",6,,,连接,,,离线,离线,");
    EXPECT_EQ(lines[3].substr(23), ",6,,,连接,,,离线,上线,");

    r = RunTool("alarms --address 4 --from -2h" + at);  // GBK by default
    ASSERT_EQ(r.status, 0) << r.err;
    lines = Split(r.out, "\r\n");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], Utf8ToGbk("时间,地址,设备名称,轴,参数,数值,限值,级别,事件,备注"));
    EXPECT_NE(lines[1].find(Utf8ToGbk(",报警,")), std::string::npos);
    EXPECT_EQ(Split(RunTool("alarms --address 6 --from -15m" + at).out, "\r\n").size(), 2u);
    EXPECT_EQ(Split(RunTool("alarms --from -2h --to -25m" + at).out, "\r\n").size(), 3u);  // raise and ack of 4

    for (const std::string bad : {"alarms --address 99", "alarms --resolution raw", "alarms --from soon"}) {
        r = RunTool(bad + at);
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_TRUE(r.out.empty()) << bad;
    }
}

}  // namespace
}  // namespace tav
