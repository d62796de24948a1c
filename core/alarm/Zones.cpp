#include "core/alarm/Zones.h"

#include <cmath>

namespace tav {

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

Zone ZoneOf(IsoClass c, double v)
{
    if (c == IsoClass::kNone || !std::isfinite(v) || v < 0)
        return Zone::kNone;
    const ZoneBoundaries b = BoundariesOf(c);
    if (v >= b.cd) return Zone::kD;
    if (v >= b.bc) return Zone::kC;
    if (v >= b.ab) return Zone::kB;
    return Zone::kA;
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

Limits EffectiveLimits(const MachineSettings &m, int quantity)
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
        if (!std::isfinite(l.alert) && !(std::isfinite(l.danger) && l.danger <= b.bc))
            l.alert = b.bc;
        if (!std::isfinite(l.danger) && !(std::isfinite(l.alert) && l.alert >= b.cd))
            l.danger = b.cd;
    }
    if (std::isfinite(l.alert) && std::isfinite(l.danger) && !(l.danger > l.alert))
        l.danger = NAN;  // two explicit limits the reader let through (settings made in code)
    return l;
}

}  // namespace tav
