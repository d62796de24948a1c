// Alarms whose limit an edit of the settings file took away (a removed key,
// a typo such as velocity_alrt, a value that cannot be read) or moved above
// the value. Left to the evaluation they would be logged as recovered, which
// tells the plant the machine is fine when only the file changed.
#include <cmath>
#include <cstdio>

#include "core/alarm/AlarmEngine.h"
#include "core/alarm/LimitText.h"

namespace tav {

void AlarmEngine::EndForLimitEdits(Sensor &s, const Limits (&before)[kAlarmSourceCount][3],
                                   std::vector<std::string> *told)
{
    for (int source = 0; source < kAlarmSourceCount; ++source)
        for (int axis = 0; axis < 3; ++axis) {
            const int q = QuantityOfSource(source);
            Condition &c = s.conditions[source][axis];
            if (c.level == 0)
                continue;
            const Limits &then = before[source][axis], &limits = s.limits[source][axis];
            const double was = c.level == 2 ? then.danger : then.alert;
            const double now = c.level == 2 ? limits.danger : limits.alert;
            if (was == now || (!std::isfinite(was) && !std::isfinite(now)))
                continue;
            const Alarm *a = c.alarmId ? Find(c.alarmId) : nullptr;
            const double value = a ? a->value : NAN;
            if (std::isfinite(now) && value > now)
                continue;  // still over the limit as it is now: the alarm stands
            // An explicit limit names its key; a velocity class boundary is
            // reached through iso_class.
            // A displacement zone follows iso_class and rated_rpm.
            const std::string key = q == kIsoDisplacementQuantity
                                        ? std::string("iso_class / rated_rpm")
                                        : std::string(AlarmQuantityKey(q)) + (c.level == 2 ? "_danger" : "_alert");
            const std::string edit = "[sensor." + std::to_string(s.machine.address) + "] " + key + " 由 " +
                                     LimitText(was) + " 改为 " + LimitText(now);
            if (EndForSettings(s, c.alarmId, c.heard, q, axis, lastTickMs_, edit + "，报警结束（设置变更）") && told)
                told->push_back(edit + "（可能是键名写错、值无法读取或已删除），该报警结束（设置变更），"
                                       "此后按新的设置判断");
            // Judged afresh against the limits there are now; an entry still
            // listed is taken up by the next excursion.
            c.level = 0;
            for (int level = 1; level <= 2; ++level)
                c.aboveSince[level] = c.belowSince[level] = -1;
        }
}

void AlarmEngine::SetLimits(Sensor &s, const MachineSettings &m)
{
    for (int q = 0; q < kAlarmQuantityCount; ++q)
        for (int axis = 0; axis < 3; ++axis)
            s.limits[q][axis] = EffectiveLimits(m, q, PerAxis(q) ? axis : kNoAxis);
    for (int axis = 0; axis < 3; ++axis)
        s.limits[kDisplacementSource][axis] = DisplacementLimits(m);
    s.bandCount = WatchedBands(m, s.bands);
    for (int b = 0; b < kMaxBands; ++b)
        for (int axis = 0; axis < 3; ++axis)
            s.limits[kAlarmQuantityCount + b][axis] =
                b < s.bandCount ? Limits{s.bands[b].alert[axis], s.bands[b].danger[axis]} : Limits{};
}

const WatchedBand *AlarmEngine::Bands(int32_t address, int *count) const
{
    const auto it = sensors_.find(address);
    *count = it == sensors_.end() ? 0 : it->second.bandCount;
    return it == sensors_.end() ? nullptr : it->second.bands;
}

}  // namespace tav
