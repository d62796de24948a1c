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

    Biquad velocityHighPass[3];
    Biquad displacementHighPass[3];
    // Anti-alias low-pass of the Z axis's speed capture, one per section;
    // x1 and x2 hold the transposed form's two states, y1 the last output.
    Biquad speedLowPass[kSpeedSections];
    int captureDecimation = kCaptureDecimation;  // for coefficientsFs
    // Band of the severity velocity, [section][axis]: its own sections, so
    // that the operator's high-pass button never changes what the alarms
    // compare. Sections 1 to 3 run in transposed form (states in x1, x2).
    Biquad isoBand[kSeveritySections][3];
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

    std::mutex statsMutex;       // guards `stats` between parser and window
    WindowStats stats;

    // Speed capture (the Z axis; X and Y are not written), handed to the
    // processing thread by count and limit:
    // the parser stops writing once captureCount == captureLimit, and the
    // processing thread sets captureLimit before resetting captureCount.
    float speedCapture[3][kSpeedCaptureLength] = {};
    std::atomic<int> captureCount{0};
    std::atomic<int> captureLimit{80001};
};

// Clears the running statistics window (not the results of the last one).
inline void ResetStatisticsWindow(ConditionState &c)
{
    for (int q = 0; q < 3; ++q)
        for (int a = 0; a < 3; ++a)
            c.sumSquares[q][a] = c.runningPeak[q][a] = 0;
    for (int a = 0; a < 3; ++a)
        c.sumAccel[a] = c.sumAccel2[a] = c.sumAccel3[a] = c.sumAccel4[a] = c.isoSumSquares[a] = 0;
    c.windowCount = 0;
    // A new sensor's average starts with its own first window.
    c.isoRingNext = c.isoRingFilled = 0;
}

// A consistent copy of the last window's results; any thread.
inline WindowStats ReadStats(ConditionState &c)
{
    std::lock_guard lock(c.statsMutex);
    return c.stats;
}

}  // namespace tav
