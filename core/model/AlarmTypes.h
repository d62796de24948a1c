#pragma once
// Alarms as the operator sees them and the events their changes produce.
#include <cmath>
#include <cstdint>
#include <string>

#include "core/model/MachineSettings.h"

namespace tav {

// kSensorFault: the sensor itself measures wrongly (SensorFaultBit), so its
// values say nothing about the machine. kChange: the severity moved away
// from the machine's baseline (an alarm of the velocity quantity).
enum class AlarmSeverity { kAlert = 1, kDanger = 2, kOffline = 3, kSensorFault = 4, kChange = 5 };

// "预警", "危险", "离线", "传感器异常", "变化".
const char *SeverityText(AlarmSeverity s);

// Quantity of an offline alarm, which has no axis either.
constexpr int kOfflineQuantity = -1;
constexpr int kNoAxis = -1;
// Quantity of a sensor-fault alarm, one per axis; -2 stays "unknown" for the
// log's reader.
constexpr int kSensorFaultQuantity = -3;

// The faults of a SensorFaultBit mask for the operator: "无振动", "采样值卡死",
// "削顶（达到量程）", "零点漂移", joined by "、"; "" for none.
std::string SensorFaultText(uint8_t faults);
// One alarm per sensor, quantity and axis (or per sensor for offline): a new
// excursion of the same source changes this alarm's state instead of adding
// another. Danger supersedes alert on the same source.
struct Alarm {
    uint64_t id = 0;
    int32_t address = 0;
    std::string name;              // the machine's name, may be empty
    int quantity = kOfflineQuantity;  // AlarmQuantity, or kOfflineQuantity
    int axis = kNoAxis;            // 0..2 for per-axis quantities
    AlarmSeverity severity = AlarmSeverity::kAlert;
    bool active = true;            // false: cleared
    bool acknowledged = false;
    int64_t raisedMs = 0;          // UTC ms it (last) became active
    int64_t firstExceededMs = 0;   // when the value first went over the limit
    int64_t changedMs = 0;         // last state change
    int64_t acknowledgedMs = 0;
    double raiseValue = NAN;       // the value that (last) raised it; none for offline
    double value = NAN;            // the latest while active, the last one after; none for offline
    double limit = NAN;            // none for offline
    bool settingsRemoved = false;  // ended because its sensor's settings went away
    std::string comment;           // of the acknowledgement
    std::string acknowledgedBy;    // who: the desktop's login name, or a plant user's
    std::string capture;           // path of the raw capture, empty if none
    bool captureLost = false;      // one was asked for but none could be kept
    uint8_t faults = 0;            // a sensor-fault alarm's SensorFaultBit mask, the latest while active
};

// "未确认", "已确认", "已恢复未确认", "设置已删除未确认" (cleared and
// acknowledged alarms leave the list).
const char *StateText(const Alarm &a);

// kRaise also tells a danger alarm stepping down to alert (its severity is
// then alert, with a note), so that every consumer reads it as "alert
// active". kSettingsChanged ends an alarm whose sensor is no longer judged.
enum class AlarmEventKind { kRaise, kClear, kAcknowledge, kOffline, kOnline, kRateLimited, kSettingsChanged };

// The operator's name of a quantity ("速度有效值(10-1000Hz)", ...) and of an
// axis ("X轴", "Y轴", "Z轴", "" for none); the offline alarm's is "连接",
// a sensor fault's "传感器".
const char *QuantityText(int quantity);
const char *AxisText(int axis);

// "报警", "恢复", "确认", "离线", "上线", "限流", "设置变更".
const char *EventKindText(AlarmEventKind k);

struct AlarmEvent {
    int64_t utcMs = 0;
    AlarmEventKind kind = AlarmEventKind::kRaise;
    uint64_t alarmId = 0;
    int32_t address = 0;
    std::string name;
    int quantity = kOfflineQuantity;
    int axis = kNoAxis;
    AlarmSeverity severity = AlarmSeverity::kAlert;
    double value = NAN;
    double limit = NAN;
    std::string comment;  // acknowledgement comment, or a note
    std::string user;     // who acknowledged; empty for every other event
    std::string capture;
    // Not an event of its own: the history's correction that `capture`
    // could not be kept (`comment` says so), for the events already stored.
    bool captureLost = false;
};

// The event `kind` of alarm `a` at `utcMs`, as every consumer receives it;
// only a raise or an acknowledgement carries the capture's path.
AlarmEvent AlarmEventOf(const Alarm &a, AlarmEventKind kind, int64_t utcMs);

// The event's remark as the log's "备注" shows it: who acknowledged leads
// ("张工：已通知维修"), so the log's columns stay as readers know them.
std::string EventRemark(const AlarmEvent &e);

// Receives every alarm event on the window thread; must return at once
// (queue the event for a thread of its own to store or send it).
class AlarmListener {
public:
    virtual ~AlarmListener() = default;
    virtual void OnAlarmEvent(const AlarmEvent &event) = 0;
};

// Asked for a raw capture when a value alarm becomes active. Returns the
// path the capture will have, or an empty string when none is made.
class CaptureRequester {
public:
    virtual ~CaptureRequester() = default;
    virtual std::string RequestCapture(int32_t address, int slot, uint32_t generation, int64_t firstExceededMs,
                                       int64_t activeMs) = 0;
};

}  // namespace tav
