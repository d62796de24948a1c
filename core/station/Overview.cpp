#include "core/station/Overview.h"

#include <algorithm>

namespace tav {

namespace {
// The share of its alert limit (danger without one) on an axis; -1 without
// a value or a limit.
double Share(const OverviewTile &t, int axis)
{
    const Limits &l = t.limits[axis];
    const double limit = std::isfinite(l.alert) ? l.alert : l.danger;
    const float v = t.severity[axis];
    return std::isfinite(v) && std::isfinite(limit) && limit > 0 ? v / limit : -1;
}

double WorstShare(const OverviewTile &t) { return Share(t, WorstLimitAxis(t)); }
}  // namespace

int WorstLimitAxis(const OverviewTile &t)
{
    int worst = 0;
    for (int axis = 1; axis < 3; ++axis)
        if (Share(t, axis) > Share(t, worst))
            worst = axis;
    return worst;
}

int OverviewRank(const OverviewTile &t)
{
    if (!t.seen)
        return 0;
    switch (t.mark) {
    case Mark::kZoneD: return 7;
    case Mark::kOffline: return 6;
    case Mark::kSensorFault: return 5;
    case Mark::kZoneC: return 4;
    case Mark::kZoneB: return 3;
    case Mark::kZoneA: return 2;
    case Mark::kNone: break;
    }
    return 1;
}

bool OverviewBefore(const OverviewTile &a, const OverviewTile &b)
{
    const int ra = OverviewRank(a), rb = OverviewRank(b);
    if (ra != rb)
        return ra > rb;
    const double sa = WorstShare(a), sb = WorstShare(b);
    if (sa != sb)
        return sa > sb;
    return a.address < b.address;
}

OverviewTile &OverviewModel::TileOf(int32_t address)
{
    for (OverviewTile &t : tiles_)
        if (t.address == address)
            return t;
    tiles_.emplace_back();
    tiles_.back().address = address;
    return tiles_.back();
}

const OverviewTile *OverviewModel::Find(int32_t address) const
{
    for (const OverviewTile &t : tiles_)
        if (t.address == address)
            return &t;
    return nullptr;
}

void OverviewModel::Refresh(const std::vector<KnownSensor> &known, const SteadySnapshot &snapshot,
                            const AlarmEngine &alarms)
{
    // A machine once known stays on the screen until the station restarts:
    // a tile that vanished with its connection would hide a dead sensor.
    for (OverviewTile &t : tiles_) {
        t.slot = -1;
        t.sources &= ~unsigned(kKnownConnected);
    }
    for (const KnownSensor &k : known) {
        OverviewTile &t = TileOf(k.address);
        t.sources |= k.sources;
        if (t.name != k.name)
            t.name = k.name;
    }
    const int64_t now = snapshot.utcMs;
    for (int i = 0; i < snapshot.count; ++i) {
        const SteadySensorValues &v = snapshot.sensors[i];
        if (v.address < 1 || v.address > 65535)
            continue;
        OverviewTile &t = TileOf(v.address);
        t.sources |= kKnownConnected;
        t.slot = v.slot;
        t.peerIp = v.peerIp;
        if (v.generation != t.generation || v.packetsParsed != t.packets || t.lastMoveMs < 0) {
            t.generation = v.generation;
            t.packets = v.packetsParsed;
            t.lastMoveMs = now;
        }
        if (v.packetsParsed == 0)
            continue;  // connected, but no values yet
        t.seen = true;
        for (int axis = 0; axis < 3; ++axis) {
            t.severity[axis] = v.isoVelocity[axis];
            t.displacement[axis] = v.isoDisplacement[axis];
        }
        // The nearest crossing of any axis: of the alert limit, or of the
        // danger limit where no alert crossing is forecast (already above it).
        t.daysToAlarm = NAN;
        t.forecastDanger = false;
        for (int axis = 0; axis < 3; ++axis)
            if (std::isfinite(v.daysToAlert[axis]) && !(v.daysToAlert[axis] >= t.daysToAlarm))
                t.daysToAlarm = v.daysToAlert[axis];
        for (int axis = 0; axis < 3 && !std::isfinite(t.daysToAlarm); ++axis)
            if (std::isfinite(v.daysToDanger[axis])) {
                t.daysToAlarm = v.daysToDanger[axis];
                t.forecastDanger = true;
            }
        t.speed = v.values[kSpeedSeries];
        t.speedFromRecord = v.speedFromRecord;
        t.temperature = v.temperature;
    }
    for (OverviewTile &t : tiles_) {
        const MachineSettings *m = alarms.Machine(t.address);
        if (m && !m->name.empty() && t.name.empty())
            t.name = m->name;
        for (int axis = 0; axis < 3; ++axis)
            t.limits[axis] = m ? EffectiveLimits(*m, kQuantityVelocity, axis) : Limits{};
        for (int axis = 0; axis < 3; ++axis)
            t.baseline[axis] = m ? float(m->baseline.velocity[axis]) : NAN;
        const IsoClass c = m ? m->isoClass : IsoClass::kNone;
        Zone worst = Zone::kNone;
        for (int axis = 0; axis < 3; ++axis) {
            // A slow machine's displacement may put it in a worse zone.
            t.zone[axis] = JudgeZone(c, t.severity[axis], m && SlowMachine(*m) ? t.displacement[axis] : NAN).zone;
            worst = std::max(worst, t.zone[axis]);
        }
        t.online = t.slot >= 0 && t.seen && now - t.lastMoveMs < kOfflineAfterMs;
        t.activeAlarms = alarms.ActiveCountOf(t.address);
        t.worstSeverity = alarms.WorstActiveSeverity(t.address, kNoAxis);
        // Offline is grey whatever it last was: old colours would pass for news.
        t.mark = t.online ? MarkOf(worst, t.worstSeverity) : Mark::kOffline;
    }
    // Addresses are unique, so the order is total: a plain sort, which
    // needs no buffer.
    std::sort(tiles_.begin(), tiles_.end(), OverviewBefore);
}

}  // namespace tav
