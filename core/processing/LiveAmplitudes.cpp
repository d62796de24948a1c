#include "core/processing/LiveAmplitudes.h"

#include <algorithm>
#include <cstring>

namespace tav {

LiveSpectrumLayout LiveLayout(unsigned sampleRate, unsigned span)
{
    LiveSpectrumLayout l;
    const float seconds = static_cast<float>(span) / 10.0f;
    const float values = static_cast<float>(sampleRate) * seconds;
    l.n = 1 << FftPlanCache::kMaxLog2;
    for (int i = 0; i <= FftPlanCache::kMaxLog2; ++i) {
        if (values < static_cast<float>(1 << i)) {
            l.n = 1 << i;
            break;
        }
    }
    l.df = static_cast<float>(sampleRate * 1.0 / l.n);
    if (l.n <= 1 || !(l.df > 0))
        return l;
    // 10 kHz of lines at every sampling frequency: the scale lists label the
    // ten divisions as 10 kHz in all. Under 20 kHz this runs past n/2 (and
    // far below 10 kHz past n); ComputeLiveSpectra draws those lines as 0.
    const float toTenKilohertz = 10000.0f / l.df;
    l.lines = toTenKilohertz >= static_cast<float>(kPlotPoints) ? kPlotPoints
                                                                 : static_cast<int>(toTenKilohertz);
    return l;
}

SpectrumCadence SpectrumCadenceFor(long fs)
{
    if (fs >= 20000)
        return {5, 0.5, 5};
    return {1, 1.0, 10};
}

LiveSpectra::LiveSpectra(LivePlots &plots, FftPlanCache &plans)
    : plots_(plots),
      plans_(plans),
      input_(std::make_unique<float[]>(3 * kPlotPoints)),
      lines_(std::make_unique<float[]>(kPlotPoints))
{
}

void LiveSpectra::ComputeLiveSpectra(unsigned sampleRate, unsigned span)
{
    const LiveSpectrumLayout l = LiveLayout(sampleRate, span);
    if (l.lines <= 0)
        return;
    RealFft *fft = plans_.ForLength(l.n);
    if (!fft)
        return;
    // The input holds kPlotPoints values per axis; a longer transform sees
    // zeros beyond them.
    const int used = std::min(l.n, kPlotPoints);
    {
        std::lock_guard<std::mutex> lock(plots_.spectrumInputMutex);
        for (int axis = 0; axis < 3; ++axis)
            std::memcpy(&input_[axis * kPlotPoints], plots_.spectrumInput[axis],
                        sizeof(float) * used);
    }
    const double scale = 2.0 / l.n;
    // Lines from n/2 on would only mirror the ones below (or have no
    // transform value at all): there is nothing above the Nyquist frequency.
    const int real = std::min(l.lines, l.n / 2);
    for (int axis = 0; axis < 3; ++axis) {
        fft->Transform(&input_[axis * kPlotPoints], used);
        for (int j = 0; j < real; ++j)
            lines_[j] = static_cast<float>(scale * fft->Magnitude(j));
        std::fill(lines_.get() + real, lines_.get() + l.lines, 0.0f);
        PlotData &plot = plots_.spectrum[axis];
        std::lock_guard<std::mutex> lock(plot.mutex);
        std::memcpy(plot.samples, lines_.get(), sizeof(float) * l.lines);
        plot.pointCount = l.lines;
        plot.lineSpacing = l.df;
    }
}

}  // namespace tav
