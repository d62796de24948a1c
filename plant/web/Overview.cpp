// The overview: every machine's latest values judged against its limits,
// read once per batch for the live pages and on request for /api/overview.
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
using namespace sql;

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

}  // namespace tav::plant
