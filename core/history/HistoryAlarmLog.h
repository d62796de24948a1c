#pragma once
// The alarm log in history.sqlite (table alarm_events): alarm events stored
// with text keys ("raise", "alert", "velocity", "x") and read back as the
// AlarmEvent the engine emitted.
//
// Functions taking a connection run on the thread that owns it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/model/AlarmTypes.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tav {

// "raise", "clear", "ack", "offline", "online", "rate_limited", "settings_changed".
const char *AlarmEventKey(AlarmEventKind kind);
// "alert", "danger", "offline".
const char *AlarmSeverityKey(AlarmSeverity severity);
// "x", "y", "z", or "" for none.
const char *AlarmAxisKey(int axis);
// The quantity's key in station.toml ("velocity", ...), "connection" for offline.
const char *AlarmQuantityLogKey(int quantity);

// The reverse; false for a key this program does not know (a newer
// station's), which leaves *out as it was.
bool ParseAlarmEventKey(const std::string &key, AlarmEventKind *out);
bool ParseAlarmSeverityKey(const std::string &key, AlarmSeverity *out);
int ParseAlarmAxisKey(const std::string &key);          // kNoAxis when unknown
int ParseAlarmQuantityKey(const std::string &key);      // kOfflineQuantity for "connection", -2 when unknown

constexpr int kUnknownQuantity = -2;

// The insert statement; bound by BindAlarmEvent.
extern const char kInsertAlarmEventSql[];
// The correction for a capture that could not be kept: the events naming
// `capture` name none, and the one that raised the alarm says why in its
// comment. Bound by BindAlarmEvent too (?12 the path, ?10 the note).
extern const char kCaptureLostSql[];
// Binds `e` to a statement prepared from kInsertAlarmEventSql or kCaptureLostSql.
void BindAlarmEvent(sqlite3_stmt *st, const AlarmEvent &e);

// Captures the log names that were never written (a kill while one was
// under way): a name in a folder that exists with no file under it. They
// are corrected as by kCaptureLostSql with `note`; a name whose folder has
// gone (the data folder moved) is left alone. Returns how many, -1 on error.
// Only before this run has asked for any capture.
int ForgetMissingCaptures(sqlite3 *db, const std::string &note);

struct AlarmLogFilter {
    int32_t address = 0;  // 0 = every sensor
    int64_t fromUtcMs = 0;
    int64_t toUtcMs = INT64_MAX;
    int severity = 0;     // an AlarmSeverity value, 0 = all
    size_t maxRows = 0;   // 0 = no limit; else the newest maxRows of the range
};

// Events with fromUtcMs <= time < toUtcMs, in time order (equal times in the
// order stored). *truncated (may be null) says whether maxRows cut older
// ones off. A file without the alarm log (version 1) has none. False with
// SQLite's text in *error.
bool ReadAlarmEvents(sqlite3 *db, const AlarmLogFilter &filter, std::vector<AlarmEvent> *out, bool *truncated,
                     std::string *error);
// Sensor addresses that have alarm events, ascending.
bool ReadAlarmAddresses(sqlite3 *db, std::vector<int32_t> *out);
// The name each address had at its newest event that named it.
bool ReadLatestAlarmNames(sqlite3 *db, std::vector<std::pair<int32_t, std::string>> *out);

}  // namespace tav
