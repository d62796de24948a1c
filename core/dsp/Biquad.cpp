#include "core/dsp/Biquad.h"

#include <cmath>

namespace tav {

void DesignBiquad(Biquad &section, BiquadKind kind, int sampleRate, float cornerHz, float q)
{
    constexpr double kTwoPi = 6.283185307179586;
    // A rate below 1 Hz can only come from a corrupt packet; keep the design
    // finite rather than dividing by zero.
    const double rate = sampleRate >= 1 ? sampleRate : 1;
    const double w0 = kTwoPi * static_cast<double>(cornerHz) / rate;
    const double cw = std::cos(w0);
    const double alpha = std::sin(w0) / (2.0 * static_cast<double>(q));

    double b0 = 0, b1 = 0, b2 = 0;
    switch (kind) {
    case BiquadKind::LowPass:
        b0 = (1.0 - cw) / 2.0;
        b1 = 1.0 - cw;
        b2 = (1.0 - cw) / 2.0;
        break;
    case BiquadKind::HighPass:
        b0 = (1.0 + cw) / 2.0;
        b1 = -(1.0 + cw);
        b2 = (1.0 + cw) / 2.0;
        break;
    case BiquadKind::BandPass:
        b0 = alpha;
        b1 = 0.0;
        b2 = -alpha;
        break;
    }
    const double a0 = 1.0 + alpha;
    section.b0 = b0 / a0;
    section.b1 = b1 / a0;
    section.b2 = b2 / a0;
    section.a1 = (-2.0 * cw) / a0;
    section.a2 = (1.0 - alpha) / a0;
    section.x1 = section.x2 = section.y1 = section.y2 = 0.0;
}

}  // namespace tav
