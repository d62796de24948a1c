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

// Displacement zones of a slow machine (rated at or below 600 rpm): the
// displacement RMS over 2 Hz - 1 kHz in µm, ISO 10816-3:2009 Annex A (kept
// by ISO 20816-3:2022). All 0 for IsoClass::kNone.
ZoneBoundaries DisplacementBoundariesOf(IsoClass c);
Zone DisplacementZoneOf(IsoClass c, double displacementUm);

// Which criterion put a slow machine in its zone.
enum class ZoneBy { kNone = 0, kVelocity, kDisplacement };
// "velocity", "displacement"; null for kNone.
const char *ZoneByKey(ZoneBy by);
// "速度", "位移"; "" for kNone.
const char *ZoneByText(ZoneBy by);

struct JudgedZone {
    Zone zone = Zone::kNone;
    ZoneBy by = ZoneBy::kNone;
};
// The zone of a severity velocity (mm/s) and, for a slow machine, its
// displacement (µm; NaN for a fast machine): the worse of the two, the
// velocity where they agree. `by` stays kNone without a displacement, so
// that a fast machine reads as it always did.
JudgedZone JudgeZone(IsoClass c, double velocity, double displacementUm);

struct Limits {
    double alert = NAN;   // NaN = none
    double danger = NAN;
};

// Operational limits of a machine from its class and its own baseline
// velocity (ISO 10816-3:2009 §5.4, kept by ISO 20816-3:2022): ALARM is the
// baseline plus a quarter of the B/C boundary, at most 1.25 x B/C; TRIP is
// the C/D boundary raised by as much as ALARM stands above B/C, at most
// 1.25 x C/D. Both NaN without a class or a usable baseline.
Limits BaselineLimits(IsoClass c, double baseline);
// How far the severity may move from the baseline, either way, before the
// change counts (a quarter of B/C); NaN without a class.
double ChangeBand(IsoClass c);

// Whether the machine runs: above a tenth of its rated speed where that is
// known and a speed was measured (0 included), otherwise when its velocity is
// above 0.2 mm/s (a stopped machine still picks up its neighbours' hum).
constexpr double kRunningSpeedShare = 0.1;
constexpr double kRunningVelocity = 0.2;
bool MachineRunning(double speedRpm, double ratedRpm, double velocity);

// The limits that apply to `quantity` of the machine on `axis` (0..2, or
// kNoAxis for quantities not per axis): its explicit limits; for velocity
// where none is given, the limits from the class and the axis's baseline,
// or without a baseline the class's boundaries. A derived danger at or
// below an explicit alert limit is not used.
Limits EffectiveLimits(const MachineSettings &m, int quantity, int axis = -1);
// The limits of a slow machine's displacement RMS (µm): its class's B/C and
// C/D displacement boundaries; none for a fast machine or without a class.
Limits DisplacementLimits(const MachineSettings &m);

}  // namespace tav
