#include "core/history/HistoryStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "core/history/HistoryAlarmLog.h"
#include "core/history/HistoryCodec.h"
#include "core/history/HistorySchema.h"

namespace tav {

namespace {
constexpr int kRawRunCapacity = 256;  // a minute holds 120 ticks; room for a jittery timer
constexpr int kMaxPieces = 128;
constexpr int kAggregateRunCapacity[2] = {64, 32};
constexpr int kMaxAggregateRun = 64;
constexpr int64_t kPeriodMs[2] = {60'000, 3'600'000};
constexpr int64_t kRunSpanMs[2] = {3'600'000, 86'400'000};
constexpr int64_t kDayMs = 86'400'000;
constexpr int64_t kPruneEveryMs = 10'000;

int64_t FloorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

const char *const kStatementSql[] = {
    "INSERT INTO raw_runs(address,t0,t1,n,data) VALUES(?1,?2,?3,?4,?5)",
    "INSERT INTO minute_runs(address,t0,t1,n,data) VALUES(?1,?2,?3,?4,?5)",
    "INSERT INTO hour_runs(address,t0,t1,n,data) VALUES(?1,?2,?3,?4,?5)",
    "UPDATE minute_runs SET t1=?2, n=?3, data=?4 WHERE rowid=?1",
    "UPDATE hour_runs SET t1=?2, n=?3, data=?4 WHERE rowid=?1",
    "DELETE FROM raw_runs WHERE rowid=?1",
    "INSERT INTO progress(address,minute_end,hour_end) VALUES(?1,?2,?3) ON CONFLICT(address) DO UPDATE SET "
    "minute_end=max(minute_end,excluded.minute_end), hour_end=max(hour_end,excluded.hour_end)",
    "INSERT INTO events(t,address,kind,detail) VALUES(?1,?2,?3,?4)",
    "DELETE FROM raw_runs WHERE rowid IN (SELECT rowid FROM raw_runs WHERE t1<?1 LIMIT 256)",
    "DELETE FROM minute_runs WHERE rowid IN (SELECT rowid FROM minute_runs WHERE t1<?1 LIMIT 256)",
    "DELETE FROM hour_runs WHERE rowid IN (SELECT rowid FROM hour_runs WHERE t1<?1 LIMIT 256)",
    "DELETE FROM events WHERE rowid IN (SELECT rowid FROM events WHERE t<?1 LIMIT 256)",
    kInsertAlarmEventSql,
    "DELETE FROM alarm_events WHERE rowid IN (SELECT rowid FROM alarm_events WHERE t<?1 LIMIT 256)",
    kCaptureLostSql,
};
static_assert(sizeof kStatementSql / sizeof kStatementSql[0] == 15);
}  // namespace

struct HistoryStore::SensorState {
    explicit SensorState(int32_t a) : address(a) {}
    int32_t address;
    // Ticks of the current minute. Until the minute closes they are stored
    // as one small "piece" row per batch; the closing replaces the pieces by
    // one packed run.
    int64_t rawKey = INT64_MIN;
    int rawCount = 0;
    int rawStored = 0;
    int64_t rawTimes[kRawRunCapacity] = {};
    float rawValues[kRawRunCapacity * kHistoryRawColumns] = {};
    int64_t pieces[kMaxPieces] = {};
    int pieceCount = 0;
    // Minute (0) and hour (1) being aggregated.
    struct Accumulator {
        int64_t key = INT64_MIN;
        int count = 0;
        float min[kSteadySeriesCount] = {};
        float max[kSteadySeriesCount] = {};
        double sum[kSteadySeriesCount] = {};
        int measured[kSteadySeriesCount] = {};  // entries with a value (not NaN)
    } acc[2];
    // The stored run the next aggregate entry joins: minutes of an hour, hours of a day.
    struct AggregateRun {
        int64_t key = INT64_MIN;
        int count = 0;
        int64_t rowid = 0;
        int64_t times[kMaxAggregateRun] = {};
        float values[kMaxAggregateRun * kHistoryAggregateColumns] = {};
    } run[2];
};

HistoryStore::HistoryStore(const HistorySettings &settings) : settings_(settings) {}

HistoryStore::~HistoryStore() { Close(); }

void HistoryStore::Close()
{
    for (sqlite3_stmt *&st : statements_) {
        sqlite3_finalize(st);
        st = nullptr;
    }
    bands_.Close();
    slow_.Close();
    if (db_)
        sqlite3_close(db_);
    db_ = nullptr;
    sensors_.clear();
    stateValid_ = false;
}

HistoryOpenResult HistoryStore::Open(const std::string &path, std::string *error)
{
    Close();
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        *error = HistorySqliteReason(db_ ? sqlite3_errcode(db_) : SQLITE_NOMEM);
        Close();
        return HistoryOpenResult::kFailed;
    }
    sqlite3_busy_timeout(db_, 1000);
    std::string text;
    // WAL: readers (the tool, the viewer) never block the writer. FULL sync
    // makes every commit durable when it returns: with a commit every ten
    // seconds that is one flush of the WAL per commit, a cost the disk does
    // not feel, and a power cut then loses no more than a kill does.
    // Packed runs are a few kB each and mostly live in overflow pages, of
    // which the last is on average half empty: small pages waste little.
    // (Takes effect only in a new file; WAL mode fixes it afterwards.)
    // A checkpoint every 4000 pages (about 4 MB of WAL, some minutes of
    // writing) copies a page the commits rewrote many times (the newest index
    // and table pages, the pieces given back each minute) into the file once.
    if (!ExecHistorySql(db_,
                        "PRAGMA page_size=1024; PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; "
                        "PRAGMA wal_autocheckpoint=4000;",
                        &text)) {
        const int code = sqlite3_errcode(db_) & 0xff;
        *error = HistorySqliteReason(code);
        Close();
        return code == SQLITE_NOTADB || code == SQLITE_CORRUPT ? HistoryOpenResult::kDamaged
                                                               : HistoryOpenResult::kFailed;
    }
    int failedCode = 0;
    if (!PrepareHistorySchema(db_, &text, &failedCode)) {
        const int code = (failedCode ? failedCode : sqlite3_errcode(db_)) & 0xff;
        // Our own checks (tables, version) explain themselves; SQLite's
        // refusals are said in the operator's words.
        *error = code == SQLITE_OK || code == SQLITE_DONE || code == SQLITE_ROW ? text : HistorySqliteReason(code);
        const bool damaged = code == SQLITE_OK || code == SQLITE_NOTADB || code == SQLITE_CORRUPT ||
                             code == SQLITE_ERROR || code == SQLITE_DONE || code == SQLITE_ROW;
        Close();
        return damaged ? HistoryOpenResult::kDamaged : HistoryOpenResult::kFailed;
    }
    if (!Prepare(error) || !bands_.Open(db_, error) || !slow_.Open(db_, error)) {
        // Statements that do not fit the tables: the file is not ours. A
        // busy or short machine is retried instead.
        const int code = sqlite3_errcode(db_) & 0xff;
        *error = HistorySqliteReason(code);
        Close();
        return code == SQLITE_ERROR || code == SQLITE_CORRUPT || code == SQLITE_NOTADB ? HistoryOpenResult::kDamaged
                                                                                       : HistoryOpenResult::kFailed;
    }
    presence_.clear();
    committedPresence_.clear();
    return HistoryOpenResult::kOk;
}

bool HistoryStore::Prepare(std::string *error)
{
    for (int i = 0; i < kStatementCount; ++i) {
        if (sqlite3_prepare_v3(db_, kStatementSql[i], -1, SQLITE_PREPARE_PERSISTENT, &statements_[i], nullptr) !=
            SQLITE_OK) {
            *error = sqlite3_errmsg(db_);
            return false;
        }
    }
    return true;
}

void HistoryStore::SetMaxPageCount(int64_t pages)
{
    if (!db_)
        return;
    const std::string sql = "PRAGMA max_page_count=" + std::to_string(pages > 0 ? pages : 4294967294LL);
    ExecHistorySql(db_, sql.c_str(), nullptr);
}

bool HistoryStore::Step(Statement s)
{
    sqlite3_stmt *st = statements_[s];
    const int rc = sqlite3_step(st);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    if (rc == SQLITE_DONE || rc == SQLITE_ROW)
        return true;
    if (!failedStep_) {
        failedStep_ = true;
        lastCode_ = rc;
    }
    return false;
}

HistoryStore::SensorState &HistoryStore::State(int32_t address)
{
    auto &slot = sensors_[address];
    if (!slot)
        slot = std::make_unique<SensorState>(address);
    return *slot;
}

bool HistoryStore::InsertRun(Statement insert, int32_t address, int count, int columns, const int64_t *times,
                             const float *values, int64_t *rowid, int level)
{
    EncodeHistoryBlock(times[0], count, columns, times, values, &blob_, level);
    sqlite3_stmt *st = statements_[insert];
    sqlite3_bind_int(st, 1, address);
    sqlite3_bind_int64(st, 2, times[0]);
    sqlite3_bind_int64(st, 3, times[count - 1]);
    sqlite3_bind_int(st, 4, count);
    sqlite3_bind_blob(st, 5, blob_.data(), int(blob_.size()), SQLITE_STATIC);
    if (!Step(insert))
        return false;
    if (rowid)
        *rowid = sqlite3_last_insert_rowid(db_);
    return true;
}

bool HistoryStore::FlushPieces(SensorState &s)
{
    if (s.rawCount <= s.rawStored)
        return true;
    int64_t rowid = 0;
    if (!InsertRun(kInsertRaw, s.address, s.rawCount - s.rawStored, kHistoryRawColumns, s.rawTimes + s.rawStored,
                   s.rawValues + size_t(s.rawStored) * kHistoryRawColumns, &rowid, 1))
        return false;
    s.pieces[s.pieceCount++] = rowid;
    s.rawStored = s.rawCount;
    return true;
}

bool HistoryStore::CloseRaw(SensorState &s)
{
    if (s.rawCount == 0)
        return true;
    // Pieces are packed at zlib's fastest level only: even a minute that is
    // one piece gets its fully packed run.
    bool ok = InsertRun(kInsertRaw, s.address, s.rawCount, kHistoryRawColumns, s.rawTimes, s.rawValues, nullptr);
    for (int i = 0; ok && i < s.pieceCount; ++i) {
        sqlite3_bind_int64(statements_[kDeleteRaw], 1, s.pieces[i]);
        ok = Step(kDeleteRaw);
    }
    s.rawKey = INT64_MIN;
    s.rawCount = s.rawStored = s.pieceCount = 0;
    return ok;
}

bool HistoryStore::AppendAggregate(SensorState &s, int level, int64_t entryUtcMs, const float *values)
{
    SensorState::AggregateRun &run = s.run[level];
    JoinAggregateRun(run, FloorDiv(entryUtcMs, kRunSpanMs[level]), kAggregateRunCapacity[level], entryUtcMs, values,
                     kHistoryAggregateColumns);
    if (run.rowid == 0)
        return InsertRun(level == 0 ? kInsertMinute : kInsertHour, s.address, run.count, kHistoryAggregateColumns,
                         run.times, run.values, &run.rowid);
    // The run of the current hour (day) grows by rewriting its one row.
    EncodeHistoryBlock(run.times[0], run.count, kHistoryAggregateColumns, run.times, run.values, &blob_);
    const Statement update = level == 0 ? kUpdateMinute : kUpdateHour;
    sqlite3_stmt *st = statements_[update];
    sqlite3_bind_int64(st, 1, run.rowid);
    sqlite3_bind_int64(st, 2, entryUtcMs);
    sqlite3_bind_int(st, 3, run.count);
    sqlite3_bind_blob(st, 4, blob_.data(), int(blob_.size()), SQLITE_STATIC);
    return Step(update);
}

bool HistoryStore::Emit(SensorState &s, int level)
{
    SensorState::Accumulator &a = s.acc[level];
    if (a.count == 0)
        return true;
    float values[kHistoryAggregateColumns];
    // A series without any value in the period (a sensor that had not
    // measured it yet) has no minimum, mean or maximum: NaN, never 0.
    for (int i = 0; i < kSteadySeriesCount; ++i) {
        const bool any = a.measured[i] > 0;
        values[i] = any ? a.min[i] : NAN;
        values[kSteadySeriesCount + i] = any ? float(a.sum[i] / a.measured[i]) : NAN;
        values[2 * kSteadySeriesCount + i] = any ? a.max[i] : NAN;
    }
    const int64_t start = a.key * kPeriodMs[level];
    a.count = 0;
    if (!AppendAggregate(s, level, start, values))
        return false;
    sqlite3_stmt *st = statements_[kProgress];
    sqlite3_bind_int(st, 1, s.address);
    sqlite3_bind_int64(st, 2, level == 0 ? start + kPeriodMs[0] : INT64_MIN);
    sqlite3_bind_int64(st, 3, level == 1 ? start + kPeriodMs[1] : INT64_MIN);
    return Step(kProgress);
}

void HistoryStore::Tick(SensorState &s, int level, int64_t utcMs, const float *values)
{
    SensorState::Accumulator &a = s.acc[level];
    const int64_t key = FloorDiv(utcMs, kPeriodMs[level]);
    if (a.count > 0 && a.key != key)
        Emit(s, level);
    if (a.count == 0) {
        a.key = key;
        std::fill(std::begin(a.min), std::end(a.min), std::numeric_limits<float>::infinity());
        std::fill(std::begin(a.max), std::end(a.max), -std::numeric_limits<float>::infinity());
        std::fill(std::begin(a.sum), std::end(a.sum), 0.0);
        std::fill(std::begin(a.measured), std::end(a.measured), 0);
    }
    for (int i = 0; i < kSteadySeriesCount; ++i) {
        if (std::isnan(values[i]))
            continue;  // not measured yet: neither a minimum of 0 nor a lower mean
        ++a.measured[i];
        a.min[i] = std::min(a.min[i], values[i]);
        a.max[i] = std::max(a.max[i], values[i]);
        a.sum[i] += double(values[i]);
    }
    ++a.count;
}

bool HistoryStore::Event(int64_t utcMs, int32_t address, HistoryEventKind kind, const std::string &detail)
{
    sqlite3_stmt *st = statements_[kEvent];
    sqlite3_bind_int64(st, 1, utcMs);
    sqlite3_bind_int(st, 2, address);
    sqlite3_bind_int(st, 3, int(kind));
    sqlite3_bind_text(st, 4, detail.c_str(), int(detail.size()), SQLITE_TRANSIENT);
    return Step(kEvent);
}

int HistoryStore::Process(const SteadySnapshot &snap)
{
    const int64_t t = snap.utcMs;
    // What belongs to another minute or hour is complete (or the clock
    // jumped): store it before this tick opens the new one. A sensor's
    // earlier windows of this tick may still belong to the last one.
    for (auto &[address, state] : sensors_) {
        int64_t first = t;
        for (int i = 0; i < snap.count; ++i)
            if (snap.sensors[i].address == address && snap.sensors[i].freshWindows > 0)
                FreshValues(snap.sensors[i], 0, t, &first);
        if (state->rawCount > 0 && state->rawKey != FloorDiv(first, kPeriodMs[0]))
            CloseRaw(*state);
        for (int level = 0; level < 2; ++level)
            if (state->acc[level].count > 0 && state->acc[level].key != FloorDiv(first, kPeriodMs[level]))
                Emit(*state, level);
    }
    for (auto &[address, p] : presence_) {
        if (!p.present)
            continue;
        bool still = false;
        for (int i = 0; i < snap.count && !still; ++i)
            still = snap.sensors[i].address == address;
        if (!still) {
            Event(t, address, HistoryEventKind::kDisconnected, "");
            p.present = false;
        }
    }
    for (int i = 0; i < snap.count; ++i) {
        const SteadySensorValues &v = snap.sensors[i];
        Presence &p = presence_[v.address];
        if (!p.present || p.generation != v.generation) {
            if (p.present)
                Event(t, v.address, HistoryEventKind::kDisconnected, "");
            char peer[40];
            std::snprintf(peer, sizeof peer, "%u.%u.%u.%u:%u", v.peerIp >> 24, (v.peerIp >> 16) & 255u,
                          (v.peerIp >> 8) & 255u, v.peerIp & 255u, unsigned(v.peerPort));
            Event(t, v.address, HistoryEventKind::kConnected, peer);
        } else if (p.samplingFrequency > 0 && v.samplingFrequency > 0 &&
                   p.samplingFrequency != v.samplingFrequency) {
            char change[64];
            std::snprintf(change, sizeof change, "%g -> %g", double(p.samplingFrequency),
                          double(v.samplingFrequency));
            Event(t, v.address, HistoryEventKind::kFrequencyChanged, change);
        }
        p.present = true;
        p.generation = v.generation;
        if (v.samplingFrequency > 0)
            p.samplingFrequency = v.samplingFrequency;

        // One entry per statistics window: a tick that found none stores
        // nothing, rather than the last window again.
        SensorState &s = State(v.address);
        for (int w = 0; w < v.freshWindows; ++w) {
            int64_t at = t;
            const float *values = FreshValues(v, w, t, &at);
            const int64_t minuteKey = FloorDiv(at, kPeriodMs[0]);
            if (s.rawCount > 0 && (at < s.rawTimes[s.rawCount - 1] || s.rawKey != minuteKey ||
                                   s.rawCount == kRawRunCapacity || s.pieceCount == kMaxPieces))
                CloseRaw(s);
            if (s.rawCount == 0)
                s.rawKey = minuteKey;
            s.rawTimes[s.rawCount] = at;
            std::copy(values, values + kSteadySeriesCount, s.rawValues + size_t(s.rawCount) * kHistoryRawColumns);
            ++s.rawCount;
            Tick(s, 0, at, values);
            Tick(s, 1, at, values);
        }
    }
    if ((!bands_.Process(snap) || !slow_.Process(snap)) && !failedStep_) {
        failedStep_ = true;
        lastCode_ = sqlite3_errcode(db_);
    }
    return failedStep_ ? lastCode_ : SQLITE_OK;
}

bool HistoryStore::Prune(int64_t now)
{
    if (lastPruneUtcMs_ != INT64_MIN && now >= lastPruneUtcMs_ && now - lastPruneUtcMs_ < kPruneEveryMs)
        return true;
    lastPruneUtcMs_ = now;
    const int64_t hourKeep = int64_t(std::llround(double(settings_.hourYears) * 365.2425 * double(kDayMs)));
    const struct {
        Statement s;
        int64_t keep;
    } steps[] = {
        {kPruneRaw, int64_t(settings_.rawDays) * kDayMs},
        {kPruneMinute, int64_t(settings_.minuteDays) * kDayMs},
        {kPruneHour, hourKeep},
        {kPruneEvents, hourKeep},
        {kPruneAlarms, hourKeep},
    };
    int deleted = 0;
    for (const auto &step : steps) {
        sqlite3_bind_int64(statements_[step.s], 1, now - step.keep);
        if (!Step(step.s))
            return false;
        deleted += sqlite3_changes(db_);
    }
    if (!bands_.Prune(now - int64_t(settings_.minuteDays) * kDayMs, now - hourKeep) ||
        !slow_.Prune(now - int64_t(settings_.minuteDays) * kDayMs, now - hourKeep)) {
        lastCode_ = sqlite3_errcode(db_);
        return false;
    }
    if (deleted == 0)
        return true;
    // Freed pages are reused by new rows; only a large surplus (a shorter
    // retention) is handed back to the file system, a little at a time.
    auto pragma = [&](const char *sql) {
        sqlite3_stmt *st = nullptr;
        int64_t v = 0;
        if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            v = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        return v;
    };
    const int64_t free = pragma("PRAGMA freelist_count");
    const int64_t pages = pragma("PRAGMA page_count");
    if (free > 256 && free > pages / 8)
        ExecHistorySql(db_, "PRAGMA incremental_vacuum(256)", nullptr);
    return true;
}

int HistoryStore::Fail(std::string *error)
{
    if (error)
        *error = sqlite3_errmsg(db_);
    int code = lastCode_ ? lastCode_ : sqlite3_errcode(db_);
    if (code == SQLITE_OK)
        code = SQLITE_ERROR;
    ExecHistorySql(db_, "ROLLBACK", nullptr);
    sensors_.clear();
    bands_.Reset();
    slow_.Reset();
    stateValid_ = false;
    presence_ = committedPresence_;
    return code;
}

int HistoryStore::WriteBatch(const SteadySnapshot *snapshots, int count, std::string *error, const AlarmEvent *alarms,
                             int alarmCount)
{
    if (!db_)
        return SQLITE_CANTOPEN;
    failedStep_ = false;
    lastCode_ = 0;
    if (!ExecHistorySql(db_, "BEGIN IMMEDIATE", error)) {
        lastCode_ = sqlite3_errcode(db_);
        return Fail(error);
    }
    if (!stateValid_) {
        sensors_.clear();
        if (!CatchUpAll())
            return Fail(error);
    }
    for (int i = 0; i < count; ++i)
        if (Process(snapshots[i]) != SQLITE_OK)
            return Fail(error);
    for (auto &[address, state] : sensors_)
        if (!FlushPieces(*state))
            return Fail(error);
    for (int i = 0; i < alarmCount; ++i) {
        const Statement which = alarms[i].captureLost ? kCaptureLost : kInsertAlarm;
        BindAlarmEvent(statements_[which], alarms[i]);
        if (!Step(which))
            return Fail(error);
    }
    if (count > 0 && !Prune(snapshots[count - 1].utcMs))
        return Fail(error);
    if (!ExecHistorySql(db_, "COMMIT", error)) {
        lastCode_ = sqlite3_errcode(db_);
        return Fail(error);
    }
    committedPresence_ = presence_;
    return SQLITE_OK;
}

int HistoryStore::Finish(int64_t utcMs, std::string *error)
{
    if (!db_)
        return SQLITE_CANTOPEN;
    failedStep_ = false;
    lastCode_ = 0;
    if (!ExecHistorySql(db_, "BEGIN IMMEDIATE", error)) {
        lastCode_ = sqlite3_errcode(db_);
        return Fail(error);
    }
    // The open minute and hour are left to the next start, which completes
    // them from the stored ticks (as after a kill): a restart within the
    // same minute then gives one entry, not two halves.
    for (auto &[address, state] : sensors_)
        CloseRaw(*state);
    for (auto &[address, p] : presence_)
        if (p.present) {
            Event(utcMs, address, HistoryEventKind::kDisconnected, "");
            p.present = false;
        }
    if (failedStep_ || !ExecHistorySql(db_, "COMMIT", error)) {
        if (!lastCode_)
            lastCode_ = sqlite3_errcode(db_);
        return Fail(error);
    }
    committedPresence_ = presence_;
    return SQLITE_OK;
}

}  // namespace tav
