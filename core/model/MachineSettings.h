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

// Spectral bands watched per sensor: a range of orders of the measured speed
// or of frequencies, on the velocity spectrum (mm/s RMS in the band) or on
// the envelope spectrum of the acceleration (g RMS in the band). Written as
// [[sensor.N.band]] tables; the bearings add their defect bands after them.
constexpr int kMaxBands = 8;
enum class BandKind { kOrder = 0, kFrequency = 1 };
enum class BandSpectrum { kVelocity = 0, kEnvelope = 1 };
// Limits from a baseline, where the band has no explicit one: alert at
// twice the baseline (+6 dB), danger at four times (+12 dB).
constexpr double kBandAlertOverBaseline = 2.0;
constexpr double kBandDangerOverBaseline = 4.0;
// Half-width of a bearing's defect band: this share of the defect
// frequency, at least kBearingBandLines lines of the spectrum.
constexpr double kBearingBandShare = 0.03;
constexpr int kBearingBandLines = 2;

struct BandSettings {
    std::string name;
    BandKind kind = BandKind::kOrder;
    BandSpectrum spectrum = BandSpectrum::kVelocity;
    double low = 0, high = 0;      // orders, or Hz
    double alert = NAN, danger = NAN;
    double baseline[3] = {NAN, NAN, NAN};  // per axis; NaN = none
};

// Alarm quantities of the bands: kBandQuantity + band index (0 .. kMaxBands-1).
constexpr int kBandQuantity = 100;
constexpr bool IsBandQuantity(int quantity) { return quantity >= kBandQuantity && quantity < kBandQuantity + kMaxBands; }
// Alarm quantity of a slow machine's displacement RMS over 2 Hz - 1 kHz
// (µm, per axis), limited by its class's displacement zones alone.
constexpr int kIsoDisplacementQuantity = 90;

// A machine rated at or below this speed is a slow one: its severity band
// starts at 2 Hz instead of 10 Hz and its displacement RMS in that band is
// judged against the class's displacement zones as well (ISO 10816-3:2009
// Annex A); the worse of the two zones counts.
constexpr double kSlowMachineRpm = 600.0;
constexpr double kMaxRatedRpm = 100000.0;

struct MachineSettings {
    int32_t address = 0;
    std::string name;
    IsoClass isoClass = IsoClass::kNone;
    // The machine's rated speed for its judgement (rpm); 0 = not given, a
    // machine judged as a fast one.
    double ratedRpm = 0;
    // NaN = no explicit limit (velocity then falls back to the class).
    double alert[kAlarmQuantityCount];
    double danger[kAlarmQuantityCount];
    double onDelayS = kDefaultOnDelayS;
    double severityAverageS = kDefaultSeverityAverageS;
    std::vector<BearingGeometry> bearings;
    SeverityBaseline baseline;
    std::vector<BandSettings> bands;  // as written, at most kMaxBands
    // Limits of every bearing's defect bands (envelope, g); NaN = none.
    double bearingAlert = NAN, bearingDanger = NAN;

    MachineSettings()
    {
        for (int q = 0; q < kAlarmQuantityCount; ++q)
            alert[q] = danger[q] = NAN;
    }
};

inline bool SlowMachine(const MachineSettings &m) { return m.ratedRpm > 0 && m.ratedRpm <= kSlowMachineRpm; }

// One band as it is watched: the written ones first, then each bearing's
// BPFO, BPFI, BSF and FTF, as long as there is room.
struct WatchedBand {
    std::string name;
    BandSpectrum spectrum = BandSpectrum::kVelocity;
    BandKind kind = BandKind::kOrder;
    double low = 0, high = 0;  // orders or Hz; a bearing band's are orders of its defect
    bool bearing = false;      // ± kBearingBandShare around `low` orders, at least two lines
    double alert[3] = {NAN, NAN, NAN};   // per axis, from the explicit limit or the baseline
    double danger[3] = {NAN, NAN, NAN};
};
// The bands watched for `m`; returns how many (at most kMaxBands).
int WatchedBands(const MachineSettings &m, WatchedBand (&out)[kMaxBands]);
// Band edges in Hz at `rpm` for a spectrum of line spacing `df`; false when
// the band cannot be placed (an order band without a speed).
bool BandEdgesHz(const WatchedBand &b, double rpm, double df, double *lowHz, double *highHz);

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
