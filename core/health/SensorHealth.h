#pragma once
// Faults of a sensor itself, judged per axis from the raw figures of each
// statistics window: a sensor that measures nothing, repeats one value,
// clips at its range or lets its zero point wander gives severities that
// mean nothing, and a green zone on top of them would mislead.
//
// Window thread (the station's tick). No allocation.
#include <cstdint>

#include "core/config/SensorSettingsCache.h"
#include "core/dsp/ConditionState.h"
#include "core/model/SteadySnapshot.h"

namespace tav {

// Below this standard deviation an axis measures nothing: far under the
// self-noise of any working accelerometer (about 1 mg and more over the
// sensor's band), let alone a running machine. g.
constexpr double kDeadDeviationG = 0.0002;
// One exact value repeated this long is a frozen converter, not a signal:
// noise moves a working sensor's value at every sample. Seconds, and at
// least kStuckMinSamples samples.
constexpr double kStuckRunS = 0.1;
constexpr uint32_t kStuckMinSamples = 50;
// Samples at the range limit (ConditionState's share of the measuring
// range) in one window that make it a clipped window.
constexpr uint32_t kSaturatedSamples = 3;
// A zero point that moved this far, mostly one way, over kDriftMinutes
// minute means is drifting. g.
constexpr double kDriftG = 0.05;
constexpr int kDriftMinutes = 10;
// Windows (half a second each) a fault must show in before it is judged:
// of the latest kJudgedWindows, at least kPersistentWindows for a dead or
// stuck axis, kClippedWindows for a clipping one; it ends after
// kClearWindows windows without it.
constexpr int kJudgedWindows = 20;
constexpr int kPersistentWindows = 16;
constexpr int kClippedWindows = 4;
constexpr int kClearWindows = 60;

// The faults (SensorFaultBit) one window shows on one axis, before any
// delay. `fs` in Hz; `rangeLimitG` 0 when the range is unknown (then no
// clipping is judged).
uint8_t WindowFaults(const RawAxisFigures &f, uint32_t rows, float fs, float rangeLimitG);

// The window's raw figures into the snapshot entry.
void TakeRawFigures(const WindowStats &stats, SteadySensorValues *v);
// The measuring range in g that the connection `generation` last reported
// in its parameter block (2, 4, 8 or 16), 0 when it did not.
float MeasuringRangeG(const SensorSettingsEntry &entry, uint32_t generation);
// The axes (bit 0 = X) a sensor measures by the axis mode it reported
// ("三轴", "单X", "单Y", "单Z"); all three when it did not report one.
uint8_t MeasuredAxes(const SensorSettingsEntry &entry, uint32_t generation);

// The judged state of one connection's three axes.
class SensorHealth {
public:
    // Takes the snapshot entry's window if it is one not seen yet; a new
    // connection starts afresh. Axes outside `measuredAxes` (bits) are
    // not judged: a single-axis sensor sends nothing on the others.
    void Feed(const SteadySensorValues &v, int64_t utcMs, uint8_t measuredAxes = 7);
    uint8_t Faults(int axis) const { return axes_[axis].judged; }

private:
    struct Axis {
        uint64_t seen[4] = {};  // per fault bit: the latest windows, newest in bit 0
        uint8_t judged = 0;
        // Minute means of the raw mean, for the drift.
        double minuteSum = 0;
        int minuteWindows = 0;
        int64_t minuteStartMs = -1;
        float minutes[kDriftMinutes + 1] = {};
        int minutesFilled = 0;
        bool drifting = false;
    };
    void Judge(Axis &a, uint8_t faults);
    void WatchDrift(Axis &a, float mean, int64_t utcMs);

    Axis axes_[3];
    uint32_t generation_ = 0;
    uint64_t windows_ = 0;
    bool fed_ = false;
};

}  // namespace tav
