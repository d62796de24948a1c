#pragma once
// Vibration severity zones of broadband velocity RMS (10 Hz - 1 kHz, mm/s)
// per machine class, ISO 10816-3:2009: A newly commissioned, B unrestricted
// long-term operation, C restricted, D damage likely. The alert limit defaults
// to the B/C boundary and the danger limit to C/D; explicit limits override.
#include "core/model/MachineSettings.h"

namespace tav {

struct ZoneBoundaries {
    double ab = 0, bc = 0, cd = 0;  // all 0 for IsoClass::kNone
};

ZoneBoundaries BoundariesOf(IsoClass c);

enum class Zone { kNone = -1, kA = 0, kB = 1, kC = 2, kD = 3 };

// The zone of a velocity RMS for the class; kNone for the class kNone and for
// a value that is not a finite non-negative number. A value on a boundary
// belongs to the upper zone.
Zone ZoneOf(IsoClass c, double velocityRms);
// "A" .. "D", or "" for kNone.
const char *ZoneName(Zone z);

struct Limits {
    double alert = NAN;   // NaN = none
    double danger = NAN;
};

// The limits that apply to `quantity` of the machine: its explicit limits,
// for velocity the class's boundaries where none is given. A class danger
// at or below an explicit alert limit is not used.
Limits EffectiveLimits(const MachineSettings &m, int quantity);

}  // namespace tav
