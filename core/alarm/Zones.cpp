#include "core/alarm/Zones.h"

#include <algorithm>
#include <cmath>

namespace tav {

namespace {
Zone ZoneAgainst(IsoClass c, const ZoneBoundaries &b, double v)
{
    if (c == IsoClass::kNone || !std::isfinite(v) || v < 0)
        return Zone::kNone;
    if (v >= b.cd) return Zone::kD;
    if (v >= b.bc) return Zone::kC;
    if (v >= b.ab) return Zone::kB;
    return Zone::kA;
}
}  // namespace

ZoneBoundaries BoundariesOf(IsoClass c)
{
    switch (c) {
    case IsoClass::kGroup1Rigid: return {2.3, 4.5, 7.1};
    case IsoClass::kGroup1Flexible: return {3.5, 7.1, 11.0};
    case IsoClass::kGroup2Rigid: return {1.4, 2.8, 4.5};
    case IsoClass::kGroup2Flexible: return {2.3, 4.5, 7.1};
    case IsoClass::kNone: break;
    }
    return {};
}

Zone ZoneOf(IsoClass c, double v) { return ZoneAgainst(c, BoundariesOf(c), v); }

ZoneBoundaries DisplacementBoundariesOf(IsoClass c)
{
    switch (c) {
    case IsoClass::kGroup1Rigid: return {29, 57, 90};
    case IsoClass::kGroup1Flexible: return {45, 90, 140};
    case IsoClass::kGroup2Rigid: return {22, 45, 71};
    case IsoClass::kGroup2Flexible: return {37, 71, 113};
    case IsoClass::kNone: break;
    }
    return {};
}

Zone DisplacementZoneOf(IsoClass c, double um) { return ZoneAgainst(c, DisplacementBoundariesOf(c), um); }

const char *ZoneByKey(ZoneBy by)
{
    switch (by) {
    case ZoneBy::kVelocity: return "velocity";
    case ZoneBy::kDisplacement: return "displacement";
    case ZoneBy::kNone: break;
    }
    return nullptr;
}

const char *ZoneByText(ZoneBy by)
{
    switch (by) {
    case ZoneBy::kVelocity: return "速度";
    case ZoneBy::kDisplacement: return "位移";
    case ZoneBy::kNone: break;
    }
    return "";
}

JudgedZone JudgeZone(IsoClass c, double velocity, double displacementUm)
{
    JudgedZone j;
    const Zone byVelocity = ZoneOf(c, velocity);
    const Zone byDisplacement = DisplacementZoneOf(c, displacementUm);
    if (byDisplacement == Zone::kNone) {
        j.zone = byVelocity;
        return j;
    }
    // kNone is -1: a velocity not yet measured never wins over a displacement.
    if (int(byDisplacement) > int(byVelocity)) {
        j.zone = byDisplacement;
        j.by = ZoneBy::kDisplacement;
    } else {
        j.zone = byVelocity;
        j.by = ZoneBy::kVelocity;
    }
    return j;
}

const char *ZoneName(Zone z)
{
    switch (z) {
    case Zone::kA: return "A";
    case Zone::kB: return "B";
    case Zone::kC: return "C";
    case Zone::kD: return "D";
    case Zone::kNone: break;
    }
    return "";
}

Limits BaselineLimits(IsoClass c, double baseline)
{
    Limits l;
    const ZoneBoundaries b = BoundariesOf(c);
    if (c == IsoClass::kNone || !std::isfinite(baseline) || !(baseline > 0))
        return l;
    l.alert = std::min(baseline + 0.25 * b.bc, 1.25 * b.bc);
    l.danger = std::min(b.cd * std::max(1.0, l.alert / b.bc), 1.25 * b.cd);
    return l;
}

double ChangeBand(IsoClass c) { return c == IsoClass::kNone ? NAN : 0.25 * BoundariesOf(c).bc; }

bool MachineRunning(double speedRpm, double ratedRpm, double velocity)
{
    // 0 rpm is an estimate that found no running speed: standing still.
    if (ratedRpm > 0 && std::isfinite(speedRpm))
        return speedRpm > kRunningSpeedShare * ratedRpm;
    return velocity > kRunningVelocity;
}

Limits EffectiveLimits(const MachineSettings &m, int quantity, int axis)
{
    Limits l;
    if (quantity < 0 || quantity >= kAlarmQuantityCount)
        return l;
    l.alert = m.alert[quantity];
    l.danger = m.danger[quantity];
    if (quantity == kQuantityVelocity && m.isoClass != IsoClass::kNone) {
        // A class boundary fills in only where it keeps danger above alert:
        // the operator's explicit limit always wins.
        const ZoneBoundaries b = BoundariesOf(m.isoClass);
        Limits derived{b.bc, b.cd};
        if (axis >= 0 && axis < 3 && std::isfinite(m.baseline.velocity[axis]))
            if (const Limits fromBaseline = BaselineLimits(m.isoClass, m.baseline.velocity[axis]);
                std::isfinite(fromBaseline.alert))
                derived = fromBaseline;
        if (!std::isfinite(l.alert) && !(std::isfinite(l.danger) && l.danger <= derived.alert))
            l.alert = derived.alert;
        if (!std::isfinite(l.danger) && !(std::isfinite(l.alert) && l.alert >= derived.danger))
            l.danger = derived.danger;
    }
    if (std::isfinite(l.alert) && std::isfinite(l.danger) && !(l.danger > l.alert))
        l.danger = NAN;  // two explicit limits the reader let through (settings made in code)
    return l;
}

Limits DisplacementLimits(const MachineSettings &m)
{
    Limits l;
    if (!SlowMachine(m) || m.isoClass == IsoClass::kNone)
        return l;
    const ZoneBoundaries b = DisplacementBoundariesOf(m.isoClass);
    l.alert = b.bc;
    l.danger = b.cd;
    return l;
}

}  // namespace tav
