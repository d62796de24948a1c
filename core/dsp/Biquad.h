#pragma once
// Second-order IIR section in direct form I, with normalised coefficients.

namespace tav {

enum class BiquadKind { LowPass = 0, HighPass = 1, BandPass = 2 };

struct Biquad {
    double b0 = 0, b1 = 0, b2 = 0, a1 = 0, a2 = 0;  // already divided by a0
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;          // x[n-1], x[n-2], y[n-1], y[n-2]
};

// Designs the section for `sampleRate` Hz (integer) with its corner at
// `cornerHz` and quality `q`, and clears its state.
void DesignBiquad(Biquad &section, BiquadKind kind, int sampleRate, float cornerHz, float q);

inline double BiquadStep(Biquad &s, double x)
{
    double y = s.b0 * x + s.b1 * s.x1 + s.b2 * s.x2 - s.a1 * s.y1 - s.a2 * s.y2;
    s.x2 = s.x1;
    s.x1 = x;
    s.y2 = s.y1;
    s.y1 = y;
    return y;
}

}  // namespace tav
