#include "alarm/AlarmEngine.h"

#include <algorithm>
#include <cmath>

namespace tav {

namespace {

double LimitOf(const Limits &l, int level) { return level == 2 ? l.danger : l.alert; }

}  // namespace

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
    case kQuantitySpeedDeviation: {
        const double rated = v.ratedSpeed, rpm = v.values[kSpeedSeries];
        // No estimate yet reads as 0 rpm, which is not a 100 % deviation.
        if (!(rated > 0) || !(rpm > 0))
            return NAN;
        return std::fabs(rpm - rated) / rated * 100.0;
    }
    default: return NAN;
    }
}

void AlarmEngine::SetSettings(const std::map<int32_t, MachineSettings> &machines)
{
    for (auto it = sensors_.begin(); it != sensors_.end();)
        it = machines.count(it->first) ? std::next(it) : sensors_.erase(it);
    for (const auto &[address, m] : machines) {
        Sensor &s = sensors_[address];
        s.machine = m;
        s.delayMs = std::llround(std::clamp(m.onDelayS, 0.0, kMaxOnDelayS) * 1000.0);
        for (int q = 0; q < kAlarmQuantityCount; ++q)
            s.limits[q] = EffectiveLimits(m, q);
    }
    for (Alarm &a : alarms_)
        if (const MachineSettings *m = Machine(a.address))
            a.name = m->name;
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

void AlarmEngine::OnSteadySnapshot(const SteadySnapshot &snapshot)
{
    const int64_t now = snapshot.utcMs;
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
        if (v && !s.offline)
            EvaluateValues(s, *v, now);
        else
            s.zone = Zone::kNone;
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
        for (Condition &c : perAxis) {
            c.aboveSince[1] = c.aboveSince[2] = -1;
            c.belowSince = -1;
        }
    Alarm &a = AlarmFor(&s.offlineAlarmId, s, kOfflineQuantity, kNoAxis);
    a.severity = AlarmSeverity::kOffline;
    a.changedMs = now;
    a.limit = double(kOfflineAfterMs) / 1000.0;
    a.value = double(now - s.lastMoveMs) / 1000.0;
    AlarmEvent e;
    e.utcMs = now;
    e.alarmId = a.id;
    e.address = a.address;
    e.name = a.name;
    e.severity = AlarmSeverity::kOffline;
    if (offline) {
        a.active = true;
        a.acknowledged = false;
        a.raisedMs = a.firstExceededMs = now;
        e.kind = AlarmEventKind::kOffline;
        e.value = a.value;
        e.limit = a.limit;
    } else {
        a.active = false;
        e.kind = AlarmEventKind::kOnline;
    }
    const uint64_t id = a.id;
    const bool gone = !a.active && a.acknowledged;
    Emit(&s, e, offline);
    if (gone) {
        Forget(id);
        s.offlineAlarmId = 0;
    }
}

void AlarmEngine::EvaluateValues(Sensor &s, const SteadySensorValues &v, int64_t now)
{
    double worstVelocity = NAN;
    for (int q = 0; q < kAlarmQuantityCount; ++q) {
        const bool anyLimit = std::isfinite(s.limits[q].alert) || std::isfinite(s.limits[q].danger);
        for (int axis = 0; axis < (PerAxis(q) ? 3 : 1); ++axis) {
            const double value = QuantityValue(v, q, PerAxis(q) ? axis : kNoAxis);
            if (q == kQuantityVelocity && std::isfinite(value) && !(value <= worstVelocity))
                worstVelocity = value;
            if (anyLimit || s.conditions[q][axis].level > 0)
                Evaluate(s, q, axis, value, v, now);
        }
    }
    s.zone = ZoneOf(s.machine.isoClass, worstVelocity);
}

void AlarmEngine::Evaluate(Sensor &s, int quantity, int axis, double value, const SteadySensorValues &v,
                           int64_t now)
{
    Condition &c = s.conditions[quantity][axis];
    const Limits &l = s.limits[quantity];
    if (!std::isfinite(value)) {
        // Garbage neither raises nor clears: every delay starts again.
        c.aboveSince[1] = c.aboveSince[2] = -1;
        c.belowSince = -1;
        return;
    }
    for (int level = 1; level <= 2; ++level) {
        const double limit = LimitOf(l, level);
        if (std::isfinite(limit) && value > limit) {
            if (c.aboveSince[level] < 0)
                c.aboveSince[level] = now;
        } else {
            c.aboveSince[level] = -1;
        }
    }
    auto held = [&](int level) { return c.aboveSince[level] >= 0 && now - c.aboveSince[level] >= s.delayMs; };
    const int up = held(2) ? 2 : held(1) ? 1 : 0;
    if (up > c.level) {
        c.belowSince = -1;
        SetLevel(s, c, quantity, axis, up, value, c.aboveSince[up], &v, now);
        return;
    }
    if (c.level == 0)
        return;
    const double limit = LimitOf(l, c.level);
    if (!std::isfinite(limit)) {  // the limit went away with new settings
        SetLevel(s, c, quantity, axis, held(1) ? 1 : 0, value, now, &v, now);
        return;
    }
    if (value < limit * (1.0 - kAlarmDeadband)) {
        if (c.belowSince < 0)
            c.belowSince = now;
        if (now - c.belowSince >= s.delayMs) {
            c.belowSince = -1;
            SetLevel(s, c, quantity, axis, c.level == 2 && held(1) ? 1 : 0, value, now, &v, now);
        }
    } else {
        c.belowSince = -1;
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
    Alarm &a = AlarmFor(&c.alarmId, s, quantity, axis);
    AlarmEvent e;
    e.utcMs = now;
    e.alarmId = a.id;
    e.address = a.address;
    e.name = a.name;
    e.quantity = quantity;
    e.axis = a.axis;
    e.value = value;
    if (level > was) {
        a.severity = level == 2 ? AlarmSeverity::kDanger : AlarmSeverity::kAlert;
        a.active = true;
        a.acknowledged = false;  // a new or worse excursion must be seen again
        a.raisedMs = a.changedMs = now;
        a.firstExceededMs = firstMs;
        a.value = value;
        a.limit = LimitOf(s.limits[quantity], level);
        if (capture_ && v) {
            std::string path = capture_->RequestCapture(s.machine.address, v->slot, v->generation, firstMs, now);
            if (!path.empty())
                a.capture = std::move(path);
        }
        e.kind = AlarmEventKind::kRaise;
        e.severity = a.severity;
        e.limit = a.limit;
        e.capture = a.capture;
        Emit(&s, e, true);
        return;
    }
    // Down: the danger part or the whole alarm clears.
    e.kind = AlarmEventKind::kClear;
    e.severity = was == 2 ? AlarmSeverity::kDanger : AlarmSeverity::kAlert;
    e.limit = LimitOf(s.limits[quantity], was);
    a.changedMs = now;
    a.value = value;
    if (level == 1) {
        a.severity = AlarmSeverity::kAlert;
        a.limit = LimitOf(s.limits[quantity], 1);
    } else {
        a.active = false;
    }
    const uint64_t id = a.id;
    const bool gone = !a.active && a.acknowledged;
    Emit(&s, e, false);
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

void AlarmEngine::Emit(Sensor *s, AlarmEvent e, bool isRaise)
{
    if (s) {
        if (s->muted && e.utcMs - s->raiseTimes[0] >= 60000)
            s->muted = false;  // a quiet minute: heard again
        if (isRaise) {
            // raiseTimes keeps the latest raises oldest first.
            if (s->raiseCount == kMaxRaisesPerMinute) {
                std::rotate(s->raiseTimes, s->raiseTimes + 1, s->raiseTimes + kMaxRaisesPerMinute);
                s->raiseTimes[kMaxRaisesPerMinute - 1] = e.utcMs;
            } else {
                s->raiseTimes[s->raiseCount++] = e.utcMs;
            }
            if (!s->muted && s->raiseCount == kMaxRaisesPerMinute && e.utcMs - s->raiseTimes[0] < 60000) {
                s->muted = true;
                AlarmEvent note;
                note.utcMs = e.utcMs;
                note.kind = AlarmEventKind::kRateLimited;
                note.address = e.address;
                note.name = e.name;
                note.severity = e.severity;
                note.comment = "一分钟内报警超过" + std::to_string(kMaxRaisesPerMinute) +
                               "次，暂停记录该传感器的报警变化，报警列表照常更新";
                Emit(nullptr, note, false);
            }
        }
        if (s->muted)
            return;
    }
    recent_.push_back(e);
    if (recent_.size() > kRecentEventCount)
        recent_.pop_front();
    for (AlarmListener *l : listeners_)
        l->OnAlarmEvent(e);
}

int AlarmEngine::Acknowledge(const std::vector<uint64_t> &ids, const std::string &comment, int64_t utcMs)
{
    int changed = 0;
    std::vector<uint64_t> gone;
    for (Alarm &a : alarms_) {
        if (a.acknowledged || (!ids.empty() && std::find(ids.begin(), ids.end(), a.id) == ids.end()))
            continue;
        a.acknowledged = true;
        a.acknowledgedMs = utcMs;
        a.comment = comment;
        ++changed;
        AlarmEvent e;
        e.utcMs = utcMs;
        e.kind = AlarmEventKind::kAcknowledge;
        e.alarmId = a.id;
        e.address = a.address;
        e.name = a.name;
        e.quantity = a.quantity;
        e.axis = a.axis;
        e.severity = a.severity;
        e.value = a.value;
        e.limit = a.limit;
        e.comment = comment;
        e.capture = a.capture;
        Emit(nullptr, e, false);  // an operator's act is never rate limited
        if (!a.active)
            gone.push_back(a.id);
    }
    for (uint64_t id : gone) {
        Forget(id);
        for (auto &[address, s] : sensors_) {
            if (s.offlineAlarmId == id)
                s.offlineAlarmId = 0;
            for (auto &perAxis : s.conditions)
                for (Condition &c : perAxis)
                    if (c.alarmId == id)
                        c.alarmId = 0;
        }
    }
    return changed;
}

std::vector<Alarm> AlarmEngine::Alarms() const
{
    std::vector<Alarm> list(alarms_.rbegin(), alarms_.rend());  // later ids first on equal times
    std::stable_sort(list.begin(), list.end(),
                     [](const Alarm &a, const Alarm &b) { return a.raisedMs > b.raisedMs; });
    return list;
}

int AlarmEngine::ActiveCount() const
{
    return int(std::count_if(alarms_.begin(), alarms_.end(), [](const Alarm &a) { return a.active; }));
}

int AlarmEngine::UnacknowledgedCount() const
{
    return int(std::count_if(alarms_.begin(), alarms_.end(), [](const Alarm &a) { return !a.acknowledged; }));
}

namespace {
// Danger first, then a sensor out of sight, then alert.
int SeverityRank(AlarmSeverity s) { return s == AlarmSeverity::kDanger ? 3 : s == AlarmSeverity::kOffline ? 2 : 1; }
}  // namespace

int AlarmEngine::WorstActiveSeverity(int32_t address, int axis) const
{
    int worst = 0, worstRank = 0;
    for (const Alarm &a : alarms_) {
        if (!a.active || a.address != address || (axis != kNoAxis && a.axis != kNoAxis && a.axis != axis))
            continue;
        if (SeverityRank(a.severity) > worstRank) {
            worstRank = SeverityRank(a.severity);
            worst = int(a.severity);
        }
    }
    return worst;
}

int AlarmEngine::WorstSeverity() const
{
    auto rank = SeverityRank;
    int worst = 0, worstRank = 0;
    for (const Alarm &a : alarms_)
        if (rank(a.severity) > worstRank) {
            worstRank = rank(a.severity);
            worst = int(a.severity);
        }
    return worst;
}

}  // namespace tav
