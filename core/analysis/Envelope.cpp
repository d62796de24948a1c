#include "core/analysis/Envelope.h"

#include <algorithm>
#include <cmath>

#include "core/dsp/Fft.h"

namespace tav::analysis {

EnvelopeAnalyser::EnvelopeAnalyser() = default;
EnvelopeAnalyser::~EnvelopeAnalyser() = default;

const Layout &EnvelopeAnalyser::Configure(double fs, const Options &options, const EnvelopeBand &band)
{
    const Layout &l = lines_.Configure(fs, options);
    if (l.count <= 0) {
        forward_.reset();
        inverse_.reset();
        first_ = 0;
        last_ = -1;
        return l;
    }
    if (!forward_ || forward_->Length() != l.n) {
        forward_ = std::make_unique<RealFft>(l.n);
        inverse_ = std::make_unique<InverseComplexFft>(l.n);
    }
    if (static_cast<int>(envelope_.size()) != l.count)
        envelope_.assign(l.count, 0.0f);
    // The band in lines of the transform; the constant part and the
    // Nyquist line never belong to it.
    const double df = fs / l.n;
    const int first = std::max(1, static_cast<int>(std::ceil(band.lowHz / df)));
    const int last = std::min(l.n / 2 - 1, static_cast<int>(std::floor(band.highHz / df)));
    if (!(band == band_) || first != first_ || last != last_)
        lines_.Reset();
    band_ = band;
    first_ = first;
    last_ = last;
    return l;
}

void EnvelopeAnalyser::Add(const float *data)
{
    const Layout &l = lines_.layout();
    if (!forward_ || l.count <= 0 || last_ < first_)
        return;
    forward_->Transform(data, l.count);
    // The analytic signal of the band: positive frequencies of the band
    // doubled, everything else (negative frequencies, lines outside the
    // band) zero. Its magnitude is the band's envelope.
    const fftw_complex *x = forward_->Lines();
    fftw_complex *z = inverse_->In();
    const double scale = 2.0 / l.n;
    for (int k = 0; k < l.n; ++k) {
        const bool in = k >= first_ && k <= last_;
        z[k][0] = in ? scale * x[k][0] : 0.0;
        z[k][1] = in ? scale * x[k][1] : 0.0;
    }
    inverse_->Transform();
    const fftw_complex *a = inverse_->Out();
    double sum = 0;
    for (int i = 0; i < l.count; ++i) {
        const double e = std::sqrt(a[i][0] * a[i][0] + a[i][1] * a[i][1]);
        envelope_[i] = static_cast<float>(e);
        sum += e;
    }
    // Without its mean the envelope's constant part, the carrier's size,
    // does not leak over the lowest lines where the cage frequency lies.
    const float mean = static_cast<float>(sum / l.count);
    for (float &e : envelope_)
        e -= mean;
    lines_.Add(envelope_.data());
}

}  // namespace tav::analysis
