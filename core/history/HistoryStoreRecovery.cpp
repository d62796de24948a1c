// What the store reads back from its own file: the ticks of a minute and an
// hour that a stop or a kill left open, taken into the accumulators again
// so the next ticks complete them; the newest ticks of a sensor for the
// steady table on binding; and the runs found damaged on the way.
#include "core/history/HistoryStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <vector>

#include "core/history/HistoryCodec.h"
#include "core/history/HistorySchema.h"

namespace tav {

namespace {
constexpr int64_t kDayMs = 86'400'000;
}  // namespace

bool HistoryStore::ReadProgress(int32_t address, int64_t *minuteEnd, int64_t *hourEnd)
{
    *minuteEnd = *hourEnd = INT64_MIN;
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT minute_end, hour_end FROM progress WHERE address=?1", -1, &st, nullptr) !=
        SQLITE_OK) {
        failedStep_ = true;
        lastCode_ = sqlite3_errcode(db_);
        return false;
    }
    sqlite3_bind_int(st, 1, address);
    const int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) {
        *minuteEnd = sqlite3_column_int64(st, 0);
        *hourEnd = sqlite3_column_int64(st, 1);
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        failedStep_ = true;
        lastCode_ = rc;
        return false;
    }
    return true;
}

bool HistoryStore::CatchUp(int32_t address, SensorState &s)
{
    // Ticks stored after the last minute or hour entry (the station stopped
    // or was killed in the middle of one) go back into the accumulators, so
    // that the open minute and hour are completed with the new ticks.
    int64_t minuteEnd = 0, hourEnd = 0;
    if (!ReadProgress(address, &minuteEnd, &hourEnd))
        return false;
    const int64_t from = std::max<int64_t>(0, std::min(minuteEnd, hourEnd));
    HistorySeries series;
    std::string error;
    // A run that does not unpack is left out of the aggregates (and told);
    // only SQLite's own failure fails the batch.
    const bool read = ReadHistoryRange(db_, address, from, INT64_MAX - kDayMs, HistoryResolution::kRaw, &series, &error);
    damaged_.insert(damaged_.end(), series.damaged.begin(), series.damaged.end());
    if (!read) {
        if (!failedStep_) {
            failedStep_ = true;
            lastCode_ = sqlite3_errcode(db_) == SQLITE_OK ? SQLITE_ERROR : sqlite3_errcode(db_);
        }
        return false;
    }
    float values[kSteadySeriesCount];
    for (size_t i = 0; i < series.Size(); ++i) {
        const int64_t t = series.utcMs[i];
        for (int k = 0; k < kSteadySeriesCount; ++k)
            values[k] = series.mean[size_t(k)][i];
        if (t >= hourEnd)
            Tick(s, 1, t, values);
        if (t >= minuteEnd)
            Tick(s, 0, t, values);
    }
    return !failedStep_;
}

bool HistoryStore::CatchUpAll()
{
    std::vector<int32_t> addresses;
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT DISTINCT address FROM raw_runs", -1, &st, nullptr) != SQLITE_OK) {
        failedStep_ = true;
        lastCode_ = sqlite3_errcode(db_);
        return false;
    }
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW)
        addresses.push_back(sqlite3_column_int(st, 0));
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE) {
        failedStep_ = true;
        lastCode_ = rc;
        return false;
    }
    for (int32_t a : addresses)
        if (!CatchUp(a, State(a)))
            return false;
    stateValid_ = true;
    return true;
}

bool HistoryStore::ReadRefill(int32_t address, int64_t bindUtcMs, float (*byAge)[kSteadyHistoryLength])
{
    if (!db_)
        return false;
    HistorySeries series;
    const bool read = ReadHistoryRange(db_, address, bindUtcMs - int64_t(kSteadyHistoryLength) * 500, bindUtcMs,
                                       HistoryResolution::kRaw, &series, nullptr);
    damaged_.insert(damaged_.end(), series.damaged.begin(), series.damaged.end());
    if (!read)
        return false;
    for (size_t i = 0; i < series.Size(); ++i) {
        const int64_t age = (bindUtcMs - series.utcMs[i] + 250) / 500;
        if (age < 1 || age >= kSteadyHistoryLength)
            continue;
        for (int s = 0; s < kSteadySeriesCount; ++s)
            byAge[s][age] = series.mean[size_t(s)][i];
    }
    return true;
}

std::vector<HistoryDamagedBlock> HistoryStore::TakeDamaged()
{
    std::vector<HistoryDamagedBlock> out;
    out.swap(damaged_);
    return out;
}

}  // namespace tav
