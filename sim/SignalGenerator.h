#pragma once
// Produces the three-axis acceleration of one sensor, sample by sample.
// Phases are carried across calls, so a signal stays continuous over packet
// boundaries, pauses of the stream and changes of the sampling frequency or
// of the running speed. Single-threaded: owned by one sensor.
#include <array>
#include <cstdint>
#include <vector>

#include "sim/AxisSignal.h"

namespace tav::sim {

class SignalGenerator {
public:
    SignalGenerator(const std::array<AxisSignal, 3> &axes, double rpm, uint32_t seed);

    // Running speed in rpm; orders of it follow from the next sample on.
    void SetRpm(double rpm) { rpm_ = rpm; }
    double Rpm() const { return rpm_; }
    // Factor on every sine's amplitude (not on noise or offset) from the
    // next sample on; 1 at the start.
    void SetSineGain(double gain) { sineGain_ = gain; }

    // Writes `count` samples as interleaved X, Y, Z (3 x count floats) for the
    // sampling frequency `fs` (Hz, > 0). Values beyond +-clipG are clipped, as
    // the sensor's measuring range would (clipG <= 0: no clipping).
    void Generate(float *xyz, int count, double fs, double clipG = 0.0);

private:
    struct Tone {
        int axis;
        SineComponent component;
        double phase;  // radians, in [0, 2 pi)
    };

    std::vector<Tone> tones_;
    std::array<double, 3> noise_{};
    std::array<double, 3> dc_{};
    double rpm_;
    double sineGain_ = 1.0;
    uint32_t noiseState_;  // xorshift state picking entries of the noise table
    std::vector<double> scratch_;
};

}  // namespace tav::sim
