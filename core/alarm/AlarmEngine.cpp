#include "core/alarm/AlarmEngine.h"

#include <algorithm>
#include <cmath>

namespace tav {

namespace {

double LimitOf(const Limits &l, int level) { return level == 2 ? l.danger : l.alert; }

}  // namespace

double AlarmEngine::LimitFor(const Sensor &s, int quantity, int axis, int level) const
{
    if (quantity == kChangeRow)
        return ChangeBound(s, axis);
    return LimitOf(s.limits[SourceOf(quantity)][axis < 0 ? 0 : axis], level);
}

double QuantityValue(const SteadySensorValues &v, int quantity, int axis)
{
    const int base = (axis < 0 ? 0 : axis) * kSteadyParameterCount;
    switch (quantity) {
    case kQuantityVelocity: return v.isoVelocity[axis];
    case kQuantityAccelerationRms: return v.values[base + kSteadyAR];
    case kQuantityAccelerationPeak: return v.values[base + kSteadyAP];
    case kQuantityCrestFactor: {
        const double rms = v.values[base + kSteadyAR];
        return rms > 0 ? v.values[base + kSteadyAP] / rms : NAN;
    }
    case kQuantityKurtosis: return v.values[base + kSteadyAK];
    case kQuantityDisplacementPeak: return v.values[base + kSteadyDP];
    case kQuantityTemperature: return v.temperature;
    case kIsoDisplacementQuantity: return axis >= 0 ? v.isoDisplacement[axis] : NAN;
    case kQuantitySpeedDeviation: {
        const double rated = v.ratedSpeed, rpm = v.values[kSpeedSeries];
        // No estimate yet reads as 0 rpm, which is not a 100 % deviation.
        if (!(rated > 0) || !(rpm > 0))
            return NAN;
        return std::fabs(rpm - rated) / rated * 100.0;
    }
    default:
        return IsBandQuantity(quantity) && axis >= 0 ? v.band[quantity - kBandQuantity][axis] : NAN;
    }
}

void AlarmEngine::SetSettings(const std::map<int32_t, MachineSettings> &machines, std::vector<std::string> *told)
{
    for (auto it = sensors_.begin(); it != sensors_.end();) {
        if (machines.count(it->first)) {
            ++it;
            continue;
        }
        // Nothing judges these alarms any more: an active one left in the
        // list would never clear, and the log and the broker would keep it.
        Sensor &s = it->second;
        const std::string comment = "该传感器的报警设置已删除，报警结束，不再判断";
        bool ended = false;
        for (int q = 0; q < kConditionRows; ++q)
            for (int axis = 0; axis < 3; ++axis) {
                Condition &c = s.conditions[q][axis];
                ended |= EndForSettings(s, c.alarmId, c.heard, QuantityOfSource(q), axis, lastTickMs_, comment);
            }
        ended |= EndForSettings(s, s.offlineAlarmId, s.offlineHeard, kOfflineQuantity, kNoAxis, lastTickMs_, comment);
        for (int axis = 0; axis < 3; ++axis)
            ended |= EndForSettings(s, s.faults[axis].alarmId, s.faults[axis].heard, kSensorFaultQuantity, axis,
                                    lastTickMs_, comment);
        if (ended && told)
            told->push_back("[sensor." + std::to_string(it->first) + "] 的设置已删除，其报警结束（设置变更）");
        it = sensors_.erase(it);
    }
    for (const auto &[address, m] : machines) {
        const bool fresh = !sensors_.count(address);
        Sensor &s = sensors_[address];
        const MachineSettings was = s.machine;
        s.machine = m;
        s.delayMs = std::llround(std::clamp(m.onDelayS, 0.0, kMaxOnDelayS) * 1000.0);
        Limits before[kAlarmSourceCount][3];
        std::copy(&s.limits[0][0], &s.limits[0][0] + kAlarmSourceCount * 3, &before[0][0]);
        SetLimits(s, m);
        s.changeBand = ChangeBand(m.isoClass);
        if (!fresh) {
            EndForLimitEdits(s, before, told);
            EndForBaselineEdits(s, was, told);
            continue;
        }
        // Back after its settings went away: entries still listed are its
        // sources' alarms, which a new excursion takes up again.
        for (const Alarm &a : alarms_) {
            if (a.address != address)
                continue;
            if (a.quantity == kOfflineQuantity)
                s.offlineAlarmId = a.id;
            else if (a.quantity == kSensorFaultQuantity && a.axis >= 0 && a.axis < 3)
                s.faults[a.axis].alarmId = a.id;
            else if (a.severity == AlarmSeverity::kChange && a.axis >= 0 && a.axis < 3)
                s.conditions[kChangeRow][a.axis].alarmId = a.id;
            else if ((a.quantity >= 0 && a.quantity < kAlarmQuantityCount) || IsBandQuantity(a.quantity) ||
                     a.quantity == kIsoDisplacementQuantity)
                s.conditions[SourceOf(a.quantity)][a.axis < 0 ? 0 : a.axis].alarmId = a.id;
        }
    }
    for (Alarm &a : alarms_)
        if (const MachineSettings *m = Machine(a.address))
            a.name = m->name;
}

bool AlarmEngine::EndForSettings(Sensor &s, uint64_t id, Heard &heard, int quantity, int axis, int64_t now,
                                 const std::string &comment)
{
    Alarm *a = id ? Find(id) : nullptr;
    const bool active = a && a->active;
    if (!active && heard.level == 0)
        return false;
    AlarmEvent e;
    if (active) {
        a->active = false;
        a->settingsRemoved = true;
        a->changedMs = now;
        e = AlarmEventOf(*a, AlarmEventKind::kSettingsChanged, now);
    } else {
        // Cleared while a hold kept it back: listeners still hear it active.
        e.utcMs = now;
        e.kind = AlarmEventKind::kSettingsChanged;
        e.alarmId = heard.id;
        e.address = s.machine.address;
        e.name = s.machine.name;
        e.quantity = quantity == kChangeRow ? kQuantityVelocity : quantity;
        e.axis = quantity == kOfflineQuantity || !PerAxis(e.quantity) ? kNoAxis : axis;
        e.severity = quantity == kOfflineQuantity      ? AlarmSeverity::kOffline
                     : quantity == kSensorFaultQuantity ? AlarmSeverity::kSensorFault
                     : quantity == kChangeRow           ? AlarmSeverity::kChange
                     : heard.level == 2                ? AlarmSeverity::kDanger
                                                  : AlarmSeverity::kAlert;
    }
    e.comment = comment;
    Tell(s, heard, 0, e);  // a change of settings is never held back
    if (a && !a->active && a->acknowledged)
        Forget(a->id);
    return true;
}

void AlarmEngine::AddListener(AlarmListener *listener)
{
    if (std::find(listeners_.begin(), listeners_.end(), listener) == listeners_.end())
        listeners_.push_back(listener);
}

void AlarmEngine::RemoveListener(AlarmListener *listener)
{
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

const MachineSettings *AlarmEngine::Machine(int32_t address) const
{
    auto it = sensors_.find(address);
    return it == sensors_.end() ? nullptr : &it->second.machine;
}

Zone AlarmEngine::ZoneOfSensor(int32_t address) const
{
    auto it = sensors_.find(address);
    return it == sensors_.end() ? Zone::kNone : it->second.zone;
}

ZoneBy AlarmEngine::ZoneBySensor(int32_t address) const
{
    auto it = sensors_.find(address);
    return it == sensors_.end() ? ZoneBy::kNone : it->second.zoneBy;
}

bool AlarmEngine::SlowAxis(int32_t address, int axis, AxisJudgement *out) const
{
    auto it = sensors_.find(address);
    if (it == sensors_.end() || !SlowMachine(it->second.machine) || axis < 0 || axis > 2)
        return false;
    *out = it->second.axes[axis];
    return true;
}

void AlarmEngine::OnSteadySnapshot(const SteadySnapshot &snapshot)
{
    const int64_t now = snapshot.utcMs;
    lastTickMs_ = now;
    // The snapshot is in slot order; sensors are few, so a scan per sensor
    // costs less than building an index on every tick.
    for (auto &[address, s] : sensors_) {
        const SteadySensorValues *v = nullptr;
        for (int i = 0; i < snapshot.count; ++i)
            if (snapshot.sensors[i].address == address) {
                v = &snapshot.sensors[i];
                break;
            }
        WatchOffline(s, v, now);
        if (v && !s.offline) {
            // Each window once, at its own time: a tick without a new window
            // has nothing new to judge and leaves the zone as it was.
            for (int w = 0; w < v->freshWindows; ++w) {
                int64_t at = now;
                const SteadySensorValues window = FreshWindow(*v, w, now, &at);
                EvaluateValues(s, window, at);
            }
            WatchFaults(s, *v, now);
        } else {
            s.zone = Zone::kNone;
            s.zoneBy = ZoneBy::kNone;
            std::fill(std::begin(s.axes), std::end(s.axes), AxisJudgement{});
        }
        // The oldest of the latest raises is a minute old: no more than the
        // limit in the last minute.
        if (s.held && now - s.heldSinceMs >= kRateHoldMs &&
            (s.raiseCount <= kMaxRaisesPerMinute || now - s.raiseTimes[0] >= 60000))
            EndHold(s, now);
    }
}

void AlarmEngine::WatchOffline(Sensor &s, const SteadySensorValues *v, int64_t now)
{
    if (s.lastMoveMs < 0)
        s.lastMoveMs = now;  // the watch starts with the first tick
    bool moved = false;
    if (v) {
        moved = !s.seen || v->generation != s.generation || v->packetsParsed != s.packets;
        s.seen = true;
        s.generation = v->generation;
        s.packets = v->packetsParsed;
        if (moved)
            s.lastMoveMs = now;
    }
    // A sensor never seen gets the 10 s from the first tick; one that was
    // seen is offline at once when its connection is gone.
    const bool offline = (s.seen && !v) || now - s.lastMoveMs >= kOfflineAfterMs;
    if (offline == s.offline)
        return;
    s.offline = offline;
    // Values stop counting while the sensor is away: their delays restart
    // when it is back.
    for (auto &perAxis : s.conditions)
        for (Condition &c : perAxis)
            for (int level = 1; level <= 2; ++level)
                c.aboveSince[level] = c.belowSince[level] = -1;
    Alarm &a = AlarmFor(&s.offlineAlarmId, s, kOfflineQuantity, kNoAxis);
    a.severity = AlarmSeverity::kOffline;
    a.changedMs = now;
    // An offline alarm has no value and no limit: the time since the last
    // packet when a connection ends says nothing.
    a.value = a.raiseValue = a.limit = NAN;
    if (offline) {
        a.active = true;
        a.acknowledged = false;
        a.settingsRemoved = false;
        a.raisedMs = a.firstExceededMs = now;
    } else {
        a.active = false;
    }
    const AlarmEvent e = AlarmEventOf(a, offline ? AlarmEventKind::kOffline : AlarmEventKind::kOnline, now);
    const uint64_t id = a.id;
    const bool gone = !a.active && a.acknowledged;
    Report(s, s.offlineHeard, offline ? 1 : 0, e, offline);
    if (gone) {
        Forget(id);
        s.offlineAlarmId = 0;
    }
}

void AlarmEngine::EvaluateValues(Sensor &s, const SteadySensorValues &v, int64_t now)
{
    JudgedZone worst;
    for (int axis = 0; axis < 3; ++axis) {
        const JudgedZone j = JudgeZone(s.machine.isoClass, v.isoVelocity[axis], v.isoDisplacement[axis]);
        s.axes[axis] = {j, v.isoVelocity[axis], v.isoDisplacement[axis]};
        if (int(j.zone) > int(worst.zone))
            worst = j;
    }
    s.zone = worst.zone;
    s.zoneBy = worst.by;
    for (int source = 0; source < kAlarmSourceCount; ++source) {
        const int q = QuantityOfSource(source);
        for (int axis = 0; axis < (PerAxis(q) ? 3 : 1); ++axis) {
            const Limits &l = s.limits[source][axis];
            const bool anyLimit = std::isfinite(l.alert) || std::isfinite(l.danger);
            const double value = QuantityValue(v, q, PerAxis(q) ? axis : kNoAxis);
            if (anyLimit || s.conditions[source][axis].level > 0)
                Evaluate(s, q, axis, value, v, now);
            if (q == kQuantityVelocity)
                EvaluateChange(s, axis, value, v, now);
        }
    }
}

void AlarmEngine::Evaluate(Sensor &s, int quantity, int axis, double value, const SteadySensorValues &v,
                           int64_t now)
{
    Condition &c = s.conditions[SourceOf(quantity)][axis];
    const Limits &l = s.limits[SourceOf(quantity)][axis];
    if (!std::isfinite(value)) {
        // Garbage neither raises nor clears: every delay starts again.
        for (int level = 1; level <= 2; ++level)
            c.aboveSince[level] = c.belowSince[level] = -1;
        return;
    }
    for (int level = 1; level <= 2; ++level) {
        const double limit = LimitOf(l, level);
        const bool finite = std::isfinite(limit);
        if (finite && value > limit) {
            if (c.aboveSince[level] < 0)
                c.aboveSince[level] = now;
        } else {
            c.aboveSince[level] = -1;
        }
        if (finite && value < limit * (1.0 - kAlarmDeadband)) {
            if (c.belowSince[level] < 0)
                c.belowSince[level] = now;
        } else {
            c.belowSince[level] = -1;
        }
    }
    auto held = [&](int level) { return c.aboveSince[level] >= 0 && now - c.aboveSince[level] >= s.delayMs; };
    // Under its own deadband for the delay, or its limit went away.
    auto gone = [&](int level) {
        return !std::isfinite(LimitOf(l, level)) ||
               (c.belowSince[level] >= 0 && now - c.belowSince[level] >= s.delayMs);
    };
    const int up = held(2) ? 2 : held(1) ? 1 : 0;
    if (up > c.level) {
        SetLevel(s, c, quantity, axis, up, value, c.aboveSince[up], &v, now);
        return;
    }
    if (c.level == 0)
        return;
    // Danger that ends leaves the alert standing as long as the value has not
    // been under the alert's deadband for the delay, as it would had the
    // value come down through the alert zone.
    int down = c.level;
    if (down == 2 && gone(2))
        down = 1;
    if (down == 1 && gone(1))
        down = 0;
    if (down < c.level) {
        SetLevel(s, c, quantity, axis, down, value, now, &v, now);
        return;
    }
    if (c.alarmId)
        if (Alarm *a = Find(c.alarmId); a && a->active)
            a->value = value;
}

void AlarmEngine::SetLevel(Sensor &s, Condition &c, int quantity, int axis, int level, double value,
                           int64_t firstMs, const SteadySensorValues *v, int64_t now)
{
    const int was = c.level;
    c.level = level;
    const bool change = quantity == kChangeRow;
    Alarm &a = AlarmFor(&c.alarmId, s, change ? kQuantityVelocity : quantity, axis);
    a.changedMs = now;
    a.value = value;
    if (level > was) {
        a.severity = change ? AlarmSeverity::kChange : level == 2 ? AlarmSeverity::kDanger : AlarmSeverity::kAlert;
        a.active = true;
        a.acknowledged = false;  // a new or worse excursion must be seen again
        a.settingsRemoved = false;
        a.raisedMs = now;
        a.firstExceededMs = firstMs;
        a.raiseValue = value;
        a.limit = LimitFor(s, quantity, axis, level);
        if (capture_ && v) {
            std::string path = capture_->RequestCapture(s.machine.address, v->slot, v->generation, firstMs, now);
            if (!path.empty())
                a.capture = std::move(path);
        }
        Report(s, c.heard, level, AlarmEventOf(a, AlarmEventKind::kRaise, now), true);
        return;
    }
    if (level == 1) {
        // Danger stepping down to alert is the alert's raise for whoever
        // keeps the alarm's state from the events.
        a.severity = AlarmSeverity::kAlert;
        a.limit = LimitFor(s, quantity, axis, 1);
        AlarmEvent e = AlarmEventOf(a, AlarmEventKind::kRaise, now);
        e.comment = "由危险降为预警";
        Report(s, c.heard, 1, e, false);
        return;
    }
    AlarmEvent e = AlarmEventOf(a, AlarmEventKind::kClear, now);
    a.active = false;
    const uint64_t id = a.id;
    const bool gone = a.acknowledged;
    Report(s, c.heard, 0, e, false);
    if (gone) {
        Forget(id);
        c.alarmId = 0;
    }
}

Alarm &AlarmEngine::AlarmFor(uint64_t *id, const Sensor &s, int quantity, int axis)
{
    if (*id)
        if (Alarm *a = Find(*id))
            return *a;
    Alarm a;
    a.id = nextId_++;
    a.address = s.machine.address;
    a.name = s.machine.name;
    a.quantity = quantity;
    a.axis = quantity == kOfflineQuantity || !PerAxis(quantity) ? kNoAxis : axis;
    alarms_.push_back(std::move(a));
    *id = alarms_.back().id;
    return alarms_.back();
}

Alarm *AlarmEngine::Find(uint64_t id)
{
    for (Alarm &a : alarms_)
        if (a.id == id)
            return &a;
    return nullptr;
}

void AlarmEngine::Forget(uint64_t id)
{
    alarms_.erase(std::remove_if(alarms_.begin(), alarms_.end(), [id](const Alarm &a) { return a.id == id; }),
                  alarms_.end());
}

void AlarmEngine::Report(Sensor &s, Heard &heard, int level, const AlarmEvent &e, bool raise)
{
    if (raise) {
        constexpr int kKept = kMaxRaisesPerMinute + 1;
        if (s.raiseCount == kKept)
            std::rotate(s.raiseTimes, s.raiseTimes + 1, s.raiseTimes + kKept);
        else
            ++s.raiseCount;
        s.raiseTimes[s.raiseCount - 1] = e.utcMs;
        if (!s.held && s.raiseCount == kKept && e.utcMs - s.raiseTimes[0] < 60000) {
            s.held = true;
            s.heldSinceMs = e.utcMs;
            AlarmEvent note;
            note.utcMs = e.utcMs;
            note.kind = AlarmEventKind::kRateLimited;
            note.address = e.address;
            note.name = e.name;
            note.severity = e.severity;
            note.comment = "一分钟内报警超过" + std::to_string(kMaxRaisesPerMinute) +
                           "次，暂停记录该传感器重复的报警和恢复（报警列表照常更新，级别升高照常记录），"
                           "暂停结束时记录当时的状态";
            Broadcast(note);
        }
    }
    // A hold keeps back what only repeats or lowers what listeners last
    // heard of the source; a rise above it is never held.
    if (s.held && level <= heard.level)
        return;
    Tell(s, heard, level, e);
}

void AlarmEngine::Tell(const Sensor &s, Heard &heard, int level, const AlarmEvent &e)
{
    if (heard.level > 0 && heard.id != e.alarmId) {
        // The alarm they hear as active cleared and left the list during a
        // hold; this source's events are now another alarm's.
        AlarmEvent end = e;
        end.alarmId = heard.id;
        end.capture.clear();
        end.comment.clear();
        end.value = NAN;
        if (e.quantity == kOfflineQuantity) {
            end.kind = AlarmEventKind::kOnline;
            end.severity = AlarmSeverity::kOffline;
            end.limit = NAN;
        } else if (e.quantity == kSensorFaultQuantity) {
            end.kind = AlarmEventKind::kClear;
            end.severity = AlarmSeverity::kSensorFault;
            end.limit = NAN;
        } else if (e.severity == AlarmSeverity::kChange) {
            end.kind = AlarmEventKind::kClear;
            end.limit = NAN;  // the bound it crossed then is not known here
        } else {
            end.kind = AlarmEventKind::kClear;
            end.severity = heard.level == 2 ? AlarmSeverity::kDanger : AlarmSeverity::kAlert;
            end.limit = LimitFor(s, e.quantity, e.axis, heard.level);
        }
        Broadcast(end);
    }
    heard.level = level;
    heard.id = e.alarmId;
    Broadcast(e);
}

void AlarmEngine::EndHold(Sensor &s, int64_t now)
{
    s.held = false;
    const char *const kNote = "暂停记录结束，补记当时的状态";
    for (int source = 0; source < kConditionRows; ++source)
        for (int axis = 0; axis < 3; ++axis) {
            const int q = QuantityOfSource(source);
            Condition &c = s.conditions[source][axis];
            const Alarm *a = c.alarmId ? Find(c.alarmId) : nullptr;
            if ((c.level > 0 && !a) || (c.level == c.heard.level && (c.level == 0 || a->id == c.heard.id)))
                continue;
            AlarmEvent e;
            if (c.level > 0) {
                e = AlarmEventOf(*a, AlarmEventKind::kRaise, now);
            } else {
                // Listeners hear an alarm active that has cleared.
                e.utcMs = now;
                e.kind = AlarmEventKind::kClear;
                e.alarmId = c.heard.id;
                e.address = s.machine.address;
                e.name = s.machine.name;
                e.quantity = q == kChangeRow ? kQuantityVelocity : q;
                e.axis = PerAxis(e.quantity) ? axis : kNoAxis;
                e.severity = q == kChangeRow          ? AlarmSeverity::kChange
                             : c.heard.level == 2     ? AlarmSeverity::kDanger
                                                      : AlarmSeverity::kAlert;
                e.value = a && a->id == c.heard.id ? a->value : NAN;
                e.limit = LimitFor(s, q, axis, c.heard.level);
            }
            e.comment = c.level == 1 && c.heard.level == 2 && a && a->id == c.heard.id
                            ? std::string("由危险降为预警；") + kNote
                            : kNote;
            Tell(s, c.heard, c.level, e);
        }
    const int offline = s.offline ? 1 : 0;
    if (offline == s.offlineHeard.level && (!offline || s.offlineAlarmId == s.offlineHeard.id))
        return;
    AlarmEvent e;
    if (const Alarm *a = s.offlineAlarmId ? Find(s.offlineAlarmId) : nullptr) {
        e = AlarmEventOf(*a, offline ? AlarmEventKind::kOffline : AlarmEventKind::kOnline, now);
    } else {
        e.utcMs = now;
        e.kind = AlarmEventKind::kOnline;
        e.alarmId = s.offlineHeard.id;
        e.address = s.machine.address;
        e.name = s.machine.name;
        e.severity = AlarmSeverity::kOffline;
    }
    if (!offline)
        e.alarmId = s.offlineHeard.id;  // what comes online is the alarm they heard
    e.comment = kNote;
    Tell(s, s.offlineHeard, offline, e);
}

void AlarmEngine::Broadcast(const AlarmEvent &e)
{
    recent_.push_back(e);
    if (recent_.size() > kRecentEventCount)
        recent_.pop_front();
    for (AlarmListener *l : listeners_)
        l->OnAlarmEvent(e);
}

}  // namespace tav
