#pragma once
// Per-connection state of waveform conditioning: integrators, filters,
// statistics windows and the speed capture.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "dsp/Biquad.h"

namespace tav {

enum Axis { kAxisX = 0, kAxisY = 1, kAxisZ = 2 };
enum Quantity { kAcceleration = 0, kVelocity = 1, kDisplacement = 2 };

struct Integrator {
    double previousOutput = 0;
    double previousInput = 0;
};

// Results of the last completed statistics window, read by the window thread
// (live view, steady-state tick). Guarded by ConditionState::statsMutex.
struct WindowStats {
    double rms[3][3] = {};       // [quantity][axis]
    double peak[3][3] = {};      // [quantity][axis]
    double kurtosis[3] = {};     // acceleration, per axis
};

constexpr int kSpeedCaptureLength = 2000;
constexpr int kCaptureDecimation = 50;

struct ConditionState {
    // Integrator coefficients for this connection's sampling frequency.
    double integratorA = 0, integratorB = 0;
    float coefficientsFs = 0;    // fs the coefficients and filters were made for

    Integrator velocityIntegrator[3];
    Integrator displacementIntegrator[3];
    double sumSquares[3][3] = {};
    double runningPeak[3][3] = {};
    double sumAccel[3] = {};      // for the kurtosis: sum of x, x^3, x^4
    double sumAccel3[3] = {};
    double sumAccel4[3] = {};
    uint32_t windowCount = 0;
    uint16_t windowLength = 0;

    Biquad velocityHighPass[3];
    Biquad displacementHighPass[3];
    Biquad speedLowPass[3];

    uint64_t nonFiniteSamples = 0;

    std::mutex statsMutex;       // guards `stats` between parser and window
    WindowStats stats;

    // Speed capture, handed to the processing thread by count and limit:
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
        c.sumAccel[a] = c.sumAccel3[a] = c.sumAccel4[a] = 0;
    c.windowCount = 0;
}

}  // namespace tav
