#pragma once
// Filter designs that follow a connection's own sampling frequency: the
// severity band of the velocity and the anti-alias filter of the decimated
// speed capture. Pure arithmetic, no allocation: the parser thread calls
// them when a sensor's rate changes.
#include "core/dsp/Biquad.h"

namespace tav {

// Severity band: velocity RMS between 10 Hz and 1 kHz, relative response 1
// inside, third-order Butterworth roll-off outside, both edges read
// kSeverityEdgeGain of the in-band value.
constexpr double kSeverityLowHz = 10.0;
constexpr double kSeverityHighHz = 1000.0;
constexpr double kSeverityEdgeGain = 0.85;
// Sections of the band, in the order of the design: the correction of the
// trapezoidal integrator's droop (no feedback), the low-pass's real pole and
// complex pole pair, all at the sensor's rate; then, on every
// SeverityDecimationFor(fs)-th of their samples, the high-pass's complex pole
// pair and real pole, designed for that lower rate. The band's output feeds
// only a mean square, and taking every D-th sample keeps a signal's power:
// what folds onto the high-pass's slope near 0 Hz comes from near multiples
// of fs / D, which the full-rate low-pass has already taken about 29 dB down.
constexpr int kSeveritySections = 5;
constexpr int kSeverityFullRateSections = 3;
// The high-pass part runs at the lowest rate of fs / D at or above this.
constexpr double kSeverityDecimatedRateHz = 3333.0;
// Speed capture: sixth-order Butterworth low-pass, three sections.
constexpr int kSpeedSections = 3;
// The decimated capture runs near this rate whatever the sensor's: the
// same line spacing and the same search bands at every sampling frequency.
constexpr double kCaptureRateHz = 26667.0 / 50.0;

// Top of the severity band at `fs`: 1 kHz, or 0.3 fs for a sensor sampling
// below 3333 Hz, where the integrated velocity near Nyquist can no longer be
// corrected to the band's flatness.
double SeverityTopHz(double fs);
// Corners of the two Butterworth limits at `fs` (Hz).
struct SeverityCorners {
    double lowHz = 0, highHz = 0;
};
SeverityCorners SeverityCornersFor(double fs);
// Samples per sample of the band's high-pass part at `fs`: the largest D
// with fs / D >= kSeverityDecimatedRateHz, 1 below twice that rate.
int SeverityDecimationFor(double fs);
// Coefficients of the band for `fs` into s[0..4] (s[3] and s[4] for
// fs / SeverityDecimationFor(fs)); states are left alone. The numerators
// keep their shapes at every rate, b0 times (1, -14, 1), (1, 1, 0),
// (1, 2, 1), (1, -2, 1) and (1, -1, 0): the conditioning relies on them.
void DesignSeverityBand(Biquad (&s)[kSeveritySections], double fs);
// Response of the band as run on the velocity, with the integrator's own
// droop, relative to the exact velocity 1/(2 pi f): what a sine reads (in
// mean square over many of its periods; a sine that folds to exactly 0 Hz
// or half the decimated rate reads a share that depends on its phase).
double SeverityResponse(double f, double fs);

// Samples per captured value at `fs`: the nearest to kCaptureRateHz, 1 to 50.
int CaptureDecimationFor(double fs);
// Corner of the anti-alias low-pass: a fixed share of the capture rate, so
// that every line that folds into 0 .. 0.26 x capture rate (140 Hz at
// 533 Hz) is at least 60 dB down.
double SpeedAntiAliasHz(double fs);
void DesignSpeedAntiAlias(Biquad (&s)[kSpeedSections], double fs);

// |H| of one section at f Hz for a rate of fs Hz.
double SectionGain(const Biquad &s, double f, double fs);

}  // namespace tav
