#pragma once
// What every steady-state tick hands on: each bound sensor's values of that
// tick, with the time and what the connection says about the sensor. The
// history, the alarms and the broker link all read this one snapshot, so that
// none of them reaches into the connection table or the windows.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>

#include "core/model/MachineSettings.h"
#include "core/model/SteadyRecord.h"
#include "core/net/ConnectionTable.h"

namespace tav {

// One axis's samples as they came over the latest statistics window, for
// the sensor's own health. g.
struct RawAxisFigures {
    float min = 0, max = 0;
    float mean = 0;
    float deviation = 0;        // standard deviation about the mean
    uint32_t longestRun = 0;    // most consecutive samples of one exact value
    uint32_t atRangeLimit = 0;  // samples at the measuring range's limit
};

// What can be wrong with a sensor's axis, as bits: nothing moves, one value
// repeats, samples at the range limit, the zero point wanders.
enum SensorFaultBit : uint8_t { kFaultDead = 1, kFaultStuck = 2, kFaultSaturated = 4, kFaultDrift = 8 };

// The steady-state tick's period, and the length of a statistics window.
constexpr int kSteadyTickMs = 500;
// Most statistics windows one tick hands on per sensor; more wait for the next tick.
constexpr int kMaxFreshWindows = 4;

// One completed statistics window of a sensor, at the time it is stored under.
struct SteadyWindowValues {
    int64_t utcMs = 0;
    float values[kSteadySeriesCount] = {};
    float isoVelocity[3] = {};
};

struct SteadySensorValues {
    int32_t address = 0;
    int slot = -1;
    // Changes at every accept into the slot: a new value is a new connection.
    uint32_t generation = 0;
    // Series order of the log and the viewer: axis * 7 + parameter (AR AP AK
    // VR VP DR DP), then the speed at kSpeedSeries. g, mm/s, mm, rpm.
    float values[kSteadySeriesCount] = {};
    float samplingFrequency = 0;  // Hz
    float temperature = 0;        // as the sensor reports it
    // Velocity RMS over the severity band per axis, mm/s: 10 Hz - 1 kHz, or
    // for a slow machine 2 Hz - 1 kHz from its spectra.
    float isoVelocity[3] = {};
    // A slow machine's displacement RMS over 2 Hz - 1 kHz per axis, µm,
    // averaged like its velocity; NaN for a fast machine or not measured.
    float isoDisplacement[3] = {NAN, NAN, NAN};
    // What decided a slow machine's zone per axis: 1 the velocity, 2 the
    // displacement; 0 for a fast machine or without a class or values.
    uint8_t zoneBy[3] = {};
    float ratedSpeed = 0;         // rpm from the device table; 0 = unknown
    // RMS in each watched band (WatchedBands of the sensor's settings, in
    // that order) per axis: mm/s on the velocity spectrum, g on the
    // envelope; NaN where not measured.
    float band[kMaxBands][3] = {{NAN, NAN, NAN}, {NAN, NAN, NAN}, {NAN, NAN, NAN}, {NAN, NAN, NAN},
                                {NAN, NAN, NAN}, {NAN, NAN, NAN}, {NAN, NAN, NAN}, {NAN, NAN, NAN}};
    // False while the speed comes from the start-up search band, with no
    // device record behind it.
    bool speedFromRecord = false;
    // Waveform packets parsed since the connection was accepted: a count that
    // stops moving is a sensor that stopped sending.
    uint64_t packetsParsed = 0;
    uint32_t peerIp = 0;  // host order
    uint16_t peerPort = 0;
    // The latest statistics window's raw figures, its rows per axis, the
    // range limit (g, 0 = unknown) and the windows closed so far on this
    // connection: a count that did not move is a window already seen.
    RawAxisFigures raw[3];
    uint32_t windowRows = 0;
    float rangeLimitG = 0;
    uint64_t windows = 0;
    // SensorFaultBit per axis as the station's health watch judges it
    // (held for its delay), 0 = sound.
    uint8_t sensorFault[3] = {};
    // Days until the severity velocity's trend reaches the axis's alert and
    // danger limits; NaN = no forecast (flat, falling, poor fit, too short).
    float daysToAlert[3] = {NAN, NAN, NAN};
    float daysToDanger[3] = {NAN, NAN, NAN};
    // Statistics windows completed since the previous tick, each handed on
    // by exactly one tick: `values` and `isoVelocity` above are the newest,
    // at the snapshot's time, and earlier[0 .. freshWindows - 2] the ones
    // before it, oldest first. 0: no window closed since the last tick, the
    // values above are the last ones again and no new measurement (the
    // history, the alarms and the broker pass them over). A snapshot made
    // by hand carries its values as one window.
    int freshWindows = 1;
    SteadyWindowValues earlier[kMaxFreshWindows - 1];
};

// The values of fresh window `i` of `v` (0 = oldest, freshWindows - 1 =
// the newest, at the tick's `tickUtcMs`); `*utcMs` gets its time.
inline const float *FreshValues(const SteadySensorValues &v, int i, int64_t tickUtcMs, int64_t *utcMs)
{
    if (i >= v.freshWindows - 1 || i >= kMaxFreshWindows - 1) {
        *utcMs = tickUtcMs;
        return v.values;
    }
    *utcMs = v.earlier[i].utcMs;
    return v.earlier[i].values;
}

// `v` as it stood at fresh window `i`: values and severity of that window.
inline SteadySensorValues FreshWindow(const SteadySensorValues &v, int i, int64_t tickUtcMs, int64_t *utcMs)
{
    SteadySensorValues w = v;
    if (i < v.freshWindows - 1 && i < kMaxFreshWindows - 1) {
        const SteadyWindowValues &e = v.earlier[i];
        std::copy(std::begin(e.values), std::end(e.values), w.values);
        std::copy(std::begin(e.isoVelocity), std::end(e.isoVelocity), w.isoVelocity);
    }
    w.freshWindows = 1;
    FreshValues(v, i, tickUtcMs, utcMs);
    return w;
}

struct SteadySnapshot {
    int64_t utcMs = 0;  // wall-clock time of the tick, UTC milliseconds
    int count = 0;      // sensors[0 .. count-1] are valid, in slot order
    SteadySensorValues sensors[kSlotCount];
};

// Receives every tick's snapshot on the window thread, right after the tick.
// It must return at once: queue the snapshot for a thread of its own if the
// work waits on disk or network. The snapshot is valid only during the call.
class SteadySnapshotConsumer {
public:
    virtual ~SteadySnapshotConsumer() = default;
    virtual void OnSteadySnapshot(const SteadySnapshot &snapshot) = 0;
};

}  // namespace tav
