#include "core/history/HistoryBands.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/history/HistoryCodec.h"
#include "core/history/HistorySchema.h"

namespace tav {

namespace {

constexpr int64_t kPeriodMs[2] = {60'000, 3'600'000};    // an entry: a minute, an hour
constexpr int64_t kRunSpanMs[2] = {3'600'000, 86'400'000};  // a row: an hour of minutes, a day of hours
constexpr int kRunCapacity = 64;

int64_t FloorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

bool HasTable(sqlite3 *db, const char *name)
{
    sqlite3_stmt *st = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE type='table' AND name=?1", -1, &st, nullptr) ==
        SQLITE_OK) {
        sqlite3_bind_text(st, 1, name, -1, SQLITE_STATIC);
        found = sqlite3_step(st) == SQLITE_ROW;
    }
    sqlite3_finalize(st);
    return found;
}

void TakeBands(const SteadySensorValues &v, float *out)
{
    std::copy(&v.band[0][0], &v.band[0][0] + kBandHistorySeries, out);
}

void TakeSlow(const SteadySensorValues &v, float *out)
{
    const bool slow = std::any_of(std::begin(v.isoDisplacement), std::end(v.isoDisplacement),
                                  [](float x) { return !std::isnan(x); });
    for (int axis = 0; axis < 3; ++axis) {
        out[axis] = slow ? v.isoVelocity[axis] : NAN;
        out[3 + axis] = v.isoDisplacement[axis];
        out[6 + axis] = v.zoneBy[axis] ? float(v.zoneBy[axis]) : NAN;
    }
}

}  // namespace

const BandHistoryLayout kBandLayout = {{"band_minute_runs", "band_hour_runs"}, kBandHistorySeries, TakeBands};
const BandHistoryLayout kSlowLayout = {{"slow_minute_runs", "slow_hour_runs"}, kSlowHistorySeries, TakeSlow};

struct BandHistory::Sensor {
    struct Accumulator {
        int64_t key = 0;
        int count = 0;
        float min[kBandHistorySeries], max[kBandHistorySeries];
        double sum[kBandHistorySeries];
        int measured[kBandHistorySeries];
    } acc[2];
    struct Run {
        int64_t key = 0;
        int count = 0;
        int64_t rowid = 0;
        int64_t times[kRunCapacity];
        float values[kRunCapacity * kBandHistoryColumns];
    } run[2];
};

BandHistory::BandHistory(const BandHistoryLayout &layout)
    : layout_(layout), series_(std::min(layout.series, kBandHistorySeries)), columns_(3 * series_)
{
}
BandHistory::~BandHistory() { Close(); }

bool BandHistory::Open(sqlite3 *db, std::string *error)
{
    Close();
    db_ = db;
    for (const char *table : layout_.tables) {
        const std::string t(table);
        const std::string sql = "CREATE TABLE IF NOT EXISTS " + t +
                                "(address INTEGER NOT NULL, t0 INTEGER NOT NULL, t1 INTEGER NOT NULL,"
                                " n INTEGER NOT NULL, data BLOB NOT NULL);"
                                "CREATE INDEX IF NOT EXISTS " + t + "_at ON " + t + "(address, t0);"
                                "CREATE INDEX IF NOT EXISTS " + t + "_end ON " + t + "(t1);";
        if (!ExecHistorySql(db, sql.c_str(), error))
            return false;
    }
    for (int level = 0; level < 2; ++level) {
        const std::string t(layout_.tables[level]);
        const std::string sql[3] = {"INSERT INTO " + t + "(address,t0,t1,n,data) VALUES(?1,?2,?3,?4,?5)",
                                    "UPDATE " + t + " SET t1=?2, n=?3, data=?4 WHERE rowid=?1",
                                    "DELETE FROM " + t + " WHERE rowid IN (SELECT rowid FROM " + t +
                                        " WHERE t1<?1 LIMIT 256)"};
        sqlite3_stmt **out[3] = {&insert_[level], &update_[level], &prune_[level]};
        for (int i = 0; i < 3; ++i)
            if (sqlite3_prepare_v3(db, sql[i].c_str(), -1, SQLITE_PREPARE_PERSISTENT, out[i], nullptr) != SQLITE_OK) {
                if (error)
                    *error = sqlite3_errmsg(db);
                return false;
            }
    }
    return true;
}

void BandHistory::Close()
{
    for (int level = 0; level < 2; ++level)
        for (sqlite3_stmt **st : {&insert_[level], &update_[level], &prune_[level]}) {
            sqlite3_finalize(*st);
            *st = nullptr;
        }
    db_ = nullptr;
    sensors_.clear();
}

void BandHistory::Reset() { sensors_.clear(); }

namespace {
bool Run(sqlite3_stmt *st)
{
    const int rc = sqlite3_step(st);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    return rc == SQLITE_DONE || rc == SQLITE_ROW;
}
}  // namespace

bool BandHistory::Emit(int32_t address, Sensor &s, int level)
{
    Sensor::Accumulator &a = s.acc[level];
    if (a.count == 0)
        return true;
    a.count = 0;
    float values[kBandHistoryColumns];
    bool any = false;
    for (int i = 0; i < series_; ++i) {
        const bool measured = a.measured[i] > 0;
        any |= measured;
        values[i] = measured ? a.min[i] : NAN;
        values[series_ + i] = measured ? float(a.sum[i] / a.measured[i]) : NAN;
        values[2 * series_ + i] = measured ? a.max[i] : NAN;
    }
    if (!any)
        return true;
    const int64_t start = a.key * kPeriodMs[level];
    if (level == 0) {
        // The hour's entry is made of the minutes' means, minima and maxima.
        Sensor::Accumulator &h = s.acc[1];
        const int64_t hourKey = FloorDiv(start, kPeriodMs[1]);
        if (h.count > 0 && h.key != hourKey && !Emit(address, s, 1))
            return false;
        if (h.count == 0) {
            h.key = hourKey;
            std::fill(std::begin(h.min), std::end(h.min), std::numeric_limits<float>::infinity());
            std::fill(std::begin(h.max), std::end(h.max), -std::numeric_limits<float>::infinity());
            std::fill(std::begin(h.sum), std::end(h.sum), 0.0);
            std::fill(std::begin(h.measured), std::end(h.measured), 0);
        }
        ++h.count;
        for (int i = 0; i < series_; ++i)
            if (!std::isnan(values[series_ + i])) {
                h.min[i] = std::min(h.min[i], values[i]);
                h.max[i] = std::max(h.max[i], values[2 * series_ + i]);
                h.sum[i] += values[series_ + i];
                ++h.measured[i];
            }
    }
    Sensor::Run &run = s.run[level];
    JoinAggregateRun(run, FloorDiv(start, kRunSpanMs[level]), kRunCapacity, start, values, columns_);
    EncodeHistoryBlock(run.times[0], run.count, columns_, run.times, run.values, &blob_);
    // The open hour's (day's) row grows by rewriting it.
    sqlite3_stmt *st = run.rowid == 0 ? insert_[level] : update_[level];
    if (run.rowid == 0) {
        sqlite3_bind_int(st, 1, address);
        sqlite3_bind_int64(st, 2, run.times[0]);
        sqlite3_bind_int64(st, 3, start);
        sqlite3_bind_int(st, 4, run.count);
        sqlite3_bind_blob(st, 5, blob_.data(), int(blob_.size()), SQLITE_STATIC);
    } else {
        sqlite3_bind_int64(st, 1, run.rowid);
        sqlite3_bind_int64(st, 2, start);
        sqlite3_bind_int(st, 3, run.count);
        sqlite3_bind_blob(st, 4, blob_.data(), int(blob_.size()), SQLITE_STATIC);
    }
    if (!Run(st))
        return false;
    if (run.rowid == 0)
        run.rowid = sqlite3_last_insert_rowid(db_);
    return true;
}

bool BandHistory::Process(const SteadySnapshot &snap)
{
    if (!db_)
        return true;
    const int64_t minuteKey = FloorDiv(snap.utcMs, kPeriodMs[0]);
    for (auto &[address, s] : sensors_)
        if (s->acc[0].count > 0 && s->acc[0].key != minuteKey && !Emit(address, *s, 0))
            return false;
    for (int i = 0; i < snap.count; ++i) {
        const SteadySensorValues &v = snap.sensors[i];
        float values[kBandHistorySeries];
        layout_.take(v, values);
        if (std::none_of(values, values + series_, [](float x) { return !std::isnan(x); }))
            continue;
        auto &slot = sensors_[v.address];
        if (!slot)
            slot = std::make_unique<Sensor>();
        Sensor::Accumulator &a = slot->acc[0];
        if (a.count == 0) {
            a.key = minuteKey;
            std::fill(std::begin(a.min), std::end(a.min), std::numeric_limits<float>::infinity());
            std::fill(std::begin(a.max), std::end(a.max), -std::numeric_limits<float>::infinity());
            std::fill(std::begin(a.sum), std::end(a.sum), 0.0);
            std::fill(std::begin(a.measured), std::end(a.measured), 0);
        }
        ++a.count;
        for (int k = 0; k < series_; ++k) {
            if (std::isnan(values[k]))
                continue;
            ++a.measured[k];
            a.min[k] = std::min(a.min[k], values[k]);
            a.max[k] = std::max(a.max[k], values[k]);
            a.sum[k] += values[k];
        }
    }
    return true;
}

bool BandHistory::Prune(int64_t minutesBeforeUtcMs, int64_t hoursBeforeUtcMs)
{
    if (!db_)
        return true;
    sqlite3_bind_int64(prune_[0], 1, minutesBeforeUtcMs);
    if (!Run(prune_[0]))
        return false;
    sqlite3_bind_int64(prune_[1], 1, hoursBeforeUtcMs);
    return Run(prune_[1]);
}

bool ReadBandHistory(sqlite3 *db, int32_t address, int64_t fromUtcMs, int64_t toUtcMs, bool hours,
                     BandHistorySeries *out, std::string *error, const BandHistoryLayout &layout)
{
    const int series = std::min(layout.series, kBandHistorySeries), columns = 3 * series;
    *out = BandHistorySeries{};
    const int level = hours ? 1 : 0;
    if (!HasTable(db, layout.tables[level]))
        return true;
    const std::string sql = std::string("SELECT t0, n, data FROM ") + layout.tables[level] +
                            " WHERE address=?1 AND t0>=?2 AND t0<?3 AND t1>=?4 ORDER BY t0, rowid";
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        if (error)
            *error = sqlite3_errmsg(db);
        return false;
    }
    sqlite3_bind_int(st, 1, address);
    sqlite3_bind_int64(st, 2, fromUtcMs - kRunSpanMs[level]);
    sqlite3_bind_int64(st, 3, toUtcMs);
    sqlite3_bind_int64(st, 4, fromUtcMs);
    std::vector<int64_t> times;
    std::vector<float> values;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        const int n = sqlite3_column_int(st, 1);
        if (n <= 0 || n > kRunCapacity)
            continue;
        times.resize(size_t(n));
        values.resize(size_t(n) * columns);
        if (!DecodeHistoryBlock(sqlite3_column_blob(st, 2), size_t(sqlite3_column_bytes(st, 2)),
                                sqlite3_column_int64(st, 0), n, columns, times.data(), values.data()))
            continue;  // a damaged run costs its own entries only
        for (int e = 0; e < n; ++e) {
            if (times[size_t(e)] < fromUtcMs || times[size_t(e)] >= toUtcMs)
                continue;
            out->utcMs.push_back(times[size_t(e)]);
            const float *row = values.data() + size_t(e) * columns;
            for (int k = 0; k < series; ++k) {
                out->min[size_t(k)].push_back(row[k]);
                out->mean[size_t(k)].push_back(row[series + k]);
                out->max[size_t(k)].push_back(row[2 * series + k]);
            }
        }
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) {
        if (error)
            *error = sqlite3_errmsg(db);
        return false;
    }
    return true;
}

}  // namespace tav
