#pragma once
// Rotational speed of a connection from the running-speed line of its
// low-passed, 50-fold decimated Z-axis capture.
#include "core/dsp/Fft.h"
#include "core/net/ConnectionTable.h"

namespace tav {

// Transform and search band of one speed estimate.
struct SpeedLayout {
    int values = 0;  // captured values used
    int n = 4;       // transform length: four times the next power of two above `values`
    float df = 0;    // line spacing of the decimated capture, Hz
    int lo = 0;      // lines lo <= k < hi are searched; both within [0, n/2]
    int hi = 0;
};
// captureCount: samples offered to the capture; fs in Hz; limits in Hz.
SpeedLayout SpeedLayoutFor(int captureCount, float fs, float lowerHz, float upperHz);

// Speed in rpm of the strongest line of lines lo <= k < hi of the capture
// (the first of equal ones); 0 when the band is empty or holds no line above
// zero. Plans through `plans`: one thread at a time.
float PeakSpeed(const float *capture, const SpeedLayout &layout, FftPlanCache &plans);

// Samples that complete the next capture: three seconds, but never more than
// the capture array holds.
int NextCaptureLimit(float fs);

// For a connection whose capture is complete (captureCount >= captureLimit):
// stores the measured speed and restarts the capture, setting captureLimit
// before captureCount so that the parser never sees a fresh count against a
// stale limit. Processing thread only.
void EstimateSpeed(ConnectionRecord &c, FftPlanCache &plans);

// True when the connection's capture is complete and waits for an estimate.
// A count past the limit (the limit lowered while the parser was counting)
// also counts as complete, so the capture can never stall.
inline bool CaptureComplete(const ConditionState &c)
{
    return c.captureCount.load(std::memory_order_acquire) >=
           c.captureLimit.load(std::memory_order_acquire);
}

}  // namespace tav
