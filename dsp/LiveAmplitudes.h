#pragma once
// The live amplitude spectra of the displayed connection's three axes.
#include <memory>

#include "dsp/Fft.h"
#include "view/LivePlots.h"

namespace tav {

// Transform length and lines of the live spectra for a sampling frequency
// (Hz) and a span (tenths of a second of data).
struct LiveSpectrumLayout {
    int n = 1;         // transform length: the first power of two above fs x span
    float df = 0;      // line spacing, Hz
    int lines = 0;     // lines to 10 kHz, never past n/2 nor the plot's capacity
};
LiveSpectrumLayout LiveLayout(unsigned sampleRate, unsigned span);

class LiveSpectra {
public:
    // Both must outlive this object.
    LiveSpectra(LivePlots &plots, FftPlanCache &plans);

    // Transforms each axis's spectrumInput, zero-extended to the layout's
    // length, and stores the line magnitudes 2|X|/n (the amplitude of a sine
    // that fills the whole length) into the spectrum plots. Processing thread
    // only: it plans through the cache. For a layout without lines the plots
    // keep what they show.
    void ComputeLiveSpectra(unsigned sampleRate, unsigned span);

private:
    LivePlots &plots_;
    FftPlanCache &plans_;
    std::unique_ptr<float[]> input_;   // 3 x kPlotPoints copy of spectrumInput
    std::unique_ptr<float[]> lines_;   // kPlotPoints magnitudes of one axis
};

}  // namespace tav
