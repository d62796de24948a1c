#include "core/dsp/BandDesign.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace tav {

namespace {

constexpr double kPi = 3.14159265358979323846;

void SetCoefficients(Biquad &s, double b0, double b1, double b2, double a0, double a1, double a2)
{
    s.b0 = b0 / a0;
    s.b1 = b1 / a0;
    s.b2 = b2 / a0;
    s.a1 = a1 / a0;
    s.a2 = a2 / a0;
}

// Bilinear transform of a second-order Butterworth-type pole pair with the
// corner prewarped, so the digital corner is where the analog one was.
void PolePair(Biquad &s, bool highPass, double fs, double cornerHz, double q)
{
    const double k = std::tan(kPi * cornerHz / fs);
    const double k2 = k * k, a0 = k2 + k / q + 1.0;
    const double a1 = 2.0 * (k2 - 1.0), a2 = k2 - k / q + 1.0;
    if (highPass)
        SetCoefficients(s, 1.0, -2.0, 1.0, a0, a1, a2);
    else
        SetCoefficients(s, k2, 2.0 * k2, k2, a0, a1, a2);
}

// The real poles of a third-order low-pass and high-pass, one section each:
// kl (1 + z^-1) / ((1 + kl) + (kl - 1) z^-1) and
// (1 - z^-1) / ((1 + kh) + (kh - 1) z^-1).
void RealPole(Biquad &s, bool highPass, double fs, double cornerHz)
{
    const double k = std::tan(kPi * cornerHz / fs);
    if (highPass)
        SetCoefficients(s, 1.0, -1.0, 0.0, 1.0 + k, k - 1.0, 0.0);
    else
        SetCoefficients(s, k, k, 0.0, 1.0 + k, k - 1.0, 0.0);
}

// The trapezoidal integrator reads (pi f/fs) / tan(pi f/fs) of the exact
// velocity, 0.865 at a fifth of the rate; this three-tap section, one sample
// late, lifts 1 + (1 - cos w) / 6 and keeps the error below 4 % up to there.
void DroopCorrection(Biquad &s) { SetCoefficients(s, -1.0 / 12.0, 14.0 / 12.0, -1.0 / 12.0, 1.0, 0.0, 0.0); }

double IntegratorDroop(double f, double fs)
{
    const double x = kPi * f / fs;
    return x > 0 ? x / std::tan(x) : 1.0;
}

// Where a sine of f Hz lands among samples at `rate`: the distance to the
// nearest multiple of the rate.
double Folded(double f, double rate) { return std::fabs(f - rate * std::round(f / rate)); }

double BandGain(const Biquad (&s)[kSeveritySections], double f, double fs)
{
    const double decimatedFs = fs / SeverityDecimationFor(fs);
    double g = IntegratorDroop(f, fs);
    for (int i = 0; i < kSeveritySections; ++i)
        g *= i < kSeverityFullRateSections ? SectionGain(s[i], f, fs)
                                           : SectionGain(s[i], Folded(f, decimatedFs), decimatedFs);
    return g;
}

// The band's sections for `fs` with the given corners.
void Design(Biquad (&s)[kSeveritySections], double fs, double lowHz, double highHz)
{
    const double decimatedFs = fs / SeverityDecimationFor(fs);
    DroopCorrection(s[0]);
    RealPole(s[1], false, fs, highHz);
    PolePair(s[2], false, fs, highHz, 1.0);
    PolePair(s[3], true, decimatedFs, lowHz, 1.0);
    RealPole(s[4], true, decimatedFs, lowHz);
}

// A third-order Butterworth reads `gain` at (corner / ratio): its corner
// lies this factor beyond the edge it must pass at `gain`.
double CornerRatio(double gain) { return std::pow(1.0 / (gain * gain) - 1.0, 1.0 / 6.0); }

}  // namespace

double SectionGain(const Biquad &s, double f, double fs)
{
    const std::complex<double> z1 = std::polar(1.0, -2.0 * kPi * f / fs), z2 = z1 * z1;
    return std::abs((s.b0 + s.b1 * z1 + s.b2 * z2) / (1.0 + s.a1 * z1 + s.a2 * z2));
}

double SeverityTopHz(double fs) { return std::min(kSeverityHighHz, 0.3 * std::max(fs, 1.0)); }

SeverityCorners SeverityCornersFor(double fs)
{
    fs = std::max(fs, 1.0);
    SeverityCorners c;
    c.lowHz = std::min(kSeverityLowHz * CornerRatio(kSeverityEdgeGain), 0.1 * fs);
    // The low-pass corner puts the whole chain (integrator, correction,
    // high-pass, low-pass) at the edge gain at the band's top; the chain's
    // gain there rises with the corner, so halving the interval finds it.
    const double top = SeverityTopHz(fs), limit = 0.48 * fs;
    double lo = top, hi = limit;
    Biquad s[kSeveritySections];
    for (int i = 0; i < 60; ++i) {
        const double mid = 0.5 * (lo + hi);
        Design(s, fs, c.lowHz, mid);
        (BandGain(s, top, fs) < kSeverityEdgeGain ? lo : hi) = mid;
    }
    c.highHz = std::min(hi, limit);
    return c;
}

int SeverityDecimationFor(double fs)
{
    if (!(fs > 0) || !std::isfinite(fs))
        return 1;
    return static_cast<int>(std::clamp(std::floor(fs / kSeverityDecimatedRateHz), 1.0, 64.0));
}

void DesignSeverityBand(Biquad (&s)[kSeveritySections], double fs)
{
    fs = std::max(fs, 1.0);
    const SeverityCorners c = SeverityCornersFor(fs);
    Design(s, fs, c.lowHz, c.highHz);
}

double SeverityResponse(double f, double fs)
{
    Biquad s[kSeveritySections];
    DesignSeverityBand(s, fs);
    // The correction is one sample late, which only shifts the phase.
    return BandGain(s, f, fs);
}

int CaptureDecimationFor(double fs)
{
    if (!(fs > 0) || !std::isfinite(fs))
        return 50;
    return static_cast<int>(std::clamp(std::lround(fs / kCaptureRateHz), 1L, 50L));
}

double SpeedAntiAliasHz(double fs)
{
    fs = std::max(fs, 1.0);
    return std::min(fs / CaptureDecimationFor(fs) / 4.5, 0.45 * fs);
}

void DesignSpeedAntiAlias(Biquad (&s)[kSpeedSections], double fs)
{
    fs = std::max(fs, 1.0);
    const double corner = SpeedAntiAliasHz(fs);
    // Sixth-order Butterworth: pole pairs at 15, 45 and 75 degrees from the
    // real axis, q = 1 / (2 cos angle).
    const double q[kSpeedSections] = {0.5176380902050415, 0.7071067811865476, 1.9318516525781366};
    for (int i = 0; i < kSpeedSections; ++i)
        PolePair(s[i], false, fs, corner, q[i]);
}

}  // namespace tav
