#include "sim/SignalGenerator.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace tav::sim {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Drawing a fresh normal deviate per sample made noise ten times dearer than
// the sines; a fixed table of unit-variance deviates, read in a random order,
// is statistically indistinguishable at these record lengths.
constexpr size_t kNoiseTableSize = 1 << 16;

const std::vector<double> &NoiseTable()
{
    static const std::vector<double> table = [] {
        std::mt19937 rng(20260115u);
        std::normal_distribution<double> gauss(0.0, 1.0);
        std::vector<double> t(kNoiseTableSize);
        for (auto &v : t)
            v = gauss(rng);
        return t;
    }();
    return table;
}

}  // namespace

SignalGenerator::SignalGenerator(const std::array<AxisSignal, 3> &axes, double rpm, uint32_t seed)
    : rpm_(rpm), noiseState_(seed * 2654435761u | 1u)
{
    for (int a = 0; a < 3; ++a) {
        for (const auto &c : axes[a].sines) {
            double phase = std::fmod(c.phaseDeg * std::numbers::pi / 180.0, kTwoPi);
            if (phase < 0)
                phase += kTwoPi;
            tones_.push_back({a, c, phase});
        }
        noise_[a] = axes[a].noise;
        dc_[a] = axes[a].dc;
    }
}

void SignalGenerator::Generate(float *xyz, int count, double fs, double clipG)
{
    if (count <= 0)
        return;
    scratch_.assign(size_t(count) * 3, 0.0);
    for (int a = 0; a < 3; ++a)
        if (dc_[a] != 0)
            for (int i = 0; i < count; ++i)
                scratch_[size_t(i) * 3 + a] = dc_[a];

    // Each tone advances by rotating a unit phasor; its start is recomputed
    // from the wrapped phase on every call, so rounding cannot build up over
    // a long run.
    for (auto &t : tones_) {
        double hz = t.component.locked ? t.component.order * rpm_ / 60.0 : t.component.hz;
        double step = kTwoPi * hz / fs;
        double c = std::cos(t.phase), s = std::sin(t.phase);
        const double cw = std::cos(step), sw = std::sin(step);
        const double amp = t.component.amplitude * sineGain_;
        double *out = scratch_.data() + t.axis;
        for (int i = 0; i < count; ++i) {
            out[size_t(i) * 3] += amp * s;
            double nc = c * cw - s * sw;
            s = s * cw + c * sw;
            c = nc;
        }
        t.phase = std::fmod(t.phase + step * count, kTwoPi);
    }

    const std::vector<double> &table = NoiseTable();
    for (int a = 0; a < 3; ++a) {
        if (noise_[a] <= 0)
            continue;
        for (int i = 0; i < count; ++i) {
            noiseState_ ^= noiseState_ << 13;
            noiseState_ ^= noiseState_ >> 17;
            noiseState_ ^= noiseState_ << 5;
            scratch_[size_t(i) * 3 + a] += noise_[a] * table[noiseState_ >> 16];
        }
    }

    for (size_t k = 0; k < scratch_.size(); ++k) {
        double v = scratch_[k];
        if (clipG > 0)
            v = std::clamp(v, -clipG, clipG);
        xyz[k] = float(v);
    }
}

}  // namespace tav::sim
