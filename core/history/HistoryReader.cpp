#include "core/history/HistoryReader.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <numeric>

#include "core/history/HistoryAlarmLog.h"
#include "core/history/HistoryCodec.h"
#include "core/history/HistorySchema.h"

namespace tav {

namespace {

// Puts every column into time order when a clock that went back left runs
// out of order.
void SortByTime(HistorySeries *out)
{
    if (std::is_sorted(out->utcMs.begin(), out->utcMs.end()))
        return;
    std::vector<size_t> order(out->Size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return out->utcMs[a] < out->utcMs[b]; });
    auto permute = [&](auto &v) {
        if (v.empty())
            return;
        auto copy = v;
        for (size_t i = 0; i < order.size(); ++i)
            v[i] = copy[order[i]];
    };
    permute(out->utcMs);
    for (int s = 0; s < kSteadySeriesCount; ++s) {
        permute(out->mean[size_t(s)]);
        permute(out->min[size_t(s)]);
        permute(out->max[size_t(s)]);
    }
}

void Truncate(HistorySeries *out, size_t size)
{
    out->utcMs.resize(size);
    for (int s = 0; s < kSteadySeriesCount; ++s)
        for (auto *v : {&out->mean[size_t(s)], &out->min[size_t(s)], &out->max[size_t(s)]})
            if (!v->empty())
                v->resize(size);
}

void KeepRange(HistorySeries *out, int64_t fromUtcMs, int64_t toUtcMs)
{
    size_t kept = 0;
    for (size_t i = 0; i < out->Size(); ++i) {
        const int64_t t = out->utcMs[i];
        if (t < fromUtcMs || t >= toUtcMs)
            continue;
        out->utcMs[kept] = t;
        for (int s = 0; s < kSteadySeriesCount; ++s)
            for (auto *v : {&out->mean[size_t(s)], &out->min[size_t(s)], &out->max[size_t(s)]})
                if (!v->empty())
                    (*v)[kept] = (*v)[i];
        ++kept;
    }
    Truncate(out, kept);
}

}  // namespace

namespace {
// A slow machine's minutes or hours beside the steady ones: both are keyed
// by the start of their minute or hour, so equal times are one entry.
bool AddSlowSeries(sqlite3 *db, int32_t address, int64_t fromUtcMs, int64_t toUtcMs, bool hours,
                   HistorySeries *out, std::string *error)
{
    BandHistorySeries slow;
    if (!ReadBandHistory(db, address, fromUtcMs, toUtcMs, hours, &slow, error, kSlowLayout))
        return false;
    if (slow.Size() == 0)
        return true;
    const size_t n = out->Size();
    for (int k = 0; k < kSlowHistorySeries; ++k) {
        out->slowMin[size_t(k)].assign(n, NAN);
        out->slowMean[size_t(k)].assign(n, NAN);
        out->slowMax[size_t(k)].assign(n, NAN);
    }
    size_t j = 0;
    for (size_t i = 0; i < n; ++i) {
        while (j < slow.Size() && slow.utcMs[j] < out->utcMs[i])
            ++j;
        if (j == slow.Size() || slow.utcMs[j] != out->utcMs[i])
            continue;
        for (int k = 0; k < kSlowHistorySeries; ++k) {
            out->slowMin[size_t(k)][i] = slow.min[size_t(k)][j];
            out->slowMean[size_t(k)][i] = slow.mean[size_t(k)][j];
            out->slowMax[size_t(k)][i] = slow.max[size_t(k)][j];
        }
    }
    return true;
}
}  // namespace

bool ReadHistoryRange(sqlite3 *db, int32_t address, int64_t fromUtcMs, int64_t toUtcMs,
                      HistoryResolution resolution, HistorySeries *out, std::string *error)
{
    *out = HistorySeries{};
    out->resolution = resolution;
    const HistoryTableInfo &info = kHistoryTables[int(resolution)];
    const std::string sql = std::string("SELECT t0, n, data, t1 FROM ") + info.name +
                            " WHERE address=?1 AND t0>=?2 AND t0<?3 AND t1>=?4 ORDER BY t0, rowid";
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        if (error)
            *error = sqlite3_errmsg(db);
        return false;
    }
    sqlite3_bind_int(st, 1, address);
    sqlite3_bind_int64(st, 2, fromUtcMs - info.spanMs);
    sqlite3_bind_int64(st, 3, toUtcMs);
    sqlite3_bind_int64(st, 4, fromUtcMs);
    const bool aggregate = resolution != HistoryResolution::kRaw;
    const int columns = info.columns;
    int rc;
    bool ok = true;
    bool trim = false;
    float *columnOut[kSteadySeriesCount * 3];
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        const int64_t t0 = sqlite3_column_int64(st, 0);
        const int n = sqlite3_column_int(st, 1);
        const void *blob = sqlite3_column_blob(st, 2);
        const int size = sqlite3_column_bytes(st, 2);
        // One damaged run costs its own entries, never the rest of the range.
        auto skip = [&] {
            out->damaged.push_back({address, resolution, t0, sqlite3_column_int64(st, 3), n});
        };
        if (n <= 0 || n > 1'000'000) {
            skip();
            continue;
        }
        // Decoded straight into the columns: a day at full resolution is
        // 1440 rows of 120 entries.
        const size_t at = out->Size();
        const size_t end = at + size_t(n);
        out->utcMs.resize(end);
        for (int s = 0; s < kSteadySeriesCount; ++s) {
            out->mean[size_t(s)].resize(end);
            if (aggregate) {
                out->min[size_t(s)].resize(end);
                out->max[size_t(s)].resize(end);
                columnOut[s] = out->min[size_t(s)].data() + at;
                columnOut[kSteadySeriesCount + s] = out->mean[size_t(s)].data() + at;
                columnOut[2 * kSteadySeriesCount + s] = out->max[size_t(s)].data() + at;
            } else {
                columnOut[s] = out->mean[size_t(s)].data() + at;
            }
        }
        if (!DecodeHistoryColumns(blob, size_t(size), t0, n, columns, out->utcMs.data() + at, columnOut)) {
            Truncate(out, at);
            skip();
            continue;
        }
        // Entries of a run lie in time order: only its ends can be outside.
        if (out->utcMs[at] < fromUtcMs || out->utcMs[end - 1] >= toUtcMs)
            trim = true;
    }
    if (trim)
        KeepRange(out, fromUtcMs, toUtcMs);
    if (rc != SQLITE_DONE) {
        if (error)
            *error = sqlite3_errmsg(db);
        ok = false;
    }
    sqlite3_finalize(st);
    SortByTime(out);
    if (ok && resolution != HistoryResolution::kRaw)
        ok = AddSlowSeries(db, address, fromUtcMs, toUtcMs, resolution == HistoryResolution::kHour, out, error);
    return ok;
}

HistoryReader::HistoryReader() = default;

HistoryReader::~HistoryReader()
{
    if (db_)
        sqlite3_close(db_);
}

bool HistoryReader::Open(const std::string &databasePath, std::string *error)
{
    if (db_) {
        sqlite3_close(db_);
        db_ = nullptr;
    }
    struct stat sb {};
    if (::stat(databasePath.c_str(), &sb) != 0) {
        if (error)
            *error = "找不到历史数据库 " + databasePath;
        return false;
    }
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(databasePath.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        if (error)
            *error = "无法打开历史数据库 " + databasePath + "：" + (db ? sqlite3_errmsg(db) : "");
        sqlite3_close(db);
        return false;
    }
    // The station's writer holds the lock only while it commits.
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt *st = nullptr;
    int version = -1;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
        version = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    // A file of the first version (a station not yet restarted on this
    // program) reads as one without alarm log.
    if (version != kHistorySchemaVersion && version != 1) {
        if (error)
            *error = "历史数据库 " + databasePath + " 无法读取（" +
                     (version < 0 ? std::string(sqlite3_errmsg(db)) : "版本 " + std::to_string(version)) + "）";
        sqlite3_close(db);
        return false;
    }
    db_ = db;
    return true;
}

std::vector<HistorySensorSummary> HistoryReader::Sensors()
{
    std::vector<HistorySensorSummary> out;
    if (!db_)
        return out;
    // An aggregate entry carries the start of its minute or hour, not the
    // time of the first tick in it: a finer table's first entry within that
    // span is the true first time. Tables are read from the coarsest on.
    std::vector<int64_t> firstSpan;  // per sensor of `out`: span of the table its first time came from
    for (int r = 2; r >= 0; --r) {
        const std::string sql = std::string("SELECT address, min(t0), max(t1), sum(n) FROM ") + kHistoryTables[r].name +
                                " GROUP BY address ORDER BY address";
        sqlite3_stmt *st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
            continue;
        while (sqlite3_step(st) == SQLITE_ROW) {
            const int32_t address = sqlite3_column_int(st, 0);
            auto it = std::find_if(out.begin(), out.end(), [&](const auto &s) { return s.address == address; });
            const int64_t first = sqlite3_column_int64(st, 1);
            const int64_t last = sqlite3_column_int64(st, 2);
            // A minute entry stands for the minute (a raw row's span), an
            // hour entry for the hour (a minute row's span); a tick for itself.
            const int64_t span = r == 0 ? 0 : kHistoryTables[r - 1].spanMs;
            if (it == out.end()) {
                out.push_back({address, first, last, {}});
                firstSpan.push_back(span);
                it = out.end() - 1;
            }
            int64_t &shownSpan = firstSpan[size_t(it - out.begin())];
            if (first < it->firstUtcMs || first < it->firstUtcMs + shownSpan) {
                it->firstUtcMs = first;
                shownSpan = span;
            }
            it->lastUtcMs = std::max(it->lastUtcMs, last);
            it->entries[r] = sqlite3_column_int64(st, 3);
        }
        sqlite3_finalize(st);
    }
    std::sort(out.begin(), out.end(), [](const auto &a, const auto &b) { return a.address < b.address; });
    return out;
}

bool HistoryReader::HasSensor(int32_t address)
{
    if (!db_)
        return false;
    sqlite3_stmt *st = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(db_,
                           "SELECT EXISTS(SELECT 1 FROM raw_runs WHERE address=?1) OR "
                           "EXISTS(SELECT 1 FROM minute_runs WHERE address=?1) OR "
                           "EXISTS(SELECT 1 FROM hour_runs WHERE address=?1) OR "
                           "EXISTS(SELECT 1 FROM events WHERE address=?1)",
                           -1, &st, nullptr) == SQLITE_OK) {
        sqlite3_bind_int(st, 1, address);
        found = sqlite3_step(st) == SQLITE_ROW && sqlite3_column_int(st, 0) != 0;
    }
    sqlite3_finalize(st);
    return found;
}

bool HistoryReader::Read(int32_t address, int64_t fromUtcMs, int64_t toUtcMs, HistoryResolution resolution,
                         HistorySeries *out)
{
    if (!db_)
        return false;
    return ReadHistoryRange(db_, address, fromUtcMs, toUtcMs, resolution, out, nullptr);
}

bool HistoryReader::Events(int32_t address, int64_t fromUtcMs, int64_t toUtcMs, std::vector<HistoryEvent> *out)
{
    out->clear();
    if (!db_)
        return false;
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "SELECT t, address, kind, detail FROM events WHERE t>=?1 AND t<?2 AND (?3=0 OR address=?3)"
                           " ORDER BY t, rowid",
                           -1, &st, nullptr) != SQLITE_OK)
        return false;
    sqlite3_bind_int64(st, 1, fromUtcMs);
    sqlite3_bind_int64(st, 2, toUtcMs);
    sqlite3_bind_int(st, 3, address);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        HistoryEvent e;
        e.utcMs = sqlite3_column_int64(st, 0);
        e.address = sqlite3_column_int(st, 1);
        e.kind = HistoryEventKind(sqlite3_column_int(st, 2));
        const unsigned char *text = sqlite3_column_text(st, 3);
        e.detail = text ? reinterpret_cast<const char *>(text) : "";
        out->push_back(std::move(e));
    }
    sqlite3_finalize(st);
    return rc == SQLITE_DONE;
}

bool HistoryReader::AlarmEvents(const AlarmLogFilter &filter, std::vector<AlarmEvent> *out, bool *truncated)
{
    out->clear();
    return db_ && ReadAlarmEvents(db_, filter, out, truncated, nullptr);
}

bool HistoryReader::AlarmAddresses(std::vector<int32_t> *out)
{
    out->clear();
    return db_ && ReadAlarmAddresses(db_, out);
}

std::map<int32_t, std::string> HistoryReader::AlarmNames()
{
    std::map<int32_t, std::string> names;
    std::vector<std::pair<int32_t, std::string>> latest;
    if (db_ && ReadLatestAlarmNames(db_, &latest))
        names.insert(latest.begin(), latest.end());
    return names;
}

HistoryResolution HistoryReader::AutoResolution(int64_t fromUtcMs, int64_t toUtcMs)
{
    const int64_t span = toUtcMs - fromUtcMs;
    if (span <= 86'400'000LL)
        return HistoryResolution::kRaw;
    if (span <= 90LL * 86'400'000LL)
        return HistoryResolution::kMinute;
    return HistoryResolution::kHour;
}

}  // namespace tav
