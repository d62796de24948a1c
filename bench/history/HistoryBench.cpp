// The durable history: the cost of writing 40 sensors, the delay it adds to
// the window thread's tick, the viewer's and the tool's queries, the export
// rate, and the bytes stored per sensor and day at each resolution, with the
// database size they give for 40 sensors at the default retention.
// A simulated clock fills days and years in seconds.
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Figure.h"
#include "core/history/HistoryCsv.h"
#include "core/history/HistoryReader.h"
#include "core/history/HistoryWriter.h"

namespace {

using namespace tav;
using Clock = std::chrono::steady_clock;

constexpr int64_t kBase = 1'767'225'600'000LL;  // 2026-01-01 00:00 UTC
constexpr int64_t kDay = 86'400'000;

struct NullSink : EventSink {
    void Post(const StationEvent &) override {}
};

// Values like a machine's: a slow drift, a daily cycle and measurement noise
// in every digit, so that the packing is not flattered.
float Value(int address, int64_t tick, int series)
{
    uint64_t h = uint64_t(tick) * 0x9E3779B97F4A7C15ull ^ uint64_t(address) * 0xBF58476D1CE4E5B9ull ^
                 uint64_t(series + 1) * 0x94D049BB133111EBull;
    h ^= h >> 31;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    const double level = series == 21 ? 1480.0 : 0.5 + series * 0.3 + address * 0.01;
    const double drift = 1.0 + 1e-9 * double(tick) + 0.05 * std::sin(double(tick) / 172800.0 * 6.283);
    const double noise = 1.0 + 0.03 * (double(h % 1000000) / 1e6 - 0.5);
    return float(level * drift * noise);
}

void Fill(SteadySnapshot &s, int64_t utcMs, int64_t tick, int sensors)
{
    s.utcMs = utcMs;
    s.count = sensors;
    for (int k = 0; k < sensors; ++k) {
        SteadySensorValues &v = s.sensors[k];
        v.address = k + 1;
        v.slot = k;
        v.generation = 1;
        v.samplingFrequency = 26667;
        for (int c = 0; c < kSteadySeriesCount; ++c)
            v.values[c] = Value(k + 1, tick, c);
    }
}

std::string NewFolder()
{
    char name[] = "/tmp/tavenor-history-bench-XXXXXX";
    std::string folder = ::mkdtemp(name);
    std::filesystem::create_directory(folder + "/data");
    return folder;
}

// Bytes of each table with its indexes.
std::map<std::string, double> TableBytes(const std::string &path)
{
    std::map<std::string, double> out;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db,
                               "SELECT coalesce(m.tbl_name, d.name), sum(d.pgsize) FROM dbstat d "
                               "LEFT JOIN sqlite_master m ON m.name = d.name GROUP BY 1",
                               -1, &st, nullptr) == SQLITE_OK)
            while (sqlite3_step(st) == SQLITE_ROW)
                out[reinterpret_cast<const char *>(sqlite3_column_text(st, 0))] = sqlite3_column_double(st, 1);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return out;
}

// Bytes this process has handed to write calls so far (its /proc io
// "wchar"): the history writer is the only writer here.
double BytesWritten()
{
    FILE *f = std::fopen("/proc/self/io", "r");
    unsigned long long v = 0;
    char key[64];
    while (f && std::fscanf(f, "%63s %llu", key, &v) == 2)
        if (std::string(key) == "wchar:")
            break;
    if (f)
        std::fclose(f);
    return double(v);
}

// The database's size with what its WAL holds, as a reader sees it.
double DatabaseBytes(const std::string &path)
{
    sqlite3 *db = nullptr;
    double bytes = 0;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT page_count * page_size FROM pragma_page_count, pragma_page_size", -1, &st,
                               nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            bytes = sqlite3_column_double(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(db);
    return bytes;
}

double Ms(Clock::time_point since) { return std::chrono::duration<double, std::milli>(Clock::now() - since).count(); }

// Queries and the export run on one thread: its CPU time, unlike the wall
// clock, does not count the other work of a shared machine. The disk is
// warm (the file was just written), as for a viewer's repeated queries.
double CpuMs(double sinceSeconds) { return (bench::ThreadCpuSeconds() - sinceSeconds) * 1000.0; }

// 40 sensors as the station runs them: a tick every 500 ms, a commit every
// kHistoryCommitEveryMs. The process's CPU time over the simulated time is the share of
// one core; every hand-over on the producer's side is timed.
void WritingFortySensors()
{
    const std::string folder = NewFolder();
    NullSink sink;
    HistoryWriterOptions options;
    options.dataFolder = folder + "/data";
    auto snapshot = std::make_unique<SteadySnapshot>();
    double worstHandOverMs = 0;
    const int seconds = 900;  // 15 simulated minutes
    bench::Usage before, after;
    double amplification = 0;
    {
        HistoryWriter writer(options, sink);
        writer.Start();
        // Warm up: the first minute creates the tables' first pages.
        int64_t tick = 0;
        for (; tick < 240; ++tick) {
            Fill(*snapshot, kBase + tick * 500, tick, 40);
            writer.OnSteadySnapshot(*snapshot);
            if (tick % 60 == 59)
                writer.Flush();
        }
        before = bench::ProcessUsage();
        const double written0 = BytesWritten(), size0 = DatabaseBytes(options.dataFolder + "/history.sqlite");
        for (int s = 0; s < seconds; ++s) {
            for (int k = 0; k < 2; ++k, ++tick) {
                Fill(*snapshot, kBase + tick * 500, tick, 40);
                const auto t0 = Clock::now();
                writer.OnSteadySnapshot(*snapshot);
                worstHandOverMs = std::max(worstHandOverMs, Ms(t0));
            }
            if ((s + 1) % (kHistoryCommitEveryMs / 1000) == 0)
                writer.Flush();  // the batch the writer's timer makes
        }
        after = bench::ProcessUsage();
        // Growth over whole minutes, so that the pieces of the open one
        // (given back when it closes) do not count as growth.
        amplification = (BytesWritten() - written0) /
                        std::max(1.0, DatabaseBytes(options.dataFolder + "/history.sqlite") - size0);
        // The hand-over while the writer copies and commits on its own
        // timer, 125 ticks a second: fuller batches than the station's.
        for (int i = 0; i < 2000; ++i, ++tick) {
            Fill(*snapshot, kBase + tick * 500, tick, 40);
            const auto t0 = Clock::now();
            writer.OnSteadySnapshot(*snapshot);
            worstHandOverMs = std::max(worstHandOverMs, Ms(t0));
            std::this_thread::sleep_for(std::chrono::milliseconds(8));
        }
        std::printf("snapshots dropped at 60 x real time: %llu\n", static_cast<unsigned long long>(writer.Dropped()));
    }
    // The CPU figure counts the snapshot filling too, which the station does anyway.
    const double share = (after.cpu - before.cpu) / seconds * 100.0;
    bench::PrintFigure("history_write_cpu_40_sensors", share, "% of a core", "<= 0.3");
    bench::PrintFigure("history_tick_delay_max", worstHandOverMs, "ms", "<= 1");
    bench::PrintFigure("history_bytes_written_per_byte_of_growth", amplification, "", "<= 5");
    std::filesystem::remove_all(folder);
}

struct Filled {
    std::string folder;
    double rawPerSensorDay = 0;
    double minutePerSensorDay = 0;
    double hourPerSensorDay = 0;
};

// One day of ticks of four sensors: raw and minute storage and the raw queries.
void DayOfTicks(Filled *f)
{
    const std::string folder = NewFolder();
    NullSink sink;
    HistoryWriterOptions options;
    options.dataFolder = folder + "/data";
    options.waitWhenFull = true;
    const int sensors = 4;
    const auto t0 = Clock::now();
    {
        HistoryWriter writer(options, sink);
        writer.Start();
        auto snapshot = std::make_unique<SteadySnapshot>();
        const int64_t ticks = kDay / 500 + 240;  // one day, and a little to close its last hour
        for (int64_t tick = 0; tick < ticks; ++tick) {
            Fill(*snapshot, kBase + tick * 500, tick, sensors);
            writer.OnSteadySnapshot(*snapshot);
        }
    }
    std::printf("a day of 4 sensors written in %.1f s\n", Ms(t0) / 1000);
    auto bytes = TableBytes(folder + "/data/history.sqlite");
    f->rawPerSensorDay = bytes["raw_runs"] / sensors;
    f->minutePerSensorDay = bytes["minute_runs"] / sensors;

    HistoryReader reader;
    std::string error;
    reader.Open(folder + "/data/history.sqlite", &error);
    HistorySeries series;
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        const double q = bench::ThreadCpuSeconds();
        reader.Read(2, kBase, kBase + kDay, HistoryResolution::kRaw, &series);
        best = std::min(best, CpuMs(q));
    }
    std::printf("one day at full resolution: %zu entries\n", series.Size());
    bench::PrintFigure("history_query_raw_day", best, "ms", "<= 300");

    // The tool's export: read and write, as `tavenor-history export` does.
    const std::string out = folder + "/export.csv";
    const double e = bench::ThreadCpuSeconds();
    reader.Read(2, kBase, kBase + kDay, HistoryResolution::kRaw, &series);
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    WriteHistoryCsv(fd, series, false);
    ::close(fd);
    const double seconds = CpuMs(e) / 1000;
    std::printf("export: %zu rows, %.1f MB\n", series.Size(),
                double(std::filesystem::file_size(out)) / 1e6);
    bench::PrintFigure("history_export_rows_per_s", double(series.Size()) / seconds, "rows/s", ">= 1e6");
    f->folder = folder;
}

// A year: sparse ticks for 335 days (every hour gets its entry), then 30
// days with a tick every minute (every minute gets its entry).
void YearOfAggregates(Filled *f)
{
    const std::string folder = NewFolder();
    NullSink sink;
    HistoryWriterOptions options;
    options.dataFolder = folder + "/data";
    options.waitWhenFull = true;
    const int sensors = 4;
    const int64_t sparseEnd = kBase + 335 * kDay;
    const int64_t end = kBase + 365 * kDay + 3'600'000;
    {
        HistoryWriter writer(options, sink);
        writer.Start();
        auto snapshot = std::make_unique<SteadySnapshot>();
        int64_t tick = 0;
        for (int64_t t = kBase; t < end; ++tick) {
            Fill(*snapshot, t, tick * 3600, sensors);
            writer.OnSteadySnapshot(*snapshot);
            t += t < sparseEnd ? 1'800'000 : 60'000;
        }
    }
    auto bytes = TableBytes(folder + "/data/history.sqlite");
    f->hourPerSensorDay = bytes["hour_runs"] / sensors / 365.0;

    HistoryReader reader;
    std::string error;
    reader.Open(folder + "/data/history.sqlite", &error);
    HistorySeries series;
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        const double q = bench::ThreadCpuSeconds();
        reader.Read(3, end - 30 * kDay, end, HistoryResolution::kMinute, &series);
        best = std::min(best, CpuMs(q));
    }
    std::printf("30 days at minute resolution: %zu entries\n", series.Size());
    bench::PrintFigure("history_query_minute_30_days", best, "ms", "<= 200");
    best = 1e9;
    for (int i = 0; i < 3; ++i) {
        const double q = bench::ThreadCpuSeconds();
        reader.Read(3, end - 365 * kDay, end, HistoryResolution::kHour, &series);
        best = std::min(best, CpuMs(q));
    }
    std::printf("one year at hour resolution: %zu entries\n", series.Size());
    bench::PrintFigure("history_query_hour_year", best, "ms", "<= 200");
    std::filesystem::remove_all(folder);
}

}  // namespace

int main()
{
    WritingFortySensors();
    Filled f;
    DayOfTicks(&f);
    YearOfAggregates(&f);
    std::filesystem::remove_all(f.folder);
    bench::PrintFigure("history_bytes_per_sensor_day_raw", f.rawPerSensorDay, "B", "naive float32: 15.6e6");
    bench::PrintFigure("history_bytes_per_sensor_day_minute", f.minutePerSensorDay, "B", "");
    bench::PrintFigure("history_bytes_per_sensor_day_hour", f.hourPerSensorDay, "B", "");
    const double total =
        40.0 * (3 * f.rawPerSensorDay + 90 * f.minutePerSensorDay + 3652.5 * f.hourPerSensorDay);
    bench::PrintFigure("history_db_size_40_sensors_default_retention", total / 1e9, "GB", "<= 4");
    return 0;
}
