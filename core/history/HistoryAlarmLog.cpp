#include "core/history/HistoryAlarmLog.h"

#include "core/history/HistorySchema.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace tav {

namespace {

struct KindKey {
    AlarmEventKind kind;
    const char *key;
};
const KindKey kKindKeys[] = {
    {AlarmEventKind::kRaise, "raise"},     {AlarmEventKind::kClear, "clear"},
    {AlarmEventKind::kAcknowledge, "ack"}, {AlarmEventKind::kOffline, "offline"},
    {AlarmEventKind::kOnline, "online"},   {AlarmEventKind::kRateLimited, "rate_limited"},
    {AlarmEventKind::kSettingsChanged, "settings_changed"},
};

struct SeverityKey {
    AlarmSeverity severity;
    const char *key;
};
const SeverityKey kSeverityKeys[] = {
    {AlarmSeverity::kAlert, "alert"},
    {AlarmSeverity::kDanger, "danger"},
    {AlarmSeverity::kOffline, "offline"},
    {AlarmSeverity::kSensorFault, "sensor_fault"},
    {AlarmSeverity::kChange, "change"},
};

const char *const kAxisKeys[3] = {"x", "y", "z"};

std::string Text(sqlite3_stmt *st, int column)
{
    const unsigned char *text = sqlite3_column_text(st, column);
    return text ? reinterpret_cast<const char *>(text) : "";
}

double Real(sqlite3_stmt *st, int column)
{
    return sqlite3_column_type(st, column) == SQLITE_NULL ? NAN : sqlite3_column_double(st, column);
}

bool HasAlarmTable(sqlite3 *db)
{
    sqlite3_stmt *st = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE type='table' AND name='alarm_events'", -1, &st,
                           nullptr) == SQLITE_OK)
        found = sqlite3_step(st) == SQLITE_ROW;
    sqlite3_finalize(st);
    return found;
}

}  // namespace

const char *AlarmEventKey(AlarmEventKind kind)
{
    for (const KindKey &k : kKindKeys)
        if (k.kind == kind)
            return k.key;
    return "";
}

const char *AlarmSeverityKey(AlarmSeverity severity)
{
    for (const SeverityKey &k : kSeverityKeys)
        if (k.severity == severity)
            return k.key;
    return "";
}

const char *AlarmAxisKey(int axis) { return axis >= 0 && axis < 3 ? kAxisKeys[axis] : ""; }

const char *AlarmQuantityLogKey(int quantity)
{
    return quantity == kOfflineQuantity      ? "connection"
           : quantity == kSensorFaultQuantity ? "sensor"
                                              : AlarmQuantityKey(quantity);
}

bool ParseAlarmEventKey(const std::string &key, AlarmEventKind *out)
{
    for (const KindKey &k : kKindKeys)
        if (key == k.key) {
            *out = k.kind;
            return true;
        }
    return false;
}

bool ParseAlarmSeverityKey(const std::string &key, AlarmSeverity *out)
{
    for (const SeverityKey &k : kSeverityKeys)
        if (key == k.key) {
            *out = k.severity;
            return true;
        }
    return false;
}

int ParseAlarmAxisKey(const std::string &key)
{
    for (int a = 0; a < 3; ++a)
        if (key == kAxisKeys[a])
            return a;
    return kNoAxis;
}

int ParseAlarmQuantityKey(const std::string &key)
{
    if (key == "connection")
        return kOfflineQuantity;
    if (key == "sensor")
        return kSensorFaultQuantity;
    if (key == AlarmQuantityKey(kIsoDisplacementQuantity))
        return kIsoDisplacementQuantity;
    for (int source = 0; source < kAlarmQuantityCount + kMaxBands; ++source) {
        const int q = source < kAlarmQuantityCount ? source : kBandQuantity + source - kAlarmQuantityCount;
        if (key == AlarmQuantityKey(q))
            return q;
    }
    return kUnknownQuantity;
}

const char kInsertAlarmEventSql[] =
    "INSERT INTO alarm_events(t,address,name,axis,quantity,value,limit_value,severity,event,comment,alarm_id,capture,"
    "who) VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13)";

const char kCaptureLostSql[] =
    "UPDATE alarm_events SET capture='', comment=CASE WHEN event<>'raise' THEN comment WHEN comment='' THEN ?10"
    " ELSE comment||'；'||?10 END WHERE capture=?12 AND ?12<>''";

void BindAlarmEvent(sqlite3_stmt *st, const AlarmEvent &e)
{
    if (e.captureLost) {
        sqlite3_bind_text(st, 10, e.comment.c_str(), int(e.comment.size()), SQLITE_STATIC);
        sqlite3_bind_text(st, 12, e.capture.c_str(), int(e.capture.size()), SQLITE_STATIC);
        return;
    }
    sqlite3_bind_int64(st, 1, e.utcMs);
    sqlite3_bind_int(st, 2, e.address);
    sqlite3_bind_text(st, 3, e.name.c_str(), int(e.name.size()), SQLITE_STATIC);
    sqlite3_bind_text(st, 4, AlarmAxisKey(e.axis), -1, SQLITE_STATIC);
    // A rate-limit note is about the sensor, not a quantity.
    sqlite3_bind_text(st, 5, e.kind == AlarmEventKind::kRateLimited ? "" : AlarmQuantityLogKey(e.quantity), -1,
                      SQLITE_STATIC);
    // NULL for none: an offline alarm has neither, and NaN is no SQL number.
    if (std::isfinite(e.value))
        sqlite3_bind_double(st, 6, e.value);
    else
        sqlite3_bind_null(st, 6);
    if (std::isfinite(e.limit))
        sqlite3_bind_double(st, 7, e.limit);
    else
        sqlite3_bind_null(st, 7);
    sqlite3_bind_text(st, 8, AlarmSeverityKey(e.severity), -1, SQLITE_STATIC);
    sqlite3_bind_text(st, 9, AlarmEventKey(e.kind), -1, SQLITE_STATIC);
    sqlite3_bind_text(st, 10, e.comment.c_str(), int(e.comment.size()), SQLITE_STATIC);
    sqlite3_bind_int64(st, 11, int64_t(e.alarmId));
    sqlite3_bind_text(st, 12, e.capture.c_str(), int(e.capture.size()), SQLITE_STATIC);
    sqlite3_bind_text(st, 13, e.user.c_str(), int(e.user.size()), SQLITE_STATIC);
}

int ForgetMissingCaptures(sqlite3 *db, const std::string &note)
{
    if (!HasAlarmTable(db))
        return 0;
    std::vector<std::string> missing;
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT DISTINCT capture FROM alarm_events WHERE capture<>''", -1, &st, nullptr) !=
        SQLITE_OK)
        return -1;
    int rc;
    struct stat info;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        const std::string path = Text(st, 0);
        const size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
        if (::stat(path.c_str(), &info) != 0 && errno == ENOENT && ::stat(folder.c_str(), &info) == 0)
            missing.push_back(path);
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_DONE)
        return -1;
    if (missing.empty())
        return 0;
    if (sqlite3_prepare_v2(db, kCaptureLostSql, -1, &st, nullptr) != SQLITE_OK)
        return -1;
    bool ok = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    AlarmEvent e;
    e.captureLost = true;
    e.comment = note;
    for (size_t i = 0; ok && i < missing.size(); ++i) {
        e.capture = missing[i];
        BindAlarmEvent(st, e);
        ok = sqlite3_step(st) == SQLITE_DONE;
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (!ok)
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return ok ? int(missing.size()) : -1;
}

bool ReadAlarmEvents(sqlite3 *db, const AlarmLogFilter &filter, std::vector<AlarmEvent> *out, bool *truncated,
                     std::string *error)
{
    out->clear();
    if (truncated)
        *truncated = false;
    if (!HasAlarmTable(db))
        return true;
    // Newest first with the row cap, so that the cap drops the oldest; the
    // result is turned round into time order below.
    const std::string sql =
        std::string("SELECT t,address,name,axis,quantity,value,limit_value,severity,event,comment,alarm_id,capture,") +
        (AlarmLogHasWho(db) ? "who" : "''") +
        " FROM alarm_events WHERE t>=?1 AND t<?2 AND (?3=0 OR address=?3) AND (?4='' OR severity=?4)"
        " ORDER BY t DESC, rowid DESC" +
        std::string(filter.maxRows > 0 ? " LIMIT ?5" : "");
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
        if (error)
            *error = sqlite3_errmsg(db);
        return false;
    }
    sqlite3_bind_int64(st, 1, filter.fromUtcMs);
    sqlite3_bind_int64(st, 2, filter.toUtcMs);
    sqlite3_bind_int(st, 3, filter.address);
    sqlite3_bind_text(st, 4, filter.severity ? AlarmSeverityKey(AlarmSeverity(filter.severity)) : "", -1,
                      SQLITE_STATIC);
    // One more than asked tells whether anything was cut off.
    if (filter.maxRows > 0)
        sqlite3_bind_int64(st, 5, int64_t(filter.maxRows) + 1);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        if (filter.maxRows > 0 && out->size() == filter.maxRows) {
            if (truncated)
                *truncated = true;
            continue;
        }
        AlarmEvent e;
        if (!ParseAlarmEventKey(Text(st, 8), &e.kind) || !ParseAlarmSeverityKey(Text(st, 7), &e.severity))
            continue;  // not written by this program: nothing sensible to show
        e.utcMs = sqlite3_column_int64(st, 0);
        e.address = sqlite3_column_int(st, 1);
        e.name = Text(st, 2);
        e.axis = ParseAlarmAxisKey(Text(st, 3));
        e.quantity = ParseAlarmQuantityKey(Text(st, 4));
        e.value = Real(st, 5);
        e.limit = Real(st, 6);
        e.comment = Text(st, 9);
        e.alarmId = uint64_t(sqlite3_column_int64(st, 10));
        e.capture = Text(st, 11);
        e.user = Text(st, 12);
        out->push_back(std::move(e));
    }
    const bool ok = rc == SQLITE_DONE;
    if (!ok && error)
        *error = sqlite3_errmsg(db);
    sqlite3_finalize(st);
    std::reverse(out->begin(), out->end());
    return ok;
}

bool ReadAlarmAddresses(sqlite3 *db, std::vector<int32_t> *out)
{
    out->clear();
    if (!HasAlarmTable(db))
        return true;
    sqlite3_stmt *st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT DISTINCT address FROM alarm_events ORDER BY address", -1, &st, nullptr) !=
        SQLITE_OK)
        return false;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW)
        out->push_back(sqlite3_column_int(st, 0));
    sqlite3_finalize(st);
    return rc == SQLITE_DONE;
}

bool ReadLatestAlarmNames(sqlite3 *db, std::vector<std::pair<int32_t, std::string>> *out)
{
    out->clear();
    if (!HasAlarmTable(db))
        return true;
    sqlite3_stmt *st = nullptr;
    // SQLite takes the bare column of the row that holds max(t).
    if (sqlite3_prepare_v2(db,
                           "SELECT address, name, max(t) FROM alarm_events WHERE name<>'' GROUP BY address"
                           " ORDER BY address",
                           -1, &st, nullptr) != SQLITE_OK)
        return false;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW)
        out->emplace_back(sqlite3_column_int(st, 0), Text(st, 1));
    sqlite3_finalize(st);
    return rc == SQLITE_DONE;
}

}  // namespace tav
