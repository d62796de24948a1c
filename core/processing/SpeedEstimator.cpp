#include "core/processing/SpeedEstimator.h"

#include <algorithm>
#include <cmath>

namespace tav {

namespace {
// Line index of a frequency, clamped to the searchable half [0, half]; a
// limit that is not a number gives 0.
int LineIndex(float hz, float df, int half)
{
    const float q = hz / df;
    if (!(q > 0))
        return 0;
    if (q >= static_cast<float>(half))
        return half;
    return static_cast<int>(q);
}
}  // namespace

SpeedLayout SpeedLayoutFor(int captureCount, float fs, float lowerHz, float upperHz)
{
    SpeedLayout l;
    const int decimation = CaptureDecimationFor(fs);
    l.values = std::clamp(captureCount / decimation, 0, kSpeedCaptureLength);
    int p = 1 << FftPlanCache::kMaxLog2;
    for (int r = 0; r <= FftPlanCache::kMaxLog2; ++r) {
        if ((1 << r) > l.values) {
            p = 1 << r;
            break;
        }
    }
    l.n = 4 * p;
    l.df = static_cast<float>((fs / decimation) * 1.0 / l.n);
    if (!(l.df > 0) || !std::isfinite(l.df))
        return l;  // empty band
    l.lo = LineIndex(lowerHz, l.df, l.n / 2);
    l.hi = LineIndex(upperHz, l.df, l.n / 2);
    return l;
}

float PeakSpeed(const float *capture, const SpeedLayout &layout, FftPlanCache &plans)
{
    if (layout.lo >= layout.hi)
        return 0.0f;
    RealFft *fft = plans.ForLength(layout.n);
    if (!fft)
        return 0.0f;
    fft->Transform(capture, layout.values);
    double best = 0;
    int peak = -1;
    for (int k = layout.lo; k < layout.hi; ++k) {
        const double m = fft->Magnitude(k);
        if (m > best) {
            best = m;
            peak = k;
        }
    }
    if (peak < 0)
        return 0.0f;
    return static_cast<float>(peak) * layout.df * 60.0f;
}

int NextCaptureLimit(float fs)
{
    const int kMax = kSpeedCaptureLength * CaptureDecimationFor(fs);
    const double samples = fs * 3.0;
    if (!(samples >= 1))
        return 1;
    if (samples >= kMax)
        return kMax;
    return static_cast<int>(samples);
}

void EstimateSpeed(ConnectionRecord &c, FftPlanCache &plans)
{
    ConditionState &cond = c.cond;
    const int count = cond.captureCount.load(std::memory_order_acquire);
    const float fs = c.samplingFrequency.load(std::memory_order_relaxed);
    const SpeedLayout layout = SpeedLayoutFor(count, fs, c.lowerSearchLimit.load(std::memory_order_relaxed),
                                              c.upperSearchLimit.load(std::memory_order_relaxed));
    c.measuredSpeed.store(PeakSpeed(cond.speedCapture[kAxisZ], layout, plans),
                          std::memory_order_relaxed);
    cond.captureLimit.store(NextCaptureLimit(fs), std::memory_order_release);
    cond.captureCount.store(0, std::memory_order_release);
}

}  // namespace tav
