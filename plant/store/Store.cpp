#include "plant/store/Store.h"

#include <libpq-fe.h>

#include <climits>
#include <cstdlib>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>

namespace tav::plant {

namespace {

constexpr int64_t kDayMs = 86400000;

std::string Join(const std::vector<std::string> &parts, const std::string &sep)
{
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i)
        out += (i ? sep : "") + parts[i];
    return out;
}

// The aggregate tables' columns: n, then min, max and mean of each series.
std::string AggregateColumnsDdl()
{
    std::vector<std::string> cols = {"station text not null", "address integer not null",
                                     "time timestamptz not null", "n integer not null"};
    for (const std::string &s : AggregateSeries())
        for (const char *f : {"_min", "_max", "_mean"})
            cols.push_back(s + f + " real");
    cols.push_back("primary key (station, address, time)");
    return Join(cols, ", ");
}

std::vector<std::string> SchemaV1()
{
    std::vector<std::string> steady;
    for (const auto &[name, type] : SteadyColumns())
        steady.push_back(name + " " + type);
    steady.push_back("primary key (station, address, time)");
    return {
        "create table stations (station text primary key, state text, state_since timestamptz,"
        " first_seen timestamptz not null, last_seen timestamptz not null)",
        // class: the machine class, once stations publish it; limits as the
        // alarm messages give them, keyed "quantity.axis.severity".
        "create table sensors (station text not null, address integer not null, name text, class text,"
        " limits jsonb not null default '{}', current_alarms jsonb, first_seen timestamptz not null,"
        " last_seen timestamptz not null, primary key (station, address))",
        "create table steady (" + Join(steady, ", ") + ") partition by range (time)",
        "create table steady_minute (" + AggregateColumnsDdl() + ") partition by range (time)",
        "create table steady_hour (" + AggregateColumnsDdl() + ") partition by range (time)",
        "create table alarm_events (station text not null, time timestamptz not null, alarm_id bigint not null,"
        " event text not null, event_text text, address integer not null, name text, quantity text not null,"
        " quantity_text text, axis text, severity text not null, value double precision,"
        " limit_value double precision, comment text, capture text, who text,"
        " primary key (station, time, alarm_id, event))",
        "create table connection_states (station text not null, address integer not null,"
        " time timestamptz not null, connected boolean not null, peer text,"
        " primary key (station, address, time, connected))",
        "create table station_states (station text not null, time timestamptz not null, state text not null,"
        " version text, started timestamptz, port integer, online_count integer,"
        " primary key (station, time, state))",
        // Minutes and hours with rows not yet in the aggregates: written with
        // the rows, so a restart never forgets one.
        "create table pending_minutes (station text not null, address integer not null,"
        " time timestamptz not null, primary key (station, address, time))",
        "create table pending_hours (station text not null, address integer not null,"
        " time timestamptz not null, primary key (station, address, time))",
    };
}

std::string YmdName(int64_t dayStartMs, int digits)
{
    const std::string t = SqlTime(dayStartMs);  // "YYYY-MM-DD ..."
    const std::string ymd = t.substr(0, 4) + t.substr(5, 2) + t.substr(8, 2);
    return ymd.substr(0, size_t(digits));
}

// Start of the month / year holding `dayStartMs`, and the next one.
int64_t FromYmd(int y, int m, int d)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT00:00:00Z", y, m, d);
    int64_t ms = 0;
    ParseIsoUtc(text, &ms);
    return ms;
}

// The end of a partition's range from its name's date digits.
int64_t PartitionEnd(const std::string &digits)
{
    const int y = std::stoi(digits.substr(0, 4));
    if (digits.size() == 4)
        return FromYmd(y + 1, 1, 1);
    const int m = std::stoi(digits.substr(4, 2));
    if (digits.size() == 6)
        return m == 12 ? FromYmd(y + 1, 1, 1) : FromYmd(y, m + 1, 1);
    return FromYmd(y, m, std::stoi(digits.substr(6, 2))) + kDayMs;
}

std::string Quoted(int64_t ms) { return "'" + SqlTime(ms) + "'"; }

}  // namespace

int64_t DayStart(int64_t utcMs)
{
    return (utcMs >= 0 ? utcMs / kDayMs : (utcMs - kDayMs + 1) / kDayMs) * kDayMs;
}

std::string SteadyPartition(int64_t dayStartMs) { return "steady_p" + YmdName(dayStartMs, 8); }

Store::~Store() { Close(); }

void Store::Close()
{
    if (conn_)
        PQfinish(conn_);
    conn_ = nullptr;
    partitionDays_.clear();
}

bool Store::Healthy() const { return conn_ && PQstatus(conn_) == CONNECTION_OK; }

Store::Result Store::Fail(std::string *error, const std::string &sqlState)
{
    if (error)
        *error = conn_ ? PQerrorMessage(conn_) : "no connection";
    while (error && !error->empty() && error->back() == '\n')
        error->pop_back();
    // A partition dropped behind the service's back is made again.
    partitionDays_.clear();
    if (!Healthy())
        return Result::kConnectionLost;
    PGresult *r = PQexec(conn_, "rollback");
    PQclear(r);
    // Only a fault in the rows themselves (a value or a constraint) is
    // theirs; disk full, shutdown, a missing table, anything else is the
    // database's and worth another try with every row kept.
    const std::string cls = sqlState.substr(0, 2);
    return Healthy() && (cls == "22" || cls == "23") ? Result::kBadData : Result::kConnectionLost;
}

namespace {

std::string SqlState(const PGresult *r)
{
    const char *state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    return state ? state : "";
}

}  // namespace

Store::Result Store::Exec(const std::string &sql, std::string *error, int64_t *rows)
{
    if (!Healthy())
        return Fail(error, "");
    PGresult *r = PQexec(conn_, sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        const std::string state = SqlState(r);
        PQclear(r);
        return Fail(error, state);
    }
    if (rows)
        *rows = std::atoll(PQcmdTuples(r));
    PQclear(r);
    return Result::kOk;
}

Store::Result Store::InsertTold(bool stationStates, std::string *error, int64_t *rows, std::vector<StoredAlarm> *alarms)
{
    if (!Healthy())
        return Fail(error, "");
    // "returning" names only the rows the key let in: a redelivered event
    // is skipped here and so is never told twice.
    PGresult *r = PQexec(
        conn_, stationStates
                   ? "insert into station_states select * from station_states_stage on conflict do nothing"
                     " returning station, (extract(epoch from time) * 1000)::bigint, state"
                   : "insert into alarm_events select * from alarm_events_stage on conflict do nothing"
                     " returning station, (extract(epoch from time) * 1000)::bigint, alarm_id, event, address, name,"
                     " quantity, quantity_text, axis, severity, value, limit_value, comment");
    if (PQresultStatus(r) != PGRES_TUPLES_OK) {
        const std::string state = SqlState(r);
        PQclear(r);
        return Fail(error, state);
    }
    const int n = PQntuples(r);
    *rows = n;
    for (int i = 0; i < n && alarms; ++i) {
        auto text = [&](int c) { return std::string(PQgetvalue(r, i, c), size_t(PQgetlength(r, i, c))); };
        StoredAlarm a;
        a.station = text(0);
        a.utcMs = std::atoll(PQgetvalue(r, i, 1));
        if (stationStates) {
            // A station gone (its last will): the whole station's alarms stop.
            if (text(2) != "offline")
                continue;
            a.event = "offline";
            a.address = -1;
            a.quantity = "station";
            a.severity = "offline";
            alarms->push_back(std::move(a));
            continue;
        }
        a.alarmId = std::atoll(PQgetvalue(r, i, 2));
        a.event = text(3);
        a.address = int32_t(std::atol(PQgetvalue(r, i, 4)));
        a.name = text(5);
        a.quantity = text(6);
        a.quantityText = text(7);
        a.axis = text(8);
        a.severity = text(9);
        a.hasValue = !PQgetisnull(r, i, 10);
        a.value = a.hasValue ? std::atof(PQgetvalue(r, i, 10)) : 0;
        a.hasLimit = !PQgetisnull(r, i, 11);
        a.limit = a.hasLimit ? std::atof(PQgetvalue(r, i, 11)) : 0;
        a.comment = text(12);
        alarms->push_back(std::move(a));
    }
    PQclear(r);
    return Result::kOk;
}

Store::Result Store::Copy(const std::string &table, const std::string &text, std::string *error)
{
    PGresult *r = PQexec(conn_, ("copy " + table + " from stdin").c_str());
    const bool ready = PQresultStatus(r) == PGRES_COPY_IN;
    std::string state = SqlState(r);
    PQclear(r);
    if (!ready)
        return Fail(error, state);
    bool ok = PQputCopyData(conn_, text.data(), int(text.size())) == 1;
    ok = PQputCopyEnd(conn_, nullptr) == 1 && ok;
    while ((r = PQgetResult(conn_)) != nullptr) {
        if (PQresultStatus(r) != PGRES_COMMAND_OK) {
            ok = false;
            state = SqlState(r);
        }
        PQclear(r);
    }
    return ok ? Result::kOk : Fail(error, state);
}

bool Store::Open(std::string *error)
{
    Close();
    conn_ = PQconnectdb(conninfo_.c_str());
    if (!Healthy()) {
        Fail(error, "");
        Close();
        return false;
    }
    PQsetNoticeProcessor(conn_, [](void *, const char *) {}, nullptr);
    if (Exec("set time zone 'UTC'", error) != Result::kOk ||
        Exec("create table if not exists schema_version (version integer not null)", error) != Result::kOk ||
        Exec("begin; lock table schema_version", error) != Result::kOk)
        return Close(), false;
    PGresult *r = PQexec(conn_, "select coalesce(max(version), 0) from schema_version");
    const int version = PQresultStatus(r) == PGRES_TUPLES_OK ? std::atoi(PQgetvalue(r, 0, 0)) : -1;
    PQclear(r);
    if (version < 0 || version > kSchemaVersion) {
        *error = version < 0 ? "无法读取 schema_version"
                             : "数据库的结构版本 " + std::to_string(version) + " 比本程序新，不写入";
        return Close(), false;
    }
    if (version < 1) {
        for (const std::string &sql : SchemaV1())
            if (Exec(sql, error) != Result::kOk)
                return Close(), false;
    }
    // Later versions migrate here, one step each, in this transaction.
    if (Exec("delete from schema_version; insert into schema_version values (" + std::to_string(kSchemaVersion) +
                 "); commit",
             error) != Result::kOk)
        return Close(), false;
    // Staging tables of this connection; emptied at every commit.
    const char *stages[] = {
        "create temp table steady_stage (like steady) on commit delete rows",
        "create temp table alarm_events_stage (like alarm_events) on commit delete rows",
        "create temp table connection_states_stage (like connection_states) on commit delete rows",
        "create temp table station_states_stage (like station_states) on commit delete rows",
        "create temp table sensors_stage (station text, address integer, has_name boolean, name text,"
        " limits jsonb, current_alarms jsonb, first timestamptz, seen timestamptz) on commit delete rows",
        "create temp table stations_stage (station text, state text, state_since timestamptz, first timestamptz,"
        " seen timestamptz)"
        " on commit delete rows",
    };
    for (const char *sql : stages)
        if (Exec(sql, error) != Result::kOk)
            return Close(), false;
    return true;
}

Store::Result Store::EnsurePartitions(int64_t day, std::string *error)
{
    if (partitionDays_.count(day))
        return Result::kOk;
    const std::string ymd = YmdName(day, 8);
    const int y = std::stoi(ymd.substr(0, 4)), m = std::stoi(ymd.substr(4, 2));
    const int64_t month = FromYmd(y, m, 1), year = FromYmd(y, 1, 1);
    const std::string sql =
        "create table if not exists " + SteadyPartition(day) + " partition of steady for values from (" +
        Quoted(day) + ") to (" + Quoted(day + kDayMs) + "); create table if not exists steady_minute_p" +
        ymd.substr(0, 6) + " partition of steady_minute for values from (" + Quoted(month) + ") to (" +
        Quoted(PartitionEnd(ymd.substr(0, 6))) + "); create table if not exists steady_hour_p" + ymd.substr(0, 4) +
        " partition of steady_hour for values from (" + Quoted(year) + ") to (" +
        Quoted(PartitionEnd(ymd.substr(0, 4))) + ")";
    const Result r = Exec(sql, error);
    if (r == Result::kOk)
        partitionDays_.insert(day);
    return r;
}

Store::Result Store::Write(const std::vector<Row> &rows, int64_t nowMs, int fullDays, int64_t *inserted,
                           int64_t *expired, std::string *error, std::vector<StoredAlarm> *alarms)
{
    std::vector<StoredAlarm> newAlarms;
    *inserted = 0;
    *expired = 0;
    std::string text[4];  // steady, alarm events, connection states, station states
    struct Sensor {
        int64_t first = INT64_MAX, seen = 0, nameTime = -1, alarmsTime = -1;
        bool hasName = false, nameNull = true;
        std::string name, alarms;
        nlohmann::json limits = nlohmann::json::object();
    };
    std::map<std::pair<std::string, int32_t>, Sensor> sensors;
    struct Station {
        int64_t first = INT64_MAX, seen = 0, stateTime = -1;
        std::string state;
    };
    std::map<std::string, Station> stations;
    // A row whose day the retention would drop at once is not written.
    const int64_t keepFrom = nowMs - int64_t(fullDays) * kDayMs;
    for (const Row &row : rows) {
        Station &st = stations[row.station];
        st.first = std::min(st.first, row.utcMs);
        st.seen = std::max(st.seen, row.utcMs);
        if (row.kind == RowKind::kStationState) {
            if (row.utcMs >= st.stateTime)
                st.stateTime = row.utcMs, st.state = row.state;
        } else if (row.address >= 0) {
            Sensor &s = sensors[{row.station, row.address}];
            s.first = std::min(s.first, row.utcMs);
            s.seen = std::max(s.seen, row.utcMs);
            if (row.hasName && row.utcMs >= s.nameTime)
                s.nameTime = row.utcMs, s.hasName = true, s.nameNull = row.nameNull, s.name = row.name;
            if (!row.alarms.empty() && row.utcMs >= s.alarmsTime)
                s.alarmsTime = row.utcMs, s.alarms = row.alarms;
            if (!row.limits.empty())
                s.limits.update(nlohmann::json::parse(row.limits, nullptr, false));
        }
        if (row.kind == RowKind::kSensorInfo)
            continue;
        if (row.kind == RowKind::kSteady) {
            if (DayStart(row.utcMs) + kDayMs <= keepFrom) {
                ++*expired;
                continue;
            }
            if (const Result r = EnsurePartitions(DayStart(row.utcMs), error); r != Result::kOk)
                return r;
        }
        if (row.copy.empty())
            continue;
        std::string &t = text[int(row.kind) - int(RowKind::kSteady)];
        t += row.copy;
        t += '\n';
    }
    std::string sensorText, stationText;
    for (const auto &[key, s] : sensors) {
        AppendCopyText(&sensorText, key.first);
        sensorText += "\t" + std::to_string(key.second) + (s.hasName ? "\tt\t" : "\tf\t");
        if (s.nameNull)
            sensorText += "\\N";
        else
            AppendCopyText(&sensorText, s.name);
        sensorText += "\t";
        AppendCopyText(&sensorText, s.limits.dump());
        sensorText += "\t";
        if (s.alarms.empty())
            sensorText += "\\N";
        else
            AppendCopyText(&sensorText, s.alarms);
        sensorText += "\t" + SqlTime(s.first) + "\t" + SqlTime(s.seen) + "\n";
    }
    for (const auto &[name, s] : stations) {
        AppendCopyText(&stationText, name);
        stationText += s.stateTime < 0 ? "\t\\N\t\\N\t" : "\t" + s.state + "\t" + SqlTime(s.stateTime) + "\t";
        stationText += SqlTime(s.first) + "\t" + SqlTime(s.seen) + "\n";
    }

    static const char *const kTables[4] = {"steady", "alarm_events", "connection_states", "station_states"};
    if (Result r = Exec("begin", error); r != Result::kOk)
        return r;
    for (int i = 0; i < 4; ++i) {
        if (text[i].empty())
            continue;
        const std::string table = kTables[i];
        int64_t n = 0;
        Result r = Copy(table + "_stage", text[i], error);
        if (r == Result::kOk && (i == 1 || i == 3))
            r = InsertTold(i == 3, error, &n, alarms ? &newAlarms : nullptr);
        else if (r == Result::kOk)
            r = Exec("insert into " + table + " select * from " + table + "_stage on conflict do nothing", error, &n);
        if (r == Result::kOk && i == 0)
            r = Exec("insert into pending_minutes select distinct station, address, date_trunc('minute', time)"
                     " from steady_stage on conflict do nothing",
                     error);
        if (r != Result::kOk)
            return r;
        *inserted += n;
    }
    Result r = Copy("stations_stage", stationText, error);
    if (r == Result::kOk)
        r = Exec("insert into stations select station, state, state_since, first, seen from stations_stage"
                 " on conflict do nothing;"
                 " update stations s set last_seen = greatest(s.last_seen, t.seen), first_seen = least(s.first_seen, t.first),"
                 " state = case when t.state is not null and t.state_since >= coalesce(s.state_since, '-infinity')"
                 " then t.state else s.state end,"
                 " state_since = case when t.state is not null and t.state_since >= coalesce(s.state_since,"
                 " '-infinity') then t.state_since else s.state_since end"
                 " from stations_stage t where s.station = t.station",
                 error);
    if (r == Result::kOk && !sensorText.empty())
        r = Copy("sensors_stage", sensorText, error);
    if (r == Result::kOk && !sensorText.empty())
        r = Exec("insert into sensors (station, address, name, limits, current_alarms, first_seen, last_seen)"
                 " select station, address, name, limits, current_alarms, first, seen from sensors_stage"
                 " on conflict do nothing;"
                 " update sensors s set last_seen = greatest(s.last_seen, t.seen), first_seen = least(s.first_seen, t.first),"
                 " name = case when t.has_name then t.name else s.name end, limits = s.limits || t.limits,"
                 " current_alarms = coalesce(t.current_alarms, s.current_alarms)"
                 " from sensors_stage t where s.station = t.station and s.address = t.address",
                 error);
    if (r == Result::kOk)
        r = Exec("commit", error);
    if (r == Result::kOk && alarms)
        alarms->insert(alarms->end(), std::make_move_iterator(newAlarms.begin()),
                       std::make_move_iterator(newAlarms.end()));
    return r;
}

// Sensor-minutes (or sensor-hours) aggregated per batch: 15,000 a minute at
// one batch a second, seven times what 50 stations of 40 sensors close.
constexpr int kAggregateShare = 250;

Store::Result Store::Aggregate(int64_t nowMs, std::string *error)
{
    std::vector<std::string> cols, minuteValues, hourValues, updates;
    for (const std::string &s : AggregateSeries()) {
        for (const char *f : {"_min", "_max", "_mean"}) {
            cols.push_back(s + f);
            updates.push_back(s + f + " = excluded." + s + f);
        }
        minuteValues.push_back("min(s." + s + "), max(s." + s + "), avg(s." + s + ")::real");
        hourValues.push_back("min(s." + s + "_min), max(s." + s + "_max), (sum(s." + s + "_mean * s.n) / sum(s.n)"
                             " filter (where s." + s + "_mean is not null))::real");
    }
    // A minute is built five seconds after it closed; its hour once the
    // hour closed and its last minute is built.
    auto step = [&](const char *pending, const char *source, const char *target, const char *span,
                    const char *next, const char *nextUnit, const std::vector<std::string> &values,
                    const char *count, int64_t closedBefore) {
        // A share of the closed minutes per batch, oldest first: a plant's
        // minute built at once holds the next write back by seconds.
        std::string sql = std::string("with closed as (delete from ") + pending +
                          " where (station, address, time) in (select station, address, time from " + pending +
                          " where time + interval '" + span + "' <= " + Quoted(closedBefore) +
                          " order by time limit " + std::to_string(kAggregateShare) +
                          ") returning station, address, time), built as (insert into " +
                          target + " (station, address, time, n, " + Join(cols, ", ") +
                          ") select c.station, c.address, c.time, " + count + ", " + Join(values, ", ") +
                          " from closed c join " + source +
                          " s on s.station = c.station and s.address = c.address and s.time >= c.time and s.time < "
                          "c.time + interval '" + span + "' group by c.station, c.address, c.time on conflict "
                          "(station, address, time) do update set n = excluded.n, " + Join(updates, ", ") +
                          " returning 1) ";
        if (next)
            sql += std::string("insert into ") + next + " select distinct station, address, date_trunc('" + nextUnit +
                   "', time) from closed on conflict do nothing";
        else
            sql += "select count(*) from built";
        return sql;
    };
    Result r = Exec("begin", error);
    if (r == Result::kOk)
        r = Exec(step("pending_minutes", "steady", "steady_minute", "1 minute", "pending_hours", "hour", minuteValues,
                      "count(*)", nowMs - 5000),
                 error);
    if (r == Result::kOk)
        r = Exec(step("pending_hours", "steady_minute", "steady_hour", "1 hour", nullptr, nullptr, hourValues,
                      "sum(s.n)", nowMs - 5000),
                 error);
    if (r == Result::kOk)
        r = Exec("commit", error);
    return r;
}

Store::Result Store::Expire(int64_t nowMs, const RetentionConfig &retention, std::vector<std::string> *dropped,
                            std::string *error)
{
    for (int64_t day : {DayStart(nowMs), DayStart(nowMs) + kDayMs})
        if (Result r = EnsurePartitions(day, error); r != Result::kOk)
            return r;
    struct Kind {
        const char *parent;
        int days;
    };
    const Kind kinds[] = {{"steady", retention.fullDays},
                          {"steady_minute", retention.minuteDays},
                          {"steady_hour", retention.hourDays}};
    for (const Kind &k : kinds) {
        PGresult *res = PQexec(conn_, (std::string("select c.relname from pg_inherits i join pg_class c on c.oid = "
                                                   "i.inhrelid join pg_class p on p.oid = i.inhparent where p.relname = '") +
                                       k.parent + "' order by 1")
                                          .c_str());
        if (PQresultStatus(res) != PGRES_TUPLES_OK) {
            const std::string state = SqlState(res);
            PQclear(res);
            return Fail(error, state);
        }
        std::vector<std::string> names;
        for (int i = 0; i < PQntuples(res); ++i)
            names.push_back(PQgetvalue(res, i, 0));
        PQclear(res);
        const std::string stem = std::string(k.parent) + "_p";
        // Whole days (months, years) past the retention: even the
        // partition's newest row is older than the period kept.
        const int64_t keepFrom = nowMs - int64_t(k.days) * kDayMs;
        for (const std::string &name : names) {
            const std::string digits = name.substr(stem.size());
            if (name.compare(0, stem.size(), stem) != 0 || digits.find_first_not_of("0123456789") != std::string::npos ||
                (digits.size() != 4 && digits.size() != 6 && digits.size() != 8))
                continue;
            if (PartitionEnd(digits) > keepFrom)
                continue;
            if (Result r = Exec("drop table " + name, error); r != Result::kOk)
                return r;
            dropped->push_back(name);
            if (k.parent == std::string("steady"))
                partitionDays_.erase(PartitionEnd(digits) - kDayMs);
        }
    }
    return Result::kOk;
}

}  // namespace tav::plant
