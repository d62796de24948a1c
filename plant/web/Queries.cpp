#include "plant/web/Queries.h"

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

namespace {

constexpr int64_t kHourMs = 3600000;
constexpr int64_t kDayMs = 24 * kHourMs;
// Without a steady row for this long a machine shows as offline.
constexpr int64_t kStaleMs = 5 * 60000;
constexpr int kMaxEvents = 5000;

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

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

}  // namespace

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

namespace {

// A machine's published limits as its loop reads them: per quantity (in
// kQuantityColumn's order) and axis, NaN where there is none.
struct AxisLimit {
    double alert = std::nan("");
    double danger = std::nan("");
};
using LimitTable = std::vector<std::array<AxisLimit, 3>>;

// Parsed once per distinct text: the live pages read every machine's limits
// each batch, and parsing them anew was most of that reading's cost.
std::shared_ptr<const LimitTable> Limits(const std::string &text)
{
    static std::mutex mutex;  // guards known
    static std::unordered_map<std::string, std::shared_ptr<const LimitTable>> known;
    std::lock_guard<std::mutex> lock(mutex);
    if (auto it = known.find(text); it != known.end())
        return it->second;
    auto table = std::make_shared<LimitTable>(kQuantityColumn.size());
    const json limits = json::parse(text, nullptr, false);
    size_t q = 0;
    for (const auto &entry : kQuantityColumn) {
        for (int axis = 0; axis < 3 && limits.is_object(); ++axis) {
            const std::string key = entry.first + "." + kAxisNames[axis] + ".";
            auto alert = limits.find(key + "alert"), danger = limits.find(key + "danger");
            if (alert != limits.end() && alert->is_number())
                (*table)[q][axis].alert = alert->get<double>();
            if (danger != limits.end() && danger->is_number())
                (*table)[q][axis].danger = danger->get<double>();
        }
        ++q;
    }
    if (known.size() >= 20000)  // texts of limits since replaced
        known.clear();
    known.emplace(text, table);
    return table;
}

}  // namespace

// One machine of the overview, as read: what its JSON object and its live
// short form are made of, without building either.
struct MachineRow {
    struct Axis {
        json zone, isoV;
        const char *level = "ok";
        double ratio = 0;
    };
    std::string station;
    int address = 0;
    json name, temperature, speed, zone, alarms;
    int64_t lastSeen = 0;
    bool connected = true;
    Axis axes[3];
    std::string severity;
    int rank = 0;
    double ratio = 0;
};

namespace {

json ToJson(const MachineRow &row)
{
    json m;
    m["station"] = row.station;
    m["address"] = row.address;
    m["name"] = row.name;
    m["last_seen"] = row.lastSeen;
    m["connected"] = row.connected;
    m["temperature"] = row.temperature;
    m["speed"] = row.speed;
    json axes = json::array();
    for (int axis = 0; axis < 3; ++axis) {
        const MachineRow::Axis &a = row.axes[axis];
        axes.push_back({{"axis", kAxisNames[axis]}, {"zone", a.zone}, {"iso_v", a.isoV}, {"level", a.level},
                        {"ratio", a.ratio}});
    }
    m["axes"] = std::move(axes);
    m["zone"] = row.zone;
    m["alarms"] = row.alarms;
    m["severity"] = row.severity;
    m["rank"] = row.rank;
    m["ratio"] = row.ratio;
    return m;
}

Answer LoadMachines(PgPool &pool, const std::string &station, int64_t nowMs, std::vector<MachineRow> *out)
{
    std::string cols;
    for (const char *a : kAxisNames)
        for (const char *c : {"zone", "iso_v", "vr", "ar", "ap", "ak", "dp", "dr"})
            cols += std::string(", l.") + a + "_" + c;
    // The newest row within two days: the partitions' bounds keep the
    // search to the last few, however long the history.
    const std::string sql =
        "select s.station, s.address, s.name, s.limits::text, coalesce(s.current_alarms::text, '[]'),"
        " (extract(epoch from greatest(s.last_seen, l.time)) * 1000)::bigint, st.state, c.connected,"
        " l.temperature, l.rpm" + cols +
        " from sensors s left join stations st on st.station = s.station"
        " left join lateral (select * from steady d where d.station = s.station and d.address = s.address"
        " and d.time > now() - interval '2 days' order by d.time desc limit 1) l on true"
        " left join lateral (select connected from connection_states k where k.station = s.station"
        " and k.address = s.address order by k.time desc limit 1) c on true"
        " where ($1::text is null or s.station = $1)";
    Result r(nullptr, PQclear);
    Answer a = Query(pool, sql, {station.empty() ? nullptr : station.c_str()}, &r);
    if (a.status != 200)
        return a;
    std::vector<MachineRow> machines(size_t(PQntuples(r.get())));
    for (int i = 0; i < PQntuples(r.get()); ++i) {
        MachineRow &m = machines[size_t(i)];
        m.station = Text(r.get(), i, 0);
        m.address = std::atoi(PQgetvalue(r.get(), i, 1));
        m.name = PQgetisnull(r.get(), i, 2) ? json(nullptr) : json(Text(r.get(), i, 2));
        const std::shared_ptr<const LimitTable> limits = Limits(Text(r.get(), i, 3));
        const char *alarmsText = PQgetvalue(r.get(), i, 4);
        json alarms = std::strcmp(alarmsText, "[]") == 0 ? json::array() : json::parse(alarmsText, nullptr, false);
        if (!alarms.is_array())
            alarms = json::array();
        m.lastSeen = std::atoll(PQgetvalue(r.get(), i, 5));
        const bool stationOffline = Text(r.get(), i, 6) == "offline";
        const bool disconnected = !PQgetisnull(r.get(), i, 7) && Text(r.get(), i, 7) == "f";
        m.connected = !disconnected && !stationOffline;
        m.temperature = Number(r.get(), i, 8);
        m.speed = Number(r.get(), i, 9);
        int rank = 0;
        double worstRatio = 0;
        std::string zone;
        for (int axis = 0; axis < 3; ++axis) {
            const int base = 10 + axis * 8;
            MachineRow::Axis &ax = m.axes[axis];
            const std::string z = PQgetisnull(r.get(), i, base) ? "" : Text(r.get(), i, base);
            ax.zone = z.empty() ? json(nullptr) : json(z);
            zone = std::max(zone, z);
            ax.isoV = Number(r.get(), i, base + 1);
            // Against the limits the station published: the highest share
            // of an alert limit among the quantities it watches.
            std::string level = "ok";
            double ratio = 0;
            static const char *const kCols[] = {"iso_v", "vr", "ar", "ap", "ak", "dp", "dr"};
            size_t q = 0;
            for (const auto &[quantity, column] : kQuantityColumn) {
                const AxisLimit &limit = (*limits)[q++][axis];
                const int at = int(std::find(std::begin(kCols), std::end(kCols), column) - std::begin(kCols));
                json v = Number(r.get(), i, base + 1 + at);
                if (!v.is_number() && column == "iso_v")
                    v = Number(r.get(), i, base + 2);
                if (!v.is_number())
                    continue;
                // Comparisons with NaN (no limit) are false.
                const double value = v.get<double>();
                if (value >= limit.danger)
                    level = "danger";
                else if (value >= limit.alert && level != "danger")
                    level = "alert";
                if (limit.alert > 0)
                    ratio = std::max(ratio, value / limit.alert);
            }
            ax.level = level == "danger" ? "danger" : level == "alert" ? "alert" : "ok";
            ax.ratio = ratio;
            rank = std::max(rank, kSeverityRank.at(level));
            worstRatio = std::max(worstRatio, ratio);
        }
        m.zone = zone.empty() ? json(nullptr) : json(zone);
        m.alarms = json::array();
        for (json &item : alarms) {
            if (!item.is_object() || item.value("active", true) == false)
                continue;
            const std::string sev = item.value("severity", "");
            auto it = kSeverityRank.find(sev);
            if (it != kSeverityRank.end())
                rank = std::max(rank, it->second);
            m.alarms.push_back(std::move(item));
        }
        if (!m.connected || nowMs - m.lastSeen > kStaleMs)
            rank = std::max(rank, kSeverityRank.at("offline"));
        m.severity = "ok";
        for (const auto &[key, value] : kSeverityRank)
            if (value == rank)
                m.severity = key;
        m.rank = rank;
        m.ratio = worstRatio;
    }
    // Sorted on keys taken out once, the rows moved only at the end.
    struct Key {
        int rank;
        char zone;  // of the worst axis, 0 for none
        double ratio;
        const std::string *station;
        int address;
        size_t index;
    };
    std::vector<Key> keys;
    keys.reserve(machines.size());
    for (size_t i = 0; i < machines.size(); ++i) {
        const MachineRow &m = machines[i];
        keys.push_back({m.rank, m.zone.is_string() ? m.zone.get_ref<const std::string &>()[0] : '\0', m.ratio,
                        &m.station, m.address, i});
    }
    std::sort(keys.begin(), keys.end(), [](const Key &a, const Key &b) {
        if (a.rank != b.rank)
            return a.rank > b.rank;
        // Within one alarm state the worse zone, then the nearer its alert limit.
        if (a.zone != b.zone)
            return a.zone > b.zone;
        if (a.ratio != b.ratio)
            return a.ratio > b.ratio;
        if (*a.station != *b.station)
            return *a.station < *b.station;
        if (a.address != b.address)
            return a.address < b.address;
        return a.index < b.index;
    });
    out->clear();
    out->reserve(machines.size());
    for (const Key &k : keys)
        out->push_back(std::move(machines[k.index]));
    return {};
}

// A number as the tile prints it; null stays null.
void AppendFixed(std::string *out, const json &v, int digits)
{
    if (!v.is_number()) {
        *out += "null";
        return;
    }
    char text[64];
    const int n = std::snprintf(text, sizeof text, "%.*f", digits, v.get<double>());
    out->append(text, size_t(std::clamp(n, 0, int(sizeof text) - 1)));
}

std::string LiveForm(const MachineRow &m, size_t stationIndex)
{
    const auto dump = [](const json &v) { return v.dump(-1, ' ', false, json::error_handler_t::replace); };
    std::string s = "[" + std::to_string(stationIndex) + "," + std::to_string(m.address) + "," + dump(m.name) +
                    "," + dump(m.zone) + ",\"" + m.severity + "\",[";
    for (int i = 0; i < 3; ++i) {
        if (i)
            s += ",";
        AppendFixed(&s, m.axes[i].isoV, 2);
    }
    s += "],";
    AppendFixed(&s, m.speed, 0);
    s += ",";
    AppendFixed(&s, m.temperature, 1);
    s += "," + std::to_string(m.lastSeen);
    if (!m.alarms.empty()) {
        s += ",[";
        for (size_t i = 0; i < m.alarms.size(); ++i) {
            const json &a = m.alarms[i];
            s += (i ? ",[" : "[") + dump(a.value("alarm_id", json())) + "," + dump(a.value("severity", json())) +
                 "," + dump(a.value("acknowledged", json(false))) + "]";
        }
        s += "]";
    }
    return s + "]";
}

}  // namespace

std::string MachineJson(const MachineItem &item)
{
    return ToJson(*item.row).dump(-1, ' ', false, json::error_handler_t::replace);
}

Answer OverviewItems(PgPool &pool, int64_t nowMs, std::vector<MachineItem> *out, std::vector<std::string> *stations)
{
    std::vector<MachineRow> machines;
    Answer a = LoadMachines(pool, "", nowMs, &machines);
    out->clear();
    stations->clear();
    std::map<std::string, size_t> index;
    for (const MachineRow &m : machines)
        index.emplace(m.station, 0);
    for (auto &[name, at] : index) {
        at = stations->size();
        stations->push_back(name);
    }
    out->reserve(machines.size());
    for (MachineRow &m : machines) {
        std::string live = LiveForm(m, index[m.station]);
        out->push_back({m.station, m.address, std::make_shared<const MachineRow>(std::move(m)), std::move(live)});
    }
    return a;
}

Answer Overview(PgPool &pool, const Params &params, Format format, int64_t nowMs)
{
    std::vector<MachineRow> rows;
    Answer a = LoadMachines(pool, Get(params, "station"), nowMs, &rows);
    if (a.status != 200)
        return a;
    std::vector<json> machines;
    machines.reserve(rows.size());
    for (const MachineRow &row : rows)
        machines.push_back(ToJson(row));
    if (format == Format::kJson)
        return {200, json{{"time", nowMs}, {"machines", machines}}.dump(-1, ' ', false, json::error_handler_t::replace)};
    std::string csv = std::string(kBom) + "站点,地址,设备名称,区域,级别,转速,温度,活动报警,最后更新\r\n";
    for (const json &m : machines) {
        csv += CsvField(m["station"].get<std::string>()) + "," + std::to_string(m["address"].get<int>()) + "," +
               CsvField(m["name"].is_string() ? m["name"].get<std::string>() : "") + "," +
               (m["zone"].is_string() ? m["zone"].get<std::string>() : "") + "," +
               SeverityWord(m["severity"].get<std::string>()) + "," + CsvNumber(m["speed"]) + "," +
               CsvNumber(m["temperature"]) + "," + std::to_string(m["alarms"].size()) + "," +
               CsvTime(m["last_seen"].get<int64_t>()) + "\r\n";
    }
    return {200, csv};
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
