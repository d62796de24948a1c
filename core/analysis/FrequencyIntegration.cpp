#include "core/analysis/FrequencyIntegration.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/dsp/ConditionState.h"
#include "core/processing/Conditioner.h"

namespace tav::analysis {

namespace {

// |H| of the second-order high-pass that the conditioning runs on velocity
// and displacement while the operator's button is on.
double HighPassMagnitude(double hz)
{
    const double r = hz / kHighPassHz;
    const double r2 = r * r;
    const double damping = r / kFilterQ;
    return r2 / std::sqrt((1 - r2) * (1 - r2) + damping * damping);
}

}  // namespace

double LowestIntegratedHz(double seconds)
{
    return seconds > 0 ? std::max(1.0, 2.0 / seconds) : 1.0;
}

double IntegrationGain(int quantity, bool highPass, double hz, double lowestHz)
{
    if (quantity <= 0)
        return 1.0;
    if (!(hz > 0) || hz < lowestHz)
        return 0.0;
    const double w = 2.0 * std::numbers::pi * hz;
    double gain = kMillimetresPerSecondSquaredPerG / w;
    if (quantity >= 2)
        gain /= w;
    return highPass ? gain * HighPassMagnitude(hz) : gain;
}

void RemoveMean(float *data, int count)
{
    if (count <= 0)
        return;
    double sum = 0;
    for (int i = 0; i < count; ++i)
        sum += data[i];
    const auto mean = static_cast<float>(sum / count);
    for (int i = 0; i < count; ++i)
        data[i] -= mean;
}

void SpectrumIntegrator::Configure(const Layout &layout, double seconds, int quantity, bool highPass)
{
    if (layout.count == layout_.count && layout.n == layout_.n && layout.df == layout_.df &&
        layout.lines == layout_.lines && seconds == seconds_ && quantity == quantity_ && highPass == highPass_ &&
        static_cast<int>(gain_.size()) == layout.lines)
        return;
    layout_ = layout;
    seconds_ = seconds;
    quantity_ = quantity;
    highPass_ = highPass;
    lowestHz_ = LowestIntegratedHz(seconds);
    gain_.resize(static_cast<size_t>(std::max(layout.lines, 0)));
    for (int k = 0; k < layout.lines; ++k)
        gain_[k] = static_cast<float>(IntegrationGain(quantity, highPass, k * layout.df, lowestHz_));
}

void SpectrumIntegrator::Apply(const std::vector<float> &acceleration, std::vector<float> &out) const
{
    const size_t lines = std::min(acceleration.size(), gain_.size());
    out.resize(lines);
    for (size_t k = 0; k < lines; ++k)
        out[k] = acceleration[k] * gain_[k];
}

void SpectrumIntegrator::RefinePeaks(std::vector<Peak> &peaks, const std::vector<float> &a, WindowKind kind) const
{
    const Layout &l = layout_;
    const int last = std::min(l.real, static_cast<int>(a.size())) - 2;
    if (quantity_ == 0 || !(l.df > 0) || last < 1)
        return;
    // The lowest integrated line stands above its zeroed neighbour whenever
    // the spectrum rises towards low frequency, as velocity and displacement
    // of broadband vibration do: a maximum there is the limit's, not a peak.
    const auto atLimit = [&](const Peak &p) {
        // The line the maximum stood on (a refined offset of +0.5 from it
        // does not make it the next).
        const int k = static_cast<int>(std::lround(p.frequency / l.df - 1e-6));
        return k < 1 || static_cast<size_t>(k) > gain_.size() || gain_[k - 1] == 0.0f;
    };
    peaks.erase(std::remove_if(peaks.begin(), peaks.end(), atLimit), peaks.end());
    for (Peak &p : peaks) {
        int k = std::clamp(static_cast<int>(std::lround(p.frequency / l.df)), 1, last);
        // The integrated maximum may sit one line below the acceleration's
        // (the gains fall with frequency); refine from the latter.
        if (k < last && a[k + 1] > a[k])
            ++k;
        else if (k > 1 && a[k - 1] > a[k])
            --k;
        const Refined r = RefinePeak(a[k - 1], a[k], a[k + 1], kind, l.count, l.n);
        p.frequency = (k + r.offset) * l.df;
        p.amplitude = r.amplitude * IntegrationGain(quantity_, highPass_, p.frequency, lowestHz_);
    }
    std::sort(peaks.begin(), peaks.end(), [](const Peak &x, const Peak &y) { return x.amplitude > y.amplitude; });
}

}  // namespace tav::analysis
