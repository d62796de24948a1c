#pragma once
// The envelope (demodulation) spectrum: the acceleration is band-passed
// around a structural resonance, its envelope taken from the analytic
// signal, and the spectrum of that envelope averaged like the ordinary one.
// Impacts on a damaged bearing ring the resonance at their own repetition
// rate, which the envelope brings down to where the defect lines lie.
// Qt-free; one EnvelopeAnalyser belongs to one thread at a time.
#include <memory>
#include <vector>

#include "core/analysis/FrequencyLines.h"

namespace tav {
class RealFft;
class InverseComplexFft;
}  // namespace tav

namespace tav::analysis {

struct EnvelopeBand {
    double lowHz = 2000;
    double highHz = 5000;
    bool operator==(const EnvelopeBand &) const = default;
};

// The bands offered, the middle one the default.
constexpr EnvelopeBand kEnvelopeBands[3] = {{500, 2000}, {2000, 5000}, {5000, 10000}};
constexpr int kDefaultEnvelopeBand = 1;
constexpr double kDefaultEnvelopeMaxHz = 500;

class EnvelopeAnalyser {
public:
    EnvelopeAnalyser();
    ~EnvelopeAnalyser();

    // Lays out the envelope's lines for `fs` and `options` (options.spanHz
    // is the highest line) and clears the average when the lines or the band
    // changed; allocates and plans only when the transform length changes.
    const Layout &Configure(double fs, const Options &options, const EnvelopeBand &band);
    void Reset() { lines_.Reset(); }
    // Adds the envelope spectrum of `data` (layout().count values, oldest
    // first). Nothing is added while the band holds no line below the
    // Nyquist frequency.
    void Add(const float *data);

    const Layout &layout() const { return lines_.layout(); }
    int Averaged() const { return lines_.Averaged(); }
    // Amplitude per line of the envelope, in the data's unit: a carrier of
    // amplitude A modulated by a factor (1 + m cos) reads A m at the
    // modulating frequency.
    const std::vector<float> &Amplitudes() const { return lines_.Amplitudes(); }
    // The envelope of the last Add, its mean removed.
    const std::vector<float> &Envelope() const { return envelope_; }
    // Transform lines kept by the band-pass: first..last (none when last < first).
    int FirstLine() const { return first_; }
    int LastLine() const { return last_; }

private:
    SpectrumAnalyser lines_;
    std::unique_ptr<RealFft> forward_;
    std::unique_ptr<InverseComplexFft> inverse_;
    std::vector<float> envelope_;
    EnvelopeBand band_;
    int first_ = 0, last_ = -1;
};

}  // namespace tav::analysis
