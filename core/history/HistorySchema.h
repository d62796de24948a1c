#pragma once
// The layout of history.sqlite, shared by the writer and the readers.
//
// Three tables of packed runs, one per resolution, each row one sensor's run
// of entries (HistoryCodec): t0 and t1 are the first and last entry's UTC ms.
// A run never leaves its span (a UTC minute of ticks, a UTC hour of minute
// entries, a UTC day of hour entries), so a range query only looks one span
// back. Rows are never rewritten under another key: a clock that jumps back
// starts new rows beside the old ones.
//
// Version 2 adds alarm_events, the alarm log: one row per raise, clear,
// acknowledgement, offline, online and rate-limit note, kept as long as the
// hour aggregates. A version 1 file is brought to version 2 when the writer
// opens it; readers read both.
#include <cstdint>
#include <string>

struct sqlite3;

namespace tav {

constexpr int kHistorySchemaVersion = 2;  // 2: the alarm log (alarm_events)

struct HistoryTableInfo {
    const char *name;
    int columns;       // floats per entry
    int64_t spanMs;    // a row's entries lie within one such UTC span
};

// Indexed by HistoryResolution.
extern const HistoryTableInfo kHistoryTables[3];

// Creates the tables in an empty database, or checks the version of an
// existing one. False with a text when the file is not a history database
// this station can read (damaged or of a newer version). A version 1 file is
// brought to version 2; when that fails for want of the file (busy, full,
// unwritable), *failedCode receives SQLite's code of the failure.
// Whether the alarm log has its "who" column (files written before it was
// added gain it when a station next opens them for writing).
bool AlarmLogHasWho(sqlite3 *db);
bool PrepareHistorySchema(sqlite3 *db, std::string *error, int *failedCode = nullptr);

// Runs one statement without results; false with SQLite's text in *error.
bool ExecHistorySql(sqlite3 *db, const char *sql, std::string *error);

// Why SQLite refused the file, for the operator (its own texts are English).
std::string HistorySqliteReason(int code);

}  // namespace tav

namespace tav {
struct HistorySeries;
enum class HistoryResolution : int;
// Entries of `address` with fromUtcMs <= time < toUtcMs on an open
// connection, in time order (entries of equal time in the order stored).
// Runs that do not unpack are skipped and listed in out->damaged; false
// (with SQLite's text) only when the query itself fails.
bool ReadHistoryRange(sqlite3 *db, int32_t address, int64_t fromUtcMs, int64_t toUtcMs,
                      HistoryResolution resolution, HistorySeries *out, std::string *error);
}  // namespace tav
