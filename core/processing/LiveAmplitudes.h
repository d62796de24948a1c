#pragma once
// The live amplitude spectra of the displayed connection's three axes.
#include <memory>

#include "core/dsp/Fft.h"
#include "core/processing/LivePlots.h"

namespace tav {

// Transform length and lines of the live spectra for a sampling frequency
// (Hz) and a span (tenths of a second of data).
struct LiveSpectrumLayout {
    int n = 1;         // transform length: the first power of two above fs x span
    float df = 0;      // line spacing, Hz
    // Lines to 10 kHz (never past the plot's capacity), so that the plot's
    // ten divisions always span 10 kHz. Below 20 kHz sampling the lines at
    // and above n/2 lie past the Nyquist frequency and are 0.
    int lines = 0;
};
LiveSpectrumLayout LiveLayout(unsigned sampleRate, unsigned span);

// How the live spectra follow a sensor of sampling frequency fs (Hz,
// truncated), shared by the window that copies the spectrum input and the
// processing thread that transforms it.
struct SpectrumCadence {
    int ticks = 5;      // live blocks that refresh the input and wake a transform
    double share = 0.5; // share of the one-second time window copied
    unsigned span = 5;  // tenths of a second the transform is laid out for
};
// From 20 kHz on: half the window after five blocks. Below, the whole
// second at every block: the processing thread looks once a pass (400 ms or
// more), so it always finds the newest second, however the block length and
// the pass length line up, and its transform covers all of it.
SpectrumCadence SpectrumCadenceFor(long fs);

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
