#include "core/history/HistorySchema.h"

#include <sqlite3.h>

#include "core/history/HistoryCodec.h"

namespace tav {

const HistoryTableInfo kHistoryTables[3] = {
    {"raw_runs", kHistoryRawColumns, 60'000},
    {"minute_runs", kHistoryAggregateColumns, 3'600'000},
    {"hour_runs", kHistoryAggregateColumns, 86'400'000},
};

bool ExecHistorySql(sqlite3 *db, const char *sql, std::string *error)
{
    char *text = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &text) == SQLITE_OK)
        return true;
    if (error)
        *error = text ? text : sqlite3_errmsg(db);
    sqlite3_free(text);
    return false;
}

std::string HistorySqliteReason(int code)
{
    switch (code & 0xff) {
    case SQLITE_CORRUPT: return "SQLite 报告文件结构损坏";
    case SQLITE_NOTADB: return "不是 SQLite 数据库文件";
    case SQLITE_FULL: return "磁盘已满";
    case SQLITE_IOERR: return "读写文件出错";
    case SQLITE_CANTOPEN: return "无法打开文件";
    case SQLITE_READONLY: return "文件只读";
    case SQLITE_PERM: return "没有访问权限";
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return "文件被占用";
    case SQLITE_NOMEM: return "内存不足";
    case SQLITE_ERROR: return "数据表结构不符";
    default: return "SQLite 错误码 " + std::to_string(code);
    }
}

namespace {
int UserVersion(sqlite3 *db, std::string *error)
{
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &st, nullptr) != SQLITE_OK) {
        *error = sqlite3_errmsg(db);
        return -1;
    }
    int version = -1;
    if (sqlite3_step(st) == SQLITE_ROW)
        version = sqlite3_column_int(st, 0);
    else
        *error = sqlite3_errmsg(db);
    sqlite3_finalize(st);
    return version;
}
}  // namespace

namespace {
// Version 2: the alarm log. Text keys rather than enum numbers, so that the
// rows keep their meaning whatever the program's enums become.
const char kAlarmEventsSql[] =
    "CREATE TABLE alarm_events(t INTEGER NOT NULL, address INTEGER NOT NULL, name TEXT NOT NULL,"
    " axis TEXT NOT NULL, quantity TEXT NOT NULL, value REAL, limit_value REAL, severity TEXT NOT NULL,"
    " event TEXT NOT NULL, comment TEXT NOT NULL, alarm_id INTEGER NOT NULL, capture TEXT NOT NULL,"
    " who TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX alarm_events_t ON alarm_events(t);"
    "CREATE INDEX alarm_events_at ON alarm_events(address, t);";

// The tables of the first version: packed runs, connection events and the
// aggregates' progress.
const char kFirstTablesSql[] =
    "CREATE TABLE raw_runs(address INTEGER NOT NULL, t0 INTEGER NOT NULL, t1 INTEGER NOT NULL,"
    " n INTEGER NOT NULL, data BLOB NOT NULL);"
    "CREATE INDEX raw_runs_at ON raw_runs(address, t0);"
    "CREATE INDEX raw_runs_end ON raw_runs(t1);"
    "CREATE TABLE minute_runs(address INTEGER NOT NULL, t0 INTEGER NOT NULL, t1 INTEGER NOT NULL,"
    " n INTEGER NOT NULL, data BLOB NOT NULL);"
    "CREATE INDEX minute_runs_at ON minute_runs(address, t0);"
    "CREATE INDEX minute_runs_end ON minute_runs(t1);"
    "CREATE TABLE hour_runs(address INTEGER NOT NULL, t0 INTEGER NOT NULL, t1 INTEGER NOT NULL,"
    " n INTEGER NOT NULL, data BLOB NOT NULL);"
    "CREATE INDEX hour_runs_at ON hour_runs(address, t0);"
    "CREATE INDEX hour_runs_end ON hour_runs(t1);"
    "CREATE TABLE events(t INTEGER NOT NULL, address INTEGER NOT NULL, kind INTEGER NOT NULL,"
    " detail TEXT NOT NULL);"
    "CREATE INDEX events_t ON events(t);"
    // Where each sensor's aggregates stand: ticks at or after
    // these times are not in a stored minute or hour entry yet.
    "CREATE TABLE progress(address INTEGER PRIMARY KEY, minute_end INTEGER NOT NULL,"
    " hour_end INTEGER NOT NULL);";

}  // namespace

bool AlarmLogHasWho(sqlite3 *db)
{
    sqlite3_stmt *st = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(db, "SELECT 1 FROM pragma_table_info('alarm_events') WHERE name='who'", -1, &st,
                           nullptr) == SQLITE_OK)
        found = sqlite3_step(st) == SQLITE_ROW;
    sqlite3_finalize(st);
    return found;
}

bool PrepareHistorySchema(sqlite3 *db, std::string *error, int *failedCode)
{
    const int version = UserVersion(db, error);
    if (version < 0)
        return false;
    if (version == 1) {
        // A station of the first version's file keeps everything it holds
        // and gains the alarm log. BEGIN IMMEDIATE: a second writer that
        // migrates at the same moment waits and then finds version 2.
        const std::string sql = std::string("BEGIN IMMEDIATE;") + kAlarmEventsSql + "PRAGMA user_version=2;COMMIT;";
        if (!ExecHistorySql(db, sql.c_str(), error)) {
            // The code is taken before the rollback clears it: a busy or
            // full file must be retried, never taken for a damaged one.
            if (failedCode)
                *failedCode = sqlite3_errcode(db);
            if (!sqlite3_get_autocommit(db))
                ExecHistorySql(db, "ROLLBACK", nullptr);
            return false;
        }
        return PrepareHistorySchema(db, error, failedCode);
    }
    if (version == kHistorySchemaVersion) {
        // A file of our version whose tables are gone is damaged, not new.
        sqlite3_stmt *st = nullptr;
        int tables = 0;
        if (sqlite3_prepare_v2(db,
                               "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN "
                               "('raw_runs','minute_runs','hour_runs','events','progress','alarm_events')",
                               -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW)
            tables = sqlite3_column_int(st, 0);
        sqlite3_finalize(st);
        if (tables != 6) {
            *error = "数据表不完整";
            return false;
        }
        // Who acknowledged came later than the version: a column with a
        // default, so that an older station writing the same file still can
        // and readers that name their columns never notice.
        if (!AlarmLogHasWho(db) &&
            !ExecHistorySql(db, "ALTER TABLE alarm_events ADD COLUMN who TEXT NOT NULL DEFAULT ''", error)) {
            if (failedCode)
                *failedCode = sqlite3_errcode(db);
            return false;
        }
        return true;
    }
    if (version != 0) {
        *error = "未知的版本 " + std::to_string(version);
        return false;
    }
    // Version 0: new, unless something else already lives in the file.
    sqlite3_stmt *st = nullptr;
    int objects = -1;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
        objects = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
    if (objects != 0) {
        *error = objects < 0 ? sqlite3_errmsg(db) : "不是历史数据库";
        return false;
    }
    // Incremental vacuum lets the pruning hand freed pages back to the file
    // system a few at a time; it must be chosen before the first table.
    const std::string sql = std::string("PRAGMA auto_vacuum=INCREMENTAL;BEGIN;") + kFirstTablesSql + kAlarmEventsSql +
                            "PRAGMA user_version=2;COMMIT;";
    return ExecHistorySql(db, sql.c_str(), error);
}

}  // namespace tav
