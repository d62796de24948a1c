#pragma once
// Velocity and displacement spectra from the acceleration's, line by line:
// each line of the acceleration spectrum (g) is divided by ω (velocity,
// mm/s) or ω² (displacement, mm). This is exact at every line, where the
// conditioning's time-domain integrators read low towards the Nyquist
// frequency (at 5 kHz sampling, velocity -7.8 dB and displacement -15.6 dB
// at 2 kHz). The operator's 10 Hz high-pass, while it is on, enters as its
// magnitude, so that the spectrum keeps agreeing with the live view at low
// frequency. Lines below the lowest integrated frequency are zero: there
// the division by a small ω would lift the leftovers of the constant part
// and slow drift above everything else.
// Qt-free; one SpectrumIntegrator belongs to one thread at a time.
#include <vector>

#include "core/analysis/FrequencyLines.h"

namespace tav::analysis {

// The lowest line integrated for a spectrum of `seconds` of data: two lines
// of the unpadded transform (where a Hann window's constant part ends), and
// never below 1 Hz.
double LowestIntegratedHz(double seconds);

// From g to the quantity's unit at `hz`: 1 for acceleration (quantity 0);
// 9800 / ω for velocity in mm/s (1) and 9800 / ω² for displacement in mm
// (2), times the 10 Hz high-pass's magnitude while `highPass` is on; 0
// below `lowestHz`.
double IntegrationGain(int quantity, bool highPass, double hz, double lowestHz);

// Subtracts the mean of `count` values. An integrated spectrum is made from
// the acceleration without its constant part (gravity on a vertical axis,
// a sensor's offset), whose window leakage the division would lift.
void RemoveMean(float *data, int count);

class SpectrumIntegrator {
public:
    // Gains for the lines of `layout` made from `seconds` of data; recomputed
    // only when one of these changed (allocating when the lines grew).
    void Configure(const Layout &layout, double seconds, int quantity, bool highPass);
    bool Integrates() const { return quantity_ != 0; }

    // out[k] = acceleration[k] x gain[k] for the configured lines.
    void Apply(const std::vector<float> &acceleration, std::vector<float> &out) const;

    // Peaks found on the integrated spectrum, refined again from the
    // acceleration's lines (whose shape is the window's own, where the
    // integrated lines lean by their unequal gains) and then converted at
    // the refined frequency: a sine between lines reads its exact velocity
    // or displacement, however low its frequency. A maximum on the lowest
    // integrated line is dropped: its lower neighbour is zero by design.
    void RefinePeaks(std::vector<Peak> &peaks, const std::vector<float> &acceleration, WindowKind kind) const;

private:
    Layout layout_;
    double seconds_ = 0;
    int quantity_ = 0;
    bool highPass_ = false;
    double lowestHz_ = 0;
    std::vector<float> gain_;
};

}  // namespace tav::analysis
