#pragma once
// Per-connection state of waveform conditioning: integrators, filters,
// statistics windows and the speed capture.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/dsp/BandDesign.h"
#include "core/dsp/Biquad.h"
#include "core/dsp/Integrator.h"

namespace tav {

enum Axis { kAxisX = 0, kAxisY = 1, kAxisZ = 2 };
enum Quantity { kAcceleration = 0, kVelocity = 1, kDisplacement = 2 };

// Results of the last completed statistics window, read by the window thread
// (live view, steady-state tick). Guarded by ConditionState::statsMutex.
struct WindowStats {
    double rms[3][3] = {};       // [quantity][axis]
    double peak[3][3] = {};      // [quantity][axis]
    double kurtosis[3] = {};     // acceleration, per axis
    // Velocity RMS over 10 Hz - 1 kHz (mm/s), the band severity zones are
    // defined on; independent of the operator's high-pass. Of this window:
    // the live view's quick value.
    double isoVelocityRms[3] = {};
    // The same over the newest isoAverageWindows windows (the severity the
    // zones, alarms and history judge); 0 windows until the first closes.
    double isoVelocityAverage[3] = {};
    int isoAverageWindows = 0;
    // The samples as they came, per axis, for the sensor's own health: a
    // dead, stuck, clipped or drifting axis shows here before it shows as
    // a wrong severity. g; counts are of this window's rows.
    float rawMin[3] = {};
    float rawMax[3] = {};
    double rawMean[3] = {};
    double rawDeviation[3] = {};    // standard deviation about rawMean
    uint32_t longestRun[3] = {};    // most consecutive samples of one exact value
    uint32_t atRangeLimit[3] = {};  // samples at the range limit; 0 while it is unknown
    uint32_t rows = 0;              // samples per axis in the window
    float rangeLimitG = 0;          // the limit they were compared with; 0 = unknown
    uint64_t windows = 0;        // windows completed since start: tells a reader the values moved on
};

// Velocity in mm/s is the integrated acceleration in g*s times this.
constexpr double kMillimetresPerSecondSquaredPerG = 9800.0;
constexpr int kSpeedCaptureLength = 2000;
// Most samples per captured value (a sensor at 26667 Hz and above); slower
// sensors take fewer (CaptureDecimationFor).
constexpr int kCaptureDecimation = 50;
// Windows of half a second that the severity average can span: 60 s;
// 20 (10 s) until the station sets the sensor's own.
constexpr int kMaxSeverityAverageWindows = 120;
constexpr int kDefaultSeverityAverageWindows = 20;
// A sample whose magnitude reaches this share of the measuring range counts
// as at its limit: a clipped sensor's flat tops sit just below full scale.
constexpr double kRangeLimitShare = 0.98;
// Completed windows kept for the steady-state tick: 8 s, so that a tick held
// up by a busy window thread, or a slow sensor whose one packet closes several
// windows at once, still finds every window since the last tick.
constexpr int kRecentWindows = 16;

struct ConditionState {
    // Integrator coefficients for this connection's sampling frequency.
    double integratorA = 0, integratorB = 0;
    float coefficientsFs = 0;    // fs the coefficients and filters were made for

    Integrator velocityIntegrator[3];
    Integrator displacementIntegrator[3];
    double sumSquares[3][3] = {};
    double runningPeak[3][3] = {};
    // For the kurtosis: sums of d, d^2, d^3, d^4 with d = x - kurtosisShift,
    // the window's first sample. Shifting keeps a large constant offset (the
    // 1 g of gravity on a vertical axis) from cancelling the small moments.
    double sumAccel[3] = {};
    double sumAccel2[3] = {};
    double sumAccel3[3] = {};
    double sumAccel4[3] = {};
    float kurtosisShift[3] = {};
    uint32_t windowCount = 0;
    uint16_t windowLength = 0;
    // Raw figures of the running window (WindowStats), and the last sample
    // of each axis, which a run of equal samples continues from.
    float rawMin[3] = {__builtin_inff(), __builtin_inff(), __builtin_inff()};
    float rawMax[3] = {-__builtin_inff(), -__builtin_inff(), -__builtin_inff()};
    float rawPrevious[3] = {};
    uint32_t rawRun[3] = {}, rawLongestRun[3] = {}, rawAtLimit[3] = {};
    // Measuring range of the sensor in g (2, 4, 8 or 16) as it last
    // reported it; 0 while unknown. Set by the station, any thread.
    std::atomic<float> rangeLimitG{0.0f};

    // The kernel takes b2 of these two as b0 (a high-pass's numerator is
    // symmetric) and multiplies each input by it once for both.
    Biquad velocityHighPass[3];
    Biquad displacementHighPass[3];
    // Anti-alias low-pass of the Z axis's speed capture, one per section;
    // x1 and x2 hold the transposed form's two states, y1 the last output.
    Biquad speedLowPass[kSpeedSections];
    int captureDecimation = kCaptureDecimation;  // for coefficientsFs
    // Band of the severity velocity, [section][axis] (dsp/BandDesign.h):
    // its own sections, so that the operator's high-pass button never
    // changes what the alarms compare. The kernel runs the full-rate part as
    // one third-order recursion over the low-pass's two denominators
    // (transposed, states in isoLowPassState), its last five outputs in
    // isoLowPassHistory (oldest first); the droop correction and the
    // low-pass's numerators, six taps together, are worked out only on the
    // samples kept for the high-pass part, whose sections run in transposed
    // form (states in x1, x2; the real pole's negated). Every section goes
    // without its numerator's scale: the sum of squares is of the band's
    // output divided by isoGain.
    Biquad isoBand[kSeveritySections][3];
    double isoLowPassState[3][3] = {};
    double isoLowPassHistory[5][3] = {};
    double isoGain = 1.0;  // product of the sections' b0
    // Every isoDecimation-th full-rate sample goes on through the
    // high-pass part; isoUntilKept more are passed over before the next one,
    // across blocks and windows. isoKeptRows counts the window's kept ones.
    int isoDecimation = 1;
    int isoUntilKept = 0;
    uint32_t isoKeptRows = 0;
    double isoSumSquares[3] = {};
    // Mean squares of the newest windows' severity, a ring, and how many of
    // its entries are filled; the average spans severityAverageWindows of
    // them (set by the station from the sensor's settings, any thread).
    double isoWindowMeanSquares[kMaxSeverityAverageWindows][3] = {};
    int isoRingNext = 0;
    int isoRingFilled = 0;
    std::atomic<int> severityAverageWindows{kDefaultSeverityAverageWindows};

    // NaN or infinite samples that were taken as 0; read by any thread.
    std::atomic<uint64_t> nonFiniteSamples{0};

    std::mutex statsMutex;       // guards `stats` and `recent` between parser and window
    WindowStats stats;
    // The newest completed windows, window n at (n - 1) % kRecentWindows:
    // the steady-state tick runs on its own timer, so one tick may find two
    // windows closed since the last and the next none; each is handed on
    // from here. A slot whose `windows` is not the count asked for holds an
    // older window (or a previous connection's) and is passed over.
    WindowStats recent[kRecentWindows];

    // Speed capture (the Z axis; X and Y are not written), handed to the
    // processing thread by count and limit:
    // the parser stops writing once captureCount == captureLimit, and the
    // processing thread sets captureLimit before resetting captureCount.
    float speedCapture[3][kSpeedCaptureLength] = {};
    std::atomic<int> captureCount{0};
    std::atomic<int> captureLimit{80001};
};

// Clears the running statistics window (not the results of the last one).
inline void ResetRawFigures(ConditionState &c)
{
    for (int a = 0; a < 3; ++a) {
        c.rawMin[a] = __builtin_inff();
        c.rawMax[a] = -__builtin_inff();
        c.rawRun[a] = c.rawLongestRun[a] = c.rawAtLimit[a] = 0;
    }
}

inline void ResetStatisticsWindow(ConditionState &c)
{
    ResetRawFigures(c);
    for (int q = 0; q < 3; ++q)
        for (int a = 0; a < 3; ++a)
            c.sumSquares[q][a] = c.runningPeak[q][a] = 0;
    for (int a = 0; a < 3; ++a)
        c.sumAccel[a] = c.sumAccel2[a] = c.sumAccel3[a] = c.sumAccel4[a] = c.isoSumSquares[a] = 0;
    c.windowCount = c.isoKeptRows = 0;
    // A new sensor's average starts with its own first window.
    c.isoRingNext = c.isoRingFilled = 0;
}

// A consistent copy of the last window's results; any thread.
inline WindowStats ReadStats(ConditionState &c)
{
    std::lock_guard lock(c.statsMutex);
    return c.stats;
}

// `c.stats` has just been made the newest completed window: keeps it for
// the tick as well. Caller holds statsMutex.
inline void KeepCompletedWindow(ConditionState &c)
{
    if (c.stats.windows > 0)
        c.recent[(c.stats.windows - 1) % kRecentWindows] = c.stats;
}

// The completed windows after window number `after`, oldest first, at most
// `max` of them (the rest wait for the next call); returns how many were
// copied to `out`. Windows the ring no longer holds are left out. Any thread.
inline int ReadWindowsAfter(ConditionState &c, uint64_t after, WindowStats *out, int max)
{
    std::lock_guard lock(c.statsMutex);
    const uint64_t last = c.stats.windows;
    uint64_t next = after + 1;
    if (last >= uint64_t(kRecentWindows) && next <= last - kRecentWindows)
        next = last - kRecentWindows + 1;
    int n = 0;
    for (; next <= last && n < max; ++next) {
        const WindowStats &w = c.recent[(next - 1) % kRecentWindows];
        if (w.windows == next)
            out[n++] = w;
    }
    return n;
}

}  // namespace tav
