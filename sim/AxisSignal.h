#pragma once
// What one axis of a simulated sensor measures, in g: sines locked to the
// running speed (orders of it), sines at fixed frequencies, an offset and
// Gaussian noise. Text form, items separated by commas:
//   1x=0.5        order 1 of the running speed, amplitude 0.5 g
//   2.5x=0.1@90   order 2.5, 0.1 g, starting phase 90 degrees
//   159.15hz=1    fixed 159.15 Hz, 1 g
//   noise=0.01    Gaussian noise, standard deviation 0.01 g
//   dc=1          constant 1 g
//   none (or "")  a quiet axis
#include <string>
#include <vector>

namespace tav::sim {

struct SineComponent {
    bool locked = true;     // true: frequency = order x running speed; false: fixed Hz
    double order = 1.0;     // multiple of the running speed, when locked
    double hz = 0.0;        // frequency, when not locked
    double amplitude = 0.0; // g, peak
    double phaseDeg = 0.0;  // phase of the first sample
};

struct AxisSignal {
    std::vector<SineComponent> sines;
    double noise = 0.0;  // g, standard deviation
    double dc = 0.0;     // g

    // Largest value the axis can reach without noise (sum of peaks + |dc|).
    double PeakWithoutNoise() const;
};

// Parses the text form. On failure returns false and says why in *error.
bool ParseAxisSignal(const std::string &text, AxisSignal *out, std::string *error);

// Canonical text of a signal (used in the start-up banner).
std::string FormatAxisSignal(const AxisSignal &signal);

}  // namespace tav::sim
