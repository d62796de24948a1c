#pragma once
// RMS in frequency bands of one axis's acceleration, on two spectra from one
// transform: the velocity spectrum (the acceleration's lines integrated,
// ×9800/ω) and the envelope spectrum of the band the analysis window
// demodulates by default (2-5 kHz). The envelope is the magnitude of the
// band's analytic signal, as in the analysis window, but taken from the band's
// lines shifted down to 0 Hz: the magnitude does not change with the shift,
// and the inverse transform then needs only as many points as the band has
// lines, an eighth of the whole, which is what lets 40 sensors be watched
// every second for a fraction of a core.
//
// Plans are made when the length changes (one length per rate); one object
// belongs to one thread at a time. Qt-free.
#include <memory>
#include <vector>

namespace tav {
class RealFft;
class InverseComplexFft;
}  // namespace tav

namespace tav::health {

// Transform length at `fs`: the power of two at or above 0.3 s of samples,
// 1024 to 16384 (lines of about 3 Hz at 26667 Hz).
int BandTransformLength(double fs);

// Transform length of a slow machine's severity at `fs`: the power of two at
// or above 2.4 s of samples, 1024 to kSlowTransformMax. Its band starts at
// 2 Hz and its displacement weighs each line by 1/omega^2, so lines of about
// 0.4 Hz are needed: the Hann window spreads a line over two lines either
// side, and at 0.4 Hz a running speed of 2.8 Hz (170 rpm) and up lies wholly
// inside the band while what leaks from the few lines under 2 Hz stays out
// of it; 65536 points at 26667 Hz are 2.46 s, lines of 0.41 Hz.
constexpr int kSlowTransformMax = 65536;
int SlowTransformLength(double fs);

class BandAnalyser {
public:
    BandAnalyser();
    ~BandAnalyser();

    // Lays out for `fs`; plans only when the length changes.
    void Configure(double fs);
    // Lays out `length` points at `fs`; without `envelope` no envelope
    // spectrum is made (EnvelopeRms is NaN).
    void Configure(double fs, int length, bool envelope);
    int Length() const { return n_; }
    double LineSpacing() const { return df_; }

    // Transforms Length() acceleration values (g, oldest first).
    void Transform(const float *data);
    // RMS of the velocity spectrum within [lowHz, highHz], mm/s. Lines below
    // two lines (and below 1 Hz) hold nothing: no integration reaches there.
    double VelocityRms(double lowHz, double highHz) const;
    // RMS of the envelope spectrum within [lowHz, highHz], g; the band
    // demodulated is held by no line below the Nyquist frequency: NaN.
    double EnvelopeRms(double lowHz, double highHz) const;
    // RMS of the displacement spectrum (the velocity lines over omega)
    // within [lowHz, highHz], µm; the same floor as the velocity.
    double DisplacementRms(double lowHz, double highHz) const;

private:
    double BandRms(const std::vector<double> &power, double scale, double lowHz, double highHz,
                   const std::vector<double> *weight = nullptr) const;

    int n_ = 0;
    double fs_ = 0, df_ = 0;
    std::vector<float> window_, windowed_;
    double windowPower_ = 0;  // sum of the window's squares
    std::unique_ptr<RealFft> forward_;
    std::vector<double> velocityPower_;  // |V_k|^2 per line
    std::vector<double> velocityGain_;   // (9800 / omega_k)^2 per line, 0 below the floor
    std::vector<double> displacementGain_;  // (1000 / omega_k)^2 per line: mm/s to µm
    bool envelopeWanted_ = true;
    // Envelope: the band's lines first..last, m_ points.
    int first_ = 0, last_ = -1, m_ = 0;
    std::unique_ptr<InverseComplexFft> shifted_;
    std::unique_ptr<RealFft> envelopeFft_;
    std::vector<float> envelopeWindow_, envelope_;
    double envelopeWindowPower_ = 0;
    std::vector<double> envelopePower_;
    bool envelopeValid_ = false;
};

}  // namespace tav::health
