#pragma once
// The writer's side of history.sqlite: turns steady-state snapshots into
// packed runs, minute and hour aggregates and connection events, stores the
// alarm log, prunes what has expired and reads back what the 60-minute table
// needs after a restart.
//
// Thread rule: one thread only (the history writer's).
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/history/HistoryBands.h"
#include "core/history/HistoryReader.h"
#include "core/model/AlarmTypes.h"
#include "core/model/SteadySnapshot.h"
#include "core/settings/StationSettings.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tav {

enum class HistoryOpenResult { kOk, kDamaged, kFailed };

class HistoryStore {
public:
    explicit HistoryStore(const HistorySettings &settings);
    ~HistoryStore();
    HistoryStore(const HistoryStore &) = delete;
    HistoryStore &operator=(const HistoryStore &) = delete;

    // Opens or creates the file. kDamaged: not a history database this
    // station can use (the caller moves it aside); kFailed: cannot open.
    HistoryOpenResult Open(const std::string &path, std::string *error);
    void Close();
    bool IsOpen() const { return db_ != nullptr; }

    // Writes `count` snapshots and `alarmCount` alarm events in one
    // transaction. Returns SQLITE_OK, or the failing SQLite code after
    // rolling back: nothing of the batch is stored and the in-memory state
    // is rebuilt from the file on the next call.
    int WriteBatch(const SteadySnapshot *snapshots, int count, std::string *error, const AlarmEvent *alarms = nullptr,
                   int alarmCount = 0);
    // Stores the open minute and hour aggregates and marks every present
    // sensor disconnected at `utcMs` (the station stops).
    int Finish(int64_t utcMs, std::string *error);

    // Entries of `address` in the hour before `bindUtcMs`, one per 500 ms
    // by age: byAge[series][a] is the entry a ticks before the bind; ages
    // without an entry stay zero.
    bool ReadRefill(int32_t address, int64_t bindUtcMs, float (*byAge)[kSteadyHistoryLength]);

    // Runs met since the last call that do not unpack (the catch-up at the
    // first batch, a refill): they were skipped, the caller tells the operator.
    std::vector<HistoryDamagedBlock> TakeDamaged();

    // A page limit makes the file "full" (tests); 0 = SQLite's default.
    void SetMaxPageCount(int64_t pages);

    sqlite3 *Db() { return db_; }

private:
    struct SensorState;
    struct Presence {
        uint32_t generation = 0;
        float samplingFrequency = 0;
        bool present = false;
    };
    enum Statement {
        kInsertRaw, kInsertMinute, kInsertHour, kUpdateMinute, kUpdateHour, kDeleteRaw, kProgress,
        kEvent, kPruneRaw, kPruneMinute, kPruneHour, kPruneEvents, kInsertAlarm, kPruneAlarms, kCaptureLost,
        kStatementCount
    };

    bool Prepare(std::string *error);
    bool Step(Statement s);
    int Process(const SteadySnapshot &snapshot);
    SensorState &State(int32_t address);
    bool CatchUpAll();
    bool CatchUp(int32_t address, SensorState &state);
    void Tick(SensorState &state, int level, int64_t utcMs, const float *values);
    bool Emit(SensorState &state, int level);
    bool ReadProgress(int32_t address, int64_t *minuteEnd, int64_t *hourEnd);
    bool AppendAggregate(SensorState &state, int level, int64_t entryUtcMs, const float *values);
    bool CloseRaw(SensorState &state);
    bool FlushPieces(SensorState &state);
    bool InsertRun(Statement insert, int32_t address, int count, int columns, const int64_t *times,
                   const float *values, int64_t *rowid, int level = 6);
    bool Event(int64_t utcMs, int32_t address, HistoryEventKind kind, const std::string &detail);
    bool Prune(int64_t nowUtcMs);
    int Fail(std::string *error);

    HistorySettings settings_;
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *statements_[kStatementCount] = {};
    std::unordered_map<int32_t, std::unique_ptr<SensorState>> sensors_;
    bool stateValid_ = false;
    // Connection events: what the last stored snapshot said about each sensor.
    std::map<int32_t, Presence> presence_;
    std::map<int32_t, Presence> committedPresence_;
    int64_t lastPruneUtcMs_ = INT64_MIN;
    bool failedStep_ = false;
    int lastCode_ = 0;
    std::string blob_;
    std::vector<HistoryDamagedBlock> damaged_;
    BandHistory bands_;  // the band series' tables
    BandHistory slow_{kSlowLayout};  // slow machines' severity and displacement
};

}  // namespace tav
