#include "plant/web/Queries.h"
#include "plant/web/QuerySupport.h"

#include <libpq-fe.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "core/history/HistoryCsv.h"
#include "core/model/AlarmTypes.h"
#include "plant/ingest/CopyText.h"
#include "plant/ingest/Message.h"

namespace tav::plant {

using json = nlohmann::json;

namespace sql {

constexpr int kMaxEvents = 5000;

// Runs `sql` with text parameters (null pointers are SQL NULL).
Answer Query(PgPool &pool, const std::string &sql, const std::vector<const char *> &params, Result *out)
{
    std::string error;
    pg_conn *conn = pool.Take(&error);
    if (!conn)
        return {503, "数据库不可用：" + error};
    Result r(PQexecParams(conn, sql.c_str(), int(params.size()), nullptr, params.data(), nullptr, nullptr, 0),
             PQclear);
    if (PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
        error = PQerrorMessage(conn);
        pool.Give(conn);
        return {503, "读取数据库失败：" + error};
    }
    pool.Give(conn);
    *out = std::move(r);
    return {};
}

json Number(const PGresult *r, int row, int col)
{
    if (PQgetisnull(r, row, col))
        return nullptr;
    const double v = std::strtod(PQgetvalue(r, row, col), nullptr);
    return std::isfinite(v) ? json(v) : json(nullptr);
}

std::string Text(const PGresult *r, int row, int col) { return PQgetvalue(r, row, col); }

// A numeric column as a JSON array, each value as the database wrote it
// (its shortest exact text); NULL, NaN and the infinities as null.
void AppendColumn(const PGresult *r, int col, std::string *out)
{
    *out += '[';
    for (int i = 0, n = PQntuples(r); i < n; ++i) {
        if (i)
            *out += ',';
        const char *v = PQgetvalue(r, i, col);
        const char first = v[0] == '-' ? v[1] : v[0];
        if (PQgetisnull(r, i, col) || first < '0' || first > '9')
            *out += "null";
        else
            *out += v;
    }
    *out += ']';
}

std::string Get(const Params &p, const char *key)
{
    auto it = p.find(key);
    return it == p.end() ? "" : it->second;
}

// A non-negative integer of at most `digits` digits.
bool Digits(const std::string &text, size_t digits, int64_t *out)
{
    if (text.empty() || text.size() > digits || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *out = std::stoll(text);
    return true;
}

// from/to as ms UTC; `defaultSpanMs` back from `to` when from is absent.
bool TimeRange(const Params &p, int64_t nowMs, int64_t defaultSpanMs, int64_t *from, int64_t *to, Answer *refusal)
{
    *to = nowMs;
    if (!Get(p, "to").empty() && !Digits(Get(p, "to"), 15, to)) {
        *refusal = {400, "to 应为毫秒时间"};
        return false;
    }
    *from = *to - defaultSpanMs;
    if (!Get(p, "from").empty() && !Digits(Get(p, "from"), 15, from)) {
        *refusal = {400, "from 应为毫秒时间"};
        return false;
    }
    if (*from > *to) {
        *refusal = {400, "起始时间晚于结束时间"};
        return false;
    }
    return true;
}

std::string CsvField(const std::string &field)
{
    if (field.find_first_of(",\"\r\n") == std::string::npos)
        return field;
    std::string out = "\"";
    for (char c : field)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string CsvTime(int64_t utcMs)
{
    char when[24];
    FormatHistoryTime(utcMs, when);
    return std::string(when, 23);
}

std::string CsvNumber(const json &v)
{
    if (!v.is_number())
        return "";
    char out[32];
    std::snprintf(out, sizeof out, "%g", v.get<double>());
    return out;
}

// Excel opens UTF-8 as such only with the byte order mark.
const char kBom[] = "\xEF\xBB\xBF";

const std::map<std::string, int> kSeverityRank = {{"danger", 4}, {"alert", 3}, {"offline", 2}, {"sensor_fault", 1},
                                                  {"ok", 0}};

const char *SeverityWord(const std::string &key)
{
    static const std::map<std::string, const char *> kTexts = {
        {"danger", "危险"}, {"alert", "警告"}, {"offline", "离线"}, {"sensor_fault", "传感器故障"},
        {"change", "变化"}, {"ok", "正常"}};
    auto it = kTexts.find(key);
    return it == kTexts.end() ? "" : it->second;
}

// The steady column a limit's quantity is judged on, per axis.
const std::map<std::string, std::string> kQuantityColumn = {
    {"velocity", "iso_v"},          {"acceleration_rms", "ar"},  {"acceleration_peak", "ap"},
    {"kurtosis", "ak"},             {"displacement_peak", "dp"}, {"displacement_rms", "dr"}};

}  // namespace sql

using namespace sql;

PgPool::~PgPool()
{
    for (pg_conn *c : idle_)
        PQfinish(c);
}

pg_conn *PgPool::Take(std::string *error)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!freed_.wait_for(lock, std::chrono::seconds(10), [this] { return !idle_.empty() || open_ < max_; })) {
        *error = "连接全忙";
        return nullptr;
    }
    if (!idle_.empty()) {
        pg_conn *c = idle_.back();
        idle_.pop_back();
        if (PQstatus(c) == CONNECTION_OK)
            return c;
        PQfinish(c);
        --open_;
    }
    ++open_;
    lock.unlock();
    pg_conn *c = PQconnectdb(conninfo_.c_str());
    // Read-only, in UTC, and no query may hold a page (or a thread) for long.
    PGresult *set = PQstatus(c) == CONNECTION_OK
                        ? PQexec(c, "set default_transaction_read_only = on; set statement_timeout = 15000;"
                                    " set time zone 'UTC'")
                        : nullptr;
    const bool ready = PQresultStatus(set) == PGRES_COMMAND_OK;
    PQclear(set);
    if (!ready) {
        *error = PQerrorMessage(c);
        PQfinish(c);
        lock.lock();
        --open_;
        freed_.notify_one();
        return nullptr;
    }
    return c;
}

void PgPool::Give(pg_conn *conn)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (PQstatus(conn) == CONNECTION_OK && PQtransactionStatus(conn) == PQTRANS_IDLE) {
        idle_.push_back(conn);
    } else {
        PQfinish(conn);
        --open_;
    }
    freed_.notify_one();
}

const char *ResolutionOfSpan(int64_t spanMs)
{
    return spanMs <= 6 * kHourMs ? "raw" : spanMs <= 30 * kDayMs ? "minute" : "hour";
}


Answer Series(PgPool &pool, const Params &params, Format format, int64_t nowMs)
{
    Answer refusal;
    int64_t from = 0, to = 0, address = 0;
    if (!TimeRange(params, nowMs, kHourMs, &from, &to, &refusal))
        return refusal;
    const std::string station = Get(params, "station");
    if (station.empty() || !Digits(Get(params, "address"), 9, &address))
        return {400, "需要 station 与 address"};
    const std::vector<std::string> known = AggregateSeries();
    std::vector<std::string> series;
    std::string list = Get(params, "series").empty() ? "x_vr,y_vr,z_vr" : Get(params, "series");
    for (size_t start = 0; start <= list.size();) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos)
            comma = list.size();
        const std::string s = list.substr(start, comma - start);
        if (std::find(known.begin(), known.end(), s) == known.end())
            return {400, "未知的序列 " + s.substr(0, 40)};
        if (std::find(series.begin(), series.end(), s) == series.end())
            series.push_back(s);
        start = comma + 1;
    }
    if (series.size() > 8)
        return {400, "一次最多 8 个序列"};
    std::string resolution = Get(params, "resolution");
    if (resolution.empty() || resolution == "auto")
        resolution = ResolutionOfSpan(to - from);
    if (resolution != "raw" && resolution != "minute" && resolution != "hour")
        return {400, "无效的分辨率"};
    const bool raw = resolution == "raw";
    int64_t points = 0;
    if (!Get(params, "points").empty() && (!Digits(Get(params, "points"), 6, &points) || points < 1))
        return {400, "points 应为正整数"};
    // A chart a few hundred pixels wide asks for about a point a pixel: the
    // span's aggregates merged in as many equal parts, each keeping its
    // lowest min and highest max. A month of minutes is then a tenth of the
    // reading and a thirtieth of the text. CSV keeps every row.
    const bool merged = !raw && points > 0 && format == Format::kJson && to > from;
    std::string cols;
    for (const std::string &s : series)
        cols += raw      ? ", " + s
                : merged ? ", min(" + s + "_min), avg(" + s + "_mean)::real, max(" + s + "_max)"
                         : ", " + s + "_min, " + s + "_mean, " + s + "_max";
    const std::string table = raw ? "steady" : resolution == "minute" ? "steady_minute" : "steady_hour";
    const std::string stationText = station, addressText = std::to_string(address), fromText = SqlTime(from),
                      toText = SqlTime(to), fromS = std::to_string(from / 1000.0),
                      toS = std::to_string((to + 1) / 1000.0), pointsText = std::to_string(points);
    const std::string where = " from " + table +
                              " where station = $1 and address = $2 and time >= $3::timestamptz and time <= "
                              "$4::timestamptz";
    // Bounded: a year of minutes asked for by hand stops at this many. The
    // parts end a millisecond after `to`, so a row at `to` is in the last.
    const std::string sql =
        merged ? "select (extract(epoch from min(time)) * 1000)::bigint" + cols + where +
                     " group by width_bucket(extract(epoch from time)::float8, $5::float8, $6::float8, $7::integer)"
                     " order by 1"
               : "select (extract(epoch from time) * 1000)::bigint" + cols + where + " order by time limit 200000";
    std::vector<const char *> args = {stationText.c_str(), addressText.c_str(), fromText.c_str(), toText.c_str()};
    if (merged)
        args.insert(args.end(), {fromS.c_str(), toS.c_str(), pointsText.c_str()});
    Result r(nullptr, PQclear);
    Answer a = Query(pool, sql, args, &r);
    if (a.status != 200)
        return a;
    const int n = PQntuples(r.get());
    if (format == Format::kCsv) {
        std::string csv = std::string(kBom) + "时间";
        for (const std::string &s : series)
            csv += raw ? "," + s : "," + s + "_min," + s + "_mean," + s + "_max";
        csv += "\r\n";
        for (int i = 0; i < n; ++i) {
            csv += CsvTime(std::atoll(PQgetvalue(r.get(), i, 0)));
            for (int c = 1; c < PQnfields(r.get()); ++c)
                csv += "," + CsvNumber(Number(r.get(), i, c));
            csv += "\r\n";
        }
        return {200, csv};
    }
    // A month of minutes is 43,200 rows of up to 24 numbers: written out
    // as the database's own text, not built value by value.
    std::string body = json{{"station", station}, {"address", address}, {"from", from}, {"to", to},
                            {"resolution", resolution}}
                           .dump(-1, ' ', false, json::error_handler_t::replace);
    body.pop_back();
    body.reserve(body.size() + size_t(n) * size_t(PQnfields(r.get())) * 12 + 256);
    body += ",\"time\":";
    AppendColumn(r.get(), 0, &body);
    body += ",\"series\":{";
    const std::vector<std::string> parts =
        raw ? std::vector<std::string>{"value"} : std::vector<std::string>{"min", "mean", "max"};
    for (size_t k = 0; k < series.size(); ++k) {
        body += (k ? ",\"" : "\"") + series[k] + "\":{";
        for (size_t p = 0; p < parts.size(); ++p) {
            body += (p ? ",\"" : "\"") + parts[p] + "\":";
            AppendColumn(r.get(), int(1 + k * parts.size() + p), &body);
        }
        body += "}";
    }
    body += "}}";
    return {200, std::move(body)};
}

Answer Alarms(PgPool &pool, const Params &params, Format format, int64_t nowMs)
{
    Answer refusal;
    int64_t from = 0, to = 0, address = -1;
    if (!TimeRange(params, nowMs, 7 * kDayMs, &from, &to, &refusal))
        return refusal;
    if (!Get(params, "address").empty() && !Digits(Get(params, "address"), 9, &address))
        return {400, "address 应为整数"};
    const std::string station = Get(params, "station"), severity = Get(params, "severity");
    if (!severity.empty() && severity != "change" && !kSeverityRank.count(severity))
        return {400, "无效的级别"};
    const std::string addressText = std::to_string(address), fromText = SqlTime(from), toText = SqlTime(to);
    const std::vector<const char *> args = {station.empty() ? nullptr : station.c_str(),
                                            address < 0 ? nullptr : addressText.c_str(),
                                            severity.empty() ? nullptr : severity.c_str(), fromText.c_str(),
                                            toText.c_str()};
    const std::string where = " where ($1::text is null or station = $1) and ($2::integer is null or address = $2)";
    Result events(nullptr, PQclear);
    Answer a = Query(pool,
                     "select station, (extract(epoch from time) * 1000)::bigint, alarm_id, event, event_text, address,"
                     " name, quantity, quantity_text, axis, severity, value, limit_value, comment, who from alarm_events" +
                         where + " and ($3::text is null or severity = $3) and time >= $4::timestamptz and time <= "
                                 "$5::timestamptz order by time desc limit " + std::to_string(kMaxEvents),
                     args, &events);
    if (a.status != 200)
        return a;
    Result lists(nullptr, PQclear);
    a = Query(pool, "select station, current_alarms::text from sensors" + where +
                        " and current_alarms is not null order by station, address",
              {args[0], args[1]}, &lists);
    if (a.status != 200)
        return a;
    json active = json::array();
    for (int i = 0; i < PQntuples(lists.get()); ++i) {
        const json list = json::parse(Text(lists.get(), i, 1), nullptr, false);
        if (!list.is_array())
            continue;
        for (json item : list) {
            if (!item.is_object() || (!severity.empty() && item.value("severity", "") != severity))
                continue;
            item["station"] = Text(lists.get(), i, 0);
            active.push_back(std::move(item));
        }
    }
    json past = json::array();
    const PGresult *e = events.get();
    for (int i = 0; i < PQntuples(e); ++i) {
        auto text = [&](int c) { return PQgetisnull(e, i, c) ? json(nullptr) : json(Text(e, i, c)); };
        past.push_back({{"station", Text(e, i, 0)}, {"time", std::atoll(PQgetvalue(e, i, 1))},
                        {"alarm_id", std::atoll(PQgetvalue(e, i, 2))}, {"event", text(3)}, {"event_text", text(4)},
                        {"address", std::atoi(PQgetvalue(e, i, 5))}, {"name", text(6)}, {"quantity", text(7)},
                        {"quantity_text", text(8)}, {"axis", text(9)}, {"severity", text(10)},
                        {"value", Number(e, i, 11)}, {"limit", Number(e, i, 12)}, {"comment", text(13)},
                        {"who", text(14)}});
    }
    if (format == Format::kJson)
        return {200, json{{"active", active}, {"events", past}, {"truncated", PQntuples(e) >= kMaxEvents}}.dump(
                         -1, ' ', false, json::error_handler_t::replace)};
    // The station's alarm log, with the station in front; oldest first as there.
    std::string csv = std::string(kBom) + "站点," + kAlarmLogCsvHeader + "\r\n";
    auto str = [](const json &v) { return v.is_string() ? v.get<std::string>() : std::string(); };
    for (auto it = past.rbegin(); it != past.rend(); ++it) {
        const json &p = *it;
        const std::string axis = str(p["axis"]);
        csv += CsvField(str(p["station"])) + "," + CsvTime(p["time"].get<int64_t>()) + "," +
               std::to_string(p["address"].get<int>()) + "," + CsvField(str(p["name"])) + "," +
               AxisText(axis == "x" ? 0 : axis == "y" ? 1 : axis == "z" ? 2 : kNoAxis) + "," + CsvField(str(p["quantity_text"])) + "," +
               CsvNumber(p["value"]) + "," + CsvNumber(p["limit"]) + "," + SeverityWord(str(p["severity"])) + "," +
               CsvField(str(p["event_text"])) + "," + CsvField(str(p["comment"])) + "\r\n";
    }
    return {200, csv};
}

Answer Stations(PgPool &pool)
{
    Result r(nullptr, PQclear);
    Answer a = Query(pool,
                     "select s.station, s.state, (extract(epoch from s.last_seen) * 1000)::bigint,"
                     " (select count(*) from sensors m where m.station = s.station) from stations s order by 1",
                     {}, &r);
    if (a.status != 200)
        return a;
    json out = json::array();
    for (int i = 0; i < PQntuples(r.get()); ++i)
        out.push_back({{"station", Text(r.get(), i, 0)}, {"state", Text(r.get(), i, 1)},
                       {"last_seen", std::atoll(PQgetvalue(r.get(), i, 2))},
                       {"machines", std::atoi(PQgetvalue(r.get(), i, 3))}});
    return {200, json{{"stations", out}}.dump(-1, ' ', false, json::error_handler_t::replace)};
}

}  // namespace tav::plant
