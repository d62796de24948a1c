#include "alarm/AlarmTypes.h"

namespace tav {

const char *SeverityText(AlarmSeverity s)
{
    switch (s) {
    case AlarmSeverity::kAlert: return "预警";
    case AlarmSeverity::kDanger: return "危险";
    case AlarmSeverity::kOffline: return "离线";
    }
    return "";
}

const char *StateText(const Alarm &a)
{
    if (a.active)
        return a.acknowledged ? "已确认" : "未确认";
    return "已恢复未确认";
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
    }
    return "";
}

}  // namespace tav
