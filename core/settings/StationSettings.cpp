#include "core/settings/StationSettings.h"

#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

#include "core/model/BearingDefects.h"
#include "core/settings/MqttConfig.h"
#include "core/settings/SettingsText.h"

namespace tav {

namespace {

// Reads typed entries of one table, reporting what it cannot take.
class TableReader {
public:
    TableReader(const toml::table *table, std::string tableName, std::string fileName,
                std::vector<std::string> *messages)
        : table_(table), tableName_(std::move(tableName)), fileName_(std::move(fileName)), messages_(messages)
    {
    }

    void Integer(const char *key, int low, int high, int *out)
    {
        const toml::node *node = Find(key);
        if (!node)
            return;
        auto v = node->value_exact<int64_t>();
        if (!v || *v < low || *v > high) {
            Complain(*node, key, "应为 " + std::to_string(low) + " 到 " + std::to_string(high) + " 之间的整数",
                     std::to_string(*out));
            return;
        }
        *out = int(*v);
    }

    void Number(const char *key, double low, double high, double *out)
    {
        const toml::node *node = Find(key);
        if (!node)
            return;
        auto v = node->value<double>();  // integers are numbers too
        if (!v || !std::isfinite(*v) || *v < low || *v > high) {
            char range[96];
            std::snprintf(range, sizeof range, "应为 %g 到 %g 之间的数", low, high);
            char def[32];
            std::snprintf(def, sizeof def, "%g", *out);
            Complain(*node, key, range, def);
            return;
        }
        *out = *v;
    }

    void Boolean(const char *key, bool *out)
    {
        const toml::node *node = Find(key);
        if (!node)
            return;
        auto v = node->value_exact<bool>();
        if (!v) {
            Complain(*node, key, "应为 true 或 false", *out ? "true" : "false");
            return;
        }
        *out = *v;
    }

    void String(const char *key, std::string *out)
    {
        const toml::node *node = Find(key);
        if (!node)
            return;
        auto v = node->value_exact<std::string>();
        if (!v) {
            Complain(*node, key, "应为字符串", "\"" + *out + "\"");
            return;
        }
        *out = *v;
    }

    // An array of strings; entries of another type are reported and left out.
    void Strings(const char *key, std::vector<std::string> *out)
    {
        const toml::node *node = Find(key);
        if (!node)
            return;
        const toml::array *array = node->as_array();
        if (!array) {
            Complain(*node, key, "应为字符串数组", "空");
            return;
        }
        out->clear();
        for (const toml::node &item : *array) {
            auto v = item.value_exact<std::string>();
            if (v)
                out->push_back(*v);
            else
                Complain(item, key, "的每一项应为字符串", "略去该项");
        }
    }

    // A limit: a positive finite number, or left unset (NaN).
    void Limit(const std::string &key, double *out)
    {
        const toml::node *node = Find(key.c_str());
        if (!node)
            return;
        auto v = node->value<double>();
        if (!v || !std::isfinite(*v) || !(*v > 0)) {
            Tell(*node, key + " 应为正数，不设此限值");
            return;
        }
        *out = *v;
    }

    const toml::node *Find(const char *key)
    {
        asked_.emplace_back(key);
        return table_ ? table_->get(key) : nullptr;
    }

    // Keys of the table that nothing asked for: a typo such as velocity_alrt
    // would otherwise leave a limit unset without a word.
    void ReportUnknown()
    {
        if (!table_)
            return;
        for (const auto &[key, node] : *table_) {
            const std::string name(key.str());
            if (std::find(asked_.begin(), asked_.end(), name) != asked_.end())
                continue;
            const int line = int(key.source().begin.line ? key.source().begin.line : node.source().begin.line);
            if (messages_)
                messages_->push_back(fileName_ + " 第" + std::to_string(line) + "行：[" + tableName_ + "] " +
                                     (node.is_table() ? "未知的表 [" + tableName_ + "." + name + "]" : "未知的键 " + name) +
                                     "，略去");
        }
    }

    // A message about `node` in this table's words.
    void Tell(const toml::node &node, const std::string &text)
    {
        if (messages_)
            messages_->push_back(fileName_ + " 第" + std::to_string(node.source().begin.line) + "行：[" + tableName_ +
                                 "] " + text);
    }

private:
    void Complain(const toml::node &node, const char *key, const std::string &what, const std::string &used)
    {
        Tell(node, std::string(key) + " " + what + "，使用 " + used);
    }

    const toml::table *table_;
    std::string tableName_;
    std::string fileName_;
    std::vector<std::string> *messages_;
    std::vector<std::string> asked_;
};

const toml::table *SubTable(const toml::table &root, const char *name, const std::string &fileName,
                            std::vector<std::string> *messages)
{
    const toml::node *node = root.get(name);
    if (!node)
        return nullptr;
    if (!node->is_table()) {
        if (messages)
            messages->push_back(fileName + " 第" + std::to_string(node->source().begin.line) + "行：" + name +
                                " 应为表 [" + name + "]，使用默认设置");
        return nullptr;
    }
    return node->as_table();
}

// [mqtt]: a url that cannot be used turns the link off rather than pointing
// it somewhere unintended; a prefix must stay a plain, non-empty topic level.
void ReadMqtt(const toml::table &root, const std::string &fileName, std::vector<std::string> *messages,
              MqttSettings *mqtt)
{
    const toml::table *table = SubTable(root, "mqtt", fileName, messages);
    TableReader reader(table, "mqtt", fileName, messages);
    auto complain = [&](const char *key, const std::string &what) {
        if (!messages)
            return;
        const toml::node *node = table ? table->get(key) : nullptr;
        const int line = node ? int(node->source().begin.line) : 0;
        messages->push_back(fileName + " 第" + std::to_string(line) + "行：[mqtt] " + key + " " + what);
    };
    reader.String("url", &mqtt->url);
    if (!mqtt->url.empty()) {
        std::string host, error;
        int port = 0;
        bool tls = false;
        if (!ParseBrokerUrl(mqtt->url, &host, &port, &tls, &error)) {
            complain("url", error + "，不启用 MQTT");
            mqtt->url.clear();
        }
    }
    const MqttSettings defaults;
    reader.String("topic_prefix", &mqtt->topicPrefix);
    if (!ValidTopicPrefix(mqtt->topicPrefix)) {
        complain("topic_prefix", "不能为空，也不能含 + # 或空的层级，使用 \"" + defaults.topicPrefix + "\"");
        mqtt->topicPrefix = defaults.topicPrefix;
    }
    reader.String("client_id", &mqtt->clientId);
    if (mqtt->clientId.empty()) {
        complain("client_id", "不能为空，使用 \"" + defaults.clientId + "\"");
        mqtt->clientId = defaults.clientId;
    }
    reader.String("username", &mqtt->username);
    reader.String("password_file", &mqtt->passwordFile);
    reader.String("ca_file", &mqtt->caFile);
    reader.Boolean("insecure", &mqtt->insecure);
    reader.Integer("qos", 0, 2, &mqtt->qos);
    reader.Number("interval_s", 0.5, 3600, &mqtt->intervalS);
    reader.Integer("buffer_minutes", 0, 1440, &mqtt->bufferMinutes);
    reader.ReportUnknown();
}

// A sensor address as a table name: decimal digits, an address a sensor can
// be given (0 is a sensor whose address is not known yet).
constexpr int64_t kMaxSensorAddress = 65535;

bool ParseAddress(const std::string &text, int32_t *out)
{
    if (text.empty() || text.size() > 10)
        return false;
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v < 1 || v > kMaxSensorAddress)
        return false;
    *out = int32_t(v);
    return true;
}

// One bearing's table. A bearing with a field missing, of the wrong type or
// out of range is left out whole: defect lines of a half-read geometry
// would point the analyst at frequencies where nothing is.
bool ReadBearing(const toml::table &table, TableReader &r, BearingGeometry *b)
{
    bool ok = true;
    auto bad = [&](const toml::node &at, const std::string &what) {
        if (ok)
            r.Tell(at, what + "，略去该轴承");
        ok = false;
    };
    if (const toml::node *node = table.get("name")) {
        if (auto v = node->value_exact<std::string>())
            b->name = *v;
        else
            bad(*node, "name 应为字符串");
    }
    if (const toml::node *node = table.get("elements")) {
        auto v = node->value_exact<int64_t>();
        if (v && *v >= INT_MIN && *v <= INT_MAX)
            b->elements = int(*v);
        else
            bad(*node, "elements 应为整数");
    } else {
        bad(table, "缺少 elements");
    }
    struct Field {
        const char *key;
        double *out;
        bool required;
    } fields[] = {{"ball_diameter_mm", &b->ballDiameterMm, true},
                  {"pitch_diameter_mm", &b->pitchDiameterMm, true},
                  {"contact_angle_deg", &b->contactAngleDeg, false}};
    for (const Field &f : fields) {
        const toml::node *node = table.get(f.key);
        if (!node) {
            if (f.required)
                bad(table, std::string("缺少 ") + f.key);
            continue;
        }
        auto v = node->value<double>();  // integers are numbers too
        if (v && std::isfinite(*v))
            *f.out = *v;
        else
            bad(*node, std::string(f.key) + " 应为数");
    }
    for (const auto &[key, node] : table) {
        const std::string_view k = key.str();
        if (k != "name" && k != "elements" && k != "ball_diameter_mm" && k != "pitch_diameter_mm" &&
            k != "contact_angle_deg")
            r.Tell(node, "未知的键 " + std::string(k) + "，略去");
    }
    if (ok) {
        const std::string problem = analysis::BearingGeometryProblem(*b);
        if (!problem.empty())
            bad(table, problem);
    }
    return ok;
}

// [[sensor.N.bearing]] tables, or a single [sensor.N.bearing] table.
void ReadBearings(const toml::node &node, const std::string &sensorTable, const std::string &fileName,
                  std::vector<std::string> *messages, std::vector<BearingGeometry> *out)
{
    const std::string tableName = sensorTable + ".bearing";
    TableReader r(nullptr, tableName, fileName, messages);
    auto one = [&](const toml::table &table) {
        BearingGeometry b;
        if (ReadBearing(table, r, &b))
            out->push_back(std::move(b));
    };
    if (const toml::table *table = node.as_table()) {
        one(*table);
    } else if (const toml::array *array = node.as_array()) {
        for (const toml::node &item : *array) {
            if (const toml::table *table = item.as_table())
                one(*table);
            else
                r.Tell(item, "每个轴承应为表 [[" + tableName + "]]，略去该项");
        }
    } else {
        r.Tell(node, "bearing 应为表 [[" + tableName + "]]，略去");
    }
}

// [sensor.N.baseline]: velocity = [x, y, z] mm/s (nan for an axis without
// one), set_at, from, to. A baseline that cannot be read is left out whole:
// limits derived from half of it would be wrong without a word.
void ReadBaseline(const toml::node &node, const std::string &sensorTable, const std::string &fileName,
                  std::vector<std::string> *messages, SeverityBaseline *out)
{
    const std::string tableName = sensorTable + ".baseline";
    const toml::table *table = node.as_table();
    TableReader r(table, tableName, fileName, messages);
    if (!table) {
        r.Tell(node, "baseline 应为表 [" + tableName + "]，不设基线");
        return;
    }
    SeverityBaseline b;
    const toml::node *velocity = r.Find("velocity");
    const toml::array *array = velocity ? velocity->as_array() : nullptr;
    bool ok = array && array->size() == 3;
    for (size_t i = 0; ok && i < 3; ++i) {
        auto v = array->get(i)->value<double>();
        ok = v && (std::isnan(*v) || (std::isfinite(*v) && *v > 0));
        if (ok)
            b.velocity[i] = *v;
    }
    if (!ok) {
        r.Tell(velocity ? *velocity : node, "velocity 应为三个正数 [x, y, z]（无基线的轴写 nan），不设基线");
        r.ReportUnknown();
        return;
    }
    r.String("set_at", &b.setAt);
    r.String("from", &b.from);
    r.String("to", &b.to);
    r.ReportUnknown();
    *out = b;
}

// One [[sensor.N.band]]. A band that cannot be placed (no edges, edges the
// wrong way round, an unknown kind) is left out whole and said so; a bad
// limit or baseline leaves only that one unset.
bool ReadBand(const toml::table &table, const std::string &tableName, const std::string &fileName,
              std::vector<std::string> *messages, BandSettings *b)
{
    TableReader r(&table, tableName, fileName, messages);
    bool ok = true;
    auto bad = [&](const toml::node &at, const std::string &what) {
        if (ok)
            r.Tell(at, what + "，略去该频带");
        ok = false;
    };
    r.String("name", &b->name);
    std::string kind = "order", spectrum = "velocity";
    r.String("kind", &kind);
    r.String("spectrum", &spectrum);
    if (kind == "order" || kind == "frequency")
        b->kind = kind == "order" ? BandKind::kOrder : BandKind::kFrequency;
    else
        bad(*table.get("kind"), "kind 应为 \"order\" 或 \"frequency\"");
    if (spectrum == "velocity" || spectrum == "envelope")
        b->spectrum = spectrum == "velocity" ? BandSpectrum::kVelocity : BandSpectrum::kEnvelope;
    else
        bad(*table.get("spectrum"), "spectrum 应为 \"velocity\" 或 \"envelope\"");
    double low = NAN, high = NAN, center = NAN, width = NAN;
    const double top = b->kind == BandKind::kOrder ? 1000.0 : 100000.0;
    r.Number("low", 0, top, &low);
    r.Number("high", 0, top, &high);
    r.Number("center", 0, top, &center);
    r.Number("width", 0, top, &width);
    if (std::isfinite(center) && std::isfinite(width) && !std::isfinite(low) && !std::isfinite(high)) {
        low = std::max(0.0, center - width / 2);
        high = center + width / 2;
    }
    if (!std::isfinite(low) || !std::isfinite(high) || !(high > low))
        bad(table, "应给出 low 和 high（high 大于 low），或 center 和 width");
    b->low = low;
    b->high = high;
    r.Limit("alert", &b->alert);
    r.Limit("danger", &b->danger);
    if (b->danger <= b->alert) {
        r.Tell(*table.get("danger"), "danger 应大于 alert，不设此危险限值");
        b->danger = NAN;
    }
    if (const toml::node *node = r.Find("baseline")) {
        // One number for all three axes, or [x, y, z].
        const toml::array *array = node->as_array();
        auto positive = [](const toml::node &n, double *out) {
            auto v = n.value<double>();
            if (!v || !std::isfinite(*v) || !(*v > 0))
                return false;
            *out = *v;
            return true;
        };
        double one = NAN;
        bool good = array ? array->size() == 3 : positive(*node, &one);
        for (int axis = 0; good && array && axis < 3; ++axis)
            good = positive(*array->get(size_t(axis)), &b->baseline[axis]);
        if (good && !array)
            std::fill(std::begin(b->baseline), std::end(b->baseline), one);
        if (!good) {
            std::fill(std::begin(b->baseline), std::end(b->baseline), NAN);
            r.Tell(*node, "baseline 应为正数或三个正数的数组 [x, y, z]，不设基线");
        }
    }
    r.ReportUnknown();
    return ok;
}

void ReadBands(const toml::node &node, const std::string &sensorTable, const std::string &fileName,
               std::vector<std::string> *messages, std::vector<BandSettings> *out)
{
    const std::string tableName = sensorTable + ".band";
    TableReader r(nullptr, tableName, fileName, messages);
    const toml::array *array = node.as_array();
    if (!array) {
        r.Tell(node, "band 应为表 [[" + tableName + "]]，略去");
        return;
    }
    for (const toml::node &item : *array) {
        const toml::table *table = item.as_table();
        if (!table) {
            r.Tell(item, "每个频带应为表 [[" + tableName + "]]，略去该项");
            continue;
        }
        if (out->size() == size_t(kMaxBands)) {
            r.Tell(item, "每个传感器最多 " + std::to_string(kMaxBands) + " 个频带，略去其余");
            return;
        }
        BandSettings b;
        if (ReadBand(*table, tableName, fileName, messages, &b))
            out->push_back(std::move(b));
    }
}

void ReadSensor(const toml::table &table, int32_t address, const std::string &fileName,
                std::vector<std::string> *messages, double preS, MachineSettings *m)
{
    const std::string tableName = "sensor." + std::to_string(address);
    TableReader r(&table, tableName, fileName, messages);
    m->address = address;
    r.String("name", &m->name);
    if (const toml::node *node = r.Find("iso_class")) {
        auto text = node->value_exact<std::string>();
        if (!text || !ParseIsoClass(*text, &m->isoClass))
            r.Tell(*node, "iso_class 应为 none、group1-rigid、group1-flexible、group2-rigid 或 group2-flexible，使用 none");
    }
    r.Number("on_delay_s", 0, kMaxOnDelayS, &m->onDelayS);
    r.Number("severity_average_s", 0.5, kMaxSeverityAverageS, &m->severityAverageS);
    for (int q = 0; q < kAlarmQuantityCount; ++q) {
        const std::string stem = AlarmQuantityKey(q);
        r.Limit(stem + "_alert", &m->alert[q]);
        r.Limit(stem + "_danger", &m->danger[q]);
        if (m->danger[q] <= m->alert[q]) {
            r.Tell(*table.get(stem + "_danger"), stem + "_danger 应大于 " + stem + "_alert，不设此危险限值");
            m->danger[q] = NAN;
        }
    }
    // The capture ring holds pre_s and the on-delay: a longer delay would
    // start the capture after the trigger, so it gives way, and says so.
    if (m->onDelayS > MaxOnDelayFor(preS)) {
        char text[200];
        std::snprintf(text, sizeof text, "on_delay_s %g 秒加上 [capture] pre_s %g 秒超过报警录波可保存的 %g 秒，使用 %g",
                      m->onDelayS, preS, kMaxCaptureLeadS, MaxOnDelayFor(preS));
        const toml::node *node = table.get("on_delay_s");
        r.Tell(node ? *node : static_cast<const toml::node &>(table), text);
        m->onDelayS = MaxOnDelayFor(preS);
    }
    if (const toml::node *node = r.Find("bearing"))
        ReadBearings(*node, tableName, fileName, messages, &m->bearings);
    if (const toml::node *node = r.Find("baseline"))
        ReadBaseline(*node, tableName, fileName, messages, &m->baseline);
    if (const toml::node *node = r.Find("band"))
        ReadBands(*node, tableName, fileName, messages, &m->bands);
    r.Limit("bearing_alert", &m->bearingAlert);
    r.Limit("bearing_danger", &m->bearingDanger);
    if (m->bearingDanger <= m->bearingAlert) {
        r.Tell(*table.get("bearing_danger"), "bearing_danger 应大于 bearing_alert，不设此危险限值");
        m->bearingDanger = NAN;
    }
    r.ReportUnknown();
}

void ReadSensors(const toml::table &root, const std::string &fileName, std::vector<std::string> *messages,
                 double preS, std::map<int32_t, MachineSettings> *sensors)
{
    const toml::table *all = SubTable(root, "sensor", fileName, messages);
    if (!all)
        return;
    for (const auto &[key, node] : *all) {
        int32_t address = 0;
        const std::string text(key.str());
        const int line = int(node.source().begin.line);
        if (!ParseAddress(text, &address)) {
            if (messages)
                messages->push_back(fileName + " 第" + std::to_string(line) + "行：[sensor." + text +
                                    "] 的地址应为 1 到 " + std::to_string(kMaxSensorAddress) +
                                    " 之间的整数，略去该表");
            continue;
        }
        if (!node.is_table()) {
            if (messages)
                messages->push_back(fileName + " 第" + std::to_string(line) + "行：sensor." + text +
                                    " 应为表，略去");
            continue;
        }
        MachineSettings m;
        ReadSensor(*node.as_table(), address, fileName, messages, preS, &m);
        (*sensors)[address] = std::move(m);
    }
}

// "...，使用默认设置" at start; a reload says what it keeps instead.
constexpr const char *kUseDefaults = "使用默认设置";

}  // namespace

StationSettings ParseStationSettings(const std::string &text, const std::string &name,
                                     std::vector<std::string> *messages, const char *ifUnreadable)
{
    StationSettings settings;
    auto unreadable = [&](int line, const std::string &why) {
        if (messages)
            messages->push_back(name + " 第" + std::to_string(line) + "行：" + why + "，无法读取设置文件，" +
                                (ifUnreadable ? ifUnreadable : kUseDefaults));
        settings.readable = false;
        return settings;
    };
    // Editors on other systems may start the file with a byte-order mark.
    const bool bom = text.compare(0, 3, "\xEF\xBB\xBF") == 0;
    const std::string body = bom ? text.substr(3) : text;
    if (const int line = settings_text::BadUtf8Line(body))
        return unreadable(line, "不是有效的 UTF-8 编码（文件可能以 GBK 等编码保存，请改存为 UTF-8）");
    const settings_text::ReaderText readable = settings_text::ForReader(body);
    if (readable.badLine)
        return unreadable(readable.badLine, readable.why);
    toml::parse_result parsed = toml::parse(readable.text, name);
    if (!parsed) {
        const toml::parse_error &error = parsed.error();
        return unreadable(int(error.source().begin.line), "TOML 格式有误（" + std::string(error.description()) + "）");
    }
    const toml::table &root = parsed.table();

    TableReader history(SubTable(root, "history", name, messages), "history", name, messages);
    history.Boolean("enabled", &settings.history.enabled);
    history.Integer("raw_days", 1, 3650, &settings.history.rawDays);
    history.Integer("minute_days", 1, 36500, &settings.history.minuteDays);
    history.Integer("hour_years", 1, 100, &settings.history.hourYears);
    history.ReportUnknown();

    const toml::table *accessTable = SubTable(root, "access", name, messages);
    TableReader access(accessTable, "access", name, messages);
    access.Number("garbage_timeout_s", 0.1, 86400, &settings.access.garbageTimeoutS);
    access.Number("idle_evict_s", 0.1, 86400, &settings.access.idleEvictS);
    access.Strings("allow", &settings.access.allow);
    // Given but unreadable (a wrong type, items left out) still restricts:
    // an allow list never turns into "everyone" by a mistake in it.
    settings.access.allowGiven = accessTable && accessTable->get("allow");
    access.String("bind", &settings.access.bind);
    access.ReportUnknown();

    ReadMqtt(root, name, messages, &settings.mqtt);

    TableReader capture(SubTable(root, "capture", name, messages), "capture", name, messages);
    capture.Number("pre_s", 0, kMaxCaptureLeadS, &settings.capture.preS);
    capture.Number("post_s", 0, kMaxCaptureS, &settings.capture.postS);
    capture.ReportUnknown();

    TableReader alarm(SubTable(root, "alarm", name, messages), "alarm", name, messages);
    alarm.Boolean("sound", &settings.notice.sound);
    alarm.ReportUnknown();

    TableReader window(SubTable(root, "window", name, messages), "window", name, messages);
    window.Boolean("overview", &settings.window.overview);
    window.ReportUnknown();

    ReadSensors(root, name, messages, settings.capture.preS, &settings.sensors);
    for (const auto &[key, node] : root) {
        const std::string_view k = key.str();
        if (k == "history" || k == "access" || k == "mqtt" || k == "capture" || k == "alarm" || k == "window" || k == "sensor" || !messages)
            continue;
        const int line = int(key.source().begin.line ? key.source().begin.line : node.source().begin.line);
        messages->push_back(name + " 第" + std::to_string(line) + "行：" +
                            (node.is_table() ? "未知的表 [" + std::string(k) + "]" : "未知的键 " + std::string(k)) +
                            "，略去");
    }
    return settings;
}

StationSettings LoadStationSettings(const std::string &path, std::vector<std::string> *messages,
                                    const char *ifUnreadable)
{
    // A file that is there but cannot be read is not an empty file: taken
    // as one, a reload would drop every machine's limits without a word.
    std::string text, error;
    bool existed = false;
    if (!ReadSettingsText(path, &text, &existed, &error)) {
        if (messages)
            messages->push_back(error + "，" + (ifUnreadable ? ifUnreadable : kUseDefaults));
        StationSettings settings;
        settings.readable = false;
        return settings;
    }
    if (!existed)
        return {};
    const size_t slash = path.find_last_of('/');
    return ParseStationSettings(text, slash == std::string::npos ? path : path.substr(slash + 1), messages,
                                ifUnreadable);
}

}  // namespace tav
