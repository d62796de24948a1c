#pragma once
// The analyst's spectrum: a chosen length of the newest data, a window with
// its amplitude correction, averaging, and the peaks refined between lines.
// Qt-free; one SpectrumAnalyser belongs to one thread at a time.
#include <memory>
#include <vector>

#include "core/dsp/Fft.h"

namespace tav::analysis {

enum class WindowKind { Rectangular = 0, Hann = 1, FlatTop = 2 };
enum class Averaging { None = 0, Linear = 1, Exponential = 2, PeakHold = 3 };

constexpr double kSpanHz = 10000.0;    // the lines reach this frequency
constexpr int kMaxLines = 100000;      // as many as a plot array holds
constexpr int kMinAverages = 2;
constexpr int kMaxAverages = 64;

// Lines of a spectrum of `seconds` of data at `fs` Hz: the data are
// extended with zeros to the first power of two above their count, as the
// main window's spectra are, so that the same length gives the same lines.
struct Layout {
    int count = 0;   // data values used: trunc(fs x seconds)
    int n = 0;       // transform length
    double df = 0;   // line spacing, Hz
    int lines = 0;   // lines to the span, 10 kHz unless asked (at most kMaxLines)
    int real = 0;    // lines below the Nyquist frequency; the rest are 0
};
Layout LayoutFor(double fs, double seconds, double spanHz = kSpanHz);

// Coefficients c_k of the cosine sum w[i] = sum c_k cos(2 pi k i / count)
// that each window is.
const std::vector<double> &WindowTerms(WindowKind kind);
// The window over `count` values.
void MakeWindow(WindowKind kind, int count, float *out);
// |spectrum of the window| at `offset` lines of an n-point transform from
// its centre, relative to its value at the centre (1 there): how much a
// sine that far from a line loses at that line.
double KernelGain(WindowKind kind, int count, int n, double offset);

// 20 log10(value / 1 unit); values at or below 1e-12 read -240 dB.
double ToDecibels(double value);

struct Options {
    double seconds = 0.5;
    WindowKind window = WindowKind::Hann;
    Averaging averaging = Averaging::None;
    int averages = 8;  // kMinAverages..kMaxAverages, for linear and exponential
    double spanHz = kSpanHz;  // highest line kept (the envelope's is far lower)
};

class SpectrumAnalyser {
public:
    SpectrumAnalyser();
    ~SpectrumAnalyser();

    // Lays out the lines for `fs` and `options` and clears the average when
    // either changed (allocates then). Returns the layout.
    const Layout &Configure(double fs, const Options &options);
    // Starts the average again.
    void Reset();
    // Adds the spectrum of `data` (layout().count values, oldest first) to
    // the average. A linear average that has its N spectra ignores more.
    void Add(const float *data);

    const Layout &layout() const { return layout_; }
    const Options &options() const { return options_; }
    // Spectra in the average (for peak hold and none: added since reset).
    int Averaged() const { return averaged_; }
    // Amplitude per line in the data's unit: a sine of amplitude A at a
    // line reads A there, whatever the window.
    const std::vector<float> &Amplitudes() const { return amplitude_; }

private:
    Layout layout_;
    Options options_;
    double fs_ = 0;
    std::unique_ptr<RealFft> fft_;
    std::vector<float> window_;
    std::vector<float> windowed_;
    std::vector<double> power_;   // averaged squared amplitudes
    std::vector<float> amplitude_;
    double gain_ = 1;             // 1 / sum of the window
    int averaged_ = 0;
};

struct Peak {
    double frequency = 0;  // Hz
    double amplitude = 0;  // data unit
};

// The largest local maxima of `amplitude` within [fromHz, toHz], largest
// first, at most `most`, each standing above the noise (six times the
// median line of the range), outside the main lobe of every larger one and
// at least twice what the side lobes of all the larger ones (and of the
// constant part) together put there; the frequency and amplitude of each are
// refined from its neighbours by the window's own line shape, so a sine
// between lines reads its frequency and amplitude.
std::vector<Peak> FindPeaks(const std::vector<float> &amplitude, const Layout &layout, WindowKind kind,
                            double fromHz, double toHz, int most = 10);

// Refines the maximum at line k (0 < k < lines-1) from lines k-1, k, k+1:
// offset in lines within [-0.5, 0.5] and the amplitude of the sine.
struct Refined {
    double offset = 0;
    double amplitude = 0;
};
Refined RefinePeak(double below, double at, double above, WindowKind kind, int count, int n);

// Frequency as an order of the running speed (rpm); 0 when there is none.
double Order(double frequencyHz, double rpm);

}  // namespace tav::analysis
