// The "变化" watch: a machine whose severity moved more than a quarter of the
// B/C boundary away from its own baseline, either way, has changed even
// while it is still in zone B. It is an alarm like the others: the same
// on-delay to raise, the same 5 % deadband (of the band) held for the delay
// to end, acknowledged and logged alike.
#include <cmath>
#include <cstdio>

#include "core/alarm/AlarmEngine.h"
#include "core/alarm/LimitText.h"

namespace tav {

double AlarmEngine::ChangeBound(const Sensor &s, int axis) const
{
    // The bound crossed: above the baseline or below it.
    const double base = s.machine.baseline.velocity[axis];
    return s.conditions[kChangeRow][axis].changeBelow ? base - s.changeBand : base + s.changeBand;
}

void AlarmEngine::EvaluateChange(Sensor &s, int axis, double value, const SteadySensorValues &v, int64_t now)
{
    Condition &c = s.conditions[kChangeRow][axis];
    const double base = s.machine.baseline.velocity[axis];
    const double band = s.changeBand;
    // A machine standing still has not changed: its stops would otherwise
    // each raise a drop.
    const bool judged = std::isfinite(base) && std::isfinite(band) && std::isfinite(value) &&
                        MachineRunning(v.values[kSpeedSeries], v.ratedSpeed, value);
    if (!judged) {
        c.aboveSince[1] = c.belowSince[1] = -1;
        return;
    }
    const double off = std::fabs(value - base);
    if (off > band) {
        if (c.aboveSince[1] < 0)
            c.aboveSince[1] = now;
    } else {
        c.aboveSince[1] = -1;
    }
    if (off < band * (1.0 - kAlarmDeadband)) {
        if (c.belowSince[1] < 0)
            c.belowSince[1] = now;
    } else {
        c.belowSince[1] = -1;
    }
    if (c.level == 0 && c.aboveSince[1] >= 0 && now - c.aboveSince[1] >= s.delayMs) {
        c.changeBelow = value < base;
        SetLevel(s, c, kChangeRow, axis, 1, value, c.aboveSince[1], &v, now);
    } else if (c.level == 1 && c.belowSince[1] >= 0 && now - c.belowSince[1] >= s.delayMs) {
        SetLevel(s, c, kChangeRow, axis, 0, value, now, &v, now);
    } else if (c.level == 1 && c.alarmId) {
        if (Alarm *a = Find(c.alarmId); a && a->active)
            a->value = value;
    }
}

void AlarmEngine::EndForBaselineEdits(Sensor &s, const MachineSettings &before, std::vector<std::string> *told)
{
    const double bandBefore = ChangeBand(before.isoClass);
    for (int axis = 0; axis < 3; ++axis) {
        Condition &c = s.conditions[kChangeRow][axis];
        const double was = before.baseline.velocity[axis], now = s.machine.baseline.velocity[axis];
        const bool same = (was == now || (!std::isfinite(was) && !std::isfinite(now))) &&
                          (bandBefore == s.changeBand || (!std::isfinite(bandBefore) && !std::isfinite(s.changeBand)));
        if (same)
            continue;
        // Judged afresh against the new baseline: a change measured from the
        // old one says nothing about the new.
        if (c.level > 0) {
            const std::string edit = "[sensor." + std::to_string(s.machine.address) + "] " + AxisText(axis) +
                                     "基线 由 " + LimitText(was) + " 改为 " + LimitText(now);
            if (EndForSettings(s, c.alarmId, c.heard, kChangeRow, axis, lastTickMs_, edit + "，变化报警结束（设置变更）") &&
                told)
                told->push_back(edit + "，该变化报警结束（设置变更），此后按新的基线判断");
        }
        c.level = 0;
        c.aboveSince[1] = c.belowSince[1] = -1;
    }
}

}  // namespace tav
