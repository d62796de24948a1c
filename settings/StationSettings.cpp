#include "settings/StationSettings.h"

#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

#include "analysis/BearingDefects.h"
#include "mqtt/MqttConfig.h"

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

void ReadSensor(const toml::table &table, int32_t address, const std::string &fileName,
                std::vector<std::string> *messages, MachineSettings *m)
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
    for (int q = 0; q < kAlarmQuantityCount; ++q) {
        const std::string stem = AlarmQuantityKey(q);
        r.Limit(stem + "_alert", &m->alert[q]);
        r.Limit(stem + "_danger", &m->danger[q]);
        if (m->danger[q] <= m->alert[q]) {
            r.Tell(*table.get(stem + "_danger"), stem + "_danger 应大于 " + stem + "_alert，不设此危险限值");
            m->danger[q] = NAN;
        }
    }
    if (const toml::node *node = r.Find("bearing"))
        ReadBearings(*node, tableName, fileName, messages, &m->bearings);
    r.ReportUnknown();
}

void ReadSensors(const toml::table &root, const std::string &fileName, std::vector<std::string> *messages,
                 std::map<int32_t, MachineSettings> *sensors)
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
        ReadSensor(*node.as_table(), address, fileName, messages, &m);
        (*sensors)[address] = std::move(m);
    }
}

// The TOML reader in use classifies some characters (U+00A1..U+0499 and
// U+FB26..U+FEFE) through a path that is undefined behaviour, wherever they
// stand once the text around them is malformed. It never sees them raw: in
// comments they become '?', in "..." strings their \uXXXX escape (so a
// machine called "弯头 90°" keeps its name), and a '...' string holding one
// is handed over as the "..." string of the same text. A string that does
// not end on its line with one of them in it refuses the file, as any
// non-ASCII byte outside comments and strings does (TOML allows none there).
struct ReaderText {
    std::string text;
    int badLine = 0;  // 0 when the text can be read
    const char *why = "";
};

bool Unsafe(uint32_t cp) { return (cp >= 0xA1 && cp <= 0x499) || (cp >= 0xFB26 && cp <= 0xFEFE); }

// The line of the first byte that is not well-formed UTF-8 (a file saved
// as GBK, say), or 0.
int BadUtf8Line(const std::string &text)
{
    int line = 1;
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b == '\n')
            ++line;
        if (b < 0x80) {
            ++i;
            continue;
        }
        size_t n = 0;
        unsigned char low = 0x80, high = 0xBF;  // the second byte's range
        if (b >= 0xC2 && b <= 0xDF)
            n = 2;
        else if (b >= 0xE0 && b <= 0xEF)
            n = 3, low = b == 0xE0 ? 0xA0 : 0x80, high = b == 0xED ? 0x9F : 0xBF;
        else if (b >= 0xF0 && b <= 0xF4)
            n = 4, low = b == 0xF0 ? 0x90 : 0x80, high = b == 0xF4 ? 0x8F : 0xBF;
        if (n == 0 || i + n > text.size())
            return line;
        for (size_t k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF))
                return line;
        }
        i += n;
    }
    return 0;
}

// The code point of the (well-formed) UTF-8 sequence at text[i] and its
// length in bytes.
uint32_t CodePointAt(const std::string &text, size_t i, size_t *length)
{
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    uint32_t cp = n == 1 ? lead : lead & (0x7Fu >> n);
    size_t k = 1;
    for (; k < n && i + k < text.size(); ++k)
        cp = cp << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    *length = k;
    return cp;
}

// The body of a '...' string as the body of a "..." string.
std::string AsBasicBody(const std::string &body)
{
    std::string out;
    for (size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) >= 0x80) {
            size_t length = 1;
            const uint32_t cp = CodePointAt(body, i, &length);
            if (Unsafe(cp)) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04X", unsigned(cp));
                out += escape;
            } else {
                out.append(body, i, length);
            }
            i += length - 1;
        } else {
            out += c;
        }
    }
    return out;
}

ReaderText ForReader(const std::string &in)
{
    enum { kCode, kComment, kBasic, kLiteral, kMultiBasic, kMultiLiteral } state = kCode;
    ReaderText out;
    out.text = in;
    std::string &text = out.text;
    int line = 1;
    size_t opened = 0;     // where the string being read starts, its quotes included
    bool unsafe = false;   // a '...' string being read holds a character the reader mishandles
    auto refuse = [&](const char *why) {
        out.badLine = line;
        out.why = why;
        return out;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n') {
            if (state == kLiteral && unsafe)
                return refuse("单引号字符串没有在本行结束");
            ++line;
            if (state == kComment || state == kBasic || state == kLiteral)
                state = kCode;  // a one-line string cannot go on; the reader stops there
            continue;
        }
        if (static_cast<unsigned char>(c) >= 0x80) {
            size_t length = 1;
            const uint32_t cp = CodePointAt(text, i, &length);
            const bool basic = state == kBasic || state == kMultiBasic;
            if (state == kCode)
                return refuse("引号和注释以外不能有非ASCII字符");
            if (Unsafe(cp) && basic) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04X", unsigned(cp));
                text.replace(i, length, escape);
                i += 5;
                continue;
            }
            if (Unsafe(cp) && state == kComment)
                text.replace(i, length, length, '?');
            else if (Unsafe(cp))
                unsafe = true;
            i += length - 1;
            continue;
        }
        const bool triple = i + 2 < text.size() && text[i + 1] == c && text[i + 2] == c;
        // A closing triple quote may follow one or two quotes of the string's own.
        size_t run = 0;
        while (run < 5 && i + run < text.size() && text[i + run] == c)
            ++run;
        switch (state) {
        case kCode:
            if (c == '#') {
                state = kComment;
            } else if (c == '"' || c == '\'') {
                opened = i;
                unsafe = false;
                state = triple ? (c == '"' ? kMultiBasic : kMultiLiteral) : (c == '"' ? kBasic : kLiteral);
                if (triple)
                    i += 2;
            }
            break;
        case kComment:
            break;
        case kBasic:
        case kMultiBasic:
            if (c == '\\' && i + 1 < text.size()) {
                // An escape is ASCII; the backslash of a line-ending one is
                // left for the newline to be counted.
                if (static_cast<unsigned char>(text[i + 1]) >= 0x80)
                    return refuse("转义字符有误");
                if (text[i + 1] != '\n')
                    ++i;
            } else if (c == '"' && (state == kBasic || triple)) {
                i += state == kBasic ? 0 : run - 1;
                state = kCode;
            }
            break;
        case kLiteral:
        case kMultiLiteral:
            if (c == '\'' && (state == kLiteral || triple)) {
                const size_t quotes = state == kLiteral ? 1 : 3;
                const size_t close = state == kLiteral ? i : i + run - 3;  // where the closing quotes start
                if (unsafe) {
                    const std::string delimiter(quotes, '"');
                    const std::string body = text.substr(opened + quotes, close - opened - quotes);
                    const std::string basic = delimiter + AsBasicBody(body) + delimiter;
                    text.replace(opened, close + quotes - opened, basic);
                    i = opened + basic.size() - 1;
                } else {
                    i = close + quotes - 1;
                }
                state = kCode;
            }
            break;
        }
    }
    if ((state == kLiteral || state == kMultiLiteral) && unsafe)
        return refuse("单引号字符串没有结束");
    return out;
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
    if (const int line = BadUtf8Line(body))
        return unreadable(line, "不是有效的 UTF-8 编码（文件可能以 GBK 等编码保存，请改存为 UTF-8）");
    const ReaderText readable = ForReader(body);
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
    capture.Number("pre_s", 0, kMaxCaptureS, &settings.capture.preS);
    capture.Number("post_s", 0, kMaxCaptureS, &settings.capture.postS);
    capture.ReportUnknown();

    ReadSensors(root, name, messages, &settings.sensors);
    for (const auto &[key, node] : root) {
        const std::string_view k = key.str();
        if (k == "history" || k == "access" || k == "mqtt" || k == "capture" || k == "sensor" || !messages)
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
