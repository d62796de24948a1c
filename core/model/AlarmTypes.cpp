#include "core/model/AlarmTypes.h"

namespace tav {

const char *SeverityText(AlarmSeverity s)
{
    switch (s) {
    case AlarmSeverity::kAlert: return "预警";
    case AlarmSeverity::kDanger: return "危险";
    case AlarmSeverity::kOffline: return "离线";
    case AlarmSeverity::kSensorFault: return "传感器异常";
    case AlarmSeverity::kChange: return "变化";
    }
    return "";
}

const char *StateText(const Alarm &a)
{
    if (a.active)
        return a.acknowledged ? "已确认" : "未确认";
    return a.settingsRemoved ? "设置已删除未确认" : "已恢复未确认";
}

const char *QuantityText(int quantity)
{
    static const char *const kNames[kAlarmQuantityCount] = {
        "速度有效值(10-1000Hz)", "加速度有效值", "加速度峰值", "峰值因子",
        "加速度峭度",            "位移峰值",     "温度",       "转速偏差(%)",
    };
    static const char *const kBandNames[kMaxBands] = {"频带1", "频带2", "频带3", "频带4",
                                                      "频带5", "频带6", "频带7", "频带8"};
    if (quantity == kOfflineQuantity)
        return "连接";
    if (quantity == kSensorFaultQuantity)
        return "传感器";
    if (IsBandQuantity(quantity))
        return kBandNames[quantity - kBandQuantity];
    if (quantity == kIsoDisplacementQuantity)
        return "位移有效值(2-1000Hz)";
    return quantity >= 0 && quantity < kAlarmQuantityCount ? kNames[quantity] : "";
}

std::string SensorFaultText(uint8_t faults)
{
    // The bits of SensorFaultBit, lowest first.
    static const char *const kNames[4] = {"无振动", "采样值卡死", "削顶（达到量程）", "零点漂移"};
    std::string text;
    for (int b = 0; b < 4; ++b)
        if (faults & (1u << b))
            text += (text.empty() ? "" : "、") + std::string(kNames[b]);
    return text;
}

const char *AxisText(int axis)
{
    static const char *const kNames[3] = {"X轴", "Y轴", "Z轴"};
    return axis >= 0 && axis < 3 ? kNames[axis] : "";
}

const char *EventKindText(AlarmEventKind k)
{
    switch (k) {
    case AlarmEventKind::kRaise: return "报警";
    case AlarmEventKind::kClear: return "恢复";
    case AlarmEventKind::kAcknowledge: return "确认";
    case AlarmEventKind::kOffline: return "离线";
    case AlarmEventKind::kOnline: return "上线";
    case AlarmEventKind::kRateLimited: return "限流";
    case AlarmEventKind::kSettingsChanged: return "设置变更";
    }
    return "";
}

std::string EventRemark(const AlarmEvent &e)
{
    if (e.user.empty())
        return e.comment;
    return e.comment.empty() ? e.user : e.user + "：" + e.comment;
}

AlarmEvent AlarmEventOf(const Alarm &a, AlarmEventKind kind, int64_t utcMs)
{
    AlarmEvent e;
    e.utcMs = utcMs;
    e.kind = kind;
    e.alarmId = a.id;
    e.address = a.address;
    e.name = a.name;
    e.quantity = a.quantity;
    e.axis = a.axis;
    e.severity = a.severity;
    e.value = a.value;
    e.limit = a.limit;
    if (kind == AlarmEventKind::kRaise || kind == AlarmEventKind::kAcknowledge)
        e.capture = a.capture;
    return e;
}

}  // namespace tav
