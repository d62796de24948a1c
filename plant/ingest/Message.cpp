#include "plant/ingest/Message.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "plant/ingest/FlatJson.h"

namespace tav::plant {

using nlohmann::json;

namespace {

// Deepest nesting a station's message has (alarm list: object, array,
// object); anything far deeper is refused before the parser sees it.
constexpr int kMaxDepth = 8;
constexpr size_t kMaxText = 1024;
constexpr int64_t kYear2000Ms = 946684800000;
constexpr int64_t kDayMs = 86400000;

bool NestingWithin(std::string_view text, int limit)
{
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > limit)
                return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

// The parsed document's member `key` of `obj`, as the checks see it.
Value Lookup(const json *obj, const char *key)
{
    Value v;
    if (!obj || !obj->is_object())
        return v;
    auto it = obj->find(key);
    if (it == obj->end())
        return v;
    switch (it->type()) {
    case json::value_t::null: v.kind = Value::kNull; break;
    case json::value_t::boolean: v.kind = Value::kBool, v.b = it->get<bool>(); break;
    case json::value_t::number_integer: v.kind = Value::kInt, v.i = it->get<int64_t>(); break;
    case json::value_t::number_unsigned: v.kind = Value::kUInt, v.u = it->get<uint64_t>(); break;
    case json::value_t::number_float: v.kind = Value::kDouble, v.d = it->get<double>(); break;
    case json::value_t::string: v.kind = Value::kString, v.s = it->get_ref<const std::string &>(); break;
    case json::value_t::object: v.kind = Value::kObject; break;
    default: v.kind = Value::kOther;
    }
    return v;
}

// The member object `key` of `obj`; none when missing or not an object.
const json *Child(const json *obj, const char *key)
{
    auto it = obj->find(key);
    return it != obj->end() && it->is_object() ? &*it : nullptr;
}
bool Valid(const json *obj) { return obj != nullptr; }
FlatJson::Object Child(const FlatJson::Object &obj, const char *key)
{
    const Value v = Lookup(obj, key);
    return {obj.doc, v.kind == Value::kObject ? int32_t(v.i) : -1};
}
bool Valid(const FlatJson::Object &obj) { return obj.index >= 0; }

// A message's values as one line of COPY text, field by field; the first
// failure sticks and names the field. Reads through Lookup, so the same rules
// serve the whole parsed document and the quick reader's flat one.
class Fields {
public:
    bool ok() const { return why_.empty(); }
    const std::string &why() const { return why_; }
    std::string Take() { return std::move(line_); }

    void Literal(std::string_view text)
    {
        Sep();
        AppendCopyText(&line_, text);
    }
    void NullField()
    {
        Sep();
        line_ += "\\N";
    }
    void TimeField(int64_t ms)
    {
        Sep();
        line_ += SqlTime(ms);
    }
    // A number or null, finite, within [low, high]; stored as the float the
    // station measured, so its shortest text reads back the same.
    template <class Obj>
    void Number(const Obj &obj, const char *key, double low, double high, bool wide = false)
    {
        const Value v = Lookup(obj, key);
        if (v.kind == Value::kMissing || v.kind == Value::kNull)
            return NullField();
        if (!v.IsNumber())
            return Fail(key, "应为数值");
        const double d = v.AsDouble();
        if (!std::isfinite(d) || d < low || d > high)
            return Fail(key, "数值不可能");
        Sep();
        char buf[32];
        const auto r = wide ? std::to_chars(buf, buf + sizeof buf, d) : std::to_chars(buf, buf + sizeof buf, float(d));
        line_.append(buf, r.ptr);
    }
    template <class Obj>
    void Integer(const Obj &obj, const char *key, int64_t low, int64_t high, int64_t *out = nullptr)
    {
        const Value v = Lookup(obj, key);
        if (v.kind != Value::kInt && v.kind != Value::kUInt)
            return Fail(key, "应为整数");
        const int64_t i = v.kind == Value::kUInt ? int64_t(v.u) : v.i;
        if ((v.kind == Value::kUInt && v.u > uint64_t(high)) || i < low || i > high)
            return Fail(key, "数值不可能");
        if (out)
            *out = i;
        Sep();
        char buf[24];
        line_.append(buf, std::to_chars(buf, buf + sizeof buf, i).ptr);
    }
    template <class Obj>
    void Bool(const Obj &obj, const char *key, bool *out = nullptr)
    {
        const Value v = Lookup(obj, key);
        if (v.kind == Value::kMissing || v.kind == Value::kNull)
            return NullField();
        if (v.kind != Value::kBool)
            return Fail(key, "应为 true 或 false");
        if (out)
            *out = v.b;
        Sep();
        line_ += v.b ? "t" : "f";
    }
    // A string or null, at most kMaxText bytes; `required` refuses null.
    template <class Obj>
    void Text(const Obj &obj, const char *key, bool required = false, std::string *out = nullptr,
              bool *isNull = nullptr)
    {
        const Value v = Lookup(obj, key);
        const bool null = v.kind == Value::kMissing || v.kind == Value::kNull;
        if (isNull)
            *isNull = null;
        if (null) {
            if (required)
                return Fail(key, "缺少");
            return NullField();
        }
        if (v.kind != Value::kString)
            return Fail(key, "应为字符串");
        if (v.s.size() > kMaxText)
            return Fail(key, "过长");
        if (out)
            out->assign(v.s);
        Literal(v.s);
    }
    template <class Obj>
    void Time(const Obj &obj, const char *key, int64_t nowMs, int64_t *out)
    {
        const Value v = Lookup(obj, key);
        int64_t ms = 0;
        if (v.kind != Value::kString || !ParseIsoUtc(v.s, &ms))
            return Fail(key, "应为 UTC 时间");
        if (ms < kYear2000Ms || ms > nowMs + kDayMs)
            return Fail(key, "时间不可能");
        *out = ms;
        TimeField(ms);
    }
    void Fail(std::string_view key, const char *what)
    {
        if (why_.empty())
            why_ = std::string(key) + " " + what;
    }

private:
    void Sep()
    {
        if (!first_)
            line_ += '\t';
        first_ = false;
    }
    std::string line_;
    std::string why_;
    bool first_ = true;
};

constexpr double kBig = 1e6;

// PostgreSQL's jsonb refuses the escaped NUL, and one such value would fail
// the whole batch it rides in.
bool JsonbSafe(const std::string &text)
{
    return text.find("\\u0000") == std::string::npos;
}

bool ParseAddress(std::string_view text, int32_t *address)
{
    int64_t v = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size() || v < 0 || v > INT32_MAX)
        return false;
    *address = int32_t(v);
    return true;
}

ParseResult Refuse(std::string why)
{
    ParseResult r;
    r.why = std::move(why);
    return r;
}

// The steady message's bands, kept as the JSON they came in: their shape
// follows the watched bands.
bool Bands(Fields &f, const json *doc)
{
    auto bands = doc->find("bands");
    if (bands == doc->end() || bands->is_null()) {
        f.NullField();
    } else if (!bands->is_object() || bands->size() > 64) {
        f.Fail("bands", "应为对象");
    } else {
        for (const auto &[key, band] : bands->items()) {
            if (key.size() > 64 || !band.is_object() || band.size() > 16) {
                f.Fail("bands", "每一项应为对象");
                break;
            }
            for (const auto &[k, v] : band.items())
                if (!(v.is_null() || v.is_string() || (v.is_number() && std::abs(v.get<double>()) <= kBig)))
                    f.Fail("bands", "含不可能的值");
        }
        const std::string text = bands->dump(-1, ' ', false, json::error_handler_t::replace);
        if (!JsonbSafe(text))
            f.Fail("bands", "含 \\u0000");
        f.Literal(text);
    }
    return true;
}
// The quick reader takes no bands: their text is the whole parser's dump.
bool Bands(Fields &f, const FlatJson::Object &doc)
{
    const Value v = Lookup(doc, "bands");
    if (v.kind != Value::kMissing && v.kind != Value::kNull)
        return false;
    f.NullField();
    return true;
}

// A steady message from either document; without rows and not ok when the
// quick reader's document has what only the whole one can tell (`Bands`).
template <class Obj>
ParseResult Steady(std::string_view station, int32_t address, const Obj &doc, int64_t nowMs)
{
    Row row;
    Fields f;
    f.Literal(station);
    int64_t addr = 0;
    f.Integer(doc, "address", 0, INT32_MAX, &addr);
    if (f.ok() && addr != address)
        f.Fail("address", "与主题不符");
    f.Time(doc, "time", nowMs, &row.utcMs);
    f.Text(doc, "name", false, &row.name, &row.nameNull);
    f.Number(doc, "fs", 0, kBig);
    f.Number(doc, "temperature", -273.15, 2000);
    f.Number(doc, "rpm", 0, kBig);
    f.Bool(doc, "rpm_no_record");
    for (const char *axisName : kAxisNames) {
        const auto axis = Child(doc, axisName);
        if (!Valid(axis)) {
            f.Fail(axisName, "应为对象");
            break;
        }
        for (const char *p : kAxisParams)
            f.Number(axis, p, std::string_view(p) == "ak" ? -kBig : 0, kBig);
        f.Number(axis, "iso_v", 0, kBig);
        std::string zone;
        f.Text(axis, "zone", false, &zone);
        if (!zone.empty() && (zone.size() != 1 || zone[0] < 'A' || zone[0] > 'D'))
            f.Fail("zone", "应为 A 到 D");
        f.Text(axis, "sensor_fault");
        f.Number(axis, "days_to_alert", -kBig * 1000, kBig * 1000);
        f.Number(axis, "days_to_danger", -kBig * 1000, kBig * 1000);
    }
    if (!Bands(f, doc))
        return {};
    if (!f.ok())
        return Refuse(f.why());
    row.kind = RowKind::kSteady;
    row.station = std::string(station);
    row.address = address;
    row.hasName = true;
    row.copy = f.Take();
    ParseResult r;
    r.ok = true;
    r.rows.push_back(std::move(row));
    return r;
}

// A short identifier as the station writes its keys ("raise", "velocity").
bool PlainKey(const std::string &s)
{
    if (s.empty() || s.size() > 32)
        return false;
    for (char c : s)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    return true;
}

// "velocity.x.alert" for the sensors' table of limits as published.
std::string LimitKey(const json &item)
{
    auto text = [&](const char *k) {
        auto it = item.find(k);
        return it != item.end() && it->is_string() ? it->get<std::string>() : std::string("-");
    };
    return text("quantity") + "." + text("axis") + "." + text("severity");
}

ParseResult AlarmEvent(std::string_view station, const json &doc, int64_t nowMs)
{
    Row row;
    Fields f;
    f.Literal(station);
    f.Time(&doc, "time", nowMs, &row.utcMs);
    f.Integer(&doc, "alarm_id", 0, INT64_MAX);
    std::string event, quantity, severity, axis;
    f.Text(&doc, "event", true, &event);
    f.Text(&doc, "event_text");
    int64_t address = 0;
    f.Integer(&doc, "address", 0, INT32_MAX, &address);
    f.Text(&doc, "name", false, &row.name, &row.nameNull);
    f.Text(&doc, "quantity", true, &quantity);
    f.Text(&doc, "quantity_text");
    f.Text(&doc, "axis", false, &axis);
    f.Text(&doc, "severity", true, &severity);
    f.Number(&doc, "value", -1e12, 1e12, true);
    f.Number(&doc, "limit", -1e12, 1e12, true);
    f.Text(&doc, "comment");
    f.Text(&doc, "capture");
    // Who acknowledged, where the station says it.
    f.Text(&doc, doc.contains("user") ? "user" : "by");
    if (f.ok() && (!PlainKey(event) || !PlainKey(quantity) || !PlainKey(severity)))
        f.Fail("event", "含未知的写法");
    if (f.ok() && !axis.empty() && axis != "x" && axis != "y" && axis != "z")
        f.Fail("axis", "应为 x、y 或 z");
    if (!f.ok())
        return Refuse(f.why());
    row.kind = RowKind::kAlarmEvent;
    row.station = std::string(station);
    row.address = int32_t(address);
    row.hasName = true;
    auto limit = doc.find("limit");
    if (limit != doc.end() && limit->is_number())
        row.limits = json{{LimitKey(doc), limit->get<double>()}}.dump();
    row.copy = f.Take();
    ParseResult r;
    r.ok = true;
    r.rows.push_back(std::move(row));
    return r;
}

ParseResult SensorState(std::string_view station, int32_t address, const json &doc, int64_t nowMs)
{
    Row row;
    Fields f;
    f.Literal(station);
    f.Literal(std::to_string(address));
    f.Time(&doc, "since", nowMs, &row.utcMs);
    f.Bool(&doc, "connected");
    f.Text(&doc, "peer");
    if (f.ok() && !(doc.contains("connected") && doc["connected"].is_boolean()))
        f.Fail("connected", "缺少");
    if (!f.ok())
        return Refuse(f.why());
    row.kind = RowKind::kConnectionState;
    row.station = std::string(station);
    row.address = address;
    row.copy = f.Take();
    ParseResult r;
    r.ok = true;
    r.rows.push_back(std::move(row));
    return r;
}

ParseResult Status(std::string_view station, const json &doc, int64_t receivedMs, int64_t nowMs, bool retained)
{
    Row row;
    auto state = doc.find("state");
    if (state == doc.end() || !state->is_string() || (*state != "online" && *state != "offline"))
        return Refuse("state 应为 online 或 offline");
    row.state = state->get<std::string>();
    Fields f;
    f.Literal(station);
    if (row.state == "online") {
        // Repeated every few seconds with the same start: one row per start.
        f.Time(&doc, "started", nowMs, &row.utcMs);
        f.Literal("online");
        f.Text(&doc, "version");
        f.TimeField(row.utcMs);
        f.Integer(&doc, "port", 0, 65535);
        f.Integer(&doc, "online_count", 0, 1000000);
    } else {
        // The last will carries no time: the broker's delivery is the news.
        row.utcMs = receivedMs;
        f.TimeField(receivedMs);
        f.Literal("offline");
        for (int i = 0; i < 4; ++i)
            f.NullField();
    }
    if (!f.ok())
        return Refuse(f.why());
    row.kind = RowKind::kStationState;
    row.station = std::string(station);
    row.copy = f.Take();
    // The broker's stored "offline" comes again at every subscribe with no
    // time of its own: it says the station is offline now, but it is not
    // a new going offline for the station's history.
    if (retained && row.state == "offline")
        row.copy.clear();
    ParseResult r;
    r.ok = true;
    r.rows.push_back(std::move(row));
    return r;
}

ParseResult AlarmList(std::string_view station, int32_t address, const json &doc, int64_t nowMs)
{
    Row row;
    Fields f;
    f.Time(&doc, "time", nowMs, &row.utcMs);
    auto alarms = doc.find("alarms");
    if (alarms == doc.end() || !alarms->is_array() || alarms->size() > 10000)
        f.Fail("alarms", "应为数组");
    if (!f.ok())
        return Refuse(f.why());
    json limits = json::object();
    for (const json &item : *alarms) {
        if (!item.is_object())
            return Refuse("alarms 每一项应为对象");
        auto limit = item.find("limit");
        if (limit != item.end() && limit->is_number() && std::isfinite(limit->get<double>()))
            limits[LimitKey(item)] = limit->get<double>();
    }
    if (!JsonbSafe(limits.dump()) || !JsonbSafe(alarms->dump()))
        return Refuse("alarms 含 \\u0000");
    row.kind = RowKind::kSensorInfo;
    row.station = std::string(station);
    row.address = address;
    row.limits = limits.dump(-1, ' ', false, json::error_handler_t::replace);
    row.alarms = alarms->dump(-1, ' ', false, json::error_handler_t::replace);
    ParseResult r;
    r.ok = true;
    r.rows.push_back(std::move(row));
    return r;
}

ParseResult Parse(std::string_view station, std::string_view topic, std::string_view payload, int64_t receivedMs,
                  int64_t nowMs, bool retained, bool quick)
{
    if (payload.size() > kMaxPayloadBytes)
        return Refuse("消息过大（" + std::to_string(payload.size()) + " 字节）");
    int32_t address = -1;
    std::string_view leaf = topic;
    if (topic.substr(0, 7) == "sensor/") {
        const std::string_view rest = topic.substr(7);
        const size_t slash = rest.find('/');
        if (slash == std::string_view::npos || !ParseAddress(rest.substr(0, slash), &address))
            return Refuse("未知的主题");
        leaf = rest.substr(slash + 1);
        if (leaf != "steady" && leaf != "state" && leaf != "alarm")
            return Refuse("未知的主题");
    } else if (topic != "status" && topic != "alarm") {
        return Refuse("未知的主题");
    }
    if (payload.empty() && address >= 0) {
        // A retained topic cleared by its owner: nothing to keep.
        ParseResult r;
        r.ok = r.ignored = true;
        return r;
    }
    if (quick && leaf == "steady") {
        // Most messages are steady ones, thousands a second: read in place
        // (no deeper than the check below takes), the whole-document parser
        // only for what the quick reader leaves.
        thread_local FlatJson flat;
        if (flat.Read(payload, kMaxDepth)) {
            ParseResult r = Steady(station, address, flat.Top(), nowMs);
            if (r.ok)
                return r;
        }
    }
    if (!NestingWithin(payload, kMaxDepth))
        return Refuse("JSON 嵌套过深");
    const json doc = json::parse(payload.begin(), payload.end(), nullptr, false);
    if (doc.is_discarded())
        return Refuse("不是有效的 JSON");
    if (!doc.is_object())
        return Refuse("应为 JSON 对象");
    if (address < 0)
        return topic == "status" ? Status(station, doc, receivedMs, nowMs, retained) : AlarmEvent(station, doc, nowMs);
    if (leaf == "steady")
        return Steady(station, address, &doc, nowMs);
    if (leaf == "state")
        return SensorState(station, address, doc, nowMs);
    return AlarmList(station, address, doc, nowMs);
}

}  // namespace

ParseResult ParseMessage(std::string_view station, std::string_view topic, std::string_view payload,
                         int64_t receivedMs, int64_t nowMs, bool retained)
{
    return Parse(station, topic, payload, receivedMs, nowMs, retained, true);
}

ParseResult ParseMessageWhole(std::string_view station, std::string_view topic, std::string_view payload,
                              int64_t receivedMs, int64_t nowMs, bool retained)
{
    return Parse(station, topic, payload, receivedMs, nowMs, retained, false);
}

bool SplitTopic(const std::vector<std::string> &prefixes, std::string_view topic, std::string *station,
                std::string *rest)
{
    for (const std::string &prefix : prefixes) {
        std::string_view p = prefix, t = topic;
        std::string last;
        bool match = true;
        while (!p.empty()) {
            const size_t ps = p.find('/');
            const std::string_view pl = p.substr(0, ps);
            const size_t ts = t.find('/');
            if (ts == std::string_view::npos) {
                match = false;
                break;
            }
            const std::string_view tl = t.substr(0, ts);
            if (pl != "+" && pl != tl) {
                match = false;
                break;
            }
            last = std::string(tl);
            p = ps == std::string_view::npos ? std::string_view() : p.substr(ps + 1);
            t = t.substr(ts + 1);
        }
        if (!match || last.empty() || last.size() > 64)
            continue;
        bool printable = true;
        for (unsigned char c : last)
            printable = printable && c >= 0x20 && c != 0x7f;
        if (!printable)
            continue;
        *station = last;
        *rest = std::string(t);
        return true;
    }
    return false;
}

std::vector<std::pair<std::string, std::string>> SteadyColumns()
{
    std::vector<std::pair<std::string, std::string>> c = {
        {"station", "text not null"}, {"address", "integer not null"}, {"time", "timestamptz not null"},
        {"name", "text"},  {"fs", "real"}, {"temperature", "real"}, {"rpm", "real"}, {"rpm_no_record", "boolean"}};
    for (const char *a : kAxisNames) {
        const std::string axis(a);
        for (const char *p : kAxisParams)
            c.push_back({axis + "_" + p, "real"});
        c.push_back({axis + "_iso_v", "real"});
        c.push_back({axis + "_zone", "text"});
        c.push_back({axis + "_sensor_fault", "text"});
        c.push_back({axis + "_days_to_alert", "real"});
        c.push_back({axis + "_days_to_danger", "real"});
    }
    c.push_back({"bands", "jsonb"});
    return c;
}

std::vector<std::string> AggregateSeries()
{
    std::vector<std::string> s = {"temperature", "rpm"};
    for (const char *a : kAxisNames) {
        for (const char *p : kAxisParams)
            s.push_back(std::string(a) + "_" + p);
        s.push_back(std::string(a) + "_iso_v");
    }
    return s;
}

}  // namespace tav::plant
