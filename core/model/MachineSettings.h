#pragma once
// What the station knows about the machine behind each sensor: its name, its
// vibration severity class and the alert and danger limits of each quantity.
// Read from and written to the [sensor.N] tables of station.toml.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace tav {

// Machine groups and foundations of the severity zones: group 1 machines
// above 300 kW up to 50 MW, group 2 from 15 kW to 300 kW.
enum class IsoClass { kNone = 0, kGroup1Rigid, kGroup1Flexible, kGroup2Rigid, kGroup2Flexible };
constexpr int kIsoClassCount = 5;

// Text of a class in the file ("none", "group1-rigid", ...).
const char *IsoClassKey(IsoClass c);
// The class for a file text; false for an unknown one.
bool ParseIsoClass(const std::string &text, IsoClass *out);

// Quantities that may carry limits. Velocity is the 10 Hz - 1 kHz band's RMS.
enum AlarmQuantity {
    kQuantityVelocity = 0,       // mm/s RMS, severity band
    kQuantityAccelerationRms,    // g
    kQuantityAccelerationPeak,   // g
    kQuantityCrestFactor,        // acceleration peak / RMS
    kQuantityKurtosis,           // acceleration
    kQuantityDisplacementPeak,   // mm
    kQuantityTemperature,        // as the sensor reports it
    kQuantitySpeedDeviation,     // percent of the rated speed, either way
    kAlarmQuantityCount
};

// Key stem in the file: "velocity" gives velocity_alert and velocity_danger.
const char *AlarmQuantityKey(int quantity);
// Whether the quantity is evaluated per axis (all but temperature and speed).
bool PerAxis(int quantity);

constexpr double kDefaultOnDelayS = 5.0;
constexpr double kMaxOnDelayS = 60.0;
// Time the severity that zones, alarms and the history judge is averaged
// over (whole half-second windows, at least one).
constexpr double kDefaultSeverityAverageS = 10.0;
constexpr double kMaxSeverityAverageS = 60.0;

// One rolling-element bearing on the machine, for the envelope spectrum's
// defect lines. Written as [[sensor.N.bearing]] tables (a single
// [sensor.N.bearing] table is read as one bearing too).
struct BearingGeometry {
    std::string name;            // "驱动端 6308", ...; may be empty
    int elements = 0;            // Z, rolling elements
    double ballDiameterMm = 0;   // d
    double pitchDiameterMm = 0;  // D
    double contactAngleDeg = 0;  // phi
};

// The machine's own severity in normal running, per axis (mm/s, the averaged
// 10 Hz - 1 kHz velocity RMS), set by the operator from a stretch of the
// history. NaN = no baseline on that axis. Written as [sensor.N.baseline].
struct SeverityBaseline {
    double velocity[3] = {NAN, NAN, NAN};
    std::string setAt;  // "YYYY-MM-DD HH:MM", local time it was set
    std::string from;   // the stretch it was taken from, same form
    std::string to;
    bool Any() const { return std::isfinite(velocity[0]) || std::isfinite(velocity[1]) || std::isfinite(velocity[2]); }
};

struct MachineSettings {
    int32_t address = 0;
    std::string name;
    IsoClass isoClass = IsoClass::kNone;
    // NaN = no explicit limit (velocity then falls back to the class).
    double alert[kAlarmQuantityCount];
    double danger[kAlarmQuantityCount];
    double onDelayS = kDefaultOnDelayS;
    double severityAverageS = kDefaultSeverityAverageS;
    std::vector<BearingGeometry> bearings;
    SeverityBaseline baseline;

    MachineSettings()
    {
        for (int q = 0; q < kAlarmQuantityCount; ++q)
            alert[q] = danger[q] = NAN;
    }
};

struct CaptureSettings {
    double preS = 5;   // before the limit was first exceeded
    double postS = 5;  // after the alarm became active
};
constexpr double kMaxCaptureS = 60.0;
// pre_s and a sensor's on-delay together: what its capture ring holds before
// the alarm. The settings give way (on_delay_s first) rather than a ring
// growing: 40 rings of 20 s at 26667 Hz are 249 MiB.
constexpr double kMaxCaptureLeadS = 19.0;
// The longest on-delay whose capture keeps all of `preS` before the trigger.
inline double MaxOnDelayFor(double preS)
{
    const double room = kMaxCaptureLeadS - preS;
    return room < 0 ? 0 : (room > kMaxOnDelayS ? kMaxOnDelayS : room);
}

}  // namespace tav
