#include "core/settings/SensorTables.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "core/model/BearingDefects.h"

namespace tav {

namespace {

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
    r.Number("rated_rpm", 0, kMaxRatedRpm, &m->ratedRpm);
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

}  // namespace

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

}  // namespace tav
