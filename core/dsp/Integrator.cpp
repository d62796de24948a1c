#include "core/dsp/Integrator.h"

#include <cmath>

namespace tav {

IntegratorCoefficients MakeIntegratorCoefficients(double fs)
{
    // Bilinear-style design of a one-pole low-pass at 1 rad/s: w is the
    // corner's angle per sample, and a = (1 - b) / 2 gives unit DC gain of
    // the two-tap input sum, hence unit integrating gain above the corner.
    const double w = 1.0 / fs;
    IntegratorCoefficients k;
    k.b = std::cos(w) / (1.0 + std::sin(w));
    k.a = (1.0 - k.b) * 0.5;
    return k;
}

}  // namespace tav
