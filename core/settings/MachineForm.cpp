#include "core/settings/MachineForm.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "core/base/TextInput.h"
#include "core/model/AlarmTypes.h"
#include "core/model/BearingDefects.h"
#include "core/settings/StationSettings.h"

namespace tav {

namespace {

std::string Trim(const std::string &s)
{
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

// A whole finite decimal number; anything else (a unit typed after it, a
// comma for the point, "nan") gives nothing.
std::optional<double> ParseNumber(const std::string &text)
{
    std::string t = Trim(text);
    if (!t.empty() && t[0] == '+')
        t.erase(0, 1);
    if (t.empty())
        return std::nullopt;
    double v = 0;
    auto r = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::fixed);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size() || !std::isfinite(v))
        return std::nullopt;
    return v;
}

std::string Shortest(double v)
{
    char text[32];
    auto r = std::to_chars(text, text + sizeof text, v);
    return std::string(text, r.ptr);
}

MachineForm Refuse(MachineForm f, const std::string &field, const std::string &why)
{
    f.ok = false;
    f.field = field;
    f.message = "“" + field + "”" + why + "，设置未保存";
    return f;
}

}  // namespace

bool BearingFields::Empty() const
{
    return Trim(name).empty() && Trim(elements).empty() && Trim(ballDiameterMm).empty() &&
           Trim(pitchDiameterMm).empty() && Trim(contactAngleDeg).empty();
}

const char *LimitUnit(int quantity)
{
    switch (quantity) {
    case kQuantityVelocity: return "mm/s";
    case kQuantityAccelerationRms:
    case kQuantityAccelerationPeak: return "g";
    case kQuantityDisplacementPeak: return "mm";
    default: return "";
    }
}

const char *IsoClassCaption(IsoClass c)
{
    switch (c) {
    case IsoClass::kGroup1Rigid: return "第1组 刚性基础";
    case IsoClass::kGroup1Flexible: return "第1组 柔性基础";
    case IsoClass::kGroup2Rigid: return "第2组 刚性基础";
    case IsoClass::kGroup2Flexible: return "第2组 柔性基础";
    case IsoClass::kNone: break;
    }
    return "不分级";
}

MachineFields FieldsOf(int32_t address, const DeviceParameterRecord *record, const MachineSettings *machine)
{
    MachineFields f;
    f.address = address > 0 ? std::to_string(address) : std::string();
    // A sensor without a record shows what a free record holds.
    f.workMode = record ? record->workMode : 0;
    f.ratedSpeed = std::to_string(record ? record->ratedSpeed : 0);
    const MachineSettings defaults;
    const MachineSettings &m = machine ? *machine : defaults;
    f.name = m.name;
    f.isoClass = IsoClassKey(m.isoClass);
    for (int q = 0; q < kAlarmQuantityCount; ++q) {
        f.alert[q] = std::isfinite(m.alert[q]) ? Shortest(m.alert[q]) : std::string();
        f.danger[q] = std::isfinite(m.danger[q]) ? Shortest(m.danger[q]) : std::string();
    }
    f.onDelayS = Shortest(m.onDelayS);
    f.ratedRpm = m.ratedRpm > 0 ? Shortest(m.ratedRpm) : std::string();
    for (const BearingGeometry &b : m.bearings)
        f.bearings.push_back({b.name, std::to_string(b.elements), Shortest(b.ballDiameterMm),
                              Shortest(b.pitchDiameterMm), Shortest(b.contactAngleDeg)});
    for (int axis = 0; axis < 3; ++axis)
        f.baseline[axis] = std::isfinite(m.baseline.velocity[axis]) ? Shortest(m.baseline.velocity[axis]) : std::string();
    f.baselineSetAt = m.baseline.setAt;
    f.baselineFrom = m.baseline.from;
    f.baselineTo = m.baseline.to;
    return f;
}

MachineForm ReadMachineForm(const MachineFields &in, double preS)
{
    MachineForm f;
    auto address = ParseInteger(in.address);
    if (!address || *address < 1 || *address > 65535)
        return Refuse(f, "传感器地址", "应为 1 到 65535 的整数");
    f.address = uint32_t(*address);
    auto speed = ParseRatedSpeed(in.ratedSpeed);
    if (!speed)
        return Refuse(f, "额定转速", "必须是不小于 0 的整数（转/分）");
    f.ratedSpeed = *speed;
    if (in.workMode < -1 || in.workMode >= kWorkModeCount)
        return Refuse(f, "工作模式", "不在列表中");
    f.workMode = in.workMode;

    MachineSettings &m = f.machine;
    m.address = int32_t(f.address);
    m.name = Trim(in.name);
    if (!ParseIsoClass(Trim(in.isoClass), &m.isoClass))
        return Refuse(f, "ISO 10816-3 等级", "未知（应为 none、group1-rigid、group1-flexible、group2-rigid 或 group2-flexible）");
    for (int q = 0; q < kAlarmQuantityCount; ++q) {
        const std::string name = QuantityText(q);
        const std::string *texts[2] = {&in.alert[q], &in.danger[q]};
        double *values[2] = {&m.alert[q], &m.danger[q]};
        const char *kinds[2] = {" 预警限值", " 危险限值"};
        for (int k = 0; k < 2; ++k) {
            if (Trim(*texts[k]).empty())
                continue;  // no limit
            auto v = ParseNumber(*texts[k]);
            if (!v || !(*v > 0))
                return Refuse(f, name + kinds[k], "应为正数（留空表示不设限值）");
            *values[k] = *v;
        }
        if (std::isfinite(m.alert[q]) && std::isfinite(m.danger[q]) && !(m.danger[q] > m.alert[q]))
            return Refuse(f, name + " 危险限值", "应大于预警限值");
    }
    if (!Trim(in.onDelayS).empty()) {
        auto delay = ParseNumber(in.onDelayS);
        if (!delay || *delay < 0 || *delay > MaxOnDelayFor(preS)) {
            char text[160];
            std::snprintf(text, sizeof text, "应为 0 到 %g 之间的秒数（加上报警录波的前置时间 %g 秒不超过 %g 秒）",
                          MaxOnDelayFor(preS), preS, kMaxCaptureLeadS);
            return Refuse(f, "报警延时", text);
        }
        m.onDelayS = *delay;
    }
    if (!Trim(in.ratedRpm).empty()) {
        auto rpm = ParseNumber(in.ratedRpm);
        if (!rpm || !(*rpm > 0) || *rpm > kMaxRatedRpm)
            return Refuse(f, "机器额定转速", "应为正数（转/分，留空表示不按低速机器评定）");
        m.ratedRpm = *rpm;
    }
    int row = 0;
    for (const BearingFields &b : in.bearings) {
        ++row;
        if (b.Empty())
            continue;  // a row added and left blank is no bearing
        const std::string field = "轴承 第" + std::to_string(row) + "行";
        BearingGeometry g;
        g.name = Trim(b.name);
        auto elements = ParseInteger(b.elements);
        if (!elements || *elements < 3 || *elements > 200)
            return Refuse(f, field + " 滚动体数", "应为 3 到 200 的整数");
        g.elements = int(*elements);
        const std::pair<const std::string *, double *> numbers[3] = {
            {&b.ballDiameterMm, &g.ballDiameterMm},
            {&b.pitchDiameterMm, &g.pitchDiameterMm},
            {&b.contactAngleDeg, &g.contactAngleDeg}};
        const char *names[3] = {" 滚动体直径", " 节圆直径", " 接触角"};
        for (int i = 0; i < 3; ++i) {
            // An empty contact angle is a radial bearing's 0 degrees.
            if (i == 2 && Trim(*numbers[i].first).empty())
                continue;
            auto v = ParseNumber(*numbers[i].first);
            if (!v)
                return Refuse(f, field + names[i], "应为数");
            *numbers[i].second = *v;
        }
        const std::string problem = analysis::BearingGeometryProblem(g);
        if (!problem.empty())
            return Refuse(f, field, "：" + problem);
        m.bearings.push_back(std::move(g));
    }
    for (int axis = 0; axis < 3; ++axis) {
        if (Trim(in.baseline[axis]).empty())
            continue;
        auto v = ParseNumber(in.baseline[axis]);
        if (!v || !(*v > 0))
            return Refuse(f, std::string(QuantityText(kQuantityVelocity)) + " 基线", "应为正数");
        m.baseline.velocity[axis] = *v;
    }
    if (m.baseline.Any()) {
        m.baseline.setAt = in.baselineSetAt;
        m.baseline.from = in.baselineFrom;
        m.baseline.to = in.baselineTo;
    }
    f.ok = true;
    return f;
}

void AddKnownSensor(std::vector<KnownSensor> *list, int64_t address, unsigned source)
{
    if (address < 1 || address > 65535)
        return;
    auto it = std::lower_bound(list->begin(), list->end(), address,
                               [](const KnownSensor &k, int64_t a) { return k.address < a; });
    if (it == list->end() || it->address != address)
        it = list->insert(it, KnownSensor{int32_t(address), 0, {}});
    it->sources |= source;
}

std::vector<KnownSensor> KnownSensors(const std::vector<uint32_t> &connected, const DeviceParameterTable &table,
                                      const std::map<int32_t, MachineSettings> &machines)
{
    std::vector<KnownSensor> list;
    for (uint32_t a : connected)
        AddKnownSensor(&list, a, kKnownConnected);
    for (int i = 0; i < DeviceParameterTable::kRecordCount; ++i)
        AddKnownSensor(&list, table.Record(i).sensorAddress, kKnownDeviceTable);
    for (const auto &[address, m] : machines) {
        AddKnownSensor(&list, address, kKnownSettings);
        for (KnownSensor &k : list)
            if (k.address == address)
                k.name = m.name;
    }
    return list;
}

std::string KnownSensorText(const KnownSensor &k)
{
    char head[16];
    std::snprintf(head, sizeof head, "%5d", int(k.address));
    std::string text = head;
    if (!k.name.empty())
        text += "  " + k.name;
    std::string where;
    const std::pair<unsigned, const char *> sources[] = {
        {kKnownConnected, "在线"}, {kKnownDeviceTable, "设备表"}, {kKnownSettings, "设置"}, {kKnownHistory, "历史"}};
    for (const auto &[bit, word] : sources)
        if (k.sources & bit)
            where += where.empty() ? word : std::string(" ") + word;
    return text + "  [" + where + "]";
}

std::string SaveMachineForm(const MachineForm &form, DeviceParameterTable &table, const std::string &devicePath,
                            const std::string &settingsPath)
{
    if (!form.ok)
        return form.message;
    // Everything that can be known before writing is checked first, so that
    // a refusal leaves both files as they were.
    std::string old, error;
    bool existed = false;
    if (!ReadSettingsText(settingsPath, &old, &existed, &error))
        return error + "，设置未保存";
    const std::string edited = EditMachineTable(old, form.machine);
    std::vector<std::string> messages;
    const StationSettings check = ParseStationSettings(edited, kStationSettingsFileName, &messages);
    if (!check.readable || !check.sensors.count(form.machine.address))
        return std::string(kStationSettingsFileName) + " 有误" +
               (messages.empty() ? std::string() : "（" + messages.front() + "）") + "，请先修正该文件，设置未保存";
    if (table.FindDeviceRecord(form.address) < 0)
        return "设备参数表已满（已有100个其他传感器的记录），设置未保存";

    // The settings file first: it is the one an operator's hand edit can
    // spoil, and its old text is at hand to put back if the device table
    // cannot follow.
    const auto *bytes = reinterpret_cast<const uint8_t *>(edited.data());
    if (!WriteFileDurably(settingsPath, bytes, edited.size(), &error))
        return "无法保存 " + settingsPath + "：" + error + "，设置未保存";
    std::string deviceError;
    if (table.SaveDeviceRecord(devicePath, form.address, form.workMode, form.ratedSpeed, &deviceError) >= 0)
        return {};
    std::string undoError;
    bool undone = false;
    if (existed)
        undone = WriteFileDurably(settingsPath, reinterpret_cast<const uint8_t *>(old.data()), old.size(), &undoError);
    else if (!(undone = ::unlink(settingsPath.c_str()) == 0))
        undoError = std::string("无法删除：") + std::strerror(errno);
    if (undone)
        return deviceError + "；" + kStationSettingsFileName + " 已恢复原样，设置均未保存";
    return deviceError + "；机器设置却已写入 " + settingsPath + "，且无法恢复（" + undoError +
           "）：两个文件不一致，请重新保存";
}

}  // namespace tav
