// The sensor-fault alarms of the engine: one per axis, raised when the
// station's health watch judges the axis faulty and cleared when it no
// longer does. The watch already holds each fault for its own delay, so
// these events are never held back as a flapping value's are.
#include "core/alarm/AlarmEngine.h"

namespace tav {

void AlarmEngine::WatchFaults(Sensor &s, const SteadySensorValues &v, int64_t now)
{
    for (int axis = 0; axis < 3; ++axis) {
        Condition &c = s.faults[axis];
        const uint8_t faults = v.sensorFault[axis];
        const int level = faults ? 1 : 0;
        Alarm *listed = c.alarmId ? Find(c.alarmId) : nullptr;
        if (level == c.level) {
            // Another fault on an axis already faulty is told once more.
            if (!level || !listed || listed->faults == faults)
                continue;
        }
        c.level = level;
        Alarm &a = AlarmFor(&c.alarmId, s, kSensorFaultQuantity, axis);
        a.severity = AlarmSeverity::kSensorFault;
        a.changedMs = now;
        a.value = a.raiseValue = a.limit = NAN;
        AlarmEvent e;
        if (level) {
            const bool fresh = !a.active;
            a.faults = faults;
            if (fresh) {
                a.active = true;
                a.acknowledged = false;
                a.settingsRemoved = false;
                a.raisedMs = a.firstExceededMs = now;
            }
            e = AlarmEventOf(a, AlarmEventKind::kRaise, now);
            e.comment = SensorFaultText(faults);
        } else {
            e = AlarmEventOf(a, AlarmEventKind::kClear, now);
            e.comment = SensorFaultText(a.faults);
            a.active = false;
        }
        const uint64_t id = a.id;
        const bool gone = !a.active && a.acknowledged;
        Tell(s, c.heard, level, e);
        if (gone) {
            Forget(id);
            c.alarmId = 0;
        }
    }
}

}  // namespace tav
